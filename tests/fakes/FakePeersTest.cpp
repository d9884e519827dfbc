// The fake modem and TAP terminal, driven from the host side of a pty by literal bytes: the
// checksums below are worked out by hand, not by any block builder.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "platform/SerialPort.h"
#include "support/FakeModem.h"
#include "support/FakeTapTerminal.h"
#include "support/PtyPair.h"
#include "support/WaitUntil.h"

namespace voxmit::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr auto kLong = 5s;
constexpr auto kQuiet = 300ms;  // long enough to see a reply that should not come

const std::string kGoAhead = "\x06\r\x1b[p\r";  // ACK CR, then ESC [p CR
const std::string kAck = "\x06\r", kNak = "\x15\r", kRs = "\x1e\r", kEscEot = "\x1b\x04\r";
// STX "123" CR "HI" CR ETX: 2 + 150 + 13 + 145 + 13 + 3 = 326 = 0x146.
const std::string kBlockHi = "\x02" "123\rHI\r\x03" "146\r";

// The code under test's end of the line.
class Host {
public:
  explicit Host(const PtyPair& pty) {
    EXPECT_TRUE(port_.Open(pty.SlavePath(), {9600, 8, spNone, ssOne})) << port_.LastErrorText();
  }
  void Send(std::string_view bytes) { ASSERT_EQ(port_.Write(bytes, kLong), sioOK); }
  // Everything read until `expected` has arrived (or the time-out passed).
  std::string ReadUntil(std::string_view expected) {
    std::string all, part;
    const auto deadline = SerialDeadlineIn(kLong);
    while (all.find(expected) == std::string::npos && port_.Read(part, deadline) == sioOK)
      all += part;
    return all;
  }
  // Everything that arrives within a short window.
  std::string Drain() {
    std::string all, part;
    const auto deadline = SerialDeadlineIn(kQuiet);
    while (port_.Read(part, deadline) == sioOK) all += part;
    return all;
  }
  std::string Exchange(std::string_view send, std::string_view expected) {
    Send(send);
    return ReadUntil(expected);
  }

private:
  TNSerialPort port_;
};

// ---------------- TAP terminal on a direct line ----------------

class DirectTap : public ::testing::Test {
protected:
  explicit DirectTap(FakeTapTerminal::Options options = {}, int baud = 0)
      : terminal(std::move(options)), line(pty, terminal, baud) {
    line.Start();
  }
  void LogOn(const std::string& password = "") {
    ASSERT_EQ(host.Exchange("\r", "ID="), "ID=");
    ASSERT_EQ(host.Exchange("\x1bPG1" + password + "\r", kGoAhead), kGoAhead);
  }

  PtyPair pty;
  FakeTapTerminal terminal;
  PtyLine line;
  Host host{pty};
};

TEST_F(DirectTap, SessionWithTheWorkedChecksums) {
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=");
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=") << "every CR before the logon prompts again";
  EXPECT_EQ(host.Exchange("\x1bPG1\r", kGoAhead), kGoAhead);
  EXPECT_TRUE(terminal.LoggedOn());

  EXPECT_EQ(host.Exchange(kBlockHi, kAck), kAck);
  // "A" BEL made transparent as SUB "G": 2 + 150 + 13 + 65 + 26 + 71 + 13 + 3 = 343 = 0x157.
  EXPECT_EQ(host.Exchange("\x02" "123\rA\x1aG\r\x03" "157\r", kAck), kAck);
  // TAB as SUB "I", two-digit pager: 2 + 102 + 13 + 26 + 73 + 13 + 3 = 232 = 0x0E8 -> "0>8".
  EXPECT_EQ(host.Exchange("\x02" "42\r\x1aI\r\x03" "0>8\r", kAck), kAck);

  EXPECT_EQ(host.Exchange("\x04\r", kEscEot), kEscEot);
  EXPECT_EQ(terminal.Logoffs(), 1);
  EXPECT_FALSE(terminal.LoggedOn());

  using Page = FakeTapTerminal::Page;
  EXPECT_EQ(terminal.Pages(),
            (std::vector<Page>{{"123", "HI"}, {"123", "A\x07"}, {"42", "\t"}}));
  ASSERT_EQ(terminal.Logons().size(), 1u);
  EXPECT_EQ(terminal.Logons()[0].service, "PG1");
  EXPECT_EQ(terminal.Logons()[0].password, "");
  EXPECT_EQ(terminal.IdPrompts(), 2);
  // After the logoff the terminal waits for a new session.
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=");
}

