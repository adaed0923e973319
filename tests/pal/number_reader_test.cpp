#include "pal/number_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <limits>
#include <optional>

using namespace brenvik;

TEST(NumberReader, IntFollowsScanfRules) {
    struct Case {
        const char* text;
        bool read;
        int32_t value;
    } cases[] = {
        {"42", true, 42},          {"  \t-17x", true, -17},  {"+8", true, 8},
        {"x12", false, 0},         {"", false, 0},           {"-", false, 0},
        {"+ 5", false, 0},         {"12.9", true, 12},       {"0x1F", true, 0},
        {"99999999999", true, INT32_MAX},  // clamped, not wrapped
        {"-99999999999999999999999", true, INT32_MIN},
    };
    for (const Case& c : cases) {
        int32_t v = 777;
        EXPECT_EQ(scanInt(c.text, v), c.read) << c.text;
        EXPECT_EQ(v, c.read ? c.value : 777) << c.text;  // untouched when nothing read
    }
}

// The reading under every runtime conversion: where it stops, whether the
// value fitted, and the clamp at both ends of both widths.
TEST(NumberReader, LeadingIntegerStopsClampsAndTellsFit) {
    struct Case {
        const char* text;
        int base;
        bool read, fits;
        int64_t value;
        size_t end;  // offset where reading stopped
    };
    auto check = [](const auto& cases, auto width) {
        using T = decltype(width);
        for (const Case& c : cases) {
            const LeadingInteger<T> n = readLeadingInteger<T>(c.text, c.base);
            EXPECT_EQ(n.read, c.read) << c.text;
            EXPECT_EQ(n.fits, c.fits) << c.text;
            EXPECT_EQ(n.value, c.value) << c.text;
            EXPECT_EQ(n.end, c.text + c.end) << c.text;
        }
    };
    const Case cases32[] = {
        {" \t\n\v\f\r7;", 10, true, true, 7, 7},
        {"+12x", 10, true, true, 12, 3},
        {"-0", 10, true, true, 0, 2},
        {"+-5", 10, false, false, 0, 0},
        {"  ", 10, false, false, 0, 0},
        {"0x1F", 10, true, true, 0, 1},
        {"2147483647", 10, true, true, INT32_MAX, 10},
        {"2147483648", 10, true, false, INT32_MAX, 10},
        {"-2147483648", 10, true, true, INT32_MIN, 11},
        {"-2147483649", 10, true, false, INT32_MIN, 11},
        {"000000000000000000000042", 10, true, true, 42, 24},  // zeros never overflow
        {"99999999999999999999999x", 10, true, false, INT32_MAX, 23},  // digits consumed past the clamp
        {"0778", 8, true, true, 077, 3},
        {"8", 8, false, false, 0, 0},
        {"-20000000000", 8, true, true, INT32_MIN, 12},
    };
    check(cases32, int32_t{});
    const Case cases64[] = {
        {"9223372036854775807", 10, true, true, INT64_MAX, 19},
        {"9223372036854775808", 10, true, false, INT64_MAX, 19},
        {"-9223372036854775808", 10, true, true, INT64_MIN, 20},
        {"-9223372036854775809", 10, true, false, INT64_MIN, 20},
        {"-5000000000 ", 10, true, true, -5000000000LL, 11},
    };
    check(cases64, int64_t{});
    EXPECT_FALSE(readLeadingInteger<int32_t>(nullptr).read);
    EXPECT_EQ(atoiValue(nullptr), 0);
}

