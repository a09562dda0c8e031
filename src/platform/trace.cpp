#include "platform/trace.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/format.h"

namespace kestrel {
namespace {

void stderr_sink(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
}

std::mutex& sink_mutex() {
    static std::mutex m;
    return m;
}

TraceSink& current_sink() {
    static TraceSink sink;
    return sink;
}

}  // namespace

void trace(std::string_view text) {
    std::lock_guard<std::mutex> guard(sink_mutex());
    const TraceSink& sink = current_sink();
    if (sink) {
        sink(text);
    } else {
        stderr_sink(text);
    }
}

void tracef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    trace(text);
}

TraceSink set_trace_sink(TraceSink sink) {
    std::lock_guard<std::mutex> guard(sink_mutex());
    TraceSink previous = std::move(current_sink());
    current_sink() = std::move(sink);
    return previous;
}

}  // namespace kestrel
