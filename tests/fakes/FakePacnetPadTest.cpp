// The fake PACNET PAD behind the fake modem, driven from the host side of a pty by literal
// bytes.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "platform/SerialPort.h"
#include "support/FakeModem.h"
#include "support/FakePacnetPad.h"
#include "support/PtyPair.h"

namespace voxmit::test {
namespace {

using namespace std::chrono_literals;

class PacnetPad : public ::testing::Test {
protected:
  PacnetPad() {
    EXPECT_TRUE(port.Open(pty.SlavePath(), {9600, 8, spNone, ssOne})) << port.LastErrorText();
    modem.SetPeer(&pad);
    line.Start();
  }
  // Sends bytes and returns everything read until expected has arrived (or the time passed).
  std::string Exchange(std::string_view send, std::string_view expected,
                       std::chrono::milliseconds timeout = 5s) {
    if (!send.empty()) {
      EXPECT_EQ(port.Write(send, 5s), sioOK);
    }
    std::string all, part;
    const auto deadline = SerialDeadlineIn(timeout);
    while (all.find(expected) == std::string::npos && port.Read(part, deadline) == sioOK)
      all += part;
    return all;
  }
  void Call() {
    ASSERT_EQ(Exchange("ATE0\r", "OK\r\n"), "ATE0\r\r\nOK\r\n");
    ASSERT_EQ(Exchange("ATDT5551234\r", "PACNET\r\n"), "\r\nCONNECT 9600\r\n\r\nPACNET\r\n");
  }

  PtyPair pty;
  FakePacnetPad pad;
  FakeModem modem;
  PtyLine line{pty, modem};
  TNSerialPort port;
};

TEST_F(PacnetPad, CallLineAndClearWithEcho) {
  Call();
  EXPECT_EQ(pad.Heralds(), 1);
  EXPECT_EQ(Exchange("NVOXNET-311020100\r", "Pager ID\r\n"),
            "NVOXNET-311020100\r\r\nCOM\r\nPlease enter Pager ID\r\n");
  EXPECT_TRUE(pad.InDataTransfer());
  EXPECT_EQ(Exchange("1234@HELLO\r", "?00\r\n"), "1234@HELLO\r?00\r\n");
  EXPECT_EQ(Exchange("CLR\r", "NO CARRIER\r\n"), "CLR\r\r\nCLR CONF\r\n\r\nNO CARRIER\r\n");
  EXPECT_FALSE(modem.InCall());
  EXPECT_EQ(pad.CallRequests(),
            (std::vector<FakePacnetPad::CallRequest>{{"VOXNET", "311020100"}}));
  EXPECT_EQ(pad.Pages(), (std::vector<std::pair<std::string, std::string>>{{"1234", "HELLO"}}));
  EXPECT_EQ(pad.Clears(), 1);
}

TEST_F(PacnetPad, ScriptedAnswersAndBadInput) {
  pad.QueueCallAnswer({PacnetCallAnswer::Clear, "NP"});
  pad.QueueLineAnswer({"?99"});
  pad.QueueLineAnswer({"?92", true});
  Call();
  EXPECT_EQ(Exchange("hello\r", "ERR\r\n"), "hello\r\r\nERR\r\n");
  EXPECT_EQ(Exchange("NX-1\r", "NP\r\n"), "NX-1\r\r\nCLR NP\r\n");
  EXPECT_FALSE(pad.InDataTransfer());
  EXPECT_EQ(Exchange("NX-1\r", "Pager ID\r\n"), "NX-1\r\r\nCOM\r\nPlease enter Pager ID\r\n");
  // A line without a pager ID leaves the script alone.
  EXPECT_EQ(Exchange("HELLO\r", "?11\r\n"), "HELLO\r?11\r\n");
  EXPECT_EQ(Exchange("1@A\r", "?99\r\n"), "1@A\r?99\r\n");
  EXPECT_EQ(Exchange("1@A\r", "NO CARRIER\r\n"), "1@A\r?92\r\n\r\nNO CARRIER\r\n");
  EXPECT_FALSE(modem.InCall());
  ASSERT_EQ(pad.Lines().size(), 3u);
  EXPECT_FALSE(pad.Lines()[0].pagerId.has_value());
  EXPECT_EQ(pad.Lines()[2].answer, "?92");
}

TEST_F(PacnetPad, SilentHeraldAndNoEcho) {
  FakePacnetPad::Options options;
  options.herald = "";
  options.echo = false;
  FakePacnetPad quiet(options);
  modem.SetPeer(&quiet);
  ASSERT_EQ(Exchange("ATE0\r", "OK\r\n"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(Exchange("ATDT5551234\r", "CONNECT 9600\r\n"), "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(Exchange("", "PACNET", 500ms), "") << "no herald";
  EXPECT_EQ(Exchange("NA-B\r", "Pager ID\r\n"), "\r\nCOM\r\nPlease enter Pager ID\r\n");
  EXPECT_EQ(Exchange("1@X\r", "?00\r\n"), "?00\r\n");
  EXPECT_EQ(quiet.Heralds(), 0);
  modem.SetPeer(&pad);
}

} // namespace
} // namespace voxmit::test
