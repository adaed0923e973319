#pragma once
// Every reading of a number from text goes through here, in one of two
// families.
//
// The runtime family reads as sscanf's "%d", "%o", "%f", "%lf", atoi, atof
// and strtol do, for the formats whose rules are the runtime's: leading white
// space skipped, an optional sign, reading stops at the first character that
// does not fit, and "nothing read" is told apart from a value. Values beyond
// the target type are clamped to its range instead of overflowing. Decimal
// numbers are always read in the "C" locale, whatever the process locale is.
//
// The strict family (parseDecimal, parseHex) accepts only a whole text that
// is a number within the target type: no white space, no "+", no trailing
// byte. It is for texts this system writes itself and reads back.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace brenvik {

// What strtol reads at the start of a text, for a signed integer type.
template <typename T>
struct LeadingInteger {
    bool read = false;           // white space, a sign and at least one digit
    bool fits = false;           // read, and the value lies within T
    T value = 0;                 // clamped to T's range; 0 when nothing was read
    const char* end = nullptr;   // where reading stopped; the text itself when nothing was read
};

// Base 8 or 10. A null text reads nothing.
template <typename T>
LeadingInteger<T> readLeadingInteger(const char* text, int base = 10);
extern template LeadingInteger<int32_t> readLeadingInteger<int32_t>(const char*, int);
extern template LeadingInteger<int64_t> readLeadingInteger<int64_t>(const char*, int);

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
// "%Lf"
bool scanLongDouble(const char* text, long double& out);

// atoi / atof: 0 when nothing could be read.
int32_t atoiValue(const char* text);
double atofValue(const char* text);

// The decimal digits at the very start of the text (no white space, no
// sign), clamped to INT32_MAX; 0 when there are none. How the taxonomy
// commands read a command number and a taxonomy ID.
int32_t leadingDigitsValue(const char* text);

// Position after the first blank-delimited word (leading white space
// skipped first): what "%*s" leaves for the next conversion.
const char* skipFirstWord(const char* text);

// "%*s %d": the first integer after the first word.
bool scanIntAfterFirstWord(const char* text, int32_t& out);
// "%*s %s": the first blank-free word after the first word; false (and out
// untouched) when there is none.
bool scanWordAfterFirstWord(const char* text, std::string& out);

namespace number_detail {
template <typename T>
std::optional<T> parseWhole(std::string_view text, int base) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    T value{};
    const char* last = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), last, value, base);
    if (error != std::errc() || stop != last) return std::nullopt;
    return value;
}
}  // namespace number_detail

// The whole text as a decimal number of type T ("-" allowed for signed T).
template <typename T>
std::optional<T> parseDecimal(std::string_view text) {
    return number_detail::parseWhole<T>(text, 10);
}

// The whole text as a hexadecimal number of type T, digits of either case,
// without a "0x" prefix.
template <typename T>
std::optional<T> parseHex(std::string_view text) {
    return number_detail::parseWhole<T>(text, 16);
}

}  // namespace brenvik
