#include "support/FakeModem.h"

#include <algorithm>
#include <cctype>

namespace voxmit::test {
namespace {

constexpr size_t kMaxCommandLine = 256;

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

std::string UpperText(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), Upper);
  return out;
}

bool StartsWithAt(std::string_view bytes) {
  return bytes.size() >= 2 && Upper(bytes[0]) == 'A' && Upper(bytes[1]) == 'T';
}

std::string NumericCode(const std::string& text) {
  if (text.rfind("CONNECT", 0) == 0) return "1";
  static const struct {
    const char* text;
    const char* code;
  } kCodes[] = {{"OK", "0"},    {"RING", "2"},        {"NO CARRIER", "3"},
                {"ERROR", "4"}, {"NO DIALTONE", "6"}, {"BUSY", "7"},
                {"NO ANSWER", "8"}};
  for (const auto& c : kCodes)
    if (text == c.text) return c.code;
  return text;
}

} // namespace

FakeModem::FakeModem() : FakeModem(Options{}) {}

FakeModem::FakeModem(Options options) : options_(options) { ResetSettings(); }

// ---- script and records (any thread) ----

void FakeModem::SetPeer(FakeLinePeer* peer) {
  std::lock_guard lock(mutex_);
  peer_ = peer;
}

void FakeModem::QueueDialAnswer(FakeDialAnswer answer) {
  std::lock_guard lock(mutex_);
  dialAnswers_.push_back(std::move(answer));
}

void FakeModem::SetDefaultDialAnswer(FakeDialAnswer answer) {
  std::lock_guard lock(mutex_);
  defaultDialAnswer_ = std::move(answer);
}

void FakeModem::RefuseCommandsContaining(std::string text) {
  std::lock_guard lock(mutex_);
  refused_.push_back(UpperText(text));
}

void FakeModem::SetSwitchedOff(bool off) {
  std::lock_guard lock(mutex_);
  switchedOff_ = off;
}

void FakeModem::DropDtr() { dtrDropped_ = true; }

std::vector<std::string> FakeModem::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<std::string> FakeModem::DialedNumbers() const {
  std::lock_guard lock(mutex_);
  return dialled_;
}

int FakeModem::CallsConnected() const {
  std::lock_guard lock(mutex_);
  return callsConnected_;
}

int FakeModem::CallsEnded() const {
  std::lock_guard lock(mutex_);
  return callsEnded_;
}

bool FakeModem::InCall() const {
  std::lock_guard lock(mutex_);
  return inCall_;
}

std::string FakeModem::DataReceived() const {
  std::lock_guard lock(mutex_);
  return data_;
}

// ---- the line's thread ----

void FakeModem::OnConnect(FakeLine& line) { line_ = &line; }

void FakeModem::OnReceive(std::string_view bytes, FakeLine& line) {
  line_ = &line;
  {
    std::lock_guard lock(mutex_);
    if (switchedOff_) return;
  }
  const bool dtrDrop = options_.atCommandDropsCall && StartsWithAt(bytes);
  switch (mode_) {
    case Mode::Command:
    case Mode::OnlineEscaped:
      CommandBytes(bytes);
      break;
    case Mode::Dialling:
      if (dtrDrop) {
        EndCall();
        CommandBytes(bytes);
      } else {  // a key pressed while dialling aborts the dial
        EndCall();
        Result("NO CARRIER");
      }
      break;
    case Mode::Online:
      if (dtrDrop) {
        EndCall();
        CommandBytes(bytes);
      } else {
        OnlineBytes(bytes);
      }
      break;
  }
  SettleRemoteHangUp();
}

void FakeModem::OnTick(FakeLine& line) {
  line_ = &line;
  if (dtrDropped_.exchange(false) && mode_ != Mode::Command) EndCall();
  const auto now = Clock::now();
  if (mode_ == Mode::Dialling && !pendingDialResult_.empty() && now >= dialDue_) {
    const std::string result = std::move(pendingDialResult_);
    pendingDialResult_.clear();
    FinishDial(result);
  }
  if (mode_ == Mode::Online && plusCount_ == 3 && now - lastData_ >= options_.guardTime) {
    plusCount_ = 0;
    mode_ = Mode::OnlineEscaped;
    Result("OK");
  }
  // The peer's timed behaviour (a herald after the connect) runs only while it has the line.
  if (mode_ == Mode::Online) {
    FakeLinePeer* peer;
    {
      std::lock_guard lock(mutex_);
      peer = peer_;
    }
    if (peer) peer->OnTick(*this);
  }
  SettleRemoteHangUp();
}

void FakeModem::Send(std::string_view bytes) {
  if (mode_ == Mode::Online && line_) line_->Send(bytes);
}

void FakeModem::HangUp() { remoteHangUp_ = true; }

void FakeModem::SettleRemoteHangUp() {
  if (!remoteHangUp_) return;
  remoteHangUp_ = false;
  if (mode_ != Mode::Online && mode_ != Mode::OnlineEscaped) return;
  EndCall();
  Result("NO CARRIER");
}

void FakeModem::CommandBytes(std::string_view bytes) {
  for (char c : bytes) {
    if (echo_ && line_) line_->Send(std::string_view(&c, 1));
    if (c == '\r') {
      const std::string line = std::move(commandBuffer_);
      commandBuffer_.clear();
      ExecuteLine(line);
      if (mode_ == Mode::Online || mode_ == Mode::Dialling) return;  // the rest is not ours
    } else if (c == '\b') {
      if (!commandBuffer_.empty()) commandBuffer_.pop_back();
    } else if (c != '\n' && commandBuffer_.size() < kMaxCommandLine) {
      commandBuffer_ += c;
    }
  }
}

