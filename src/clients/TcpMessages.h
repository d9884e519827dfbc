#pragma once
// The client wire protocol: frames, the requests a client sends, the replies the server
// writes, and the message objects that carry accepted messages and undelivered replies to the
// new-message thread.
//
// A frame is FrameStart, a comma-text body (common/CommaText.h), FrameEnd; bytes are 8-bit
// text with no encoding applied. Requests are LOGON and MESSAGE; replies are built as
// TServerReplyMessage and written with AsText.
//
// Threads: the functions are pure and callable from any thread (ServerHostIP included). No
// message object is locked: each is filled by one thread, then handed on through a shared
// container (TReplyMessageList, TInputMessageQueue) and not touched by its maker again.
//
// An input message names its session by ClientGUID rather than by reference: the new-message
// thread looks the session up in the clients list when the message is stored, so a session
// that has gone in the meantime is simply not found (the message is stored and its result is
// reported at the client's next logon), and no message can keep a dead session alive.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/ServerTypes.h"

namespace voxmit {

inline constexpr std::string_view FrameStart{"\r\n\r", 3};
inline constexpr std::string_view FrameEnd{"\r\v\r", 3};

// Pending input that may wait for its end marker. More than this without a complete frame
// means a broken or hostile peer: ExtractFrames drops the input and the session closes the
// connection. A single request larger than this cannot arrive over TCP.
inline constexpr size_t MaxPendingInput = 1024 * 1024;

// Only this many leading characters of a client GUID identify the client ("{8-4-4-4-12}").
inline constexpr size_t ClientGUIDLength = 38;

enum TRequestKind : int32_t { rkUnknown = 0, rkLogon = 1, rkMessage = 2 };

// One request, parsed and validated when it is created. The accessors are for requests of
// their kind only; any other use throws std::logic_error naming the accessor. A text accessor
// on a wrongly formatted request that lacks its field throws the same way.
class TServerRawInMessage {
public:
  explicit TServerRawInMessage(std::string_view body);

  const std::vector<std::string>& Fields() const { return fields_; }
  bool IsWrongFormat() const { return wrongFormat_; }
  TRequestKind RequestKind() const { return kind_; }

  // Logon: field 1 cut to ClientGUIDLength characters.
  std::string GetClientGUID() const;

  // Message: whether field 1 exists and is a 32-bit integer. A wrongly formatted MESSAGE
  // can only be answered when it is.
  bool HasClientRecordID() const;
  // Message: field 1 as an integer; throws std::logic_error when HasClientRecordID is false.
  int32_t GetClientRecordID() const;
  // Message: field 2 as an integer, which need not be a known carrier type. Throws like
  // GetClientRecordID when it is missing or not an integer.
  TCarrierType GetCarrierType() const;
  const std::string& GetCarrierData() const;
  const std::string& GetPagerID() const;
  const std::string& GetMessageText() const;

private:
  void Require(TRequestKind kind, const char* accessor) const;
  const std::string& Field(size_t index, TRequestKind kind, const char* accessor) const;
  int32_t IntegerField(size_t index, const char* accessor) const;

  std::vector<std::string> fields_;
  TRequestKind kind_ = rkUnknown;
  bool wrongFormat_ = true;
};

using TRawInMessageList = std::vector<TServerRawInMessage>;

struct TExtractResult {
  bool FoundFrames = false; // at least one request was appended
  bool Overflow = false;    // more than MaxPendingInput bytes without a frame; input dropped
};

// Cuts every complete frame out of buffer, in order, and appends its request to requests.
// Bytes before a start marker are dropped; a buffer without a start marker is emptied whole
// (so a start marker split across two reads loses its frame); a partial frame stays for the
// next read. An end marker counts only after its start marker, never overlapping it.
// On overflow the buffer is emptied, a log line is written and the caller must close the
// connection. Called on the session's connection thread.
TExtractResult ExtractFrames(std::string& buffer, TRawInMessageList& requests);

// Whether text is a 32-bit decimal integer with an optional sign, nothing else.
bool TryParseInt32(std::string_view text, int32_t& value);

// One reply waiting in a session's reply list.
class TServerReplyMessage {
public:
  // Throws std::invalid_argument "From : TServerReplyMessage.Create() - unknown MessageKind."
  // for a value that is not a reply kind (0, 7, above 8).
  explicit TServerReplyMessage(uint8_t messageKind);

  TReplyMessageKind MessageKind() const { return kind_; }
  const std::string& Keyword() const;

  // Setting the data, even to an empty text, makes the frame carry it.
  void SetData(std::string data);
  const std::string& Data() const { return data_; }
  bool HasData() const { return hasData_; }

