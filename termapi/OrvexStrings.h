#pragma once
// The library's string conversions between C strings and COM strings, byte for byte: a byte
// becomes the UTF-16 unit of the same value, a unit becomes its low byte. Pure; any thread.

#include <string>

#include "OrvexCom.h"

namespace orvex {

// A COM string owned for the duration of one call, released when it goes out of scope.
class TOwnedBstr {
public:
  explicit TOwnedBstr(BSTR text = nullptr) : text_(text) {}
  ~TOwnedBstr() { SysFreeString(text_); }
  TOwnedBstr(const TOwnedBstr&) = delete;
  TOwnedBstr& operator=(const TOwnedBstr&) = delete;

  BSTR Get() const { return text_; }
  // For an out parameter: the address to receive a string (releasing any held first).
  BSTR* Receive() {
    SysFreeString(text_);
    text_ = nullptr;
    return &text_;
  }

private:
  BSTR text_;
};

// A new COM string holding text widened byte for byte; a null text gives an empty string.
BSTR Widen(const char* text);
// The low byte of each unit of text (up to its length); a null string gives "".
std::string Narrow(const char16_t* text);

} // namespace orvex
