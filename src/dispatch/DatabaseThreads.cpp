#include "dispatch/DatabaseThreads.h"

#include <array>
#include <exception>
#include <map>
#include <set>
#include <vector>

#include "clients/BaseClient.h"
#include "clients/TcpMessages.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/TNMainLoop.h"
#include "host/ServerSettings.h"
#include "store/Carrier.h"
#include "store/dmodData.h"

namespace voxmit {

// ---- TNewMessageThread ----------------------------------------------------------------------

TNewMessageThread::TNewMessageThread(std::shared_ptr<TInputMessageQueue> input,
                                     std::shared_ptr<TClientsList> clients,
                                     std::shared_ptr<TCarriersList> carriers, TDMData& data)
    : input_(std::move(input)), clients_(std::move(clients)), carriers_(std::move(carriers)),
      data_(data) {
  thread_.Start([this] { Execute(); });
}

void TNewMessageThread::Execute() {
  const std::array<const TNEvent*, 2> events{input_->Event(stNotEmpty), &thread_.StopEvent()};
  for (;;) {
    WaitForAny(events, settings::ThreadWaitLoopTimeout);
    const auto items = PopBatch();
    if (items.empty()) {
      if (StopRequested()) break;
      continue;
    }
    try {
      HandleBatch(items);
    } catch (const std::exception& e) {
      LogMessage(std::string("TNewMessageThread, ") + e.what());
    }
  }
  data_.ReleaseThreadSession();
}

std::vector<std::shared_ptr<TServerInputMessage>> TNewMessageThread::PopBatch() {
  std::vector<std::shared_ptr<TServerInputMessage>> items;
  TNWriteLock lock(input_->Lock());
  while (static_cast<int32_t>(items.size()) < kMaxBatch) {
    auto item = input_->Pop();
    if (!item) break;
    items.push_back(std::move(item));
  }
  return items;
}

void TNewMessageThread::HandleBatch(
    const std::vector<std::shared_ptr<TServerInputMessage>>& items) {
  std::vector<const TServerNormalInputMessage*> messages;
  for (const auto& item : items)
    if (auto normal = dynamic_cast<const TServerNormalInputMessage*>(item.get()))
      messages.push_back(normal);
  if (!messages.empty() && !storeLost_) {
    const auto ids = Store(messages);
    // Rows written to a file that is no longer at the path are lost with it: no client may
    // hear that its message was accepted.
    if (StoreStillValid()) Acknowledge(messages, ids);
  }
  // A reply can be undelivered only once it was queued, after its message's commit, so these
  // never concern a message of this batch.
  for (const auto& item : items) {
    if (auto unsent = dynamic_cast<const TServerUnsentInputMessage*>(item.get())) {
      try {
        data_.MarkReplyUndelivered(unsent->MessageKind(), unsent->RecordID());
      } catch (const std::exception& e) {
        LogMessage(std::string("TNewMessageThread, ") + e.what());
      }
    }
  }
  // Anything else is dropped.
}

std::vector<std::optional<int32_t>> TNewMessageThread::Store(
    const std::vector<const TServerNormalInputMessage*>& messages) {
  std::vector<TNewMessageRow> rows;
  rows.reserve(messages.size());
  for (const TServerNormalInputMessage* m : messages)
    rows.push_back({m->ClientGUID(), m->ClientRecordID(), m->CarrierType(), m->CarrierID(),
                    m->PagerID(), m->MessageText()});
  std::vector<std::optional<int32_t>> ids(messages.size());
  if (const auto batch = data_.InsertNewMessages(rows)) {
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = (*batch)[i];
    return ids;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const TNewMessageRow& row = rows[i];
    ids[i] = data_.InsertNewMessage(row.ClientGUID, row.ClientRecordID, row.CarrierType,
                                    row.CarrierID, row.PagerID, row.MessageText);
  }
  return ids;
}

void TNewMessageThread::Acknowledge(const std::vector<const TServerNormalInputMessage*>& messages,
                                    const std::vector<std::optional<int32_t>>& ids) {
  if (clients_) {
    // Held while the sessions are used: none can log off and go before its reply is queued.
    TNReadLock lock(clients_->Lock());
    std::map<std::string, std::shared_ptr<TBaseClient>> found;
    for (size_t i = 0; i < messages.size(); ++i) {
      if (!ids[i]) continue;
      const TServerNormalInputMessage& message = *messages[i];
      auto [entry, isNew] = found.try_emplace(message.ClientGUID());
      if (isNew) entry->second = FindClientByGUID(*clients_, message.ClientGUID());
      if (entry->second)
        entry->second->QueueReply(MakeMessageAcceptedReply(message.ClientRecordID(), *ids[i]));
    }
  }
  std::set<int32_t> woken;
  for (size_t i = 0; i < messages.size(); ++i)
    if (ids[i] && woken.insert(messages[i]->CarrierID()).second)
      WakeCarrier(messages[i]->CarrierID());
}

bool TNewMessageThread::StoreStillValid() {
  if (storeLost_) return false;
  if (data_.FileIsStillAtPath()) return true;
  storeLost_ = true;
  const std::string warning =
      "The database file \"" + data_.File().string() +
      "\" was deleted or replaced while the server ran: no message is acknowledged any more "
      "and the server stops.";
  LogMessage("TNewMessageThread, " + warning);
  TNMainLoop::Instance().Post(WM_STOP_SERVER, 0, 0, warning);
  return false;
}

void TNewMessageThread::WakeCarrier(int32_t carrierID) {
  if (!carriers_) return;
  std::shared_ptr<TCarrier> carrier;
  {
    TNReadLock lock(carriers_->Lock());
    carrier = FindCarrierByID(*carriers_, carrierID);
  }
  if (carrier) carrier->NewMessageEvent.Set();
}

// ---- TNewCarrierThread ----------------------------------------------------------------------

TNewCarrierThread::TNewCarrierThread(std::shared_ptr<TCarriersList> carriers, TDMData& data)
    : carriers_(std::move(carriers)), data_(data) {
  thread_.Start([this] { Execute(); });
}

void TNewCarrierThread::Execute() {
  const TNEvent* notEmpty = carriers_->Event(stNotEmpty);
  const std::array<const TNEvent*, 2> events{notEmpty, &thread_.StopEvent()};
  // A carrier that could not be written is tried again after each wait slice: no further
  // carrier may come to wake the thread.
  bool retry = false;
  for (;;) {
    WaitForAny(events, settings::ThreadWaitLoopTimeout);
    if (notEmpty->IsSet() || retry) {
      try {
        retry = !StoreNewCarriers();
      } catch (const std::exception& e) {
        LogMessage(std::string("TNewCarrierThread, ") + e.what());
        retry = true;
      }
    }
    if (StopRequested() && !notEmpty->IsSet()) break;
  }
  data_.ReleaseThreadSession();
}

bool TNewCarrierThread::StoreNewCarriers() {
  std::vector<std::shared_ptr<TCarrier>> fresh;
  {
    TNWriteLock lock(carriers_->Lock());
    for (int32_t i = 0; i < carriers_->Count(); ++i) {
      auto carrier = carriers_->Items(i);
      if (carrier->IsNew) fresh.push_back(std::move(carrier));
    }
    // The list is never emptied while the server runs: without this NotEmpty would stay set.
    carriers_->ResetStates();
  }
  bool stored = true;
  for (const auto& carrier : fresh)
    if (!data_.StoreCarrier(*carrier)) stored = false;
  return stored;
}

} // namespace voxmit
