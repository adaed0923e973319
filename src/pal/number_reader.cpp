#include "pal/number_reader.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <type_traits>

namespace brenvik {

namespace {

bool isScanSpace(char c) {
    // The white-space class of the "C" locale, which sscanf skips.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

locale_t cLocale() {
    // Built once and kept: number parsing must not depend on setlocale.
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return loc;
}

// strtod and its kin in the "C" locale; out is untouched when nothing is read.
template <typename Real>
bool scanReal(const char* text, Real& out, Real (*convert)(const char*, char**, locale_t)) {
    if (text == nullptr) return false;
    const char* p = text;
    while (isScanSpace(*p)) ++p;
    char* end = nullptr;
    const Real v = convert(p, &end, cLocale());
    if (end == p) return false;
    out = v;
    return true;
}

}  // namespace

template <typename T>
LeadingInteger<T> readLeadingInteger(const char* text, int base) {
    static_assert(std::is_signed_v<T> && sizeof(T) <= sizeof(unsigned long long));
    LeadingInteger<T> n;
    n.end = text;
    if (text == nullptr) return n;
    const char* p = text;
    while (isScanSpace(*p)) ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    const auto digit = [base](char c) { return c >= '0' && c < '0' + base ? c - '0' : -1; };
    if (digit(*p) < 0) return n;
    // The magnitude's bound is one more for a negative number (two's
    // complement); past it the value is clamped, as strtol does, but the
    // digits are still consumed.
    using Magnitude = unsigned long long;
    const Magnitude bound = static_cast<Magnitude>(std::numeric_limits<T>::max()) + (negative ? 1u : 0u);
    Magnitude magnitude = 0;
    bool fits = true;
    for (int d; (d = digit(*p)) >= 0; ++p) {
        if (!fits) continue;
        if (magnitude > (bound - static_cast<Magnitude>(d)) / static_cast<Magnitude>(base)) {
            fits = false;
            magnitude = bound;
        } else {
            magnitude = magnitude * static_cast<Magnitude>(base) + static_cast<Magnitude>(d);
        }
    }
    n.read = true;
    n.fits = fits;
    // -(magnitude - 1) - 1 stays within T also for its most negative value.
    if (!negative)
        n.value = static_cast<T>(magnitude);
    else if (magnitude != 0)
        n.value = static_cast<T>(-static_cast<T>(magnitude - 1) - 1);
    n.end = p;
    return n;
}

template LeadingInteger<int32_t> readLeadingInteger<int32_t>(const char*, int);
template LeadingInteger<int64_t> readLeadingInteger<int64_t>(const char*, int);

namespace {

// A "%d"-like conversion: out is untouched when nothing is read.
template <typename T>
bool scanInteger(const char* text, T& out, int base = 10, const char** end = nullptr) {
    const LeadingInteger<T> n = readLeadingInteger<T>(text, base);
    if (n.read) out = n.value;
    if (end != nullptr) *end = n.end;
    return n.read;
}

}  // namespace

bool scanInt(const char* text, int32_t& out) { return scanInteger(text, out); }

bool scanInt(const char* text, int32_t& out, const char*& end) { return scanInteger(text, out, 10, &end); }

bool scanWord(const char* text, std::size_t width, std::string& out, const char*& end) {
    const char* p = text != nullptr ? text : "";
    while (isScanSpace(*p)) ++p;
    end = p;
    if (*p == '\0' || width == 0) return false;
    const char* start = p;
    while (*p != '\0' && !isScanSpace(*p) && static_cast<std::size_t>(p - start) < width) ++p;
    out.assign(start, p);
    end = p;
    return true;
}

bool scanInt64(const char* text, int64_t& out) { return scanInteger(text, out); }

bool scanOctal(const char* text, int32_t& out) { return scanInteger(text, out, 8); }

bool scanDouble(const char* text, double& out) { return scanReal(text, out, strtod_l); }

bool scanFloat(const char* text, float& out) { return scanReal(text, out, strtof_l); }

bool scanLongDouble(const char* text, long double& out) { return scanReal(text, out, strtold_l); }

int32_t atoiValue(const char* text) { return readLeadingInteger<int32_t>(text).value; }

double atofValue(const char* text) {
    double v = 0.0;
    return scanDouble(text, v) ? v : 0.0;
}

int32_t leadingDigitsValue(const char* text) {
    constexpr int64_t kMost = std::numeric_limits<int32_t>::max();
    int64_t value = 0;
    for (; text != nullptr && *text >= '0' && *text <= '9'; ++text)
        value = std::min(kMost, value * 10 + (*text - '0'));
    return static_cast<int32_t>(value);
}

const char* skipFirstWord(const char* text) {
    if (text == nullptr) return "";
    const char* p = text;
    while (isScanSpace(*p)) ++p;
    while (*p != '\0' && !isScanSpace(*p)) ++p;
    return p;
}

bool scanIntAfterFirstWord(const char* text, int32_t& out) {
    if (text == nullptr) return false;
    const char* p = text;
    while (isScanSpace(*p)) ++p;
    if (*p == '\0') return false;  // "%*s" itself failed
    return scanInt(skipFirstWord(p), out);
}

bool scanWordAfterFirstWord(const char* text, std::string& out) {
    if (text == nullptr) return false;
    const char* p = text;
    while (isScanSpace(*p)) ++p;
    if (*p == '\0') return false;
    p = skipFirstWord(p);
    while (isScanSpace(*p)) ++p;
    if (*p == '\0') return false;
    const char* start = p;
    while (*p != '\0' && !isScanSpace(*p)) ++p;
    out.assign(start, p);
    return true;
}

}  // namespace brenvik
