#include "automation/AutomationObjects.h"

#include <cctype>
#include <vector>

#include <Poco/String.h>
#include <Poco/UUIDGenerator.h>

#include "automation/AutomationIds.h"
#include "automation/AutomationServer.h"
#include "automation/ComClients.h"
#include "clients/TcpMessages.h"
#include "common/CommaText.h"
#include "common/ServerTypes.h"
#include "platform/ThreadRegistry.h"

namespace voxmit {

namespace {

// The D-Bus caller of the call being handled (bus thread only).
std::string CallerOf(sdbus::IObject& object) {
  const sdbus::Message* message = object.getCurrentlyProcessedMessage();
  return message ? message->getSender() : std::string();
}

std::string Frame(const std::string& body) {
  return std::string(FrameStart) + body + std::string(FrameEnd);
}

bool HoldsFrameMarker(const std::string& text) {
  return text.find(FrameStart) != std::string::npos || text.find(FrameEnd) != std::string::npos;
}

} // namespace

// ---- free functions -------------------------------------------------------------------------

TAutomationClass ClassFromName(const std::string& className) {
  const std::string name = Poco::trim(className);
  const auto is = [&name](const char* s) { return Poco::icompare(name, std::string(s)) == 0; };
  if (is(kVoxmitServerProgId) || is(kVoxmitServerClassId)) return TAutomationClass::VoxmitServer;
  if (is(kVoxmitServerExProgId) || is(kVoxmitServerExClassId))
    return TAutomationClass::VoxmitServerEx;
  return TAutomationClass::None;
}

int32_t CarrierSettingsItemCount(int32_t carrierType) {
  switch (carrierType) {
    case CT_TAP: case CT_DIRECT_TAP: case CT_SMTP: case CT_SNPP: return 5;
    case CT_PACNET: case CT_GSM_SMS: case CT_ACU: return 6;
    case CT_WCTP: case CT_MSG: return 3;
    case CT_ACUGK: return 11;
    default: return 0;
  }
}

bool IsBracedGuid(const std::string& text) {
  static constexpr const char* kShape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != 38) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char want = kShape[i];
    if (want == 'X' ? !std::isxdigit(static_cast<unsigned char>(text[i])) : text[i] != want)
      return false;
  }
  return true;
}

std::string NewBracedGuid() {
  return "{" + Poco::toUpper(Poco::UUIDGenerator::defaultGenerator().createRandom().toString()) +
         "}";
}

// ---- TAutomationObject ----------------------------------------------------------------------

TAutomationObject::TAutomationObject(TAutomationServer& server, std::string path,
                                     std::string owner, bool endsProcess)
    : server_(server), path_(std::move(path)), owner_(std::move(owner)),
      endsProcess_(endsProcess) {}

const char* TAutomationObject::ErrorReleased() { return kErrorReleased; }
const char* TAutomationObject::ErrorFailed() { return kErrorFailed; }

void TAutomationObject::EndSession(const std::shared_ptr<TBaseClient>& session) {
  std::lock_guard lock(sessionMutex_);
  std::shared_ptr<TBaseClient> ending = session ? session : session_;
  if (!ending) return;
  if (session_ == ending) session_.reset();
  ending->Logoff();
}

void TAutomationObject::EndSessionLater(std::shared_ptr<TBaseClient> session) {
  auto self = weak_from_this().lock();
  if (!self) return;  // the object is going: its own end logs the session off
  TNThreadRegistry::Instance().Spawn("automation session end",
                                     [self = std::move(self), session = std::move(session)] {
                                       self->EndSession(session);
                                     });
}

void TAutomationObject::Raise(const char* interfaceName, const char* signalName,
                              std::function<void(sdbus::Signal&)> arguments) {
  if (auto self = weak_from_this().lock())
    server_.QueueEvent(std::move(self), interfaceName, signalName, std::move(arguments));
}

std::shared_ptr<TBaseClient> TAutomationObject::SessionFor(
    uint64_t generation, const std::function<std::shared_ptr<TBaseClient>()>& make) {
  if (session_ && !session_->Closing() && sessionGeneration_ == generation) return session_;
  if (session_) {
    // Closing, or of an earlier run: it is logged off elsewhere, never fed again.
    std::shared_ptr<TBaseClient> stale = std::move(session_);
    session_.reset();
    EndSessionLater(std::move(stale));
  }
  session_ = make();
  sessionGeneration_ = generation;
  return session_;
}

// ---- TVoxmitServer --------------------------------------------------------------------------

TVoxmitServer::TVoxmitServer(TAutomationServer& server, std::string path, std::string owner,
                             bool endsProcess)
    : TAutomationObject(server, path, std::move(owner), endsProcess),
      AdaptorInterfaces(server.Connection(), path) {
  registerAdaptor();
}

