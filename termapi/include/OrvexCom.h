#pragma once
// The small COM-style layer between orvexapi and the terminal network's server object: GUIDs,
// HRESULTs, length-prefixed UTF-16 strings, IUnknown-style reference counting and a connection
// point for the event sink. The server object lives in a provider shared object named by the
// environment variable ORVEXNET_SERVER, which exports OrvexnetCreateInstance.
//
// Objects behind these interfaces count their own references and free themselves when the
// count drops to 0; nobody deletes them from outside. The interfaces carry no virtual
// destructor, so their vtables hold exactly the slots declared here, in order.
//
// Threads: none of these objects locks. Whoever holds an object calls it on one thread (the
// thread that created the terminal handle).

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orvex {

using HRESULT = int32_t;
using ULONG = uint32_t;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200u);

inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                                      {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IConnectionPoint = {0xB196B286, 0xBAB4, 0x101A,
                                              {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr GUID CLSID_OrvexnetServer = {0xFBCC4CC8, 0x4FC0, 0x4800,
                                              {0x93, 0x9F, 0x69, 0xE7, 0xF8, 0xEE, 0x3F, 0x03}};
inline constexpr GUID IID_IOrvexnetServer = {0xFBCC4CC8, 0x4FC0, 0x4800,
                                             {0x93, 0x9F, 0x69, 0xE7, 0xF8, 0xEE, 0x3F, 0x01}};
inline constexpr GUID IID_IOrvexnetEvents = {0xFBCC4CC8, 0x4FC0, 0x4800,
                                             {0x93, 0x9F, 0x69, 0xE7, 0xF8, 0xEE, 0x3F, 0x02}};

// ---- Strings ---------------------------------------------------------------------------------
// A COM string points at its first UTF-16 unit; the four bytes before it hold its length in
// bytes, and a NUL unit follows it. A null string is the empty string. Allocation and release
// are inline (the C heap), so the library and any provider can free each other's strings.

using BSTR = char16_t*;

inline BSTR SysAllocStringLen(const char16_t* units, uint32_t length) {
  auto* block = static_cast<unsigned char*>(
      std::malloc(sizeof(uint32_t) + (static_cast<size_t>(length) + 1) * sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  const uint32_t bytes = length * static_cast<uint32_t>(sizeof(char16_t));
  std::memcpy(block, &bytes, sizeof bytes);
  auto* text = reinterpret_cast<char16_t*>(block + sizeof(uint32_t));
  if (units != nullptr && length > 0) std::memcpy(text, units, length * sizeof(char16_t));
  text[length] = u'\0';
  return text;
}

inline void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

inline uint32_t SysStringLen(const char16_t* text) {
  if (text == nullptr) return 0;
  uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text) - sizeof(uint32_t),
              sizeof bytes);
  return bytes / static_cast<uint32_t>(sizeof(char16_t));
}

// ---- Interfaces ------------------------------------------------------------------------------

class IUnknown {
public:
  // On success *object holds a counted reference; otherwise it is null.
  virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  // Returns the count left; the object is gone when it returns 0.
  virtual ULONG Release() = 0;

protected:
  ~IUnknown() = default;
};

// The command interface of the server object. Strings are the caller's: the server copies what
// it keeps. ConfigGet's value is a new string the caller releases.
class IOrvexnetServer : public IUnknown {
public:
  virtual HRESULT Host(BSTR s1, BSTR s2, BSTR s3, int32_t i4, int32_t i5) = 0;
  virtual HRESULT SendJob(int32_t i1, int32_t i2, BSTR s3, int32_t i4, int32_t i5, int32_t i6,
                          int32_t i7, int32_t i8, BSTR s9, BSTR s10) = 0;
  virtual HRESULT SendJob2(int32_t i1, int32_t i2, BSTR s3, int32_t i4, int32_t i5, int32_t i6,
                           int32_t i7, int32_t i8, int32_t i9, int32_t i10, int32_t i11,
                           int32_t i12, BSTR s13, BSTR s14) = 0;
  virtual HRESULT SendRevokeJob(int32_t i1, int32_t i2, BSTR s3) = 0;
  virtual HRESULT SendTextMessage(int32_t i1, int32_t i2, BSTR s3) = 0;
  virtual HRESULT PollTerminal(int32_t i1, int32_t i2) = 0;
  virtual HRESULT SendRaw(int32_t i1, int32_t i2, BSTR s3) = 0;
  virtual HRESULT SendConfig(int32_t i1, int32_t i2) = 0;
  virtual HRESULT SendQuestion(int32_t i1, int32_t i2, BSTR s3, BSTR s4, BSTR s5, BSTR s6,
                               BSTR s7, BSTR s8) = 0;
  virtual HRESULT GetTerminalEvent(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                                   int32_t i6, int32_t i7, int32_t i8, int32_t* result) = 0;
  virtual HRESULT SendCustom(int32_t i1, int32_t i2, BSTR s3, BSTR s4) = 0;
  virtual HRESULT ConfigGet(BSTR key, BSTR* value) = 0;
  virtual HRESULT ConfigSet(BSTR key, BSTR value) = 0;

protected:
  ~IOrvexnetServer() = default;
};

// The event interface the library implements; the server calls it with its own strings.
class IOrvexnetEvents : public IUnknown {
public:
  virtual HRESULT OnLinkState(int32_t state, BSTR text) = 0;
  virtual HRESULT OnMessageResult(int32_t reference, int32_t errorFlag, BSTR text) = 0;
  virtual HRESULT OnEvent3(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                           int32_t i6, int32_t i7, BSTR s8, BSTR s9, int32_t i10, int32_t i11,
                           int32_t i12) = 0;
  virtual HRESULT OnEvent4(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                           int32_t i6, int32_t i7, BSTR s8, int32_t i9, BSTR s10, BSTR s11) = 0;
  virtual HRESULT OnEvent5(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                           int32_t i6, int32_t i7, BSTR s8) = 0;
  virtual HRESULT OnEvent6(int32_t i1, int32_t i2, int32_t i3, BSTR s4) = 0;
  virtual HRESULT OnEvent7(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                           int32_t i6, int32_t i7, int32_t i8, BSTR s9) = 0;
  virtual HRESULT OnEvent8(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                           int32_t i6, int32_t i7, int32_t i8) = 0;
  virtual HRESULT OnEvent9(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                           int32_t i6, int32_t i7, BSTR s8) = 0;
  virtual HRESULT OnEvent10(int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5,
                            int32_t i6, int32_t i7, BSTR s8, BSTR s9) = 0;

protected:
  ~IOrvexnetEvents() = default;
};

// The server's outgoing-interface connection point: the sink is attached with Advise (the
// server keeps a reference until Unadvise) and identified by the cookie Advise returns.
class IConnectionPoint : public IUnknown {
public:
  virtual HRESULT GetConnectionInterface(GUID* iid) = 0;
  virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;

protected:
  ~IConnectionPoint() = default;
};

// The environment variable that names the provider shared object (a path).
inline constexpr const char* kProviderVariable = "ORVEXNET_SERVER";
// The provider's one entry: creates a server object of class clsid and returns its interface
// iid in *object (a counted reference).
inline constexpr const char* kProviderEntry = "OrvexnetCreateInstance";
using TCreateInstance = HRESULT (*)(const GUID* clsid, const GUID* iid, void** object);

} // namespace orvex
