#include "config/bv_configfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/bv_configsource.h"
#include "config/bv_taxonomyoptions.h"
#include "support/fake_clock.h"
#include "support/http_test_server.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using namespace brenvik;

std::vector<int> numbers(const bv_errs& e) {
    std::vector<int> out;
    for (int i = 1; i <= e.getNumberOfErrors(); ++i) out.push_back(e.getErrorNumber(i));
    return out;
}

// The sections every file needs, so that a test sees only its own messages.
const char* kOtherSections =
    "WWW\nend\nCluster\nend\nUniGene\nend\nOptions\nend\nCron\nend\n";

// Parses a text as tarvex.dat through the real line source.
class Parsed {
public:
    explicit Parsed(const std::string& text) {
        tarvex_test::writeFile(dir_.file("tarvex.dat"), text);
        bv_configsource source(&config, bv_connectionsettings());
        EXPECT_TRUE(source.open(dir_.file("tarvex.dat"), CONFIG_MAIN));
        statusPage = !config.parseSections(source);
    }
    tarvex_test::TempDir dir_;
    bv_configfile config;
    bool statusPage = false;
};

TEST(ConfigFileSyntax, OnlyCommentsGivesSevenMissingSections) {
    Parsed p("# a comment\n\n   \t\x1a\n## another\n");
    // Seven reports of one number in a row: the error object merges the
    // repeats after the second.
    EXPECT_EQ(numbers(p.config), (std::vector<int>{1574, 1574}));
    EXPECT_NE(p.config.getErrorString(1).find("'Databases'"), std::string::npos);
    EXPECT_NE(p.config.getErrorString(2).find("(Error repeated 6 times)"), std::string::npos);
    EXPECT_TRUE(p.config.isValid());
    EXPECT_EQ(p.config.getTrailingComment(), "# a comment\n\n\x1a\n## another\n");
}

TEST(ConfigFileSyntax, HeadersAndEndLines) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<int> messages;
        int databases;
        int rules;
    } cases[] = {
        {"indented lower-case header, suffix", std::string("  databases_and_more\nDB1 p AA 1 1 1 1 1 1 0 1 2 0\nend\n") +
                                                   "PARSE\nRULE_1 \"\\(x\\)\"\nRULE_2 \"\\(y\\)\"\nend\n" + kOtherSections,
         {}, 1, 2},
        {"end + TAB does not end a section",
         std::string("Databases\nend\tnot yet\nDB1 p AA 1 1 1 1 1 1 0 1 2 0\nEND x\n") +
             "PARSE\nRULE_1 \"\\(x\\)\"\nRULE_2 \"\\(y\\)\"\nEnd\n" + kOtherSections,
         {1541}, 1, 2},
        {"unknown top-level line", std::string("Nonsense here\n") + "Databases\nend\nPARSE\nend\n" + kOtherSections,
         {1573}, 0, 0},
        {"end of input ends a section", std::string(kOtherSections) + "Databases\nend\nPARSE\nRULE_1 \"\\(x\\)\"\n", {},
         0, 1},
        {"a header met twice reads into the same section",
         std::string("PARSE\nRULE_1 \"\\(x\\)\"\nend\nDatabases\nend\nPARSE\nRULE_1 \"\\(y\\)\"\nRULE_2 \"\\(z\\)\"\nend\n") +
             kOtherSections,
         {1548}, 0, 2},
        {"skipped sections", std::string("Taxonomy_1\nEnabled 1\nend\nFiles\nPARSE\nend\n") +
                                 "LibraryOptions\nend\nProcessor\nend\nDatabases\nend\nPARSE\nend\n" + kOtherSections,
         {}, 0, 0},
    };
    for (const Case& c : cases) {
        Parsed p(c.text);
        EXPECT_EQ(numbers(p.config), c.messages) << c.what;
        EXPECT_EQ(p.config.getDatabases()->getNumberOfDatabases(), c.databases) << c.what;
        int defined = 0;
        for (int i = 0; i < 256; ++i) defined += p.config.getParseOptions()->getRule(i)->isDefined();
        EXPECT_EQ(defined, c.rules) << c.what;
    }
}

