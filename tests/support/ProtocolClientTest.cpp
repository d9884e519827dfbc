#include "support/ProtocolClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "peer/FakeServer.h"

namespace voxmit::test {
namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::IsEmpty;

// A client connected to a fake server that has accepted it.
class ProtocolClientTest : public testing::Test {
protected:
  void SetUp() override {
    client_ = std::make_unique<TProtocolClient>(server_.Port());
    server_.Accept();
  }

  TFakeServer server_;
  std::unique_ptr<TProtocolClient> client_;
};

struct TRequestCase {
  std::string Name;
  std::function<void(TProtocolClient&)> Send;
  std::string Expected; // the bytes the server must receive

  friend void PrintTo(const TRequestCase& c, std::ostream* os) { *os << c.Name; }
};

class ProtocolClientRequestTest : public ProtocolClientTest,
                                  public testing::WithParamInterface<TRequestCase> {};

TEST_P(ProtocolClientRequestTest, ServerReceivesTheFrame) {
  GetParam().Send(*client_);
  EXPECT_EQ(server_.Receive(GetParam().Expected.size()), GetParam().Expected);
  EXPECT_EQ(server_.Receive(1, 100ms), "") << "bytes after the frame";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ProtocolClientRequestTest,
    testing::Values(
        TRequestCase{"LogonQuotesADescriptionWithBlanks",
                     [](TProtocolClient& c) {
                       c.Logon("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", "Test client");
                     },
                     "\r\n\rLOGON,{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9},\"Test client\"\r\v\r"},
        TRequestCase{"PlainMessageNeedsNoQuotes",
                     [](TProtocolClient& c) { c.SendMessage(17, 1, "5551234", "1234", "Hi"); },
                     "\r\n\rMESSAGE,17,1,5551234,1234,Hi\r\v\r"},
        TRequestCase{"CommasBlanksAndQuotesAreQuotedAndDoubled",
                     [](TProtocolClient& c) {
                       c.SendMessage(17, 6, "host,444", "12 34", "Say \"hi\", then go");
                     },
                     "\r\n\rMESSAGE,17,6,\"host,444\",\"12 34\",\"Say \"\"hi\"\", then go\"\r\v\r"},
        TRequestCase{"LineBreakInTextIsQuoted",
                     [](TProtocolClient& c) { c.SendMessage(2, 5, "s", "p", "a\r\nb"); },
                     "\r\n\rMESSAGE,2,5,s,p,\"a\r\nb\"\r\v\r"},
        TRequestCase{"EmptyFieldsStayInPlace",
                     [](TProtocolClient& c) { c.SendMessage(-5, 5, "", "x", ""); },
                     "\r\n\rMESSAGE,-5,5,,x,\r\v\r"},
        TRequestCase{"RawBytesGoOutUnchanged",
                     [](TProtocolClient& c) { c.SendRaw("junk\r\n\rlogon\r\v"); },
                     "junk\r\n\rlogon\r\v"}),
    [](const testing::TestParamInfo<TRequestCase>& info) { return info.param.Name; });

TEST_F(ProtocolClientTest, TwoFramesInOneWriteGiveTwoRepliesInOrder) {
  server_.Send("\r\n\rLOGON_OK\r\v\r\r\n\rMESSAGE_ACCEPTED,\"17,4711\"\r\v\r");

  const auto first = client_->ReadReply(5s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Keyword, "LOGON_OK");
  EXPECT_EQ(first->Data, "");
  EXPECT_THAT(first->Fields, IsEmpty());

  const auto second = client_->ReadReply(5s);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Keyword, "MESSAGE_ACCEPTED");
  EXPECT_EQ(second->Data, "17,4711");
  EXPECT_THAT(second->Fields, ElementsAre("17", "4711"));
  EXPECT_EQ(second->Body, "MESSAGE_ACCEPTED,\"17,4711\"");
}

// The cuts fall inside the start marker, inside the data and inside the end marker.
TEST_F(ProtocolClientTest, FrameSplitOverThreeWritesGivesOneReplyOnceComplete) {
  server_.Send("\r\n");
  EXPECT_TRUE(client_->ExpectNoReply(200ms));
  server_.Send("\rMESSAGE_SENT,\"17,47");
  EXPECT_TRUE(client_->ExpectNoReply(200ms));
  server_.Send("11\"\r\v\r");

  const auto reply = client_->ReadReply(5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Keyword, "MESSAGE_SENT");
  EXPECT_THAT(reply->Fields, ElementsAre("17", "4711"));
  EXPECT_TRUE(client_->ExpectNoReply(100ms));
}

TEST_F(ProtocolClientTest, BytesOutsideFramesAreDroppedAndDataKeepsItsInnerQuotes) {
  server_.Send("garbage\r\n\rLOGON_OK\r\v\rstray\r\v\r"
               "\r\n\rBROADCAST_MESSAGE,\"From VoxmitServer (Host: h, IP: 10.0.0.1, Port: 215) "
               ": say \"hi\", bye\"\r\v\r");

  const auto logon = client_->ReadReply(5s);
  ASSERT_TRUE(logon);
  EXPECT_EQ(logon->Body, "LOGON_OK");
  const auto notice = client_->ReadReply(5s);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->Keyword, "BROADCAST_MESSAGE");
  EXPECT_EQ(notice->Data,
            "From VoxmitServer (Host: h, IP: 10.0.0.1, Port: 215) : say \"hi\", bye");
}

TEST_F(ProtocolClientTest, DenialBeforeTheCloseStaysReadable) {
  server_.Send("\r\n\rLOGON_DENIED,4,\"Wrong LogOn Message Format\"\r\v\r");
  server_.Close();

  EXPECT_TRUE(client_->Closed(5s));
  const auto denial = client_->ReadReply(5s);
  ASSERT_TRUE(denial);
  EXPECT_EQ(denial->Keyword, "LOGON_DENIED");
  EXPECT_THAT(denial->Fields, ElementsAre("4", "Wrong LogOn Message Format"));
  EXPECT_FALSE(client_->ReadReply(5s));
  EXPECT_TRUE(client_->PeerClosed());
}

TEST_F(ProtocolClientTest, OpenQuietConnectionIsNeitherClosedNorAnswering) {
  EXPECT_FALSE(client_->Closed(200ms));
  EXPECT_TRUE(client_->ExpectNoReply(200ms));
  // Still usable afterwards.
  client_->Logon("{G}", "d");
  EXPECT_EQ(server_.ReceiveFrame(), "\r\n\rLOGON,{G},d\r\v\r");
}

TEST_F(ProtocolClientTest, ExpectNoReplyReportsAReplyThatCame) {
  server_.Send("\r\n\rLOGON_OK\r\v\r");
  EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(client_->ExpectNoReply(5s)), "LOGON_OK");
}

TEST(ProtocolClientConnect, NoListenerThrows) {
  std::uint16_t port = 0;
  {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    port = probe.address().port();
  }
  EXPECT_THROW(TProtocolClient client(port, 2s), Poco::Exception);
}

} // namespace
} // namespace voxmit::test
