#include "channels/BaseChannel.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include <Poco/DateTimeFormatter.h>
#include <Poco/Format.h>
#include <Poco/LocalDateTime.h>

#include "devices/Devices.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"

namespace voxmit {

namespace {

// How long the stop path waits for the iterator to collect the results before it says so in
// the log; it keeps waiting after that while the iterator can still collect them.
constexpr int32_t kResultsCollectWaitMs = 30000;

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string Tag(int32_t part, int32_t count) {
  return Poco::format(TNBaseCarrierChannel::SplitTagFormat, part, count);
}

int32_t Digits(int64_t n) {
  int32_t digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

// Sum of the digit counts of 1..n.
int64_t DigitsUpTo(int64_t n) {
  int64_t sum = 0;
  for (int64_t low = 1, digits = 1; low <= n; low *= 10, ++digits)
    sum += (std::min(n, low * 10 - 1) - low + 1) * digits;
  return sum;
}

// Characters of text that n parts of length limit carry with their real tags; the tag of
// part k of n is "(Msg" k " of " n ")", 9 characters plus both numbers' digits.
int64_t Capacity(int64_t n, int64_t limit) {
  return n * limit - (9 * n + DigitsUpTo(n) + n * Digits(n));
}

// The part count: the smallest n >= 2 with n * limit >= length + n * 13. From 100 parts on the
// real tags are longer than 13 and those n parts may not hold the text; then the count grows
// until they do, so no text is lost. Nothing when no count works (limit too small).
std::optional<int64_t> PartCount(int64_t length, int64_t limit) {
  const int64_t room = limit - TNBaseCarrierChannel::SplitTagLength;
  if (room <= 0) return std::nullopt;
  int64_t n = std::max<int64_t>(2, (length + room - 1) / room);
  // Each part carries at least one character once a count works, so length + n tries suffice.
  for (const int64_t last = n + length; n <= last; ++n) {
    if (limit - (9 + 2 * Digits(n)) < 1) return std::nullopt;  // the longest tag fills a part
    if (Capacity(n, limit) >= length) return n;
  }
  return std::nullopt;
}

} // namespace

// ---- Text helpers ---------------------------------------------------------------------------

std::string TrimControls(std::string_view text) {
  const auto first = std::find_if_not(text.begin(), text.end(), IsBlankOrControl);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), IsBlankOrControl).base();
  return first < last ? std::string(first, last) : std::string();
}

std::string CleanMessageText(const std::string& text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text)
    if (c != '\r' && c != '\n') kept += c;
  return TrimControls(kept);
}

std::string MakeControlsVisible(const std::string& text) {
  static const std::pair<char, const char*> kNames[] = {
      {'\r', "<CR>"}, {'\n', "<LF>"}, {'\x1b', "<ESC>"}, {'\x04', "<EOT>"},
      {'\0', "<NULL>"}, {'\x06', "<ACK>"}, {'\x15', "<NAK>"}, {'\x1e', "<RS>"}};
  std::string out = text;
  for (const auto& [c, name] : kNames) {
    std::string next;
    for (char x : out) {
      if (x == c) next += name;
      else next += x;
    }
    out = std::move(next);
  }
  return TrimControls(out);
}

// ---- Channel --------------------------------------------------------------------------------

TNBaseCarrierChannel::TNBaseCarrierChannel(const TNChannelArgs& args)
    : className_(args.ClassName),
      channelsList_(args.ChannelsList),
      carrierType_(args.CarrierType),
      carrierID_(args.CarrierID),
      carrierSettings_(args.CarrierSettings),
      device_(args.Device),
      callbacks_(args.Callbacks) {}

TNBaseCarrierChannel::~TNBaseCarrierChannel() = default;

bool TNBaseCarrierChannel::WaitOrStop(int32_t ms) const {
  if (closing_) return false;
  return stopEvent_.Wait(std::max(0, ms)) != wrSignaled;
}

