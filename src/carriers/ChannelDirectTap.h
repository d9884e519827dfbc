#pragma once
// Alphanumeric paging over a serial line wired to the paging terminal (CT_DIRECT_TAP): no
// modem and no dialling; the logon carries no password.
//
// Threads: as TChannelTap (the iterator constructs it, its worker calls the operations).

#include <string>
#include <vector>

#include "carriers/ChannelTap.h"

namespace voxmit {

class TChannelDirectTap : public TChannelTap {
public:
  explicit TChannelDirectTap(const TNChannelArgs& args);
  // FiFoIn: 10000; FiFoOut: OutputBufferLimit.
  static TBufferLimits GetBufferLimits();

protected:
  // No modem to prepare.
  bool InitDevice() override;
  // Wake the terminal for its ID= prompt and log on; up to LogonRetries + 1 attempts.
  TChannelConnectResult Connect() override;
  // The port name only.
  bool ParseDeviceSettings() override;
  // The terminal's ESC EOT.
  std::string LogoffAnswer() const override;

  std::vector<std::string> DirectPromptAnswers;

private:
  TChannelConnectResult LogOnOnce();
};

} // namespace voxmit
