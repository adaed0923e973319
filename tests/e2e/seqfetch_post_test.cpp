// bv-seqfetch answering CGI POST requests: the real program, a fixture
// installation with a protein and a nucleic-acid database, and the whole XML
// document compared byte for byte.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>


#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e/seqfetch_fixture.h"
#include "support/cgi_web_server.h"
#include "support/database_writer.h"

using namespace tarvex_test;

namespace {

// A nodes file of four IDs: root, a bacterium (table 11), an ID with a table
// no gencode file holds (7), and a mitochondrial column.
const char* kNodes =
    "1\t|\t1\t|\tno rank\t|\t\t|\t8\t|\t0\t|\t1\t|\t0\t|\t0\t|\t0\t|\t0\t|\t0\t|\t\t|\n"
    "2\t|\t1\t|\tsuperkingdom\t|\t\t|\t0\t|\t0\t|\t11\t|\t0\t|\t0\t|\t0\t|\t0\t|\t0\t|\t\t|\n"
    "77\t|\t1\t|\tspecies\t|\t\t|\t0\t|\t0\t|\t7\t|\t0\t|\t0\t|\t0\t|\t0\t|\t0\t|\t\t|\n";

class SeqfetchPost : public ::testing::Test {
protected:
    void SetUp() override {
        auto& in = install();
        in.write("config/tarvex.dat", seqfetch_e2e::tarvexDat());
        SecurityOptionsSpec security;
        security.securityEnabled = "false";
        writeSecurityOptions(in.configDir(), security);
        in.write("taxonomy/nodes.dmp", kNodes);
        in.write("taxonomy/gencode.dmp", readFile(std::string(TARVEX_TEST_DATA) + "/taxonomy/gencode.dmp"));

        DatabaseWriter protein("SwissProt", in.file("sequence/SwissProt"), "SwissProt_1.fasta");
        protein.setFasta(">P1 first protein\x01P1B alias\nMKVLAAGIC\n>P2 second <one> & more\nDDEEKKRRHH\n");
        ASSERT_TRUE(protein.write()) << protein.error();
        DatabaseWriter nucleic("Virus", in.file("sequence/Virus"), "Virus_1.fasta");
        nucleic.setNucleic(true).setTaxonomySection(2);
        nucleic.setFasta(">N1 plain\nATGGCCATTGTAATGGGCCGCTGA\n>N2 bacterial\nATGTGA\n>N3 odd table\nATGTGA\n"
                         ">N4 unknown taxon\nATGTGA\n");
        nucleic.setTaxIds(0, {1}).setTaxIds(1, {2}).setTaxIds(2, {77}).setTaxIds(3, {424242});
        ASSERT_TRUE(nucleic.write()) << nucleic.error();

        ControlFileWriter control;
        protein.fillControlEntry(control, control.addEntry("SwissProt"), false);
        nucleic.fillControlEntry(control, control.addEntry("Virus"), false);
        control.write(in.file("data/tarvex.control"));
        ASSERT_TRUE(monitor_.registerControlFile(in.file("data/tarvex.control"), FakeMonitor::Owner::PidZero));
    }

    FixtureInstall& install() { return install_; }

    RunResult post(const std::string& body, bool withLength = true) {
        RunRequest request;
        request.program = programPath("bv-seqfetch");
        request.workingFolder = install_.cgiDir();
        request.environment = {{"QUERY_STRING", ""},
                               {"SCRIPT_NAME", "/tarvex/cgi/bv-seqfetch.exe"},
                               {"CONTENT_TYPE", "multipart/form-data; boundary=XX"},
                               {"REMOTE_ADDR", "127.0.0.1"}};
        if (withLength) request.environment.emplace_back("CONTENT_LENGTH", std::to_string(body.size()));
        request.standardInput = body;
        return runProgram(request);
    }

