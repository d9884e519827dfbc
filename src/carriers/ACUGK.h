#pragma once
// The link to the terminal network's gatekeeper: one object for the whole program, made on the
// UI thread at a gatekeeper channel's first request and kept until the main form goes. The
// gatekeeper channels never call it: they post the three requests below to the UI thread and
// read the two flags.
//
// Threads: construction, destruction, Connect, Send and HandleGatekeeperMessage belong to the
// UI thread (the thread that owns the library handle; its events arrive there too). The flags
// Exists and GatekeeperConnected are written there and may be read from any thread. The
// Post* functions are safe from any thread.
// Ownership: the gatekeeper owns its callback holder and its library object; whoever calls
// HandleGatekeeperMessage (the main form) owns the gatekeeper.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "carriers/orvexint.h"
#include "platform/TNMainLoop.h"

namespace voxmit {

class ACUGateKeeper {
public:
  // Creates the library object; logs whether that worked. Without it the gatekeeper stays,
  // and Connect and Send do nothing.
  ACUGateKeeper();
  ~ACUGateKeeper();
  ACUGateKeeper(const ACUGateKeeper&) = delete;
  ACUGateKeeper& operator=(const ACUGateKeeper&) = delete;

  // A WM_GATEKEEPER_CONNECT text: "A,B,host,port,C".
  void Connect(const std::string& request);
  // A WM_GATEKEEPER_SEND text: "reference,terminal,payload"; dropped, with a log line, while
  // the link is down.
  void Send(const std::string& request);

  bool HasLibrary() const { return library_ != nullptr; }

  // Any thread: whether a gatekeeper exists, and whether its link is up.
  static bool Exists() { return exists_; }
  static bool GatekeeperConnected() { return connected_; }

private:
  void OnLinkState(int32_t state);
  void OnMessageResult(int32_t reference, int32_t errorFlag);

  std::unique_ptr<ACUCB> holder_;
  std::unique_ptr<Orvex> library_;

  inline static std::atomic<bool> exists_{false};
  inline static std::atomic<bool> connected_{false};
};

// UI thread: carries out a gatekeeper request (creating the gatekeeper in keeper on
// WM_GATEKEEPER_CREATE unless one exists); false when message is no gatekeeper request.
bool HandleGatekeeperMessage(std::unique_ptr<ACUGateKeeper>& keeper,
                             const TNPostedMessage& message);

// Any thread: the three requests, each with its own copy of its text.
void PostGatekeeperCreate();
void PostGatekeeperConnect(const std::string& request);
void PostGatekeeperSend(const std::string& request);

} // namespace voxmit
