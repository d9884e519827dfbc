// The fake server object and its control (FakeOrvexnetServer.h), built as a provider shared
// object.

#include "FakeOrvexnetServer.h"

#include <cstdlib>
#include <fstream>
#include <map>

namespace orvex::fake {
namespace {

TArg S(BSTR text) { return std::u16string(text == nullptr ? u"" : text, SysStringLen(text)); }
TArg I(int32_t value) { return value; }

class TFakeServer;

class TState final : public TControl {
public:
  TState() { LoadEnvironment(); }

  std::vector<TCall> Calls() const override { return calls_; }
  void Reset() override {
    calls_.clear();
    result_ = S_OK;
    configValue_.clear();
    hasConfigValue_ = true;
    terminalEvent_ = 0;
    hasTerminalEvent_ = true;
    failCreate_ = failConnectionPoint_ = holdNext_ = false;
    LoadEnvironment();
  }
  void SetResult(HRESULT result) override { result_ = result; }
  void SetConfigValue(const std::u16string& value, bool hasValue) override {
    configValue_ = value;
    hasConfigValue_ = hasValue;
  }
  void SetTerminalEvent(int32_t value, bool hasValue) override {
    terminalEvent_ = value;
    hasTerminalEvent_ = hasValue;
  }
  void FailCreate(bool fail) override { failCreate_ = fail; }
  void FailConnectionPoint(bool fail) override { failConnectionPoint_ = fail; }
  void HoldNextServer(bool hold) override { holdNext_ = hold; }
  void ReleaseHeld() override;
  int ServersAlive() const override { return serversAlive_; }
  int SinksAttached() const override { return static_cast<int>(sinks_.size()); }
  HRESULT Fire(int slot, const std::vector<int32_t>& ints,
               const std::vector<std::u16string>& strings) override;

  void Record(std::string method, std::vector<TArg> args) {
    calls_.push_back({std::move(method), std::move(args)});
    if (!logPath_.empty()) std::ofstream(logPath_, std::ios::app) << FormatCall(calls_.back()) << '\n';
  }

  HRESULT result_ = S_OK;
  std::u16string configValue_;
  bool hasConfigValue_ = true;
  int32_t terminalEvent_ = 0;
  bool hasTerminalEvent_ = true;
  bool failCreate_ = false;
  bool failConnectionPoint_ = false;
  bool holdNext_ = false;
  int linkStateOnHost_ = -1;  // -1: Host reports nothing
  bool resultOnSend_ = false;
  TFakeServer* held_ = nullptr;
  int serversAlive_ = 0;
  uint32_t nextCookie_ = 1;
  std::map<uint32_t, IOrvexnetEvents*> sinks_;  // each a counted reference

private:
  void LoadEnvironment() {
    const char* log = std::getenv("ORVEXNET_FAKE_LOG");
    logPath_ = log == nullptr ? "" : log;
    const char* link = std::getenv("ORVEXNET_FAKE_LINK");
    const std::string mode = link == nullptr ? "" : link;
    linkStateOnHost_ = mode == "up" ? 0 : mode == "down" ? 1 : -1;
    resultOnSend_ = !mode.empty();
  }

