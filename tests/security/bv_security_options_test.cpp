#include "security/bv_security_options.h"

#include <gtest/gtest.h>

#include "support/session_files.h"
#include "support/temp_dir.h"

using brenvik::bv_security_options;

namespace {

TEST(SecurityOptions, MissingFileMeansDefaults) {
    tarvex_test::TempDir dir("options");
    bv_security_options o(dir.file("config/security_options.xml"));
    EXPECT_TRUE(o.isValid());
    EXPECT_EQ(o.getNumberOfErrors(), 0);
    EXPECT_FALSE(o.isSecurityEnabled());
    EXPECT_EQ(o.getLogFileName(), "../logs/security.log");
    EXPECT_EQ(o.getLogLevel(), 3);
    EXPECT_EQ(o.getSessionTimeout(), 21600);
}

TEST(SecurityOptions, ValuesAndBooleanForms) {
    struct Case {
        const char* enabled;
        bool on;
    };
    // XML white space around a value (an editor's line breaks) does not
    // change it; inside a word it does.
    for (const Case& c : {Case{"true", true}, Case{"Yes", true}, Case{"1", true}, Case{"TRUE", true},
                          Case{"on", false}, Case{"", false}, Case{"\n  true\n", true}, Case{"\r\n\tyes \r\n", true},
                          Case{" 1", true}, Case{"\nfalse\n", false}, Case{"tr ue", false}, Case{"\n\n", false}}) {
        SCOPED_TRACE(c.enabled);
        tarvex_test::TempDir dir("options");
        tarvex_test::SecurityOptionsSpec spec;
        spec.securityEnabled = c.enabled;
        spec.logLevel = "6";
        spec.logFileName = "../logs/sec.csv";
        spec.appServerURL = "http://app.example:8080/base";
        tarvex_test::writeSecurityOptions(dir.file("config"), spec);
        bv_security_options o(dir.file("config/security_options.xml"));
        EXPECT_TRUE(o.isValid()) << o.getLastErrorString();
        EXPECT_EQ(o.isSecurityEnabled(), c.on);
        EXPECT_EQ(o.getLogLevel(), 6);
        EXPECT_EQ(o.getLogFileName(), "../logs/sec.csv");
        EXPECT_EQ(o.getVostrelAppServerURL(), "http://app.example:8080/base");
    }
}

TEST(SecurityOptions, BrokenFilesAreRecorded) {
    tarvex_test::TempDir dir("options");
    tarvex_test::installSecuritySchema(dir.file("config"));
    const std::string path = dir.file("config/security_options.xml");

    tarvex_test::writeFile(path, "<bvs:security_options><unclosed>");
    bv_security_options malformed(path);
    EXPECT_FALSE(malformed.isValid());
    bool has2049 = false;
    for (int i = 1; i <= malformed.getNumberOfErrors(); ++i) has2049 = has2049 || malformed.getErrorNumber(i) == 2049;
    EXPECT_TRUE(has2049);
    EXPECT_EQ(malformed.getLastError(), 4108);
    EXPECT_FALSE(malformed.isSecurityEnabled());

    tarvex_test::SecurityOptionsSpec spec;
    spec.omit = {"logLevel"};
    tarvex_test::writeFile(path, tarvex_test::securityOptionsXml(spec));
    bv_security_options missing(path);
    EXPECT_FALSE(missing.isValid());
    EXPECT_EQ(missing.getLastErrorString(), "Cannot find bvs:logLevel element");
    EXPECT_TRUE(missing.isSecurityEnabled());
    EXPECT_EQ(missing.getLogLevel(), 3);
}

}  // namespace