TEST(ConfigFileSyntax, EverySectionReachesItsReader) {
    Parsed p(std::string("Databases\nSP p AA 1 1 1 1 4 1 0 1 1 0\n#OFF p AA 1 1 1 1 4 1 0 1 1 0\nend\n") +
             "PARSE\nRULE_1 \"\\(x\\)\"\nend\n"
             "# www comment\nWWW\nend\n"
             "Processor\nSP=0,1\nOFF=0\nNOSUCH=1\nend\n"
             "LibraryOptions\nend\nFiles\nwhatever\nend\n"
             "Cluster\nEnabled 1\nend\n"
             "UniGene\nend\n"
             "Options\nTarvexControlFile ../data/x.control\nend\n"
             "Cron\nend\n");
    // The Processor section knows only the active databases.
    EXPECT_EQ(numbers(p.config), (std::vector<int>{1561, 1561}));
    EXPECT_NE(p.config.getErrorString(1).find("OFF"), std::string::npos);
    EXPECT_NE(p.config.getErrorString(2).find("NOSUCH"), std::string::npos);
    EXPECT_TRUE(p.config.isValid());
    EXPECT_TRUE(p.config.getCluster()->isEnabled());
    EXPECT_EQ(p.config.getOptions()->getTarvexControlFile(), "../data/x.control");
    EXPECT_EQ(p.config.getWWW()->getHeader(), "# www comment\n");
    EXPECT_TRUE(p.config.getLibraryOptions()->isSectionAvailable());
    EXPECT_TRUE(p.config.getProcessors()->isSectionAvailable());
    EXPECT_TRUE(p.config.getConfigPaths()->isSectionAvailable());
    ASSERT_EQ(p.config.getProcessors()->getEntries().size(), 1u);
    EXPECT_EQ(p.config.getProcessors()->getEntries()[0].databaseName, "SP");

    p.config.reset();
    EXPECT_EQ(p.config.getNumberOfErrors(), 0);
    EXPECT_FALSE(p.config.getCluster()->isEnabled());
    EXPECT_FALSE(p.config.getWWW()->isSectionAvailable());
    EXPECT_EQ(p.config.getDatabases()->getNumberOfDatabases(), 0);
}

TEST(ConfigFileSyntax, PendingCommentsGoToTheNextSection) {
    Parsed p(std::string("# before databases\nDatabases\nend\n# c1\nbogus line\n# c2\nPARSE\nend\n") + kOtherSections +
             "# at the end\n");
    EXPECT_EQ(p.config.getCommentBeforeDatabases(), "# before databases\n");
    EXPECT_EQ(p.config.getParseOptions()->getHeader(), "# c1\n# c2\n");
    EXPECT_EQ(p.config.getTrailingComment(), "# at the end\n");
    EXPECT_EQ(numbers(p.config), (std::vector<int>{1573}));
}

TEST(ConfigFileSyntax, StatusPageStopsTheParse) {
    Parsed p("# x\n<BODY><H1>Tarvex search status page</H1> more\nDatabases\nend\n");
    EXPECT_TRUE(p.statusPage);
    EXPECT_FALSE(p.config.isValid());
    EXPECT_EQ(numbers(p.config), (std::vector<int>{2307}));
    EXPECT_EQ(p.config.getLastErrorString(),
              "The Tarvex service is not running. Unable to retrieve configuration file.");
}

