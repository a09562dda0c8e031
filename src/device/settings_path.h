// Where the settings file lives: beside the executable, whatever the working directory, or in
// the user's configuration folder when the executable is installed (see platform/app_paths.h).
#pragma once

#include <string>

namespace kestrel {

inline constexpr const char* kSettingsFileName = "QXR-IPdata.ini";

// The executable's directory without a trailing separator. Empty until start-up fills it once.
extern std::string g_strExeDir;

// The settings file's path, chosen afresh from g_strExeDir and the environment at every call:
// g_strExeDir + "/" + "QXR-IPdata.ini" beside a writable executable, else
// $XDG_CONFIG_HOME/kestrel/QXR-IPdata.ini, whose folder this creates when it is missing (a
// folder that can't be made is traced, and the file's reads then give empty texts).
std::string SettingsFilePath();

// The folder for "qxrCI.log", chosen the same way ($XDG_STATE_HOME/kestrel when installed) and
// created when missing.
std::string LogDirectory();

}  // namespace kestrel
