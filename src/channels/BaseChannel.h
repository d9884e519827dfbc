#pragma once
// The carrier channel: one live link to a paging carrier over one borrowed device. Every
// carrier (TAP, PACNET, SMS, SMTP, ...) derives from TNBaseCarrierChannel and fills in the
// virtual operations below; the worker thread's state machine (TNBaseChannelThread) is the
// same for all of them.
//
// Contract for a carrier class (the operations, in slot order):
//    0 InitPort            open and configure the physical port; false: no usable port
//    1 ResetPort           close the port and give it up
//    2 InitDevice          prepare the device (modem reset, init string); false: no answer
//    3 Connect             dial or open the link and log on, with the carrier's own logon
//                          retries; returns one of the four TChannelConnectResult values
//    4 HangUp              drop the line without a logoff dialogue
//    5 Disconnect          log off politely, then drop the line
//    6 SendMessage(part)   send one part and classify the carrier's answer
//    7 BuildMessageBlock   format one part for the wire (for the carrier's own SendMessage)
//    8 ParseDeviceSettings read Device()->SettingsData into fields
//    9 ParseCarrierSettings read CarrierSettings() into fields, MaxMessageLength included
//   11 GetBufferLimits     class-level: a static function of the carrier class, registered
//                          with its factory in TNChannelClass (RegChannels.h)
//   12 Create              class-level: the registered factory; TNChannelClass::Create builds
//                          the object, then Launch runs the base construction steps
// (Slot 10, a hook for a custom worker, is not offered: every carrier runs the base worker.)
// A carrier's constructor takes TNChannelArgs, sets MaxMessagesPerConnection (> 0) and its
// own fields, and does no I/O and never waits for another thread: it runs on the scheduler
// thread, and a constructor that waited for the main loop would deadlock a stop. Waits a
// carrier needs before it can work belong in InitDevice. Launch (called by
// TNChannelClass::Create once the whole object exists) logs, parses the settings, makes the
// queues and starts the worker last, so the worker never sees a half-built object. The
// operations 0 to 9 run on the worker thread only (8 and 9 on the creating thread, before the
// worker starts). An exception from any of them is logged and treated as a failure of that
// step; it never ends the worker. An exception out of SendMessage gives the result the class
// chooses in SendExceptionResult (srRetry here; network carriers answer srAbandon).
//
// Stopping: a carrier never blocks for long without a way out. Its pauses use WaitOrStop,
// which returns early once the channel is closed, and OnClose (called by Close, on any
// thread) is where a carrier interrupts blocking I/O, for instance by shutting its socket
// down, so that no dialogue with a silent peer can hold up the server's stop.
//
// Reporting: a channel reports upward only through the callbacks in its arguments (notices to
// the clients, device activity), wired by whoever creates it; results travel through FiFoOut.
//
// Threads and locks:
//   - the worker owns the carrier I/O and the connection state;
//   - the iterator's send thread calls EnqueueMessage, its receive thread DequeueResult, both
//     while holding the channel list's read lock; Close and UpdateReadyEvent are safe from
//     any thread;
//   - FiFoIn and FiFoOut each have their own lock (BaseContainers.h). Lock order: the channel
//     list, then FiFoIn, then FiFoOut. The worker takes the list's write lock only to register
//     and unregister and calls nothing under it that takes a queue lock;
//   - readyMutex_ makes UpdateReadyEvent's look at the two queues and its change of
//     ReadyEvent one step, so two threads updating at once cannot leave a stale state.
//
// Ownership: channels and parts are shared between the iterator, the channel list and the
// worker, so both are held through std::shared_ptr. The worker holds its channel until it has
// unregistered it and logged its last line; every part a channel accepted comes back exactly
// once through FiFoOut (Taken false when it was never tried or must be tried again later,
// otherwise true with its final SendError).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/BaseContainers.h"
#include "common/ServerTypes.h"
#include "platform/TNEvent.h"

