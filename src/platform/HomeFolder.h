#pragma once
// The home folder holds Settings.ini, ServerData.db, the log files and the other files the
// server keeps beside itself. Set once at process start, before any thread starts.

#include <filesystem>

namespace voxmit {

const std::filesystem::path& HomeFolder();
void SetHomeFolder(const std::filesystem::path& folder);
// The folder of the running executable (/proc/self/exe).
std::filesystem::path ExecutableFolder();

} // namespace voxmit