struct BadBlockCase {
  const char* label;
  std::string block;
  bool checksumOk;
};

class DirectTapBadBlocks : public DirectTap, public ::testing::WithParamInterface<BadBlockCase> {};

TEST_P(DirectTapBadBlocks, AreNakedAndNotAccepted) {
  LogOn();
  EXPECT_EQ(host.Exchange(GetParam().block, kNak), kNak);
  const auto naked = terminal.NakedBlocks();
  ASSERT_EQ(naked.size(), 1u);
  EXPECT_EQ(naked[0].bytes, GetParam().block);
  EXPECT_EQ(naked[0].checksumOk, GetParam().checksumOk);
  EXPECT_TRUE(terminal.Pages().empty());
  // The transaction goes on.
  EXPECT_EQ(host.Exchange(kBlockHi, kAck), kAck);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DirectTapBadBlocks,
    ::testing::Values(
        BadBlockCase{"ChecksumOffByOne", "\x02" "123\rHI\r\x03" "147\r", false},
        BadBlockCase{"ChecksumDigitsSwapped", "\x02" "123\rHI\r\x03" "641\r", false},
        // The checksum is right (0x0FD -> "0?="), but BEL is not made transparent.
        BadBlockCase{"BareControlInText", "\x02" "123\rA\x07\r\x03" "0?=\r", true},
        // Pager field only: 2 + 150 + 13 + 3 = 168 = 0x0A8 -> "0:8".
        BadBlockCase{"TextFieldMissing", "\x02" "123\r\x03" "0:8\r", true},
        // Text not closed by CR: 2 + 150 + 13 + 145 + 3 = 313 = 0x139.
        BadBlockCase{"TextNotClosed", "\x02" "123\rHI\x03" "139\r", true}),
    [](const auto& info) { return std::string(info.param.label); });

struct AnswerCase {
  TapBlockAnswer answer;
  std::string reply;
};

TEST_F(DirectTap, BlocksAreAnsweredAsScripted) {
  const AnswerCase script[] = {{TapBlockAnswer::Nak, kNak},
                               {TapBlockAnswer::Rs, kRs},
                               {TapBlockAnswer::Ack, kAck},
                               {TapBlockAnswer::EscEot, kEscEot}};
  for (const auto& step : script) terminal.QueueBlockAnswer(step.answer);
  LogOn();
  for (const auto& step : script)
    EXPECT_EQ(host.Exchange(kBlockHi, step.reply), step.reply) << int(step.answer);
  EXPECT_FALSE(terminal.LoggedOn()) << "ESC EOT ends the session";
  EXPECT_EQ(terminal.Pages().size(), 1u) << "only the ACKed block is a page";
  EXPECT_EQ(terminal.NakedBlocks().size(), 1u);
  EXPECT_EQ(terminal.Blocks().size(), 4u);
  // Without a session every CR of the block is a wake-up: no ACK, a prompt each.
  EXPECT_EQ(host.Exchange(kBlockHi, "ID=ID=ID="), "ID=ID=ID=");
  EXPECT_EQ(terminal.Blocks().size(), 4u);
}

TEST_F(DirectTap, SilentAnswerSaysNothing) {
  terminal.SetDefaultBlockAnswer(TapBlockAnswer::Silence);
  LogOn();
  host.Send(kBlockHi);
  EXPECT_TRUE(WaitUntil([&] { return terminal.Blocks().size() == 1; }));
  EXPECT_EQ(host.Drain(), "");
  EXPECT_TRUE(terminal.Pages().empty());
}

TEST_F(DirectTap, NoLogonWithoutThePrompt) {
  // No CR first, so no ID= was sent: the logon's own CR is only a wake-up.
  EXPECT_EQ(host.Exchange("\x1bPG1\r", "ID="), "ID=");
  EXPECT_TRUE(terminal.Logons().empty());
}

class DirectTapPassword : public DirectTap {
protected:
  static FakeTapTerminal::Options Options() {
    FakeTapTerminal::Options o;
    o.password = "SECRET";
    o.banner = {"110 1.8"};
    return o;
  }
  DirectTapPassword() : DirectTap(Options()) {}
};

