#include "ui/settings_path.h"

namespace kestrel {

std::string g_strExeDir;

std::string SettingsFilePath() {
    return g_strExeDir + "/" + kSettingsFileName;
}

}  // namespace kestrel