// Only a whole number of the target type; anything around it refuses it.
TEST(NumberReader, StrictParseTakesWholeTextOnly) {
    struct Case {
        const char* text;
        std::optional<int64_t> asInt64;
        std::optional<uint64_t> asUint64;
        std::optional<uint32_t> asHex32;
    };
    const Case cases[] = {
        {"42", 42, 42u, 0x42u},
        {"0", 0, 0u, 0u},
        {"", {}, {}, {}},
        {" 42", {}, {}, {}},
        {"42 ", {}, {}, {}},
        {"+42", {}, {}, {}},
        {"4 2", {}, {}, {}},
        {"-1", -1, {}, {}},
        {"-", {}, {}, {}},
        {"1f4", {}, {}, 0x1f4u},
        {"DEADbeef", {}, {}, 0xdeadbeefu},
        {"0x1f", {}, {}, {}},
        {"100000000", 100000000, 100000000u, {}},  // 33 bits in hexadecimal
        {"9223372036854775808", {}, 9223372036854775808ull, {}},
        {"18446744073709551616", {}, {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseDecimal<int64_t>(c.text), c.asInt64) << c.text;
        EXPECT_EQ(parseDecimal<uint64_t>(c.text), c.asUint64) << c.text;
        EXPECT_EQ(parseHex<uint32_t>(c.text), c.asHex32) << c.text;
    }
    // A view is read to its own end, not to a NUL beyond it.
    const char text[] = "1234";
    EXPECT_EQ(parseDecimal<int32_t>(std::string_view(text, 2)), 12);
    EXPECT_EQ(parseDecimal<int32_t>("2147483648"), std::nullopt);
}

TEST(NumberReader, OctalAndInt64) {
    int32_t v = 0;
    EXPECT_TRUE(scanOctal("0755", v));
    EXPECT_EQ(v, 0755);
    EXPECT_TRUE(scanOctal("778", v));
    EXPECT_EQ(v, 077);
    EXPECT_FALSE(scanOctal("9", v));
    int64_t w = 0;
    EXPECT_TRUE(scanInt64("-5000000000", w));
    EXPECT_EQ(w, -5000000000LL);
}

TEST(NumberReader, DecimalPointIsAlwaysAPoint) {
    // A comma-decimal locale must not change how "0.25" is read.
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    double d = 0;
    EXPECT_TRUE(scanDouble(" 0.25abc", d));
    EXPECT_DOUBLE_EQ(d, 0.25);
    float f = 0;
    EXPECT_TRUE(scanFloat("-1e3", f));
    EXPECT_FLOAT_EQ(f, -1000.0f);
    EXPECT_FALSE(scanDouble("abc", d));
    long double ld = 0;
    EXPECT_TRUE(scanLongDouble("12345.75", ld));
    EXPECT_EQ(ld, 12345.75L);
    EXPECT_DOUBLE_EQ(atofValue("x"), 0.0);
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(NumberReader, AfterFirstWord) {
    int32_t v = -3;
    EXPECT_TRUE(scanIntAfterFirstWord("Enabled 1", v));
    EXPECT_EQ(v, 1);
    v = -3;
    EXPECT_FALSE(scanIntAfterFirstWord("Enabled1", v));  // the number is part of the word
    EXPECT_FALSE(scanIntAfterFirstWord("Enabled", v));
    EXPECT_EQ(v, -3);
    std::string w = "keep";
    EXPECT_TRUE(scanWordAfterFirstWord("IPCLogfile \t../logs/x.log more", w));
    EXPECT_EQ(w, "../logs/x.log");
    w = "keep";
    EXPECT_FALSE(scanWordAfterFirstWord("IPCLogfile   ", w));
    EXPECT_EQ(w, "keep");
    EXPECT_EQ(atoiValue("  12abc"), 12);
    EXPECT_EQ(atoiValue("abc"), 0);
}

// Digits only, from the first byte on: unlike atoi, no blank and no sign.
TEST(NumberReader, LeadingDigitsTakeNoBlankOrSignAndClamp) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"9606", 9606},          {"562abc", 562},      {"7 8", 7},
        {" 12", 0},              {"+12", 0},           {"-12", 0},
        {"", 0},                 {nullptr, 0},         {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX}, {"99999999999999999999999", INT32_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(leadingDigitsValue(c.text), c.value) << (c.text ? c.text : "null");
}
