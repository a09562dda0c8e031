#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "flash/core/flash_procedures.h"
#include "platform/c_file.h"
#include "platform/regular_file.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

bool file_size(std::FILE* file, std::uint64_t& size) {
    struct stat st {};
    if (::fstat(fileno(file), &st) != 0) return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

enum class Compare { Equal, Differ, UpdateUnreadable, DumpUnreadable };

// Compares the first n bytes of both files, chunk by chunk.
Compare compare_files(std::FILE* update, std::FILE* dump, std::uint64_t n) {
    std::vector<std::uint8_t> a(kChunk), b(kChunk);
    while (n > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(n, kChunk));
        if (std::fread(a.data(), 1, want, update) != want) return Compare::UpdateUnreadable;
        if (std::fread(b.data(), 1, want, dump) != want) return Compare::DumpUnreadable;
        if (!std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(want), b.begin())) {
            return Compare::Differ;
        }
        n -= want;
    }
    return Compare::Equal;
}

}  // namespace

void verify_flash_file(const std::string& update_path, const std::filesystem::path& dump_dir,
                       FlashReporter& reporter) {
    const auto refuse = [&reporter](const std::string& why) {
        trace("Verify: " + why);
        reporter.message_box("Verify error!!!!");
    };
    const std::filesystem::path dump_path = dump_dir / kDumpFileName;

    struct stat st {};
    if (::stat(update_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        return refuse("the update file \"" + update_path + "\" is not a regular file");
    }
    const CFile update = open_regular_c_file(update_path, O_RDONLY, "rb");
    std::uint64_t n = 0;
    if (!update || !file_size(update.get(), n)) {
        return refuse("can't open the update file \"" + update_path + "\"");
    }
    if (n == 0) return refuse("the update file \"" + update_path + "\" is empty");
    if (n > kFlashSize) {
        // Write programs only the first 4 MiB; that is what a dump can match.
        tracef(
            "Verify: the update file holds %llu bytes; the %llu past the flash's 4 MiB are "
            "ignored",
            static_cast<unsigned long long>(n), static_cast<unsigned long long>(n - kFlashSize));
        n = kFlashSize;
    }
    const CFile dump = open_regular_c_file(dump_path.string(), O_RDONLY, "rb");
    std::uint64_t dump_size = 0;
    if (!dump || !file_size(dump.get(), dump_size)) {
        return refuse("can't open \"" + dump_path.string() + "\"");
    }
    if (dump_size < n) {
        return refuse("\"" + dump_path.string() + "\" holds " + std::to_string(dump_size) +
                      " bytes, fewer than the " + std::to_string(n) + " of the update file");
    }
    switch (compare_files(update.get(), dump.get(), n)) {
        case Compare::Equal:
            reporter.message_box("Verify OK !!!!");
            return;
        case Compare::Differ:
            reporter.message_box("Verify error!!!!");
            return;
        case Compare::UpdateUnreadable:
            return refuse("can't read the update file \"" + update_path + "\"");
        case Compare::DumpUnreadable:
            return refuse("can't read \"" + dump_path.string() + "\"");
    }
}

}  // namespace kestrel