  std::vector<TCall> calls_;
  std::string logPath_;
};

TState& State() {
  static TState state;
  return state;
}

// Calls one event slot of one sink, taking integers and strings in parameter order.
HRESULT FireAt(IOrvexnetEvents& sink, int slot, const std::vector<int32_t>& ints,
               const std::vector<std::u16string>& strings) {
  if (ints.size() < 12 || strings.size() < 3) return E_FAIL;
  std::vector<BSTR> s;
  for (const auto& text : strings)
    s.push_back(SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size())));
  const auto& i = ints;
  HRESULT result = E_FAIL;
  switch (slot) {
    case 3: result = sink.OnLinkState(i[0], s[0]); break;
    case 4: result = sink.OnMessageResult(i[0], i[1], s[0]); break;
    case 5: result = sink.OnEvent3(i[0], i[1], i[2], i[3], i[4], i[5], i[6], s[0], s[1], i[7], i[8], i[9]); break;
    case 6: result = sink.OnEvent4(i[0], i[1], i[2], i[3], i[4], i[5], i[6], s[0], i[7], s[1], s[2]); break;
    case 7: result = sink.OnEvent5(i[0], i[1], i[2], i[3], i[4], i[5], i[6], s[0]); break;
    case 8: result = sink.OnEvent6(i[0], i[1], i[2], s[0]); break;
    case 9: result = sink.OnEvent7(i[0], i[1], i[2], i[3], i[4], i[5], i[6], i[7], s[0]); break;
    case 10: result = sink.OnEvent8(i[0], i[1], i[2], i[3], i[4], i[5], i[6], i[7]); break;
    case 11: result = sink.OnEvent9(i[0], i[1], i[2], i[3], i[4], i[5], i[6], s[0]); break;
    case 12: result = sink.OnEvent10(i[0], i[1], i[2], i[3], i[4], i[5], i[6], s[0], s[1]); break;
    default: break;
  }
  for (BSTR text : s) SysFreeString(text);  // the server's own strings
  return result;
}

HRESULT TState::Fire(int slot, const std::vector<int32_t>& ints,
                     const std::vector<std::u16string>& strings) {
  std::vector<int32_t> allInts = ints;
  allInts.resize(12, 0);
  std::vector<std::u16string> allStrings = strings;
  allStrings.resize(3);
  HRESULT result = E_FAIL;
  // A copy: a callback may detach a sink.
  const auto sinks = sinks_;
  for (const auto& [cookie, sink] : sinks) result = FireAt(*sink, slot, allInts, allStrings);
  return result;
}

class TFakeServer final : public IOrvexnetServer, public IConnectionPoint {
public:
  TFakeServer() { ++State().serversAlive_; }

