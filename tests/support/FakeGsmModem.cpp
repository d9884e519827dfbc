#include "support/FakeGsmModem.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>

namespace voxmit::test {
namespace {

constexpr size_t kMaxCommandLine = 512;
constexpr size_t kMaxBody = 4096;
constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

std::string UpperText(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), Upper);
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::optional<int> ToInt(std::string_view s) {
  s = Trim(s);
  if (s.empty() || s.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A parameter of an extended command: its text without quotes, and whether it was quoted.
struct TParam {
  std::string text;
  bool quoted = false;
};

// Splits "a, "b,c" ,d" at commas outside quotes; blanks around a parameter do not count.
std::vector<TParam> SplitParams(std::string_view s) {
  std::vector<TParam> params;
  TParam current;
  bool inQuotes = false;
  std::string raw;
  auto finish = [&] {
    std::string_view t = Trim(raw);
    current.quoted = t.size() >= 2 && t.front() == '"' && t.back() == '"';
    current.text = current.quoted ? std::string(t.substr(1, t.size() - 2)) : std::string(t);
    params.push_back(current);
    raw.clear();
  };
  for (char c : s) {
    if (c == '"') inQuotes = !inQuotes;
    if (c == ',' && !inQuotes) finish();
    else raw += c;
  }
  if (!raw.empty() || !params.empty()) finish();
  return params;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Upper(c);
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::vector<uint8_t>> HexOctets(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return out;
}

// UCS2 written as four hex digits per character.
std::optional<std::u16string> HexUcs2(std::string_view hex) {
  if (hex.size() % 4 != 0) return std::nullopt;
  const auto octets = HexOctets(hex);
  if (!octets) return std::nullopt;
  std::u16string units;
  for (size_t i = 0; i < octets->size(); i += 2)
    units += static_cast<char16_t>(((*octets)[i] << 8) | (*octets)[i + 1]);
  return units;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The GSM 7-bit default alphabet (TS 23.038, 6.2.1), code by code.
const char* const kGsmDefault[128] = {
    "@", "\u00A3", "$", "\u00A5", "\u00E8", "\u00E9", "\u00F9", "\u00EC",
    "\u00F2", "\u00C7", "\n", "\u00D8", "\u00F8", "\r", "\u00C5", "\u00E5",
    "\u0394", "_", "\u03A6", "\u0393", "\u039B", "\u03A9", "\u03A0", "\u03A8",
    "\u03A3", "\u0398", "\u039E", "\x1B", "\u00C6", "\u00E6", "\u00DF", "\u00C9",
    " ", "!", "\"", "#", "\u00A4", "%", "&", "'", "(", ")", "*", "+", ",", "-", ".", "/",
    "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", ":", ";", "<", "=", ">", "?",
    "\u00A1", "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M", "N", "O",
    "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z",
    "\u00C4", "\u00D6", "\u00D1", "\u00DC", "\u00A7",
    "\u00BF", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o",
    "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z",
    "\u00E4", "\u00F6", "\u00F1", "\u00FC", "\u00E0"};

// The extension table reached through the escape code 0x1B (TS 23.038, 6.2.1.1).
const char* GsmExtension(uint8_t code) {
  switch (code) {
    case 0x0A: return "\f";
    case 0x14: return "^";
    case 0x28: return "{";
    case 0x29: return "}";
    case 0x2F: return "\\";
    case 0x3C: return "[";
    case 0x3D: return "~";
    case 0x3E: return "]";
    case 0x40: return "|";
    case 0x65: return "\u20AC";
    default: return nullptr;
  }
}

// Semi-octets: the low nibble first; A to E stand for *, #, a, b, c; F fills an odd count.
bool SemiOctetDigits(const uint8_t* octets, size_t count, size_t digits, std::string& out) {
  static const char kDigit[] = "0123456789*#abc";
  out.clear();
  for (size_t i = 0; i < digits; ++i) {
    const uint8_t octet = octets[i / 2];
    const int nibble = i % 2 == 0 ? (octet & 0x0F) : (octet >> 4);
    if (nibble == 0x0F) return false;
    out += kDigit[nibble];
  }
  // An odd count leaves the high nibble of the last octet as filler F.
  if (digits % 2 != 0 && (octets[count - 1] >> 4) != 0x0F) return false;
  return true;
}

} // namespace

std::string GsmAlphabetToUtf8(std::string_view codes) {
  std::string out;
  for (size_t i = 0; i < codes.size(); ++i) {
    const auto code = static_cast<uint8_t>(codes[i] & 0x7F);
    if (code != 0x1B) {
      out += kGsmDefault[code];
      continue;
    }
    if (i + 1 >= codes.size()) {
      out += ' ';
      continue;
    }
    const auto next = static_cast<uint8_t>(codes[++i] & 0x7F);
    const char* ext = GsmExtension(next);
    // An escape before a code the table lacks shows the default character of that code.
    out += ext ? ext : kGsmDefault[next];
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    AppendUtf8(out, cp);
  }
  return out;
}

FakeGsmModem::FakeGsmModem() : FakeGsmModem(Options{}) {}

FakeGsmModem::FakeGsmModem(Options options)
    : options_(std::move(options)), echo_(options_.echo), pinAttemptsLeft_(options_.pinAttempts) {
  sim_ = options_.simPin.empty() ? SimState::Ready : SimState::Pin;
}

// ---- script and records (any thread) ----

void FakeGsmModem::QueueSendAnswer(FakeSmsAnswer answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(answer);
}

void FakeGsmModem::SetDefaultSendAnswer(FakeSmsAnswer answer) {
  std::lock_guard lock(mutex_);
  defaultAnswer_ = answer;
}

void FakeGsmModem::RefuseCommandsContaining(std::string text) {
  std::lock_guard lock(mutex_);
  refused_.push_back(UpperText(text));
}

void FakeGsmModem::SetPromptWithheld(bool withheld) {
  std::lock_guard lock(mutex_);
  promptWithheld_ = withheld;
}

void FakeGsmModem::SetSwitchedOff(bool off) {
  std::lock_guard lock(mutex_);
  switchedOff_ = off;
}

std::vector<std::string> FakeGsmModem::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<FakeSms> FakeGsmModem::Submissions() const {
  std::lock_guard lock(mutex_);
  return submissions_;
}

std::vector<FakeSms> FakeGsmModem::Messages() const {
  std::lock_guard lock(mutex_);
  std::vector<FakeSms> sent;
  for (const FakeSms& sms : submissions_)
    if (sms.answer == FakeSmsAnswer::Kind::Ok) sent.push_back(sms);
  return sent;
}

std::vector<std::string> FakeGsmModem::Rejected() const {
  std::lock_guard lock(mutex_);
  return rejected_;
}

std::vector<std::string> FakeGsmModem::PinsEntered() const {
  std::lock_guard lock(mutex_);
  return pins_;
}

int FakeGsmModem::Cancels() const {
  std::lock_guard lock(mutex_);
  return cancels_;
}

bool FakeGsmModem::SimReady() const {
  std::lock_guard lock(mutex_);
  return sim_ == SimState::Ready;
}

std::string FakeGsmModem::ServiceCentre() const {
  std::lock_guard lock(mutex_);
  return serviceCentre_;
}

// ---- the line's thread ----

void FakeGsmModem::OnConnect(FakeLine& line) { line_ = &line; }

void FakeGsmModem::OnReceive(std::string_view bytes, FakeLine& line) {
  line_ = &line;
  {
    std::lock_guard lock(mutex_);
    if (switchedOff_) return;
  }
  Bytes(bytes);
}

void FakeGsmModem::OnTick(FakeLine& line) {
  line_ = &line;
  if (state_ == State::Sending && Clock::now() >= due_) SendFinalAnswer();
}

void FakeGsmModem::Bytes(std::string_view bytes) {
  for (char c : bytes) {
    // The command line parser takes an LF right after the CR that ended a command as part of
    // that line's end, also when the command opened a text entry.
    const bool lineEndLf = skipLineEndLf_ && c == '\n';
    skipLineEndLf_ = false;
    if (lineEndLf && state_ == State::Body) continue;
    switch (state_) {
      case State::Command: CommandByte(c); break;
      case State::Body: BodyByte(c); break;
      case State::Sending: held_ += c; break;
    }
  }
}

void FakeGsmModem::Raw(std::string_view bytes) {
  if (line_) line_->Send(bytes);
}

void FakeGsmModem::Line(const std::string& text) { Raw("\r\n" + text + "\r\n"); }

void FakeGsmModem::Unsolicited() {
  if (options_.unsolicited.empty()) return;
  Line(options_.unsolicited[unsolicitedNext_++ % options_.unsolicited.size()]);
}

std::string FakeGsmModem::CmeError(int code) const {
  return cmee_ == 0 ? "ERROR" : "+CME ERROR: " + std::to_string(code);
}

std::string FakeGsmModem::CmsError(int code) { return "+CMS ERROR: " + std::to_string(code); }

void FakeGsmModem::CommandByte(char c) {
  if (echo_ || options_.echoDespiteAte) Raw(std::string_view(&c, 1));
  if (c == '\r') {
    const std::string line = std::move(commandBuffer_);
    commandBuffer_.clear();
    ExecuteLine(line);
    skipLineEndLf_ = true;
  } else if (c == '\b') {
    if (!commandBuffer_.empty()) commandBuffer_.pop_back();
  } else if (c != '\n' && c != kEsc && commandBuffer_.size() < kMaxCommandLine) {
    commandBuffer_ += c;
  }
}

void FakeGsmModem::BodyByte(char c) {
  if (echo_ || options_.echoDespiteAte) Raw(std::string_view(&c, 1));
  if (c == kCtrlZ) {
    FinishBody();
  } else if (c == kEsc) {
    {
      std::lock_guard lock(mutex_);
      ++cancels_;
    }
    state_ = State::Command;
    Line("OK");
  } else if (body_.size() < kMaxBody) {
    body_ += c;
  }
}

void FakeGsmModem::ExecuteLine(const std::string& line) {
  const size_t at = UpperText(line).find("AT");
  if (at == std::string::npos) return;  // not a command: modems ignore it
  const std::string command = line.substr(at);
  bool refused;
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(command);
    const std::string upper = UpperText(command);
    refused = std::any_of(refused_.begin(), refused_.end(), [&](const std::string& r) {
      return upper.find(r) != std::string::npos;
    });
  }
  if (refused) {
    Unsolicited();
    Line("ERROR");
    return;
  }
  const std::string_view body = std::string_view(command).substr(2);
  std::vector<std::string> info;
  bool prompt = false;
  std::string error;
  size_t i = 0;
  const auto number = [&] {
    int value = 0;
    while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i])))
      value = value * 10 + (body[i++] - '0');
    return value;
  };
  while (i < body.size() && error.empty() && !prompt) {
    const char c = Upper(body[i]);
    if (c == ' ' || c == ';') {
      ++i;
      continue;
    }
    if (c == '+') {
      size_t j = i + 1;
      while (j < body.size() && std::isalnum(static_cast<unsigned char>(body[j]))) ++j;
      const std::string name = UpperText(body.substr(i, j - i));
      size_t end = j;
      bool inQuotes = false;
      while (end < body.size() && (inQuotes || body[end] != ';')) {
        if (body[end] == '"') inQuotes = !inQuotes;
        ++end;
      }
      error = Extended(name, body.substr(j, end - j), info, prompt);
      i = end;
      continue;
    }
    ++i;
    switch (c) {
      case 'E': echo_ = number() != 0; break;
      case 'Z':
        number();
        echo_ = options_.echo;
        cmee_ = 0;
        pduMode_ = false;
        charset_ = "IRA";
        csmpDcs_ = 0;
        break;
      case '&':
        if (i < body.size() && Upper(body[i++]) == 'F') {
          echo_ = options_.echo;
          cmee_ = 0;
          pduMode_ = false;
          charset_ = "IRA";
          csmpDcs_ = 0;
        }
        number();
        break;
      case 'I': number(); info.push_back("Fake GSM module"); break;
      case 'H': case 'V': case 'Q': case 'X': case 'L': case 'M': number(); break;
      default: error = "ERROR"; break;
    }
  }
  Unsolicited();
  if (!error.empty()) {
    Line(error);
    return;
  }
  for (const std::string& text : info) Line(text);
  if (!prompt) {
    Line("OK");
    return;
  }
  body_.clear();
  state_ = State::Body;
  bool withheld;
  {
    std::lock_guard lock(mutex_);
    withheld = promptWithheld_;
  }
  if (!withheld) Raw("\r\n> ");
}

