#include "config/number_reader.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace brenvik {

namespace {

bool isScanSpace(char c) {
    // The white-space class of the "C" locale, which sscanf skips.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// strtoll in a fixed base; errno tells an overflow, which we clamp.
bool scanLongLong(const char* text, int base, long long& out, const char** stop = nullptr) {
    if (stop != nullptr) *stop = text;
    if (text == nullptr) return false;
    const char* p = text;
    while (isScanSpace(*p)) ++p;
    // strtoll would also accept a "0x" prefix in base 16 only; in bases 8 and
    // 10 it reads exactly what sscanf reads.
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, base);
    if (end == p) return false;
    out = v;  // strtoll has already clamped to LLONG_MIN/LLONG_MAX on ERANGE
    if (stop != nullptr) *stop = end;
    return true;
}

int32_t clampToInt32(long long v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

locale_t cLocale() {
    // Built once and kept: number parsing must not depend on setlocale.
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return loc;
}

}  // namespace

bool scanInt(const char* text, int32_t& out) {
    long long v = 0;
    if (!scanLongLong(text, 10, v)) return false;
    out = clampToInt32(v);
    return true;
}

bool scanInt(const char* text, int32_t& out, const char*& end) {
    long long v = 0;
    if (!scanLongLong(text, 10, v, &end)) return false;
    out = clampToInt32(v);
    return true;
}

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

bool scanInt64(const char* text, int64_t& out) {
    long long v = 0;
    if (!scanLongLong(text, 10, v)) return false;
    out = static_cast<int64_t>(v);
    return true;
}

bool scanOctal(const char* text, int32_t& out) {
    long long v = 0;
    if (!scanLongLong(text, 8, v)) return false;
    out = clampToInt32(v);
    return true;
}

bool scanDouble(const char* text, double& out) {
    if (text == nullptr) return false;
    const char* p = text;
    while (isScanSpace(*p)) ++p;
    char* end = nullptr;
    double v = strtod_l(p, &end, cLocale());
    if (end == p) return false;
    out = v;
    return true;
}

bool scanFloat(const char* text, float& out) {
    if (text == nullptr) return false;
    const char* p = text;
    while (isScanSpace(*p)) ++p;
    char* end = nullptr;
    float v = strtof_l(p, &end, cLocale());
    if (end == p) return false;
    out = v;
    return true;
}

int32_t atoiValue(const char* text) {
    int32_t v = 0;
    return scanInt(text, v) ? v : 0;
}

double atofValue(const char* text) {
    double v = 0.0;
    return scanDouble(text, v) ? v : 0.0;
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
