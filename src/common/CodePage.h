#pragma once
// The code page of message texts. Clients send 8-bit text and the server stores and forwards
// it byte for byte; where a carrier needs Unicode (GSM UCS2, the WCTP document in UTF-8) the
// bytes are read as Windows-1252, the 8-bit code page the clients of this system write in.
// Its 0x80-0x9F range holds the euro sign, typographic quotes and dashes; the five codes it
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 control of the same value, so
// every byte converts and nothing is dropped.
//
// Pure functions: callable from any thread.

#include <string>
#include <string_view>

namespace voxmit {

// One UTF-16 unit per byte (Windows-1252 has no characters outside the basic plane).
std::u16string Cp1252ToUtf16(std::string_view text);
std::string Cp1252ToUtf8(std::string_view text);

} // namespace voxmit
