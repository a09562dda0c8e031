// The settings file's reader on any text; the first line of the input names the key looked up.
#include "device/private_profile.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const std::string_view text = fuzz::as_text(data, size);
    const auto nl = text.find('\n');
    const std::string key(text.substr(0, nl == std::string_view::npos ? 0 : nl));
    for (const auto& [section, name] : {std::pair<std::string, std::string>{"Server", "IP"},
                                        {"Server", "Port"},
                                        {"Multcast", "IP"},
                                        {"Server", key}}) {
        fuzz::require(FindProfileValue(text, section, name).size() <= kProfileValueMax);
    }
    return 0;
}
