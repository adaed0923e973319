// Readers of the Cluster, Cron, LibraryOptions, WWW, Processor and UniGene sections.
#include <gtest/gtest.h>

#include <vector>

#include "common/bv_errs.h"
#include "config/bv_clusteroptions.h"
#include "config/bv_options.h"
#include "config/bv_cronoptions.h"
#include "config/bv_libraryoptions.h"
#include "config/bv_processoroptions.h"
#include "config/bv_sectionlines.h"
#include "config/bv_unigeneoptions.h"
#include "config/bv_wwwoptions.h"
#include "support/temp_dir.h"

using namespace brenvik;

namespace {

std::vector<int> numbersOf(const bv_errs& errs) {
    std::vector<int> out;
    for (int i = 1; i <= errs.getNumberOfErrors(); ++i) out.push_back(errs.getErrorNumber(i));
    return out;
}

template <class Section>
std::vector<int> readText(Section& s, const std::string& text, const std::string& fileName = "tarvex.dat") {
    bv_errs errs(2, false);
    bv_textlines lines(text);
    s.readSection(lines, errs, fileName, "");
    return numbersOf(errs);
}

const std::vector<int> none;

}  // namespace

TEST(ClusterSection, Keys) {
    bv_clusteroptions c;
    EXPECT_EQ(readText(c, "Enabled 1\n"
                          "MasterComputerName master1, 10001:5001\n"
                          "DefaultNodeOS windows_nt\n"
                          "DefaultNodeHomeDir /home/node  more\n"
                          "DefaultNodeHomeDirFromMaster /from/master\n"
                          "DefaultPort 6000\n"
                          "TarvexNodeScript run.sh\n"
                          "TarvexNodeRebootScript\n"
                          "IPCTimeout 5\n"
                          "IPCLogging 2\n"
                          "IPCLogfile ../logs/ipc2.log\n"
                          "checkNodesAliveFreq 300\n"
                          "SecsToWaitForNodeAtStartup 0\n"
                          "NodeSequenceDatabaseDir ../seq2\n"
                          "UnknownKey 1\n"),
              none);
    EXPECT_TRUE(c.isEnabled());
    EXPECT_EQ(c.getMasterComputer().name, "master1");
    EXPECT_EQ(c.getMasterComputer().address, "10001");
    EXPECT_EQ(c.getMasterComputer().port, 5001);
    EXPECT_EQ(c.getMasterComputer().valueText, "master1, 10001:5001");
    EXPECT_EQ(c.getDefaultNodeOS(), bv_clusteroptions::Windows_NT);
    EXPECT_EQ(c.getDefaultNodeHomeDir(), "/home/node");
    EXPECT_EQ(c.getDefaultNodeHomeDirFromMaster(), "/from/master");
    EXPECT_EQ(c.getDefaultPort(), 6000);
    EXPECT_EQ(c.getTarvexNodeScript(), "run.sh");
    EXPECT_EQ(c.getTarvexNodeRebootScript(), "");
    EXPECT_EQ(c.getIPCTimeout(), 5);
    EXPECT_EQ(c.getIPCLogging(), 2);
    EXPECT_EQ(c.getIPCLogfile(), "../logs/ipc2.log");
    EXPECT_EQ(c.getCheckNodesAliveFreq(), 300);
    EXPECT_EQ(c.getSecsToWaitForNodeAtStartup(), 0);
    EXPECT_EQ(c.getNodeSequenceDatabaseDir(), "../seq2");
    EXPECT_EQ(c.getSubClusterNumbers(), std::vector<int32_t>{0});  // no SubClusterSet: defaults stay
    EXPECT_EQ(c.getNumberOfProperties(), 15);
}

