// kestrelctl-interface-files: writes kestrelctl's man page and bash completion from its command
// table at build time.
//   kestrelctl-interface-files man TEMPLATE OUTPUT   the template with its marker lines filled
//   kestrelctl-interface-files completion OUTPUT     the bash completion script
// Exit 0 when OUTPUT was written, 1 when a file could not be read or written, 2 for bad usage.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/completion_script.h"
#include "cli/man_page.h"

namespace {

bool read_all(const char* path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return !in.bad();
}

// Written beside the output and renamed over it, so a failed build leaves no half file.
int write_file(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            std::remove(temp.c_str());
            std::fprintf(stderr, "kestrelctl-interface-files: can't write %s\n", temp.c_str());
            return 1;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        std::fprintf(stderr, "kestrelctl-interface-files: can't write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

int write_man_page(const char* template_path, const char* output) {
    std::string page;
    if (!read_all(template_path, page)) {
        std::fprintf(stderr, "kestrelctl-interface-files: can't read %s\n", template_path);
        return 1;
    }
    std::string missing;
    const auto filled = kestrel::cli::kestrelctl_man_page(std::move(page), missing);
    if (!filled) {
        std::fprintf(stderr, "kestrelctl-interface-files: %s has no line %s\n", template_path,
                     missing.c_str());
        return 1;
    }
    return write_file(output, *filled);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "man" && argc == 4) return write_man_page(argv[2], argv[3]);
    if (what == "completion" && argc == 3)
        return write_file(argv[2], kestrel::cli::bash_completion_script());
    std::fprintf(stderr,
                 "usage: kestrelctl-interface-files man TEMPLATE OUTPUT\n"
                 "       kestrelctl-interface-files completion OUTPUT\n");
    return 2;
}
