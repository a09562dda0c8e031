#include "flash/core/flash_log.h"

#include <fcntl.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/format.h"
#include "platform/regular_file.h"
#include "platform/ticks.h"
#include "platform/trace.h"

namespace kestrel {

LogStamp log_stamp_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    LogStamp stamp;
    stamp.date = format("%02d/%02d/%02d", local.tm_mon + 1, local.tm_mday, local.tm_year % 100);
    stamp.time = format("%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    stamp.ticks = tick_count_ms();
    return stamp;
}

std::string format_log_line(const LogStamp& stamp, std::string_view text) {
    std::string line = format("[%s %s : %8.0d] ", stamp.date.c_str(), stamp.time.c_str(),
                              static_cast<std::int32_t>(stamp.ticks));
    line.append(text);
    line.push_back('\n');
    return line;
}

void write_log(const std::filesystem::path& log_dir, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = vformat(fmt, args);
    va_end(args);
    const std::string line = format_log_line(log_stamp_now(), text);
    trace(line);

    std::string crlf;
    for (const char c : line) {
        if (c == '\n') crlf.push_back('\r');
        crlf.push_back(c);
    }
    const std::filesystem::path path = log_dir / kLogFileName;
    // Never blocks on a FIFO or a device put where the log belongs: only a regular file is taken.
    CFile file = open_regular_c_file(path.string(), O_WRONLY | O_CREAT | O_APPEND, "ab");
    if (!file) {
        tracef("write_log: can't open %s", path.c_str());
        return;
    }
    const bool written = std::fwrite(crlf.data(), 1, crlf.size(), file.get()) == crlf.size();
    if (std::fclose(file.release()) != 0 || !written)
        tracef("write_log: can't write %s", path.c_str());
}

}  // namespace kestrel
