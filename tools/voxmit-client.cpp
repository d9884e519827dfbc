// voxmit-client: logs on to the server, submits one message or listens for replies.
// Run without arguments for the usage.

#include <signal.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "tools/ClientTool.h"

namespace {

std::atomic<bool> StopRequested{false};

void OnStopSignal(int) { StopRequested = true; }

void InstallSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char** argv) {
  InstallSignals();
  const std::vector<std::string> args(argv + 1, argv + argc);
  return voxmit::client::RunClientTool(args, std::cout, std::cerr, StopRequested);
}
