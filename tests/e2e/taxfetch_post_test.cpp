// bv-taxfetch as a CGI POST: taxonomy IDs and accessions of one database
// answered as one XML document, with its errors and warnings.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/taxfetch_fixture.h"
#include "support/cgi_web_server.h"

using namespace taxfetch_e2e;

namespace {

std::string golden(const std::string& name) {
    std::ifstream in(std::string(TARVEX_TEST_DATA) + "/taxfetch/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string kDocumentStart =
    std::string(kXmlHeader) +
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
    "<bvtx:bv_taxfetch_out xmlns:bvtx=\"http://www.tarvex.example/xmlns/schema/bvtaxfetch_1\"\n"
    "                    majorVersion=\"1\" minorVersion=\"0\"\n"
    "                    xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
    "                    xsi:schemaLocation=\"http://www.tarvex.example/xmlns/schema/bvtaxfetch_1 "
    "bvtaxfetch_1.xsd\">\n";

std::string oneError(int code, const std::string& description, const std::string& param, const std::string& value) {
    return "  <bvtx:all_errors>\n    <bvtx:error code=\"" + std::to_string(code) +
           "\">\n      <bvtx:err_description>" + description + "</bvtx:err_description>\n" +
           "      <bvtx:err_param name=\"" + param + "\">" + value + "</bvtx:err_param>\n" +
           "    </bvtx:error>\n  </bvtx:all_errors>\n";
}

std::string emptyResults(int job) {
    return "  <bvtx:results jobid=\"" + std::to_string(job) + "\">\n  </bvtx:results>\n</bvtx:bv_taxfetch_out>\n";
}

std::string between(const std::string& text, const std::string& open, const std::string& close) {
    const size_t a = text.find(open);
    if (a == std::string::npos) return "<none>";
    const size_t b = text.find(close, a + open.size());
    return text.substr(a + open.size(), b - a - open.size());
}

}  // namespace

TEST(TaxfetchPost, TaxonomyIdsInRequestOrderWithNamesAndLineage) {
    // 999 is not in the tree (error, no element); 102 uses a translation
    // table no gencode file has (warning 400, table 1); the root has an
    // empty lineage; 0 has no names and a one-name lineage.
    Installation inst;
    const RunResult r = inst.post(
        {{"DB", "Proteins"}, {"TAXID", "101 999 102 1 0"}, {"SHOWSYNONYMS", "1"}, {"SHOWTAXTREE", "1"}});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.standardOutput, golden("post_taxids.xml"));

    // The job was registered and is finished.
    tarvex_test::ControlFileReader control(inst.controlFilePath());
    const std::vector<int> slots = control.slotsOf(0, 0, 101);
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(control.slot(0, 0, slots[0]).status, 2);
    EXPECT_NE(control.slot(0, 0, slots[0]).endTime, 0u);
}

TEST(TaxfetchPost, ScientificNameFirstOrLastWithSynonyms) {
    Installation inst;
    // Without SHOWSYNONYMS the first scientific name wins, with it the last.
    RunResult r = inst.post({{"DB", "Twin"}, {"TAXID", "101"}});
    EXPECT_EQ(between(r.standardOutput, "<bvtx:scientific_name>", "<"), "Escherichia coli");
    EXPECT_EQ(r.standardOutput.find("common_names"), std::string::npos);
    EXPECT_EQ(r.standardOutput.find("<bvtx:tree>"), std::string::npos);
    r = inst.post({{"DB", "Twin"}, {"TAXID", "101"}, {"SHOWSYNONYMS", "1"}});
    EXPECT_EQ(between(r.standardOutput, "<bvtx:scientific_name>", "<"), "Escherichia coli (Migula)");
}

TEST(TaxfetchPost, RealNcbiLineage) {
    Installation inst;
    const RunResult r = inst.post({{"DB", "Viruses"}, {"TAXID", "154784"}, {"SHOWTAXTREE", "1"}});
    EXPECT_EQ(between(r.standardOutput, "<bvtx:tree>\n", "        </bvtx:tree>"),
              "          <bvtx:node level=\"7\">Acinetobacter phage AP205</bvtx:node>\n"
              "          <bvtx:node level=\"6\">unclassified Levivirus</bvtx:node>\n"
              "          <bvtx:node level=\"5\">Levivirus</bvtx:node>\n"
              "          <bvtx:node level=\"4\">Leviviridae</bvtx:node>\n"
              "          <bvtx:node level=\"3\">ssRNA positive-strand viruses, no DNA stage</bvtx:node>\n"
              "          <bvtx:node level=\"2\">ssRNA viruses</bvtx:node>\n"
              "          <bvtx:node level=\"1\">Viruses</bvtx:node>\n");
    EXPECT_EQ(between(r.standardOutput, "<bvtx:translation_table_id>", "<"), "11");
}

TEST(TaxfetchPost, MissingMonitorAndFailedRegistration) {
    Installation inst(false);
    const RunResult r = inst.post({{"DB", "Proteins"}, {"TAXID", "101"}});
    EXPECT_EQ(r.exitStatus, 0);
    // The first run builds the nodes cache, and says so. Files are named
    // from the working folder, cgi/.
    const std::string cgi = std::filesystem::canonical(inst.install().cgiDir()).string();
    const std::string messages =
        "Taxonomy node file error: Cache file " + cgi + "/../taxonomy/small_nodes.dmp.cdb is missing or cannot be opened; "
        "Failed to open memory mapped file " + cgi + "/../data/tarvex.control. Error: No such file or directory; The bv-watcher "
        "daemon/service is not running, please start it. (Sub Cluster 0)";
    EXPECT_EQ(r.standardOutput,
              kDocumentStart +
                  "  <bvtx:all_errors>\n"
                  "    <bvtx:error code=\"327\">\n"
                  "      <bvtx:err_description>Monitor is not running</bvtx:err_description>\n"
                  "      <bvtx:err_param name=\"messages\">" +
                  messages +
                  "</bvtx:err_param>\n"
                  "    </bvtx:error>\n"
                  "    <bvtx:error code=\"460\">\n"
                  "      <bvtx:err_description>Failed to register job. Please inspect tarvex error "
                  "log.</bvtx:err_description>\n"
                  "      <bvtx:err_param name=\"errbuf\">" +
                  messages +
                  "; Sorry, the database (Proteins) is not currently available for searching</bvtx:err_param>\n"
                  "    </bvtx:error>\n"
                  "  </bvtx:all_errors>\n" +
                  emptyResults(101));
    const std::string log = inst.install().read("logs/errorlog.txt");
    EXPECT_NE(log.find("[M00327 - Job 101 - X00142:bv_controlfile]"), std::string::npos) << log;
}

TEST(TaxfetchPost, RequestsThatFailBeforeTheJob) {
    Installation inst;
    // A nodes file with an invalid line, and a species file that does not exist.
    std::string config = tarvexDat();
    config.insert(config.find("Cluster\n"),
                  "Taxonomy_6\nEnabled\t1\nSpeciesFiles\tNCBI:small_names.dmp\nNodesFiles\tNCBI:bad_nodes.dmp\nend\n\n"
                  "Taxonomy_7\nEnabled\t1\nSpeciesFiles\tNCBI:gone_names.dmp\nNodesFiles\tNCBI:small_nodes.dmp\nend\n\n");
    config.insert(config.find("end\n"),
                  "NoNodes\t../sequence/NoNodes/NoNodes_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t6\n"
                  "NoNames\t../sequence/NoNames/NoNames_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t7\n");
    inst.install().write("config/tarvex.dat", config);
    inst.install().write("taxonomy/bad_nodes.dmp", nodeLine(1, 1, 1) + "5\t|\tx\n");

    struct Case {
        const char* db;
        int code;
        std::string description;
        std::string param;
    };
    const Case cases[] = {
        {"Nothing", 27, "Database is not available or not active", "db"},
        {"Hidden", 27, "Database is not available or not active", "db"},
        {"NoTax", 251, "No taxonomy indexes for this database", "db"},
        {"Off", 251, "No taxonomy indexes for this database", "db"},
        {"NoNames", 469, "Failed to load species file", "messages"},
        {"NoNodes", 462, "One or more errors happened while loading taxonomy nodes", "messages"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.db);
        const RunResult r = inst.post({{"DB", c.db}, {"TAXID", "101"}});
        EXPECT_EQ(r.exitStatus, 0);
        const std::string& out = r.standardOutput;
        EXPECT_NE(out.find("<bvtx:error code=\"" + std::to_string(c.code) + "\">\n      <bvtx:err_description>" +
                           c.description + "</bvtx:err_description>\n      <bvtx:err_param name=\"" + c.param + "\">"),
                  std::string::npos)
            << out;
        if (c.param == "db") {
            EXPECT_EQ(out, kDocumentStart + oneError(c.code, c.description, "db", c.db) + emptyResults(-14));
        }
        // Exactly one results element, with the tool ID, and nothing after it.
        EXPECT_EQ(out.size() - out.find("  <bvtx:results"), emptyResults(-14).size()) << out;
    }
}

TEST(TaxfetchPost, InvalidRequestStillGetsOneResultsElement) {
    Installation inst;
    const RunResult r = inst.post({{"TAXID", "101"}});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.standardOutput, kDocumentStart +
                                    "  <bvtx:all_errors>\n"
                                    "    <bvtx:error code=\"463\">\n"
                                    "      <bvtx:err_description>&apos;db&apos; parameter is missing</bvtx:err_description>\n"
                                    "    </bvtx:error>\n"
                                    "  </bvtx:all_errors>\n" +
                                    emptyResults(-14));
}