TEST(ClusterSection, BadValuesTable) {
    struct Case {
        const char* line;
        int timeout, logging, freq, wait;
        std::vector<int> messages;
    } cases[] = {
        {"IPCTimeout 0", 10, 0, 30, 60, {1543}},
        {"IPCLogging 3", 10, 0, 30, 60, {1543}},
        {"checkNodesAliveFreq 1", 10, 0, 30, 60, {1543}},
        {"checkNodesAliveFreq 301", 10, 0, 30, 60, {1543}},
        {"checkNodesAliveFreq 2", 10, 0, 2, 60, none},
        {"SecsToWaitForNodeAtStartup -1", 10, 0, 30, 60, {1543}},
        {"IPCTimeout x", 10, 0, 30, 60, none},  // keeps the previous value, which passes
        {"Enabled1", 10, 0, 30, 60, none},
    };
    for (const Case& k : cases) {
        bv_clusteroptions c;
        EXPECT_EQ(readText(c, k.line), k.messages) << k.line;
        EXPECT_EQ(c.getIPCTimeout(), k.timeout) << k.line;
        EXPECT_EQ(c.getIPCLogging(), k.logging) << k.line;
        EXPECT_EQ(c.getCheckNodesAliveFreq(), k.freq) << k.line;
        EXPECT_EQ(c.getSecsToWaitForNodeAtStartup(), k.wait) << k.line;
        EXPECT_FALSE(c.isEnabled());
    }
}

TEST(ClusterSection, MasterComputerName) {
    struct Case {
        const char* value;
        const char* name;
        const char* address;
        int port;
        std::vector<int> messages;
    } cases[] = {
        {"node7 1921680001:5001", "node7", "1921680001", 5001, none},
        {"node7 192.168.0.1:5001", "node7", "127.0.0.1", 0, {1543}},
        {"node7", "node7", "", 0, none},
        {"node7 12 # comment", "node7", "127.0.0.1", 0, {1543}},
        {"node7 12#x", "node7", "12", 0, none},
        {"node7 12345678901234567890", "node7", "127.0.0.1", 0, {1543}},  // more than 19 digits
        {"node7 1:70000", "node7", "1", 70000 & 0xFFFF, none},
    };
    for (const Case& k : cases) {
        bv_clusteroptions c;
        EXPECT_EQ(readText(c, std::string("MasterComputerName ") + k.value), k.messages) << k.value;
        EXPECT_EQ(c.getMasterComputer().name, k.name) << k.value;
        EXPECT_EQ(c.getMasterComputer().address, k.address) << k.value;
        EXPECT_EQ(c.getMasterComputer().port, k.port) << k.value;
    }
    bv_clusteroptions c;
    readText(c, "MasterComputerName " + std::string(150, 'n'));
    EXPECT_EQ(c.getMasterComputer().name.size(), 99u);  // cut to its storage
    readText(c, "IPCLogfile " + std::string(300, 'f'));
    EXPECT_EQ(c.getIPCLogfile().size(), 255u);
}

TEST(ClusterSection, SubClusterSets) {
    bv_clusteroptions c;
    EXPECT_EQ(readText(c, "SubClusterSet 1 4\nSubClusterSet 50 4\nSubClusterSet 2 0\n"
                          "SubClusterSet 3 ###THREADS###\nSubClusterSet 4 -1"),
              (std::vector<int>{1543, 1543}));
    EXPECT_EQ(c.getSubClusterNumbers(), (std::vector<int32_t>{1, 3, 4}));
    EXPECT_EQ(c.getSubClusterThreads(), (std::vector<int32_t>{4, -1, -1}));
    EXPECT_TRUE(c.areSubClusterListsReplaced());
}