std::string FakeGsmModem::Extended(const std::string& name, std::string_view rest,
                                   std::vector<std::string>& info, bool& prompt) {
  rest = Trim(rest);
  const bool set = !rest.empty() && rest.front() == '=';
  const bool query = !rest.empty() && rest.front() == '?';
  const std::vector<TParam> params = set ? SplitParams(rest.substr(1)) : std::vector<TParam>{};
  const auto intParam = [&](size_t k) -> std::optional<int> {
    return k < params.size() && !params[k].quoted ? ToInt(params[k].text) : std::nullopt;
  };
  std::unique_lock lock(mutex_);
  const bool simReady = sim_ == SimState::Ready;
  lock.unlock();

  if (name == "+CMEE") {
    if (query) {
      info.push_back("+CMEE: " + std::to_string(cmee_));
      return "";
    }
    const auto n = intParam(0);
    if (!set || !n || *n > 2) return CmeError(3);
    cmee_ = *n;
    return "";
  }
  if (name == "+CMGF") {
    if (query) {
      info.push_back(pduMode_ ? "+CMGF: 0" : "+CMGF: 1");
      return "";
    }
    const auto n = intParam(0);
    if (!set || !n || *n > 1) return CmeError(3);
    pduMode_ = *n == 0;
    return "";
  }
  if (name == "+CSMP") {
    if (!set || params.size() != 4) return CmeError(3);
    for (size_t k = 0; k < 4; ++k)
      if (!intParam(k) || *intParam(k) > 255) return CmeError(3);
    csmpDcs_ = *intParam(3);
    return "";
  }
  if (name == "+CSCS") {
    if (query) {
      info.push_back("+CSCS: \"" + charset_ + "\"");
      return "";
    }
    if (!set || params.size() != 1 || !params[0].quoted) return CmeError(3);
    const std::string charset = UpperText(params[0].text);
    if (charset != "IRA" && charset != "GSM" && charset != "UCS2" && charset != "8859-1")
      return CmeError(4);
    charset_ = charset;
    return "";
  }
  if (name == "+CPIN") {
    lock.lock();
    if (query) {
      info.push_back(sim_ == SimState::Ready ? "+CPIN: READY"
                     : sim_ == SimState::Pin ? "+CPIN: SIM PIN"
                                             : "+CPIN: SIM PUK");
      return "";
    }
    if (!set || params.empty()) return CmeError(3);
    pins_.push_back(params[0].text);
    switch (sim_) {
      case SimState::Ready: return CmeError(3);  // no PIN is asked for
      case SimState::Puk: return CmeError(12);
      case SimState::Pin:
        if (params[0].text == options_.simPin) {
          sim_ = SimState::Ready;
          return "";
        }
        if (--pinAttemptsLeft_ <= 0) sim_ = SimState::Puk;
        return CmeError(16);
    }
    return CmeError(3);
  }
  if (name == "+CSCA") {
    if (!simReady) return CmsError(311);
    if (query) {
      lock.lock();
      info.push_back("+CSCA: \"" + serviceCentre_ + "\",145");
      return "";
    }
    if (!set || params.empty() || !params[0].quoted) return CmsError(304);
    std::string number = params[0].text;
    if (charset_ == "UCS2") {
      const auto units = HexUcs2(number);
      if (!units) return CmsError(304);
      number = Utf16ToUtf8(*units);
    }
    const std::string digits = !number.empty() && number[0] == '+' ? number.substr(1) : number;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(),
                                       [](char c) { return c >= '0' && c <= '9'; }))
      return CmsError(304);
    lock.lock();
    serviceCentre_ = number;
    return "";
  }
  if (name == "+CMGS") {
    if (!simReady) return CmsError(311);
    if (!set || params.empty()) return CmsError(304);
    if (pduMode_) {
      const auto length = intParam(0);
      if (!length || *length < 7 || *length > 164 || params.size() != 1) return CmsError(304);
      pduLength_ = *length;
    } else {
      if (!params[0].quoted || params.size() > 2) return CmsError(304);
      std::string number = params[0].text;
      if (charset_ == "UCS2") {
        const auto units = HexUcs2(number);
        if (!units) return CmsError(304);
        number = Utf16ToUtf8(*units);
      }
      const bool international = !number.empty() && number[0] == '+';
      const auto toa =
          params.size() == 2 ? intParam(1) : std::optional<int>(international ? 145 : 129);
      if (!toa || (*toa != 129 && *toa != 145)) return CmsError(304);
      if (*toa == 145 && (number.empty() || number[0] != '+')) number = "+" + number;
      textDestination_ = number;
      textToa_ = *toa;
    }
    prompt = true;
    return "";
  }
  return "ERROR";
}