TEST(TaxfetchPost, AccessionsAndTaxonomyIdsInRequestOrder) {
    // P1 holds two accessions and two IDs (title of two descriptions); NOPE
    // is not in the database; P3's third ID is unknown to the tree (warning
    // 470 with the entry's accession); P6 uses a table no gencode file has
    // (warning 400); taxonomy ID 999 is an error without an element.
    Installation inst;
    const RunResult r = inst.post({{"DB", "Proteins"},
                                   {"ACCESSION", "\"P1B\""},
                                   {"TAXID", "2 999"},
                                   {"ACCESSION", "\"NOPE\" \"P3\""},
                                   {"ACCESSION", "\"P6\""},
                                   {"SHOWTITLE", "1"},
                                   {"SHOWSYNONYMS", "1"},
                                   {"SHOWTAXTREE", "1"}});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.standardOutput, golden("post_accessions.xml"));
    const std::string log = inst.install().read("logs/errorlog.txt");
    EXPECT_NE(log.find("X00475:post_request_tax"), std::string::npos) << log;
}

// The same form through a real web server and a real HTTP client: the reply
// is the document the program writes when run directly.
TEST(TaxfetchPost, RealWebServerGivesTheSameDocument) {
    if (!tarvex_test::cgiWebServerAvailable()) GTEST_SKIP() << "lighttpd or curl is not installed";
    Installation inst;
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"DB", "Proteins"}, {"ACCESSION", "\"P3\" \"NOPE\""}, {"TAXID", "101 999"}, {"SHOWTITLE", "1"}};
    const RunResult reply =
        tarvex_test::postThroughWebServer(inst.install(), tarvex_test::programPath("bv-taxfetch"), fields);
    ASSERT_TRUE(reply.exited && reply.exitStatus == 0) << reply.standardError;
    const RunResult direct = inst.post(fields);
    ASSERT_EQ(direct.standardOutput.rfind(kXmlHeader, 0), 0u);
    // Job numbers differ between the two runs.
    const std::regex job("jobid=\"[0-9]+\"");
    EXPECT_EQ(std::regex_replace(reply.standardOutput, job, "jobid=\"N\""),
              std::regex_replace(direct.standardOutput.substr(std::strlen(kXmlHeader)), job, "jobid=\"N\""));
    EXPECT_NE(reply.standardOutput.find("<bvtx:accession_str>P3</bvtx:accession_str>"), std::string::npos)
        << reply.standardOutput;
}

