#include "database/accession.h"

#include "common/error_reporter.h"
#include "config/bv_parserule.h"
#include "support/reporter_switches.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace brenvik;

namespace {

// Reports go nowhere but into the reporter's own record of the last number.
class AccessionRules : public ::testing::Test {
protected:
    void SetUp() override {
        saved_.quiet();
        errorReporter.toCollected = false;
    }
    // The number of the first report made by f (0 for none).
    template <typename F>
    static int reportOf(F&& f) {
        errorReporter.report(0, -1, 1, "accession_test");
        const int before = errorReporter.getLastNumber();
        f();
        const int after = errorReporter.getLastNumber();
        return after == before ? 0 : after;
    }
    tarvex_test::ReporterSwitches saved_;
};

std::string extract(const char* ruleText, const char* line, size_t size = 200) {
    AccessionRule rule;
    rule.set(ruleText);
    std::string out(size, '#');
    const char* r = getAccessionFromLine(line, out.data(), size, rule, false);
    return r ? std::string(r) : std::string("<null>");
}

}  // namespace

TEST_F(AccessionRules, CutsAccessionsOutOfLines) {
    struct Case {
        const char* rule;
        const char* line;
        size_t size;
        const char* expected;
    };
    const Case cases[] = {
        {">\\([^ ]*\\)", ">P12345 Some protein", 200, "P12345"},
        {">\\([^ ]*\\)", ">p12345", 200, "p12345"},
        {">SP|\\([^|]*\\)|", ">sp|Q9XYZ1|NAME_HUMAN", 200, "Q9XYZ1"},             // case ignored, kept
        {">\\([^ ]*\\)", ">P12345 Some protein", 4, "P12"},                        // cut to size - 1
        {">\\([^ ]*\\)", "no marker", 200, "<null>"},
        {"\\(.*\\)", "whole line, kept as it is", 200, "whole line, kept as it is"},
        {"\\(.*\\)", "abcdef", 4, "abc"},
        {"\\(.*\\)", "", 200, ""},
        {"C;Species .*:\\(.*\\)", "C;Species: Homo sapiens", 200, " Homo sapiens"},
        {"C;Species .*:\\(.*\\)", "C;Species a:b:c", 200, "b:c"},
        {"C;Species .*:\\(.*\\)", "no colon here", 200, "<null>"},
        {"C;Species .*:\\(.*\\)", "C;Species: Homo sapiens", 5, " Hom"},
        // BSD dialect: \| is a literal bar, [[:<:]] a word start.
        {">\\([^ ]*\\)\\|", ">abc|def", 200, "abc"},
        {"[[:<:]]\\(gi[0-9]*\\)", "xgi12 gi34", 200, "gi34"},
        {"\\([a-z]*\\)[[:>:]]", "abc def", 200, "abc"},
        {"\\([a-z]*\\)[[:>:]] \\+", "abc +", 200, "abc"},
        // A sub-expression that takes no part in the match gives an empty text.
        {">\\(x\\)*abc", ">abc", 200, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.rule) + " on " + c.line);
        EXPECT_EQ(extract(c.rule, c.line, c.size), c.expected);
    }
}

TEST_F(AccessionRules, ZeroSizeBufferGivesNothing) {
    AccessionRule rule;
    rule.set("\\(.*\\)");
    char out[1] = {'#'};
    EXPECT_EQ(getAccessionFromLine("abc", out, 0, rule, false), nullptr);
    EXPECT_EQ(out[0], '#');
}

TEST_F(AccessionRules, RefusedRulesAreReported) {
    {
        AccessionRule rule;
        EXPECT_EQ(reportOf([&] { rule.set(">\\(sp\\)|\\([^|]*\\)"); }), 128);
        EXPECT_EQ(rule.regex, nullptr);
    }
    {
        AccessionRule rule;
        EXPECT_EQ(reportOf([&] { rule.set(">[^ ]*"); }), 128) << "no sub-expression at all";
    }
    {
        AccessionRule rule;
        EXPECT_EQ(reportOf([&] { rule.set(">\\([^ ]*"); }), 127);
        EXPECT_EQ(rule.regex, nullptr);
        char out[20];
        // Every later use says so again and yields nothing.
        EXPECT_EQ(reportOf([&] { EXPECT_EQ(getAccessionFromLine(">abc", out, sizeof out, rule, false), nullptr); }),
                  127);
    }
    {
        AccessionRule rule;
        EXPECT_EQ(reportOf([&] { rule.set(""); }), 0) << "an empty text is not compiled";
        char out[20];
        EXPECT_EQ(reportOf([&] { getAccessionFromLine("abc", out, sizeof out, rule, true); }), 127);
    }
}