    FixtureInstall install_{"seqpost"};
    FakeMonitor monitor_;
};

std::string part(const std::string& name, const std::string& value) {
    return "--XX\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}
std::string form(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string body;
    for (const auto& [name, value] : fields) body += part(name, value);
    return body + "--XX--\r\n";
}

const std::string kHead =
    "Content-type: text/xml\n\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
    "<bvsq:bv_seqfetch_out xmlns:bvsq=\"http://www.tarvex.example/xmlns/schema/bvseqfetch_1\"\n"
    "                    majorVersion=\"1\" minorVersion=\"0\"\n"
    "                    xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
    "                    xsi:schemaLocation=\"http://www.tarvex.example/xmlns/schema/bvseqfetch_1 "
    "bvseqfetch_1.xsd\">\n";
const std::string kTail = "</bvsq:bv_seqfetch_out>\n";

// The job number the run took, from its all_proteins element.
std::string jobOf(const std::string& output) {
    std::smatch m;
    if (std::regex_search(output, m, std::regex("all_proteins jobid=\"(-?[0-9]+)\""))) return m[1];
    return "?";
}

}  // namespace

TEST_F(SeqfetchPost, ProteinsInRequestOrderWithMissingAccessions) {
    RunResult r = post(form({{"DB", "SwissProt"},
                             {"SHOWTITLE", "1"},
                             {"SHOWLEN", "1"},
                             {"SHOWPI", "1"},
                             {"SHOWSEQUENCE", "1"},
                             {"ACCESSION", "\"P2\" \"NOPE\" \"P1B\":2"}}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0);
    const std::string job = jobOf(r.standardOutput);
    EXPECT_NE(job, "-13");
    const std::string expected = kHead +
        "  <bvsq:all_errors>\n"
        "    <bvsq:error code=\"461\">\n"
        "      <bvsq:err_description>Sequence not found</bvsq:err_description>\n"
        "      <bvsq:err_param name=\"accession\">NOPE</bvsq:err_param>\n"
        "    </bvsq:error>\n"
        "  </bvsq:all_errors>\n"
        "  <bvsq:all_proteins jobid=\"" + job + "\">\n"
        "    <bvsq:protein>\n"
        "      <bvsq:accession>P2</bvsq:accession>\n"
        "      <bvsq:db>SwissProt</bvsq:db>\n"
        "      <bvsq:prot_title>&gt;P2 second &lt;one&gt; &amp; more</bvsq:prot_title>\n"
        "      <bvsq:prot_len>10</bvsq:prot_len>\n"
        "      <bvsq:prot_pi>6.92</bvsq:prot_pi>\n"
        "      <bvsq:prot_sequence>DDEEKKRRHH</bvsq:prot_sequence>\n"
        "    </bvsq:protein>\n"
        "    <bvsq:protein>\n"
        "      <bvsq:accession>P1B</bvsq:accession>\n"
        "      <bvsq:db>SwissProt</bvsq:db>\n"
        // The title piece that holds the accession; a protein database has
        // no frames, so the length stays the residue count.
        "      <bvsq:prot_title>&gt;P1B alias</bvsq:prot_title>\n"
        "      <bvsq:prot_len>9</bvsq:prot_len>\n"
        "      <bvsq:prot_pi>7.98</bvsq:prot_pi>\n"
        "      <bvsq:prot_sequence>MKVLAAGIC</bvsq:prot_sequence>\n"
        "    </bvsq:protein>\n"
        "  </bvsq:all_proteins>\n" + kTail;
    EXPECT_EQ(r.standardOutput, expected);
}

TEST_F(SeqfetchPost, NucleicAcidFramesAndTranslationWarnings) {
    RunResult r = post(form({{"DB", "Virus"},
                             {"SHOWSEQUENCE", "1"},
                             {"SHOWLEN", "1"},
                             {"ACCESSION", "\"N1\":1 \"N1\":0 \"N1\":4 \"N2\":1 \"N3\":1 \"N4\":1 \"GONE\":5"}}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0);
    const std::string job = jobOf(r.standardOutput);
    auto protein = [](const std::string& acc, int frame, const std::string& len, const std::string& seq,
                      bool warn) {
        return std::string("    <bvsq:protein") + (warn ? " warnings=\"yes\"" : "") + ">\n" +
               "      <bvsq:accession>" + acc + "</bvsq:accession>\n" + "      <bvsq:db>Virus</bvsq:db>\n" +
               "      <bvsq:frame>" + std::to_string(frame) + "</bvsq:frame>\n" + "      <bvsq:prot_len>" + len +
               "</bvsq:prot_len>\n" + "      <bvsq:prot_sequence>" + seq + "</bvsq:prot_sequence>\n" +
               "    </bvsq:protein>\n";
    };
    auto warning = [](int code, const std::string& text, const std::string& acc, int frame) {
        return "    <bvsq:error code=\"" + std::to_string(code) + "\">\n      <bvsq:err_description>" + text +
               "</bvsq:err_description>\n      <bvsq:err_param name=\"accession\">" + acc +
               "</bvsq:err_param>\n      <bvsq:err_param name=\"frame\">" + std::to_string(frame) +
               "</bvsq:err_param>\n    </bvsq:error>\n";
    };
    const std::string expected = kHead +
        "  <bvsq:all_errors>\n"
        "    <bvsq:error code=\"461\">\n"
        "      <bvsq:err_description>Sequence not found</bvsq:err_description>\n"
        "      <bvsq:err_param name=\"accession\">GONE</bvsq:err_param>\n"
        "      <bvsq:err_param name=\"frame\">5</bvsq:err_param>\n"
        "    </bvsq:error>\n"
        "  </bvsq:all_errors>\n"
        "  <bvsq:all_proteins jobid=\"" + job + "\">\n" +
        protein("N1", 1, "8", "MAIVMGR@", false) + protein("N1", 0, "24", "ATGGCCATTGTAATGGGCCGCTGA", false) +
        protein("N1", 4, "8", "SAAHYNGH", false) +
        // Table 11 (bacterial) reads TGA as a stop as well.
        protein("N2", 1, "2", "M@", false) + protein("N3", 1, "2", "M@", true) + protein("N4", 1, "2", "M@", true) +
        "  </bvsq:all_proteins>\n"
        "  <bvsq:all_warnings>\n" +
        warning(400, "Missing or invalid gencode id. Table 1 is used for translation", "N3", 1) +
        warning(470, "Cannot find taxonomy id", "N4", 1) + "  </bvsq:all_warnings>\n" + kTail;
    EXPECT_EQ(r.standardOutput, expected);
}

TEST_F(SeqfetchPost, FailuresAreWholeDocumentsWithStatusZero) {
    // No database name and no accession: nothing is looked up.
    RunResult empty = post(form({{"SHOWLEN", "1"}}));
    EXPECT_EQ(empty.exitStatus, 0);
    EXPECT_EQ(empty.standardOutput,
              kHead +
                  "  <bvsq:all_errors>\n"
                  "    <bvsq:error code=\"463\">\n"
                  "      <bvsq:err_description>&apos;db&apos; parameter is missing</bvsq:err_description>\n"
                  "    </bvsq:error>\n"
                  "    <bvsq:error code=\"464\">\n"
                  "      <bvsq:err_description>&apos;accession&apos; parameter is missing</bvsq:err_description>\n"
                  "    </bvsq:error>\n"
                  "  </bvsq:all_errors>\n"
                  "  <bvsq:all_proteins jobid=\"-13\">\n  </bvsq:all_proteins>\n" +
                  kTail);
    // The frame's reports name their module with its folder.
    EXPECT_NE(install().read("logs/errorlog.txt").find("[M00463 - Job -13 - X00119:request/post_request] - "),
              std::string::npos);

    // A database the control file does not list: the registration fails and
    // says why.
    RunResult unknown = post(form({{"DB", "NoSuchDb"}, {"ACCESSION", "\"P1\""}}));
    EXPECT_EQ(unknown.exitStatus, 0);
    const std::string unknownJob = jobOf(unknown.standardOutput);
    EXPECT_NE(unknownJob, "-13");
    EXPECT_EQ(unknown.standardOutput,
              kHead +
                  "  <bvsq:all_errors>\n"
                  "    <bvsq:error code=\"460\">\n"
                  "      <bvsq:err_description>Failed to register job. Please inspect tarvex error "
                  "log.</bvsq:err_description>\n"
                  "      <bvsq:err_param name=\"errbuf\">Sorry, the database (NoSuchDb) is not currently available "
                  "for searching</bvsq:err_param>\n"
                  "    </bvsq:error>\n"
                  "  </bvsq:all_errors>\n"
                  "  <bvsq:all_proteins jobid=\"" + unknownJob + "\">\n  </bvsq:all_proteins>\n" +
                  kTail);

    // Without the monitor the job cannot be registered: both errors, no proteins.
    monitor_.stop();
    RunResult noMonitor = post(form({{"DB", "SwissProt"}, {"ACCESSION", "\"P1\""}}), false);
    EXPECT_EQ(noMonitor.exitStatus, 0);
    const std::string& out = noMonitor.standardOutput;
    const size_t monitorError = out.find("<bvsq:error code=\"327\">\n      <bvsq:err_description>Monitor is not "
                                         "running</bvsq:err_description>\n      <bvsq:err_param name=\"messages\">");
    const size_t jobError = out.find("<bvsq:error code=\"460\">\n      <bvsq:err_description>Failed to register job. "
                                     "Please inspect tarvex error log.</bvsq:err_description>\n      "
                                     "<bvsq:err_param name=\"errbuf\">");
    // The registration itself says why it failed: a closed control file holds no database.
    EXPECT_NE(out.find("Sorry, the database (SwissProt) is not currently available for searching</bvsq:err_param>"),
              std::string::npos)
        << out;
    EXPECT_NE(install().read("logs/errorlog.txt").find("   - Sorry, the database (SwissProt) is not currently"),
              std::string::npos);
    EXPECT_NE(monitorError, std::string::npos) << out;
    EXPECT_NE(jobError, std::string::npos) << out;
    EXPECT_LT(monitorError, jobError);
    EXPECT_NE(out.find("\">\n  </bvsq:all_proteins>\n" + kTail), std::string::npos) << out;
    EXPECT_EQ(out.find("<bvsq:protein>"), std::string::npos);
}

TEST_F(SeqfetchPost, RepeatedMissingAccessionsAreSummedUpInTheErrorLog) {
    std::string accessions;
    for (int i = 0; i < 25; ++i) accessions += "\"MISS" + std::to_string(i) + "\" ";
    RunResult r = post(form({{"DB", "SwissProt"}, {"ACCESSION", accessions}}));
    EXPECT_EQ(r.exitStatus, 0);
    // Every missing accession is an XML error; the log takes ten and a summary.
    size_t errors = 0;
    for (size_t at = 0; (at = r.standardOutput.find("code=\"461\"", at)) != std::string::npos; ++at) ++errors;
    EXPECT_EQ(errors, 25u);
    const std::string log = install().read("logs/errorlog.txt");
    size_t logged = 0;
    for (size_t at = 0; (at = log.find("[M00461", at)) != std::string::npos; ++at) ++logged;
    EXPECT_EQ(logged, 10u);
    EXPECT_NE(log.find("[M00999"), std::string::npos) << log;
    EXPECT_NE(log.find("Error 461 has been detected 25 times and only the first 10 messages have been output"),
              std::string::npos);
}

namespace {

std::string withoutJob(const std::string& text) {
    return std::regex_replace(text, std::regex("jobid=\"[0-9]+\""), "jobid=\"N\"");
}

}  // namespace

// The same form through a real web server and a real HTTP client: the reply
// is the document the program writes when run directly.
TEST_F(SeqfetchPost, RealWebServerGivesTheSameDocument) {
    if (!cgiWebServerAvailable()) GTEST_SKIP() << "lighttpd or curl is not installed";
    const RunResult reply = postThroughWebServer(install(), programPath("bv-seqfetch"),
                                                 {{"DB", "SwissProt"}, {"SHOWLEN", "1"}, {"ACCESSION", "\"P1\" \"P9\""}});
    ASSERT_TRUE(reply.exited && reply.exitStatus == 0) << reply.standardError;

    // The same request run directly, with the boundary curl chose.
    const std::string& body = reply.standardOutput;
    ASSERT_NE(body.find("<bvsq:accession>P1</bvsq:accession>"), std::string::npos) << body;
    RunResult direct = post(form({{"DB", "SwissProt"}, {"SHOWLEN", "1"}, {"ACCESSION", "\"P1\" \"P9\""}}));
    const std::string header = "Content-type: text/xml\n\n";
    ASSERT_EQ(direct.standardOutput.compare(0, header.size(), header), 0);
    EXPECT_EQ(withoutJob(body), withoutJob(direct.standardOutput.substr(header.size())));
}

// The pI alone on a nucleic-acid database still sizes its translation: no
// overflow warning, a real value for a frame, 0.00 for frame 0.
TEST_F(SeqfetchPost, PiAloneOnNucleicAcids) {
    RunResult r = post(form({{"DB", "Virus"}, {"SHOWPI", "1"}, {"ACCESSION", "\"N1\":1 \"N1\":0"}}));
    EXPECT_EQ(r.exitStatus, 0);
    const std::string& out = r.standardOutput;
    EXPECT_EQ(out.find("all_warnings"), std::string::npos) << out;
    EXPECT_EQ(out.find("warnings=\"yes\""), std::string::npos) << out;
    const size_t first = out.find("<bvsq:prot_pi>");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(out.compare(first, 24, "<bvsq:prot_pi>0.00</bvsq"), 0) << out;
    EXPECT_NE(out.find("<bvsq:frame>0</bvsq:frame>\n      <bvsq:prot_pi>0.00</bvsq:prot_pi>"), std::string::npos)
        << out;
}

// Outside CGI, a run with no arguments reads a POST body from standard input;
// so does CGI with a blank query string.
TEST_F(SeqfetchPost, ModeChoiceSendsBlankQueriesAndBareRunsToPost) {
    const std::string body = form({{"DB", "SwissProt"}, {"ACCESSION", "\"P1\""}});
    RunRequest bare;
    bare.program = programPath("bv-seqfetch");
    bare.workingFolder = install().cgiDir();
    bare.environment = {{"CONTENT_TYPE", "multipart/form-data; boundary=XX"}};
    bare.standardInput = body;
    RunResult r = runProgram(bare);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.standardOutput.find("<bvsq:accession>P1</bvsq:accession>"), std::string::npos) << r.standardOutput;

    RunRequest blank = bare;
    blank.environment = {{"QUERY_STRING", " \t\x1a"},
                         {"SCRIPT_NAME", "/cgi/bv-seqfetch"},
                         {"CONTENT_TYPE", "multipart/form-data; boundary=XX"}};
    r = runProgram(blank);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.standardOutput.compare(0, 24, "Content-type: text/xml\n\n"), 0) << r.standardOutput;
}
