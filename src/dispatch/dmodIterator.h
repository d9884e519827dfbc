#pragma once
// TIterator serves one carrier at a time: the scheduler tells it which carrier and which
// devices; it keeps one channel per device, feeds the carrier's pending messages into
// whichever channel is ready (send thread) and records every finished message (receive
// thread). It becomes idle when its carrier has no more work and may serve another later.
// TIteratorsList is the scheduler's list of iterators.
//
// Threads:
//   - ReSchedule, StopServing, CollectDevicesInUse, the Assigned/Idle flags and
//     TIteratorsList belong to the scheduler thread (or to whoever owns the iterator while
//     no scheduler thread runs, such as a test). They reach the send thread only through
//     CarrierID (atomic) and the two events.
//   - The send thread (TIteratorSendThread) reads the carrier's messages in pages of
//     kPageSize rows on its own connection and closes each statement before it waits for a
//     channel, so no reader stays open across a wait. A row is marked Sending (only if it is
//     still there and not yet marked) before its parts are handed to a channel; up to
//     kMarkBatch rows are marked in one transaction, and those not handed over when the pass
//     ends early are given back.
//   - The receive thread (TIteratorReceiveThread) collects results and writes them on its
//     own connection, then wakes the submitting client's session in the clients list. The
//     results that are back together are written in one transaction.
//   - Channels (the list) is read under its read lock by all three threads; the channels take
//     its write lock to register and unregister themselves.
//
// Lifetime: the destructor closes every channel, stops the send thread and lets the receive
// thread collect results until the last channel has unregistered, then joins both threads.
// Non-copyable. Errors in one message are logged; they never end a thread.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <Poco/Data/Session.h>

#include "channels/BaseChannel.h"
#include "common/BaseContainers.h"
#include "platform/TNEvent.h"
#include "platform/TNThread.h"

namespace voxmit {

class TDMData;
class TMessageFinisher;
class TNDevice;
class TNChannelClass;

using TDeviceList = std::vector<std::shared_ptr<TNDevice>>;

class TIteratorSendThread;
class TIteratorReceiveThread;

class TIterator {
public:
  // Rows read per page of the carrier's message query.
  static constexpr int32_t kPageSize = 500;
  // Rows marked Sending in one transaction, before they are handed to the channels.
  static constexpr size_t kMarkBatch = 32;

  // carriers and clients are the server run's lists (clients may be nullptr: nobody is woken
  // when a result is recorded). Every channel the iterator creates reports through callbacks.
  TIterator(std::shared_ptr<TCarriersList> carriers, std::shared_ptr<TClientsList> clients,
            TDMData& data, TNChannelCallbacks callbacks = {});
  ~TIterator();
  TIterator(const TIterator&) = delete;
  TIterator& operator=(const TIterator&) = delete;

  // Serve carrierID on exactly these devices: keeps the channels whose device is listed,
  // closes the others and opens one channel per remaining device. Another carrier closes
  // every channel and restarts the send thread's query at once. An unknown carrier ID or a
  // carrier type without a channel class is logged and leaves the iterator without channels.
  void ReSchedule(int32_t carrierID, TDeviceList devices);
  // Idle, every channel closed.
  void StopServing();
  // The devices of the channels that are not closing, also of those still waiting for their
  // device (so the scheduler never plans a second channel on it).
  TDeviceList CollectDevicesInUse();

  int32_t CarrierID() const { return carrierID_; }
  bool Idle() const { return idle_; }
  bool Assigned = false;  // picked in the current scheduling pass
  // The iterator's live channels (they register and unregister themselves).
  const std::shared_ptr<TNChannelsList>& Channels() const { return channels_; }
  // Channels created and not yet ended: registered or still waiting for their device.
  int32_t LiveChannelCount();

private:
  friend class TIteratorSendThread;
  friend class TIteratorReceiveThread;

  bool TakeCarrier(int32_t carrierID);
  void KeepOrCloseChannels(TDeviceList& devices);
  void CreateChannels(int32_t carrierID, const TDeviceList& devices);
  // The channels created here that still live: those in Channels and those still waiting
  // for their device (not yet registered).
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> LiveChannels();
  void CloseEveryChannel();
  std::string Identity() const;

  const std::shared_ptr<TCarriersList> carriers_;
  const std::shared_ptr<TClientsList> clients_;
  TDMData& data_;
  const std::shared_ptr<TNChannelsList> channels_;
  const TNChannelCallbacks callbacks_;

  // Scheduler thread only.
  int32_t carrierType_ = 0;
  std::string carrierData_;
  std::shared_ptr<const TNChannelClass> channelClass_;
  std::vector<std::weak_ptr<TNBaseCarrierChannel>> created_;
  bool idle_ = false;

  // Written by the scheduler thread, read by the send thread.
  std::atomic<int32_t> carrierID_{0};

  std::unique_ptr<TIteratorReceiveThread> receiveThread_;
  std::unique_ptr<TIteratorSendThread> sendThread_;
};

// Moves the served carrier's pending messages from the table into whichever channel signals
// ready, in TimeReceived order. Started by its constructor; the iterator tells it through
// Restart (the carrier changed: drop the current pass at once) and Wake (look again), both
// safe from any thread. Terminate and WaitFor belong to the iterator's owner.
class TIteratorSendThread {
public:
  explicit TIteratorSendThread(TIterator& iterator);
  TIteratorSendThread(const TIteratorSendThread&) = delete;
  TIteratorSendThread& operator=(const TIteratorSendThread&) = delete;

