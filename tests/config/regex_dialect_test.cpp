#include "config/regex_dialect.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using brenvik::BsdRegex;
using brenvik::translateBsdRegex;

TEST(RegexDialect, Translation) {
    struct Case {
        const char* bsd;
        const char* glibc;
    } cases[] = {
        {"[[:<:]]\\(P[0-9]\\{5\\}\\)[[:>:]]", "\\<\\(P[0-9]\\{5\\}\\)\\>"},
        {"gi\\|\\([0-9]*\\)", "gi|\\([0-9]*\\)"},
        {"a\\+b\\?c\\<d\\>e", "a+b?c<d>e"},
        {"\\w\\s\\b\\B\\`\\'\\n", "wsbB`'n"},
        {"\\.\\[\\]\\*\\^\\$\\\\", "\\.\\[]\\*\\^\\$\\\\"},
        {"\\(a\\)\\1\\9", "\\(a\\)\\1\\9"},
        {"[\\|]x", "[\\|]x"},                // inside brackets: verbatim
        {"[]a[:<:]]\\+", "[]a[:<:]]+"},      // leading ']' and a class inside
        {"[^]x]\\?", "[^]x]?"},
        {"x[[:<:]]y", "x\\<y"},
        {"[abc", "[abc"},                    // unclosed: left for regcomp to refuse
        {"trail\\", "trail\\"},
    };
    for (const Case& c : cases) EXPECT_EQ(translateBsdRegex(c.bsd), c.glibc) << c.bsd;
}

TEST(RegexDialect, MatchesLikeTheBsdLibrary) {
    struct Case {
        const char* pattern;
        const char* text;
        bool match;
        const char* sub1;  // first sub-expression when matched, or nullptr
    } cases[] = {
        {"[[:<:]]\\(P[0-9]\\{5\\}\\)[[:>:]]", ">sp|P12345|X", true, "P12345"},
        {"[[:<:]]\\(P[0-9]\\{5\\}\\)[[:>:]]", ">sp|P123456|X", false, nullptr},
        {"gi\\|\\([0-9]*\\)", ">gi|4711|ref", true, "4711"},
        {"gi\\|\\([0-9]*\\)", ">gi4711", false, nullptr},  // "\|" is no alternation
        {"a\\+", "aaa", false, nullptr},                    // "\+" is a literal '+'
        {"a\\+", "xa+", true, nullptr},
        {"^>\\([^ ]*\\)", ">ABC_HUMAN desc", true, "ABC_HUMAN"},
        {"ipi", "IPI00001", true, nullptr},                 // REG_ICASE below
    };
    for (const Case& c : cases) {
        BsdRegex re;
        ASSERT_EQ(re.compile(c.pattern, REG_ICASE), 0) << c.pattern;
        regmatch_t m[2];
        int rc = re.exec(c.text, 2, m);
        EXPECT_EQ(rc == 0, c.match) << c.pattern << " on " << c.text;
        if (rc == 0 && c.sub1 != nullptr) {
            ASSERT_GE(m[1].rm_so, 0);
            EXPECT_EQ(std::string(c.text + m[1].rm_so, c.text + m[1].rm_eo), c.sub1);
        }
    }
}

TEST(RegexDialect, CompileErrors) {
    const char* bad[] = {"", "[abc", "\\(ab", "a\\{2", "trail\\"};
    for (const char* p : bad) {
        BsdRegex re;
        int rc = re.compile(p, REG_ICASE);
        EXPECT_NE(rc, 0) << p;
        EXPECT_FALSE(re.compiled());
        EXPECT_FALSE(re.errorText(rc).empty());
        regmatch_t m[1];
        EXPECT_EQ(re.exec("x", 1, m), REG_BADPAT);
    }
    regex_t raw;
    EXPECT_EQ(brenvik::bsdRegcomp(&raw, "", 0), REG_BADPAT);
    EXPECT_EQ(brenvik::bsdRegcomp(&raw, nullptr, 0), REG_BADPAT);
}

TEST(RegexDialect, RecompileReplacesAndCountsSubExpressions) {
    BsdRegex re;
    ASSERT_EQ(re.compile("\\(a\\)\\(b\\)", 0), 0);
    EXPECT_EQ(re.subExpressions(), 2u);
    ASSERT_EQ(re.compile("x", 0), 0);
    EXPECT_EQ(re.subExpressions(), 0u);
    EXPECT_NE(re.compile("[", 0), 0);
    EXPECT_EQ(re.subExpressions(), 0u);
}

}  // namespace
