#include "support/FakePacnetPad.h"

namespace voxmit::test {

namespace {

const std::string kCrLf = "\r\n";

} // namespace

FakePacnetPad::FakePacnetPad() : FakePacnetPad(Options{}) {}

FakePacnetPad::FakePacnetPad(Options options) : options_(std::move(options)) {}

// ---- script and records (any thread) ----

void FakePacnetPad::QueueCallAnswer(PacnetCallAnswer answer) {
  std::lock_guard lock(mutex_);
  callAnswers_.push_back(std::move(answer));
}

void FakePacnetPad::QueueLineAnswer(PacnetLineAnswer answer) {
  std::lock_guard lock(mutex_);
  lineAnswers_.push_back(std::move(answer));
}

void FakePacnetPad::SetDefaultLineAnswer(PacnetLineAnswer answer) {
  std::lock_guard lock(mutex_);
  defaultLineAnswer_ = std::move(answer);
}

int FakePacnetPad::Heralds() const {
  std::lock_guard lock(mutex_);
  return heralds_;
}

std::vector<FakePacnetPad::CallRequest> FakePacnetPad::CallRequests() const {
  std::lock_guard lock(mutex_);
  return callRequests_;
}

std::vector<FakePacnetPad::Line> FakePacnetPad::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::pair<std::string, std::string>> FakePacnetPad::Pages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, std::string>> pages;
  for (const Line& l : lines_)
    if (l.pagerId) pages.emplace_back(*l.pagerId, *l.text);
  return pages;
}

int FakePacnetPad::Clears() const {
  std::lock_guard lock(mutex_);
  return clears_;
}

bool FakePacnetPad::InDataTransfer() const {
  std::lock_guard lock(mutex_);
  return dataTransfer_;
}

std::string FakePacnetPad::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

// ---- the line's thread ----

void FakePacnetPad::SetState(State state) {
  state_ = state;
  std::lock_guard lock(mutex_);
  dataTransfer_ = state == State::DataTransfer;
}

void FakePacnetPad::OnConnect(FakeLine& /*line*/) {
  buffer_.clear();
  heraldDue_ = Clock::now() + options_.heraldDelay;
  SetState(options_.herald.empty() ? State::Command : State::HeraldDue);
}

void FakePacnetPad::OnTick(FakeLine& line) {
  if (state_ != State::HeraldDue || Clock::now() < heraldDue_) return;
  {
    std::lock_guard lock(mutex_);
    ++heralds_;
  }
  SetState(State::Command);
  line.Send(kCrLf + options_.herald + kCrLf);
}

void FakePacnetPad::OnDisconnect() {
  buffer_.clear();
  SetState(State::Idle);
}

void FakePacnetPad::OnReceive(std::string_view bytes, FakeLine& line) {
  if (state_ == State::Idle || state_ == State::Gone) return;
  {
    std::lock_guard lock(mutex_);
    received_.append(bytes);
  }
  for (char c : bytes) {
    if (state_ == State::Gone) return;  // hung up in the middle of the bytes
    if (options_.echo) line.Send(std::string_view(&c, 1));
    if (c == '\n') continue;
    if (c != '\r') {
      if (buffer_.size() < kMaxLine) buffer_ += c;
      continue;
    }
    const std::string text = std::move(buffer_);
    buffer_.clear();
    if (state_ == State::DataTransfer)
      DataLine(text, line);
    else
      CommandLine(text, line);
  }
}

void FakePacnetPad::CommandLine(const std::string& text, FakeLine& out) {
  if (text.empty()) return;
  const size_t hyphen = text.find('-');
  if (text[0] != 'N' || hyphen == std::string::npos) {
    out.Send(kCrLf + "ERR" + kCrLf);
    return;
  }
  PacnetCallAnswer answer;
  {
    std::lock_guard lock(mutex_);
    callRequests_.push_back({text.substr(1, hyphen - 1), text.substr(hyphen + 1)});
    if (!callAnswers_.empty()) {
      answer = std::move(callAnswers_.front());
      callAnswers_.pop_front();
    }
  }
  switch (answer.kind) {
    case PacnetCallAnswer::Accept:
      SetState(State::DataTransfer);
      out.Send(kCrLf + "COM" + kCrLf + options_.prompt + kCrLf);
      break;
    case PacnetCallAnswer::Clear:
      out.Send(kCrLf + "CLR " + answer.clearCause + kCrLf);
      break;
    case PacnetCallAnswer::Silent:
      break;
    case PacnetCallAnswer::HangUp:
      SetState(State::Gone);
      out.HangUp();
      break;
  }
}

void FakePacnetPad::DataLine(const std::string& text, FakeLine& out) {
  if (text == "CLR") {
    {
      std::lock_guard lock(mutex_);
      ++clears_;
    }
    out.Send(kCrLf + "CLR CONF" + kCrLf);
    SetState(State::Gone);
    out.HangUp();
    return;
  }
  Line line;
  line.bytes = text;
  const size_t at = text.find('@');
  if (at != std::string::npos) {
    line.pagerId = text.substr(0, at);
    line.text = text.substr(at + 1);
  }
  PacnetLineAnswer answer;
  {
    std::lock_guard lock(mutex_);
    if (!line.pagerId || line.pagerId->empty()) {
      answer.text = options_.badLineAnswer;
    } else if (lineAnswers_.empty()) {
      answer = defaultLineAnswer_;
    } else {
      answer = std::move(lineAnswers_.front());
      lineAnswers_.pop_front();
    }
    line.answer = answer.text;
    lines_.push_back(line);
  }
  if (!answer.text.empty()) out.Send(answer.text + kCrLf);
  if (answer.hangUp) {
    SetState(State::Gone);
    out.HangUp();
  }
}

} // namespace voxmit::test
