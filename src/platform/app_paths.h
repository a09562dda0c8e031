// Where the tool keeps its settings file and its erase log.
//
// A build tree or an unpacked folder keeps both beside the executable. An installed executable
// (its folder not writable, or under /usr, which is never written at run time) keeps the
// settings in $XDG_CONFIG_HOME/kestrel and the log in $XDG_STATE_HOME/kestrel, defaulting to
// ~/.config/kestrel and ~/.local/state/kestrel.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace kestrel {

struct AppPaths {
    std::filesystem::path settings_dir;  // the folder of "QXR-IPdata.ini"
    std::filesystem::path log_dir;       // the folder of "qxrCI.log"
    bool beside_executable = true;       // false: the per-user folders, which may not exist yet
};

// Looks up one environment variable; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;

// The process environment; HOME, when unset or empty, falls back to the user's home directory
// from the password database.
[[nodiscard]] EnvironmentLookup process_environment();

// Chooses the folders for an executable in exe_dir (an empty exe_dir means the current
// directory). exe_dir is kept when the process may write to it (access(W_OK)) and it is not
// under /usr. Otherwise each folder comes from its XDG variable when that holds an absolute
// path (relative ones are ignored, as the XDG rules require), else from HOME; with neither,
// exe_dir is kept. Touches nothing on disk. Thread-safe when env is.
[[nodiscard]] AppPaths choose_app_paths(const std::filesystem::path& exe_dir,
                                        const EnvironmentLookup& env);

// Creates dir and its missing parents, each with mode 0700. Ok when dir is a directory
// afterwards (also when it already was); FileError otherwise, its reason also traced.
[[nodiscard]] Status make_private_directory(const std::filesystem::path& dir);

}  // namespace kestrel
