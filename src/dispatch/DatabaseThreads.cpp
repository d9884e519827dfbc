#include "dispatch/DatabaseThreads.h"

#include <array>
#include <exception>
#include <map>
#include <mutex>
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
  for (;;) {
    // New input is taken only while fewer than kMaxPosted batches wait for their commit, and
    // the stop is watched only until it comes: a set event would end every wait at once.
    std::vector<const TNEvent*> events{storedEvent_.get()};
    if (posted_.size() < kMaxPosted) events.push_back(input_->Event(stNotEmpty));
    if (!StopRequested()) events.push_back(&thread_.StopEvent());
    WaitForAny(events, settings::ThreadWaitLoopTimeout);
    // Reset before the batches are looked at: a commit reported after this sets it again.
    storedEvent_->Reset();
    bool inputLeft = false;
    try {
      AcknowledgeStored();
      if (posted_.size() < kMaxPosted) {
        const auto items = PopBatch();
        inputLeft = !items.empty();
        if (inputLeft) HandleBatch(items);
        AcknowledgeStored();  // a batch this thread wrote itself is done already
      } else {
        inputLeft = true;
      }
    } catch (const std::exception& e) {
      LogMessage(std::string("TNewMessageThread, ") + e.what());
    }
    if (StopRequested() && !inputLeft && posted_.empty()) break;
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
  auto batch = std::make_shared<TPostedBatch>();
  for (const auto& item : items)
    if (auto normal = dynamic_cast<const TServerNormalInputMessage*>(item.get()))
      batch->Messages.push_back(normal);
  if (!batch->Messages.empty() && !storeLost_) {
    batch->Items = items;
    posted_.push_back(batch);
    data_.PostNewMessages(RowsOf(batch->Messages),
                          [batch, stored = storedEvent_](std::optional<std::vector<int32_t>> ids) {
                            {
                              std::lock_guard<std::mutex> lock(batch->Mutex);
                              batch->IDs = std::move(ids);
                              batch->Done = true;
                            }
                            stored->Set();
                          });
  }
  // A reply can be undelivered only once it was queued, after its message's commit, so these
  // never concern a message still waiting for its commit.
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

void TNewMessageThread::AcknowledgeStored() {
  // In the order the batches were taken, so each session hears of its messages in order.
  while (!posted_.empty()) {
    std::optional<std::vector<int32_t>> stored;
    {
      std::lock_guard<std::mutex> lock(posted_.front()->Mutex);
      if (!posted_.front()->Done) return;
      stored = std::move(posted_.front()->IDs);
    }
    // Taken off first: should acknowledging fail, the batch is not looked at again.
    const std::shared_ptr<TPostedBatch> done = std::move(posted_.front());
    posted_.pop_front();
    const TPostedBatch& batch = *done;
    std::vector<std::optional<int32_t>> ids(batch.Messages.size());
    if (stored)
      for (size_t i = 0; i < ids.size(); ++i) ids[i] = (*stored)[i];
    else
      ids = StoreEach(batch.Messages);
    // Rows written to a file that is no longer at the path are lost with it: no client may
    // hear that its message was accepted.
    if (StoreStillValid()) Acknowledge(batch.Messages, ids);
  }
}

std::vector<TNewMessageRow> TNewMessageThread::RowsOf(
    const std::vector<const TServerNormalInputMessage*>& messages) {
  std::vector<TNewMessageRow> rows;
  rows.reserve(messages.size());
  for (const TServerNormalInputMessage* m : messages)
    rows.push_back({m->ClientGUID(), m->ClientRecordID(), m->CarrierType(), m->CarrierID(),
                    m->PagerID(), m->MessageText()});
  return rows;
}

std::vector<std::optional<int32_t>> TNewMessageThread::StoreEach(
    const std::vector<const TServerNormalInputMessage*>& messages) {
  std::vector<std::optional<int32_t>> ids(messages.size());
  for (size_t i = 0; i < messages.size(); ++i) {
    const TServerNormalInputMessage& m = *messages[i];
    ids[i] = data_.InsertNewMessage(m.ClientGUID(), m.ClientRecordID(), m.CarrierType(),
                                    m.CarrierID(), m.PagerID(), m.MessageText());
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
