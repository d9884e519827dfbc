#pragma once
// Comma text: the list format of request bodies, carrier settings, device settings, pager ID
// lists and gatekeeper requests. Every unit that reads or writes such a list goes through
// these functions, so a field written by one unit reads back the same in another.
//
// Text is 8-bit bytes; no encoding is applied. Splitting:
//   - characters with codes 0 to 32 before a field are skipped;
//   - a field starting with a double quote runs to the next lone double quote, each doubled
//     double quote inside standing for one; when the closing quote is missing the field is
//     the rest of the text (doubled quotes still standing for one) less its last character;
//   - an unquoted field ends at a comma or at a character with code 0 to 32, so a blank
//     separates fields as a comma does;
//   - two commas in a row give an empty field, and a comma that is the very last character
//     gives an empty last field (a comma followed only by blanks does not).
// NUL (code 0) is a character like any other inside a quoted field. Outside quotes it ends
// a field and is skipped like a blank: it can neither cut the text short nor stall the scan.
//
// Joining quotes a field that holds a character with code 0 to 32, a comma or a double
// quote (doubling its inner double quotes), and a list made of one empty field, which
// would otherwise join to an empty text and split back to no field at all. So for every
// list L, SplitCommaText(JoinCommaText(L)) == L.
//
// Pure functions: callable from any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voxmit {

std::vector<std::string> SplitCommaText(std::string_view text);

std::string JoinCommaText(const std::vector<std::string>& fields);

// One field as it appears in joined text: quoted when it must be, else unchanged.
std::string QuoteCommaField(std::string_view field);

// A field read as a decimal integer: blanks and control characters around it are ignored, a
// leading + or - is allowed, anything else (letters, a fraction, overflow, nothing) is
// refused. value is changed only on success.
bool CommaFieldToInt(std::string_view field, int32_t& value);

} // namespace voxmit
