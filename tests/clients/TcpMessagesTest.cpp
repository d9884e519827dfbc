#include "clients/TcpMessages.h"

#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include "support/WaitUntil.h"

namespace voxmit {
namespace {

using Fields = std::vector<std::string>;
using namespace std::string_literals;

const std::string S = "\r\n\r"; // start marker as a client writes it
const std::string E = "\r\v\r"; // end marker as a client writes it

// Feeds the reads to ExtractFrames one after the other, as the connection thread does, and
// collects the fields of every request cut out.
struct Feed {
  std::vector<Fields> requests;
  std::string rest;
};

Feed FeedReads(const std::vector<std::string>& reads) {
  Feed feed;
  for (const std::string& read : reads) {
    feed.rest += read;
    TRawInMessageList list;
    const TExtractResult result = ExtractFrames(feed.rest, list);
    EXPECT_EQ(result.FoundFrames, !list.empty());
    EXPECT_FALSE(result.Overflow);
    for (const TServerRawInMessage& request : list) feed.requests.push_back(request.Fields());
  }
  return feed;
}

struct FrameCase {
  const char* name;
  std::vector<std::string> reads;
  std::vector<Fields> requests;
  std::string rest;
};

class FrameTest : public testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, CutsRequestsFromReads) {
  const Feed feed = FeedReads(GetParam().reads);
  EXPECT_EQ(feed.requests, GetParam().requests);
  EXPECT_EQ(feed.rest, GetParam().rest);
}

INSTANTIATE_TEST_SUITE_P(
    TcpMessages, FrameTest,
    testing::Values(
        FrameCase{"TwoFramesInOneRead",
                  {S + "LOGON,{G},d" + E + S + "MESSAGE,1,1,s,p,t" + E},
                  {{"LOGON", "{G}", "d"}, {"MESSAGE", "1", "1", "s", "p", "t"}},
                  ""},
        FrameCase{"OneFrameOverThreeReads",
                  {S + "LOG", "ON,{G}", ",d\r\v", "\r"},
                  {{"LOGON", "{G}", "d"}},
                  ""},
        FrameCase{"PartialFrameKept", {"xx" + S + "LOGON,{G"}, {}, S + "LOGON,{G"},
        FrameCase{"JunkBeforeFrame",
                  {"junk\r\n\r\v" + S + "LOGON,a,b" + E},
                  {{"LOGON", "a", "b"}},
                  ""},
        FrameCase{"JunkBetweenFramesAndAfter",
                  {S + "A" + E + "noise" + S + "B" + E + "tail"},
                  {{"A"}, {"B"}},
                  ""},
        FrameCase{"StartMarkerSplitAcrossReadsIsLost",
                  {"\r\n", "\rLOGON,a,b" + E, S + "NEXT" + E},
                  {{"NEXT"}},
                  ""},
        FrameCase{"BufferWithoutStartMarkerEmptied", {"no frame here\r\v\r"}, {}, ""},
        FrameCase{"EmptyBody", {S + E}, {{}}, ""},
        FrameCase{"EndMarkerMayNotOverlapStart",
                  {S + "\v\rLOGON,a,b" + E},
                  {{"LOGON", "a", "b"}},
                  ""},
        FrameCase{"StartMarkerInsideQuotedBody",
                  {S + "MESSAGE,1,1,s,p,\"line" + S + "more\"" + E},
                  {{"MESSAGE", "1", "1", "s", "p", "line" + S + "more"}},
                  ""}),
    [](const testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

struct RequestCase {
  const char* name;
  std::string body;
  TRequestKind kind;
  bool wrongFormat;
};

class RequestTest : public testing::TestWithParam<RequestCase> {};

TEST_P(RequestTest, KindAndValidation) {
  const TServerRawInMessage request(GetParam().body);
  EXPECT_EQ(request.RequestKind(), GetParam().kind);
  EXPECT_EQ(request.IsWrongFormat(), GetParam().wrongFormat);
}

INSTANTIATE_TEST_SUITE_P(
    TcpMessages, RequestTest,
    testing::Values(
        RequestCase{"Logon", "LOGON,{G},\"My client\"", rkLogon, false},
        RequestCase{"LogonTwoFields", "LOGON,{G}", rkLogon, true},
        RequestCase{"LogonFourFields", "LOGON,{G},d,extra", rkLogon, true},
        RequestCase{"LogonUnquotedBlankMakesFourFields", "LOGON,{G},My client", rkLogon, true},
        RequestCase{"LowerCaseLogonUnknown", "logon,{G},d", rkUnknown, true},
        RequestCase{"QuotedKeywordCounts", "\"LOGON\",{G},d", rkLogon, false},
        RequestCase{"Message", "MESSAGE,17,1,\"a,b\",555,\"hi there\"", rkMessage, false},
        RequestCase{"MessageNegativeAndPlusNumbers", "MESSAGE,-17,+1,s,p,t", rkMessage, false},
        RequestCase{"MessageNonNumericCarrierType", "MESSAGE,17,TAP,s,p,t", rkMessage, true},
        RequestCase{"MessageNonNumericRecordID", "MESSAGE,x,1,s,p,t", rkMessage, true},
        RequestCase{"MessageRecordIDBeyond32Bits", "MESSAGE,2147483648,1,s,p,t", rkMessage, true},
        RequestCase{"MessageHexCarrierType", "MESSAGE,17,0x1,s,p,t", rkMessage, true},
        RequestCase{"MessageFiveFields", "MESSAGE,17,1,s,p", rkMessage, true},
        RequestCase{"MessageSevenFields", "MESSAGE,17,1,s,p,t,u", rkMessage, true},
        RequestCase{"EmptyBody", "", rkUnknown, true},
        RequestCase{"UnknownKeyword", "HELLO", rkUnknown, true}),
    [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

TEST(TcpMessagesRequest, MessageFieldsArriveIntact) {
  const TServerRawInMessage request(
      "MESSAGE, 17 ,1,\"COM1,5551234,\"\"pw\"\"\",\"555 01\",\"Hello, \"\"world\"\" ,\"");
  ASSERT_FALSE(request.IsWrongFormat());
  EXPECT_EQ(request.GetClientRecordID(), 17);
  EXPECT_EQ(request.GetCarrierType(), CT_TAP);
  EXPECT_EQ(request.GetCarrierData(), "COM1,5551234,\"pw\"");
  EXPECT_EQ(request.GetPagerID(), "555 01");
  EXPECT_EQ(request.GetMessageText(), "Hello, \"world\" ,");
}

TEST(TcpMessagesRequest, UnknownCarrierTypeIsKeptAsNumber) {
  const TServerRawInMessage request("MESSAGE,1,99,s,p,t");
  EXPECT_FALSE(request.IsWrongFormat());
  EXPECT_EQ(static_cast<int32_t>(request.GetCarrierType()), 99);
}

TEST(TcpMessagesRequest, ClientGUIDCutTo38Characters) {
  const std::string guid = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
  ASSERT_EQ(guid.size(), 38u);
  EXPECT_EQ(TServerRawInMessage("LOGON," + guid + "XYZ,d").GetClientGUID(), guid);
  EXPECT_EQ(TServerRawInMessage("LOGON,short,d").GetClientGUID(), "short");
}

TEST(TcpMessagesRequest, WrongFormatMessageOnlyAnsweredWithRecordID) {
  const TServerRawInMessage nonNumericType("MESSAGE,17,TAP,s,p,t");
  ASSERT_TRUE(nonNumericType.HasClientRecordID());
  EXPECT_EQ(nonNumericType.GetClientRecordID(), 17);
  EXPECT_THROW(nonNumericType.GetCarrierType(), std::logic_error);

  const TServerRawInMessage fourFields("MESSAGE,17,1,s");
  ASSERT_TRUE(fourFields.HasClientRecordID());
  EXPECT_EQ(fourFields.GetClientRecordID(), 17);
  EXPECT_THROW(fourFields.GetPagerID(), std::logic_error);

  for (const char* body : {"MESSAGE", "MESSAGE,abc,1,s,p,t", "MESSAGE,,1,s,p,t"}) {
    const TServerRawInMessage request(body);
    EXPECT_FALSE(request.HasClientRecordID()) << body;
    EXPECT_THROW(request.GetClientRecordID(), std::logic_error) << body;
  }
}

// Calls each accessor on a request of the other kind and checks the error names it.
TEST(TcpMessagesRequest, AccessorForWrongKindNamesItself) {
  const TServerRawInMessage logon("LOGON,{G},d");
  const TServerRawInMessage message("MESSAGE,1,1,s,p,t");
  const TServerRawInMessage unknown("HELLO,1,1,s,p,t");
  struct Call {
    const char* text;
    std::function<void(const TServerRawInMessage&)> call;
    const TServerRawInMessage* wrongKind;
  };
  const std::vector<Call> calls = {
      {"TServerRawInMessage.GetClientGUID()", [](auto& r) { r.GetClientGUID(); }, &message},
      {"TServerRawInMessage.GetClientRecordID()", [](auto& r) { r.GetClientRecordID(); }, &logon},
      {"TServerRawInMessage.GetCarrierType()", [](auto& r) { r.GetCarrierType(); }, &logon},
      {"TServerRawInMessage.GetCarrierData()", [](auto& r) { r.GetCarrierData(); }, &unknown},
      {"TServerRawInMessage.GetPagerID()", [](auto& r) { r.GetPagerID(); }, &logon},
      {"TServerRawInMessage.GetMessageText()", [](auto& r) { r.GetMessageText(); }, &unknown},
  };
  for (const Call& c : calls) {
    try {
      c.call(*c.wrongKind);
      ADD_FAILURE() << c.text << " did not refuse";
    } catch (const std::logic_error& error) {
      EXPECT_STREQ(error.what(), c.text);
    }
  }
}

TEST(TcpMessagesReply, RefusesNumbersThatAreNoKind) {
  for (int kind : {0, 7, 9, 255}) {
    try {
      TServerReplyMessage reply(static_cast<uint8_t>(kind));
      ADD_FAILURE() << "kind " << kind << " accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "From : TServerReplyMessage.Create() - unknown MessageKind.");
    }
  }
  for (int kind : {1, 2, 3, 4, 5, 6, 8}) {
    EXPECT_NO_THROW(TServerReplyMessage(static_cast<uint8_t>(kind))) << kind;
  }
}

struct ReplyCase {
  const char* name;
  std::shared_ptr<TServerReplyMessage> reply;
  std::string frame;
  int32_t recordID;
};

class ReplyTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, FrameAndRecordID) {
  EXPECT_EQ(GetParam().reply->AsText(), GetParam().frame);
  EXPECT_EQ(GetParam().reply->RecordID(), GetParam().recordID);
}

std::shared_ptr<TServerReplyMessage> ReplyWithData(uint8_t kind, std::string data) {
  auto reply = std::make_shared<TServerReplyMessage>(kind);
  reply->SetData(std::move(data));
  return reply;
}

INSTANTIATE_TEST_SUITE_P(
    TcpMessages, ReplyTest,
    testing::Values(
        ReplyCase{"LogonOk", MakeLogonOkReply(), "\r\n\rLOGON_OK\r\v\r", 0},
        ReplyCase{"Accepted", MakeMessageAcceptedReply(17, 4711),
                  "\r\n\rMESSAGE_ACCEPTED,\"17,4711\"\r\v\r", 4711},
        ReplyCase{"AcceptError", MakeMessageAcceptErrorReply(17),
                  "\r\n\rMESSAGE_ACCEPT_ERROR,\"17,1,Formatting Error\"\r\v\r", 0},
        ReplyCase{"Sent", MakeMessageSentReply(17, 4711, 900),
                  "\r\n\rMESSAGE_SENT,\"17,4711\"\r\v\r", 900},
        ReplyCase{"SendError", MakeMessageSendErrorReply(17, MSE_NO_CONNECTION, 901),
                  "\r\n\rMESSAGE_SEND_ERROR,\"17,3, Error Sending this Message.\"\r\v\r", 901},
        ReplyCase{"Broadcast", MakeBroadcastReply("hi"),
                  "\r\n\rBROADCAST_MESSAGE,\"hi\"\r\v\r", 0},
        ReplyCase{"EmptyDataStillWritten", ReplyWithData(MK_BROADCAST_MESSAGE, ""),
                  "\r\n\rBROADCAST_MESSAGE,\"\"\r\v\r", 0},
        ReplyCase{"QuoteInDataNotEscaped", ReplyWithData(MK_BROADCAST_MESSAGE, "say \"x\""),
                  "\r\n\rBROADCAST_MESSAGE,\"say \"x\"\"\r\v\r", 0}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

TEST(TcpMessagesReply, AcceptedCarriesClientRecordIDOthersDoNot) {
  EXPECT_EQ(MakeMessageAcceptedReply(17, 4711)->ClientRecordID(), 17);
  EXPECT_EQ(MakeMessageAcceptedReply(17, 4711)->MessageKind(), MK_MESSAGE_ACCEPTED);
  EXPECT_EQ(MakeMessageSentReply(17, 4711, 900)->ClientRecordID(), 0);
  EXPECT_FALSE(MakeLogonOkReply()->HasData());
}

TEST(TcpMessagesReply, LogonDeniedFrame) {
  EXPECT_EQ(LogonDeniedFrame(), "\r\n\rLOGON_DENIED,4,\"Wrong LogOn Message Format\"\r\v\r");
}

TEST(TcpMessagesBroadcast, DataText) {
  EXPECT_EQ(BroadcastDataText("box", "10.0.0.5", 215, "Server stopping"),
            "From VoxmitServer (Host: box, IP: 10.0.0.5, Port: 215) : Server stopping");
  EXPECT_EQ(BroadcastDataText("", "", -1, ""), "From VoxmitServer (Host: , IP: , Port: -1) : ");
}

TEST(TcpMessagesBroadcast, ServerHostIPIsEmptyOrDottedIPv4AndStable) {
  const std::string& ip = ServerHostIP();
  EXPECT_TRUE(ip.empty() || std::regex_match(ip, std::regex(R"(\d{1,3}(\.\d{1,3}){3})"))) << ip;
  EXPECT_EQ(&ServerHostIP(), &ip);
  EXPECT_EQ(BroadcastDataText("h", 1, "n"), BroadcastDataText("h", ip, 1, "n"));
}

TEST(TcpMessagesInput, NormalMessageCutsGUIDAndTravelsAsInputMessage) {
  std::shared_ptr<TServerInputMessage> input = std::make_shared<TServerNormalInputMessage>(
      TNormalInputFields{.ClientGUID = "{01234567-89AB-CDEF-0123-456789ABCDEF}-tail",
                         .CarrierID = 3,
                         .PagerID = "555",
                         .MessageText = "text",
                         .ClientRecordID = 17,
                         .CarrierType = CT_SNPP});
  auto normal = std::dynamic_pointer_cast<TServerNormalInputMessage>(input);
  ASSERT_NE(normal, nullptr);
  EXPECT_EQ(normal->ClientGUID(), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
  EXPECT_EQ(normal->RecordID(), 0);
  normal->SetRecordID(4711);
  EXPECT_EQ(input->RecordID(), 4711);
  EXPECT_EQ(std::dynamic_pointer_cast<TServerUnsentInputMessage>(input), nullptr);

  const TServerUnsentInputMessage unsent(900, MK_MESSAGE_SENT);
  EXPECT_EQ(unsent.RecordID(), 900);
  EXPECT_EQ(unsent.MessageKind(), MK_MESSAGE_SENT);
}

TEST(TcpMessagesLimit, PartialFrameBeyondOneMebibyteIsDropped) {
  std::string buffer = S + std::string(MaxPendingInput - S.size(), 'x');
  TRawInMessageList list;
  TExtractResult result = ExtractFrames(buffer, list);
  EXPECT_FALSE(result.Overflow) << "exactly the limit is still allowed";
  EXPECT_EQ(buffer.size(), MaxPendingInput);

  buffer += "y";
  result = ExtractFrames(buffer, list);
  EXPECT_TRUE(result.Overflow);
  EXPECT_FALSE(result.FoundFrames);
  EXPECT_TRUE(buffer.empty());
  EXPECT_TRUE(list.empty());
}

TEST(TcpMessagesLimit, FramesBeforeTheOverflowAreStillCut) {
  std::string buffer = S + "LOGON,a,b" + E + S + std::string(MaxPendingInput, 'x');
  TRawInMessageList list;
  const TExtractResult result = ExtractFrames(buffer, list);
  EXPECT_TRUE(result.Overflow);
  EXPECT_TRUE(result.FoundFrames);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].RequestKind(), rkLogon);
}

TEST(TcpMessagesLimit, LargeJunkAndLargeWholeFramesAreNoOverflow) {
  std::string junk(2 * MaxPendingInput, 'j');
  TRawInMessageList list;
  EXPECT_FALSE(ExtractFrames(junk, list).Overflow);
  EXPECT_TRUE(junk.empty());

  // An automation client hands over whole frames at once: their size is not limited.
  const std::string text(2 * MaxPendingInput, 't');
  std::string whole = S + "MESSAGE,1,1,s,p," + text + E;
  const TExtractResult result = ExtractFrames(whole, list);
  EXPECT_FALSE(result.Overflow);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].GetMessageText(), text);
}

// A client on a loopback connection writes frames in awkward pieces; the receiving side reads
// as the connection thread does (chunks of up to 2048 bytes) and cuts the frames.
TEST(TcpMessagesLoopback, FramesWrittenInPiecesArriveWhole) {
  Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
  const std::string text(5000, 'm');
  const std::string stream = "garbage" + S + "LOGON,{G},\"a client\"" + E + S +
                             "MESSAGE,17,1,\"s,1\",555,\"" + text + "\"" + E;
  std::thread client([&] {
    Poco::Net::StreamSocket socket(listener.address());
    socket.setNoDelay(true);
    for (size_t pos = 0, piece = 1; pos < stream.size(); pos += piece, piece = piece * 3 + 1) {
      const std::string part = stream.substr(pos, piece);
      socket.sendBytes(part.data(), static_cast<int>(part.size()));
    }
    socket.shutdownSend();
  });
  Poco::Net::StreamSocket server = listener.acceptConnection();
  server.setReceiveTimeout(Poco::Timespan(10, 0));
  std::string pending;
  TRawInMessageList requests;
  char chunk[2048];
  const bool got = test::WaitUntil([&] {
    const int n = server.receiveBytes(chunk, sizeof chunk);
    if (n > 0) {
      pending.append(chunk, static_cast<size_t>(n));
      ExtractFrames(pending, requests);
    }
    return requests.size() == 2 || n <= 0;
  });
  client.join();
  ASSERT_TRUE(got);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].GetClientGUID(), "{G}");
  EXPECT_FALSE(requests[1].IsWrongFormat());
  EXPECT_EQ(requests[1].GetCarrierData(), "s,1");
  EXPECT_EQ(requests[1].GetMessageText(), text);
}

} // namespace
} // namespace voxmit