namespace voxmit {

class TNDevice;
class TNBaseChannelThread;

// One part of one stored message. Filled by EnqueueMessage, changed only by the worker while
// it sits in FiFoIn, read by the iterator once it has been popped from FiFoOut; the queue
// locks order these accesses, so the part itself needs no lock.
struct TNBaseChannelMessage {
  std::string MessageText;  // the text of this part, tag included
  std::string PagerID;
  bool Taken = false;       // set when the worker takes the part for processing
  int32_t ID = 0;           // Messages.ID; every part of one message shares it
  int32_t RetryTimes = 0;   // attempts so far
  TMessageSendError SendError = MSE_OK;
  int32_t PartCount = 1;    // how many parts the message was split into
};

// The two queue high marks of a carrier class.
struct TBufferLimits {
  int32_t Input = 0;
  int32_t Output = 0;
};

// How a channel reports upward. Either may be empty: a notice is then dropped, and the
// activity goes to the device only. Called on the channel's worker thread.
struct TNChannelCallbacks {
  // A notice for every logged-on client (port or device trouble).
  std::function<void(const std::string& notice)> Notice;
  // The device's activity text changed ("TChannelTap - Sending Message"); the device itself
  // has already been updated.
  std::function<void(const TNDevice& device, const std::string& activity)> Activity;
};

// What every channel is created with.
struct TNChannelArgs {
  std::string ClassName;  // the registered class name ("TChannelTap"), for log lines
  // The list the worker registers the channel in. Held weakly: when the iterator has let go
  // of its list, a channel still waiting for its device gives up instead of registering in a
  // list nobody watches.
  std::weak_ptr<TNChannelsList> ChannelsList;
  TCarrierType CarrierType = CT_TAP;
  int32_t CarrierID = 0;
  std::string CarrierSettings;
  std::shared_ptr<TNDevice> Device;  // never null
  TNChannelCallbacks Callbacks;
};

class TNBaseCarrierChannel : public std::enable_shared_from_this<TNBaseCarrierChannel> {
public:
  // The tag put in front of every part of a split message: part number, part count.
  static constexpr const char* SplitTagFormat = "(Msg%d of %d)";
  // Splitting reckons with this tag length (the length of the format text itself).
  static constexpr int32_t SplitTagLength = 13;

  virtual ~TNBaseCarrierChannel();
  TNBaseCarrierChannel(const TNBaseCarrierChannel&) = delete;
  TNBaseCarrierChannel& operator=(const TNBaseCarrierChannel&) = delete;

  // The base construction steps: the "Creating Channel" log line, both settings parsers, the
  // queues with the class's limits, then the worker.
  // Called once by TNChannelClass::Create; tests may call it on a channel they built.
  void Launch(TBufferLimits limits);

  // Iterator send thread: cleans the text, splits it into parts if it is longer than
  // MaxMessageLength, appends the parts to FiFoIn, then UpdateReadyEvent. A text that needs
  // splitting but cannot be split (MaxMessageLength too small for the tags) becomes one part
  // handed straight to FiFoOut with Taken true and MSE_ABANDONED, and a log line. Parts that
  // arrive after the stop path has emptied FiFoIn go straight to FiFoOut untaken.
  void EnqueueMessage(int32_t id, const std::string& pagerID, const std::string& messageText,
                      int32_t retryTimes);
  // Iterator receive thread: the oldest finished part, or nullptr; then UpdateReadyEvent.
  std::shared_ptr<TNBaseChannelMessage> DequeueResult();
  // Any thread: ReadyEvent set while neither queue is at its high mark, or while closing.
  void UpdateReadyEvent();
  // Any thread: sets Closing, asks the worker to stop and calls OnClose; returns at once. The
  // worker sees it at the top of its next pass or at once while waiting; inside Connect or
  // SendMessage a carrier sees it through WaitOrStop and OnClose. A channel can be closed
  // before it has registered.
  void Close();

  // The splitting rule on its own (no queue involved): the part texts for a cleaned text,
  // or nothing when the text cannot be split under maxMessageLength.
  static std::optional<std::vector<std::string>> SplitMessageText(const std::string& text,
                                                                  int32_t maxMessageLength);