TEST(ConfigFileSyntax, DatabaseRulesCheck) {
    Parsed p(std::string("Databases\n") +
             "DBOK p AA 1 1 1 1 1 1 0 1 2 0\n"        // rules 1, 2; no accession reference
             "DBREF p NA 1 1 1 1 1 1 1 1 2 9\n"       // accession reference wanted, rule 9 missing
             "DBMISS p AA 1 1 1 1 1 1 0 7 2 0\n"      // accession rule 7 missing
             "#DBOFF p AA 1 1 1 1 1 1 0 8 8 0\n"      // inactive: not checked
             "DBBIG p SL 1 1 1 1 1 1 0 300 -1 0\n"    // numbers outside 0..255
             "DBBAD p AA 1 1 1 1 1 1 0 4 5 0\n"       // rules that do not compile
             "end\nPARSE\n"
             "RULE_1 \"\\(P[0-9]*\\)\"\n"
             "RULE_2 \"^>[^ ]* \\(.*\\)\"\n"
             "RULE_4 \"no group\"\n"
             "RULE_5 \"\\(a\\)\\(b\\)\"\n"
             "end\n" + kOtherSections);
    // Four 1538 in a row: the third and fourth merge into the second.
    std::vector<int> expected = {1538, 1538, 1540, 1540};
    EXPECT_EQ(numbers(p.config), expected);
    EXPECT_NE(p.config.getErrorString(1).find("database DBREF has no accessionRef rule"), std::string::npos);
    EXPECT_NE(p.config.getErrorString(2).find("database DBMISS has no accession rule"), std::string::npos);
    EXPECT_NE(p.config.getErrorString(2).find("(Error repeated 3 times)"), std::string::npos);
    EXPECT_NE(p.config.getErrorString(3).find("Found 0 in no group"), std::string::npos);
    EXPECT_NE(p.config.getErrorString(4).find("Found 2"), std::string::npos);
    EXPECT_TRUE(p.config.isValid());
    EXPECT_TRUE(p.config.getParseOptions()->getRule(1)->isCompiled());
    EXPECT_TRUE(p.config.getParseOptions()->getRule(2)->isCompiled());
    EXPECT_FALSE(p.config.getParseOptions()->getRule(4)->isCompiled());
}

TEST(ConfigFileSyntax, ReadQuotedValue) {
    struct {
        const char* text;
        int max;
        const char* value;
    } cases[] = {
        {"  \"Tarvex Server'", 255, "Tarvex Server"},
        {"\"abc", 255, "abc"},
        {"abc\"", 255, "abc\""},
        {"'x'\r\nnext", 255, "x"},
        {"\"", 255, ""},
        {"\"abcdef\"", 3, "abc"},
        {"", 255, ""},
    };
    for (const auto& c : cases) {
        char out[256];
        bv_configfile::readQuotedValue(c.text, out, c.max);
        EXPECT_STREQ(out, c.value) << c.text;
    }
}

TEST(ConfigFileSyntax, FetchedConfiguration) {
    tarvex_test::ScopedEnvironment noProxy("no_proxy", std::string("*"));
    tarvex_test::HttpTestServer server([](const tarvex_test::HttpRequest& r) {
        if (r.target == "/up/show_settings.pl?Show=BV_TARVEX_DAT")
            return tarvex_test::httpReply(200, "OK", std::string("Databases\r\nSP p AA 1 1 1 1 1 1 0 1 1 0\r\nend\r\n") +
                                                         "PARSE\r\nRULE_1 \"\\(x\\)\"\r\nend\r\n" + kOtherSections);
        return tarvex_test::httpReply(200, "OK", "<BODY><H1>Tarvex search status page</H1>\n<p>down</p>\n");
    });
    struct Case {
        const char* folder;
        bool valid;
        int databases;
    } cases[] = {{"/up", true, 1}, {"/down", false, 0}};
    for (const Case& c : cases) {
        bv_configfile config;
        bv_configsource source(&config, bv_connectionsettings());
        ASSERT_TRUE(source.open(server.baseUrl() + c.folder, CONFIG_MAIN));
        config.parseSections(source);
        EXPECT_EQ(config.isValid(), c.valid) << c.folder;
        EXPECT_EQ(config.getDatabases()->getNumberOfDatabases(), c.databases) << c.folder;
        if (!c.valid) {
            EXPECT_EQ(config.getLastError(), 2307);
        }
    }
}