TEST(ClusterSection, IncludeFiles) {
    tarvex_test::TempDir dir("cluster");
    const std::string main = dir.file("tarvex.dat");
    const std::string a = dir.file("a.dat");
    const std::string b = dir.file("b.dat");
    tarvex_test::writeFile(main, "");
    tarvex_test::writeFile(a, "IPCTimeout 20\n@include " + b + "\nIPCLogging 1\nend\nIPCLogfile ignored.log\n");
    tarvex_test::writeFile(b, "checkNodesAliveFreq 40\n@include " + b + "\n@include " + main + "\n");

    bv_clusteroptions c;
    EXPECT_EQ(readText(c,
                       "@include " + a + "\nSecsToWaitForNodeAtStartup 7\n@include " + dir.file("missing.dat") +
                           "\nEnabled 1\nend\nIPCTimeout 99\n",
                       main),
              (std::vector<int>{1543, 1543, 260}));  // b includes itself, then the main file; one missing
    EXPECT_EQ(c.getIPCTimeout(), 20);
    EXPECT_EQ(c.getCheckNodesAliveFreq(), 40);
    EXPECT_EQ(c.getIPCLogging(), 1);
    EXPECT_EQ(c.getIPCLogfile(), "../logs/IPC.log");  // after a's end line
    EXPECT_EQ(c.getSecsToWaitForNodeAtStartup(), 7);
    EXPECT_TRUE(c.isEnabled());
    EXPECT_EQ(c.findProperty("@include"), -1);

    // A missing include file makes the configuration invalid.
    bv_errs errs;
    bv_textlines lines("@include " + dir.file("missing.dat"));
    bv_clusteroptions d;
    d.readSection(lines, errs, main, "");
    EXPECT_FALSE(errs.isValid());
    EXPECT_EQ(errs.getErrorString(1), "Cannot find file '" + dir.file("missing.dat") + "'");

    // A name that exists but cannot be read as a file.
    bv_errs folderErrs;
    bv_textlines folderLines("@include " + dir.path() + "\nIPCTimeout 3");
    bv_clusteroptions e;
    e.readSection(folderLines, folderErrs, main, "");
    EXPECT_EQ(numbersOf(folderErrs), std::vector<int>{256});
    EXPECT_FALSE(folderErrs.isValid());
    EXPECT_EQ(e.getIPCTimeout(), 3);
}

TEST(ClusterSection, IncludeDepthIsBounded) {
    tarvex_test::TempDir dir("depth");
    for (int i = 0; i < 12; ++i) {
        tarvex_test::writeFile(dir.file("f" + std::to_string(i)),
                               "IPCTimeout " + std::to_string(i + 1) + "\n@include " + dir.file("f" + std::to_string(i + 1)) + "\n");
    }
    tarvex_test::writeFile(dir.file("f12"), "IPCTimeout 100\n");
    bv_clusteroptions c;
    EXPECT_EQ(readText(c, "@include " + dir.file("f0")), (std::vector<int>{1543}));
    EXPECT_EQ(c.getIPCTimeout(), bv_clusteroptions::kMaxIncludeDepth);
}

TEST(CronSection, JobsAndKeys) {
    bv_cronoptions cron;
    EXPECT_EQ(readText(cron, "CronEnable 1\n"
                             "Logging\n"
                             "Logfile\n"
                             "0,30 8-17 * * 1-5 /usr/bin/job  --flag   x\n"
                             "#5 0 1,15 2-3 0 disabled job\n"
                             "# This is a comment\n"
                             "* 1 1 1 1 cmd\n"
                             "60 1 1 1 1 cmd\n"
                             "1 1 1 1\n"
                             "5 1 1 1 1\n"
                             "\n"),
              (std::vector<int>{1556, 1558, 1557}));
    EXPECT_TRUE(cron.isCronEnabled());
    EXPECT_EQ(cron.getLogging(), 3);
    EXPECT_EQ(cron.getLogfile(), "../logs/cron.log");
    ASSERT_EQ(cron.getJobs().size(), 2u);
    const bv_cronjob& j = cron.getJobs()[0];
    EXPECT_TRUE(j.enabled);
    for (int m = 0; m < 60; ++m) EXPECT_EQ(j.minute[m], m == 0 || m == 30) << m;
    for (int h = 0; h < 24; ++h) EXPECT_EQ(j.hour[h], h >= 8 && h <= 17) << h;
    for (int d = 0; d < 32; ++d) EXPECT_FALSE(j.day[d]);
    for (int mo = 1; mo <= 12; ++mo) EXPECT_TRUE(j.month[mo]);
    EXPECT_FALSE(j.month[0]);
    for (int w = 0; w < 7; ++w) EXPECT_EQ(j.weekday[w], w >= 1 && w <= 5);
    EXPECT_EQ(j.command, "/usr/bin/job  --flag   x");
    EXPECT_EQ(j.line, "0,30 8-17 * * 1-5 /usr/bin/job  --flag   x");
    const bv_cronjob& d = cron.getJobs()[1];
    EXPECT_FALSE(d.enabled);
    EXPECT_TRUE(d.minute[5]);
    EXPECT_TRUE(d.day[1] && d.day[15] && !d.day[2]);
    EXPECT_TRUE(d.month[2] && d.month[3]);
    EXPECT_EQ(d.command, "disabled job");
    EXPECT_EQ(cron.getNumberOfProperties(), 11);
}

