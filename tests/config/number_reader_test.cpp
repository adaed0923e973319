#include "config/number_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>

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
