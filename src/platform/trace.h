// Debug trace: the only place where link and device faults show.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kestrel {

// Receives each trace text exactly as the caller gave it.
using TraceSink = std::function<void(std::string_view text)>;

// Sends one trace text to the current sink. By default each text goes to stderr as one line
// (a line feed is added when the text does not end in one). Thread-safe.
void trace(std::string_view text);

// printf-style trace; the format is the trace text's own.
void tracef(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the sink and returns the previous one; an empty sink restores the stderr default.
TraceSink set_trace_sink(TraceSink sink);

}  // namespace kestrel
