// Where the window application keeps its settings file and its logs.
//
// An installed program writes into the user's directories: the settings file
// Zor_FirmwareUpload.ini in the configuration directory
// (~/.config/Zor_FirmwareUpload/ on Linux) and the logs in the directory
// "Debug" below the data directory. An unpacked build that carries a file
// Zor_FirmwareUpload.portable beside its executable keeps both beside the
// executable instead, as the tool always did on Windows.
#pragma once

#include <QString>

namespace zor {

inline constexpr const char *AppSettingsFileName = "Zor_FirmwareUpload.ini";
inline constexpr const char *AppPortableMarkerName = "Zor_FirmwareUpload.portable";

// The marker file exists beside the executable.
bool IsPortableInstall();
// The settings file; its directory is created when missing.
QString SettingsFilePath();
// The log directory with a trailing "/"; created when missing.
QString DebugDirectory();

}  // namespace zor