  void Restart() { restartEvent_.Set(); }
  void Wake() { wakeEvent_.Set(); }
  void Terminate() { thread_.Terminate(); }
  void WaitFor() { thread_.WaitFor(); }

private:
  struct TRow;
  struct TPageKey;
  enum class TFeed { Fed, Restart, Terminated };

  void Execute();
  bool WaitForFirstWake();
  // One pass over the carrier's messages; false when terminated.
  bool SendPass();
  TFeed FeedMessages(int32_t carrierID);
  void ReadPage(int32_t carrierID, const TPageKey* after, std::vector<TRow>& rows);
  // Hands a row marked Sending to a ready channel of the carrier.
  TFeed FeedOne(const TRow& row, int32_t carrierID);
  // Marks the rows Sending in one transaction; whether each was marked (false when it is gone
  // or already marked).
  std::vector<bool> MarkSending(const TRow* rows, size_t count);
  // Gives marked rows that were not handed over back (Sending No), in one transaction.
  void UnmarkSending(const std::vector<int32_t>& ids);
  bool WaitForMoreMessages(int32_t carrierID);
  bool Terminated() const { return thread_.StopRequested(); }
  const TNEvent& TerminatedEvent() const { return thread_.StopEvent(); }
  std::string Identity() const;

  const std::shared_ptr<TCarriersList> carriers_;
  TDMData& data_;
  const std::shared_ptr<TNChannelsList> channels_;
  const std::atomic<int32_t>& carrierID_;  // the iterator's
  TNEvent restartEvent_;
  TNEvent wakeEvent_;
  size_t windowStart_ = 0;  // the first channel of the next wait, with more than 63
  TNThread thread_;  // last: the thread ends before the members it uses go
};

// Moves results from the iterator's channels into the tables: an untried part gives its row
// back (Sending No, RetryTimes), a final one moves the row to SentMessages and wakes the
// submitting client's confirmation thread. Once terminated it goes on collecting until the
// last channel has left the list. Terminate and WaitFor belong to the iterator's owner.
class TIteratorReceiveThread {
public:
  // Most results recorded in one transaction.
  static constexpr size_t kResultBatch = 256;

  explicit TIteratorReceiveThread(TIterator& iterator);
  TIteratorReceiveThread(const TIteratorReceiveThread&) = delete;
  TIteratorReceiveThread& operator=(const TIteratorReceiveThread&) = delete;

  void Terminate() { thread_.Terminate(); }
  void WaitFor() { thread_.WaitFor(); }

private:
  void Execute();
  bool Finished();
  // Waits up to timeoutMs for a result of any channel; nullptr when none came.
  std::shared_ptr<TNBaseChannelMessage> CollectOneResult(int32_t timeoutMs);
  // The results that are back now, at most kResultBatch, after waiting for the first.
  std::vector<std::shared_ptr<TNBaseChannelMessage>> CollectResults();
  // Gathers the parts of a split message; returns the message's one result once its last
  // part is back, or nullptr while parts are still out.
  std::shared_ptr<TNBaseChannelMessage> GatherParts(std::shared_ptr<TNBaseChannelMessage> part);
  // False when the database failed (the part is kept and tried again).
  bool ProcessResult(const TNBaseChannelMessage& part);
  // Records the results in one transaction (one fsync for all of them); when that fails,
  // each on its own (ProcessResult), so one that cannot be written holds up no other.
  void ProcessResults(const std::vector<std::shared_ptr<TNBaseChannelMessage>>& results);
  // Inside a write transaction: records one result; the client to wake, "" for none.
  std::string RecordResult(Poco::Data::Session& session, TMessageFinisher& finisher,
                           const TNBaseChannelMessage& part);
  void RetryFailedResults();
  bool Terminated() const { return thread_.StopRequested(); }
  const TNEvent& TerminatedEvent() const { return thread_.StopEvent(); }
  std::string Identity() const;

  const std::shared_ptr<TClientsList> clients_;
  TDMData& data_;
  const std::shared_ptr<TNChannelsList> channels_;
  // The parts of split messages collected so far, by message ID: the first of them, carrying
  // the result gathered so far, and how many have come back.
  std::map<int32_t, std::pair<std::shared_ptr<TNBaseChannelMessage>, int32_t>> partial_;
  // Results whose recording failed, with their attempts so far.
  std::vector<std::pair<std::shared_ptr<TNBaseChannelMessage>, int32_t>> failedResults_;
  size_t windowStart_ = 0;  // the first channel of the next wait, with more than 64
  TNThread thread_;  // last: the thread ends before the members it uses go
};

class TIteratorsList {
public:
  TIteratorsList(std::shared_ptr<TCarriersList> carriers, std::shared_ptr<TClientsList> clients,
                 TDMData& data, TNChannelCallbacks callbacks = {});
  ~TIteratorsList();
  TIteratorsList(const TIteratorsList&) = delete;
  TIteratorsList& operator=(const TIteratorsList&) = delete;

  // The first unassigned iterator serving carrierID and not idle; else the first unassigned
  // one that served it last (stopped since); else the first unassigned idle one; else a new
  // one, appended.
  TIterator& FindIterator(int32_t carrierID);
  void ClearAssigned();
  void StopAll();
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  TIterator& Items(int32_t index) { return *items_.at(static_cast<size_t>(index)); }

private:
  std::shared_ptr<TCarriersList> carriers_;
  std::shared_ptr<TClientsList> clients_;
  TDMData& data_;
  const TNChannelCallbacks callbacks_;
  std::vector<std::unique_ptr<TIterator>> items_;
};

} // namespace voxmit
