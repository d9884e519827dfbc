#include "clients/BaseClient.h"

#include <array>
#include <exception>

#include <Poco/String.h>

#include "clients/ClientConfirmations.h"
#include "common/ServerGlobals.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "host/WindowMessages.h"
#include "platform/OperatorUi.h"
#include "platform/TNMainLoop.h"
#include "store/Carrier.h"
#include "store/DbTime.h"

namespace voxmit {

namespace {

std::mutex gOriginMutex;
std::string gOriginHost;     // guarded by gOriginMutex
int32_t gOriginPort = -1;    // guarded by gOriginMutex

void ShowClientsCount(int32_t count) {
  SetServerStatusTip(ClientsCountText(count));
  if (ConnectionsWindowOpen) TNMainLoop::Instance().Post(WM_CLIENTS_CHANGED);
}

std::string BroadcastData(const std::string& notice) {
  std::lock_guard lock(gOriginMutex);
  return BroadcastDataText(gOriginHost, gOriginPort, notice);
}

} // namespace

// ---- TBaseClient ----------------------------------------------------------------------------

TBaseClient::TBaseClient() : TBaseClient(ClientsList, CarriersList, InputMessageQueue) {}

TBaseClient::TBaseClient(std::shared_ptr<TClientsList> clients,
                         std::shared_ptr<TCarriersList> carriers,
                         std::shared_ptr<TInputMessageQueue> input)
    : clients_(std::move(clients)), carriers_(std::move(carriers)), input_(std::move(input)) {}

TBaseClient::~TBaseClient() {
  // The threads use the reply list and the hooks: they end before anything else goes.
  if (sendThread_) sendThread_->Terminate();
  if (confirmations_) confirmations_->Terminate();
  sendThread_.reset();
  confirmations_.reset();
}

void TBaseClient::ProcessInput(std::string& buffer) {
  TRawInMessageList requests;
  const TExtractResult result = ExtractFrames(buffer, requests);
  for (const TServerRawInMessage& request : requests) {
    if (closing_) break;
    try {
      HandleRequest(request);
    } catch (const std::exception& e) {
      LogMessage(std::string("TBaseClient.ProcessInput, ") + e.what());
    }
  }
  if (result.Overflow) Disconnect();
}

void TBaseClient::HandleRequest(const TServerRawInMessage& request) {
  if (request.RequestKind() == rkLogon && !loggedOn_)
    Logon(request);
  else if (request.RequestKind() == rkMessage && loggedOn_)
    AcceptMessage(request);
  // Anything else (a second LOGON, a MESSAGE before logon, an unknown request) gets no reply.
}

void TBaseClient::Logon(const TServerRawInMessage& request) {
  if (request.IsWrongFormat()) {
    DoLogonError(LE_WRONG_MESSAGE_FORMAT);
    try {
      SendText(LogonDeniedFrame());
    } catch (const std::exception& e) {
      LogMessage(std::string("TBaseClient.Logon, ") + e.what());
    }
    Disconnect();
    return;
  }
  if (!clients_) return;  // no server running
  const std::string guid = request.GetClientGUID();
  {
    // One write lock over find and add: of two logons with one GUID racing, the later one
    // always finds the earlier. Disconnect takes no list lock.
    TNWriteLock lock(clients_->Lock());
    if (auto older = FindClientByGUID(*clients_, guid)) older->Disconnect();
    AddClient(*clients_, shared_from_this());
    clientGUID_ = guid;
    replies_ = std::make_unique<TReplyMessageList>();
    sendThread_ = std::make_unique<TNClientSendThread>(*this);
    confirmations_ = std::make_unique<TNClientConfirmationsThread>(*this, guid);
  }
  QueueReply(MakeLogonOkReply());
  sendThread_->Resume();
  confirmations_->Resume();
  loggedOn_ = true;
  DoLogonSuccess();
}

void TBaseClient::AcceptMessage(const TServerRawInMessage& request) {
  if (request.IsWrongFormat()) {
    // Without a record ID there is nothing the client could match a reply to.
    if (!request.HasClientRecordID()) return;
    const int32_t clientRecordID = request.GetClientRecordID();
    QueueReply(MakeMessageAcceptErrorReply(clientRecordID));
    DoMessageAcceptError(clientRecordID, MAE_WRONG_FORMAT);
    return;
  }
  if (!carriers_ || !input_) return;
  const int32_t carrierID = CarrierFor(request);
  auto message = std::make_shared<TServerNormalInputMessage>(
      TNormalInputFields{.ClientGUID = clientGUID_,
                         .CarrierID = carrierID,
                         .PagerID = request.GetPagerID(),
                         .MessageText = request.GetMessageText(),
                         .ClientRecordID = request.GetClientRecordID(),
                         .CarrierType = request.GetCarrierType()});
  TNWriteLock lock(input_->Lock());
  input_->Push(std::move(message));
}

int32_t TBaseClient::CarrierFor(const TServerRawInMessage& request) {
  const int32_t type = request.GetCarrierType();
  const std::string& data = request.GetCarrierData();
  // Held across find-or-create so that two sessions never make two carriers of one pair.
  TNWriteLock lock(carriers_->Lock());
  if (auto carrier = FindCarrier(*carriers_, type, data)) return carrier->CarrierID;
  const int32_t id = NextCarrierID(*carriers_);
  carriers_->Add(std::make_shared<TCarrier>(TCarrierRow{.IsNew = true,
                                                        .CarrierID = id,
                                                        .CarrierType = type,
                                                        .CarrierData = data,
                                                        .IntroducedByGUID = clientGUID_,
                                                        .IntroducedTime = DbNow()}));
  return id;
}

void TBaseClient::QueueReply(std::shared_ptr<TServerReplyMessage> reply) {
  if (!replies_) return;
  TNWriteLock lock(replies_->Lock());
  replies_->Insert(0, std::move(reply));
}

void TBaseClient::AppendReply(std::shared_ptr<TServerReplyMessage> reply) {
  if (!replies_) return;
  TNWriteLock lock(replies_->Lock());
  replies_->Add(std::move(reply));
}

void TBaseClient::RequeryConfirmations() {
  if (confirmations_) confirmations_->Requery();
}

void TBaseClient::Logoff() {
  if (loggedOff_) return;
  loggedOff_ = true;
  if (clients_ && loggedOn_) RemoveClient(*clients_, this);
  if (sendThread_) sendThread_->Terminate();
  if (confirmations_) confirmations_->Terminate();
  if (sendThread_) sendThread_->WaitFor();
  if (confirmations_) confirmations_->WaitFor();
  ReturnUndeliveredReplies();
}

void TBaseClient::ReturnUndeliveredReplies() {
  if (!replies_) return;
  TNWriteLock lock(replies_->Lock());
  if (input_) {
    TNWriteLock queueLock(input_->Lock());
    for (int32_t i = 0; i < replies_->Count(); ++i) {
      const auto reply = replies_->Items(i);
      input_->Push(
          std::make_shared<TServerUnsentInputMessage>(reply->RecordID(), reply->MessageKind()));
    }
  }
  replies_->Clear();
}

// ---- TNClientSendThread ---------------------------------------------------------------------

TNClientSendThread::TNClientSendThread(TBaseClient& client) : client_(client) {}

TNClientSendThread::~TNClientSendThread() {
  Terminate();
  WaitFor();
}

void TNClientSendThread::Resume() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

void TNClientSendThread::Terminate() { terminated_.Set(); }

void TNClientSendThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TNClientSendThread::Execute() {
  TReplyMessageList& replies = *client_.ReplyList();
  const std::array<const TNEvent*, 2> events{&terminated_, replies.Event(stNotEmpty)};
  while (!terminated_.IsSet()) {
    if (WaitForAny(events, settings::ThreadWaitLoopTimeout) != 1) continue;
    std::shared_ptr<TServerReplyMessage> reply;
    {
      TNWriteLock lock(replies.Lock());
      reply = replies.Items(0);
      if (reply) replies.Delete(0);
    }
    if (!reply) continue;
    if (reply->MessageKind() == MK_MESSAGE_ACCEPTED)
      client_.DoMessageAcceptSuccess(reply->ClientRecordID());
    if (!WriteReply(*reply)) {
      client_.Disconnect();
      return;
    }
  }
}

bool TNClientSendThread::WriteReply(const TServerReplyMessage& reply) {
  const std::string text = reply.AsText();
  size_t written = 0;
  try {
    while (written < text.size()) {
      const int32_t n = client_.SendText(text.substr(written));
      if (n <= 0) return false;
      written += static_cast<size_t>(n);
    }
  } catch (const std::exception& e) {
    LogMessage(std::string("TNClientSendThread, ") + e.what());
    return false;
  }
  return true;
}

// ---- Clients list ---------------------------------------------------------------------------

std::string ClientsCountText(int32_t count) {
  if (count == 1) return "1 Client connected";
  return std::to_string(count) + " Clients connected";
}

void AddClient(TClientsList& list, std::shared_ptr<TBaseClient> client) {
  int32_t count;
  {
    TNWriteLock lock(list.Lock());
    list.Add(std::move(client));
    count = list.Count();
  }
  ShowClientsCount(count);
}

void RemoveClient(TClientsList& list, const TBaseClient* client) {
  int32_t count;
  {
    TNWriteLock lock(list.Lock());
    if (list.Remove(client) < 0) return;
    count = list.Count();
  }
  ShowClientsCount(count);
}

std::shared_ptr<TBaseClient> FindClientByGUID(const TClientsList& list, const std::string& guid) {
  const std::string key = guid.substr(0, ClientGUIDLength);
  for (int32_t i = 0; i < list.Count(); ++i) {
    auto client = list.Items(i);
    if (client && !client->Closing() && client->ClientGUID() == key) return client;
  }
  return nullptr;
}

void SetBroadcastOrigin(std::string hostName, int32_t port) {
  std::lock_guard lock(gOriginMutex);
  gOriginHost = std::move(hostName);
  gOriginPort = port;
}

void BroadcastToClients(const std::string& notice) {
  const auto clients = ClientsList;
  if (!clients) return;
  const std::string data = BroadcastData(notice);
  TNReadLock lock(clients->Lock());
  for (int32_t i = 0; i < clients->Count(); ++i)
    clients->Items(i)->AppendReply(MakeBroadcastReply(data));
}

void SendNoticeToClient(const std::string& clientGUID, const std::string& notice) {
  const auto clients = ClientsList;
  if (!clients) return;
  const std::string data = BroadcastData(notice);
  TNReadLock lock(clients->Lock());
  if (auto client = FindClientByGUID(*clients, Poco::trim(clientGUID)))
    client->AppendReply(MakeBroadcastReply(data));
}

void WakeClientConfirmations(const std::string& clientGUID) {
  const auto clients = ClientsList;
  if (!clients) return;
  TNReadLock lock(clients->Lock());
  if (auto client = FindClientByGUID(*clients, clientGUID)) client->RequeryConfirmations();
}

void DisconnectAllClients(TClientsList& list) {
  TNReadLock lock(list.Lock());
  for (int32_t i = list.Count() - 1; i >= 0; --i) list.Items(i)->Disconnect();
}

} // namespace voxmit
