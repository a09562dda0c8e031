// kestrel-devsim-manpage TEMPLATE OUTPUT: writes kestrel-devsim's man page at build time, the
// template with its marker line replaced by the OPTIONS section drawn from the options table.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/devsim_options.h"

namespace {

constexpr const char* kMarker = ".\\\" kestrel-devsim options table";

bool read_all(const char* path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return static_cast<bool>(in) || in.eof();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kestrel-devsim-manpage TEMPLATE OUTPUT\n");
        return 2;
    }
    std::string page;
    if (!read_all(argv[1], page)) {
        std::fprintf(stderr, "kestrel-devsim-manpage: can't read %s\n", argv[1]);
        return 1;
    }
    const std::string marker = std::string(kMarker) + "\n";
    const auto at = page.find(marker);
    if (at == std::string::npos) {
        std::fprintf(stderr, "kestrel-devsim-manpage: %s has no line %s\n", argv[1], kMarker);
        return 1;
    }
    page.replace(at, marker.size(), kestrel::sim::man_text(kestrel::sim::devsim_option_sections()));
    // Written beside the output and renamed over it, so a failed build leaves no half page.
    const std::string temp = std::string(argv[2]) + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << page;
        if (!out.flush()) {
            std::remove(temp.c_str());
            std::fprintf(stderr, "kestrel-devsim-manpage: can't write %s\n", temp.c_str());
            return 1;
        }
    }
    if (std::rename(temp.c_str(), argv[2]) != 0) {
        std::remove(temp.c_str());
        std::fprintf(stderr, "kestrel-devsim-manpage: can't write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