TVoxmitServer::~TVoxmitServer() {
  unregisterAdaptor();
  EndSession();
}

void TVoxmitServer::RaiseReplyMessage(const std::string& text) {
  Raise(kIVoxmitServerEvents, "ReplyMessage", [text](sdbus::Signal& s) { s << text; });
}

void TVoxmitServer::RaiseCloseConnectionRequest() {
  Raise(kIVoxmitServerEvents, "CloseConnectionRequest");
}

void TVoxmitServer::SendMessage(const std::string& MessageText) {
  Call([&] {
    const TContextLease lease = server_.CurrentContext();
    std::lock_guard lock(sessionMutex_);
    auto session = SessionFor(lease.Generation, [&]() -> std::shared_ptr<TBaseClient> {
      if (!lease.Context) return nullptr;
      auto client = std::make_shared<TComClient>(*lease.Context, *this);
      std::lock_guard reportLock(reportMutex_);
      client->SetHostName(hostName_);
      client->SetIpAddress(ipAddress_);
      return client;
    });
    if (!session) throw sdbus::Error(kErrorServerNotActive, "The server is not running");
    std::string buffer = MessageText;
    session->ProcessInput(buffer);
  });
}

void TVoxmitServer::Start() {
  Call([&] { server_.Host().StartServer(); });
}

void TVoxmitServer::Stop() {
  Call([&] { server_.Host().StopServer(); });
}

bool TVoxmitServer::Running() {
  return Call([&] { return server_.Host().Running(); });
}

void TVoxmitServer::ShowMenu(const int32_t& Left, const int32_t& Top) {
  Call([&] { server_.Host().ShowMenu(Left, Top); });
}

void TVoxmitServer::ReportClientHostName(const std::string& HostName) {
  Call([&] {
    {
      std::lock_guard lock(reportMutex_);
      hostName_ = HostName;
    }
    std::lock_guard lock(sessionMutex_);
    if (auto client = std::dynamic_pointer_cast<TComClient>(session_)) client->SetHostName(HostName);
  });
}

void TVoxmitServer::ReportClientIpAddress(const std::string& IpAddress) {
  Call([&] {
    {
      std::lock_guard lock(reportMutex_);
      ipAddress_ = IpAddress;
    }
    std::lock_guard lock(sessionMutex_);
    if (auto client = std::dynamic_pointer_cast<TComClient>(session_))
      client->SetIpAddress(IpAddress);
  });
}

void TVoxmitServer::Release() {
  Call([&] { server_.ReleaseObject(Path(), CallerOf(getObject())); });
}

// ---- TVoxmitServerEx ------------------------------------------------------------------------

TVoxmitServerEx::TVoxmitServerEx(TAutomationServer& server, std::string path, std::string owner,
                                 bool endsProcess)
    : TAutomationObject(server, path, std::move(owner), endsProcess),
      AdaptorInterfaces(server.Connection(), path) {
  registerAdaptor();
}

TVoxmitServerEx::~TVoxmitServerEx() {
  unregisterAdaptor();
  EndSession();
}

void TVoxmitServerEx::OnLogonSuccess() {
  logonError_ = LE_OK;
  loggedOn_ = true;
  logonProcessed_ = true;
  Raise(kIVoxmitServerExEvents, "LogonSuccess");
}

void TVoxmitServerEx::OnLogonError(int32_t code) {
  logonError_ = code;
  loggedOn_ = false;
  logonProcessed_ = true;
  Raise(kIVoxmitServerExEvents, "LogonError", [code](sdbus::Signal& s) { s << code; });
}

void TVoxmitServerEx::OnMessageAcceptSuccess(int32_t id) {
  messageError_ = MAE_OK;
  messageProcessed_ = true;
  Raise(kIVoxmitServerExEvents, "MessageAcceptSuccess", [id](sdbus::Signal& s) { s << id; });
}

void TVoxmitServerEx::OnMessageAcceptError(int32_t id, int32_t code) {
  messageError_ = code;
  messageProcessed_ = true;
  Raise(kIVoxmitServerExEvents, "MessageAcceptError",
        [id, code](sdbus::Signal& s) { s << id << code; });
}

void TVoxmitServerEx::OnMessageSendSuccess(int32_t id) {
  Raise(kIVoxmitServerExEvents, "MessageSendSuccess", [id](sdbus::Signal& s) { s << id; });
}

void TVoxmitServerEx::OnMessageSendError(int32_t id, int32_t code) {
  Raise(kIVoxmitServerExEvents, "MessageSendError",
        [id, code](sdbus::Signal& s) { s << id << code; });
}

void TVoxmitServerEx::OnDisconnect() {
  // The session is gone: a message sent now would reach nobody.
  loggedOn_ = false;
  Raise(kIVoxmitServerExEvents, "CloseConnectionRequest");
}

