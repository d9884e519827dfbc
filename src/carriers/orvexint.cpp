#include "carriers/orvexint.h"

#include <stdexcept>

#include "orvexapi.h"

namespace voxmit {

namespace {

std::string Text(const char* text) { return text == nullptr ? std::string() : std::string(text); }

Orvexcb* Holder(void* userData) { return static_cast<Orvexcb*>(userData); }

// The ten C callbacks given to New: each forwards to the holder with the program's strings.
// Of the link state and the error flag only the low byte counts.
void CbLinkState(void* u, int32_t state, const char* text) {
  if (u != nullptr) Holder(u)->OnLinkState(state & 0xFF, Text(text));
}
void CbMessageResult(void* u, int32_t reference, int32_t errorFlag, const char* text) {
  if (u != nullptr) Holder(u)->OnMessageResult(reference, errorFlag & 0xFF, Text(text));
}
void CbEvent3(void* u, int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
              int32_t i7, const char* s8, const char* s9, int32_t i10, int32_t i11,
              int32_t i12) {
  if (u != nullptr)
    Holder(u)->OnEvent3({i1, i2, i3, i4, i5, i6, i7}, Text(s8), Text(s9), i10, i11, i12);
}
void CbEvent4(void* u, int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
              int32_t i7, const char* s8, int32_t i9, const char* s10, const char* s11) {
  if (u != nullptr)
    Holder(u)->OnEvent4({i1, i2, i3, i4, i5, i6, i7}, Text(s8), i9, Text(s10), Text(s11));
}
void CbEvent5(void* u, int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
              int32_t i7, const char* s8) {
  if (u != nullptr) Holder(u)->OnEvent5({i1, i2, i3, i4, i5, i6, i7}, Text(s8));
}
void CbEvent6(void* u, int32_t i1, int32_t i2, int32_t i3, const char* s4) {
  if (u != nullptr) Holder(u)->OnEvent6(i1, i2, i3, Text(s4));
}
void CbEvent7(void* u, int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
              int32_t i7, int32_t i8, const char* s9) {
  if (u != nullptr) Holder(u)->OnEvent7({i1, i2, i3, i4, i5, i6, i7, i8}, Text(s9));
}
void CbEvent8(void* u, int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
              int32_t i7, int32_t i8) {
  if (u != nullptr) Holder(u)->OnEvent8({i1, i2, i3, i4, i5, i6, i7, i8});
}
void CbEvent9(void* u, int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
              int32_t i7, const char* s8) {
  if (u != nullptr) Holder(u)->OnEvent9({i1, i2, i3, i4, i5, i6, i7}, Text(s8));
}
void CbEvent10(void* u, int32_t i1, int32_t i2, int32_t i3, int32_t i4, int32_t i5, int32_t i6,
               int32_t i7, const char* s8, const char* s9) {
  if (u != nullptr) Holder(u)->OnEvent10({i1, i2, i3, i4, i5, i6, i7}, Text(s8), Text(s9));
}

} // namespace

// ---- ACUCB ------------------------------------------------------------------------------------

void ACUCB::ClearHandlers() {
  Handler1 = nullptr;
  Handler2 = nullptr;
  Handler3 = nullptr;
  Handler4 = nullptr;
  Handler5 = nullptr;
  Handler6 = nullptr;
  Handler7 = nullptr;
  Handler8 = nullptr;
  Handler9 = nullptr;
  Handler10 = nullptr;
}

void ACUCB::OnLinkState(int32_t state, const std::string& text) {
  if (Handler1) Handler1(state, text);
}
void ACUCB::OnMessageResult(int32_t reference, int32_t errorFlag, const std::string& text) {
  if (Handler2) Handler2(reference, errorFlag, text);
}
void ACUCB::OnEvent3(const TInts7& i, const std::string& s8, const std::string& s9, int32_t i10,
                     int32_t i11, int32_t i12) {
  if (Handler3) Handler3(i, s8, s9, i10, i11, i12);
}
void ACUCB::OnEvent4(const TInts7& i, const std::string& s8, int32_t i9, const std::string& s10,
                     const std::string& s11) {
  if (Handler4) Handler4(i, s8, i9, s10, s11);
}
void ACUCB::OnEvent5(const TInts7& i, const std::string& s8) {
  if (Handler5) Handler5(i, s8);
}
void ACUCB::OnEvent6(int32_t i1, int32_t i2, int32_t i3, const std::string& s4) {
  if (Handler6) Handler6(i1, i2, i3, s4);
}
void ACUCB::OnEvent7(const TInts8& i, const std::string& s9) {
  if (Handler7) Handler7(i, s9);
}
void ACUCB::OnEvent8(const TInts8& i) {
  if (Handler8) Handler8(i);
}
void ACUCB::OnEvent9(const TInts7& i, const std::string& s8) {
  if (Handler9) Handler9(i, s8);
}
void ACUCB::OnEvent10(const TInts7& i, const std::string& s8, const std::string& s9) {
  if (Handler10) Handler10(i, s8, s9);
}

// ---- Orvex ------------------------------------------------------------------------------------

Orvex::Orvex(Orvexcb& callbacks)
    : handle_(New(&callbacks, CbLinkState, CbMessageResult, CbEvent3, CbEvent4, CbEvent5,
                  CbEvent6, CbEvent7, CbEvent8, CbEvent9, CbEvent10)) {
  if (handle_ == nullptr) throw std::runtime_error("Error: create ORVEXNET COM object.");
}

Orvex::~Orvex() {
  if (handle_ != nullptr) Delete(handle_);
}

void Orvex::Connect(const std::string& textA, const std::string& textB, const std::string& host,
                    int32_t port, int32_t numberC) {
  Host(handle_, textA.c_str(), textB.c_str(), host.c_str(), port, numberC);
}

void Orvex::SendText(int32_t reference, int32_t terminal, const std::string& text) {
  SendTextMessage(handle_, reference, terminal, text.c_str());
}

} // namespace voxmit
