// Quillon Saga launcher. The command line is ignored.
#include "app/shell/shell.h"

int main() {
    return RunLauncher();
}
