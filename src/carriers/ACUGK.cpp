#include "carriers/ACUGK.h"

#include <exception>
#include <vector>

#include <Poco/Format.h>

#include "channels/BaseChannel.h"
#include "common/CommaText.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"

namespace voxmit {

ACUGateKeeper::ACUGateKeeper() : holder_(std::make_unique<ACUCB>()) {
  holder_->Handler1 = [this](int32_t state, const std::string&) { OnLinkState(state); };
  holder_->Handler2 = [this](int32_t reference, int32_t errorFlag, const std::string&) {
    OnMessageResult(reference, errorFlag);
  };
  try {
    library_ = std::make_unique<Orvex>(*holder_);
    LogMessage("ACUGateKeeper, create ORVEXNET COM object succeeded.");
  } catch (const std::exception&) {
    LogMessage("ACUGateKeeper, create ORVEXNET COM object failed.");
  }
  exists_ = true;
}

ACUGateKeeper::~ACUGateKeeper() {
  library_.reset();  // Delete: the library lets go of the holder before the holder goes
  holder_->ClearHandlers();
  holder_.reset();
  connected_ = false;
  exists_ = false;
}

void ACUGateKeeper::Connect(const std::string& request) {
  if (!library_) return;
  const std::vector<std::string> fields = SplitCommaText(request);
  int32_t port = 0;
  int32_t numberC = 0;
  if (fields.size() < 5 || !CommaFieldToInt(fields[3], port) ||
      !CommaFieldToInt(fields[4], numberC)) {
    LogMessage("ACUGateKeeper, connect request not understood: \"" + request + "\"");
    return;
  }
  library_->Connect(TrimControls(fields[0]), TrimControls(fields[1]), TrimControls(fields[2]),
                    port, numberC);
  LogMessage("ACUGateKeeper, Start to connect to Gatekeeper");
}

void ACUGateKeeper::Send(const std::string& request) {
  if (!library_) return;
  const std::vector<std::string> fields = SplitCommaText(request);
  int32_t reference = 0;
  int32_t terminal = 0;
  if (fields.size() < 3 || !CommaFieldToInt(fields[0], reference) ||
      !CommaFieldToInt(fields[1], terminal)) {
    LogMessage("ACUGateKeeper, send request not understood: \"" + request + "\"");
    return;
  }
  if (!connected_) {
    LogMessage(Poco::format(
        "ACUGateKeeper, Message %d dropped: not connected to Gatekeeper", reference));
    return;
  }
  library_->SendText(reference, terminal, TrimControls(fields[2]));
}

void ACUGateKeeper::OnLinkState(int32_t state) {
  connected_ = state == 0;
  LogMessage(state == 0 ? "ACUGateKeeper, connected to Gatekeeper"
                        : "ACUGateKeeper, disconnected from Gatekeeper");
}

void ACUGateKeeper::OnMessageResult(int32_t reference, int32_t errorFlag) {
  LogMessage(Poco::format(errorFlag == 0
                              ? "ACUGateKeeper, Message %d sent from GateKeeper to ACU completed"
                              : "ACUGateKeeper, Message %d sent from GateKeeper to ACU error",
                          reference));
}

bool HandleGatekeeperMessage(std::unique_ptr<ACUGateKeeper>& keeper,
                             const TNPostedMessage& message) {
  switch (message.Code) {
    case WM_GATEKEEPER_CREATE:
      if (!keeper) keeper = std::make_unique<ACUGateKeeper>();
      return true;
    case WM_GATEKEEPER_CONNECT:
      if (keeper) keeper->Connect(message.Text);
      return true;
    case WM_GATEKEEPER_SEND:
      if (keeper) keeper->Send(message.Text);
      return true;
    default:
      return false;
  }
}

void PostGatekeeperCreate() { TNMainLoop::Instance().Post(WM_GATEKEEPER_CREATE); }

void PostGatekeeperConnect(const std::string& request) {
  TNMainLoop::Instance().Post(WM_GATEKEEPER_CONNECT, 0, 0, request);
}

void PostGatekeeperSend(const std::string& request) {
  TNMainLoop::Instance().Post(WM_GATEKEEPER_SEND, 0, 0, request);
}

} // namespace voxmit
