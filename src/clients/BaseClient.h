#pragma once
// A client session: the server's side of one client. It turns the client's requests into a
// logon and accepted messages, keeps the replies waiting to be written, and owns the two
// threads that write them (TNClientSendThread) and report send results
// (TNClientConfirmationsThread, ClientConfirmations.h). TTcpClient (TcpClient.h) serves a TCP
// connection; the automation objects derive their own sessions.
//
// Threads:
//  - ProcessInput and Logoff run on the session's own thread (the TCP connection thread, or
//    the automation object's caller), one call at a time.
//  - QueueReply, AppendReply, Disconnect, RequeryConfirmations and the getters are safe from
//    any thread that holds the session (through the clients list's lock, or as its owner).
//  - The Do* hooks run on whichever thread reports the fact: the connection thread (logon,
//    refused message), the send thread (accepted), the confirmation thread (send results).
//
// Locks: the clients list's lock guards membership and is held while a session found in it is
// used; the reply list's own lock guards its entries. Order: clients list, then a session's
// reply list, then the input message queue. Disconnect takes no list lock.
//
// Ownership: a session is held through std::shared_ptr by its connection thread (or automation
// object) and, while logged on, by the clients list (and it holds the list: Logoff breaks the
// cycle). It owns its reply list and its two threads; Logoff ends them and waits for them.
// The threads call the virtual SendText and hooks, so a descendant calls Logoff in its own
// destructor, while its part of the object still exists. What it works with comes from the
// server run that created it (TSessionContext); the containers stay alive while it holds them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "clients/TcpMessages.h"
#include "common/BaseContainers.h"
#include "common/ServerTypes.h"
#include "platform/TNThread.h"

namespace voxmit {

class TDMData;
class TNClientConfirmationsThread;
class TNClientSendThread;

// What a session works with: the containers of the server run it belongs to and the database
// module. Any of them may be missing (in a unit test): without the clients list a session
// cannot log on, without the carriers list or the input queue it accepts no message, without
// the database it reports no send results.
struct TSessionContext {
  std::shared_ptr<TClientsList> Clients;
  std::shared_ptr<TCarriersList> Carriers;
  std::shared_ptr<TInputMessageQueue> Input;
  TDMData* Data = nullptr;
};

class TBaseClient : public std::enable_shared_from_this<TBaseClient> {
public:
  explicit TBaseClient(TSessionContext context);
  virtual ~TBaseClient();
  TBaseClient(const TBaseClient&) = delete;
  TBaseClient& operator=(const TBaseClient&) = delete;

  // Writes text to the client; returns how many characters were taken (0 or less, or an
  // exception, is a failed write).
  virtual int32_t SendText(const std::string& text) = 0;
  // True when the client reads one byte stream, so that replies queued together may go out in
  // one SendText; false when each SendText reaches the client as one event of its own.
  virtual bool StreamsReplies() const { return false; }
  virtual void DoLogonSuccess() {}
  virtual void DoLogonError(TLogonError /*error*/) {}
  virtual void DoMessageAcceptSuccess(int32_t /*clientRecordID*/) {}
  virtual void DoMessageAcceptError(int32_t /*clientRecordID*/, TMessageAcceptError /*error*/) {}
  virtual void DoMessageSendSuccess(int32_t /*clientRecordID*/) {}
  virtual void DoMessageSendError(int32_t /*clientRecordID*/, TMessageSendError /*error*/) {}
  // Asks the session to end: sets Closing and ends the connection. Takes no list lock.
  virtual void Disconnect() = 0;
  // Of all bytes written to the client so far (SendText), how many its side has acknowledged:
  // a reply whose bytes it never acknowledged may never have arrived. Without a way to know,
  // everything written counts as arrived. Callable until the connection is closed.
  virtual uint64_t BytesWritten() const { return 0; }
  virtual uint64_t BytesAcknowledged() const { return UINT64_MAX; }
  virtual std::string GetIpAddress() const { return {}; }
  virtual std::string GetHostName() const { return {}; }
  // How the client reaches the server, as the connections window shows it.
  virtual std::string ClientKind() const { return "TCP"; }

  // Cuts every complete frame out of buffer (updated in place) and handles the requests in
  // order. Input that overflows the frame limit disconnects the session.
  void ProcessInput(std::string& buffer);
  // Inserts a reply at the head of the reply list (accept results overtake what waits).
  // Does nothing before the logon created the list.
  void QueueReply(std::shared_ptr<TServerReplyMessage> reply);
  // Appends a reply at the tail (send results, notices).
  void AppendReply(std::shared_ptr<TServerReplyMessage> reply);
  // Leaves the clients list, ends the send and confirmation threads and sends every reply not
  // yet written, and every written one the client's side never acknowledged, back to the store
  // as undelivered (the client may then hear a result twice, never not at all). Idempotent.
  void Logoff();
  // The send thread wrote reply; its last byte is byte endOffset of the connection. Send
  // thread only.
  void NoteReplyWritten(const TServerReplyMessage& reply, uint64_t endOffset);
  // The write of reply failed part-way: it counts as never delivered. Send thread only.
  void NoteReplyLost(const TServerReplyMessage& reply);
  // Wakes the confirmation thread for an immediate pass (a send result was recorded).
  void RequeryConfirmations();