void TNBaseCarrierChannel::ShowActivity(const std::string& what) {
  const std::string activity = className_ + " - " + what;
  SetDeviceActivity(*device_, activity);
  if (callbacks_.Activity) callbacks_.Activity(*device_, activity);
}

void TNBaseCarrierChannel::Notify(const std::string& notice) const {
  if (callbacks_.Notice) callbacks_.Notice(notice);
}

std::string TNBaseCarrierChannel::LogPrefix() const {
  return Poco::format("ChannelThread (%s)(%s), ", className_, device_ ? device_->Name : "");
}

void TNBaseCarrierChannel::Launch(TBufferLimits limits) {
  LogMessage(Poco::format("Creating Channel: class: \"%s\", CarrierID: \"%d\" ", className_,
                          carrierID_));
  // A carrier that must refuse bad settings does so inside its parser; the base goes on with
  // whatever the parser set, and a parser that throws is only logged.
  const auto parse = [this](const char* what, auto&& parser) {
    try {
      parser();
    } catch (const std::exception& e) {
      LogMessage(Poco::format("%s%s failed: %s", LogPrefix(), std::string(what),
                              std::string(e.what())));
    }
  };
  parse("ParseDeviceSettings", [this] { ParseDeviceSettings(); });
  parse("ParseCarrierSettings", [this] { ParseCarrierSettings(); });
  // A mark below 1 would keep the queue "full" for ever and the channel never ready.
  fifoIn_ = std::make_unique<TNChannelFiFo>(std::max(1, limits.Input), false);
  fifoOut_ = std::make_unique<TNChannelFiFo>(std::max(1, limits.Output), true);
  closing_ = false;
  auto running = std::make_shared<TNBaseChannelThread>(shared_from_this());
  TNThreadRegistry::Instance().Spawn("ChannelThread", [running] { running->Execute(); });
}

std::optional<std::vector<std::string>> TNBaseCarrierChannel::SplitMessageText(
    const std::string& text, int32_t maxMessageLength) {
  if (static_cast<int64_t>(text.size()) <= maxMessageLength) return std::vector<std::string>{text};
  const auto count = PartCount(static_cast<int64_t>(text.size()), maxMessageLength);
  if (!count) return std::nullopt;
  std::vector<std::string> parts;
  parts.reserve(*count);
  // Each tag is shorter than maxMessageLength here, so putting it in front of the rest and
  // cutting maxMessageLength characters equals the tag plus the next characters of the text.
  size_t pos = 0;
  for (int32_t k = 1; k <= *count; ++k) {
    std::string part = Tag(k, static_cast<int32_t>(*count));
    const size_t take = static_cast<size_t>(maxMessageLength) - part.size();
    part += text.substr(std::min(pos, text.size()), take);
    pos += take;
    parts.push_back(std::move(part));
  }
  return parts;
}

void TNBaseCarrierChannel::EnqueueMessage(int32_t id, const std::string& pagerID,
                                          const std::string& messageText, int32_t retryTimes) {
  const std::string text = CleanMessageText(messageText);
  const auto texts = SplitMessageText(text, MaxMessageLength);
  const int32_t partCount = texts ? static_cast<int32_t>(texts->size()) : 1;
  const auto makePart = [&](std::string partText) {
    auto part = std::make_shared<TNBaseChannelMessage>();
    part->PartCount = partCount;
    part->MessageText = std::move(partText);
    part->PagerID = pagerID;
    part->ID = id;
    part->RetryTimes = retryTimes;
    return part;
  };
  if (!texts) {
    LogMessage(Poco::format("%sMessage %d abandoned: it cannot be split into parts of %d "
                            "characters",
                            LogPrefix(), id, MaxMessageLength));
    auto part = makePart(text);
    part->Taken = true;
    part->SendError = MSE_ABANDONED;
    PushResult(std::move(part));
  } else {
    for (const std::string& partText : *texts) {
      auto part = makePart(partText);
      TNWriteLock lock(fifoIn_->Lock());
      if (!fifoInDrained_) {
        fifoIn_->Push(std::move(part));
        continue;
      }
      // The worker has already handed its queue back: return the part untried at once.
      PushResult(std::move(part));
    }
  }
  UpdateReadyEvent();
}

