#include "dispatch/dmodIterator.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <optional>

#include <Poco/Data/Statement.h>

#include "channels/BaseChannel.h"
#include "channels/RegChannels.h"
#include "clients/BaseClient.h"
#include "devices/Devices.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "store/Carrier.h"
#include "store/DbSession.h"
#include "store/DbTime.h"
#include "store/SqlStatement.h"
#include "store/dmodData.h"

namespace voxmit {

using namespace Poco::Data::Keywords;

namespace {

// How long the send thread waits for a channel of its carrier to appear before it looks
// again: a new channel registers without an event of its own.
constexpr int32_t kNoChannelSliceMs = 100;
// Attempts to record one result before it is given up (each attempt already waits out a busy
// database).
constexpr int32_t kResultAttempts = 10;  // attempts before the log says a result is stuck

std::string HexIdentity(const void* object) {
  char text[16];
  std::snprintf(text, sizeof text, "%08" PRIXPTR,
                reinterpret_cast<uintptr_t>(object) & uintptr_t{0xFFFFFFFF});
  return text;
}

// Up to room events of all, taken in turn from start (which moves on by room), so that with
// more channels than one wait can watch every channel still gets its turn.
std::vector<const TNEvent*> EventWindow(const std::vector<const TNEvent*>& all, size_t& start,
                                        size_t room) {
  if (all.size() <= room) return all;
  std::vector<const TNEvent*> window;
  window.reserve(room);
  for (size_t i = 0; i < room; ++i) window.push_back(all[(start + i) % all.size()]);
  start = (start + room) % all.size();
  return window;
}

// Waits up to one slice for the list to hold a channel; false on timeout or stop.
bool WaitForChannels(const TNChannelsList& channels, const TNEvent& stop) {
  const std::array<const TNEvent*, 2> events{channels.Event(stNotEmpty), &stop};
  return WaitForAny(events, settings::ThreadWaitLoopTimeout) == 0;
}

bool Contains(const TDeviceList& devices, const std::shared_ptr<TNDevice>& device) {
  return std::find(devices.begin(), devices.end(), device) != devices.end();
}

} // namespace

struct TIteratorSendThread::TRow {
  int32_t ID = 0;
  std::string PagerID;
  std::string MessageText;
  int32_t RetryTimes = 0;
  std::string TimeReceived;
};

struct TIteratorSendThread::TPageKey {
  std::string TimeReceived;
  int32_t ID = 0;
};

// ---- Construction ---------------------------------------------------------------------------

TIterator::TIterator(std::shared_ptr<TCarriersList> carriers,
                     std::shared_ptr<TClientsList> clients, TDMData& data,
                     TNChannelCallbacks callbacks)
    : carriers_(std::move(carriers)), clients_(std::move(clients)), data_(data),
      channels_(std::make_shared<TNChannelsList>()),
      callbacks_(std::move(callbacks)) {
  LogMessage("Creating iterator ($" + Identity() + ")");
  receiveThread_ = std::make_unique<TIteratorReceiveThread>(*this);
  sendThread_ = std::make_unique<TIteratorSendThread>(*this);
}

TIterator::~TIterator() {
  CloseEveryChannel();
  sendThread_->Terminate();
  receiveThread_->Terminate();
  sendThread_->WaitFor();
  receiveThread_->WaitFor();
}

std::string TIterator::Identity() const { return HexIdentity(this); }

// ---- Scheduler side -------------------------------------------------------------------------

void TIterator::ReSchedule(int32_t carrierID, TDeviceList devices) {
  if (!devices.empty()) idle_ = false;
  if (carrierID == carrierID_ && channelClass_) {
    KeepOrCloseChannels(devices);
    CreateChannels(carrierID, devices);
  } else {
    CloseEveryChannel();
    if (TakeCarrier(carrierID)) CreateChannels(carrierID, devices);
  }
  // The new carrier is in place before the restart is signalled: a send thread that woke in
  // between would otherwise start its pass on the old carrier and wait on it for ever.
  const bool otherCarrier = carrierID != carrierID_.exchange(carrierID);
  if (otherCarrier) sendThread_->Restart();
  sendThread_->Wake();
}

bool TIterator::TakeCarrier(int32_t carrierID) {
  channelClass_.reset();
  std::shared_ptr<TCarrier> carrier;
  {
    TNReadLock lock(carriers_->Lock());
    carrier = FindCarrierByID(*carriers_, carrierID);
  }
  if (!carrier) {
    LogMessage("From TIterator.ReSchedule() - Non-Existent CarrierID Supplied: \"" +
               std::to_string(carrierID) + "\"");
    return false;
  }
  carrierType_ = carrier->CarrierType;
  carrierData_ = carrier->CarrierData;
  channelClass_ = FindChannelClass(carrierType_);
  if (!channelClass_) {
    LogMessage("From TIterator.ReSchedule() - No Channel Class registered for the CarrierType "
               "Supplied: \"" +
               std::to_string(carrierType_) + "\"");
    return false;
  }
  return true;
}

std::vector<std::shared_ptr<TNBaseCarrierChannel>> TIterator::LiveChannels() {
  // Every channel in Channels was created here, so the channels created here that are still
  // alive are the registered ones plus those still waiting for their device.
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> alive;
  std::erase_if(created_, [&](const std::weak_ptr<TNBaseCarrierChannel>& weak) {
    auto channel = weak.lock();
    if (!channel) return true;
    alive.push_back(std::move(channel));
    return false;
  });
  return alive;
}

void TIterator::KeepOrCloseChannels(TDeviceList& devices) {
  // A closing channel never serves again, so it keeps no device: the device gets a new
  // channel, which takes it over once the closing one has let it go.
  for (const auto& channel : LiveChannels()) {
    if (channel->Closing()) continue;
    auto found = std::find(devices.begin(), devices.end(), channel->Device());
    if (found != devices.end())
      devices.erase(found);
    else
      channel->Close();
  }
}

void TIterator::CreateChannels(int32_t carrierID, const TDeviceList& devices) {
  for (const auto& device : devices) {
    auto channel = channelClass_->Create(channels_, static_cast<TCarrierType>(carrierType_),
                                         carrierID, carrierData_, device, callbacks_);
    if (channel) created_.push_back(channel);
  }
}

void TIterator::CloseEveryChannel() {
  {
    TNReadLock lock(channels_->Lock());
    CloseAllChannels(*channels_);
  }
  for (const auto& channel : LiveChannels()) channel->Close();
}

void TIterator::StopServing() {
  idle_ = true;
  CloseEveryChannel();
}

TDeviceList TIterator::CollectDevicesInUse() {
  TDeviceList devices;
  for (const auto& channel : LiveChannels())
    if (!channel->Closing() && !Contains(devices, channel->Device()))
      devices.push_back(channel->Device());
  return devices;
}

int32_t TIterator::LiveChannelCount() { return static_cast<int32_t>(LiveChannels().size()); }


// ---- Send thread ----------------------------------------------------------------------------

TIteratorSendThread::TIteratorSendThread(TIterator& iterator)
    : carriers_(iterator.carriers_), data_(iterator.data_), channels_(iterator.channels_),
      carrierID_(iterator.carrierID_) {
  LogMessage("TIteratorSendThread.CreateEx()");
  thread_.Start([this] { Execute(); });
}

std::string TIteratorSendThread::Identity() const { return HexIdentity(this); }

void TIteratorSendThread::Execute() {
  bool running = WaitForFirstWake();
  while (running) {
    try {
      running = SendPass();
    } catch (const std::exception& e) {
      LogMessage("TIteratorSendThread.Execute($" + Identity() + "): " + e.what());
      TerminatedEvent().Wait(settings::ThreadWaitLoopTimeout);
      running = !Terminated();
    }
  }
  data_.ReleaseThreadSession();
}

bool TIteratorSendThread::WaitForFirstWake() {
  const std::array<const TNEvent*, 2> events{&wakeEvent_, &TerminatedEvent()};
  while (!Terminated())
    if (WaitForAny(events, settings::ThreadWaitLoopTimeout) == 0) return true;
  return false;
}

bool TIteratorSendThread::SendPass() {
  // The events are reset before the carrier is read: a ReSchedule that changes the carrier
  // after the read sets them again and this pass restarts. Reset after the read, its restart
  // was lost, and the pass served the old carrier while the new one waited.
  restartEvent_.Reset();
  wakeEvent_.Reset();
  const int32_t carrierID = carrierID_;
  {
    TNReadLock lock(carriers_->Lock());
    if (auto carrier = FindCarrierByID(*carriers_, carrierID)) carrier->NewMessageEvent.Reset();
  }
  LogMessage("TIteratorSendThread.Execute($" + Identity() +
             "): Opening Query for Carrier: \"" + std::to_string(carrierID) + "\"");
  TFeed feed = TFeed::Fed;
  bool failed = false;
  try {
    feed = FeedMessages(carrierID);
  } catch (const std::exception& e) {
    LogMessage("TIteratorSendThread.Execute($" + Identity() + "): " + e.what());
    failed = true;
  }
  if (feed == TFeed::Terminated || Terminated()) return false;
  LogMessage("Query ended");
  if (restartEvent_.IsSet()) return true;
  if (failed) {
    // The database failed mid-pass: try again after one slice rather than wait for news.
    TerminatedEvent().Wait(settings::ThreadWaitLoopTimeout);
    return !Terminated();
  }
  return WaitForMoreMessages(carrierID);
}

TIteratorSendThread::TFeed TIteratorSendThread::FeedMessages(int32_t carrierID) {
  std::vector<TRow> rows;
  bool opened = false;
  std::optional<TPageKey> after;
  for (;;) {
    ReadPage(carrierID, after ? &*after : nullptr, rows);
    if (!opened) {
      LogMessage("Opened new query");
      opened = true;
    }
    if (rows.empty()) return TFeed::Fed;
    for (size_t next = 0; next < rows.size();) {
      const size_t count = std::min(TIterator::kMarkBatch, rows.size() - next);
      const std::vector<bool> marked = MarkSending(&rows[next], count);
      for (size_t i = 0; i < count; ++i) {
        if (!marked[i]) continue;
        const TFeed feed = FeedOne(rows[next + i], carrierID);
        if (feed == TFeed::Fed) continue;
        // Marked but never handed over: back to the queue, or they would wait for the next
        // start and be reported abandoned.
        std::vector<int32_t> unfed;
        for (size_t j = i; j < count; ++j)
          if (marked[j]) unfed.push_back(rows[next + j].ID);
        UnmarkSending(unfed);
        return feed;
      }
      next += count;
    }
    after = TPageKey{rows.back().TimeReceived, rows.back().ID};
  }
}

void TIteratorSendThread::ReadPage(int32_t carrierID, const TPageKey* after,
                                   std::vector<TRow>& rows) {
  rows.clear();
  std::vector<int32_t> ids, retries;
  std::vector<std::string> pagers, texts, times;
  const std::string columns =
      "SELECT ID, COALESCE(PagerID, ''), COALESCE(MessageText, ''), COALESCE(RetryTimes, 0), "
      "COALESCE(TimeReceived, '') FROM Messages WHERE CarrierID = ? AND Sending = 0";
  const std::string order =
      " ORDER BY TimeReceived, ID LIMIT " + std::to_string(TIterator::kPageSize);
  Poco::Data::Session& session = data_.ThreadSession();
  Poco::Data::Statement select(session);
  if (after) {
    select << columns + " AND (TimeReceived > ? OR (TimeReceived = ? AND ID > ?))" + order,
        bind(carrierID), bind(after->TimeReceived), bind(after->TimeReceived), bind(after->ID),
        into(ids), into(pagers), into(texts), into(retries), into(times);
  } else {
    select << columns + order, bind(carrierID), into(ids), into(pagers), into(texts),
        into(retries), into(times);
  }
  select.execute();
  for (size_t i = 0; i < ids.size(); ++i)
    rows.push_back(TRow{ids[i], pagers[i], texts[i], retries[i], times[i]});
}

TIteratorSendThread::TFeed TIteratorSendThread::FeedOne(const TRow& row, int32_t carrierID) {
  TNChannelHandles handles;
  for (;;) {
    if (Terminated()) return TFeed::Terminated;
    if (carrierID != carrierID_) return TFeed::Restart;
    if (!restartEvent_.IsSet() && !WaitForChannels(*channels_, TerminatedEvent())) continue;
    {
      TNReadLock lock(channels_->Lock());
      CollectReadyEvents(*channels_, carrierID, handles);
    }
    if (handles.Count() == 0) {
      // No channel of this carrier (yet): wait for one to register, or for a restart.
      if (restartEvent_.IsSet()) return TFeed::Restart;
      restartEvent_.Wait(kNoChannelSliceMs);
      continue;
    }
    std::vector<const TNEvent*> events{&restartEvent_};
    for (const TNEvent* event : EventWindow(handles.Events, windowStart_, kMaxWaitObjects - 1))
      events.push_back(event);
    const int32_t index = WaitForAny(events, settings::ThreadWaitLoopTimeout);
    if (index == kWaitTimeout) continue;
    if (index == 0) return TFeed::Restart;
    // The row was marked before any part of it can reach a channel, so a result always finds
    // its row marked.
    {
      TNReadLock lock(channels_->Lock());
      if (auto channel = FindChannelByReadyEvent(*channels_, carrierID, events[index])) {
        channel->EnqueueMessage(row.ID, row.PagerID, row.MessageText, row.RetryTimes);
        return TFeed::Fed;
      }
    }
    // The channel closed meanwhile: try another.
  }
}

std::vector<bool> TIteratorSendThread::MarkSending(const TRow* rows, size_t count) {
  Poco::Data::Session& session = data_.ThreadSession();
  return RunWriteTransaction(session, [&](auto& session) {
    std::vector<bool> marked(count, false);
    TSqlStatement update(session, "UPDATE Messages SET Sending = 1 WHERE ID = ? AND Sending = 0");
    for (size_t i = 0; i < count; ++i) marked[i] = update.Bind(1, rows[i].ID).Execute() > 0;
    return marked;
  });
}

void TIteratorSendThread::UnmarkSending(const std::vector<int32_t>& ids) {
  if (ids.empty()) return;
  Poco::Data::Session& session = data_.ThreadSession();
  RunWriteTransaction(session, [&](auto& session) {
    TSqlStatement update(session, "UPDATE Messages SET Sending = 0 WHERE ID = ?");
    for (int32_t id : ids) update.Bind(1, id).Execute();
  });
}

bool TIteratorSendThread::WaitForMoreMessages(int32_t carrierID) {
  std::shared_ptr<TCarrier> carrier;
  {
    TNReadLock lock(carriers_->Lock());
    carrier = FindCarrierByID(*carriers_, carrierID);
  }
  const std::array<const TNEvent*, 3> events{&TerminatedEvent(), &wakeEvent_,
                                             carrier ? &carrier->NewMessageEvent : nullptr};
  for (;;) {
    const int32_t index = WaitForAny(events, settings::ThreadWaitLoopTimeout);
    if (Terminated()) return false;
    if (index > 0) return true;
  }
}

// ---- Receive thread -------------------------------------------------------------------------

TIteratorReceiveThread::TIteratorReceiveThread(TIterator& iterator)
    : clients_(iterator.clients_), data_(iterator.data_), channels_(iterator.channels_) {
  LogMessage("TIteratorReceiveThread.CreateEx()");
  thread_.Start([this] { Execute(); });
}

std::string TIteratorReceiveThread::Identity() const { return HexIdentity(this); }

void TIteratorReceiveThread::Execute() {
  while (!Finished()) {
    try {
      RetryFailedResults();
      const auto results = CollectResults();
      if (!results.empty()) ProcessResults(results);
    } catch (const std::exception& e) {
      LogMessage("TIteratorReceiveThread.Execute($" + Identity() + "): " + e.what());
    }
  }
  data_.ReleaseThreadSession();
}

bool TIteratorReceiveThread::Finished() {
  if (!Terminated()) return false;
  // A terminating iterator still collects results until its last channel has unregistered.
  TNReadLock lock(channels_->Lock());
  return channels_->Count() == 0;
}

std::vector<std::shared_ptr<TNBaseChannelMessage>> TIteratorReceiveThread::CollectResults() {
  std::vector<std::shared_ptr<TNBaseChannelMessage>> results;
  int32_t timeoutMs = settings::ThreadWaitLoopTimeout;
  while (results.size() < kResultBatch) {
    auto part = CollectOneResult(timeoutMs);
    if (!part) break;
    timeoutMs = 0;  // the first came: take what else is back, without waiting
    if (auto result = GatherParts(std::move(part))) results.push_back(std::move(result));
  }
  return results;
}

std::shared_ptr<TNBaseChannelMessage> TIteratorReceiveThread::CollectOneResult(
    int32_t timeoutMs) {
  if (!WaitForChannels(*channels_, TerminatedEvent()) || Terminated()) {
    // Terminating: collect what is there without waiting for the list.
    TNReadLock lock(channels_->Lock());
    if (channels_->Count() == 0) return nullptr;
  }
  TNChannelHandles handles;
  {
    TNReadLock lock(channels_->Lock());
    CollectResultEvents(*channels_, handles);
  }
  if (handles.Count() == 0) return nullptr;
  const std::vector<const TNEvent*> events =
      EventWindow(handles.Events, windowStart_, kMaxWaitObjects);
  const int32_t index = WaitForAny(events, timeoutMs);
  if (index == kWaitTimeout) return nullptr;
  TNReadLock lock(channels_->Lock());
  auto channel = FindChannelByResultEvent(*channels_, events[index]);
  return channel ? channel->DequeueResult() : nullptr;
}

// A message split into parts is finished only when every part is back, so that the client is
// never told "sent" while a later part failed or was never tried. Its result is the first
// failure of a part the channel took; failing that, a part handed back untried sends the whole
// message back to the queue (a part already sent may then go out again: a repeat is better
// than half a page); otherwise it was sent.
std::shared_ptr<TNBaseChannelMessage> TIteratorReceiveThread::GatherParts(
    std::shared_ptr<TNBaseChannelMessage> part) {
  if (!part || part->PartCount <= 1) return part;
  auto [entry, first] = partial_.try_emplace(part->ID, part, 0);
  TNBaseChannelMessage& gathered = *entry->second.first;
  if (!first) {
    const bool gatheredFailed = gathered.Taken && gathered.SendError != MSE_OK;
    const bool partFailed = part->Taken && part->SendError != MSE_OK;
    if (!gatheredFailed && (partFailed || !part->Taken)) {
      gathered.Taken = part->Taken;
      gathered.SendError = part->SendError;
    }
    gathered.RetryTimes = std::max(gathered.RetryTimes, part->RetryTimes);
  }
  if (++entry->second.second < part->PartCount) return nullptr;
  auto result = std::move(entry->second.first);
  partial_.erase(entry);
  return result;
}

void TIteratorReceiveThread::ProcessResults(
    const std::vector<std::shared_ptr<TNBaseChannelMessage>>& results) {
  std::vector<std::string> wake;
  try {
    Poco::Data::Session& session = data_.ThreadSession();
    wake = RunWriteTransaction(session, [&](auto& session) {
      std::vector<std::string> guids;
      TMessageFinisher finisher(session, DbNow());
      for (const auto& result : results)
        guids.push_back(RecordResult(session, finisher, *result));
      return guids;
    });
  } catch (const std::exception& e) {
    LogMessage("TIteratorReceiveThread: recording " + std::to_string(results.size()) +
               " results at once failed, recording each on its own: " + e.what());
    for (const auto& result : results)
      if (!ProcessResult(*result)) failedResults_.emplace_back(result, 1);
    return;
  }
  if (!clients_) return;
  std::sort(wake.begin(), wake.end());
  wake.erase(std::unique(wake.begin(), wake.end()), wake.end());
  for (const std::string& guid : wake)
    if (!guid.empty()) WakeClientConfirmations(*clients_, guid);
}

std::string TIteratorReceiveThread::RecordResult(Poco::Data::Session& session,
                                                 TMessageFinisher& finisher,
                                                 const TNBaseChannelMessage& part) {
  if (!part.Taken) {
    session << "UPDATE Messages SET Sending = 0, RetryTimes = ? WHERE ID = ?",
        bind(part.RetryTimes), bind(part.ID), now;
    return "";
  }
  // Finished by another part of it, or deleted: the result is dropped.
  return finisher.Finish(part.ID, part.SendError).value_or("");
}

bool TIteratorReceiveThread::ProcessResult(const TNBaseChannelMessage& part) {
  std::string clientGUID;
  try {
    Poco::Data::Session& session = data_.ThreadSession();
    clientGUID = RunWriteTransaction(session, [&](auto& session) {
      TMessageFinisher finisher(session, DbNow());
      return RecordResult(session, finisher, part);
    });
  } catch (const std::exception& e) {
    LogMessage("TIteratorReceiveThread: recording the result of message " +
               std::to_string(part.ID) + " failed: " + e.what());
    return false;
  }
  if (clients_ && !clientGUID.empty()) WakeClientConfirmations(*clients_, clientGUID);
  return true;
}

void TIteratorReceiveThread::RetryFailedResults() {
  // A result is never given up while the server runs: the message may well have been sent,
  // and a row left marked as being sent is reported as abandoned at the next start.
  std::erase_if(failedResults_, [&](auto& entry) {
    if (ProcessResult(*entry.first)) return true;
    if (++entry.second == kResultAttempts)
      LogMessage("TIteratorReceiveThread: the result of message " +
                 std::to_string(entry.first->ID) +
                 " still cannot be recorded; it is tried again until it is written or the "
                 "server stops");
    return false;
  });
}

// ---- TIteratorsList -------------------------------------------------------------------------

TIteratorsList::TIteratorsList(std::shared_ptr<TCarriersList> carriers,
                               std::shared_ptr<TClientsList> clients, TDMData& data,
                               TNChannelCallbacks callbacks)
    : carriers_(std::move(carriers)), clients_(std::move(clients)), data_(data),
      callbacks_(std::move(callbacks)) {}

TIteratorsList::~TIteratorsList() = default;

TIterator& TIteratorsList::FindIterator(int32_t carrierID) {
  for (auto& iterator : items_)
    if (!iterator->Assigned && iterator->CarrierID() == carrierID && !iterator->Idle())
      return *iterator;
  // Stopped while it served the carrier: its send thread may still hold rows of the carrier it
  // marked Sending, waiting for a channel. Another iterator could never send those rows, and
  // they would stay marked until this one got another carrier.
  for (auto& iterator : items_)
    if (!iterator->Assigned && iterator->CarrierID() == carrierID) return *iterator;
  for (auto& iterator : items_)
    if (!iterator->Assigned && iterator->Idle()) return *iterator;
  items_.push_back(std::make_unique<TIterator>(carriers_, clients_, data_, callbacks_));
  return *items_.back();
}

void TIteratorsList::ClearAssigned() {
  for (auto& iterator : items_) iterator->Assigned = false;
}

void TIteratorsList::StopAll() {
  for (auto& iterator : items_) iterator->StopServing();
}

} // namespace voxmit
