#include "support/FakeTapTerminal.h"

namespace voxmit::test {
namespace {

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ACK = 0x06, CR = 0x0D, NAK = 0x15,
               SUB = 0x1A, ESC = 0x1B, RS = 0x1E;
constexpr size_t kMaxLogon = 64;
constexpr size_t kMaxBlock = 4096;  // far beyond the published 256, to see a runaway block

std::string Answer(char c) { return std::string{c, CR}; }

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + CR;
  return text;
}

std::string ChecksumText(unsigned sum) {
  sum &= 0xFFF;
  return {static_cast<char>(0x30 + ((sum >> 8) & 0xF)), static_cast<char>(0x30 + ((sum >> 4) & 0xF)),
          static_cast<char>(0x30 + (sum & 0xF))};
}

// The text field with SUB escapes undone; nullopt when it holds a bare control character or
// ends in the middle of an escape.
std::optional<std::string> DecodeText(std::string_view field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    const auto c = static_cast<unsigned char>(field[i]);
    if (c == SUB) {
      if (++i == field.size()) return std::nullopt;
      const auto escaped = static_cast<unsigned char>(field[i]);
      if (escaped < 0x40 || escaped >= 0x60) return std::nullopt;
      text += static_cast<char>(escaped - 0x40);
    } else if (c < 0x20) {
      return std::nullopt;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

} // namespace

FakeTapTerminal::FakeTapTerminal() : FakeTapTerminal(Options{}) {}

FakeTapTerminal::FakeTapTerminal(Options options) : options_(std::move(options)) {}

// ---- script and records (any thread) ----

void FakeTapTerminal::QueueBlockAnswer(TapBlockAnswer answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(answer);
}

void FakeTapTerminal::SetDefaultBlockAnswer(TapBlockAnswer answer) {
  std::lock_guard lock(mutex_);
  defaultAnswer_ = answer;
}

std::vector<FakeTapTerminal::Page> FakeTapTerminal::Pages() const {
  std::lock_guard lock(mutex_);
  std::vector<Page> pages;
  for (const auto& b : blocks_)
    if (b.answer == TapBlockAnswer::Ack) pages.push_back(*b.page);
  return pages;
}

std::vector<FakeTapTerminal::Block> FakeTapTerminal::Blocks() const {
  std::lock_guard lock(mutex_);
  return blocks_;
}

std::vector<FakeTapTerminal::Block> FakeTapTerminal::NakedBlocks() const {
  std::lock_guard lock(mutex_);
  std::vector<Block> naked;
  for (const auto& b : blocks_)
    if (!b.answer || *b.answer == TapBlockAnswer::Nak) naked.push_back(b);
  return naked;
}

std::vector<FakeTapTerminal::Logon> FakeTapTerminal::Logons() const {
  std::lock_guard lock(mutex_);
  return logons_;
}

int FakeTapTerminal::IdPrompts() const {
  std::lock_guard lock(mutex_);
  return idPrompts_;
}

int FakeTapTerminal::Logoffs() const {
  std::lock_guard lock(mutex_);
  return logoffs_;
}

bool FakeTapTerminal::LoggedOn() const {
  std::lock_guard lock(mutex_);
  return loggedOn_;
}

// ---- the line's thread ----

void FakeTapTerminal::OnConnect(FakeLine&) { SetState(State::Idle); }

void FakeTapTerminal::OnDisconnect() { SetState(State::Idle); }

void FakeTapTerminal::OnReceive(std::string_view bytes, FakeLine& line) {
  for (char c : bytes) Byte(c, line);
}

void FakeTapTerminal::SetState(State state) {
  state_ = state;
  buffer_.clear();
  if (state == State::Idle || state == State::AwaitLogon) {
    std::lock_guard lock(mutex_);
    loggedOn_ = false;
  }
}

void FakeTapTerminal::Byte(char c, FakeLine& line) {
  switch (state_) {
    case State::Idle: IdleByte(c, line); break;
    case State::AwaitLogon:
      if (c == EOT) {
        state_ = State::AfterEot;
      } else if (c == ESC) {
        state_ = State::ReadingLogon;
        buffer_.clear();
      } else {
        IdleByte(c, line);
      }
      break;
    case State::ReadingLogon: LogonByte(c, line); break;
    case State::Transaction: TransactionByte(c, line); break;
    case State::ReadingBlock: BlockByte(c, line); break;
    case State::AfterEot:
      if (c == CR) {
        Logoff(line);
      } else {
        std::lock_guard lock(mutex_);
        state_ = loggedOn_ ? State::Transaction : State::AwaitLogon;
      }
      break;
  }
}

void FakeTapTerminal::IdleByte(char c, FakeLine& line) {
  if (c != CR) return;
  {
    std::lock_guard lock(mutex_);
    ++idPrompts_;
  }
  state_ = State::AwaitLogon;
  line.Send("ID=");
}

void FakeTapTerminal::LogonByte(char c, FakeLine& line) {
  if (c == CR) {
    FinishLogon(line);
  } else if (buffer_.size() < kMaxLogon) {
    buffer_ += c;
  } else {
    SetState(State::AwaitLogon);  // garbage, not a logon
  }
}

void FakeTapTerminal::FinishLogon(FakeLine& line) {
  Logon logon{buffer_.substr(0, 3), buffer_.size() > 3 ? buffer_.substr(3) : std::string(), false};
  logon.accepted =
      logon.service == "PG1" && (!options_.password || *options_.password == logon.password);
  {
    std::lock_guard lock(mutex_);
    logons_.push_back(logon);
  }
  std::string reply = Lines(options_.banner);
  if (!logon.accepted) {
    switch (options_.refusal) {
      case TapLogonRefusal::Nak: line.Send(reply + Answer(NAK)); break;
      case TapLogonRefusal::EscEot: HangUp(line, reply + std::string{ESC, EOT, CR}); return;
      case TapLogonRefusal::Silence: break;
    }
    SetState(State::AwaitLogon);
    return;
  }
  if (options_.ackLogon) reply += Answer(ACK);
  if (options_.goAhead) reply += std::string{ESC, '[', 'p', CR};
  SetState(State::Transaction);
  {
    std::lock_guard lock(mutex_);
    loggedOn_ = options_.goAhead;
  }
  line.Send(reply);
}

void FakeTapTerminal::TransactionByte(char c, FakeLine&) {
  if (c == STX) {
    state_ = State::ReadingBlock;
    buffer_.assign(1, STX);
  } else if (c == EOT) {
    state_ = State::AfterEot;
  }
}

void FakeTapTerminal::BlockByte(char c, FakeLine& line) {
  buffer_ += c;
  const auto etx = buffer_.find(ETX);
  if (etx != std::string::npos && buffer_.size() == etx + 5) {
    FinishBlock(line);
  } else if (buffer_.size() > kMaxBlock) {
    AnswerBlock(Block{buffer_, std::nullopt, false, std::nullopt}, line);
  }
}

void FakeTapTerminal::FinishBlock(FakeLine& line) {
  Block block{buffer_, std::nullopt, false, std::nullopt};
  block.page = ParseBlock(buffer_, block.checksumOk);
  if (block.page && block.checksumOk) {
    std::lock_guard lock(mutex_);
    if (!answers_.empty()) {
      block.answer = answers_.front();
      answers_.pop_front();
    } else {
      block.answer = defaultAnswer_;
    }
  }
  AnswerBlock(std::move(block), line);
}

std::optional<FakeTapTerminal::Page> FakeTapTerminal::ParseBlock(const std::string& bytes,
                                                                 bool& checksumOk) const {
  const size_t etx = bytes.find(ETX);
  unsigned sum = 0;
  for (size_t i = 0; i <= etx; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    sum += options_.sevenBitChecksum ? (b & 0x7F) : b;
  }
  checksumOk = bytes.compare(etx + 1, 3, ChecksumText(sum)) == 0 && bytes[etx + 4] == CR;

  // STX id CR text CR ETX: exactly two fields, each closed by CR.
  const std::string_view content = std::string_view(bytes).substr(1, etx - 1);
  if (content.empty() || content.back() != CR) return std::nullopt;
  const size_t idEnd = content.find(CR);
  if (idEnd == content.size() - 1) return std::nullopt;  // the text field is missing
  const std::string_view id = content.substr(0, idEnd);
  const std::string_view textField = content.substr(idEnd + 1, content.size() - idEnd - 2);
  if (textField.find(CR) != std::string_view::npos) return std::nullopt;
  auto text = DecodeText(textField);
  if (!text) return std::nullopt;
  return Page{std::string(id), std::move(*text)};
}

void FakeTapTerminal::AnswerBlock(Block block, FakeLine& line) {
  const std::optional<TapBlockAnswer> answer = block.answer;
  {
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
  }
  state_ = State::Transaction;
  buffer_.clear();
  const std::string message = Lines(options_.blockMessage);
  if (!answer) {
    line.Send(message + Answer(NAK));
    return;
  }
  switch (*answer) {
    case TapBlockAnswer::Ack: line.Send(message + Answer(ACK)); break;
    case TapBlockAnswer::Nak: line.Send(message + Answer(NAK)); break;
    case TapBlockAnswer::Rs: line.Send(message + Answer(RS)); break;
    case TapBlockAnswer::EscEot: HangUp(line, message + std::string{ESC, EOT, CR}); break;
    case TapBlockAnswer::Silence: break;
  }
}

void FakeTapTerminal::Logoff(FakeLine& line) {
  {
    std::lock_guard lock(mutex_);
    ++logoffs_;
  }
  HangUp(line, Lines(options_.logoffMessage) + std::string{ESC, EOT, CR});
}

void FakeTapTerminal::HangUp(FakeLine& line, const std::string& lastWords) {
  SetState(State::Idle);  // before the reply: a test that saw the reply sees the state
  line.Send(lastWords);
  line.HangUp();
}

} // namespace voxmit::test