  // The row the reply reports on: Messages for MESSAGE_ACCEPTED, SentMessages for
  // MESSAGE_SENT and MESSAGE_SEND_ERROR; 0 otherwise.
  int32_t RecordID() const { return recordID_; }
  void SetRecordID(int32_t recordID) { recordID_ = recordID; }
  // Set for MESSAGE_ACCEPTED only.
  int32_t ClientRecordID() const { return clientRecordID_; }
  void SetClientRecordID(int32_t clientRecordID) { clientRecordID_ = clientRecordID; }

  // The frame to write: the keyword, then, when data was set, a comma and the data in double
  // quotes as it stands (inner double quotes are not doubled).
  std::string AsText() const;

private:
  TReplyMessageKind kind_;
  std::string data_;
  bool hasData_ = false;
  int32_t recordID_ = 0;
  int32_t clientRecordID_ = 0;
};

// The replies the server sends, with their data texts and record IDs filled in.
std::shared_ptr<TServerReplyMessage> MakeLogonOkReply();
std::shared_ptr<TServerReplyMessage> MakeMessageAcceptedReply(int32_t clientRecordID,
                                                              int32_t recordID);
std::shared_ptr<TServerReplyMessage> MakeMessageAcceptErrorReply(int32_t clientRecordID);
// sentRowID is the SentMessages row; serverRecordID the number the client got on acceptance.
std::shared_ptr<TServerReplyMessage> MakeMessageSentReply(int32_t clientRecordID,
                                                          int32_t serverRecordID,
                                                          int32_t sentRowID);
std::shared_ptr<TServerReplyMessage> MakeMessageSendErrorReply(int32_t clientRecordID,
                                                               TMessageSendError error,
                                                               int32_t sentRowID);
std::shared_ptr<TServerReplyMessage> MakeBroadcastReply(std::string data);

// The frame that refuses a wrongly formatted LOGON; written directly, not as a reply object.
std::string LogonDeniedFrame();

// The first IPv4 address the host's own name resolves to, dotted decimal; empty when it does
// not resolve. Resolved once, on the first call (which may block on the resolver): the start
// sequence calls it so that later callers do not wait.
const std::string& ServerHostIP();

// The data of a BROADCAST_MESSAGE: "From VoxmitServer (Host: %s, IP: %s, Port: %d) : " and
// the notice. hostName and port are the listener's (empty and -1 when it is not open).
std::string BroadcastDataText(const std::string& hostName, const std::string& hostIP,
                              int32_t port, const std::string& notice);
std::string BroadcastDataText(const std::string& hostName, int32_t port,
                              const std::string& notice);

// What travels on the input message queue to the new-message thread.
class TServerInputMessage {
public:
  explicit TServerInputMessage(int32_t recordID) : recordID_(recordID) {}
  virtual ~TServerInputMessage() = default;

  int32_t RecordID() const { return recordID_; }
  void SetRecordID(int32_t recordID) { recordID_ = recordID; }

private:
  int32_t recordID_;
};

// What an accepted message carries, given by name: {.ClientGUID = guid, .CarrierID = 3, ...}.
struct TNormalInputFields {
  std::string ClientGUID{};  // cut to ClientGUIDLength characters by the message
  int32_t CarrierID = 0;
  std::string PagerID{};
  std::string MessageText{};
  int32_t ClientRecordID = 0;
  TCarrierType CarrierType = CT_TAP;
};

// An accepted message on its way to the database; the store fills in RecordID.
class TServerNormalInputMessage : public TServerInputMessage {
public:
  explicit TServerNormalInputMessage(TNormalInputFields fields);

  const std::string& ClientGUID() const { return clientGUID_; }
  int32_t CarrierID() const { return carrierID_; }
  const std::string& PagerID() const { return pagerID_; }
  const std::string& MessageText() const { return messageText_; }
  int32_t ClientRecordID() const { return clientRecordID_; }
  TCarrierType CarrierType() const { return carrierType_; }

private:
  std::string clientGUID_;
  int32_t carrierID_;
  std::string pagerID_;
  std::string messageText_;
  int32_t clientRecordID_;
  TCarrierType carrierType_;
};

// A reply a closing session could not deliver, on its way back to the database.
class TServerUnsentInputMessage : public TServerInputMessage {
public:
  TServerUnsentInputMessage(int32_t recordID, TReplyMessageKind messageKind)
      : TServerInputMessage(recordID), messageKind_(messageKind) {}

  TReplyMessageKind MessageKind() const { return messageKind_; }

private:
  TReplyMessageKind messageKind_;
};

} // namespace voxmit
