#include "OrvexStrings.h"

#include <cstring>
#include <vector>

namespace orvex {

BSTR Widen(const char* text) {
  const size_t length = text == nullptr ? 0 : std::strlen(text);
  std::vector<char16_t> units(length);
  for (size_t i = 0; i < length; ++i)
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  return SysAllocStringLen(units.data(), static_cast<uint32_t>(length));
}

std::string Narrow(const char16_t* text) {
  const uint32_t length = SysStringLen(text);
  std::string out(length, '\0');
  for (uint32_t i = 0; i < length; ++i) out[i] = static_cast<char>(text[i] & 0xFF);
  return out;
}

} // namespace orvex