TEST_F(AccessionRules, NoMatchIsReportedOnlyWhenAsked) {
    AccessionRule rule;
    rule.set(">\\([^ ]*\\)");
    ASSERT_NE(rule.regex, nullptr);
    char out[20];
    EXPECT_EQ(reportOf([&] { EXPECT_EQ(getAccessionFromLine("plain", out, sizeof out, rule, false), nullptr); }), 0);
    std::string longLine(500, 'x');
    EXPECT_EQ(reportOf([&] { EXPECT_EQ(getAccessionFromLine(longLine.c_str(), out, sizeof out, rule, true), nullptr); }),
              129);
    EXPECT_FALSE(rule.regex->matched);
    EXPECT_EQ(rule.regex->matchStatus, REG_NOMATCH);
    EXPECT_FALSE(rule.regex->getMatchErrorText().empty());
}

TEST_F(AccessionRules, SetCutsTheTextAndReplacesTheExpression) {
    AccessionRule rule;
    rule.set(">\\([^ ]*\\)");
    ASSERT_NE(rule.regex, nullptr);
    EXPECT_EQ(rule.regex->text, ">\\([^ ]*\\)");
    EXPECT_EQ(rule.regex->subExpressionCount, 1);
    EXPECT_EQ(rule.regex->matches.size(), 10u);
    std::string longRule = "\\(" + std::string(200, 'a') + "\\)";
    rule.set(longRule.c_str());
    EXPECT_EQ(std::strlen(rule.text), 127u);
    rule.clear();
    EXPECT_EQ(rule.text[0], '\0');
    EXPECT_EQ(rule.regex, nullptr);
    ParseRuleRegex plain(false);
    EXPECT_EQ(plain.text, "uninitexpr");
    EXPECT_EQ(plain.matches.size(), 1u);
}

TEST_F(AccessionRules, TakesTheTextOfAConfigurationRule) {
    bv_parserule configRule;
    configRule.define(">\\([^ ]*\\)");
    AccessionRule rule;
    rule.set(configRule);
    ASSERT_NE(rule.regex, nullptr);
    char out[20];
    ASSERT_NE(getAccessionFromLine(">Q12 x", out, sizeof out, rule, false), nullptr);
    EXPECT_STREQ(out, "Q12");
}

TEST_F(AccessionRules, ConfigurationRuleCompiledOnceAndSharedOrReportedAsBefore) {
    bv_parserule configRule;
    configRule.define("SP|\\([^|]*\\)|");
    ASSERT_TRUE(configRule.compile(nullptr));
    AccessionRule rule;
    EXPECT_EQ(reportOf([&] { rule.set(configRule); }), 0);
    ASSERT_NE(rule.regex, nullptr);
    EXPECT_EQ(rule.regex->regex.get(), configRule.getRegex()) << "the configuration's expression, not a new one";
    EXPECT_STREQ(rule.text, "SP|\\([^|]*\\)|");
    EXPECT_EQ(rule.regex->text, rule.text);
    EXPECT_EQ(rule.regex->subExpressionCount, 1);
    EXPECT_EQ(rule.regex->matches.size(), 10u);
    EXPECT_EQ(rule.regex->compileFlags, REG_ICASE);
    char out[20];
    ASSERT_NE(getAccessionFromLine(">sp|Q12|X_HUMAN", out, sizeof out, rule, false), nullptr);
    EXPECT_STREQ(out, "Q12");

    // Rules the configuration could not compile are compiled here and
    // reported just as before.
    const struct {
        const char* text;
        int report;
    } refused[] = {{">\\([^ ]*", 127}, {">[^ ]*", 128}, {">\\(sp\\)|\\([^|]*\\)", 128}};
    for (const auto& c : refused) {
        bv_parserule bad;
        bad.define(c.text);
        EXPECT_FALSE(bad.compile(nullptr));
        AccessionRule fromBad;
        EXPECT_EQ(reportOf([&] { fromBad.set(bad); }), c.report) << c.text;
        EXPECT_EQ(fromBad.regex, nullptr);
        EXPECT_STREQ(fromBad.text, c.text);
    }
}
