#include <array>
#include <string>

#include "flash/core/flash_id.h"
#include "flash/core/flash_procedures.h"
#include "flash/core/flash_progress.h"
#include "flash/core/page_io.h"
#include "flash/core/page_prefetch.h"
#include "platform/atomic_file.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

// The dump is its owner's to write and anyone's to read, before the umask.
constexpr unsigned kDumpMode = 0644;

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
    AtomicFile dump(final_path.string(), kDumpMode);
    if (!dump.ok()) {
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
    PagePrefetch prefetch;  // idle unless a window of requests in flight is set
    for (int k = 0; k < options.pages; ++k) {
        if (!read_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page,
                               prefetch.ahead(k, options.pages))) {
            fail_read(reporter, "Flash read one Page error!");
            return;
        }
        if (!dump.write(page)) {
            tracef("can't write the dump file in \"%s\"", dump_dir.c_str());
            fail_read(reporter, "Write file failed!");
            return;
        }
        reporter.set_progress(progress.page_done());
    }
    if (!dump.commit()) {
        tracef("can't complete \"%s\"", final_path.c_str());
        fail_read(reporter, "Write file failed!");
        return;
    }
    reporter.set_status("Flash read finished!");
    trace("  finished!  ");
}

}  // namespace kestrel