void FakeGsmModem::FinishBody() {
  FakeSms sms;
  std::string why;
  const bool ok = pduMode_ ? DecodePdu(body_, sms, why) : DecodeText(body_, sms, why);
  if (!ok) {
    {
      std::lock_guard lock(mutex_);
      rejected_.push_back(why);
    }
    state_ = State::Command;
    Unsolicited();
    Line(CmsError(304));
    return;
  }
  pending_ = NextAnswer();
  sms.answer = pending_.kind;
  {
    std::lock_guard lock(mutex_);
    submissions_.push_back(sms);
  }
  state_ = State::Sending;
  due_ = Clock::now() + pending_.delay;
  if (pending_.delay.count() <= 0) SendFinalAnswer();
}

FakeSmsAnswer FakeGsmModem::NextAnswer() {
  std::lock_guard lock(mutex_);
  if (answers_.empty()) return defaultAnswer_;
  FakeSmsAnswer answer = answers_.front();
  answers_.pop_front();
  return answer;
}

void FakeGsmModem::SendFinalAnswer() {
  state_ = State::Command;
  switch (pending_.kind) {
    case FakeSmsAnswer::Kind::Ok:
      Unsolicited();
      reference_ = (reference_ + 1) % 256;
      Line("+CMGS: " + std::to_string(reference_));
      Line("OK");
      break;
    case FakeSmsAnswer::Kind::CmsError:
      Unsolicited();
      Line(CmsError(pending_.cmsError));
      break;
    case FakeSmsAnswer::Kind::PlainError: Line("ERROR"); break;
    case FakeSmsAnswer::Kind::Silent: break;  // the answer is lost
  }
  const std::string held = std::move(held_);
  held_.clear();
  Bytes(held);
}