std::shared_ptr<TNBaseChannelMessage> TNBaseCarrierChannel::DequeueResult() {
  std::shared_ptr<TNBaseChannelMessage> part;
  {
    TNWriteLock lock(fifoOut_->Lock());
    part = fifoOut_->Pop();
  }
  UpdateReadyEvent();
  return part;
}

void TNBaseCarrierChannel::UpdateReadyEvent() {
  if (!fifoIn_ || !fifoOut_) return;
  std::lock_guard lock(readyMutex_);
  const auto full = [](const TNChannelFiFo& fifo) {
    const TNEvent* highMark = fifo.Event(stHighMark);
    return highMark && highMark->IsSet();
  };
  if (closing_ || (!full(*fifoIn_) && !full(*fifoOut_)))
    readyEvent_.Set();
  else
    readyEvent_.Reset();
}

void TNBaseCarrierChannel::Close() {
  if (closing_.exchange(true)) return;
  stopEvent_.Set();
  UpdateReadyEvent();
  try {
    OnClose();
  } catch (const std::exception& e) {
    LogMessage(Poco::format("%sOnClose failed: %s", LogPrefix(), std::string(e.what())));
  }
}

void TNBaseCarrierChannel::PushResult(std::shared_ptr<TNBaseChannelMessage> part) {
  TNWriteLock lock(fifoOut_->Lock());
  fifoOut_->Push(std::move(part));
}

void TNBaseCarrierChannel::ReturnQueuedParts() {
  TNWriteLock lock(fifoIn_->Lock());
  fifoInDrained_ = true;
  while (auto part = fifoIn_->Pop()) {
    // A part requeued after a refused attempt is not finished: it goes back untried (its
    // RetryTimes keeps the attempts) so that it is sent later, never counted as delivered.
    part->Taken = false;
    part->SendError = MSE_OK;
    PushResult(std::move(part));
  }
}

// ---- Worker ---------------------------------------------------------------------------------

struct TNBaseChannelThread::TWorkState {
  bool portReady = false;
  bool deviceReady = false;
  bool mayConnect = true;
  bool deviceAlerted = false;
  TChannelConnectResult connectResult = crConnected;
  int32_t sentOnConnection = 0;
};

TNBaseChannelThread::TNBaseChannelThread(std::shared_ptr<TNBaseCarrierChannel> channel)
    : channel_(std::move(channel)),
      className_(channel_->ClassName()),
      deviceName_(channel_->Device() ? channel_->Device()->Name : std::string()) {}

TNBaseChannelThread::~TNBaseChannelThread() = default;

void TNBaseChannelThread::Log(const std::string& what) const {
  LogMessage(Poco::format("ChannelThread (%s)(%s), %s", className_, deviceName_, what));
}

namespace {

// Runs one carrier operation; an exception is logged and gives fallback.
template <class R, class Op>
R Guarded(const std::string& prefix, const char* name, R fallback, Op&& op) {
  try {
    return op();
  } catch (const std::exception& e) {
    LogMessage(Poco::format("%s%s failed: %s", prefix, std::string(name), std::string(e.what())));
  } catch (...) {
    LogMessage(Poco::format("%s%s failed", prefix, std::string(name)));
  }
  return fallback;
}

} // namespace

void TNBaseChannelThread::Execute() {
  // Whatever goes wrong while working, the stop path still runs: it gives the device back and
  // hands every part to the iterator.
  bool deviceHeld = false;
  try {
    deviceHeld = TakeDevice();
    bool portReady = false;
    if (deviceHeld) portReady = InitPortChecked();
    if (!channel_->StopRequested()) Register();
    if (WaitForWork()) LogMessage("There are messages in the Fifo");
    if (deviceHeld) WorkLoop(portReady);
  } catch (const std::exception& e) {
    Log(Poco::format("failed: %s", std::string(e.what())));
    channel_->Close();
  }
  try {
    StopChannel(deviceHeld);
  } catch (const std::exception& e) {
    Log(Poco::format("stopping failed: %s", std::string(e.what())));
  }
  channel_.reset();
}

