#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <random>
#include <string>
#include <stdexcept>

#include "common/text_utils.h"

TEST(UrlDecode, Cases) {
    const struct {
        const char* in;
        std::string out;
    } cases[] = {
        {"a%20b", "a b"},
        {"%4a%4A", "JJ"},
        {"%zz", std::string(1, '\0')},
        {"%2z", std::string(1, '\x20')},
        {"abc%4", "abc4"},
        {"100%", "100"},
        {"%", ""},
        {"a+b", "a+b"},
        {"%41%42c", "ABc"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(urlDecode(c.in), c.out) << c.in;
}

TEST(TrimSpaces, Cases) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"  a b  ", "a b"}, {"\ta ", "\ta"}, {"    ", ""}, {"", ""}, {"x", "x"}, {" \t ", "\t"}};
    for (const auto& c : cases) {
        std::string s = c.in;
        trimSpaces(s);
        EXPECT_EQ(s, c.out) << '"' << c.in << '"';
    }
}

TEST(TrimRight, DropsTrailingWhiteOnly) {
    char a[] = " a b\t\r\n ";
    trimRight(a);
    EXPECT_STREQ(a, " a b");
    char b[] = "\r\n";
    trimRight(b);
    EXPECT_STREQ(b, "");
    trimRight(nullptr);
}

TEST(CompareNoCase, FullAndPrefix) {
    EXPECT_EQ(compareNoCase("Options", "OPTIONS"), 0);
    EXPECT_LT(compareNoCase("abc", "abd"), 0);
    EXPECT_GT(compareNoCase("b", "A"), 0);

    const struct {
        const char* text;
        const char* expected;
        size_t count;
        int result;
    } cases[] = {
        {"db", "DB", 2, 0}, {"Db", "DB", 2, 0}, {"DBX", "DB", 2, 0}, {"D", "DB", 2, -1},
        {"", "DB", 2, -1},  {"xy", "DB", 0, 0}, {"dc", "DB", 2, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(compareNoCasePrefix(c.text, c.expected, c.count), c.result) << c.text << " " << c.count;
}

TEST(IsBlankLine, Cases) {
    EXPECT_TRUE(isBlankLine(nullptr));
    EXPECT_TRUE(isBlankLine(""));
    EXPECT_TRUE(isBlankLine(" \t\x1a\rtext"));
    EXPECT_TRUE(isBlankLine("  \nx"));
    EXPECT_FALSE(isBlankLine(" a"));
}

TEST(SkipAndFind, Cases) {
    const char* t = "  \tword";
    EXPECT_EQ(skipChars(t, " \t"), t + 3);
    EXPECT_EQ(*skipChars("   ", " "), '\0');
    EXPECT_EQ(skipChars(nullptr, " "), nullptr);

    const char* s = "key   = value";
    EXPECT_EQ(findFirstOf(s, false, "=:"), s + 6);
    EXPECT_EQ(findFirstOf(s, true, "=:"), s + 3);
    const char* lead = "  =x";
    EXPECT_EQ(findFirstOf(lead, true, "="), lead);
    EXPECT_EQ(findFirstOf("abc", false, "="), nullptr);
    EXPECT_EQ(findFirstOf(nullptr, true, "="), nullptr);
}

TEST(CopyWithoutAngleBrackets, SizesIncludingTinyBuffers) {
    const struct {
        const char* src;
        size_t size;
        const char* out;
    } cases[] = {
        {"<b>x</b>", 10, "bx/b"}, {"<b>x</b>", 4, "bx"}, {"", 10, ""}, {"abc", 2, ""}, {"abc", 1, ""},
    };
    for (const auto& c : cases) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        copyWithoutAngleBrackets(c.src, buf, c.size);
        EXPECT_STREQ(buf, c.out) << c.src << " " << c.size;
        for (size_t i = c.size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#') << "wrote past the buffer";
    }
    char untouched = '#';
    copyWithoutAngleBrackets("abc", &untouched, 0);
    EXPECT_EQ(untouched, '#');
}

TEST(EnglishLocale, GuardSwitchesAndRestores) {
    // A locale other than "C" may not be installed; the guard's contract is
    // tested against whatever is current and against a changed category.
    std::setlocale(LC_ALL, "C");
    std::setlocale(LC_NUMERIC, "C.UTF-8");
    std::string before = std::setlocale(LC_ALL, nullptr);
    {
        EnglishLocaleGuard guard;
        EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
        EXPECT_STREQ(std::localeconv()->decimal_point, ".");
    }
    EXPECT_EQ(std::string(std::setlocale(LC_ALL, nullptr)), before);
    try {
        EnglishLocaleGuard guard;
        throw std::runtime_error("parse failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(std::string(std::setlocale(LC_ALL, nullptr)), before);
    restoreLocale(nullptr);
    std::setlocale(LC_ALL, "C");
}

TEST(FindBytes, FirstPlaceLikeAPlainSearch) {
    const struct {
        std::string data;
        std::string bytes;
        long at;  // -1: not there
    } cases[] = {
        {"abc", "", -1},
        {"", "a", -1},
        {"ab", "abc", -1},
        {"abc", "abc", 0},
        {"xxabc", "c", 4},
        {std::string("P01234\0\x01\x22\0\0\0" "1234\0", 16), std::string("1234\0", 5), 2},
        {std::string(40, 'a') + "ab", "aab", 39},                           // past the last whole block
        {std::string(15, '0') + "B999999" + std::string(20, '0'), "B999999", 15},  // across a block edge
        {std::string(64, 'B'), "BXB", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const char* found = findBytes(c.data.data(), c.data.size(), c.bytes);
        EXPECT_EQ(found == nullptr ? -1 : found - c.data.data(), c.at);
    }
    // Random data of few byte values, so that near-misses are common, at
    // every length around the block size.
    std::mt19937 random(7);
    for (int round = 0; round < 4000; ++round) {
        std::string data(random() % 80, ' '), bytes(1 + random() % 6, ' ');
        for (char& c : data) c = "AB\0"[random() % 3];
        for (char& c : bytes) c = "AB\0"[random() % 3];
        const size_t expected = std::string_view(data).find(bytes);
        const char* found = findBytes(data.data(), data.size(), bytes);
        ASSERT_EQ(found == nullptr ? std::string_view::npos : static_cast<size_t>(found - data.data()), expected)
            << "round " << round;
    }
}