TEST_F(DirectTapPassword, WrongPasswordIsNakedThenTheRightOneIsAccepted) {
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=");
  EXPECT_EQ(host.Exchange("\x1bPG1WRONG\r", kNak), "110 1.8\r" + kNak);
  EXPECT_FALSE(terminal.LoggedOn());
  EXPECT_EQ(host.Exchange(kBlockHi, "ID=ID=ID="), "ID=ID=ID=") << "no block before the logon";
  EXPECT_TRUE(terminal.Blocks().empty());
  EXPECT_EQ(host.Exchange("\x1bPG1SECRET\r", kGoAhead), "110 1.8\r" + kGoAhead);
  EXPECT_EQ(host.Exchange(kBlockHi, kAck), kAck);
  const auto logons = terminal.Logons();
  ASSERT_EQ(logons.size(), 2u);
  EXPECT_EQ(logons[0].password, "WRONG");
  EXPECT_FALSE(logons[0].accepted);
  EXPECT_EQ(logons[1].password, "SECRET");
  EXPECT_TRUE(logons[1].accepted);
}

class DirectTapWithMessages : public DirectTap {
protected:
  static FakeTapTerminal::Options Options() {
    FakeTapTerminal::Options o;
    o.ackLogon = false;
    o.blockMessage = {"211 Page(s) Sent Successful"};
    o.logoffMessage = {"115 Goodbye"};
    return o;
  }
  DirectTapWithMessages() : DirectTap(Options()) {}
};

TEST_F(DirectTapWithMessages, PrecedeTheAnswers) {
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=");
  EXPECT_EQ(host.Exchange("\x1bPG1\r", "\x1b[p\r"), "\x1b[p\r") << "go-ahead without ACK";
  EXPECT_EQ(host.Exchange(kBlockHi, kAck), "211 Page(s) Sent Successful\r" + kAck);
  EXPECT_EQ(host.Exchange("\x04\r", kEscEot), "115 Goodbye\r" + kEscEot);
}

class DirectTapRefusesWithEscEot : public DirectTap {
protected:
  static FakeTapTerminal::Options Options() {
    FakeTapTerminal::Options o;
    o.password = "SECRET";
    o.refusal = TapLogonRefusal::EscEot;
    return o;
  }
  DirectTapRefusesWithEscEot() : DirectTap(Options()) {}
};

TEST_F(DirectTapRefusesWithEscEot, AndStartsOver) {
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=");
  EXPECT_EQ(host.Exchange("\x1bPG1\r", kEscEot), kEscEot);
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=");
}

struct ChecksumRule {
  const char* label;
  bool sevenBit;
  std::string acceptedBlock, nakedBlock;
};

class TapChecksumRule : public ::testing::TestWithParam<ChecksumRule> {};