TEST(CronSection, FieldRules) {
    static const std::string longNumber(60, '9');
    struct Case {
        const char* text;
        int lowest, highest;
        bv_cronoptions::Star star;
        bool ok;
        std::vector<int> messages;
    } cases[] = {
        {"1,2", 1, 31, bv_cronoptions::Star::ClearAll, true, none},
        {",2", 1, 31, bv_cronoptions::Star::ClearAll, false, {1559}},
        {"-2", 1, 31, bv_cronoptions::Star::ClearAll, false, {1560}},
        {"0-3", 1, 31, bv_cronoptions::Star::ClearAll, false, {1557}},
        {"3,", 1, 31, bv_cronoptions::Star::ClearAll, false, {1557}},  // the empty last number is 0
        {"3,", 0, 6, bv_cronoptions::Star::ClearAll, true, none},
        {"5-3", 0, 23, bv_cronoptions::Star::SetAll, true, none},
        {"1a", 0, 23, bv_cronoptions::Star::SetAll, false, {1556}},
        {longNumber.c_str(), 0, 23, bv_cronoptions::Star::SetAll, false, {1557}},
    };
    for (const Case& k : cases) {
        bv_errs errs(2, false);
        std::vector<bool> flags(static_cast<size_t>(k.highest + 1));
        EXPECT_EQ(bv_cronoptions::parseCronField(k.text, flags, k.lowest, k.highest, k.star, "line", errs, "f"), k.ok)
            << k.text;
        EXPECT_EQ(numbersOf(errs), k.messages) << k.text;
    }
    bv_errs errs;
    std::vector<bool> flags(32);
    bv_cronoptions::parseCronField("-1", flags, 1, 31, bv_cronoptions::Star::ClearAll, "x -1 y", errs, "t.dat");
    EXPECT_EQ(errs.getErrorString(1), "Expecting number before - in cron section of t.dat. Line is: x -1 y");
}

TEST(LibraryOptionsSection, SuffixesAndEntries) {
    bv_libraryoptions lib;
    EXPECT_EQ(readText(lib, "SwissProt_tolInPPM 10\n"
                            "SwissProt_referenceFastaTaxonomyTitle Title one\n"
                            "SwissProt_referenceFasta sprot.fasta\n"
                            "NIST_tolInDa\t0.25\n"
                            "NIST_tolInPPM\n"
                            "# note\n"
                            "NoSuffixHere 5\n"),
              (std::vector<int>{1566}));
    const bv_libraryentry* e = lib.getEntry("SwissProt");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->tolInPPM, 10.0);
    EXPECT_EQ(e->tolInDa, 0.6);
    EXPECT_EQ(lib.getReferenceFasta("SwissProt"), "sprot.fasta");
    EXPECT_EQ(lib.getReferenceFastaTaxonomyTitle("SwissProt"), "Title one");
    ASSERT_NE(lib.getEntry("NIST"), nullptr);
    EXPECT_EQ(lib.getEntry("NIST")->tolInDa, 0.25);
    EXPECT_EQ(lib.getEntry("NIST")->tolInPPM, 500.0);
    EXPECT_EQ(lib.getReferenceFasta("other"), "");
    int at = lib.findProperty("SwissProt_tolInPPM");
    ASSERT_GE(at, 0);
    EXPECT_EQ(lib.getPropertyValue(at), "10");
    lib.setTolInDa("New", 1.0 / 3.0);
    EXPECT_EQ(lib.getPropertyValue(lib.findProperty("New_tolInDa")), "0.333333");
    EXPECT_EQ(lib.getPropertySeparator(lib.findProperty("New_tolInDa")), "\t");

    // Only the key (the first word) names the library and the suffix; a value
    // that happens to hold a suffix is just a value.
    bv_libraryoptions paths;
    EXPECT_EQ(readText(paths, "Lib_referenceFasta /db/x_tolInDa.fasta\n"
                              "Plain /db/y_tolInPPM.fasta\n"),
              (std::vector<int>{1566}));
    EXPECT_EQ(paths.getReferenceFasta("Lib"), "/db/x_tolInDa.fasta");
    EXPECT_EQ(paths.getEntry("Lib")->tolInDa, 0.6);
    EXPECT_EQ(paths.getEntry("Lib_referenceFasta /db/x"), nullptr);
    EXPECT_EQ(paths.getEntry("Plain /db/y"), nullptr);
}

