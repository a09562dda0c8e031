// INI ("private profile") files, read and written one key at a time and never cached.
//
// Rules: section and key names match without regard to ASCII case; a value is the text after
// the key's '=' with surrounding blanks and one pair of enclosing quotes (" or ') removed; the
// first matching section and key count; a UTF-8 byte-order mark at the start of the file is not
// part of its first line. A write adds or replaces only its own key line and keeps every other
// line, comments, line endings and the byte-order mark included. Not thread-safe against other
// writers of the same file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel {

// Longest value a read returns; longer values are cut to this many characters.
inline constexpr std::size_t kProfileValueMax = 259;

// The value of key in section, or "" when the file, the section or the key is missing or the
// file cannot be read. Never fails and never blocks: a file that is no regular file (a FIFO, a
// device) or is larger than 1 MiB reads as empty, and the reason is traced.
std::string ReadProfileValue(const std::string& section, const std::string& key,
                             const std::string& path);

// The same lookup in a file's whole text.
std::string FindProfileValue(std::string_view text, const std::string& section,
                             const std::string& key);

// Sets key in section to value, creating the file, the section (at the end) or the key (after
// the section's last key line) as needed. The new content goes to a temporary file beside the
// target that is then renamed over it, so the file is never seen half-written. Returns 0, or an
// errno code: EINVAL when the section, key or value holds a line break (CR or LF), which would
// add lines of its own, or when the file is no regular file; EFBIG when it is larger than 1 MiB;
// EACCES for a read-only file; or the code of the failed read, write or rename. The file is
// unchanged after every failure.
int WriteProfileValue(const std::string& section, const std::string& key, const std::string& value,
                      const std::string& path);

}  // namespace kestrel
