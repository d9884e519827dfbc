#include "clients/BaseClient.h"

#include <array>
#include <thread>
#include <chrono>
#include <algorithm>
#include <exception>
#include <mutex>

#include <Poco/String.h>

#include "clients/ClientConfirmations.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "host/WindowMessages.h"
#include "platform/OperatorUi.h"
#include "platform/TNMainLoop.h"
#include "store/Carrier.h"
#include "store/DbTime.h"

namespace voxmit {

namespace {

void ShowClientsCount(int32_t count) {
  SetServerStatusTip(ClientsCountText(count));
  if (ConnectionsWindowOpen) TNMainLoop::Instance().Post(WM_CLIENTS_CHANGED);
}

std::string BroadcastData(const TNoticeOrigin& origin, const std::string& notice) {
  return BroadcastDataText(origin.HostName, origin.Port, notice);
}

// How long a logoff waits for the client's side to acknowledge what was written last.
constexpr int32_t kAckGraceMs = 500;

// Replies whose rows the store marked as told: only those need marking back when they did not
// arrive. Notices and logon answers carry no row.
bool TellsOfARow(int32_t kind) {
  return kind == MK_MESSAGE_ACCEPTED || kind == MK_MESSAGE_ACCEPT_ERROR ||
         kind == MK_MESSAGE_SENT || kind == MK_MESSAGE_SEND_ERROR;
}

} // namespace

// ---- TBaseClient ----------------------------------------------------------------------------

TBaseClient::TBaseClient(TSessionContext context) : context_(std::move(context)) {}

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
  TClientsList* clients = context_.Clients.get();
  if (!clients) return;  // no server running
  const std::string guid = request.GetClientGUID();
  {
    // One write lock over find and add: of two logons with one GUID racing, the later one
    // always finds the earlier. Disconnect takes no list lock.
    TNWriteLock lock(clients->Lock());
    if (auto older = FindClientByGUID(*clients, guid)) older->Disconnect();
    AddClient(*clients, shared_from_this());
    clientGUID_ = guid;
    replies_ = std::make_unique<TReplyMessageList>();
    sendThread_ = std::make_unique<TNClientSendThread>(*this);
    confirmations_ = std::make_unique<TNClientConfirmationsThread>(*this, guid, context_.Data);
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
  TInputMessageQueue* input = context_.Input.get();
  if (!context_.Carriers || !input) return;
  const int32_t carrierID = CarrierFor(request);
  auto message = std::make_shared<TServerNormalInputMessage>(
      TNormalInputFields{.ClientGUID = clientGUID_,
                         .CarrierID = carrierID,
                         .PagerID = request.GetPagerID(),
                         .MessageText = request.GetMessageText(),
                         .ClientRecordID = request.GetClientRecordID(),
                         .CarrierType = request.GetCarrierType()});
  TNWriteLock lock(input->Lock());
  input->Push(std::move(message), this);
}

int32_t TBaseClient::CarrierFor(const TServerRawInMessage& request) {
  const int32_t type = request.GetCarrierType();
  const std::string& data = request.GetCarrierData();
  TCarriersList& carriers = *context_.Carriers;
  // Held across find-or-create so that two sessions never make two carriers of one pair.
  TNWriteLock lock(carriers.Lock());
  if (auto carrier = FindCarrier(carriers, type, data)) return carrier->CarrierID;
  const int32_t id = NextCarrierID(carriers);
  carriers.Add(std::make_shared<TCarrier>(TCarrierRow{.IsNew = true,
                                                      .CarrierID = id,
                                                      .CarrierType = type,
                                                      .CarrierData = data,
                                                      .IntroducedByGUID = CutGUID(clientGUID_),
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
  if (context_.Clients && loggedOn_) RemoveClient(*context_.Clients, this);
  if (sendThread_) sendThread_->Terminate();
  if (confirmations_) confirmations_->Terminate();
  if (sendThread_) sendThread_->WaitFor();
  if (confirmations_) confirmations_->WaitFor();
  ReturnUnacknowledgedReplies();
  ReturnUndeliveredReplies();
}

void TBaseClient::NoteReplyWritten(const TServerReplyMessage& reply, uint64_t endOffset) {
  const int32_t kind = reply.MessageKind();
  if (!TellsOfARow(kind)) return;
  const uint64_t acknowledged = BytesAcknowledged();
  std::lock_guard lock(inFlightMutex_);
  while (!inFlight_.empty() && inFlight_.front().EndOffset <= acknowledged) inFlight_.pop_front();
  if (endOffset > acknowledged) inFlight_.push_back({endOffset, reply.RecordID(), kind});
}

void TBaseClient::NoteReplyLost(const TServerReplyMessage& reply) {
  const int32_t kind = reply.MessageKind();
  if (!TellsOfARow(kind)) return;
  std::lock_guard lock(inFlightMutex_);
  inFlight_.push_back({kLostReply, reply.RecordID(), kind});
}

void TBaseClient::ReturnUnacknowledgedReplies() {
  std::deque<TInFlightReply> lost;
  {
    std::lock_guard lock(inFlightMutex_);
    lost.swap(inFlight_);
  }
  // What was written just now may simply not be acknowledged yet: a live peer's
  // acknowledgement is a round trip away, so it gets a moment before anything is counted lost.
  uint64_t written = 0;
  for (const TInFlightReply& reply : lost)
    if (reply.EndOffset != kLostReply) written = std::max(written, reply.EndOffset);
  uint64_t acknowledged = BytesAcknowledged();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAckGraceMs);
  while (acknowledged < written && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    acknowledged = BytesAcknowledged();
  }
  TInputMessageQueue* input = context_.Input.get();
  if (!input) return;
  int32_t returned = 0;
  TNWriteLock queueLock(input->Lock());
  for (const TInFlightReply& reply : lost) {
    if (reply.EndOffset != kLostReply && reply.EndOffset <= acknowledged) continue;
    input->Push(std::make_shared<TServerUnsentInputMessage>(
                    reply.RecordID, static_cast<TReplyMessageKind>(reply.MessageKind)),
                this);
    ++returned;
  }
  if (returned > 0)
    LogMessage("TBaseClient, " + std::to_string(returned) + " replies to " + clientGUID_ +
               " were written but never acknowledged by the client's side; they are reported "
               "again at its next logon");
}

void TBaseClient::ReturnUndeliveredReplies() {
  if (!replies_) return;
  TNWriteLock lock(replies_->Lock());
  if (TInputMessageQueue* input = context_.Input.get()) {
    TNWriteLock queueLock(input->Lock());
    for (int32_t i = 0; i < replies_->Count(); ++i) {
      const auto reply = replies_->Items(i);
      input->Push(
          std::make_shared<TServerUnsentInputMessage>(reply->RecordID(), reply->MessageKind()),
          this);
    }
  }
  replies_->Clear();
}

// ---- TNClientSendThread ---------------------------------------------------------------------

TNClientSendThread::TNClientSendThread(TBaseClient& client) : client_(client) {}

void TNClientSendThread::Resume() {
  if (!thread_.Started()) thread_.Start([this] { Execute(); });
}

void TNClientSendThread::Execute() {
  TReplyMessageList& replies = *client_.ReplyList();
  const std::array<const TNEvent*, 2> events{&thread_.StopEvent(), replies.Event(stNotEmpty)};
  while (!thread_.StopRequested()) {
    if (WaitForAny(events, settings::ThreadWaitLoopTimeout) != 1) continue;
    const auto batch = TakeReplies(replies);
    if (batch.empty()) continue;
    if (!WriteReplies(batch)) {
      client_.Disconnect();
      return;
    }
  }
}

std::vector<std::shared_ptr<TServerReplyMessage>> TNClientSendThread::TakeReplies(
    TReplyMessageList& replies) {
  std::vector<std::shared_ptr<TServerReplyMessage>> batch;
  TNWriteLock lock(replies.Lock());
  while (auto reply = replies.Items(0)) {
    batch.push_back(std::move(reply));
    replies.Delete(0);
    if (!client_.StreamsReplies()) break;
  }
  return batch;
}

bool TNClientSendThread::WriteReplies(
    const std::vector<std::shared_ptr<TServerReplyMessage>>& batch) {
  std::string text;
  std::vector<size_t> ends;  // where each reply ends in text
  for (const auto& reply : batch) {
    if (reply->MessageKind() == MK_MESSAGE_ACCEPTED)
      client_.DoMessageAcceptSuccess(reply->ClientRecordID());
    text += reply->AsText();
    ends.push_back(text.size());
  }
  const size_t written = Write(text);
  // BytesWritten counts the whole connection (0 for a client that does not count): a reply's
  // end offset is that count less what was written after its end.
  const uint64_t total = client_.BytesWritten();
  for (size_t i = 0; i < batch.size(); ++i) {
    if (ends[i] > written) {
      // Part of it may have gone out, but the client cannot have read it whole.
      client_.NoteReplyLost(*batch[i]);
      continue;
    }
    const uint64_t after = written - ends[i];
    client_.NoteReplyWritten(*batch[i], total > after ? total - after : 0);
  }
  return written == text.size();
}

size_t TNClientSendThread::Write(const std::string& text) {
  size_t written = 0;
  try {
    while (written < text.size()) {
      const int32_t n = client_.SendText(text.substr(written));
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
  } catch (const std::exception& e) {
    LogMessage(std::string("TNClientSendThread, ") + e.what());
  }
  return written;
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

void BroadcastToClients(TClientsList& clients, const TNoticeOrigin& origin,
                        const std::string& notice) {
  const std::string data = BroadcastData(origin, notice);
  TNReadLock lock(clients.Lock());
  for (int32_t i = 0; i < clients.Count(); ++i)
    clients.Items(i)->AppendReply(MakeBroadcastReply(data));
}

void SendNoticeToClient(TClientsList& clients, const TNoticeOrigin& origin,
                        const std::string& clientGUID, const std::string& notice) {
  const std::string data = BroadcastData(origin, notice);
  TNReadLock lock(clients.Lock());
  if (auto client = FindClientByGUID(clients, Poco::trim(clientGUID)))
    client->AppendReply(MakeBroadcastReply(data));
}

void WakeClientConfirmations(TClientsList& clients, const std::string& clientGUID) {
  TNReadLock lock(clients.Lock());
  if (auto client = FindClientByGUID(clients, clientGUID)) client->RequeryConfirmations();
}

void DisconnectAllClients(TClientsList& list) {
  TNReadLock lock(list.Lock());
  for (int32_t i = list.Count() - 1; i >= 0; --i) list.Items(i)->Disconnect();
}

} // namespace voxmit
