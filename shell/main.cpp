// Quillon Saga launcher. The command line is ignored.
#include "shell/shell.h"

int main() {
    return RunLauncher();
}
