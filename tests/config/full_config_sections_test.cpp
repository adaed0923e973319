// A complete tarvex.dat as a server installation has it: every section loads
// without a message and reads back through the getters; its Options and
// Cluster sections become the process-wide copies.
#include <gtest/gtest.h>
#include <unistd.h>

#include "config/bv_configfile.h"
#include "config/bv_sectionlines.h"
#include "config/global_options.h"
#include "support/temp_dir.h"

using namespace brenvik;

namespace {

std::string fixture() { return tarvex_test::readFile(std::string(TARVEX_TEST_DATA) + "/options/tarvex_full.dat"); }

std::string allMessages(const bv_errs& errs) {
    std::string out;
    for (int i = 1; i <= errs.getNumberOfErrors(); ++i) out += errs.getErrorString(i) + "\n";
    return out;
}

std::string valueOf(const bv_options& o, const char* key) {
    std::string v;
    EXPECT_TRUE(o.getValueText(key, v)) << key;
    return v;
}

}  // namespace

TEST(FullConfigSections, EverySectionReadsBack) {
    bv_configfile config;
    bv_textlines lines(fixture());
    ASSERT_TRUE(config.parseSections(lines));
    EXPECT_EQ(config.getNumberOfErrors(), 0) << allMessages(config);
    EXPECT_TRUE(config.isValid());

    const bv_options& o = *config.getOptions();
    EXPECT_TRUE(o.isSectionAvailable());
    EXPECT_EQ(o.getHeader(), "\n# Server-wide settings\n");  // the blank line before it counts
    EXPECT_EQ(o.getSendmailPath(), "/usr/sbin/sendmail -t");
    EXPECT_EQ(o.getEmailFromTextName(), "Tarvex Server");
    EXPECT_TRUE(o.isEmailErrorsEnabled());
    EXPECT_EQ(o.getErrMessageEmailTo(), "admin@lab.example");
    EXPECT_EQ(o.getNTIUserGroup(), "www-data");
    EXPECT_EQ(o.getUniqueJobStartNumber(), 5000);
    EXPECT_EQ(o.getVmemory(), 4000000000LL);
    EXPECT_EQ(o.getInterFileBasePath(), "/srv/tarvex/data");
    EXPECT_EQ(valueOf(o, "MaxSequenceLen"), "50000");
    EXPECT_EQ(valueOf(o, "MaxNumPeptides"), "15000");
    EXPECT_EQ(valueOf(o, "ProxyType"), "None");
    EXPECT_EQ(valueOf(o, "ShowSubSets"), "0.5");
    EXPECT_EQ(valueOf(o, "UnixDirPerm"), "775");
    EXPECT_EQ(valueOf(o, "MinPepLenInSearch"), "5");
    EXPECT_EQ(valueOf(o, "ResultsFileFormatVersion"), "2.3");
    EXPECT_EQ(valueOf(o, "EmailService"), "");
    EXPECT_EQ(o.getReportNumberChoices(), (std::vector<int32_t>{-1, 5, 10, 20, 30, 40, 50}));
    EXPECT_EQ(o.getTargetFDRDefaultPosition(), 3);
    EXPECT_EQ(o.getIgnoreDupeAccessions(), (std::vector<std::string>{"EST_others", "EST_human"}));
    EXPECT_EQ(o.getSeqFetchBlastAccession().startText, ">");
    EXPECT_EQ(o.getSeqFetchBlastAccession().fieldNumber, 2);
    EXPECT_EQ(o.getExecAfterSearchCommands()[1].waitFor, 1);
    EXPECT_EQ(o.getExecAfterSearchCommands()[0].logging, 1);
    EXPECT_EQ(o.getReportBuilderColumnArrangement(2), "Short:acc,score,desc");
    EXPECT_EQ(o.getColourSchemeNames(), (std::vector<std::string>{"screen", "print"}));

    const bv_clusteroptions& c = *config.getCluster();
    EXPECT_FALSE(c.isEnabled());
    EXPECT_EQ(c.getMasterComputer().name, "tarvexmaster");
    EXPECT_EQ(c.getMasterComputer().port, 5001);
    EXPECT_EQ(c.getSubClusterNumbers(), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(c.getSubClusterThreads(), (std::vector<int32_t>{-1, 4}));
    EXPECT_EQ(c.getIPCLogfile(), "../logs/ipc.log");
    EXPECT_EQ(c.getIPCTimeout(), 15);

    const bv_cronoptions& cron = *config.getCron();
    EXPECT_TRUE(cron.isCronEnabled());
    EXPECT_EQ(cron.getLogging(), 2);
    ASSERT_EQ(cron.getJobs().size(), 2u);
    EXPECT_FALSE(cron.getJobs()[0].enabled);
    EXPECT_EQ(cron.getJobs()[1].command, "../bin/weekly_cleanup.sh");

    EXPECT_EQ(config.getLibraryOptions()->getReferenceFastaTaxonomyTitle("NIST"), "SwissProt style");
    EXPECT_EQ(config.getLibraryOptions()->getEntry("NIST")->tolInPPM, 25.0);
    ASSERT_EQ(config.getWWW()->getEntries().size(), 3u);
    EXPECT_EQ(config.getWWW()->getEntries()[1].host, "www.uniprot.example");
    EXPECT_EQ(config.getProcessors()->getProcessorSet(), (std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(config.getProcessors()->getEntries().size(), 2u);
    EXPECT_EQ(config.getUniGene()->getNumberOfProperties(), 2);
    EXPECT_EQ(config.getTrailingComment(), "# end of file\n");

    resetGlobalOptions();
    switchStandaloneCluster(o, c);
    EXPECT_EQ(globalOptions().getNTIUserGroup(), "www-data");
    EXPECT_EQ(globalCluster().getIPCLogfile(), "../logs/ipc.log");
    resetGlobalOptions();
}

// In cluster mode a node whose iam.dat holds 0 reads the node control file.
TEST(FullConfigSections, NodeControlFileSwitch) {
    struct Case {
        const char* enabled;
        const char* iam;  // null: no iam.dat
        const char* controlFile;
    } cases[] = {
        {"1", "0\n", "../data/node.control"},
        {"1", "1\n", "../data/main.control"},
        {"1", "text\n", "../data/main.control"},
        {"1", nullptr, "../data/main.control"},
        {"0", "0\n", "../data/main.control"},
    };
    for (const Case& k : cases) {
        tarvex_test::TempDir dir("iam");
        ::mkdir(dir.file("cgi").c_str(), 0777);
        ::mkdir(dir.file("config").c_str(), 0777);
        tarvex_test::writeFile(dir.file("config/tarvex.dat"),
                               std::string("Options\nTarvexControlFile ../data/main.control\n"
                                           "TarvexNodeControlFile ../data/node.control\nend\nCluster\nEnabled ") +
                                   k.enabled + "\nend\n");
        if (k.iam) tarvex_test::writeFile(dir.file("config/iam.dat"), k.iam);
        char saved[4096];
        ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
        ASSERT_EQ(::chdir(dir.file("cgi").c_str()), 0);
        bv_configfile config;
        config.setRetrySeconds(0);
        config.load();
        ASSERT_EQ(::chdir(saved), 0);
        EXPECT_TRUE(config.isValid()) << allMessages(config);
        EXPECT_EQ(config.getOptions()->getTarvexControlFile(), k.controlFile) << k.enabled << " " << (k.iam ? k.iam : "-");
    }
}
