// The fifteen exports: each widens its strings, calls its slot of the server object and passes
// the server's HRESULT back. New finds the server object through the provider named by
// ORVEXNET_SERVER; the provider stays loaded for the life of the process, since objects it
// made may outlive any one handle.

#include "orvexapi.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "OrvexCom.h"
#include "OrvexStrings.h"
#include "TerminalEventSink.h"

using orvex::HRESULT;
using orvex::TOwnedBstr;
using orvex::Widen;

struct TerminalHandle {
  orvex::IOrvexnetServer* Server = nullptr;  // one counted reference
  orvex::TerminalEventSink* Sink = nullptr;  // one counted reference, the handle's own
  std::string ConfigText;                    // the last ConfigGet value
};

namespace {

// A counted reference released at the end of the scope.
template <class T>
struct TReleaser {
  void operator()(T* object) const { object->Release(); }
};
template <class T>
using TComPtr = std::unique_ptr<T, TReleaser<T>>;

// The server object from the provider, or null.
orvex::IOrvexnetServer* CreateServer() {
  const char* path = std::getenv(orvex::kProviderVariable);
  if (path == nullptr || *path == '\0') return nullptr;
  void* provider = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (provider == nullptr) return nullptr;
  auto create = reinterpret_cast<orvex::TCreateInstance>(dlsym(provider, orvex::kProviderEntry));
  if (create == nullptr) return nullptr;
  void* object = nullptr;
  if (create(&orvex::CLSID_OrvexnetServer, &orvex::IID_IOrvexnetServer, &object) != orvex::S_OK)
    return nullptr;
  return static_cast<orvex::IOrvexnetServer*>(object);
}

// The server object's own connection point (asked of the object itself), or null with the
// query's error in result.
TComPtr<orvex::IConnectionPoint> ConnectionPoint(orvex::IOrvexnetServer* server, HRESULT& result) {
  void* object = nullptr;
  result = server->QueryInterface(orvex::IID_IConnectionPoint, &object);
  if (result != orvex::S_OK || object == nullptr) {
    if (result == orvex::S_OK) result = orvex::E_NOINTERFACE;
    return nullptr;
  }
  return TComPtr<orvex::IConnectionPoint>(static_cast<orvex::IConnectionPoint*>(object));
}

} // namespace

