#pragma once
// A Hayes-style AT modem on the channel's serial port: modem reset and init, dialling with
// redial attempts, hang-up by dropping DTR, and the write-then-expect routines every serial
// carrier dialogue is built on.
//
// The pure helpers at the top (settings, dial text, answer matching, dial status) are callable
// from any thread. TBaseChannelModem's operations run on the channel's worker thread only.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelComPort.h"

namespace voxmit {

// Results of SendModemString and SendModemStringEx.
enum TSendModemResult : int32_t {
  seOK = 0,
  seReadPortTimeout = 1,   // a read timed out or the port failed while reading
  seWritePortTimeout = 2,  // the write came back short or failed
  seExpectTimeout = 3      // the deadline passed
};

// The outcome of one dial attempt.
enum TDialStatus : int32_t {
  dsConnected = 0,
  dsTimedOut = 1,
  dsPortTimedOut = 2,
  dsNoDialTone = 3,
  dsBusy = 4,
  dsNoAnswer = 5,
  dsNoCarrier = 6,
  dsComPortError = 7
};

// "ATDT" + prefix trimmed + ("W" when waiting for the dial tone) + phone number + CR.
std::string BuildDialText(std::string_view prefix, bool waitForDialTone, std::string_view phone);

// The modem's answers to a dial command, in the order they are tried.
const std::vector<std::string>& DialResponseTexts();

// The first entry of expected (in list order) that occurs anywhere in received; -1 for none.
int32_t MatchExpected(std::string_view received, const std::vector<std::string>& expected);

// The dial status of a dial command's outcome: the routine's result and the matched entry of
// DialResponseTexts.
TDialStatus DialStatusOf(TSendModemResult result, int32_t matchedIndex);
const char* DialStatusText(TDialStatus status);

// Abstract: carriers over a modem derive from it. Non-copyable (owns the port).
class TBaseChannelModem : public TBaseChannelComPort {
protected:
  explicit TBaseChannelModem(const TNChannelArgs& args);

  // AT&F, then the init string with V1&D2 appended; false (and the device shown in error)
  // when the modem does not answer OK within ModemResponseTimeout.
  bool InitDevice() override;
  // Drops DTR, waits DtrHangupDelay, purges both directions; false when DTR could not be
  // dropped (a line without modem signals).
  bool HangUp() override;
  bool ParseDeviceSettings() override;
  // Up to RedialAttempts dial attempts of phoneNumber (at least one), RedialDelay apart (at
  // most 60 s); a closed channel stops dialling. The last status.
  virtual TDialStatus Dial(const std::string& phoneNumber);
  // Hang up, raise DTR, dial, and show the outcome as the device activity.
  TDialStatus DialUp(const std::string& phoneNumber);

  // Writes send (when not empty), then reads until expected occurs in what arrived since the
  // call began. timeoutMs is one deadline for the whole exchange. The terminator takes no
  // part in matching.
  TSendModemResult SendModemString(std::string_view send, std::string_view expected,
                                   int32_t timeoutMs, char terminator);
  // As SendModemString, for a list of answers: matchedIndex is the position of the first entry
  // of expected (in list order) found in what arrived, -1 when none. An empty list returns
  // right after the write, leaving matchedIndex untouched.
  TSendModemResult SendModemStringEx(std::string_view send,
                                     const std::vector<std::string>& expected, int32_t timeoutMs,
                                     char terminator, int32_t& matchedIndex);
  TSendModemResult WaitForModemString(std::string_view expected, char terminator,
                                      int32_t timeoutMs);

  int32_t RedialAttempts = 3;
  int32_t RedialDelay = 1000;
  std::string InitString;
  std::string DialingPrefix;
  bool WaitForDialTone = false;
  std::vector<std::string> DialResponses;

private:
  struct TExpectLog;
  TSendModemResult Expect(std::string_view send, const std::vector<std::string>& expected,
                          int32_t timeoutMs, const TExpectLog& log, int32_t& matchedIndex);
};

} // namespace voxmit
