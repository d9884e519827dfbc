#pragma once
// Enumerations shared across the server: carrier types, logon, acceptance and send results,
// and what carrier channels report. Their values travel on the wire, live in the database and
// cross the automation interface, so they are fixed and must never be renumbered.
// Plain constants: usable from any thread.

#include <cstdint>

namespace voxmit {

enum TCarrierType : int32_t {
  CT_TAP = 1,
  CT_PACNET = 2,
  CT_DIRECT_TAP = 3,
  CT_GSM_SMS = 4,
  CT_SMTP = 5,
  CT_SNPP = 6,
  CT_WCTP = 7,
  CT_MSG = 8,
  CT_ACU = 9,
  CT_ACUGK = 10
};

enum TLogonError : int32_t {
  LE_OK = 0,
  LE_WRONG_CLIENT_ID = 1,
  LE_WRONG_PASSWORD = 2,
  LE_ALREADY_LOGGED = 3,
  LE_WRONG_MESSAGE_FORMAT = 4,
  LE_EXCEEDS_CONNECTIONS_LIMIT = 5,
  LE_SERVER_NOT_ACTIVE = 6,
  LE_WRONG_CLIENT_ID_FORMAT = 7
};

enum TMessageAcceptError : int32_t {
  MAE_OK = 0,
  MAE_WRONG_FORMAT = 1,
  MAE_WRONG_CARRIER_SETTINGS_FORMAT = 2,
  MAE_WRONG_PASSWORD = 3,
  MAE_NOT_LOGGED_ON = 4
};

enum TMessageSendError : int32_t {
  MSE_OK = 0,
  MSE_ABANDONED = 1,
  MSE_RETRIES_EXCEEDED = 2,
  MSE_NO_CONNECTION = 3,
  MSE_NO_LOGON_REQUEST = 4,
  MSE_LOGON_ERROR = 5,
  MSE_NO_PORT = 6,
  MSE_NO_DEVICE = 7,
  MSE_NO_DEVICE_FOR_CARRIER_TYPE = 8
};

// The server's internal number for a reply kind (TServerReplyMessage). It does not travel on
// the wire, but undelivered replies carry it back to the store. 0 and 7 are not kinds.
enum TReplyMessageKind : uint8_t {
  MK_LOGON_OK = 1,
  MK_LOGON_DENIED = 2,
  MK_MESSAGE_ACCEPTED = 3,
  MK_MESSAGE_ACCEPT_ERROR = 4,
  MK_MESSAGE_SENT = 5,
  MK_MESSAGE_SEND_ERROR = 6,
  MK_BROADCAST_MESSAGE = 8
};

// What a carrier channel reports for one message send and for one connection attempt.
enum TChannelSendResult : int32_t {
  srSent = 0,
  srRetry = 1,
  srAbandon = 2,
  srProviderHangUp = 3,
  srNoAnswer = 4
};

enum TChannelConnectResult : int32_t {
  crConnected = 0,
  crNoConnection = 1,
  crNoLogonRequest = 2,
  crLogonError = 3
};

} // namespace voxmit