bool TNBaseChannelThread::TakeDevice() {
  channel_->SetConnected(false);
  TNDevice& device = *channel_->Device();
  for (;;) {
    Log("waiting for Device");
    // A list nobody holds any more means the iterator is gone: nobody would ever give this
    // channel work or close it.
    if (!channel_->ChannelsList()) channel_->Close();
    if (channel_->StopRequested()) return false;
    // The wait that sees the event set also resets it, so no two channels hold one device.
    if (device.FreeEvent.WaitAndTake(settings::ThreadWaitLoopTimeout) == wrSignaled) break;
  }
  Log("got the Device");
  return true;
}

bool TNBaseChannelThread::InitPortChecked() {
  const bool ready = Guarded(channel_->LogPrefix(), "InitPort", false,
                             [this] { return channel_->InitPort(); });
  if (ready) {
    Log("Port Init OK");
  } else {
    Log("Port Init ERROR");
    channel_->Notify(Poco::format(
        "Server has problem initializing one of the ComPorts (device '%s'): please refer to the "
        "Voxmit Support personnel.",
        deviceName_));
  }
  return ready;
}

void TNBaseChannelThread::Register() {
  auto list = channel_->ChannelsList();
  if (!list) return;
  {
    TNWriteLock lock(list->Lock());
    Log("Registering New Channel");
    list->Add(channel_);
    channel_->UpdateReadyEvent();
  }
  registered_ = true;
}

bool TNBaseChannelThread::Unregister() {
  if (!registered_) return true;
  if (auto list = channel_->ChannelsList()) {
    TNWriteLock lock(list->Lock());
    {
      // The send thread hands parts over under the list's read lock, so with the write lock
      // held nothing more can arrive; a part that came after the wait is collected first.
      TNReadLock outLock(channel_->FiFoOut().Lock());
      if (channel_->FiFoOut().Count() > 0) return false;
    }
    Log("Unregistering Channel");
    list->Remove(channel_.get());
  }
  registered_ = false;
  return true;
}

bool TNBaseChannelThread::WaitForWork() {
  const TNEvent* events[] = {channel_->FiFoIn().Event(stNotEmpty), &channel_->StopEvent()};
  while (!channel_->StopRequested()) {
    if (WaitForAny(events, settings::ThreadWaitLoopTimeout) == 0) return true;
  }
  return false;
}

void TNBaseChannelThread::WorkLoop(bool portReady) {
  TWorkState state;
  state.portReady = portReady;
  while (!channel_->StopRequested()) {
    std::shared_ptr<TNBaseChannelMessage> part;
    {
      TNReadLock lock(channel_->FiFoIn().Lock());
      part = channel_->FiFoIn().Peek();
    }
    ConnectIfNeeded(state);
    // A connect cut short by a stop says nothing about the part: it goes back untried.
    if (channel_->StopRequested()) break;
    if (part) {
      ProcessPart(state, part);
    } else {
      state.sentOnConnection = 0;
      if (channel_->Connected()) {
        Log("Dissconnecting");
        CallDisconnect();
      }
      if (!state.portReady || !state.deviceReady || state.connectResult != crConnected)
        channel_->Close();
      else
        WaitForWork();
    }
    if (channel_->Connected() &&
        state.sentOnConnection >= channel_->GetMaxMessagesPerConnection()) {
      state.sentOnConnection = 0;
      Log("Disconnecting");
      CallDisconnect();
      WaitForWork();
    }
  }
}

