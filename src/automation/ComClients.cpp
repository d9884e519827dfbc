#include "automation/ComClients.h"

#include "automation/AutomationObjects.h"

namespace voxmit {

// ---- TComClient -----------------------------------------------------------------------------

TComClient::TComClient(TSessionContext context, TVoxmitServer& owner)
    : TBaseClient(std::move(context)), owner_(owner) {}

// The threads call the hooks, which use this part of the object.
TComClient::~TComClient() { Logoff(); }

int32_t TComClient::SendText(const std::string& text) {
  owner_.RaiseReplyMessage(text);
  return static_cast<int32_t>(text.size());
}

void TComClient::Disconnect() {
  if (disconnected_.exchange(true)) return;
  SetClosing();
  owner_.RaiseCloseConnectionRequest();
  owner_.EndSessionLater(shared_from_this());
}

std::string TComClient::GetIpAddress() const {
  std::lock_guard lock(mutex_);
  return ipAddress_;
}

std::string TComClient::GetHostName() const {
  std::lock_guard lock(mutex_);
  return hostName_;
}

void TComClient::SetHostName(std::string name) {
  std::lock_guard lock(mutex_);
  hostName_ = std::move(name);
}

void TComClient::SetIpAddress(std::string address) {
  std::lock_guard lock(mutex_);
  ipAddress_ = std::move(address);
}

// ---- TComClientVB ---------------------------------------------------------------------------

TComClientVB::TComClientVB(TSessionContext context, TVoxmitServerEx& owner,
                           std::string description)
    : TBaseClient(std::move(context)), owner_(owner), description_(std::move(description)) {}

TComClientVB::~TComClientVB() { Logoff(); }

// The typed events tell the client everything; the protocol text has no reader.
int32_t TComClientVB::SendText(const std::string& text) {
  return static_cast<int32_t>(text.size());
}

void TComClientVB::DoLogonSuccess() { owner_.OnLogonSuccess(); }

void TComClientVB::DoLogonError(TLogonError error) { owner_.OnLogonError(error); }

void TComClientVB::DoMessageAcceptSuccess(int32_t clientRecordID) {
  owner_.OnMessageAcceptSuccess(clientRecordID);
}

void TComClientVB::DoMessageAcceptError(int32_t clientRecordID, TMessageAcceptError error) {
  owner_.OnMessageAcceptError(clientRecordID, error);
}

void TComClientVB::DoMessageSendSuccess(int32_t clientRecordID) {
  owner_.OnMessageSendSuccess(clientRecordID);
}

void TComClientVB::DoMessageSendError(int32_t clientRecordID, TMessageSendError error) {
  owner_.OnMessageSendError(clientRecordID, error);
}

void TComClientVB::Disconnect() {
  if (disconnected_.exchange(true)) return;
  SetClosing();
  owner_.OnDisconnect();
  owner_.EndSessionLater(shared_from_this());
}

} // namespace voxmit
