// Feeds arbitrary client input through frame cutting and request parsing, and arbitrary field
// lists through a comma-text join and split. Any broken invariant aborts.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "clients/TcpMessages.h"
#include "common/CommaText.h"
#include "host/LogFile.h"

// The overflow log line is of no interest here; the target links no log layer.
void voxmit::LogMessage(const std::string&) {}

namespace {

using namespace voxmit;

void Check(bool condition) {
  if (!condition) std::abort();
}

// A well-formed request must answer every accessor of its kind; a wrong kind must be refused.
void ExerciseRequest(const TServerRawInMessage& request) {
  const auto& fields = request.Fields();
  Check(request.RequestKind() != rkUnknown || request.IsWrongFormat());
  if (request.RequestKind() == rkLogon) {
    Check(!fields.empty() && fields[0] == "LOGON");
    if (!request.IsWrongFormat()) Check(request.GetClientGUID().size() <= ClientGUIDLength);
    try {
      request.GetPagerID();
      Check(false);
    } catch (const std::logic_error&) {
    }
  }
  if (request.RequestKind() == rkMessage) {
    Check(!fields.empty() && fields[0] == "MESSAGE");
    if (!request.IsWrongFormat()) {
      Check(request.HasClientRecordID());
      request.GetClientRecordID();
      request.GetCarrierType();
      Check(request.GetCarrierData() == fields[3] && request.GetMessageText() == fields[5]);
    } else if (request.HasClientRecordID()) {
      request.GetClientRecordID();
    }
  }
}

using TRequestFields = std::vector<std::vector<std::string>>;

// Cuts the input into reads whose sizes come from the input itself, as a socket might, and
// returns the fields of every request, in order.
TRequestFields FeedFrames(const std::string& input) {
  TRequestFields out;
  std::string pending;
  size_t pos = 0;
  size_t step = input.empty() ? 1 : static_cast<unsigned char>(input[0]) % 64 + 1;
  while (pos < input.size()) {
    pending.append(input, pos, step);
    pos += step;
    step = step * 7 % 61 + 1;
    TRawInMessageList requests;
    const TExtractResult result = ExtractFrames(pending, requests);
    Check(result.FoundFrames == !requests.empty());
    Check(pending.size() <= MaxPendingInput);
    // Left pending: nothing, an open frame, or what may begin a start marker (CR, CR LF).
    Check(pending.compare(0, FrameStart.size(), FrameStart) == 0 ||
          FrameStart.substr(0, pending.size()) == pending);
    Check(pending.find(FrameEnd, FrameStart.size()) == std::string::npos);
    for (const TServerRawInMessage& request : requests) {
      ExerciseRequest(request);
      out.push_back(request.Fields());
    }
  }
  return out;
}

// Where the reads end must not matter: the same requests as from the input in one piece.
void SameRequestsHoweverCut(const std::string& input) {
  if (input.size() > MaxPendingInput) return;  // pieces may overflow where the whole does not
  std::string whole = input;
  TRawInMessageList requests;
  ExtractFrames(whole, requests);
  TRequestFields expected;
  for (const TServerRawInMessage& request : requests) expected.push_back(request.Fields());
  Check(FeedFrames(input) == expected);
}

// Byte 0xFF separates fields, so any field content, quotes and controls included, is reached.
std::vector<std::string> FieldsOf(const std::string& input) {
  std::vector<std::string> fields;
  if (input.empty()) return fields;
  size_t start = 0;
  for (;;) {
    const size_t cut = input.find('\xff', start);
    fields.push_back(input.substr(start, cut - start));
    if (cut == std::string::npos) return fields;
    start = cut + 1;
  }
}

void RoundTrip(const std::string& input) {
  const std::vector<std::string> fields = FieldsOf(input);
  Check(SplitCommaText(JoinCommaText(fields)) == fields);
  // Whatever a split gives is itself a list that must survive a join.
  const std::vector<std::string> split = SplitCommaText(input);
  Check(SplitCommaText(JoinCommaText(split)) == split);
}

void ReplyFrame(const std::string& input) {
  auto reply = MakeBroadcastReply(input);
  const std::string frame = reply->AsText();
  Check(frame.size() == input.size() + FrameStart.size() + FrameEnd.size() +
                            reply->Keyword().size() + 3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  SameRequestsHoweverCut(input);
  RoundTrip(input);
  ReplyFrame(input);
  return 0;
}
