#pragma once
// Number readers with the semantics of sscanf's "%d", "%o", "%f" and "%lf"
// and of atoi/atof, as the configuration readers need them: leading white
// space skipped, an optional sign, reading stops at the first character that
// does not fit, and "nothing read" is told apart from a value. Values beyond
// the target type are clamped to its range instead of overflowing. Decimal
// numbers are always read in the "C" locale, whatever the process locale is.
#include <cstddef>
#include <cstdint>
#include <string>

namespace brenvik {

// "%d": true when a number was read; out is untouched otherwise.
bool scanInt(const char* text, int32_t& out);
inline bool scanInt(const std::string& text, int32_t& out) { return scanInt(text.c_str(), out); }

// "%d" that also tells where reading stopped (text itself when nothing was
// read), for readers that take several conversions from one line.
bool scanInt(const char* text, int32_t& out, const char*& end);

// "%Ns": skips white space, then takes up to width characters that are not
// white space; false (out untouched, end at the end of the text) when the
// text holds nothing but white space.
bool scanWord(const char* text, std::size_t width, std::string& out, const char*& end);

// "%lld"
bool scanInt64(const char* text, int64_t& out);

// "%o": an octal number (a sign allowed), clamped to the 32-bit range.
bool scanOctal(const char* text, int32_t& out);

// "%lf" and "%f".
bool scanDouble(const char* text, double& out);
inline bool scanDouble(const std::string& text, double& out) { return scanDouble(text.c_str(), out); }
bool scanFloat(const char* text, float& out);

// atoi / atof: 0 when nothing could be read.
int32_t atoiValue(const char* text);
double atofValue(const char* text);

// Position after the first blank-delimited word (leading white space
// skipped first): what "%*s" leaves for the next conversion.
const char* skipFirstWord(const char* text);

// "%*s %d": the first integer after the first word.
bool scanIntAfterFirstWord(const char* text, int32_t& out);
// "%*s %s": the first blank-free word after the first word; false (and out
// untouched) when there is none.
bool scanWordAfterFirstWord(const char* text, std::string& out);

}  // namespace brenvik
