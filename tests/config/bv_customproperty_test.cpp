#include "config/bv_customproperty.h"

#include <gtest/gtest.h>

using namespace brenvik;

TEST(CustomProperty, RawLinesSplitIntoNameSeparatorValue) {
    struct Case {
        const char* line;
        const char* name;
        const char* separator;
        const char* value;
    } cases[] = {
        {"Enabled 1", "Enabled", " ", "1"},
        {"  \tKey:: value here", "Key", ":: ", "value here"},
        {"   # a comment  ", "", "", "# a comment  "},
        {"", "", "", ""},
        {"   ", "", "", ""},
        {"Bareword", "Bareword", "", ""},
        {"Name\tv\r\n", "Name", "\t", "v"},
    };
    for (const Case& c : cases) {
        bv_customproperty p;
        p.addRawLine(c.line);
        ASSERT_EQ(p.getNumberOfProperties(), 1) << c.line;
        EXPECT_EQ(p.getPropertyName(0), c.name) << c.line;
        EXPECT_EQ(p.getPropertySeparator(0), c.separator) << c.line;
        EXPECT_EQ(p.getPropertyValue(0), c.value) << c.line;
    }
}

TEST(CustomProperty, SetFindRemoveAndCopy) {
    bv_customproperty p;
    p.addRawLine("Alpha::1");
    p.addRawLine("# note");
    p.addRawLine("Beta");
    p.setDefaultSeparator("\t");
    p.setProperty("ALPHA", "2");  // existing: keeps place and separator
    p.setProperty("Gamma", "3");  // new: appended with the default separator
    p.setProperty("beta", "4");   // bare word gets the default separator
    p.addProperty("First", "0", "=", true);
    EXPECT_EQ(p.getNumberOfProperties(), 5);
    EXPECT_EQ(p.getPropertyName(0), "First");
    EXPECT_EQ(p.findProperty("alpha"), 1);
    EXPECT_EQ(p.getPropertyValue(1), "2");
    EXPECT_EQ(p.getPropertySeparator(1), "::");
    EXPECT_EQ(p.getPropertySeparator(3), "\t");
    EXPECT_EQ(p.getPropertyValue(3), "4");
    EXPECT_EQ(p.getPropertySeparator(4), "\t");
    EXPECT_EQ(p.findProperty("Gamma", 5), -1);
    EXPECT_EQ(p.findProperty("nothing"), -1);

    p.addProperty("gamma", "again", " ");
    p.removeProperty("GAMMA");
    EXPECT_EQ(p.getNumberOfProperties(), 4);
    EXPECT_EQ(p.getPropertyValue(2), "# note");

    bv_customproperty q;
    p.setHeader("# head\n");
    q.copyFrom(p);
    EXPECT_EQ(q.getNumberOfProperties(), 4);
    EXPECT_EQ(q.getHeader(), "# head\n");
    EXPECT_EQ(q.getDefaultSeparator(), "\t");
    q.copyFrom(q);
    EXPECT_EQ(q.getNumberOfProperties(), 4);
    q.setDefaultSeparator("");
    EXPECT_EQ(q.getDefaultSeparator(), " ");
    q.clear();
    EXPECT_EQ(q.getNumberOfProperties(), 0);
    EXPECT_EQ(q.getHeader(), "");
    EXPECT_EQ(q.getPropertyName(7), "");
}
