#pragma once
// The sessions of the automation objects: TComClient serves a VoxmitServer object (protocol
// text in, protocol replies out as ReplyMessage events), TComClientVB a VoxmitServerEx object
// (typed events and status, no text out). Both are ordinary TBaseClient sessions once logged
// on: in the clients list, with their send and confirmation threads.
//
// Threads: ProcessInput runs on the bus thread under the owner's session lock; Logoff on the
// thread that ends the session (TAutomationObject::EndSession) under the same lock. The hooks
// run on the session's own threads (send, confirmation) or on the bus thread; they only set
// atomics of the owner and queue events, so they never wait for the owner or the bus.
//
// Ownership: the owning object holds the session (std::shared_ptr) and outlives it: a session
// is logged off before its object goes. Disconnect hands the session to a registered thread
// that logs it off (so a server stop waits for it), and never waits itself.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "clients/BaseClient.h"

namespace voxmit {

class TVoxmitServer;
class TVoxmitServerEx;

class TComClient : public TBaseClient {
public:
  TComClient(TSessionContext context, TVoxmitServer& owner);
  ~TComClient() override;

  int32_t SendText(const std::string& text) override;
  void Disconnect() override;
  std::string GetIpAddress() const override;
  std::string GetHostName() const override;
  std::string ClientKind() const override { return "COM"; }

  // What the client reported of itself (ReportClientHostName, ReportClientIpAddress).
  void SetHostName(std::string name);
  void SetIpAddress(std::string address);

private:
  TVoxmitServer& owner_;
  std::atomic<bool> disconnected_{false};
  mutable std::mutex mutex_;  // guards hostName_ and ipAddress_
  std::string hostName_;
  std::string ipAddress_;
};

class TComClientVB : public TBaseClient {
public:
  TComClientVB(TSessionContext context, TVoxmitServerEx& owner, std::string description);
  ~TComClientVB() override;

  int32_t SendText(const std::string& text) override;
  void DoLogonSuccess() override;
  void DoLogonError(TLogonError error) override;
  void DoMessageAcceptSuccess(int32_t clientRecordID) override;
  void DoMessageAcceptError(int32_t clientRecordID, TMessageAcceptError error) override;
  void DoMessageSendSuccess(int32_t clientRecordID) override;
  void DoMessageSendError(int32_t clientRecordID, TMessageSendError error) override;
  void Disconnect() override;
  std::string GetHostName() const override { return description_; }
  std::string ClientKind() const override { return "COM"; }

private:
  TVoxmitServerEx& owner_;
  std::atomic<bool> disconnected_{false};
  const std::string description_;
};

} // namespace voxmit
