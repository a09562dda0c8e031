// Where the settings file lives: beside the executable, whatever the working directory.
#pragma once

#include <string>

namespace kestrel {

inline constexpr const char* kSettingsFileName = "QXR-IPdata.ini";

// The executable's directory without a trailing separator. Empty until start-up fills it once.
extern std::string g_strExeDir;

// g_strExeDir + "/" + "QXR-IPdata.ini", built afresh at every call.
std::string SettingsFilePath();

}  // namespace kestrel