void TNBaseChannelThread::ConnectIfNeeded(TWorkState& state) {
  if (!state.portReady || channel_->Connected() || !state.mayConnect) return;
  const std::string prefix = channel_->LogPrefix();
  state.deviceReady = Guarded(prefix, "InitDevice", false, [this] { return channel_->InitDevice(); });
  if (state.deviceReady) {
    Log("Connecting");
    TChannelConnectResult result =
        Guarded(prefix, "Connect", crNoConnection, [this] { return channel_->Connect(); });
    if (result < crConnected || result > crLogonError) result = crNoConnection;
    state.connectResult = result;
    if (result == crConnected) {
      channel_->SetConnected(true);
      state.sentOnConnection = 0;
      Log("Connected OK");
    } else {
      channel_->SetConnected(false);
      state.mayConnect = false;  // this channel never connects again
      Log("Connected ERROR");
    }
  } else if (!state.deviceAlerted) {
    channel_->Notify(Poco::format(
        "Server has problem initializing one of the Devices (device '%s'): please refer to the "
        "Voxmit Support personnel.",
        deviceName_));
    state.deviceAlerted = true;
  }
}

void TNBaseChannelThread::ProcessPart(TWorkState& state,
                                      const std::shared_ptr<TNBaseChannelMessage>& part) {
  part->Taken = true;
  if (state.portReady && state.deviceReady && state.connectResult == crConnected &&
      channel_->Connected()) {
    LogMessage(Poco::format("ChannelThread (%s)(%s), Sending Message: \"%s\"", deviceName_,
                            className_, part->MessageText));
    TChannelSendResult result =
        Guarded(channel_->LogPrefix(), "SendMessage", channel_->SendExceptionResult(),
                [&] { return channel_->SendMessage(*part); });
    if (result < srSent || result > srNoAnswer) result = srRetry;
    ++state.sentOnConnection;
    ActOnSendResult(state, part, result);
  } else {
    if (!state.portReady) part->SendError = MSE_NO_PORT;
    else if (!state.deviceReady) part->SendError = MSE_NO_DEVICE;
    else if (state.connectResult == crNoLogonRequest) part->SendError = MSE_NO_LOGON_REQUEST;
    else if (state.connectResult == crLogonError) part->SendError = MSE_LOGON_ERROR;
    else part->SendError = MSE_NO_CONNECTION;
    MovePart(part);
  }
  if (settings::AddDateToMsg)
    LogMessage(Poco::DateTimeFormatter::format(Poco::LocalDateTime(), "%Y/%m/%d/%H:%M:%S"));
  channel_->UpdateReadyEvent();
}

void TNBaseChannelThread::ActOnSendResult(TWorkState& state,
                                          const std::shared_ptr<TNBaseChannelMessage>& part,
                                          TChannelSendResult result) {
  if (result == srSent || result == srAbandon) {
    part->SendError = result == srSent ? MSE_OK : MSE_ABANDONED;
    MovePart(part);
    return;
  }
  ++part->RetryTimes;
  if (part->RetryTimes > settings::MessageRetries) {
    part->SendError = MSE_RETRIES_EXCEEDED;
    MovePart(part);
  } else {
    RequeuePart();
  }
  if (result == srProviderHangUp || result == srNoAnswer) {
    state.sentOnConnection = 0;
    Log("Hanging-Up on Provider's Request");
    Guarded(channel_->LogPrefix(), "HangUp", false, [this] { return channel_->HangUp(); });
    channel_->SetConnected(false);
  }
}

void TNBaseChannelThread::MovePart(const std::shared_ptr<TNBaseChannelMessage>& part) {
  {
    TNWriteLock lock(channel_->FiFoIn().Lock());
    channel_->FiFoIn().Pop();  // the head is part: only this thread removes from FiFoIn
  }
  channel_->PushResult(part);
}

void TNBaseChannelThread::RequeuePart() {
  TNWriteLock lock(channel_->FiFoIn().Lock());
  if (auto head = channel_->FiFoIn().Pop()) channel_->FiFoIn().Push(std::move(head));
}

void TNBaseChannelThread::CallDisconnect() {
  Guarded(channel_->LogPrefix(), "Disconnect", false, [this] { return channel_->Disconnect(); });
  channel_->SetConnected(false);
}

