#include "TerminalEventSink.h"

#include <string>

#include "OrvexStrings.h"

namespace orvex {

TerminalEventSink* TerminalEventSink::Create(void* userData, const TTerminalCallbacks& callbacks) {
  return new TerminalEventSink(userData, callbacks);
}

HRESULT TerminalEventSink::QueryInterface(const GUID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IOrvexnetEvents) {
    *object = static_cast<IOrvexnetEvents*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG TerminalEventSink::AddRef() { return ++references_; }

ULONG TerminalEventSink::Release() {
  const ULONG left = --references_;
  // The sink's own end of life: nothing else may delete it.
  if (left == 0) delete this;
  return left;
}

HRESULT TerminalEventSink::OnLinkState(int32_t state, BSTR text) {
  if (callbacks_.OnLinkState != nullptr)
    callbacks_.OnLinkState(userData_, state, Narrow(text).c_str());
  return S_OK;
}

HRESULT TerminalEventSink::OnMessageResult(int32_t reference, int32_t errorFlag, BSTR text) {
  if (callbacks_.OnMessageResult != nullptr)
    callbacks_.OnMessageResult(userData_, reference, errorFlag, Narrow(text).c_str());
  return S_OK;
}

HRESULT TerminalEventSink::OnEvent3(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                                    int32_t i6, int32_t i7, BSTR s8, BSTR s9, int32_t i10,
                                    int32_t i11, int32_t i12) {
  if (callbacks_.OnEvent3 != nullptr)
    callbacks_.OnEvent3(userData_, i1, i2, i3, i4, i5, i6, i7, Narrow(s8).c_str(),
                        Narrow(s9).c_str(), i10, i11, i12);
  return S_OK;
}

HRESULT TerminalEventSink::OnEvent4(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                                    int32_t i6, int32_t i7, BSTR s8, int32_t i9, BSTR s10,
                                    BSTR s11) {
  if (callbacks_.OnEvent4 != nullptr)
    callbacks_.OnEvent4(userData_, i1, i2, i3, i4, i5, i6, i7, Narrow(s8).c_str(), i9,
                        Narrow(s10).c_str(), Narrow(s11).c_str());
  return S_OK;
}

HRESULT TerminalEventSink::OnEvent5(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                                    int32_t i6, int32_t i7, BSTR s8) {
  if (callbacks_.OnEvent5 != nullptr)
    callbacks_.OnEvent5(userData_, i1, i2, i3, i4, i5, i6, i7, Narrow(s8).c_str());
  return S_OK;
}

HRESULT TerminalEventSink::OnEvent6(int32_t i1, int32_t i2, int32_t i3, BSTR s4) {
  if (callbacks_.OnEvent6 != nullptr) callbacks_.OnEvent6(userData_, i1, i2, i3, Narrow(s4).c_str());
  return S_OK;
}

HRESULT TerminalEventSink::OnEvent7(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                                    int32_t i6, int32_t i7, int32_t i8, BSTR s9) {
  if (callbacks_.OnEvent7 != nullptr)
    callbacks_.OnEvent7(userData_, i1, i2, i3, i4, i5, i6, i7, i8, Narrow(s9).c_str());
  return S_OK;
}

HRESULT TerminalEventSink::OnEvent8(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                                    int32_t i6, int32_t i7, int32_t i8) {
  if (callbacks_.OnEvent8 != nullptr)
    callbacks_.OnEvent8(userData_, i1, i2, i3, i4, i5, i6, i7, i8);
  return S_OK;
}

HRESULT TerminalEventSink::OnEvent9(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                                    int32_t i6, int32_t i7, BSTR s8) {
  if (callbacks_.OnEvent9 != nullptr)
    callbacks_.OnEvent9(userData_, i1, i2, i3, i4, i5, i6, i7, Narrow(s8).c_str());
  return S_OK;
}

HRESULT TerminalEventSink::OnEvent10(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                                     int32_t i6, int32_t i7, BSTR s8, BSTR s9) {
  if (callbacks_.OnEvent10 != nullptr)
    callbacks_.OnEvent10(userData_, i1, i2, i3, i4, i5, i6, i7, Narrow(s8).c_str(),
                         Narrow(s9).c_str());
  return S_OK;
}

} // namespace orvex