  bool Closing() const { return closing_; }
  bool Connected() const { return connected_; }
  const std::string& ClassName() const { return className_; }
  TCarrierType CarrierType() const { return carrierType_; }
  int32_t CarrierID() const { return carrierID_; }
  const std::string& CarrierSettings() const { return carrierSettings_; }
  const std::shared_ptr<TNDevice>& Device() const { return device_; }
  std::shared_ptr<TNChannelsList> ChannelsList() const { return channelsList_.lock(); }
  const TNEvent& ReadyEvent() const { return readyEvent_; }
  // Valid once Launch has run.
  TNChannelFiFo& FiFoIn() const { return *fifoIn_; }
  TNChannelFiFo& FiFoOut() const { return *fifoOut_; }
  int32_t GetMaxMessageLength() const { return MaxMessageLength; }
  int32_t GetMaxMessagesPerConnection() const { return MaxMessagesPerConnection; }

protected:
  explicit TNBaseCarrierChannel(const TNChannelArgs& args);

  virtual bool InitPort() { return true; }
  virtual bool ResetPort() { return true; }
  virtual bool InitDevice() = 0;
  virtual TChannelConnectResult Connect() = 0;
  virtual bool HangUp() { return true; }
  virtual bool Disconnect() = 0;
  virtual TChannelSendResult SendMessage(TNBaseChannelMessage& part) = 0;
  virtual void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                                 std::string& block) = 0;
  virtual bool ParseDeviceSettings() = 0;
  virtual bool ParseCarrierSettings() = 0;

  // Called once by Close, on whichever thread closes the channel, possibly while the worker
  // is inside a carrier operation: a carrier interrupts its blocking I/O here (a network
  // channel shuts its socket down). Must be quick and safe against the worker.
  virtual void OnClose() {}
  // The result an exception escaping SendMessage stands for.
  virtual TChannelSendResult SendExceptionResult() const { return srRetry; }

  // Waits ms milliseconds unless the channel is closed first. True when the whole time
  // passed, false when the channel was closed (the carrier should give up at once).
  bool WaitOrStop(int32_t ms) const;
  // True once the channel has been closed.
  bool StopRequested() const { return closing_; }
  // The device activity "<class name> - <what>": stored in the device, then reported through
  // the Activity callback.
  void ShowActivity(const std::string& what);

  // "ChannelThread (class)(device), " : the prefix of the worker's log lines.
  std::string LogPrefix() const;
  // Sends a notice to the clients through the Notice callback, if one is wired.
  void Notify(const std::string& notice) const;

  // Set by the carrier's constructor; must be greater than 0.
  int32_t MaxMessagesPerConnection = 1;
  // Set by ParseCarrierSettings; the longest text of one part.
  int32_t MaxMessageLength = 0;

private:
  friend class TNBaseChannelThread;

  // Worker-side helpers (worker thread only).
  void SetConnected(bool connected) { connected_ = connected; }
  const TNEvent& StopEvent() const { return stopEvent_; }
  // Pushes a finished part onto FiFoOut.
  void PushResult(std::shared_ptr<TNBaseChannelMessage> part);
  // Stop path: moves every part still in FiFoIn to FiFoOut untaken and marks FiFoIn drained,
  // all under FiFoIn's write lock.
  void ReturnQueuedParts();

  const std::string className_;
  const std::weak_ptr<TNChannelsList> channelsList_;
  const TCarrierType carrierType_;
  const int32_t carrierID_;
  const std::string carrierSettings_;
  const std::shared_ptr<TNDevice> device_;
  const TNChannelCallbacks callbacks_;

  TNEvent readyEvent_;
  TNEvent stopEvent_;              // set by Close: wakes the worker's waits at once
  std::mutex readyMutex_;          // guards the compute-and-set of UpdateReadyEvent
  std::unique_ptr<TNChannelFiFo> fifoIn_;
  std::unique_ptr<TNChannelFiFo> fifoOut_;
  bool fifoInDrained_ = false;     // guarded by FiFoIn's lock
  std::atomic<bool> closing_{false};
  std::atomic<bool> connected_{false};
};