bool FakeGsmModem::DecodeText(const std::string& body, FakeSms& sms, std::string& why) const {
  sms.mode = FakeSms::Mode::Text;
  sms.destination = textDestination_;
  sms.typeOfAddress = textToa_;
  sms.dataCoding = csmpDcs_;
  {
    std::lock_guard lock(mutex_);
    sms.serviceCentre = serviceCentre_;
  }
  switch (csmpDcs_ & 0x0C) {
    case 0x08: sms.coding = FakeSms::Coding::Ucs2; break;
    case 0x04: sms.coding = FakeSms::Coding::EightBit; break;
    default: sms.coding = FakeSms::Coding::SevenBit; break;
  }
  size_t characters = 0;
  if (charset_ == "UCS2") {
    const auto units = HexUcs2(body);
    if (!units) {
      why = "text mode: the UCS2 text is not four hex digits per character: " + body;
      return false;
    }
    sms.text = Utf16ToUtf8(*units);
    characters = units->size();
  } else if (charset_ == "GSM") {
    for (char c : body)
      if (static_cast<unsigned char>(c) >= 0x80) {
        why = "text mode: a byte above 0x7F in the GSM character set";
        return false;
      }
    sms.text = GsmAlphabetToUtf8(body);
    characters = body.size();
  } else if (charset_ == "IRA") {
    for (char c : body)
      if (static_cast<unsigned char>(c) >= 0x80) {
        why = "text mode: a byte above 0x7F in the IRA character set";
        return false;
      }
    sms.text = body;
    characters = body.size();
  } else {  // 8859-1
    for (char c : body) AppendUtf8(sms.text, static_cast<unsigned char>(c));
    characters = body.size();
  }
  const size_t limit = sms.coding == FakeSms::Coding::Ucs2       ? 70
                       : sms.coding == FakeSms::Coding::EightBit ? 140
                                                                 : 160;
  if (characters > limit) {
    why = "text mode: " + std::to_string(characters) + " characters, more than one message holds";
    return false;
  }
  return true;
}

