#pragma once
// The library's implementation of the event interface: it turns each event of the server into
// a call of the matching C callback, with New's user data first and every string narrowed.
// A null callback makes its event a no-op that still answers success.
//
// Ownership: counted references; the count starts at 0 and the sink frees itself when a
// release brings it back to 0. The terminal handle holds one reference and the server another
// from Advise to Unadvise. Threads: one, the handle's (the count is a plain counter).

#include <cstdint>

#include "OrvexCom.h"
#include "orvexapi.h"

namespace orvex {

struct TTerminalCallbacks {
  OrvexOnLinkState OnLinkState = nullptr;
  OrvexOnMessageResult OnMessageResult = nullptr;
  OrvexOnEvent3 OnEvent3 = nullptr;
  OrvexOnEvent4 OnEvent4 = nullptr;
  OrvexOnEvent5 OnEvent5 = nullptr;
  OrvexOnEvent6 OnEvent6 = nullptr;
  OrvexOnEvent7 OnEvent7 = nullptr;
  OrvexOnEvent8 OnEvent8 = nullptr;
  OrvexOnEvent9 OnEvent9 = nullptr;
  OrvexOnEvent10 OnEvent10 = nullptr;
};

class TerminalEventSink final : public IOrvexnetEvents {
public:
  // The only way to make one: the sink lives on the heap and ends itself.
  static TerminalEventSink* Create(void* userData, const TTerminalCallbacks& callbacks);

  HRESULT QueryInterface(const GUID& iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT OnLinkState(int32_t state, BSTR text) override;
  HRESULT OnMessageResult(int32_t reference, int32_t errorFlag, BSTR text) override;
  HRESULT OnEvent3(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
                   int32_t i7, BSTR s8, BSTR s9, int32_t i10, int32_t i11, int32_t i12) override;
  HRESULT OnEvent4(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
                   int32_t i7, BSTR s8, int32_t i9, BSTR s10, BSTR s11) override;
  HRESULT OnEvent5(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
                   int32_t i7, BSTR s8) override;
  HRESULT OnEvent6(int32_t i1, int32_t i2, int32_t i3, BSTR s4) override;
  HRESULT OnEvent7(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
                   int32_t i7, int32_t i8, BSTR s9) override;
  HRESULT OnEvent8(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
                   int32_t i7, int32_t i8) override;
  HRESULT OnEvent9(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
                   int32_t i7, BSTR s8) override;
  HRESULT OnEvent10(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
                    int32_t i7, BSTR s8, BSTR s9) override;

  uint32_t Cookie = 0;  // the connection cookie from Advise

private:
  TerminalEventSink(void* userData, const TTerminalCallbacks& callbacks)
      : userData_(userData), callbacks_(callbacks) {}
  ~TerminalEventSink() = default;

  ULONG references_ = 0;
  void* const userData_;
  const TTerminalCallbacks callbacks_;
};

} // namespace orvex
