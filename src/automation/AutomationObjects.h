#pragma once
// The automation objects: TVoxmitServer (protocol text in, replies out as ReplyMessage) and
// TVoxmitServerEx (typed properties, Logon and SendMessage, typed events), each with its
// session (ComClients.h), and the class factory object. Their D-Bus glue is generated from
// VoxmitServer2.xml (VoxmitServer2_adaptor.h).
//
// Threads: the D-Bus members run on the bus thread. The status an Ex object's hooks set is
// atomic; the stored strings are guarded by propsMutex_. sessionMutex_ keeps ProcessInput (bus
// thread) and Logoff (the thread ending the session) apart, and guards session_; the hooks
// never take it, so a Logoff under it cannot wait on a hook that waits for it.
//
// Ownership: the server's table (AutomationServer.h) holds each object; the object owns its
// session. Every member but the accessors fails with VoxmitServer2.Error.ObjectReleased once
// the object was released; an unexpected failure is returned as VoxmitServer2.Error.Failed.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "VoxmitServer2_adaptor.h"
#include "clients/BaseClient.h"

namespace voxmit {

class TAutomationServer;

class TAutomationObject : public std::enable_shared_from_this<TAutomationObject> {
public:
  TAutomationObject(TAutomationServer& server, std::string path, std::string owner,
                    bool endsProcess);
  virtual ~TAutomationObject() = default;
  TAutomationObject(const TAutomationObject&) = delete;
  TAutomationObject& operator=(const TAutomationObject&) = delete;

  const std::string& Path() const { return path_; }
  // The unique bus name of the client that created the object; its events go there.
  const std::string& Owner() const { return owner_; }
  // The first object of a bus-activated process: releasing it ends the process.
  bool EndsProcess() const { return endsProcess_; }
  virtual sdbus::IObject& DBusObject() = 0;

  // Later calls fail. Bus thread (the object leaves the table at the same time).
  void MarkReleased() { released_ = true; }
  // Logs off session, or the object's current session when session is null, and forgets it.
  // Never on the bus thread: the logoff waits for the session's threads.
  void EndSession(const std::shared_ptr<TBaseClient>& session = nullptr);
  // The same on a registered thread of its own (a Disconnect: it may not wait).
  void EndSessionLater(std::shared_ptr<TBaseClient> session);

protected:
  // Queues a signal of the events interface for the owner. Any thread.
  void Raise(const char* interfaceName, const char* signalName,
             std::function<void(sdbus::Signal&)> arguments = nullptr);
  // Runs a D-Bus member: refuses a released object, turns failures into D-Bus errors.
  template <class F>
  auto Call(F&& body) -> decltype(body()) {
    if (released_) throw sdbus::Error(ErrorReleased(), "The object was released");
    try {
      return body();
    } catch (const sdbus::Error&) {
      throw;
    } catch (const std::exception& e) {
      throw sdbus::Error(ErrorFailed(), e.what());
    }
  }
  // The session to feed for this call: the current one when it may still serve, otherwise
  // (none yet, closing, or of an earlier run) a new one made by make. Under sessionMutex_.
  std::shared_ptr<TBaseClient> SessionFor(
      uint64_t generation, const std::function<std::shared_ptr<TBaseClient>()>& make);

  TAutomationServer& server_;
  std::mutex sessionMutex_;
  std::shared_ptr<TBaseClient> session_;  // guarded by sessionMutex_
  uint64_t sessionGeneration_ = 0;         // guarded by sessionMutex_

private:
  static const char* ErrorReleased();
  static const char* ErrorFailed();

