#pragma once
// A fake server object for the terminal API library, built as a provider shared object (the
// library loads it through ORVEXNET_SERVER). It records every command with its arguments, every
// Advise and Unadvise, and fires any of the ten events on demand at the attached sinks.
//
// In-process tests reach it through FakeOrvexnetControlInstance (dlopen the same path, dlsym
// the name). A test in another process (the server) steers it through the environment:
//   ORVEXNET_FAKE_LOG   a file; each command is appended as one line (FormatCall)
//   ORVEXNET_FAKE_LINK  "up": Host reports the link up (state 0) at once; "down": state 1;
//                       anything else or unset: Host reports nothing
//   SendTextMessage then reports its reference back with error flag 0.
//
// Threads: the fake, like the server it stands for, is used on one thread at a time.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "OrvexCom.h"

namespace orvex::fake {

using TArg = std::variant<int32_t, std::u16string>;

struct TCall {
  std::string Method;
  std::vector<TArg> Args;
};

// One line: the method, then each argument after a "|": "i:" and the decimal integer, or "s:"
// and each UTF-16 unit as four lower-case hex digits.
inline std::string FormatCall(const TCall& call) {
  std::string line = call.Method;
  for (const TArg& arg : call.Args) {
    if (const auto* i = std::get_if<int32_t>(&arg)) {
      line += "|i:" + std::to_string(*i);
      continue;
    }
    line += "|s:";
    char unit[5];
    for (char16_t u : std::get<std::u16string>(arg)) {
      std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(u));
      line += unit;
    }
  }
  return line;
}

// A line written by FormatCall, read back; nothing when it is not one.
inline std::optional<TCall> ParseCall(const std::string& line) {
  TCall call;
  size_t at = line.find('|');
  call.Method = line.substr(0, at);
  while (at != std::string::npos) {
    const size_t next = line.find('|', at + 1);
    const std::string field = line.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    at = next;
    if (field.rfind("i:", 0) == 0) {
      call.Args.emplace_back(static_cast<int32_t>(std::stol(field.substr(2))));
    } else if (field.rfind("s:", 0) == 0 && (field.size() - 2) % 4 == 0) {
      std::u16string text;
      for (size_t i = 2; i < field.size(); i += 4)
        text += static_cast<char16_t>(std::stoul(field.substr(i, 4), nullptr, 16));
      call.Args.emplace_back(text);
    } else {
      return std::nullopt;
    }
  }
  return call;
}

class TControl {
public:
  // Every command, Advise and Unadvise so far, in order (Advise and Unadvise with no args).
  virtual std::vector<TCall> Calls() const = 0;
  // Forgets the calls and every setting below.
  virtual void Reset() = 0;
  // What every command returns (S_OK unless set).
  virtual void SetResult(HRESULT result) = 0;
  // ConfigGet's value; hasValue false: it sets no value at all.
  virtual void SetConfigValue(const std::u16string& value, bool hasValue = true) = 0;
  // What GetTerminalEvent writes to its out parameter; hasValue false: it writes nothing.
  virtual void SetTerminalEvent(int32_t value, bool hasValue = true) = 0;
  // Creation refuses; the object offers no connection point.
  virtual void FailCreate(bool fail) = 0;
  virtual void FailConnectionPoint(bool fail) = 0;
  // The fake keeps one reference of its own to the next server it makes (Delete then reports
  // 1); ReleaseHeld lets it go.
  virtual void HoldNextServer(bool hold) = 0;
  virtual void ReleaseHeld() = 0;
  // Server objects alive, sinks attached now.
  virtual int ServersAlive() const = 0;
  virtual int SinksAttached() const = 0;
  // Calls event slot (3 to 12) of every attached sink; the integers and the strings are taken
  // in the order the event's parameters list them. Returns the last sink's HRESULT (E_FAIL
  // without a sink or for a bad slot).
  virtual HRESULT Fire(int slot, const std::vector<int32_t>& ints,
                       const std::vector<std::u16string>& strings) = 0;

protected:
  ~TControl() = default;
};

} // namespace orvex::fake

extern "C" orvex::fake::TControl* FakeOrvexnetControlInstance();