// Whatever bytes the file holds, the parse ends, never crashes, and only the
// status page can make the configuration invalid.
TEST(ConfigFileSyntax, ArbitraryContentIsSurvived) {
    const std::string pieces[] = {
        "Databases\n", "PARSE\n", "Options\n", "Cluster\n", "Cron\n", "WWW\n", "Processor\n", "UniGene\n",
        "LibraryOptions\n", "Taxonomy_3\n", "Files\n", "end\n", "END x\n", "end\t\n", "#\n", "## c\n",
        "RULE_", "\"", "\\(", "\\)", "[[:<:]]", " 1", " -7", " 99999999999", " AA", " NA", " SL", "=",
        ",", ":", "\t", "\r", "\r\n", "\n", std::string(1, '\0'), "\x1a", std::string(1200, 'x'), "@include x\n",
        "Enabled 1\n", "ProcessorSet 0,1\n", "SP=0\n", "MailTransport 9\n", "*", "-", "'"};
    unsigned seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    for (int round = 0; round < 150; ++round) {
        std::string text;
        int count = 5 + static_cast<int>(next() % 60);
        for (int i = 0; i < count; ++i) text += pieces[next() % std::size(pieces)];
        Parsed p(text);
        if (!p.statusPage) {
            for (int i = 1; i <= p.config.getNumberOfErrors(); ++i) {
                if (p.config.getErrorSeverity(i) == 1) {
                    EXPECT_EQ(p.config.getErrorNumber(i), 260) << round;
                }
            }
        }
    }
}

// A server installation with the programs' working folder cgi/.
class ConfigLoad : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(dir_.file("cgi").c_str(), 0777);
        mkdir(dir_.file("config").c_str(), 0777);
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        oldCwd_ = buf;
        ASSERT_EQ(chdir(dir_.file("cgi").c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(oldCwd_.c_str()), 0); }
    void writeConfig(const std::string& text) { tarvex_test::writeFile(dir_.file("config/tarvex.dat"), text); }

    tarvex_test::TempDir dir_;
    std::string oldCwd_;
};

// A build with tests falls back to a place inside its own folder: no test
// reads the tarvex.dat of a server installed on the same machine.
TEST(ConfigFallback, LiesInsideTheBuildFolder) {
    EXPECT_EQ(std::string(kFallbackConfigFile).rfind(TARVEX_BINARY_DIR "/", 0), 0u) << kFallbackConfigFile;
    EXPECT_FALSE(tarvex_test::pathExists(kFallbackConfigFile));
}

TEST_F(ConfigLoad, MissingEverywhere) {
    bv_configfile config;
    config.setRetrySeconds(10);
    {
        tarvex_test::FakeClock clock;
        config.load();
        // Looked again and again for the whole wait, not once, and given up
        // when the ten seconds are over, not up to a second later.
        EXPECT_EQ(clock.elapsedMs(), 10000);
        EXPECT_EQ(clock.pauses(), 100);
    }
    EXPECT_FALSE(config.isValid());
    EXPECT_EQ(numbers(config), (std::vector<int>{1537}));
    EXPECT_EQ(config.getLastErrorString(), "Cannot find Tarvex configuration file ''.");
    EXPECT_EQ(config.getDatabases()->getNumberOfDatabases(), 0);
    EXPECT_FALSE(config.getDatabases()->isSectionAvailable());
}

TEST_F(ConfigLoad, FileThatAppearsDuringTheWaitIsFound) {
    bv_configfile config;
    config.setRetrySeconds(5);
    {
        tarvex_test::FakeClock clock;
        clock.onPause = [this](int64_t elapsed) {
            if (elapsed != 400) return;
            // Whole or not at all, as the server writes it.
            tarvex_test::writeFile(dir_.file("config/new.tmp"),
                                   std::string("Databases\nend\nPARSE\nend\n") + kOtherSections);
            rename(dir_.file("config/new.tmp").c_str(), dir_.file("config/tarvex.dat").c_str());
        };
        config.load();
        EXPECT_LT(clock.elapsedMs(), 1000) << "not found as soon as it was there";
    }
    EXPECT_TRUE(config.isValid()) << config.getLastErrorString();
    EXPECT_EQ(config.getNumberOfErrors(), 0);
}