bool FakeModem::IsRefused(const std::string& line) const {
  const std::string upper = UpperText(line);
  std::lock_guard lock(mutex_);
  return std::any_of(refused_.begin(), refused_.end(),
                     [&](const std::string& r) { return upper.find(r) != std::string::npos; });
}

void FakeModem::ExecuteLine(const std::string& line) {
  const auto first = line.find_first_not_of(' ');
  if (first == std::string::npos) return;
  const std::string_view text = std::string_view(line).substr(first);
  if (!StartsWithAt(text)) return;  // not a command: real modems ignore it
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(line);
  }
  if (IsRefused(line)) {
    Result("ERROR");
    return;
  }
  bool answered = false;
  if (!ExecuteCommands(text.substr(2), answered)) {
    Result("ERROR");
  } else if (!answered) {
    Result("OK");
  }
}

bool FakeModem::ExecuteCommands(std::string_view body, bool& answered) {
  size_t i = 0;
  const auto number = [&] {
    int value = 0;
    while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i])))
      value = value * 10 + (body[i++] - '0');
    return value;
  };
  while (i < body.size()) {
    const char c = Upper(body[i++]);
    switch (c) {
      case ' ': break;
      case 'D':
        StartDial(body.substr(i));
        answered = true;
        return true;
      case 'E': echo_ = number() != 0; break;
      case 'V': verbose_ = number() != 0; break;
      case 'Q': quiet_ = number() != 0; break;
      case 'Z': number(); ResetSettings(); break;
      case 'H':
        number();
        if (mode_ == Mode::OnlineEscaped) EndCall();
        break;
      case 'O':
        number();
        if (mode_ != Mode::OnlineEscaped) return false;
        mode_ = Mode::Online;
        lastData_ = Clock::now();
        Result("CONNECT");
        answered = true;
        return true;
      case '&': {
        if (i >= body.size()) return false;
        const char m = Upper(body[i++]);
        number();
        if (m == 'F') ResetSettings();
        break;
      }
      case 'S':
        number();
        if (i < body.size() && (body[i] == '=' || body[i] == '?')) {
          if (body[i++] == '=') number();
        }
        break;
      case '+': case '#': case '%': case '\\': case '*':  // extended commands run to ';'
        while (i < body.size() && body[i] != ';') ++i;
        if (i < body.size()) ++i;
        break;
      default:
        if (!std::isalpha(static_cast<unsigned char>(c))) return false;
        number();
        break;
    }
  }
  return true;
}

void FakeModem::StartDial(std::string_view dialString) {
  while (!dialString.empty() && dialString.front() == ' ') dialString.remove_prefix(1);
  if (!dialString.empty() && (Upper(dialString.front()) == 'T' || Upper(dialString.front()) == 'P'))
    dialString.remove_prefix(1);
  const bool stayInCommandMode = !dialString.empty() && dialString.back() == ';';
  if (stayInCommandMode) dialString.remove_suffix(1);
  {
    std::lock_guard lock(mutex_);
    dialled_.emplace_back(dialString);
  }
  if (stayInCommandMode) {
    Result("OK");
    return;
  }
  const FakeDialAnswer answer = NextDialAnswer();
  mode_ = Mode::Dialling;
  pendingDialResult_ = answer.result;  // empty: silent until DTR drops
  dialDue_ = Clock::now() + answer.delay;
  if (!answer.result.empty() && answer.delay.count() <= 0) {
    pendingDialResult_.clear();
    FinishDial(answer.result);
  }
}

FakeDialAnswer FakeModem::NextDialAnswer() {
  std::lock_guard lock(mutex_);
  if (dialAnswers_.empty()) return defaultDialAnswer_;
  FakeDialAnswer answer = std::move(dialAnswers_.front());
  dialAnswers_.pop_front();
  return answer;
}

void FakeModem::FinishDial(const std::string& result) {
  if (result.rfind("CONNECT", 0) != 0) {
    mode_ = Mode::Command;
    Result(result);
    return;
  }
  mode_ = Mode::Online;
  lastData_ = Clock::now();
  plusCount_ = 0;
  FakeLinePeer* peer;
  {
    std::lock_guard lock(mutex_);
    ++callsConnected_;
    inCall_ = true;
    peer = peer_;
  }
  Result(result);
  if (peer) peer->OnConnect(*this);
}

void FakeModem::OnlineBytes(std::string_view bytes) {
  const auto now = Clock::now();
  const bool allPlus = std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '+'; });
  if (allPlus && (plusCount_ > 0 || now - lastData_ >= options_.guardTime) &&
      static_cast<size_t>(plusCount_) + bytes.size() <= 3) {
    plusCount_ += static_cast<int>(bytes.size());
  } else {
    plusCount_ = 0;
  }
  lastData_ = now;
  FakeLinePeer* peer;
  {
    std::lock_guard lock(mutex_);
    data_.append(bytes);
    peer = peer_;
  }
  if (peer) peer->OnReceive(bytes, *this);
}

void FakeModem::EndCall() {
  const bool wasInCall = mode_ == Mode::Online || mode_ == Mode::OnlineEscaped;
  mode_ = Mode::Command;
  pendingDialResult_.clear();
  plusCount_ = 0;
  if (!wasInCall) return;
  FakeLinePeer* peer;
  {
    std::lock_guard lock(mutex_);
    ++callsEnded_;
    inCall_ = false;
    peer = peer_;
  }
  if (peer) peer->OnDisconnect();
}

void FakeModem::Result(const std::string& text) {
  if (quiet_ || !line_) return;
  line_->Send(verbose_ ? "\r\n" + text + "\r\n" : NumericCode(text) + "\r");
}

void FakeModem::ResetSettings() {
  echo_ = options_.echo;
  verbose_ = true;
  quiet_ = false;
}

} // namespace voxmit::test