void TVoxmitServerEx::Start() {
  Call([&] { server_.Host().StartServer(); });
}

void TVoxmitServerEx::Stop() {
  Call([&] { server_.Host().StopServer(); });
}

bool TVoxmitServerEx::Active() {
  return Call([&] { return server_.Host().Running(); });
}

void TVoxmitServerEx::Logon(const std::string& ClientGUIDstring,
                            const std::string& ClientDescription) {
  Call([&] {
    logonProcessed_ = false;
    const TContextLease lease = server_.CurrentContext();
    std::lock_guard lock(sessionMutex_);
    if (!lease.Context || !server_.Host().Running()) {
      OnLogonError(LE_SERVER_NOT_ACTIVE);
      return;
    }
    std::string guid = Poco::trim(ClientGUIDstring);
    if (guid.empty()) {
      guid = NewBracedGuid();
    } else if (!IsBracedGuid(guid)) {
      OnLogonError(LE_WRONG_CLIENT_ID_FORMAT);
      return;
    }
    auto session = SessionFor(lease.Generation, [&] {
      return std::make_shared<TComClientVB>(*lease.Context, *this, ClientDescription);
    });
    // A session already logged on ignores the request: no event, LogonProcessed stays false.
    std::string buffer = Frame("LOGON," + guid + ",\"\"");
    session->ProcessInput(buffer);
  });
}

void TVoxmitServerEx::SendMessage(const int32_t& ClientRecordID) {
  Call([&] {
    messageProcessed_ = false;
    const TContextLease lease = server_.CurrentContext();
    std::lock_guard lock(sessionMutex_);
    const bool usable = loggedOn_ && lease.Context && session_ && !session_->Closing() &&
                        session_->LoggedOn() && sessionGeneration_ == lease.Generation;
    if (!usable) {
      OnMessageAcceptError(ClientRecordID, MAE_NOT_LOGGED_ON);
      return;
    }
    std::vector<std::string> fields;
    {
      std::lock_guard props(propsMutex_);
      const int32_t type = carrierType_;
      const int32_t items = CarrierSettingsItemCount(type);
      if (items == 0 || SplitCommaText(carrierSettings_).size() != static_cast<size_t>(items)) {
        OnMessageAcceptError(ClientRecordID, MAE_WRONG_CARRIER_SETTINGS_FORMAT);
        return;
      }
      fields = {"MESSAGE",        std::to_string(ClientRecordID), std::to_string(type),
                carrierSettings_, pagerID_,                       messageText_};
    }
    // A frame marker inside a value would cut the request apart.
    for (const std::string& field : fields) {
      if (HoldsFrameMarker(field)) {
        OnMessageAcceptError(ClientRecordID, MAE_WRONG_FORMAT);
        return;
      }
    }
    std::string buffer = Frame(JoinCommaText(fields));
    session_->ProcessInput(buffer);
  });
}

int32_t TVoxmitServerEx::CarrierType() { return carrierType_; }
void TVoxmitServerEx::CarrierType(const int32_t& value) {
  Call([&] { carrierType_ = value; });
}

std::string TVoxmitServerEx::CarrierSettings() {
  std::lock_guard lock(propsMutex_);
  return carrierSettings_;
}
void TVoxmitServerEx::CarrierSettings(const std::string& value) {
  Call([&] {
    std::lock_guard lock(propsMutex_);
    carrierSettings_ = value;
  });
}

std::string TVoxmitServerEx::PagerID() {
  std::lock_guard lock(propsMutex_);
  return pagerID_;
}
void TVoxmitServerEx::PagerID(const std::string& value) {
  Call([&] {
    std::lock_guard lock(propsMutex_);
    pagerID_ = value;
  });
}

std::string TVoxmitServerEx::MessageText() {
  std::lock_guard lock(propsMutex_);
  return messageText_;
}
void TVoxmitServerEx::MessageText(const std::string& value) {
  Call([&] {
    std::lock_guard lock(propsMutex_);
    messageText_ = value;
  });
}

void TVoxmitServerEx::Release() {
  Call([&] { server_.ReleaseObject(Path(), CallerOf(getObject())); });
}

// ---- TFactoryObject -------------------------------------------------------------------------

TFactoryObject::TFactoryObject(sdbus::IConnection& connection, TAutomationServer& server)
    : AdaptorInterfaces(connection, kFactoryPath), server_(server) {
  registerAdaptor();
}

TFactoryObject::~TFactoryObject() { unregisterAdaptor(); }

sdbus::ObjectPath TFactoryObject::CreateObject(const std::string& ClassName) {
  try {
    return sdbus::ObjectPath(server_.CreateObject(ClassName, CallerOf(getObject())));
  } catch (const sdbus::Error&) {
    throw;
  } catch (const std::exception& e) {
    throw sdbus::Error(kErrorFailed, e.what());
  }
}

} // namespace voxmit
