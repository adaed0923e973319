#pragma once
// Texts of platform error codes and the integer-to-text conversion.
#include <cstdint>
#include <string>

namespace NARROW_CHAR_PAL {

// Formats value with "%d"; false and an empty text when the result would not
// be 1 to 30 characters long.
bool intToString(int32_t value, std::string& text);

// Codes at or above this base are HTTP-client codes, not errno values; their
// texts come from the lookup that the HTTP client registers.
constexpr uint32_t kHttpErrorBase = 12000;
using HttpErrorTextLookup = const char* (*)(uint32_t code);
void setHttpErrorTextLookup(HttpErrorTextLookup lookup);

// Reasons of this system's own for refusing a file in a folder that others
// can write, carried in errno like the system's codes (above them, below the
// HTTP client's) so that every report of the failure gives their text.
constexpr uint32_t kErrorFileHardLinked = 11001;
constexpr uint32_t kErrorFileOtherOwner = 11002;
constexpr uint32_t kErrorFileHasNul = 11003;
constexpr uint32_t kErrorFileNotRegular = 11004;

}  // namespace NARROW_CHAR_PAL

// The text of a platform error code: the system's text, else the HTTP
// client's text, else "(Error: <code>)". CR and LF become blanks.
std::string getSystemErrorText(uint32_t code);
