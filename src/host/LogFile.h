#pragma once
// The operator's trace. LogMessage is callable from any thread: when a sink is active it posts
// a copy of the line to the UI thread (WM_LOG_LINE), otherwise it drops it after two flag
// tests. Everything else here runs on the UI thread only.
//
// The two flags LogMessage reads (file open, window capturing) are atomics; the file, its line
// count, the open-attempted mark, the window sink and the log folder belong to the UI thread.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>

namespace voxmit {

void LogMessage(const std::string& text);
// The text of an exception for a log line: a POCO exception's display text (its name and
// message), else what().
std::string ErrorText(const std::exception& e);

// UI thread: the WM_LOG_LINE handler. Adds the line to the capturing log window (or console),
// then writes it to the log file if one is open: the bytes as given, then CR LF. The line is
// left in the buffers: the main loop calls FlushLog after each batch of posted messages, so a
// burst of lines costs one write, not one per line. When the file holds LogFileMaxLines lines
// the next file is started. A failed write throws std::system_error; the next line is handled
// normally.
void WriteLogLine(const std::string& text);
// UI thread: writes out what WriteLogLine left buffered (the log file, then the sink's flush).
// Throws std::system_error when the file does not take it.
void FlushLog();
// UI thread: WriteLogLine and FlushLog, for a line written outside the main loop's batches.
void HandleLogLine(const std::string& text);

// Opens the next log file when LogToFile is set, unless an open was attempted since the last
// CloseLog. When the file cannot be created the file sink stays closed until CloseLog.
void OpenLog();
// Clears the open-attempted mark and closes the file if open.
void CloseLog();
bool LogFileIsOpen();
// The name of the open log file (empty when closed).
std::filesystem::path LogFilePath();

// The folder of the log files; the home folder until LogFilesFolder names another. An empty
// path means the home folder.
std::filesystem::path LogFolder();
void SetLogFolder(const std::filesystem::path& folder);

// The log window sink: while capturing, every line is passed to the given function on the
// UI thread (the Qt log window, or stdout in headless mode), and FlushLog calls flush (when
// given). An empty sink stops it.
void SetLogWindowSink(std::function<void(const std::string&)> sink,
                      std::function<void()> flush = {});
bool LogWindowCaptures();

// Picks, after rotating and deleting, the next log file name in folder ("LOG3.TXT") for a
// highest file number of maxNo. Errors while listing, deleting or renaming are ignored.
std::string NextLogFileName(const std::filesystem::path& folder, int32_t maxNo);

} // namespace voxmit
