#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "flash/core/flash_id.h"
#include "flash/core/flash_procedures.h"
#include "flash/core/flash_progress.h"
#include "flash/core/page_io.h"
#include "platform/c_file.h"
#include "platform/regular_file.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

// The dump under its temporary name; removed unless committed under the final name.
class DumpFile {
  public:
    explicit DumpFile(std::filesystem::path temp) : temp_(std::move(temp)) {
        file_ = open_regular_c_file(temp_.string(), O_WRONLY | O_CREAT | O_TRUNC, "wb");
    }
    ~DumpFile() {
        if (committed_) return;
        file_.reset();
        std::remove(temp_.c_str());
    }
    DumpFile(const DumpFile&) = delete;
    DumpFile& operator=(const DumpFile&) = delete;

    bool is_open() const { return file_ != nullptr; }

    bool append(const std::array<std::uint8_t, kPageSize>& page) {
        return std::fwrite(page.data(), 1, page.size(), file_.get()) == page.size();
    }

    // Flushes, syncs and closes the file, then renames it to final_path.
    bool commit(const std::filesystem::path& final_path) {
        const bool flushed = std::fflush(file_.get()) == 0 && ::fsync(fileno(file_.get())) == 0;
        const bool closed = std::fclose(file_.release()) == 0;
        if (!flushed || !closed) return false;
        committed_ = std::rename(temp_.c_str(), final_path.c_str()) == 0;
        return committed_;
    }

  private:
    std::filesystem::path temp_;
    CFile file_;
    bool committed_ = false;
};

void fail_read(FlashReporter& reporter, const char* box) {
    reporter.set_status("Flash read failed!");
    reporter.message_box(box);
}

}  // namespace

void read_flash_to_file(const std::filesystem::path& dump_dir, FlashReporter& reporter,
                        const FlashRunOptions& options) {
    const std::filesystem::path final_path = dump_dir / kDumpFileName;
    // The last dump steps aside first, so that a failed read never leaves it to be verified as
    // if it were this one.
    std::error_code ec;
    if (std::filesystem::exists(final_path, ec)) {
        std::filesystem::rename(final_path, dump_dir / (std::string(kDumpFileName) + ".old"), ec);
        if (ec) tracef("can't move the last dump aside: %s", ec.message().c_str());
    }
    DumpFile dump(dump_dir / (std::string(kDumpFileName) + ".tmp"));
    if (!dump.is_open()) {
        tracef("can't create the dump file in \"%s\"", dump_dir.c_str());
        reporter.message_box("Open file failed!");
        return;
    }
    if (!check_flash_id()) {
        reporter.message_box("Can't read flash chip ID!");
        return;
    }
    reporter.set_status("Flash reading...");
    trace(" reading........ ");

    FlashProgress progress;
    std::array<std::uint8_t, kPageSize> page{};
    for (int k = 0; k < options.pages; ++k) {
        if (!read_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page)) {
            fail_read(reporter, "Flash read one Page error!");
            return;
        }
        if (!dump.append(page)) {
            tracef("can't write the dump file in \"%s\"", dump_dir.c_str());
            fail_read(reporter, "Write file failed!");
            return;
        }
        reporter.set_progress(progress.page_done());
    }
    if (!dump.commit(final_path)) {
        tracef("can't complete \"%s\"", final_path.c_str());
        fail_read(reporter, "Write file failed!");
        return;
    }
    reporter.set_status("Flash read finished!");
    trace("  finished!  ");
}

}  // namespace kestrel
