// Small helpers for reading sysfs: attributes are short files that may
// vanish at any moment when a device leaves.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zor::platform {

// Reads at most `maxBytes` of a file; false with `err` = errno when it
// cannot be opened or read.
bool ReadSysfsFile(const std::string &path, std::string &out, int &err, size_t maxBytes = 4096);

// Names in a directory, without "." and ".."; empty when it cannot be read.
std::vector<std::string> ListDirectory(const std::string &path);

bool IsDirectory(const std::string &path);

}  // namespace zor::platform
