// Quillon Saga launcher. The command line is ignored.
#include "shell/shell.h"

using namespace qs;

int main() {
    return RunLauncher();
}