  HRESULT QueryInterface(const GUID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IOrvexnetServer) {
      *object = static_cast<IOrvexnetServer*>(this);
    } else if (iid == IID_IConnectionPoint && !State().failConnectionPoint_) {
      *object = static_cast<IConnectionPoint*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetConnectionInterface(GUID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = IID_IOrvexnetEvents;
    return S_OK;
  }
  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override {
    State().Record("Advise", {});
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    void* events = nullptr;
    if (sink->QueryInterface(IID_IOrvexnetEvents, &events) != S_OK) return E_NOINTERFACE;
    *cookie = State().nextCookie_++;
    State().sinks_[*cookie] = static_cast<IOrvexnetEvents*>(events);
    mine_.push_back(*cookie);
    return S_OK;
  }
  HRESULT Unadvise(uint32_t cookie) override {
    State().Record("Unadvise", {I(static_cast<int32_t>(cookie))});
    const auto it = State().sinks_.find(cookie);
    if (it == State().sinks_.end()) return CONNECT_E_NOCONNECTION;
    IOrvexnetEvents* sink = it->second;
    State().sinks_.erase(it);
    sink->Release();
    return S_OK;
  }

  HRESULT Host(BSTR s1, BSTR s2, BSTR s3, int32_t i4, int32_t i5) override {
    State().Record("Host", {S(s1), S(s2), S(s3), I(i4), I(i5)});
    if (State().linkStateOnHost_ >= 0)
      State().Fire(3, {State().linkStateOnHost_}, {u"link"});
    return State().result_;
  }
  HRESULT SendJob(int32_t i1, int32_t i2, BSTR s3, int32_t i4, int32_t i5, int32_t i6,
                  int32_t i7, int32_t i8, BSTR s9, BSTR s10) override {
    State().Record("SendJob", {I(i1), I(i2), S(s3), I(i4), I(i5), I(i6), I(i7), I(i8), S(s9), S(s10)});
    return State().result_;
  }
  HRESULT SendJob2(int32_t i1, int32_t i2, BSTR s3, int32_t i4, int32_t i5, int32_t i6,
                   int32_t i7, int32_t i8, int32_t i9, int32_t i10, int32_t i11, int32_t i12,
                   BSTR s13, BSTR s14) override {
    State().Record("SendJob2", {I(i1), I(i2), S(s3), I(i4), I(i5), I(i6), I(i7), I(i8), I(i9),
                                I(i10), I(i11), I(i12), S(s13), S(s14)});
    return State().result_;
  }
  HRESULT SendRevokeJob(int32_t i1, int32_t i2, BSTR s3) override {
    State().Record("SendRevokeJob", {I(i1), I(i2), S(s3)});
    return State().result_;
  }
  HRESULT SendTextMessage(int32_t i1, int32_t i2, BSTR s3) override {
    State().Record("SendTextMessage", {I(i1), I(i2), S(s3)});
    if (State().resultOnSend_) State().Fire(4, {i1, 0}, {u"done"});
    return State().result_;
  }
  HRESULT PollTerminal(int32_t i1, int32_t i2) override {
    State().Record("PollTerminal", {I(i1), I(i2)});
    return State().result_;
  }
  HRESULT SendRaw(int32_t i1, int32_t i2, BSTR s3) override {
    State().Record("SendRaw", {I(i1), I(i2), S(s3)});
    return State().result_;
  }
  HRESULT SendConfig(int32_t i1, int32_t i2) override {
    State().Record("SendConfig", {I(i1), I(i2)});
    return State().result_;
  }
  HRESULT SendQuestion(int32_t i1, int32_t i2, BSTR s3, BSTR s4, BSTR s5, BSTR s6, BSTR s7,
                       BSTR s8) override {
    State().Record("SendQuestion", {I(i1), I(i2), S(s3), S(s4), S(s5), S(s6), S(s7), S(s8)});
    return State().result_;
  }
  HRESULT GetTerminalEvent(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                           int32_t i6, int32_t i7, int32_t i8, int32_t* result) override {
    State().Record("GetTerminalEvent", {I(i1), I(i2), I(i3), I(i4), I(i5), I(i6), I(i7), I(i8)});
    if (result != nullptr && State().hasTerminalEvent_) *result = State().terminalEvent_;
    return State().result_;
  }
  HRESULT SendCustom(int32_t i1, int32_t i2, BSTR s3, BSTR s4) override {
    State().Record("SendCustom", {I(i1), I(i2), S(s3), S(s4)});
    return State().result_;
  }
  HRESULT ConfigGet(BSTR key, BSTR* value) override {
    State().Record("ConfigGet", {S(key)});
    if (value != nullptr && State().hasConfigValue_)
      *value = SysAllocStringLen(State().configValue_.data(),
                                 static_cast<uint32_t>(State().configValue_.size()));
    return State().result_;
  }
  HRESULT ConfigSet(BSTR key, BSTR value) override {
    State().Record("ConfigSet", {S(key), S(value)});
    return State().result_;
  }

private:
  ~TFakeServer() {
    // Sinks still attached when the object goes are released with it.
    for (uint32_t cookie : mine_) {
      const auto it = State().sinks_.find(cookie);
      if (it == State().sinks_.end()) continue;
      IOrvexnetEvents* sink = it->second;
      State().sinks_.erase(it);
      sink->Release();
    }
    --State().serversAlive_;
  }

  ULONG references_ = 0;
  std::vector<uint32_t> mine_;
};

void TState::ReleaseHeld() {
  if (held_ != nullptr) static_cast<IOrvexnetServer*>(held_)->Release();
  held_ = nullptr;
}

} // namespace
} // namespace orvex::fake

extern "C" {

__attribute__((visibility("default"))) orvex::fake::TControl* FakeOrvexnetControlInstance() {
  return &orvex::fake::State();
}

__attribute__((visibility("default"))) orvex::HRESULT OrvexnetCreateInstance(
    const orvex::GUID* clsid, const orvex::GUID* iid, void** object) {
  using namespace orvex;
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid == nullptr || !(*clsid == CLSID_OrvexnetServer) || fake::State().failCreate_)
    return CLASS_E_CLASSNOTAVAILABLE;
  auto* server = new fake::TFakeServer();
  server->AddRef();
  const HRESULT result = server->QueryInterface(*iid, object);
  if (fake::State().holdNext_ && result == S_OK) {
    fake::State().held_ = server;
    fake::State().holdNext_ = false;
  } else {
    static_cast<IOrvexnetServer*>(server)->Release();
  }
  return result;
}

} // extern "C"