void TNBaseChannelThread::StopChannel(bool deviceHeld) {
  if (channel_->Connected()) {
    Log("Terminated - Disconnecting");
    CallDisconnect();
  }
  // A channel stopped while still waiting for its device holds neither device nor port.
  if (deviceHeld) {
    Guarded(channel_->LogPrefix(), "ResetPort", false, [this] { return channel_->ResetPort(); });
    Log("Terminated - Resetting the port (freeing the device)");
    channel_->Device()->FreeEvent.Set();
  }
  Log("FiFoOut.WaitForEmpty");
  channel_->ReturnQueuedParts();
  channel_->UpdateReadyEvent();
  WaitForResultsCollected();
  Log("FiFoOut.WaitForEmpty OK");
  // A send thread that picked this channel before it closed may still hand it a part, which
  // goes straight to FiFoOut, after the wait: the channel leaves the list only once that part
  // has been collected too.
  while (!Unregister()) WaitForResultsCollected();
  char address[32];
  std::snprintf(address, sizeof address, "%08" PRIxPTR,
                reinterpret_cast<uintptr_t>(channel_.get()));
  Log(Poco::format("Freeing Channel($%s)", std::string(address)));
  channel_.reset();
  LogMessage(Poco::format("ChannelThread (%s), Finishing Execute", deviceName_));
}

void TNBaseChannelThread::WaitForResultsCollected() {
  const TNChannelFiFo& out = channel_->FiFoOut();
  if (out.WaitForEmpty(kResultsCollectWaitMs) == wrSignaled) return;
  // Results still waiting can only be collected while the channel is in a list that its
  // iterator watches; its receive thread keeps collecting until the last channel has left,
  // so waiting on is safe there, and the parts are never dropped while someone can take them.
  if (!registered_) return;
  int32_t left = 0;
  {
    TNReadLock lock(channel_->FiFoOut().Lock());
    left = out.Count();
  }
  Log(Poco::format("FiFoOut still holds %d result(s) after %d ms, waiting on", left,
                   kResultsCollectWaitMs));
  while (channel_->ChannelsList()) {
    if (out.WaitForEmpty(settings::ThreadWaitLoopTimeout) == wrSignaled) return;
  }
}

// ---- Operations over a channel list ----------------------------------------------------------

void CollectReadyEvents(const TNChannelsList& list, int32_t carrierID, TNChannelHandles& handles) {
  handles.Clear();
  for (int32_t i = 0; i < list.Count(); ++i) {
    auto channel = list.Items(i);
    if (channel->Closing() || channel->CarrierID() != carrierID) continue;
    handles.Events.push_back(&channel->ReadyEvent());
    handles.Channels.push_back(std::move(channel));
  }
}

std::shared_ptr<TNBaseCarrierChannel> FindChannelByReadyEvent(const TNChannelsList& list,
                                                              int32_t carrierID,
                                                              const TNEvent* handle) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    auto channel = list.Items(i);
    if (&channel->ReadyEvent() == handle && !channel->Closing() &&
        channel->CarrierID() == carrierID)
      return channel;
  }
  return nullptr;
}

void CollectResultEvents(const TNChannelsList& list, TNChannelHandles& handles) {
  handles.Clear();
  for (int32_t i = 0; i < list.Count(); ++i) {
    auto channel = list.Items(i);
    handles.Events.push_back(channel->FiFoOut().Event(stNotEmpty));
    handles.Channels.push_back(std::move(channel));
  }
}

std::shared_ptr<TNBaseCarrierChannel> FindChannelByResultEvent(const TNChannelsList& list,
                                                               const TNEvent* handle) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    auto channel = list.Items(i);
    if (channel->FiFoOut().Event(stNotEmpty) == handle) return channel;
  }
  return nullptr;
}

void CloseAllChannels(const TNChannelsList& list) {
  for (int32_t i = 0; i < list.Count(); ++i) list.Items(i)->Close();
}

} // namespace voxmit