  // Set at logon, under the clients list's write lock; read under its lock or by the
  // session's own threads.
  const std::string& ClientGUID() const { return clientGUID_; }
  bool Closing() const { return closing_; }
  bool LoggedOn() const { return loggedOn_; }
  // The reply list, created at logon (nullptr before).
  TReplyMessageList* ReplyList() const { return replies_.get(); }
  // The server's input queue this session feeds (nullptr when there is none).
  TInputMessageQueue* InputQueue() const { return context_.Input.get(); }

protected:
  // For Disconnect overrides.
  void SetClosing() { closing_ = true; }

private:
  void HandleRequest(const TServerRawInMessage& request);
  void Logon(const TServerRawInMessage& request);
  void AcceptMessage(const TServerRawInMessage& request);
  int32_t CarrierFor(const TServerRawInMessage& request);
  void ReturnUndeliveredReplies();
  void ReturnUnacknowledgedReplies();

  // A written reply whose bytes the client's side may not have acknowledged yet; EndOffset
  // kLostReply for one whose write failed.
  static constexpr uint64_t kLostReply = UINT64_MAX;
  struct TInFlightReply {
    uint64_t EndOffset;
    int32_t RecordID;
    int32_t MessageKind;
  };

  const TSessionContext context_;

  std::string clientGUID_;
  std::unique_ptr<TReplyMessageList> replies_;
  std::unique_ptr<TNClientSendThread> sendThread_;
  std::unique_ptr<TNClientConfirmationsThread> confirmations_;
  std::atomic<bool> closing_{false};
  std::atomic<bool> loggedOn_{false};
  bool loggedOff_ = false;  // session's own thread only
  std::mutex inFlightMutex_;  // guards inFlight_ (send thread, then the logoff)
  std::deque<TInFlightReply> inFlight_;
};

// Writes the session's replies, head first, until terminated; the replies that wait together
// go out in one write when the client reads a byte stream (a logon's backlog of results costs
// one system call per batch, not one per reply). A failed write ends the thread
// and disconnects the session; the reply being written, like every written one the client's
// side never acknowledged, goes back to the store as undelivered at the logoff. Created by the
// logon, started by Resume, ended by Terminate and WaitFor (the session's thread) or by
// destruction.
class TNClientSendThread {
public:
  explicit TNClientSendThread(TBaseClient& client);
  TNClientSendThread(const TNClientSendThread&) = delete;
  TNClientSendThread& operator=(const TNClientSendThread&) = delete;

  void Resume();
  // Safe from any thread.
  void Terminate() { thread_.Terminate(); }
  void WaitFor() { thread_.WaitFor(); }

private:
  void Execute();
  // Takes the replies queued now, head first: all of them for a client that streams replies,
  // else the head alone.
  std::vector<std::shared_ptr<TServerReplyMessage>> TakeReplies(TReplyMessageList& replies);
  // Writes the replies in one piece; false when the write failed. Each reply written whole is
  // noted as written at its own end offset, the others as lost.
  bool WriteReplies(const std::vector<std::shared_ptr<TServerReplyMessage>>& batch);
  // Writes text until all of it is taken or a write fails; how many characters were taken.
  size_t Write(const std::string& text);

  TBaseClient& client_;
  TNThread thread_;  // last: the thread ends before the members it uses go
};

// The tray tip text for a number of logged-on sessions.
std::string ClientsCountText(int32_t count);

// Set by the connections window while it is open: list changes are then posted to the main
// loop as WM_CLIENTS_CHANGED.
inline std::atomic<bool> ConnectionsWindowOpen{false};

// Clients list operations. Add and remove take the list's write lock themselves and then show
// the count in the tray tip.
void AddClient(TClientsList& list, std::shared_ptr<TBaseClient> client);
void RemoveClient(TClientsList& list, const TBaseClient* client);
// The first session that is not closing whose ClientGUID equals the first 38 characters of
// guid (exact, case-sensitive), or nullptr. The caller holds the list's lock (read or write)
// while it uses the session. A session that was told to close is skipped: it is leaving, and
// what is meant for the client belongs to its newer session.
std::shared_ptr<TBaseClient> FindClientByGUID(const TClientsList& list, const std::string& guid);

// Where the notices say they come from: the listener's host name and port, known once the
// listener of the run is open.
struct TNoticeOrigin {
  std::string HostName;
  int32_t Port = -1;
};

// Appends a BROADCAST_MESSAGE with the notice to every session in the list, in list order,
// under the list's read lock. Any thread.
void BroadcastToClients(TClientsList& clients, const TNoticeOrigin& origin,
                        const std::string& notice);
// The same for the one session of the (trimmed) GUID; discarded when there is none.
void SendNoticeToClient(TClientsList& clients, const TNoticeOrigin& origin,
                        const std::string& clientGUID, const std::string& notice);
// Wakes the confirmation thread of the logged-on session of the GUID, if any (the send side
// calls it after recording a result). Any thread.
void WakeClientConfirmations(TClientsList& clients, const std::string& clientGUID);
// Asks every session in the list to disconnect, last to first, under the read lock.
void DisconnectAllClients(TClientsList& list);

} // namespace voxmit
