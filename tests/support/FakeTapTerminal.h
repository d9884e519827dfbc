#pragma once
// A fake TAP paging terminal, written from the published protocol. Behind a FakeModem it
// answers calls; attached straight to a PtyLine it is a direct-line terminal.
//
// Dialogue:
//   host CR                      -> "ID=" (again for every CR until a logon)
//   host ESC "PG1" password CR   -> accepted: banner lines (each + CR), ACK CR when
//                                   Options::ackLogon, then the go-ahead ESC "[p" CR;
//                                   refused (wrong password, other service): as scripted
//   host STX id CR text CR ETX c c c CR
//                                -> checksum and fields checked here; a bad block is answered
//                                   NAK CR, a good one as scripted (ACK CR by default)
//   host EOT CR                  -> ESC EOT CR, then the terminal hangs up
// Any answer may be preceded by message lines, as the published protocol allows (Options).
// The checksum is the sum of the bytes from STX through ETX, its low 12 bits sent as three
// characters 0x30 + nibble, high nibble first. In the text, SUB followed by c stands for the
// control character c - 0x40; a bare control character there makes the block bad.
//
// Threads: the line's thread runs the terminal (the FakeLinePeer operations). Every other
// public operation may be called from any thread. Records are updated before the reply that
// follows them is sent, so a test that has seen a reply sees its record.

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/PtyPair.h"

namespace voxmit::test {

// How the terminal answers one good block.
enum class TapBlockAnswer { Ack, Nak, Rs, EscEot, Silence };
// How the terminal answers a refused logon.
enum class TapLogonRefusal { Nak, EscEot, Silence };

class FakeTapTerminal : public FakeLinePeer {
public:
  struct Options {
    std::optional<std::string> password;  // nullopt: any password is accepted
    std::vector<std::string> banner;      // lines before the logon answer, e.g. "110 1.8"
    bool ackLogon = true;                 // ACK CR before the go-ahead
    bool goAhead = true;                  // false: accepts the logon but never says go ahead
    TapLogonRefusal refusal = TapLogonRefusal::Nak;
    bool sevenBitChecksum = false;  // add 7-bit values, as the published protocol says
    // Message lines the published protocol allows before an answer, each sent + CR:
    // before every block answer (e.g. "211 Page(s) Sent Successful") and before the logoff's
    // ESC EOT (e.g. "115 Goodbye").
    std::vector<std::string> blockMessage;
    std::vector<std::string> logoffMessage;
  };

  struct Page {
    std::string pagerId;
    std::string text;  // with the SUB escapes undone
    bool operator==(const Page&) const = default;
  };

  struct Logon {
    std::string service;  // "PG1"
    std::string password;
    bool accepted;
  };

  struct Block {
    std::string bytes;  // as received, STX to the final CR
    std::optional<Page> page;  // when it was well formed
    bool checksumOk;
    std::optional<TapBlockAnswer> answer;  // nullopt: NAKed as bad
  };

  FakeTapTerminal();
  explicit FakeTapTerminal(Options options);
  FakeTapTerminal(const FakeTapTerminal&) = delete;
  FakeTapTerminal& operator=(const FakeTapTerminal&) = delete;

  // Script: answers for the next good blocks, in order; after them the default answer.
  void QueueBlockAnswer(TapBlockAnswer answer);
  void SetDefaultBlockAnswer(TapBlockAnswer answer);

  // Records.
  std::vector<Page> Pages() const;  // pages answered ACK, in order
  std::vector<Block> Blocks() const;  // every complete block
  std::vector<Block> NakedBlocks() const;  // bad blocks and blocks answered NAK
  std::vector<Logon> Logons() const;
  int IdPrompts() const;
  int Logoffs() const;
  bool LoggedOn() const;  // between the go-ahead and the logoff or hang-up

  // FakeLinePeer, on the line's thread.
  void OnConnect(FakeLine& line) override;
  void OnReceive(std::string_view bytes, FakeLine& line) override;
  void OnDisconnect() override;

private:
  enum class State { Idle, AwaitLogon, ReadingLogon, Transaction, ReadingBlock, AfterEot };

  void Byte(char c, FakeLine& line);
  void IdleByte(char c, FakeLine& line);
  void LogonByte(char c, FakeLine& line);
  void FinishLogon(FakeLine& line);
  void TransactionByte(char c, FakeLine& line);
  void BlockByte(char c, FakeLine& line);
  void FinishBlock(FakeLine& line);
  std::optional<Page> ParseBlock(const std::string& bytes, bool& checksumOk) const;
  void AnswerBlock(Block block, FakeLine& line);
  void Logoff(FakeLine& line);
  // Sends the last reply and drops the call.
  void HangUp(FakeLine& line, const std::string& lastWords);
  void SetState(State state);

  const Options options_;

  // Line thread only.
  State state_ = State::Idle;
  std::string buffer_;

  mutable std::mutex mutex_;  // guards everything below
  std::deque<TapBlockAnswer> answers_;
  TapBlockAnswer defaultAnswer_ = TapBlockAnswer::Ack;
  std::vector<Block> blocks_;
  std::vector<Logon> logons_;
  int idPrompts_ = 0;
  int logoffs_ = 0;
  bool loggedOn_ = false;
};

} // namespace voxmit::test
