// A session's input handling against the cuts TCP may make: the same stream of frames and
// junk, fed the way a connection thread feeds it (one pending buffer, ProcessInput after each
// read), must give the same requests in the same order wherever the reads end.

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clients/BaseClient.h"
#include "clients/TcpMessages.h"

namespace voxmit::test {
namespace {

const std::string S = "\r\n\r";
const std::string E = "\r\v\r";
const std::string kGuid = "{11111111-2222-3333-4444-555555555555}";

std::string Frame(const std::string& body) { return S + body + E; }
std::string Logon() { return Frame("LOGON," + kGuid + ",\"input test\""); }
std::string Message(int id, const std::string& text) {
  return Frame("MESSAGE," + std::to_string(id) + ",1,\"555,8N1\",555," + text);
}

// What a session made of the requests it was given.
struct Handled {
  int logons = 0;
  std::vector<std::string> accepted;  // "id text" of each message put on the input queue
  std::vector<int> refused;           // record IDs answered with MESSAGE_ACCEPT_ERROR
  std::string rest;                   // pending input left at the end
  bool operator==(const Handled&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Handled& h) {
  out << "logons " << h.logons << ", accepted {";
  for (const auto& a : h.accepted) out << " " << testing::PrintToString(a);
  out << " }, refused {";
  for (int r : h.refused) out << " " << r;
  return out << " }, rest " << testing::PrintToString(h.rest);
}

// A session that writes nowhere and counts its logon and refusals.
class TInputSession : public TBaseClient {
public:
  using TBaseClient::TBaseClient;
  ~TInputSession() override { Logoff(); }

  int32_t SendText(const std::string& text) override { return static_cast<int32_t>(text.size()); }
  void Disconnect() override { SetClosing(); }
  void DoLogonSuccess() override { ++handled.logons; }
  void DoMessageAcceptError(int32_t id, TMessageAcceptError) override {
    handled.refused.push_back(id);
  }

  Handled handled;
};

// Feeds the stream in pieces ending at the given cut positions to a fresh session, as one
// connection's reads.
Handled Feed(const std::string& stream, std::vector<size_t> cuts) {
  auto clients = std::make_shared<TClientsList>();
  auto input = std::make_shared<TInputMessageQueue>();
  auto session =
      std::make_shared<TInputSession>(TSessionContext{.Clients = clients,
                                                      .Carriers = std::make_shared<TCarriersList>(),
                                                      .Input = input,
                                                      .Data = nullptr});
  std::string pending;
  cuts.push_back(stream.size());
  size_t from = 0;
  for (size_t cut : cuts) {
    pending.append(stream, from, cut - from);
    from = cut;
    session->ProcessInput(pending);
  }
  session->Logoff();
  Handled handled = session->handled;
  handled.rest = pending;
  while (auto item = input->Pop()) {
    auto message = std::dynamic_pointer_cast<TServerNormalInputMessage>(item);
    if (message)
      handled.accepted.push_back(std::to_string(message->ClientRecordID()) + " " +
                                 message->MessageText());
  }
  return handled;
}

struct InputCase {
  const char* name;
  std::string stream;
  Handled expected;
};

void PrintTo(const InputCase& c, std::ostream* out) { *out << c.name; }

class SessionInput : public testing::TestWithParam<InputCase> {};

TEST_P(SessionInput, WholeStream) { EXPECT_EQ(Feed(GetParam().stream, {}), GetParam().expected); }

TEST_P(SessionInput, EveryTwoPieceSplit) {
  const std::string& stream = GetParam().stream;
  for (size_t cut = 1; cut < stream.size(); ++cut)
    EXPECT_EQ(Feed(stream, {cut}), GetParam().expected) << "cut after byte " << cut;
}

TEST_P(SessionInput, OneByteAtATime) {
  const std::string& stream = GetParam().stream;
  std::vector<size_t> cuts;
  for (size_t cut = 1; cut < stream.size(); ++cut) cuts.push_back(cut);
  EXPECT_EQ(Feed(stream, cuts), GetParam().expected);
}

TEST_P(SessionInput, RandomPieces) {
  const std::string& stream = GetParam().stream;
  std::mt19937 random(20240611);
  for (int round = 0; round < 200; ++round) {
    std::uniform_int_distribution<size_t> piece(1, round % 2 ? 8 : 40);
    std::vector<size_t> cuts;
    for (size_t cut = piece(random); cut < stream.size(); cut += piece(random))
      cuts.push_back(cut);
    std::string shown;
    for (size_t cut : cuts) shown += " " + std::to_string(cut);
    EXPECT_EQ(Feed(stream, cuts), GetParam().expected) << "cuts after bytes" << shown;
  }
}

INSTANTIATE_TEST_SUITE_P(
    ClientSessions, SessionInput,
    testing::Values(
        InputCase{"FramesBackToBack",
                  Logon() + Message(1, "one") + Message(2, "two") + Message(3, "three") +
                      Message(4, "four"),
                  {1, {"1 one", "2 two", "3 three", "4 four"}, {}, ""}},
        // Junk made of marker pieces: a lone CR, CR LF right before a start marker, LF CR
        // after an end marker (whose last CR must not start a frame), a stray end marker.
        InputCase{"JunkBetweenFrames",
                  "junk\r" + Logon() + "\r\n" + Message(1, "one") + "\n\rjunk" +
                      Message(2, "two") + "\r\v\rx\r\r" + Message(3, "three") +
                      "\r\n\n\r\n" + Message(4, "four") + "tail",
                  {1, {"1 one", "2 two", "3 three", "4 four"}, {}, ""}},
        // Requests the session ignores or refuses take their turn without disturbing the
        // others; a start marker inside a quoted text is text.
        InputCase{"IgnoredAndRefusedRequests",
                  Message(9, "before-logon") + Logon() + Frame("HELLO,1") + Logon() +
                      Message(1, "\"a " + S + " b\"") + Frame("MESSAGE,7,1,x") + "\r" +
                      Frame("") + Message(2, "\"x,\"\"y\"\"\"") + "\r\n",
                  {1, {"1 a " + S + " b", "2 x,\"y\""}, {7}, "\r\n"}}),
    [](const testing::TestParamInfo<InputCase>& info) { return info.param.name; });

} // namespace
} // namespace voxmit::test
