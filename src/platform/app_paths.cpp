#include "platform/app_paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/format.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr const char* kAppFolder = "kestrel";

std::optional<std::string> home_from_passwd() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir || !*found->pw_dir) {
        return std::nullopt;
    }
    return std::string(found->pw_dir);
}

// /usr and everything below it (not /usrx).
bool is_under_usr(const std::filesystem::path& dir) {
    const std::filesystem::path normal = dir.lexically_normal();
    auto it = normal.begin();
    return normal.is_absolute() && ++it != normal.end() && *it == "usr";
}

std::optional<std::filesystem::path> absolute_value(const EnvironmentLookup& env,
                                                    std::string_view name) {
    const std::optional<std::string> value = env(name);
    if (!value || value->empty() || (*value)[0] != '/') return std::nullopt;
    return std::filesystem::path(*value);
}

// $xdg_name, else HOME/home_relative, each + "/kestrel".
std::optional<std::filesystem::path> user_folder(const EnvironmentLookup& env,
                                                 std::string_view xdg_name,
                                                 const char* home_relative) {
    if (auto base = absolute_value(env, xdg_name)) return *base / kAppFolder;
    if (auto home = absolute_value(env, "HOME")) return *home / home_relative / kAppFolder;
    return std::nullopt;
}

}  // namespace

EnvironmentLookup process_environment() {
    return [](std::string_view name) -> std::optional<std::string> {
        const std::string key(name);
        const char* value = std::getenv(key.c_str());
        if (value && *value) return std::string(value);
        if (key == "HOME") return home_from_passwd();
        if (value) return std::string();
        return std::nullopt;
    };
}

AppPaths choose_app_paths(const std::filesystem::path& exe_dir, const EnvironmentLookup& env) {
    const std::filesystem::path dir = exe_dir.empty() ? std::filesystem::path(".") : exe_dir;
    AppPaths beside{dir, dir, true};
    if (!is_under_usr(dir) && access(dir.c_str(), W_OK) == 0) return beside;

    const auto config = user_folder(env, "XDG_CONFIG_HOME", ".config");
    const auto state = user_folder(env, "XDG_STATE_HOME", ".local/state");
    if (!config || !state) return beside;
    return AppPaths{*config, *state, false};
}

Status make_private_directory(const std::filesystem::path& dir) {
    const auto refuse = [](std::string why) {
        trace(why);
        return Status::failure(StatusCode::FileError, std::move(why));
    };
    std::filesystem::path partial;
    for (const std::filesystem::path& part : dir) {
        partial /= part;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            return refuse(
                format("can't create the folder %s: %s", partial.c_str(), std::strerror(errno)));
        }
    }
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return refuse(format("%s is not a folder", dir.c_str()));
    }
    return {};
}

}  // namespace kestrel
