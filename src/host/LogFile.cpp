#include "host/LogFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include <Poco/Exception.h>
#include <Poco/String.h>

#include "host/ServerSettings.h"
#include "host/WindowMessages.h"
#include "platform/HomeFolder.h"
#include "platform/TNMainLoop.h"

namespace voxmit {

namespace fs = std::filesystem;

namespace {

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

struct TLogState {
  // Read by LogMessage on any thread.
  std::atomic<bool> fileOpen{false};
  std::atomic<bool> windowCaptures{false};
  // UI thread only.
  TFilePtr file;
  fs::path filePath;
  int32_t lines = 0;
  bool openAttempted = false;
  fs::path folder;
  std::function<void(const std::string&)> sink;
  std::function<void()> sinkFlush;
};

TLogState& State() {
  static TLogState state;
  return state;
}

struct TListedLog {
  int32_t No;
  fs::path Path;
};

// The number of a log file name, or nullopt when the name is not one the rotation manages:
// it must match LOG*.TXT in any case, and what is left after taking out "LOG" and ".TXT"
// (exact case) must be a plain decimal number.
std::optional<int32_t> LogFileNumber(const std::string& name) {
  if (name.size() < 7 || Poco::icompare(name.substr(0, 3), "LOG") != 0 ||
      Poco::icompare(name.substr(name.size() - 4), ".TXT") != 0)
    return std::nullopt;
  const std::string rest = Poco::replace(Poco::replace(name, ".TXT", ""), "LOG", "");
  int32_t no = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), no);
  if (rest.empty() || rest[0] == '-' || ec != std::errc() || end != rest.data() + rest.size())
    return std::nullopt;
  return no;
}

std::string LogFileName(int32_t no) { return "LOG" + std::to_string(no) + ".TXT"; }

std::vector<TListedLog> ListLogFiles(const fs::path& folder) {
  std::vector<TListedLog> listed;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeEc;
    if (!it->is_regular_file(typeEc)) continue;
    if (const auto no = LogFileNumber(it->path().filename().string()))
      listed.push_back({*no, it->path()});
  }
  return listed;
}

void Remove(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

// Never replaces an existing file: two names can carry the same number ("LOG3.TXT" and
// "LOG03.TXT"), and moving one onto the other would lose a log.
void RenameNoReplace(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::exists(to, ec) || ec) return;
  fs::rename(from, to, ec);
}

// Closes the file (flushing it); the open-attempted mark is left alone.
void CloseFile(TLogState& s) {
  s.fileOpen = false;
  s.file.reset();
  s.filePath.clear();
}

bool CreateNextFile(TLogState& s) {
  const fs::path folder = LogFolder();
  const fs::path path = folder / NextLogFileName(folder, settings::LogFilesNoMax.load());
  s.lines = 0;
  s.file.reset(std::fopen(path.c_str(), "wb"));
  if (!s.file) {
    std::cerr << "Log file " << path.string() << " cannot be created: " << std::strerror(errno)
              << std::endl;
    return false;
  }
  s.filePath = path;
  s.fileOpen = true;
  return true;
}

[[noreturn]] void ThrowWriteError(TLogState& s) {
  const int error = errno;
  std::clearerr(s.file.get());
  throw std::system_error(error, std::generic_category(),
                          "I/O error writing " + s.filePath.string());
}

void FlushFile(TLogState& s) {
  if (std::fflush(s.file.get()) != 0) ThrowWriteError(s);
}

void WriteLine(TLogState& s, const std::string& text) {
  std::FILE* f = s.file.get();
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
      std::fwrite("\r\n", 1, 2, f) != 2)
    ThrowWriteError(s);
  if (++s.lines >= settings::LogFileMaxLines.load()) {
    // A full file is flushed before it is closed, so that a failure is still reported.
    FlushFile(s);
    CloseFile(s);
    CreateNextFile(s);
  }
}

} // namespace

void LogMessage(const std::string& text) {
  TLogState& s = State();
  if (s.fileOpen.load(std::memory_order_relaxed) ||
      s.windowCaptures.load(std::memory_order_relaxed))
    TNMainLoop::Instance().Post(WM_LOG_LINE, 0, 0, text);
}

std::string ErrorText(const std::exception& e) {
  if (auto poco = dynamic_cast<const Poco::Exception*>(&e)) return poco->displayText();
  return e.what();
}

void WriteLogLine(const std::string& text) {
  TLogState& s = State();
  if (s.windowCaptures && s.sink) s.sink(text);
  if (s.fileOpen) WriteLine(s, text);
}

void FlushLog() {
  TLogState& s = State();
  if (s.fileOpen) FlushFile(s);
  if (s.windowCaptures && s.sinkFlush) s.sinkFlush();
}

void HandleLogLine(const std::string& text) {
  WriteLogLine(text);
  FlushLog();
}

void OpenLog() {
  TLogState& s = State();
  if (s.openAttempted) return;
  s.openAttempted = true;
  if (!settings::LogToFile) return;
  CreateNextFile(s);
}

void CloseLog() {
  TLogState& s = State();
  s.openAttempted = false;
  if (s.fileOpen) CloseFile(s);
}

bool LogFileIsOpen() { return State().fileOpen; }

fs::path LogFilePath() { return State().filePath; }

fs::path LogFolder() {
  const TLogState& s = State();
  return s.folder.empty() ? HomeFolder() : s.folder;
}

void SetLogFolder(const fs::path& folder) { State().folder = folder; }

void SetLogWindowSink(std::function<void(const std::string&)> sink, std::function<void()> flush) {
  TLogState& s = State();
  s.windowCaptures = false;
  if (s.sinkFlush) s.sinkFlush();
  s.sink = std::move(sink);
  s.sinkFlush = s.sink ? std::move(flush) : nullptr;
  s.windowCaptures = static_cast<bool>(s.sink);
}

bool LogWindowCaptures() { return State().windowCaptures; }

std::string NextLogFileName(const fs::path& folder, int32_t maxNo) {
  maxNo = std::max(maxNo, 0);
  std::vector<TListedLog> listed = ListLogFiles(folder);
  if (listed.empty()) return LogFileName(0);

  std::erase_if(listed, [&](const TListedLog& log) {
    if (log.No <= maxNo) return false;
    Remove(log.Path);
    return true;
  });

  int32_t largest = 0;
  int32_t smallest = maxNo;
  for (const TListedLog& log : listed) {
    largest = std::max(largest, log.No);
    smallest = std::min(smallest, log.No);
  }
  if (largest < maxNo) return LogFileName(largest + 1);

  if (smallest == 0)
    std::erase_if(listed, [](const TListedLog& log) {
      if (log.No != 0) return false;
      Remove(log.Path);
      return true;
    });
  // Among names with one number the plain "LOGk.TXT" moves first, so it is never left behind
  // to be replaced by the new file.
  auto order = [](const TListedLog& log) {
    return std::pair(log.No, log.Path.filename() != LogFileName(log.No));
  };
  std::sort(listed.begin(), listed.end(),
            [&](const TListedLog& a, const TListedLog& b) { return order(a) < order(b); });
  for (const TListedLog& log : listed)
    RenameNoReplace(log.Path, folder / LogFileName(log.No - 1));
  return LogFileName(maxNo);
}

} // namespace voxmit
