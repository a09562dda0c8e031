// kestrelctl: the command line.
#include <unistd.h>

#include "cli/kestrelctl.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    kestrel::cli::CliStreams io;
    io.err_is_terminal = ::isatty(STDERR_FILENO) == 1;
    return kestrel::cli::run_kestrelctl(args, io);
}
