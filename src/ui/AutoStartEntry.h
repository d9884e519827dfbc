#pragma once
// The start of the server at the operator's login: an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/VoxmitServer2.desktop (~/.config when the variable is unset).
// The entry starts the program with the home folder it runs with now. Any thread; the file
// system is the only state.

#include <filesystem>
#include <string>

namespace voxmit {

std::filesystem::path AutoStartFile();
// The entry exists and is not empty.
bool AutoStartEntryExists();
// Writes the entry for the executable and home folder; throws std::system_error when the
// file cannot be written.
void WriteAutoStartEntry(const std::filesystem::path& executable,
                         const std::filesystem::path& home);
// Removes the entry; throws std::system_error when it exists and cannot be removed.
void RemoveAutoStartEntry();
// One argument of an Exec line, quoted as the desktop entry format wants.
std::string QuoteExecArgument(const std::string& argument);

} // namespace voxmit
