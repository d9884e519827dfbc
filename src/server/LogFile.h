#pragma once
// The operator's trace. LogMessage is callable from any thread: when a sink is active it posts
// a copy of the line to the UI thread (WM_LOG_LINE), otherwise it drops it after two flag
// tests. Everything else here runs on the UI thread only.

#include <filesystem>
#include <functional>
#include <string>

namespace voxmit {

void LogMessage(const std::string& text);

// UI thread: the WM_LOG_LINE handler. Adds the line to the capturing log window (or console),
// then writes it to the log file if one is open.
void HandleLogLine(const std::string& text);

void OpenLog();
void CloseLog();
bool LogFileIsOpen();

// The folder of the log files; the home folder until LogFilesFolder names another.
const std::filesystem::path& LogFolder();
void SetLogFolder(const std::filesystem::path& folder);

// The log window sink: while capturing, every line is passed to the given function on the
// UI thread (the Qt log window, or stdout in headless mode). An empty function stops it.
void SetLogWindowSink(std::function<void(const std::string&)> sink);

// Picks, after rotating and deleting, the next log file name in folder ("LOG3.TXT") for a
// highest file number of maxNo. Errors while listing, deleting or renaming are ignored.
std::string NextLogFileName(const std::filesystem::path& folder, int32_t maxNo);

} // namespace voxmit
