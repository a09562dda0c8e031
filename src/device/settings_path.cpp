#include "device/settings_path.h"

#include "platform/app_paths.h"

namespace kestrel {

std::string g_strExeDir;

namespace {

AppPaths CurrentPaths() {
    return choose_app_paths(g_strExeDir, process_environment());
}

}  // namespace

std::string SettingsFilePath() {
    const AppPaths paths = CurrentPaths();
    if (!paths.beside_executable) (void)make_private_directory(paths.settings_dir);
    return (paths.settings_dir / kSettingsFileName).string();
}

std::string LogDirectory() {
    const AppPaths paths = CurrentPaths();
    if (!paths.beside_executable) (void)make_private_directory(paths.log_dir);
    return paths.log_dir.string();
}

}  // namespace kestrel