// 0xE9 in the text: whole bytes give 2 + 49 + 13 + 233 + 13 + 3 = 313 = 0x139 -> "139";
// 7-bit values give 313 - 128 = 185 = 0x0B9 -> "0;9".
TEST_P(TapChecksumRule, EightBitText) {
  FakeTapTerminal::Options options;
  options.sevenBitChecksum = GetParam().sevenBit;
  FakeTapTerminal terminal(options);
  PtyPair pty;
  PtyLine line(pty, terminal);
  line.Start();
  Host host(pty);
  ASSERT_EQ(host.Exchange("\r", "ID="), "ID=");
  ASSERT_EQ(host.Exchange("\x1bPG1\r", kGoAhead), kGoAhead);
  EXPECT_EQ(host.Exchange(GetParam().nakedBlock, kNak), kNak);
  EXPECT_EQ(host.Exchange(GetParam().acceptedBlock, kAck), kAck);
  EXPECT_EQ(terminal.Pages(), (std::vector<FakeTapTerminal::Page>{{"1", "\xE9"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TapChecksumRule,
    ::testing::Values(ChecksumRule{"WholeBytes", false, "\x02" "1\r\xE9\r\x03" "139\r",
                                   "\x02" "1\r\xE9\r\x03" "0;9\r"},
                      ChecksumRule{"SevenBit", true, "\x02" "1\r\xE9\r\x03" "0;9\r",
                                   "\x02" "1\r\xE9\r\x03" "139\r"}),
    [](const auto& info) { return std::string(info.param.label); });

class PacedDirectTap : public DirectTap {
protected:
  PacedDirectTap() : DirectTap({}, 9600) {}
};

TEST_F(PacedDirectTap, DeliversTheSameBytes) {
  LogOn();
  EXPECT_EQ(host.Exchange(kBlockHi, kAck), kAck);
}

// ---------------- Hayes modem ----------------

class Modem : public ::testing::Test {
protected:
  explicit Modem(FakeModem::Options options = {}) : modem(options), line(pty, modem) {
    modem.SetPeer(&terminal);
    line.Start();
  }
  void Connect() {
    ASSERT_EQ(host.Exchange("ATE0\r", "\r\nOK\r\n"), "ATE0\r\r\nOK\r\n");
    ASSERT_EQ(host.Exchange("ATDT5551234\r", "\r\nCONNECT 9600\r\n"), "\r\nCONNECT 9600\r\n");
    ASSERT_TRUE(modem.InCall());
  }

  PtyPair pty;
  FakeTapTerminal terminal;
  FakeModem modem;
  PtyLine line;
  Host host{pty};
};

TEST_F(Modem, ResetAndInitWithEchoAndVerboseResults) {
  EXPECT_EQ(host.Exchange("AT&F\r", "OK\r\n"), "AT&F\r\r\nOK\r\n") << "echo on after a reset";
  EXPECT_EQ(host.Exchange("ATE0S7=60V1&D2\r", "OK\r\n"), "ATE0S7=60V1&D2\r\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("AT\r", "OK\r\n"), "\r\nOK\r\n") << "echo off after E0";
  EXPECT_EQ(host.Exchange("ATV0\r", "0\r"), "0\r");
  EXPECT_EQ(host.Exchange("ATX9!\r", "4\r"), "4\r") << "numeric ERROR";
  EXPECT_EQ(host.Exchange("ATZ\r", "OK\r\n"), "\r\nOK\r\n") << "ATZ restores verbose results";
  EXPECT_EQ(host.Exchange("noise\r", "noise\r"), "noise\r") << "and the echo";
  EXPECT_EQ(host.Exchange("AT\r", "OK\r\n"), "AT\r\r\nOK\r\n") << "no answer to a line without AT";
  EXPECT_EQ(modem.Commands(),
            (std::vector<std::string>{"AT&F", "ATE0S7=60V1&D2", "AT", "ATV0", "ATX9!", "ATZ", "AT"}));
}

TEST_F(Modem, RefusedCommandsAnswerError) {
  modem.RefuseCommandsContaining("&k9");
  EXPECT_EQ(host.Exchange("ATE0&K9\r", "\r\nERROR\r\n"), "ATE0&K9\r\r\nERROR\r\n");
  EXPECT_EQ(host.Exchange("AT\r", "\r\nOK\r\n"), "AT\r\r\nOK\r\n") << "a refused line did nothing";
}

TEST_F(Modem, DialAnswersAsScriptedPerCall) {
  const char* results[] = {"BUSY", "NO ANSWER", "NO DIALTONE", "NO CARRIER", "ERROR", "CONNECT 1200"};
  for (const char* r : results) modem.QueueDialAnswer({r, 0ms});
  host.Exchange("ATE0\r", "OK\r\n");
  for (const char* r : results) {
    const std::string expected = "\r\n"s + r + "\r\n";
    EXPECT_EQ(host.Exchange("ATDT9W5551234\r", expected), expected);
  }
  EXPECT_TRUE(modem.InCall());
  EXPECT_EQ(modem.DialedNumbers().size(), 6u);
  EXPECT_EQ(modem.DialedNumbers().back(), "9W5551234");
  EXPECT_EQ(modem.CallsConnected(), 1);
}

TEST_F(Modem, DelayedAndSilentDials) {
  modem.QueueDialAnswer({"CONNECT 2400", 200ms});
  modem.QueueDialAnswer({"", 0ms});
  host.Exchange("ATE0\r", "OK\r\n");
  EXPECT_EQ(host.Exchange("ATDP123\r", "CONNECT 2400\r\n"), "\r\nCONNECT 2400\r\n");
  host.Exchange("AT&F\r", "OK\r\n");  // an AT burst in a call stands for the DTR drop
  EXPECT_FALSE(modem.InCall());
  host.Exchange("ATE0\r", "OK\r\n");
  host.Send("ATDT123\r");
  EXPECT_EQ(host.Drain(), "") << "a silent dial says nothing";
  EXPECT_EQ(host.Exchange("AT\r", "OK\r\n"), "\r\nOK\r\n") << "DTR drop ends the dial";
  EXPECT_EQ(modem.DialedNumbers(), (std::vector<std::string>{"123", "123"}));
}

TEST_F(Modem, SwitchedOffSaysNothing) {
  modem.SetSwitchedOff(true);
  host.Send("AT&F\r");
  EXPECT_EQ(host.Drain(), "");
  EXPECT_TRUE(modem.Commands().empty());
  modem.SetSwitchedOff(false);
  EXPECT_EQ(host.Exchange("AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
}

TEST_F(Modem, DialUpTapSessionEndsWithNoCarrier) {
  Connect();
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=");
  EXPECT_EQ(host.Exchange("\x1bPG1ABC\r", kGoAhead), kGoAhead);
  EXPECT_EQ(host.Exchange(kBlockHi, kAck), kAck);
  EXPECT_EQ(host.Exchange("\x04\r", "\r\nNO CARRIER\r\n"), kEscEot + "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(modem.InCall());
  EXPECT_EQ(modem.CallsEnded(), 1);
  EXPECT_EQ(host.Exchange("AT\r", "OK\r\n"), "\r\nOK\r\n") << "back in command mode";
  EXPECT_EQ(terminal.Pages(), (std::vector<FakeTapTerminal::Page>{{"123", "HI"}}));
  EXPECT_EQ(terminal.Logons().at(0).password, "ABC");
  EXPECT_EQ(modem.DataReceived(), "\r\x1bPG1ABC\r" + kBlockHi + "\x04\r");
}

TEST_F(Modem, TerminalHangingUpAfterEscEotGivesNoCarrier) {
  terminal.QueueBlockAnswer(TapBlockAnswer::EscEot);
  Connect();
  host.Exchange("\r", "ID=");
  host.Exchange("\x1bPG1\r", kGoAhead);
  EXPECT_EQ(host.Exchange(kBlockHi, "NO CARRIER\r\n"), kEscEot + "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(modem.InCall());
}

TEST_F(Modem, DtrDropHookEndsTheCall) {
  Connect();
  host.Exchange("\r", "ID=");
  host.Exchange("\x1bPG1\r", kGoAhead);
  modem.DropDtr();
  EXPECT_TRUE(WaitUntil([&] { return !modem.InCall(); }));
  EXPECT_FALSE(terminal.LoggedOn()) << "the terminal saw the call end";
  EXPECT_EQ(host.Exchange("AT\r", "OK\r\n"), "\r\nOK\r\n");
}

class ModemNoGuard : public Modem {
protected:
  ModemNoGuard() : Modem({true, 0ms, true}) {}
};

TEST_F(ModemNoGuard, EscapeToCommandModeThenHangUp) {
  Connect();
  EXPECT_EQ(host.Exchange("+++", "\r\nOK\r\n"), "\r\nOK\r\n");
  EXPECT_TRUE(modem.InCall()) << "the call is held";
  EXPECT_EQ(host.Exchange("ATO\r", "CONNECT\r\n"), "\r\nCONNECT\r\n");
  EXPECT_EQ(host.Exchange("\r", "ID="), "ID=") << "back online with the terminal";
  EXPECT_EQ(host.Exchange("+++", "\r\nOK\r\n"), "\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("ATH\r", "\r\nOK\r\n"), "\r\nOK\r\n");
  EXPECT_FALSE(modem.InCall());
}

class ModemLongGuard : public Modem {
protected:
  ModemLongGuard() : Modem({true, 3s, true}) {}
};

TEST_F(ModemLongGuard, PlusesWithoutTheGuardTimeAreData) {
  Connect();
  host.Send("+++");
  EXPECT_EQ(host.Drain(), "");
  EXPECT_TRUE(modem.InCall());
  EXPECT_EQ(modem.DataReceived(), "+++");
}

} // namespace
} // namespace voxmit::test