extern "C" {

TerminalHandle* New(void* userData, OrvexOnLinkState onLinkState,
                    OrvexOnMessageResult onMessageResult, OrvexOnEvent3 onEvent3,
                    OrvexOnEvent4 onEvent4, OrvexOnEvent5 onEvent5, OrvexOnEvent6 onEvent6,
                    OrvexOnEvent7 onEvent7, OrvexOnEvent8 onEvent8, OrvexOnEvent9 onEvent9,
                    OrvexOnEvent10 onEvent10) {
  try {
    TComPtr<orvex::IOrvexnetServer> server(CreateServer());
    if (!server) return nullptr;
    HRESULT query = orvex::S_OK;
    const TComPtr<orvex::IConnectionPoint> point = ConnectionPoint(server.get(), query);
    if (!point) return nullptr;
    auto handle = std::make_unique<TerminalHandle>();
    const orvex::TTerminalCallbacks callbacks{onLinkState, onMessageResult, onEvent3, onEvent4,
                                              onEvent5,    onEvent6,        onEvent7, onEvent8,
                                              onEvent9,    onEvent10};
    handle->Sink = orvex::TerminalEventSink::Create(userData, callbacks);
    // The handle keeps a reference of its own, so the sink neither leaks when Advise fails
    // nor vanishes under the handle while the cookie is still needed.
    handle->Sink->AddRef();
    // As before, Advise's result is not examined: a sink that did not attach gets no events.
    point->Advise(static_cast<orvex::IOrvexnetEvents*>(handle->Sink), &handle->Sink->Cookie);
    handle->Server = server.release();
    return handle.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int32_t Delete(TerminalHandle* handle) {
  const std::unique_ptr<TerminalHandle> owned(handle);
  HRESULT query = orvex::S_OK;
  if (const auto point = ConnectionPoint(handle->Server, query)) point->Unadvise(handle->Sink->Cookie);
  handle->Sink->Release();
  const orvex::ULONG left = handle->Server->Release();
  return query != orvex::S_OK ? query : static_cast<int32_t>(left);
}

int32_t Host(TerminalHandle* handle, const char* s1, const char* s2, const char* s3, int32_t i4,
             int32_t i5) {
  const TOwnedBstr b1(Widen(s1)), b2(Widen(s2)), b3(Widen(s3));
  return handle->Server->Host(b1.Get(), b2.Get(), b3.Get(), i4, i5);
}

int32_t SendJob(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3, int32_t i4,
                int32_t i5, int32_t i6, int32_t i7, int32_t i8, const char* s9, const char* s10) {
  const TOwnedBstr b3(Widen(s3)), b9(Widen(s9)), b10(Widen(s10));
  return handle->Server->SendJob(i1, i2, b3.Get(), i4, i5, i6, i7, i8, b9.Get(), b10.Get());
}

int32_t SendJob2(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3, int32_t i4,
                 int32_t i5, int32_t i6, int32_t i7, int32_t i8, int32_t i9, int32_t i10,
                 int32_t i11, int32_t i12, const char* s13, const char* s14) {
  const TOwnedBstr b3(Widen(s3)), b13(Widen(s13)), b14(Widen(s14));
  return handle->Server->SendJob2(i1, i2, b3.Get(), i4, i5, i6, i7, i8, i9, i10, i11, i12,
                                  b13.Get(), b14.Get());
}

int32_t SendRevokeJob(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3) {
  const TOwnedBstr b3(Widen(s3));
  return handle->Server->SendRevokeJob(i1, i2, b3.Get());
}

int32_t SendTextMessage(TerminalHandle* handle, int32_t reference, int32_t terminal,
                        const char* text) {
  const TOwnedBstr b3(Widen(text));
  return handle->Server->SendTextMessage(reference, terminal, b3.Get());
}

int32_t PollTerminal(TerminalHandle* handle, int32_t i1, int32_t i2) {
  return handle->Server->PollTerminal(i1, i2);
}

int32_t SendRaw(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3) {
  const TOwnedBstr b3(Widen(s3));
  return handle->Server->SendRaw(i1, i2, b3.Get());
}

int32_t SendConfig(TerminalHandle* handle, int32_t i1, int32_t i2) {
  return handle->Server->SendConfig(i1, i2);
}

int32_t SendQuestion(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3,
                     const char* s4, const char* s5, const char* s6, const char* s7,
                     const char* s8) {
  const TOwnedBstr b3(Widen(s3)), b4(Widen(s4)), b5(Widen(s5)), b6(Widen(s6)), b7(Widen(s7)),
      b8(Widen(s8));
  return handle->Server->SendQuestion(i1, i2, b3.Get(), b4.Get(), b5.Get(), b6.Get(), b7.Get(),
                                      b8.Get());
}

int32_t GetTerminalEvent(TerminalHandle* handle, int32_t i1, int32_t i2, int32_t i3, int32_t i4,
                         int32_t i5, int32_t i6, int32_t i7, int32_t i8) {
  int32_t result = 0;
  handle->Server->GetTerminalEvent(i1, i2, i3, i4, i5, i6, i7, i8, &result);
  return result;
}

int32_t SendCustom(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3,
                   const char* s4) {
  const TOwnedBstr b3(Widen(s3)), b4(Widen(s4));
  return handle->Server->SendCustom(i1, i2, b3.Get(), b4.Get());
}

const char* ConfigGet(TerminalHandle* handle, const char* key) {
  const TOwnedBstr b1(Widen(key));
  TOwnedBstr value;
  handle->Server->ConfigGet(b1.Get(), value.Receive());
  // Copied into the handle's own text, so that its buffer is reused while it is large enough.
  const std::string narrowed = orvex::Narrow(value.Get());
  handle->ConfigText.assign(narrowed);
  return handle->ConfigText.c_str();
}

int32_t ConfigSet(TerminalHandle* handle, const char* key, const char* value) {
  const TOwnedBstr b1(Widen(key)), b2(Widen(value));
  return handle->Server->ConfigSet(b1.Get(), b2.Get());
}

} // extern "C"
