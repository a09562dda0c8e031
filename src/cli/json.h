// A JSON object written field by field, in the order the fields were added, for kestrelctl's
// one-object-per-command output; and the reading of one field (json_read.cpp, with a JSON
// library). Any thread.
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

// The value of key in the JSON object text (a child's report or progress line): a string's text
// unescaped (UTF-8), other values as JSON text ("12.5", "true", "null", "{...}"). nullopt when
// the text is not a JSON object or the key is absent. Never throws, whatever the text holds.
std::optional<std::string> json_field(std::string_view object, std::string_view key) noexcept;

}  // namespace kestrel::cli
