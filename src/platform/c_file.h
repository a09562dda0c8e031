// A C stdio file that closes itself.
#pragma once

#include <cstdio>
#include <memory>

namespace kestrel {

struct CFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using CFile = std::unique_ptr<std::FILE, CFileCloser>;

inline CFile open_c_file(const char* path, const char* mode) {
    return CFile(std::fopen(path, mode));
}

}  // namespace kestrel