TEST(TaxfetchPost, ParentLoopEndsTheLineage) {
    // 200 and 201 are each other's parent: the walk stops at the repeat.
    Installation inst;
    const RunResult r = inst.post({{"DB", "Proteins"}, {"TAXID", "200"}, {"SHOWTAXTREE", "1"}});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(between(r.standardOutput, "<bvtx:tree>\n", "        </bvtx:tree>"),
              "          <bvtx:node level=\"2\">Loop A</bvtx:node>\n"
              "          <bvtx:node level=\"1\">Loop B</bvtx:node>\n");
}

// A POST reads its names from the same caches as the command-line report;
// whatever state the caches are in, every answer is the one the species
// files read into memory give (the road taken when no cache can be used,
// here forced by a folder in each cache's place). Every ID of the fixture
// files, accessions too, with and without each switch.
TEST(TaxfetchPost, CachedNamesAnswerLikeTheFilesInMemory) {
    Installation inst;
    // Names the cache records must give back whole: a ';' inside a name,
    // an empty name, scientific names out of name order.
    inst.install().write("taxonomy/tricky_names.dmp",
                         nameLine(101, "Escherichia coli;K-12", "synonym") + nameLine(100, "", "synonym") +
                             nameLine(102, "Zeta", "scientific name") + nameLine(102, "Alpha", "scientific name") +
                             nameLine(10239, "Vira;0", "scientific name"));
    std::string config = tarvexDat();
    config.insert(config.find("Cluster\n"),
                  "Taxonomy_6\nEnabled\t1\nSpeciesFiles\tNCBI:tricky_names.dmp,NCBI:small_names.dmp,"
                  "SWISSPROT:speclist.txt,NCBI:names.dmp,NCBI:twin_names.dmp\n"
                  "NodesFiles\tNCBI:small_nodes.dmp,NCBI:nodes.dmp\nGencodeFiles\tNCBI:gencode.dmp\nend\n\n");
    config.insert(config.find("end\n"),
                  "Mixed\t../sequence/Mixed/Mixed_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t6\n");
    inst.install().write("config/tarvex.dat", config);
    inst.control().addEntry("Mixed");
    inst.writeControlFile();
    const std::vector<std::string> namesFiles = {"tricky_names.dmp", "small_names.dmp", "speclist.txt", "names.dmp",
                                                 "twin_names.dmp"};

    std::string ids = "-3 0 999";
    for (const char* file : {"small_nodes.dmp", "nodes.dmp", "small_names.dmp", "names.dmp"}) {
        std::istringstream lines(inst.install().read(std::string("taxonomy/") + file));
        for (std::string line; std::getline(lines, line);) ids += " " + line.substr(0, line.find('\t'));
    }
    const std::vector<std::vector<std::pair<std::string, std::string>>> switches = {
        {}, {{"SHOWSYNONYMS", "1"}}, {{"SHOWTAXTREE", "1"}}, {{"SHOWSYNONYMS", "1"}, {"SHOWTAXTREE", "1"}}};
    const std::regex job("jobid=\"[0-9]+\"");
    // Every request of a run: both databases, each switch set. Where no
    // request builds a cache (none can be used, or all are warm), they run
    // side by side; otherwise one after the other, so that the first one
    // builds the caches and the others read them.
    auto answers = [&](bool sideBySide) {
        std::vector<std::vector<std::pair<std::string, std::string>>> forms;
        for (const char* db : {"Proteins", "Mixed"})
            for (const auto& set : switches) {
                std::vector<std::pair<std::string, std::string>> fields = {{"DB", db}, {"TAXID", ids}};
                if (std::string(db) == "Proteins")
                    fields.push_back({"ACCESSION", "\"P1\" \"P3\" \"P4\" \"P5\" \"P6\" \"P8\""});
                fields.insert(fields.end(), set.begin(), set.end());
                forms.push_back(fields);
            }
        std::vector<std::string> all(forms.size());
        auto ask = [&](size_t i) {
            const RunResult r = inst.post(forms[i]);
            EXPECT_EQ(r.exitStatus, 0) << "request " << i;
            all[i] = std::regex_replace(r.standardOutput, job, "jobid=\"N\"");
        };
        std::vector<std::thread> side;
        for (size_t i = 0; i < forms.size(); ++i) {
            if (sideBySide)
                side.emplace_back(ask, i);
            else
                ask(i);
        }
        for (std::thread& t : side) t.join();
        return all;
    };
    auto cacheOf = [&](const std::string& file) { return inst.install().file("taxonomy/" + file + ".cdb"); };

    for (const std::string& file : namesFiles) std::filesystem::create_directories(cacheOf(file) + "/x");
    const std::vector<std::string> inMemory = answers(true);
    ASSERT_NE(inMemory[7].find("<bvtx:synonym>Escherichia coli;K-12</bvtx:synonym>"), std::string::npos)
        << inMemory[7];
    for (const std::string& file : namesFiles) std::filesystem::remove_all(cacheOf(file));

    const char* states[] = {"missing caches", "warm caches", "a names file changed", "a damaged cache"};
    for (const std::string state : states) {
        SCOPED_TRACE(state);
        if (state == "a names file changed") {
            inst.install().write("taxonomy/small_names.dmp", smallNames() + nameLine(4242, "Unasked", "synonym"));
        } else if (state == "a damaged cache") {
            inst.install().write("taxonomy/names.dmp.cdb", "not a constant database");
        }
        const std::vector<std::string> cached = answers(state == "warm caches");
        ASSERT_EQ(cached.size(), inMemory.size());
        for (size_t i = 0; i < cached.size(); ++i) EXPECT_EQ(cached[i], inMemory[i]) << "request " << i;
        for (const std::string& file : namesFiles) EXPECT_TRUE(std::filesystem::is_regular_file(cacheOf(file)));
    }
}