// The base worker: takes the device, opens the port, registers the channel, sends, and on a
// stop hands every part back, unregisters and lets the channel go. It owns its channel
// through a shared_ptr and runs on a thread of the process's TNThreadRegistry, which it
// frees when it ends.
class TNBaseChannelThread {
public:
  explicit TNBaseChannelThread(std::shared_ptr<TNBaseCarrierChannel> channel);
  ~TNBaseChannelThread();
  TNBaseChannelThread(const TNBaseChannelThread&) = delete;
  TNBaseChannelThread& operator=(const TNBaseChannelThread&) = delete;

  // Runs the three phases; catches and logs whatever escapes them.
  void Execute();

private:
  struct TWorkState;

  // Phase 1: false when a stop came before the device could be taken.
  bool TakeDevice();
  bool InitPortChecked();
  void Register();
  // False, still registered, while FiFoOut holds results.
  bool Unregister();
  // Waits in slices until FiFoIn is not empty or a stop is requested; true for work.
  bool WaitForWork();
  // Phase 2.
  void WorkLoop(bool portReady);
  void ConnectIfNeeded(TWorkState& state);
  void ProcessPart(TWorkState& state, const std::shared_ptr<TNBaseChannelMessage>& part);
  void ActOnSendResult(TWorkState& state, const std::shared_ptr<TNBaseChannelMessage>& part,
                       TChannelSendResult result);
  void MovePart(const std::shared_ptr<TNBaseChannelMessage>& part);
  void RequeuePart();
  void CallDisconnect();
  // Phase 3.
  void StopChannel(bool deviceHeld);
  void WaitForResultsCollected();

  void Log(const std::string& what) const;

  std::shared_ptr<TNBaseCarrierChannel> channel_;  // released once the channel is unregistered
  const std::string className_;
  const std::string deviceName_;
  bool registered_ = false;
};

// ---- Text helpers (pure; any thread) ----------------------------------------------------------

// Removes leading and trailing blanks and control characters (codes 0 to 32).
std::string TrimControls(std::string_view text);
// Removes every CR and LF, then trims leading and trailing blanks and control characters.
std::string CleanMessageText(const std::string& text);
// For log lines: CR, LF, ESC, EOT, NUL, ACK, NAK, RS become "<CR>", "<LF>", "<ESC>", "<EOT>",
// "<NULL>", "<ACK>", "<NAK>", "<RS>", in that order; then trims.
std::string MakeControlsVisible(const std::string& text);

// ---- Operations over an iterator's channel list ---------------------------------------------
// The caller holds the list's read lock while calling them.

// Event handles to wait on together (WaitForAny), each with the channel that owns it: the
// channel stays alive, and so its event, while the caller waits without the list's lock.
struct TNChannelHandles {
  std::vector<const TNEvent*> Events;
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> Channels;  // same order as Events

  void Clear() {
    Events.clear();
    Channels.clear();
  }
  size_t Count() const { return Events.size(); }
};

// ReadyEvent of every channel that is not closing and serves the carrier.
void CollectReadyEvents(const TNChannelsList& list, int32_t carrierID, TNChannelHandles& handles);
// The first channel not closing, serving the carrier, whose ReadyEvent is handle.
std::shared_ptr<TNBaseCarrierChannel> FindChannelByReadyEvent(const TNChannelsList& list,
                                                              int32_t carrierID,
                                                              const TNEvent* handle);
// FiFoOut's NotEmpty event of every channel, closing ones included.
void CollectResultEvents(const TNChannelsList& list, TNChannelHandles& handles);
std::shared_ptr<TNBaseCarrierChannel> FindChannelByResultEvent(const TNChannelsList& list,
                                                               const TNEvent* handle);
void CloseAllChannels(const TNChannelsList& list);

} // namespace voxmit
