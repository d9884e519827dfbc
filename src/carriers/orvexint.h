#pragma once
// The server's side of the terminal API library: Orvex wraps one library handle, Orvexcb is
// the callback interface Orvex reports through, ACUCB implements it with assignable handlers,
// and ten plain C callbacks (in orvexint.cpp) carry the library's events to it.
//
// Threads: the UI thread only. The library handle belongs to the thread that made it, and its
// events arrive on that thread, inside the library calls or while it handles its messages.
// Ownership: Orvex owns its handle (Delete on destruction); the callback object outlives it.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

struct TerminalHandle;

namespace voxmit {

using TInts7 = std::array<int32_t, 7>;
using TInts8 = std::array<int32_t, 8>;

// The ten event dispatchers, in the order of the library's callbacks.
class Orvexcb {
public:
  virtual ~Orvexcb() = default;
  virtual void OnLinkState(int32_t state, const std::string& text) = 0;
  virtual void OnMessageResult(int32_t reference, int32_t errorFlag, const std::string& text) = 0;
  virtual void OnEvent3(const TInts7& i, const std::string& s8, const std::string& s9,
                        int32_t i10, int32_t i11, int32_t i12) = 0;
  virtual void OnEvent4(const TInts7& i, const std::string& s8, int32_t i9,
                        const std::string& s10, const std::string& s11) = 0;
  virtual void OnEvent5(const TInts7& i, const std::string& s8) = 0;
  virtual void OnEvent6(int32_t i1, int32_t i2, int32_t i3, const std::string& s4) = 0;
  virtual void OnEvent7(const TInts8& i, const std::string& s9) = 0;
  virtual void OnEvent8(const TInts8& i) = 0;
  virtual void OnEvent9(const TInts7& i, const std::string& s8) = 0;
  virtual void OnEvent10(const TInts7& i, const std::string& s8, const std::string& s9) = 0;
};

// Each dispatcher calls its handler when one is assigned and does nothing otherwise.
class ACUCB : public Orvexcb {
public:
  std::function<void(int32_t, const std::string&)> Handler1;
  std::function<void(int32_t, int32_t, const std::string&)> Handler2;
  std::function<void(const TInts7&, const std::string&, const std::string&, int32_t, int32_t,
                     int32_t)>
      Handler3;
  std::function<void(const TInts7&, const std::string&, int32_t, const std::string&,
                     const std::string&)>
      Handler4;
  std::function<void(const TInts7&, const std::string&)> Handler5;
  std::function<void(int32_t, int32_t, int32_t, const std::string&)> Handler6;
  std::function<void(const TInts8&, const std::string&)> Handler7;
  std::function<void(const TInts8&)> Handler8;
  std::function<void(const TInts7&, const std::string&)> Handler9;
  std::function<void(const TInts7&, const std::string&, const std::string&)> Handler10;

  // Unassigns every handler.
  void ClearHandlers();

  void OnLinkState(int32_t state, const std::string& text) override;
  void OnMessageResult(int32_t reference, int32_t errorFlag, const std::string& text) override;
  void OnEvent3(const TInts7& i, const std::string& s8, const std::string& s9, int32_t i10,
                int32_t i11, int32_t i12) override;
  void OnEvent4(const TInts7& i, const std::string& s8, int32_t i9, const std::string& s10,
                const std::string& s11) override;
  void OnEvent5(const TInts7& i, const std::string& s8) override;
  void OnEvent6(int32_t i1, int32_t i2, int32_t i3, const std::string& s4) override;
  void OnEvent7(const TInts8& i, const std::string& s9) override;
  void OnEvent8(const TInts8& i) override;
  void OnEvent9(const TInts7& i, const std::string& s8) override;
  void OnEvent10(const TInts7& i, const std::string& s8, const std::string& s9) override;
};

class Orvex {
public:
  // A new library handle reporting to callbacks; throws std::runtime_error
  // "Error: create ORVEXNET COM object." when the library gives none.
  explicit Orvex(Orvexcb& callbacks);
  ~Orvex();
  Orvex(const Orvex&) = delete;
  Orvex& operator=(const Orvex&) = delete;

  // Host(A, B, host, port, C); the result is not looked at.
  void Connect(const std::string& textA, const std::string& textB, const std::string& host,
               int32_t port, int32_t numberC);
  // SendTextMessage(reference, terminal, text); the result is not looked at.
  void SendText(int32_t reference, int32_t terminal, const std::string& text);

private:
  TerminalHandle* handle_ = nullptr;
};

} // namespace voxmit