TEST(WWWSection, Lines) {
    bv_wwwoptions www;
    www.setDefaults();
    EXPECT_EQ(readText(www, "My_DB_SEQ \"1\"\t\"www.host.example\" \"80\"  \"/cgi/x.pl?a=1\" trailing\n"
                            "Other_REP \"2\" \"h\" \"8080\" \"/p\"\n"
                            "My_DB_seq \"1\" \"h\" \"80\" \"/p\"\n"
                            "NoUnderscore \"1\" \"h\" \"80\" \"/p\"\n"
                            "My_SEQ\n"
                            "My_SEQ \"1\" \"h\" \"80\" \n"
                            "My_SEQ \"x\" \"h\" \"80\" \"/p\"\n"
                            "My_SEQ \"1\" \"h\" \"80\" \"/p\n"),
              (std::vector<int>{1566, 1566, 1566, 1566, 1566, 1566}));
    ASSERT_EQ(www.getEntries().size(), 2u);
    const bv_wwwentry& e = www.getEntries()[0];
    EXPECT_EQ(e.name, "My_DB");
    EXPECT_EQ(e.kind, 0);
    EXPECT_EQ(e.number, 1);
    EXPECT_EQ(e.host, "www.host.example");
    EXPECT_EQ(e.port, 80);
    EXPECT_EQ(e.path, "/cgi/x.pl?a=1");
    EXPECT_EQ(www.getEntries()[1].kind, 1);
    int at = www.findProperty("My_DB_SEQ");
    ASSERT_GE(at, 0);
    EXPECT_EQ(www.getPropertyValue(at), "\"1\"\t\"www.host.example\"\t\"80\"\t\"/cgi/x.pl?a=1\"");
}

