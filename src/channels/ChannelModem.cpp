#include "channels/ChannelModem.h"

#include <algorithm>
#include <thread>

#include <Poco/Format.h>

#include "devices/Devices.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"

namespace voxmit {

namespace {

using std::chrono::milliseconds;
using TClock = std::chrono::steady_clock;

constexpr char kCR = '\r';
// Each read inside the expect loop is given this long, as the original routine did.
constexpr int32_t kExpectReadTimeoutMs = 2000;
// How often a wait for the modem looks whether the channel was closed.
constexpr int32_t kStopCheckMs = 100;
// The longest pause between two dial attempts, whatever the device settings say.
constexpr int32_t kMaxRedialDelayMs = 60000;

void SleepMs(int32_t ms) { std::this_thread::sleep_for(milliseconds(std::max(0, ms))); }

// The longest entry of the list: received text older than that, less one byte, can take no
// part in a future match.
size_t LongestEntry(const std::vector<std::string>& expected) {
  size_t longest = 0;
  for (const std::string& e : expected) longest = std::max(longest, e.size());
  return longest;
}

} // namespace

std::string BuildDialText(std::string_view prefix, bool waitForDialTone, std::string_view phone) {
  std::string text = "ATDT" + TrimControls(prefix);
  if (waitForDialTone) text += "W";
  text += phone;
  text += kCR;
  return text;
}

const std::vector<std::string>& DialResponseTexts() {
  static const std::vector<std::string> responses{"CONNECT",    "NO DIALTONE", "BUSY",
                                                  "NO ANSWER", "NO CARRIER",  "ERROR"};
  return responses;
}

int32_t MatchExpected(std::string_view received, const std::vector<std::string>& expected) {
  for (size_t i = 0; i < expected.size(); ++i)
    if (received.find(expected[i]) != std::string_view::npos) return static_cast<int32_t>(i);
  return -1;
}

TDialStatus DialStatusOf(TSendModemResult result, int32_t matchedIndex) {
  switch (result) {
    case seExpectTimeout: return dsTimedOut;
    case seReadPortTimeout:
    case seWritePortTimeout: return dsPortTimedOut;
    case seOK: break;
  }
  switch (matchedIndex) {
    case 0: return dsConnected;
    case 1: return dsNoDialTone;
    case 2: return dsBusy;
    case 3: return dsNoAnswer;
    case 4: return dsNoCarrier;
    case 5: return dsComPortError;
    default: return dsTimedOut;
  }
}

const char* DialStatusText(TDialStatus status) {
  switch (status) {
    case dsConnected: return "DialUp Successful";
    case dsTimedOut: return "Error: DialUp Timed Out";
    case dsPortTimedOut: return "Error: DialUp Port Timed Out";
    case dsNoDialTone: return "Error: DialUp - No Dial Tone";
    case dsBusy: return "Error: DialUp - Busy Signal";
    case dsNoAnswer: return "Error: DialUp - No Answer";
    case dsNoCarrier: return "Error: DialUp - No Carrier";
    case dsComPortError: return "Error: DialUp - Com Port Error";
  }
  return "";
}

// What the two expect routines log; they differ only in these texts and in how chatty they are.
struct TBaseChannelModem::TExpectLog {
  std::string Routine;          // "TBaseChannelModem.SendModemString"
  std::string WaitTimeoutLine;  // the line logged when the deadline passes while waiting
  bool LogTraffic;              // the write, each read and each non-empty text
};

TBaseChannelModem::TBaseChannelModem(const TNChannelArgs& args)
    : TBaseChannelComPort(args), DialResponses(DialResponseTexts()) {}

bool TBaseChannelModem::ParseDeviceSettings() {
  TModemDeviceSettings s;
  const bool ok = ParseModemDeviceSettings(Device()->SettingsData, s);
  PortName = s.Port;
  InitString = s.InitString;
  DialingPrefix = s.DialPrefix;
  WaitForDialTone = s.WaitForDialTone;
  RedialAttempts = s.RedialAttempts;
  RedialDelay = s.RedialDelayMs;
  return ok;
}

bool TBaseChannelModem::InitDevice() {
  const int32_t timeout = settings::ModemResponseTimeout;
  if (SendModemString("AT&F\r", "OK\r", timeout, kCR) != seOK ||
      SendModemString(InitString + "V1&D2\r", "OK\r", timeout, kCR) != seOK) {
    ShowActivity("Error Initializing the Device");
    return false;
  }
  return true;
}

bool TBaseChannelModem::HangUp() {
  const bool cleared = PortHandle && PortHandle->SetDTR(false);
  SleepMs(settings::DtrHangupDelay);
  if (PortHandle) PortHandle->Purge();
  ShowActivity("Hanged Up");  // "Hanged" (sic): the original activity text
  return cleared;
}

TDialStatus TBaseChannelModem::DialUp(const std::string& phoneNumber) {
  const std::string device = Device()->Name;
  LogMessage(Poco::format("ChannelThread (%s)(%s) - Hanging Up", ClassName(), device));
  HangUp();
  // "Dialing" in the log and "Dialling" in the activity: both spellings are the original's.
  LogMessage(Poco::format("ChannelThread (%s)(%s) - Dialing Up", ClassName(), device));
  ShowActivity(Poco::format("Dialling Up (Phone: %s)", phoneNumber));
  // Applying the line state again raises DTR, which the hang-up dropped.
  if (PortHandle) PortHandle->SetDTR(true);
  int32_t matched = -1;
  const TSendModemResult result =
      SendModemStringEx(BuildDialText(DialingPrefix, WaitForDialTone, phoneNumber),
                        DialResponses, settings::ModemConnectTimeout, kCR, matched);
  const TDialStatus status = DialStatusOf(result, matched);
  ShowActivity(Poco::format("%s (Phone: %s)", std::string(DialStatusText(status)), phoneNumber));
  return status;
}

TDialStatus TBaseChannelModem::Dial(const std::string& phoneNumber) {
  // At least one attempt, whatever the settings say; a pause between attempts gives a busy
  // line the chance to clear.
  const int32_t attempts = std::max(1, RedialAttempts);
  TDialStatus status = dsTimedOut;
  for (int32_t i = 0; i < attempts; ++i) {
    status = DialUp(phoneNumber);
    if (status == dsConnected) break;
    // A closed channel stops dialling at once; an absurd delay is held to a minute.
    if (i + 1 < attempts && !WaitOrStop(std::min(RedialDelay, kMaxRedialDelayMs))) break;
  }
  return status;
}

TSendModemResult TBaseChannelModem::SendModemString(std::string_view send,
                                                    std::string_view expected, int32_t timeoutMs,
                                                    char /*terminator*/) {
  static const TExpectLog log{
      .Routine = "TBaseChannelModem.SendModemString",
      .WaitTimeoutLine = "TBaseChannelModem.SendModemString, WAIT_TIMEOUT",
      .LogTraffic = true};
  std::vector<std::string> list;
  if (!expected.empty()) list.emplace_back(expected);
  int32_t matched = -1;
  return Expect(send, list, timeoutMs, log, matched);
}

TSendModemResult TBaseChannelModem::SendModemStringEx(std::string_view send,
                                                      const std::vector<std::string>& expected,
                                                      int32_t timeoutMs, char /*terminator*/,
                                                      int32_t& matchedIndex) {
  // "SendModemStringex" with a small x is the original line: log readers match it as it is.
  static const TExpectLog log{
      .Routine = "TBaseChannelModem.SendModemStringEx",
      .WaitTimeoutLine = "TBaseChannelModem.SendModemStringex, WAIT_TIMEOUT",
      .LogTraffic = false};
  return Expect(send, expected, timeoutMs, log, matchedIndex);
}

TSendModemResult TBaseChannelModem::WaitForModemString(std::string_view expected,
                                                       char terminator, int32_t timeoutMs) {
  return SendModemString({}, expected, timeoutMs, terminator);
}

TSendModemResult TBaseChannelModem::Expect(std::string_view send,
                                           const std::vector<std::string>& expected,
                                           int32_t timeoutMs, const TExpectLog& log,
                                           int32_t& matchedIndex) {
  const TClock::time_point deadline = TClock::now() + milliseconds(std::max(0, timeoutMs));
  if (!send.empty()) {
    // A port that failed outright can deliver no answer either: waiting for one until the
    // deadline would only hold the line.
    if (WriteToComPort(send, timeoutMs) != rwOK) {
      LogMessage(log.Routine + ", seWritePortTimeout ");  // trailing blank: the original's
      return seWritePortTimeout;
    }
    // No blank after the comma: the original line.
    if (log.LogTraffic)
      LogMessage("TBaseChannelModem.SendModemString,write to comport succeeded: " +
                 MakeControlsVisible(std::string(send)));
  }
  if (expected.empty()) return seOK;
  matchedIndex = -1;
  const size_t keep = LongestEntry(expected);
  std::string received;
  for (;;) {
    // The wait goes in short slices so that a closed channel gives up the dialogue at once
    // instead of holding the server's stop until the deadline.
    if (StopRequested()) return seExpectTimeout;
    const TClock::time_point slice = std::min(deadline, TClock::now() + milliseconds(kStopCheckMs));
    if (PortHandle && PortHandle->WaitReadable(slice) == sioTimeout) {
      if (slice < deadline) continue;
      LogMessage(log.WaitTimeoutLine);
      return seExpectTimeout;
    }
    std::string text;
    const TComPortResult read = ReadFromComPort(text, kExpectReadTimeoutMs);
    if (log.LogTraffic) LogMessage("read from comport");
    if (read == rwTimeOut) {
      LogMessage(log.Routine + ", rwTimeOut ");  // trailing blank: the original's
      return seReadPortTimeout;
    }
    // The port failed or the far end hung up: nothing more will arrive.
    if (read == rwError) return seReadPortTimeout;
    if (text.empty()) {
      LogMessage(log.Routine + ", Received String: Empty String");
    } else {
      if (log.LogTraffic)
        LogMessage(log.Routine + ", Received String: " + MakeControlsVisible(text));
      received += text;
      matchedIndex = MatchExpected(received, expected);
      // Line noise must not grow the text without bound; what can still be part of a match
      // is kept.
      if (matchedIndex < 0 && keep > 0 && received.size() > keep * 2 + 512)
        received.erase(0, received.size() - (keep - 1));
    }
    if (TClock::now() > deadline) {
      LogMessage(log.Routine + ", expect String seExpectTimeout");
      return seExpectTimeout;
    }
    if (matchedIndex >= 0) return seOK;
  }
}

} // namespace voxmit
