// A JSON object written field by field, in the order the fields were added. Enough for
// kestrelctl's one-object-per-command output; no parsing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::cli {

// The text as a JSON string literal, quotes included; control characters and bytes >= 80h
// that are not valid UTF-8 are escaped as \u00XX.
std::string json_string(std::string_view text);

class JsonObject {
  public:
    JsonObject& add(std::string_view key, std::string_view value);
    JsonObject& add(std::string_view key, const char* value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, const std::string& value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, bool value);
    JsonObject& add(std::string_view key, std::int64_t value);
    JsonObject& add(std::string_view key, int value) {
        return add(key, static_cast<std::int64_t>(value));
    }
    JsonObject& add(std::string_view key, double value);  // 3 decimals
    JsonObject& add_null(std::string_view key);
    JsonObject& add_object(std::string_view key, const JsonObject& value);
    // Appends the other object's fields after these.
    JsonObject& append(const JsonObject& other);

    bool empty() const { return body_.empty(); }
    std::string str() const { return "{" + body_ + "}"; }

  private:
    JsonObject& raw(std::string_view key, std::string_view json);
    std::string body_;
};

// The value of key in a flat JSON object as this module writes it: a string's text unescaped
// (\uXXXX below 100h only), other values as written. nullopt when the key is absent.
std::optional<std::string> json_field(std::string_view object, std::string_view key);

}  // namespace kestrel::cli