  const std::string path_;
  const std::string owner_;
  const bool endsProcess_;
  std::atomic<bool> released_{false};
};

class TVoxmitServer final
    : public TAutomationObject,
      public sdbus::AdaptorInterfaces<VoxmitServer2::IVoxmitServer_adaptor,
                                      VoxmitServer2::IVoxmitServerEvents_adaptor,
                                      VoxmitServer2::IUnknown_adaptor> {
public:
  TVoxmitServer(TAutomationServer& server, std::string path, std::string owner,
                bool endsProcess);
  ~TVoxmitServer() override;
  sdbus::IObject& DBusObject() override { return getObject(); }

  // Session hooks (any thread).
  void RaiseReplyMessage(const std::string& text);
  void RaiseCloseConnectionRequest();

private:
  void SendMessage(const std::string& MessageText) override;
  void Start() override;
  void Stop() override;
  bool Running() override;
  void ShowMenu(const int32_t& Left, const int32_t& Top) override;
  void ReportClientHostName(const std::string& HostName) override;
  void ReportClientIpAddress(const std::string& IpAddress) override;
  void Release() override;

  std::mutex reportMutex_;  // guards the reported strings
  std::string hostName_;
  std::string ipAddress_;
};

class TVoxmitServerEx final
    : public TAutomationObject,
      public sdbus::AdaptorInterfaces<VoxmitServer2::IVoxmitServerEx_adaptor,
                                      VoxmitServer2::IVoxmitServerExEvents_adaptor,
                                      VoxmitServer2::IUnknown_adaptor> {
public:
  TVoxmitServerEx(TAutomationServer& server, std::string path, std::string owner,
                  bool endsProcess);
  ~TVoxmitServerEx() override;
  sdbus::IObject& DBusObject() override { return getObject(); }

  // Session hooks (any thread): set the status as the hook says, then raise the event.
  void OnLogonSuccess();
  void OnLogonError(int32_t code);
  void OnMessageAcceptSuccess(int32_t clientRecordID);
  void OnMessageAcceptError(int32_t clientRecordID, int32_t code);
  void OnMessageSendSuccess(int32_t clientRecordID);
  void OnMessageSendError(int32_t clientRecordID, int32_t code);
  void OnDisconnect();

private:
  void Start() override;
  void Stop() override;
  void SendMessage(const int32_t& ClientRecordID) override;
  void Logon(const std::string& ClientGUIDstring, const std::string& ClientDescription) override;
  int32_t CarrierType() override;
  void CarrierType(const int32_t& value) override;
  std::string CarrierSettings() override;
  void CarrierSettings(const std::string& value) override;
  std::string PagerID() override;
  void PagerID(const std::string& value) override;
  std::string MessageText() override;
  void MessageText(const std::string& value) override;
  bool Active() override;
  bool LogonProcessed() override { return logonProcessed_; }
  bool MessageProcessed() override { return messageProcessed_; }
  int32_t LogonError() override { return logonError_; }
  int32_t MessageError() override { return messageError_; }
  void Release() override;

  std::mutex propsMutex_;  // guards the four strings
  std::atomic<int32_t> carrierType_{0};
  std::string carrierSettings_;
  std::string pagerID_;
  std::string messageText_;
  std::atomic<bool> logonProcessed_{false};
  std::atomic<bool> messageProcessed_{false};
  std::atomic<int32_t> logonError_{0};
  std::atomic<int32_t> messageError_{0};
  std::atomic<bool> loggedOn_{false};
};

class TFactoryObject final
    : public sdbus::AdaptorInterfaces<VoxmitServer2::ClassFactory_adaptor> {
public:
  TFactoryObject(sdbus::IConnection& connection, TAutomationServer& server);
  ~TFactoryObject();

private:
  sdbus::ObjectPath CreateObject(const std::string& ClassName) override;
  TAutomationServer& server_;
};

// Which object kind a class name (ProgID or braced class GUID, any letter case) names.
enum class TAutomationClass { None, VoxmitServer, VoxmitServerEx };
TAutomationClass ClassFromName(const std::string& className);

// The number of carrier settings items a carrier type needs, 0 for an unknown type.
int32_t CarrierSettingsItemCount(int32_t carrierType);
// True for a GUID in its 38-character braced form (hex digits of either case).
bool IsBracedGuid(const std::string& text);
// A new random GUID, braced and upper case.
std::string NewBracedGuid();

} // namespace voxmit
