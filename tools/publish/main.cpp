// quillon-publish CLIENT_DIR OUT_DIR [options]: see `quillon-publish --help`.
#include <unistd.h>

#include <iostream>

#include "tools/publish/cli.h"

using namespace qs;

int main(int argc, char** argv) {
    return qs::publish::PublishMain(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                    std::cerr, ::isatty(STDERR_FILENO) == 1);
}
