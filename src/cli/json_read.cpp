// Reading the JSON the batch's children write, with nlohmann-json: nothing hand-made, and no
// exception ever leaves (a malformed or hostile line is just not a report).
#include <nlohmann/json.hpp>

#include "cli/json.h"

namespace kestrel::cli {

std::optional<std::string> json_field(std::string_view object, std::string_view key) noexcept {
    try {
        const nlohmann::json parsed =
            nlohmann::json::parse(object, nullptr, /*allow_exceptions=*/false);
        if (!parsed.is_object()) return std::nullopt;
        const auto it = parsed.find(key);
        if (it == parsed.end()) return std::nullopt;
        if (it->is_string()) return it->get<std::string>();
        return it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (...) {  // allocation failure; nothing else throws here
        return std::nullopt;
    }
}

}  // namespace kestrel::cli
