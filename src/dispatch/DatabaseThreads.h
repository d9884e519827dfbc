#pragma once
// The two intake threads that turn what sessions hand over into rows:
//  - TNewMessageThread stores every accepted message of the input queue in Messages, answers
//    MESSAGE_ACCEPTED to the submitting session (head of its reply list) and wakes the
//    carrier's iterator; it also marks replies that a closing session could not deliver, so
//    the client is told again at its next logon. It takes what is queued, up to
//    kMaxBatch entries, and stores the messages among them in one transaction (group
//    commit: one fsync for the batch); each acknowledgement follows that commit, in the
//    order the messages were queued. It does not wait for the commit: while up to kMaxPosted
//    batches wait for theirs at the write gate it takes the next, so messages that come
//    meanwhile join the next group instead of waiting for this thread. A batch that fails is
//    stored again message by message, so one bad message never costs the others their
//    acknowledgement.
//  - TNewCarrierThread writes the carriers introduced during this run to Carriers.
//
// Lifecycle: created running by the server run's start (new-carrier thread first), after the
// containers exist, and owned by the run; its stop calls RequestStop and WaitFor (new-message
// thread first) once every session has ended. The new-message thread ends only after it found
// the queue empty and every batch it posted acknowledged, so every message accepted before the
// stop is stored. Destruction stops and waits as well.
//
// Threads: RequestStop and WaitFor belong to the thread that created the object (the UI
// thread). No container lock is held while the database is used; the clients list's read
// lock is held across FindClientByGUID and QueueReply (then the reply list's lock inside it).
// A failed database operation is logged by the store; the thread goes on, and a message whose
// insert failed is not acknowledged. A database file deleted or replaced while the server runs
// stops every acknowledgement at once: the thread logs why and asks the main loop to stop the
// server (WM_STOP_SERVER carrying the warning for the operator).

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/BaseContainers.h"
#include "platform/TNEvent.h"
#include "platform/TNThread.h"
#include "store/dmodData.h"

namespace voxmit {

class TServerNormalInputMessage;
class TServerUnsentInputMessage;

class TNewMessageThread {
public:
  // Most queue entries taken and stored in one transaction.
  static constexpr int32_t kMaxBatch = 512;
  // Most batches waiting for their commit at once.
  static constexpr size_t kMaxPosted = 4;

  TNewMessageThread(std::shared_ptr<TInputMessageQueue> input,
                    std::shared_ptr<TClientsList> clients,
                    std::shared_ptr<TCarriersList> carriers, TDMData& data);
  TNewMessageThread(const TNewMessageThread&) = delete;
  TNewMessageThread& operator=(const TNewMessageThread&) = delete;

  // Sets StopRequested: the thread ends once the queue is empty.
  void RequestStop() { thread_.Terminate(); }
  bool StopRequested() const { return thread_.StopRequested(); }
  void WaitFor() { thread_.WaitFor(); }

private:
  // A batch handed to the store and not yet acknowledged. The thread that commits it fills
  // IDs and Done, under Mutex; this thread reads them.
  struct TPostedBatch {
    std::vector<std::shared_ptr<TServerInputMessage>> Items;  // keeps Messages alive
    std::vector<const TServerNormalInputMessage*> Messages;
    std::mutex Mutex;
    bool Done = false;
    std::optional<std::vector<int32_t>> IDs;  // nothing when the batch failed
  };

  void Execute();
  // Pops up to kMaxBatch entries under one hold of the queue's write lock; empty when none.
  std::vector<std::shared_ptr<TServerInputMessage>> PopBatch();
  // Posts the messages among items to the store as one batch, and marks the undelivered replies.
  void HandleBatch(const std::vector<std::shared_ptr<TServerInputMessage>>& items);
  // Acknowledges the batches at the front of posted_ whose commit has been reported; a batch
  // that failed is stored again message by message first.
  void AcknowledgeStored();
  static std::vector<TNewMessageRow> RowsOf(
      const std::vector<const TServerNormalInputMessage*>& messages);
  // Stores each message in a transaction of its own; the ID of each, nullopt where it could
  // not be stored.
  std::vector<std::optional<int32_t>> StoreEach(
      const std::vector<const TServerNormalInputMessage*>& messages);
  // Acknowledges each stored message, in order, and wakes the carriers concerned.
  void Acknowledge(const std::vector<const TServerNormalInputMessage*>& messages,
                   const std::vector<std::optional<int32_t>>& ids);
  void WakeCarrier(int32_t carrierID);
  // False once the database file is no longer the one written to (reported once).
  bool StoreStillValid();

  std::shared_ptr<TInputMessageQueue> input_;
  std::shared_ptr<TClientsList> clients_;
  std::shared_ptr<TCarriersList> carriers_;
  TDMData& data_;
  bool storeLost_ = false;  // this thread only
  std::deque<std::shared_ptr<TPostedBatch>> posted_;  // this thread only
  // Set when a posted batch has been committed or has failed; shared with the report, which
  // may still be setting it as the thread ends.
  std::shared_ptr<TNEvent> storedEvent_ = std::make_shared<TNEvent>();
  TNThread thread_;  // last: the thread ends before the members it uses go
};

class TNewCarrierThread {
public:
  TNewCarrierThread(std::shared_ptr<TCarriersList> carriers, TDMData& data);
  TNewCarrierThread(const TNewCarrierThread&) = delete;
  TNewCarrierThread& operator=(const TNewCarrierThread&) = delete;

  void RequestStop() { thread_.Terminate(); }
  bool StopRequested() const { return thread_.StopRequested(); }
  void WaitFor() { thread_.WaitFor(); }

private:
  void Execute();
  // Writes every carrier marked new; false when one of them could not be written.
  bool StoreNewCarriers();

  std::shared_ptr<TCarriersList> carriers_;
  TDMData& data_;
  TNThread thread_;  // last: the thread ends before the members it uses go
};

} // namespace voxmit
