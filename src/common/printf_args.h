#pragma once
// Helpers shared by the printf-style fronts of the error reporter and the
// library error objects: what may be passed, how it is passed through "...",
// and a check of an argument list against a printf format.
#include <cstddef>
#include <string>
#include <type_traits>

namespace tarvex_printf {

template <typename T>
using Bare = std::remove_cv_t<std::remove_reference_t<T>>;

template <typename T>
inline constexpr bool isText = std::is_same_v<Bare<T>, std::string> ||
                               std::is_same_v<std::decay_t<T>, const char*> ||
                               std::is_same_v<std::decay_t<T>, char*>;

// Numbers, pointers and std::string (passed as its c_str()); anything else
// (class objects, enums, string views that need not end in NUL) is refused.
template <typename T>
inline constexpr bool isAllowed = std::is_arithmetic_v<Bare<T>> || std::is_pointer_v<std::decay_t<T>> ||
                                  std::is_same_v<Bare<T>, std::string> ||
                                  std::is_null_pointer_v<Bare<T>>;

template <typename T>
inline auto pass(const T& value) {
    if constexpr (std::is_same_v<Bare<T>, std::string>) {
        return value.c_str();
    } else if constexpr (std::is_array_v<T>) {
        return static_cast<const std::remove_extent_t<T>*>(value);
    } else if constexpr (isText<T>) {
        // A null text prints as "(null)" whatever the C library would do.
        return static_cast<const char*>(value ? value : "(null)");
    } else if constexpr (std::is_null_pointer_v<Bare<T>>) {
        return "(null)";
    } else if constexpr (std::is_same_v<Bare<T>, float>) {
        return static_cast<double>(value);
    } else {
        return value;
    }
}

// What one argument is, for the format check.
enum class ArgClass { Int32, Int64, Float, LongDouble, Text, Pointer, Other };

template <typename T>
constexpr ArgClass classify() {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<Bare<T>, std::string> || std::is_same_v<D, const char*> ||
                  std::is_same_v<D, char*> || std::is_null_pointer_v<D>) {
        return ArgClass::Text;
    } else if constexpr (std::is_pointer_v<D>) {
        return ArgClass::Pointer;
    } else if constexpr (std::is_integral_v<D>) {
        return sizeof(D) <= 4 ? ArgClass::Int32 : ArgClass::Int64;
    } else if constexpr (std::is_same_v<D, long double>) {
        return ArgClass::LongDouble;
    } else if constexpr (std::is_floating_point_v<D>) {
        return ArgClass::Float;
    } else {
        return ArgClass::Other;
    }
}

// True when the arguments fit the conversions of the format one by one, in
// number and in the size each conversion reads ("%d" an int-sized integer,
// "%ld" a 64-bit one, "%s" a text, "%p" any pointer or text, "*" an int).
// "%n" is never accepted. A null format takes no arguments.
constexpr bool formatAccepts(const char* format, const ArgClass* args, std::size_t count) {
    std::size_t used = 0;
    auto take = [&](ArgClass want, bool anyPointer = false) {
        if (used >= count) return false;
        ArgClass got = args[used++];
        if (anyPointer) return got == ArgClass::Pointer || got == ArgClass::Text;
        if (want == ArgClass::Int32 && got == ArgClass::Int32) return true;
        return got == want;
    };
    if (!format) return count == 0;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '\'') ++p;
        if (*p == '*') {
            if (!take(ArgClass::Int32)) return false;
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') ++p;
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                if (!take(ArgClass::Int32)) return false;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') ++p;
            }
        }
        int longs = 0;
        bool wide = false, longDouble = false;
        for (;; ++p) {
            if (*p == 'h') continue;
            if (*p == 'l') { ++longs; continue; }
            if (*p == 'z' || *p == 'j' || *p == 't') { wide = true; continue; }
            if (*p == 'L') { longDouble = true; continue; }
            break;
        }
        switch (*p) {
        case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
            if (!take((longs || wide) ? ArgClass::Int64 : ArgClass::Int32)) return false;
            break;
        case 'c':
            if (!take(ArgClass::Int32)) return false;
            break;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            if (!take(longDouble ? ArgClass::LongDouble : ArgClass::Float)) return false;
            break;
        case 's':
            if (longs || !take(ArgClass::Text)) return false;
            break;
        case 'p':
            if (!take(ArgClass::Pointer, true)) return false;
            break;
        default:  // "%n", "%S", "%C", a truncated conversion, ...
            return false;
        }
    }
    return used == count;
}

template <typename... A>
constexpr bool formatAcceptsArgs(const char* format) {
    if constexpr (sizeof...(A) == 0) {
        return formatAccepts(format, nullptr, 0);
    } else {
        constexpr ArgClass classes[] = {classify<A>()...};
        return formatAccepts(format, classes, sizeof...(A));
    }
}

// A copy of an argument for the HTML page: texts HTML-escaped, the rest as is.
std::string escapeHtml(const char* text);

template <typename T>
struct PageCopy {
    explicit PageCopy(const T& v) : value(v) {}
    const T& value;
    auto get() const { return pass(value); }
};

struct PageText {
    std::string escaped;
    const char* get() const { return escaped.c_str(); }
};

template <typename T>
auto pageCopy(const T& value) {
    if constexpr (isText<T> || std::is_null_pointer_v<Bare<T>>) {
        return PageText{escapeHtml(pass(value))};
    } else {
        return PageCopy<T>(value);
    }
}

}  // namespace tarvex_printf