TEST_F(ConfigLoad, FoundAndRead) {
    writeConfig(std::string("Databases\nSP /d/sp.fasta AA 1 1 1 1 1 1 0 1 1 0\nend\n") +
                "PARSE\nRULE_1 \"\\(x\\)\"\nend\nTaxonomy_2\nTaxID 9606\nend\n" + kOtherSections);
    EXPECT_EQ(findConfigFile(nullptr, nullptr, 0), "../config/tarvex.dat");
    bv_configfile config;
    config.setRetrySeconds(10);
    config.load();
    EXPECT_TRUE(config.isValid()) << config.getLastErrorString();
    EXPECT_EQ(config.getNumberOfErrors(), 0);
    EXPECT_EQ(config.getFileName(), "../config/tarvex.dat");
    ASSERT_EQ(config.getDatabases()->getNumberOfDatabases(), 1);
    EXPECT_EQ(config.getDatabases()->getDatabase(0)->getName(), "SP");
    EXPECT_TRUE(config.getParseOptions()->getRule(1)->isCompiled());
    EXPECT_EQ(config.taxonomySection(0), nullptr);
    ASSERT_NE(config.taxonomySection(2), nullptr);
    EXPECT_EQ(config.taxonomySection(2)->taxID(), 9606);
    EXPECT_EQ(config.taxonomySection(-1), nullptr);
    EXPECT_EQ(config.taxonomySection(65), nullptr);

    // A second load starts from the defaults.
    writeConfig(std::string("Databases\nend\nPARSE\nend\n") + kOtherSections);
    config.load();
    EXPECT_EQ(config.getDatabases()->getNumberOfDatabases(), 0);
    EXPECT_FALSE(config.getParseOptions()->getRule(1)->isDefined());
    EXPECT_EQ(config.taxonomySection(2), nullptr);
}

TEST_F(ConfigLoad, UnreadableFile) {
    // A folder in the file's place exists but cannot be read, even by root.
    ASSERT_EQ(mkdir(dir_.file("config/tarvex.dat").c_str(), 0777), 0);
    bv_configfile config;
    config.load();
    EXPECT_FALSE(config.isValid());
    EXPECT_EQ(config.getLastError(), 256);
}

TEST_F(ConfigLoad, NodeControlFileSwitch) {
    struct Case {
        const char* enabled;
        const char* iam;  // null: no iam.dat
        bool switched;
    } cases[] = {
        {"1", "0", true}, {"1", "1", false}, {"1", "text", false}, {"1", nullptr, false}, {"0", "0", false},
        {"1", " \n\t-0 node", true},
        // Out of range: never read as node 0 by wrapping round.
        {"1", "4294967296", false}, {"1", "-4294967296", false},
    };
    for (const Case& c : cases) {
        writeConfig(std::string("Databases\nend\nPARSE\nend\nWWW\nend\nUniGene\nend\nCron\nend\n") +
                    "Cluster\nEnabled " + c.enabled + "\nend\n" +
                    "Options\nTarvexControlFile ../data/main.control\n"
                    "TarvexNodeControlFile ../data/node.control\nend\n");
        unlink(dir_.file("config/iam.dat").c_str());
        if (c.iam != nullptr) tarvex_test::writeFile(dir_.file("config/iam.dat"), c.iam);
        bv_configfile config;
        config.load();
        EXPECT_TRUE(config.isValid()) << config.getLastErrorString();
        EXPECT_EQ(config.getOptions()->getTarvexControlFile(),
                  c.switched ? "../data/node.control" : "../data/main.control")
            << c.enabled << " " << (c.iam ? c.iam : "none");
    }
}

}  // namespace
