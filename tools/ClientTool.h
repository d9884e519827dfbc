#pragma once
// The command-line client's logic, apart from main() so the tests can run it in-process:
//
//   voxmit-client [--host H] [--port P] [--guid G] [--wait SECONDS] [--id N]
//                 send CARRIERTYPE SETTINGS PAGERID TEXT
//   voxmit-client [--host H] [--port P] [--guid G] [--wait SECONDS] listen
//
// "send" logs on, submits one message once LOGON_OK has come, prints every reply as it
// arrives (keyword, a blank, the data text) and ends with the message's send result.
// "listen" logs on and prints replies until stopped, until --wait runs out, or until the
// server closes the connection.

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

namespace voxmit::client {

enum TToolExitCode {
  tecSent = 0,      // MESSAGE_SENT for the message (also: listen ended normally)
  tecSendError = 1, // MESSAGE_SEND_ERROR or MESSAGE_ACCEPT_ERROR for the message
  tecUsage = 2,     // bad arguments, no connection, logon denied, connection lost
  tecTimeOut = 3    // no send result within --wait (or stopped before it came)
};

// args: the arguments after the program name. stop is polled a few times a second.
int RunClientTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const std::atomic<bool>& stop);

} // namespace voxmit::client
