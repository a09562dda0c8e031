// The log writer: time-stamped lines appended to "qxrCI.log" in a given directory (the tool
// passes the executable's directory) and sent to the trace.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel {

inline constexpr const char* kLogFileName = "qxrCI.log";

struct LogStamp {
    std::string date;  // "MM/DD/YY"
    std::string time;  // "HH:MM:SS", 24-hour
    std::uint32_t ticks = 0;
};

// The local date and time now and tick_count_ms().
LogStamp log_stamp_now();

// "[" date " " time " : " ticks "] " text "\n", the tick count as "%8.0d" of its signed value
// (blank-padded to 8 columns; 0 prints as eight blanks). text is the filled-in format.
std::string format_log_line(const LogStamp& stamp, std::string_view text);

// Fills format with its arguments, stamps it, traces the line and appends it to
// log_dir/qxrCI.log with CR LF line ends, opening and closing the file for each line. When the
// file cannot be opened or written, the line still goes to the trace, followed by a trace line
// that says so.
void write_log(const std::filesystem::path& log_dir, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace kestrel