bool FakeGsmModem::DecodePdu(const std::string& body, FakeSms& sms, std::string& why) const {
  sms.mode = FakeSms::Mode::Pdu;
  const auto parsed = HexOctets(body);
  if (!parsed || parsed->empty()) {
    why = "PDU: not an even number of hex digits";
    return false;
  }
  const std::vector<uint8_t>& o = *parsed;
  size_t p = 0;
  const auto need = [&](size_t n, const char* what) {
    if (p + n <= o.size()) return true;
    why = std::string("PDU: too short for ") + what;
    return false;
  };

  // Service centre address: length in octets (type included), type, semi-octets.
  const size_t scaLength = o[p++];
  if (scaLength > 0) {
    if (!need(scaLength, "the service centre address")) return false;
    const uint8_t type = o[p];
    std::string digits;
    const size_t count = scaLength - 1;
    const size_t digitCount =
        count == 0 ? 0 : count * 2 - ((o[p + count] >> 4) == 0x0F ? 1 : 0);
    if (!SemiOctetDigits(&o[p + 1], count, digitCount, digits)) {
      why = "PDU: bad service centre digits";
      return false;
    }
    sms.serviceCentre = (type == 0x91 ? "+" : "") + digits;
    p += scaLength;
  }

  const size_t tpduOctets = o.size() - p;
  if (static_cast<int>(tpduOctets) != pduLength_) {
    why = "PDU: +CMGS gave " + std::to_string(pduLength_) + " octets, the TPDU has " +
          std::to_string(tpduOctets);
    return false;
  }

  if (!need(2, "first octet and message reference")) return false;
  sms.firstOctet = o[p++];
  if ((sms.firstOctet & 0x03) != 0x01) {
    why = "PDU: not an SMS-SUBMIT";
    return false;
  }
  if (sms.firstOctet & 0x40) {
    why = "PDU: a user data header was not expected";
    return false;
  }
  const int validityFormat = (sms.firstOctet >> 3) & 0x03;
  sms.messageReference = o[p++];

  // Destination address: length in digits, type, semi-octets.
  if (!need(2, "the destination address")) return false;
  const size_t daDigits = o[p++];
  const uint8_t daType = o[p++];
  const size_t daOctets = (daDigits + 1) / 2;
  if (daDigits == 0 || !need(daOctets, "the destination digits")) return false;
  std::string digits;
  if (!SemiOctetDigits(&o[p], daOctets, daDigits, digits)) {
    why = "PDU: bad destination digits or filler";
    return false;
  }
  p += daOctets;
  sms.typeOfAddress = daType;
  sms.destination = (daType == 0x91 ? "+" : "") + digits;

  if (!need(2, "protocol identifier and data coding")) return false;
  sms.protocolId = o[p++];
  sms.dataCoding = o[p++];
  if (validityFormat == 2) {
    if (!need(1, "the validity period")) return false;
    sms.validityPeriod = o[p++];
  } else if (validityFormat != 0) {
    if (!need(7, "the validity period")) return false;
    p += 7;
  }

  // Data coding: general group 00xx (bits 3-2 the alphabet) or the 1111 group (bit 2).
  const int dcs = sms.dataCoding;
  if ((dcs & 0xC0) == 0x00) {
    const int alphabet = (dcs >> 2) & 0x03;
    sms.coding = alphabet == 2   ? FakeSms::Coding::Ucs2
                 : alphabet == 1 ? FakeSms::Coding::EightBit
                                 : FakeSms::Coding::SevenBit;
    if (alphabet == 3) {
      why = "PDU: reserved alphabet";
      return false;
    }
  } else if ((dcs & 0xF0) == 0xF0) {
    sms.coding = (dcs & 0x04) ? FakeSms::Coding::EightBit : FakeSms::Coding::SevenBit;
  } else {
    why = "PDU: data coding scheme not understood";
    return false;
  }

  if (!need(1, "the user data length")) return false;
  const size_t udl = o[p++];
  const size_t remaining = o.size() - p;
  if (sms.coding == FakeSms::Coding::SevenBit) {
    if (udl > 160 || remaining != (udl * 7 + 7) / 8) {
      why = "PDU: " + std::to_string(udl) + " septets do not fill " + std::to_string(remaining) +
            " octets";
      return false;
    }
    // Septet i starts at bit 7i of the user data, least significant bit first.
    std::string codes;
    for (size_t i = 0; i < udl; ++i) {
      const size_t bit = i * 7;
      const size_t index = p + bit / 8;
      const unsigned shift = bit % 8;
      unsigned value = o[index] >> shift;
      if (shift > 1) value |= static_cast<unsigned>(o[index + 1]) << (8 - shift);
      codes += static_cast<char>(value & 0x7F);
    }
    sms.text = GsmAlphabetToUtf8(codes);
  } else {
    if (udl > 140 || remaining != udl) {
      why = "PDU: " + std::to_string(udl) + " user data octets, " + std::to_string(remaining) +
            " present";
      return false;
    }
    if (sms.coding == FakeSms::Coding::Ucs2) {
      if (udl % 2 != 0) {
        why = "PDU: odd UCS2 length";
        return false;
      }
      std::u16string units;
      for (size_t i = 0; i < udl; i += 2)
        units += static_cast<char16_t>((o[p + i] << 8) | o[p + i + 1]);
      sms.text = Utf16ToUtf8(units);
    } else {
      for (size_t i = 0; i < udl; ++i) AppendUtf8(sms.text, o[p + i]);
    }
  }
  return true;
}

} // namespace voxmit::test