// A species file that is empty or missing fails the request (469) on every
// run, while the caches of the other files are warm.
TEST(TaxfetchPost, EmptyOrMissingSpeciesFileFailsEveryRequest) {
    for (const bool empty : {true, false}) {
        SCOPED_TRACE(empty ? "empty" : "missing");
        Installation inst;
        const RunResult warm = inst.post({{"DB", "Twin"}, {"TAXID", "101"}});
        ASSERT_NE(warm.standardOutput.find("<bvtx:tax_from_id"), std::string::npos) << warm.standardOutput;
        if (empty)
            inst.install().write("taxonomy/twin_names.dmp", "");
        else
            std::filesystem::remove(inst.install().file("taxonomy/twin_names.dmp"));
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            const RunResult r = inst.post({{"DB", "Twin"}, {"TAXID", "101"}});
            // The messages carry the time: the rest of the document is fixed.
            const std::regex time("Error \\[M00246 - Job -14 - X00506:taxonomy\\] - [^\n]*\n   - ");
            EXPECT_EQ(std::regex_replace(r.standardOutput, time, "M246: "),
                      kDocumentStart +
                          oneError(469, "Failed to load species file", "messages",
                                   "M246: The taxonomy node file [../taxonomy/twin_names.dmp] is missing or empty\n") +
                          emptyResults(-14));
        }
    }
}

// Once the caches are warm a POST parses no species file: a names file
// changed behind the caches' back (same size, same time) still answers with
// the names the caches hold, as the command-line report does.
TEST(TaxfetchPost, WarmPostReadsNamesFromTheCaches) {
    Installation inst;
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"DB", "Proteins"}, {"TAXID", "101"}, {"SHOWSYNONYMS", "1"}, {"SHOWTAXTREE", "1"}};
    const std::regex job("jobid=\"[0-9]+\"");
    const std::string first = std::regex_replace(inst.post(fields).standardOutput, job, "jobid=\"N\"");
    ASSERT_NE(first.find("<bvtx:scientific_name>Escherichia coli</bvtx:scientific_name>"), std::string::npos) << first;

    const std::string names = inst.install().file("taxonomy/small_names.dmp");
    struct stat before;
    ASSERT_EQ(::stat(names.c_str(), &before), 0);
    std::string changed = smallNames();
    changed.replace(changed.find("Escherichia coli\t"), 16, "Escherichia colX");
    inst.install().write("taxonomy/small_names.dmp", changed);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, names.c_str(), times, 0), 0);
    EXPECT_EQ(std::regex_replace(inst.post(fields).standardOutput, job, "jobid=\"N\""), first);
}