TEST(ProcessorSection, SetsAndDatabases) {
    bv_processoroptions proc;
    bv_errs errs(2, false);
    bv_textlines lines("ProcessorSet=0,1,2\nProcessorSet 7\nProcessorSet\n"
                       "SwissProt=0,1,2,3\nSwissProt 4 5 6\nNCBInr=1\nUnlimited=1,2\n");
    auto active = [](const std::string& name, int32_t& threads) {
        if (name == "SwissProt") threads = 2;
        else if (name == "Unlimited") threads = -1;
        else return false;
        return true;
    };
    proc.readSection(lines, errs, "tarvex.dat", "", active);
    EXPECT_EQ(numbersOf(errs), (std::vector<int>{1565, 1561, 1565}));
    EXPECT_EQ(errs.getErrorString(2), "Invalid line in tarvex.dat file starting with: NCBInr");
    EXPECT_EQ(proc.getProcessorSet(), (std::vector<int32_t>{0, 1, 2, 7}));  // the bare key adds nothing
    ASSERT_EQ(proc.getEntries().size(), 3u);
    EXPECT_EQ(proc.getEntries()[0].processors, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(proc.getEntries()[1].processors, (std::vector<int32_t>{4, 5, 6}));
    EXPECT_EQ(proc.getEntries()[2].processors, (std::vector<int32_t>{1}));
    EXPECT_EQ(proc.getDefaultSeparator(), "=");
}

TEST(UniGeneSection, KeepsRawLines) {
    bv_unigeneoptions u;
    bv_textlines lines("Human  hs.data   \n# c\nend\nafter\n");
    u.readSection(lines, "# h\n");
    EXPECT_TRUE(u.isSectionAvailable());
    ASSERT_EQ(u.getNumberOfProperties(), 2);
    EXPECT_EQ(u.getPropertyValue(0), "hs.data");
    EXPECT_EQ(u.getHeader(), "# h\n");
    bv_configpaths paths;
    EXPECT_EQ(paths.getNodeListFile(), "../config/nodelist.txt");
}

TEST(SectionSyntax, EndLinesAndTextLines) {
    using namespace sectionsyntax;
    EXPECT_TRUE(isSectionEndLine("end"));
    EXPECT_TRUE(isSectionEndLine("END x"));
    EXPECT_TRUE(isSectionEndLine("  End\r"));
    EXPECT_FALSE(isSectionEndLine("end\tx"));
    EXPECT_FALSE(isSectionEndLine("ending"));
    EXPECT_FALSE(isSectionEndLine("en"));

    bv_errs errs;
    bv_textlines lines("  a\r\n\tb\n" + std::string(1200, 'x') + "\nc", &errs, "f.dat");
    std::string line;
    ASSERT_TRUE(lines.nextLine(line));
    EXPECT_EQ(line, "a");
    ASSERT_TRUE(lines.nextLine(line));
    EXPECT_EQ(line, "b");
    ASSERT_TRUE(lines.nextLine(line));
    EXPECT_EQ(line.size(), 998u);
    ASSERT_TRUE(lines.nextLine(line));  // reading goes on after a long line
    EXPECT_EQ(line, "c");
    EXPECT_FALSE(lines.nextLine(line));
    EXPECT_EQ(numbersOf(errs), std::vector<int>{1561});
    bv_textlines rest("x\nend\ny\n");
    EXPECT_FALSE(skipSection(rest));
    ASSERT_TRUE(rest.nextLine(line));
    EXPECT_EQ(line, "y");
}

// Lines made of key words, separators and stray bytes must never make a
// reader read or write outside its data (run under the sanitizer build).
TEST(SectionReaders, GarbageLinesAreHandled) {
    static const char* const words[] = {
        "Enabled", "MasterComputerName", "SubClusterSet", "IPCTimeout", "@include", "DefaultNodeOS",
        "ProcessorSet", "SwissProt", "My_DB_SEQ", "_", "\"", "(", "),(", ")", ",", "-", "*", "#", ":",
        "=", " ", "\t", "1", "99999999999999999999", "-7", "REGEX", "PrecursorCutOut",
        "SeqFetchBlastAccession", "ReviewColWidths", "ReportNumberChoices", "TargetFDRPercentages",
        "ExecAfterSearch_1", "waitfor:", "logging:", ";", "SpectrumViewerColourScheme_x", "unmatched=red",
        "X_tolInPPM", "_referenceFasta", "CronEnable", "Logfile", "\x1a", "end\t", "1e400", "nan"};
    const size_t nWords = sizeof words / sizeof words[0];
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        size_t parts = next() % 8;
        for (size_t p = 0; p < parts; ++p) text += words[next() % nWords];
        if (next() % 5 == 0) text += static_cast<char>(next() % 256);
        text += '\n';
    }
    auto activeDb = [](const std::string& name, int32_t& threads) {
        threads = 1;
        return name == "SwissProt";
    };
    bv_errs errs;
    auto readAll = [&](auto section, auto... extra) {
        bv_textlines l(text);
        section.readSection(l, errs, "f", "", extra...);
    };
    readAll(bv_options());
    readAll(bv_clusteroptions());
    readAll(bv_cronoptions());
    readAll(bv_libraryoptions());
    readAll(bv_wwwoptions());
    readAll(bv_processoroptions(), activeDb);
    SUCCEED();
}
