#include "config/bv_parserule.h"

#include <gtest/gtest.h>

#include <string>

#include "common/bv_errs.h"
#include "config/bv_sectionlines.h"

namespace {

using namespace brenvik;

TEST(ParseSection, RuleLines) {
    const std::string text126(126, 'a');
    const std::string text127(127, 'a');
    struct Case {
        std::string line;
        int message;  // 0: accepted
        int slot;     // for an accepted rule
        std::string text;
    } cases[] = {
        {"RULE_0 \"\\(.*\\)\"", 0, 0, "\\(.*\\)"},
        {"rule_7  ignored \"a\"b\" tail", 0, 7, "a\"b"},
        {"RULE_255\"x\"", 0, 255, "x"},
        {"RULE_12 \"" + text126 + "\"", 0, 12, text126},
        {"RULE_256 \"x\"", 1547, 0, ""},
        {"RULE_-1 \"x\"", 1547, 0, ""},
        {"RULE_99999999999999 \"x\"", 1547, 0, ""},
        {"RULE_13 \"" + text127 + "\"", 1550, 0, ""},
        {"RULE_14 \"only one quote", 1549, 0, ""},
        {"RULE_15 no quotes", 1549, 0, ""},
        {"RULES 1 \"x\"", 1546, 0, ""},
        {"RULE_0 \"second\"", 1548, 0, ""},  // slot 0 taken by the first case
    };
    std::string body;
    for (const Case& c : cases) body += c.line + "\n";
    body += "# comment\n\n   \nend\nRULE_20 \"after the end\"\n";
    bv_textlines lines(body);
    bv_errs errs(6, false, 3);  // every message, no merging
    bv_parseoptions parse;
    parse.readSection(lines, errs, "tarvex.dat", "# header\n");
    EXPECT_TRUE(parse.isSectionAvailable());
    EXPECT_EQ(parse.getHeader(), "# header\n");
    EXPECT_EQ(parse.getMaxRules(), 256);
    int e = 0;
    for (const Case& c : cases) {
        if (c.message == 0) {
            ASSERT_NE(parse.getRule(c.slot), nullptr);
            EXPECT_TRUE(parse.getRule(c.slot)->isDefined()) << c.line;
            EXPECT_EQ(parse.getRule(c.slot)->getText(), c.text) << c.line;
            EXPECT_FALSE(parse.getRule(c.slot)->isCompiled());
        } else {
            ++e;
            ASSERT_LE(e, errs.getNumberOfErrors()) << c.line;
            EXPECT_EQ(errs.getErrorNumber(e), c.message) << c.line;
            EXPECT_NE(errs.getErrorString(e).find(c.line), std::string::npos) << c.line;
        }
    }
    EXPECT_EQ(errs.getNumberOfErrors(), e);
    EXPECT_TRUE(errs.isValid());
    EXPECT_EQ(parse.getRule(0)->getText(), "\\(.*\\)");
    EXPECT_FALSE(parse.getRule(13)->isDefined());
    EXPECT_FALSE(parse.getRule(20)->isDefined());
    EXPECT_EQ(parse.getRule(256), nullptr);
    EXPECT_EQ(parse.getRule(-1), nullptr);
    // Every line of the section is kept in the raw store.
    EXPECT_EQ(parse.getNumberOfProperties(), static_cast<int>(std::size(cases)) + 3);

    parse.reset();
    EXPECT_FALSE(parse.getRule(0)->isDefined());
    EXPECT_EQ(parse.getNumberOfProperties(), 0);
}

TEST(ParseSection, CompileAndMatch) {
    struct Case {
        const char* text;
        bool ok;
        int message;
    } cases[] = {
        {"^>\\([^ ]*\\)", true, 0},
        {"[[:<:]]\\(P[0-9]\\{5\\}\\)[[:>:]]", true, 0},
        {"no group", false, 1540},
        {"\\(a\\)\\(b\\)", false, 1540},
        {"\\(unclosed", false, 1539},
    };
    for (const Case& c : cases) {
        bv_parserule rule;
        rule.define(c.text);
        bv_errs errs;
        EXPECT_EQ(rule.compile(&errs), c.ok) << c.text;
        EXPECT_EQ(rule.isCompiled(), c.ok) << c.text;
        EXPECT_EQ(errs.getLastError(), c.message) << c.text;
        bv_parserule quiet;
        quiet.define(c.text);
        EXPECT_EQ(quiet.compile(nullptr), c.ok);
    }
    bv_parserule rule;
    rule.define("^>SP|\\([a-z0-9]*\\)");
    ASSERT_TRUE(rule.compile(nullptr));
    regmatch_t m[2];
    const char* title = ">sp|P12345|KINASE";
    ASSERT_EQ(regexec(rule.getCompiled(), title, 2, m, 0), 0);  // letter case ignored
    EXPECT_EQ(std::string(title + m[1].rm_so, title + m[1].rm_eo), "P12345");

    bv_parserule copy(rule);
    EXPECT_TRUE(copy.isCompiled());
    EXPECT_NE(copy.getCompiled(), rule.getCompiled());
    EXPECT_TRUE(copy.isDefined());
    rule.clear();
    EXPECT_FALSE(rule.isDefined());
    EXPECT_FALSE(rule.isCompiled());
    EXPECT_TRUE(copy.isCompiled());
}

}  // namespace
