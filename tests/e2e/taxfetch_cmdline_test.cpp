// bv-taxfetch on the command line and through CGI GET: mode choice, usage,
// version, argument rules, the taxonomy-ID commands 5 to 7, the species
// search (command 8) and the fatal reports.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <future>

#include <string>
#include <vector>

#include "common/log_fixture.h"
#include "e2e/taxfetch_fixture.h"

using namespace taxfetch_e2e;

namespace {

std::string usageFor(const std::string& program) {
    return "Command line parameter for " + program +
           " must be \n"
           "   <cmd>\n"
           "   <db> \n"
           "   <accession | tax ID>\n"
           "   --sessionID session\n"
           "\n"
           "where, \n"
           "       cmd is 1 to 9\n"
           "       db is the name of the database 'family' - eg OWL\n"
           "       accession is the accession string - e.g. TNU23504\n"
           "       tax ID is the NCBI taxonomy ID\n"
           "\n"
           "The commands are:\n"
           "\n"
           "Parameters              Returns\n"
           "1 database accession    Space separated list of accession string, \n"
           "                        tax_ID number, and scientific species name. Where\n"
           "                        a database entry represents multiple  accessions,\n"
           "                        this information is repeated for each accession.\n"
           "                        Plain formatted.\n\n"
           "2 database accession    Space separated pair of accession string and \n"
           "                        scientific species name. Where a database entry \n"
           "                        represents multiple  accessions, this information \n"
           "                        is repeated for each accession. Followed by the FASTA\n"
           "                        title line for the accession supplied as an argument. \n"
           "                        Pretty formatted.\n\n"
           "3 database accession    Same as mode 2, plus a list of common species names \n"
           "                        in parentheses.\n\n"
           "4 database accession    Same as mode 3, plus complete taxonomy tree.\n\n"
           "5 database tax_ID       The scientific species name as a string.\n"
           "                        Pretty formatted\n\n"
           "6 database tax_ID       Same as mode 5, plus a list of common species names \n"
           "                        in parentheses.\n\n"
           "7 database tax_ID       Same as mode 6, plus complete taxonomy tree.\n\n"
           "8 database Species_name NCBI Taxonomy ID, plus a list of names with the same \n"
           "                        ID. This option is useful for updating the 'taxonomy'\n"
           "                        files (used by the species list in the form). For this\n"
           "                        command, the program searches the files for all \n"
           "                        databases, and the database parameter is ignored.\n"
           "9 database accession    Shows NA-translation table used for the entry based on\n"
           "                        its taxonomy.\n";
}

const std::string kOtherNames = " (Bacillus coli, E. coli &lt;K-12&gt; &amp; &quot;friends&quot;, ECOLI)";

std::string fatalPage(const std::string& text, int number) {
    char code[16];
    std::snprintf(code, sizeof code, "%05d", number);
    return std::string(kHtmlHeader) +
           "<BR>Sorry, your search could not be performed due to the following mistake entering data.<BR>\n" + text +
           " [M" + code + "]<BR>\nPlease press the back button on your browser, correct the fault and retry the "
           "search.<BR>\n";
}

}  // namespace

TEST(TaxfetchCommandLine, UsageVersionAndArgumentRules) {
    Installation inst;
    const std::string program = tarvex_test::programPath("bv-taxfetch");
    const std::vector<CommandCase> cases = {
        {"version", {"--version"}, program + " - Version 2.7.0.3\n"},
        {"version word is no command-line version", {"version"}, usageFor(program)},
        {"three arguments", {"5", "Proteins"}, usageFor(program)},
        {"five arguments", {"5", "Proteins", "101", "--sessionID"}, usageFor(program)},
        {"misspelt session switch", {"5", "Proteins", "101", "--SessionID", "abc"}, usageFor(program)},
        {"seven arguments", {"5", "Proteins", "101", "--sessionID", "abc", "x"}, usageFor(program)},
        {"command 0", {"0", "Proteins", "101"}, usageFor(program)},
        {"command x", {"x", "Proteins", "101"}, usageFor(program)},
        {"empty command", {"", "Proteins", "101"}, usageFor(program)},
    };
    expectCommandOutputs(inst, cases, kHtmlHeader);
    // More than 100 arguments leave no entry 0 to name.
    const RunResult many = inst.commandLine(std::vector<std::string>(101, "5"));
    EXPECT_EQ(many.exitStatus, 0);
    EXPECT_EQ(many.standardOutput, kHtmlHeader + usageFor("bv-taxfetch.exe"));
}

TEST(TaxfetchCommandLine, GetVersionUsesTheOwnName) {
    Installation inst;
    for (const char* query : {"version", "--version"}) {
        SCOPED_TRACE(query);
        const RunResult r = inst.get(query);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.standardOutput, std::string(kHtmlHeader) + "bv-taxfetch.exe - Version 2.7.0.3\n");
    }
    EXPECT_EQ(inst.get("5+Proteins").standardOutput, kHtmlHeader + usageFor("bv-taxfetch.exe"));
    // Without ".exe" the script is still this program.
    EXPECT_EQ(inst.get("version", "/cgi/bv-taxfetch").standardOutput,
              std::string(kHtmlHeader) + "bv-taxfetch.exe - Version 2.7.0.3\n");
}

TEST(TaxfetchCommandLine, ModeChoice) {
    Installation inst;
    const std::string xmlStart = std::string(kXmlHeader) + "<?xml";
    // A script name in another case is not this program: with arguments the
    // command line runs, without them POST.
    RunResult r = inst.commandLine({"--version"}, {{"QUERY_STRING", "5+Proteins+101"},
                                                   {"SCRIPT_NAME", "/cgi/BV-TAXFETCH.EXE"}});
    EXPECT_EQ(r.standardOutput, kHtmlHeader + tarvex_test::programPath("bv-taxfetch") + " - Version 2.7.0.3\n");
    r = inst.commandLine({}, {{"QUERY_STRING", "version"}, {"SCRIPT_NAME", "/cgi/BV-TAXFETCH.EXE"}});
    EXPECT_EQ(r.standardOutput.rfind(xmlStart, 0), 0u) << r.standardOutput;
    // A blank query string is POST whatever the arguments are.
    r = inst.commandLine({"--version"}, {{"QUERY_STRING", " \t"}, {"SCRIPT_NAME", "/cgi/bv-taxfetch.exe"}});
    EXPECT_EQ(r.standardOutput.rfind(xmlStart, 0), 0u) << r.standardOutput;
    EXPECT_EQ(r.exitStatus, 0);
    // No query string and no arguments: POST.
    r = inst.commandLine({});
    EXPECT_EQ(r.standardOutput.rfind(xmlStart, 0), 0u) << r.standardOutput;
}

TEST(TaxfetchCommandLine, TaxonomyIdCommands) {
    Installation inst;
    const std::string head101 = pageHead("101");
    const std::vector<CommandCase> cases = {
        {"command 5", {"5", "Proteins", "101"}, head101 + "Escherichia coli<BR>" + kPageTail},
        {"command 6 lists other names in byte order",
         {"6", "Proteins", "101"},
         head101 + "<B>Escherichia coli</B>" + kOtherNames + "<BR>" + kPageTail},
        {"command 7 adds the lineage",
         {"7", "Proteins", "101"},
         head101 + "<B>Escherichia coli</B>" + kOtherNames + "<BR>Escherichia coli->Escherichia->Bacteria->root<BR><BR>" +
             kPageTail},
        {"command 6 without other names", {"6", "Proteins", "100"}, pageHead("100") + "<B>Escherichia</B><BR>" + kPageTail},
        {"lineage of the root is its name", {"7", "Proteins", "1"}, pageHead("1") + "<B>root</B><BR>root<BR><BR>" + kPageTail},
        {"a taxon without names", {"5", "Proteins", "300"}, pageHead("300") + "Unknown species<BR>" + kPageTail},
        {"a taxon outside the tree",
         {"7", "Proteins", "999"},
         pageHead("999") + "<B>Unknown species</B><BR><BR><BR>" + kPageTail},
        {"a parent loop ends the lineage",
         {"7", "Proteins", "200"},
         pageHead("200") + "<B>Loop A</B><BR>Loop A->Loop B<BR><BR>" + kPageTail},
        {"database by case-insensitive prefix", {"5", "pR", "102"}, pageHead("102") + "Escherichia fergusonii<BR>" + kPageTail},
        {"quotes are cut from the argument", {"5", "Proteins", "\"101\"x"}, head101 + "Escherichia coli<BR>" + kPageTail},
        {"only quotes leave an empty text", {"5", "Proteins", "\"'"}, pageHead("") + "Unknown species<BR>" + kPageTail},
        {"digits then letters", {"5", "Proteins", "2abc"}, pageHead("2abc") + "Bacteria<BR>" + kPageTail},
        {"command 10 on the accession road", {"10", "Proteins", "101"}, std::string(kHtmlHeader) + "Taxonomy ID not found\n"},
        {"no taxonomy section: nothing", {"5", "NoTax", "101"}, kHtmlHeader},
        {"a switched-off taxonomy section: nothing", {"5", "Off", "101"}, kHtmlHeader},
    };
    expectCommandOutputs(inst, cases);
    // The name caches are left beside the species and nodes files, and a
    // second run answers from them with the same page.
    EXPECT_NE(inst.install().read("taxonomy/small_names.dmp.cdb"), "");
    EXPECT_NE(inst.install().read("taxonomy/small_nodes.dmp.cdb"), "");
    EXPECT_EQ(inst.commandLine({"7", "Proteins", "101"}).standardOutput,
              head101 + "<B>Escherichia coli</B>" + kOtherNames + "<BR>Escherichia coli->Escherichia->Bacteria->root<BR><BR>" +
                  kPageTail);
}

TEST(TaxfetchCommandLine, NamesStayWhenTheReportCannotUseTheCaches) {
    // A species file whose cache path is too long for the report: the
    // second run finds the loader's cache valid, the report refuses it, and
    // the names must still come from the file.
    Installation inst;
    const std::string folder(240, 'd');
    std::filesystem::create_directories(inst.install().file("taxonomy/" + folder));
    inst.install().write("taxonomy/" + folder + "/names.dmp", smallNames());
    std::string config = tarvexDat();
    config.insert(config.find("Cluster\n"), "Taxonomy_6\nEnabled\t1\nSpeciesFiles\tNCBI:" + folder +
                                                "/names.dmp\nNodesFiles\tNCBI:small_nodes.dmp\nend\n\n");
    config.insert(config.find("end\n"),
                  "LongPath\t../sequence/LongPath/LongPath_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t6\n");
    inst.install().write("config/tarvex.dat", config);
    const std::string expected = pageHead("101") + "<B>Escherichia coli</B>" + kOtherNames +
                                 "<BR>Escherichia coli->Escherichia->Bacteria->root<BR><BR>" + kPageTail;
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(inst.commandLine({"7", "LongPath", "101"}).standardOutput, expected);
    }
}

TEST(TaxfetchCommandLine, EmptySpeciesFileIsReportedOnEveryRequest) {
    Installation inst;
    inst.install().write("taxonomy/small_names.dmp", "");
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(inst.commandLine({"5", "Proteins", "101"}).standardOutput,
                  pageHead("101") + "Unknown species<BR>" + kPageTail);
    }
    const std::string log = inst.install().read("logs/errorlog.txt");
    std::size_t reports = 0;
    for (std::size_t at = log.find("[M00246 "); at != std::string::npos; at = log.find("[M00246 ", at + 1)) ++reports;
    EXPECT_EQ(reports, 2u) << log;
}

// The first request after the caches are removed (a fresh install, a new
// dump) rebuilds them and logs the missing nodes cache as its one entry, a
// warning the answer does not show; the next request logs nothing. The
// entry names the cache by the working folder it was looked for from.
TEST(TaxfetchCommandLine, ACacheRebuildLogsTheMissingCacheOnce) {
    Installation inst;
    const std::string cgi = std::filesystem::canonical(inst.install().cgiDir()).string();
    std::string first;
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        const RunResult r = inst.commandLine({"7", "Proteins", "101"});
        EXPECT_EQ(r.exitStatus, 0);
        if (run == 1) first = r.standardOutput;
        EXPECT_NE(r.standardOutput.find("Escherichia coli->Escherichia->Bacteria->root"), std::string::npos)
            << r.standardOutput;
        EXPECT_EQ(r.standardOutput, first);
        EXPECT_EQ(r.standardError, "");
        EXPECT_EQ(tarvex_test::maskTimes(inst.install().read("logs/errorlog.txt")),
                  "Error [M00539 - Job -14 - X00830:taxonomy] - <time>\n"
                  "   - Taxonomy node file error: Cache file " + cgi +
                      "/../taxonomy/small_nodes.dmp.cdb is missing or cannot be opened\n\n");
        EXPECT_NE(inst.install().read("taxonomy/small_nodes.dmp.cdb"), "");
    }
}

// Once the caches are warm the report takes its names from them and parses
// no species file: a names file changed behind the caches' back (same size,
// same time) still answers with the names the caches hold.
TEST(TaxfetchCommandLine, WarmReportReadsNamesFromTheCaches) {
    struct Case {
        const char* name;
        const char* speciesFiles;
        const char* namesFile;
    };
    const Case cases[] = {
        {"an accession index in the section", "NCBI:small_names.dmp,ACC2TAXID:acc.txt", "small_names.dmp"},
        {"a name written with a backslash", "NCBI:sub\\names.dmp", "sub/names.dmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation inst;
        std::filesystem::create_directories(inst.install().file("taxonomy/sub"));
        inst.install().write("taxonomy/sub/names.dmp", smallNames());
        inst.install().write("taxonomy/acc.txt", "P1 101\n");
        std::string config = tarvexDat();
        config.insert(config.find("Cluster\n"), std::string("Taxonomy_6\nEnabled\t1\nSpeciesFiles\t") +
                                                    c.speciesFiles + "\nNodesFiles\tNCBI:small_nodes.dmp\nend\n\n");
        config.insert(config.find("end\n"),
                      "Warm\t../sequence/Warm/Warm_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t6\n");
        inst.install().write("config/tarvex.dat", config);
        const std::string expected = pageHead("101") + "Escherichia coli<BR>" + kPageTail;
        EXPECT_EQ(inst.commandLine({"5", "Warm", "101"}).standardOutput, expected);

        const std::string names = inst.install().file(std::string("taxonomy/") + c.namesFile);
        struct stat before;
        ASSERT_EQ(::stat(names.c_str(), &before), 0);
        std::string changed = smallNames();
        changed.replace(changed.find("Escherichia coli\t"), 16, "Escherichia colX");
        inst.install().write(std::string("taxonomy/") + c.namesFile, changed);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, names.c_str(), times, 0), 0);
        EXPECT_EQ(inst.commandLine({"5", "Warm", "101"}).standardOutput, expected);
    }
}

TEST(TaxfetchCommandLine, GetAnswersLikeTheCommandLine) {
    Installation inst;
    const auto [cmd, get] = inst.both({"7", "Proteins", "101"});
    EXPECT_EQ(cmd.standardOutput, get.standardOutput);
    EXPECT_EQ(get.exitStatus, 0);
}

TEST(TaxfetchCommandLine, RequestTextNeverBecomesMarkup) {
    Installation inst;
    const RunResult r = inst.get("5+Proteins+%3Cscript%3Ealert(1)%3C/script%3E");
    EXPECT_EQ(r.standardOutput, pageHead("&lt;script&gt;alert(1)&lt;/script&gt;") + "Unknown species<BR>" + kPageTail);
    EXPECT_EQ(r.standardOutput.find("<script>"), std::string::npos);
}

TEST(TaxfetchCommandLine, RealNcbiLineages) {
    // The NCBI sample dump: lineages written out by hand from its nodes file.
    Installation inst;
    struct Case {
        const char* id;
        std::string body;
    };
    const Case cases[] = {
        {"1168547",
         "<B>Acartia tonsa copepod circovirus</B><BR>Acartia tonsa copepod circovirus->unclassified Circovirus->"
         "Circovirus->Circoviridae->ssDNA viruses->Viruses->root<BR><BR>"},
        {"154784",
         "<B>Acinetobacter phage AP205</B> (Bacteriophage AP205)<BR>Acinetobacter phage AP205->unclassified Levivirus->"
         "Levivirus->Leviviridae->ssRNA positive-strand viruses, no DNA stage->ssRNA viruses->Viruses->root<BR><BR>"},
        {"10239", "<B>Viruses</B> (Vira, Viridae, viruses)<BR>Viruses->root<BR><BR>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(inst.commandLine({"7", "Viruses", c.id}).standardOutput, pageHead(c.id) + c.body + kPageTail);
    }
}

TEST(TaxfetchCommandLine, SpeciesNameSearch) {
    Installation inst;
    const std::string heading = "\nOther names with the same id are:\n      ID  Name Class                 Name\n";
    const std::string ncbi101 =
        "     101  synonym                    Bacillus coli\n"
        "     101  common name                E. coli <K-12> & \"friends\"\n"
        "     101  acronym                    ECOLI\n"
        "     101  scientific name            Escherichia coli\n";
    const std::vector<CommandCase> cases = {
        {"found in another case, shown as typed",
         {"8", "Proteins", "escherichia COLI"},
         "Found escherichia COLI, taxonomy ID = 101, name class = scientific name\n" + heading + ncbi101},
        {"a name of two file types gives two blocks",
         {"8", "Proteins", "ecoli"},
         "Found ecoli, taxonomy ID = 101, name class = acronym\n" + heading + ncbi101 +
             "Found ecoli, taxonomy ID = 101, name class = synonym\n" + heading +
             "     101  synonym                    ECOLI\n"},
        {"the database is chosen but ignored", {"8x", "NoTax", "Bacteria"},
         "Found Bacteria, taxonomy ID = 2, name class = scientific name\n" + heading +
             "       2  scientific name            Bacteria\n"
             "       2  genbank common name        eubacteria\n"},
        {"quotes stay part of the name", {"8", "Proteins", "\"Bacteria\""}, "Failed to find a match\n"},
        {"no match", {"8", "Proteins", "Nothing"}, "Failed to find a match\n"},
    };
    expectCommandOutputs(inst, cases, kHtmlHeader);
    EXPECT_EQ(inst.get("8+Proteins+ecoli").standardOutput, inst.commandLine({"8", "Proteins", "ecoli"}).standardOutput);
}

TEST(TaxfetchCommandLine, SpeciesSearchWithoutSectionTwo) {
    Installation inst;
    std::string config = tarvexDat();
    const size_t start = config.find("Taxonomy_2\n");
    config.erase(start, config.find("end\n", start) + 4 - start);
    inst.install().write("config/tarvex.dat", config);
    EXPECT_EQ(inst.commandLine({"8", "Proteins", "Bacteria"}).standardOutput,
              std::string(kHtmlHeader) + "Failed to find a match\n");
}

// Requests that arrive together when no caches exist: one builds each cache
// while the others wait for its build and then read it. Every answer is
// right, and no request read the files itself because a cache was being
// built (the error log would say "being created by another task").
TEST(TaxfetchCommandLine, ConcurrentFirstRequestsShareOneBuild) {
    Installation inst;
    // Filler taxa under taxon 300 make the build take a while.
    std::string nodes = smallNodes(), names = smallNames();
    for (int id = 1000; id < 200000; ++id) {
        nodes += nodeLine(id, 300, 11);
        names += nameLine(id, "Filler " + std::to_string(id), "scientific name");
    }
    inst.install().write("taxonomy/small_nodes.dmp", nodes);
    inst.install().write("taxonomy/small_names.dmp", names);
    const std::vector<std::string> commands[] = {
        {"7", "Proteins", "101"}, {"6", "Proteins", "101"}, {"5", "Proteins", "199999"}};
    std::string expected[3];
    for (int c = 0; c < 3; ++c) expected[c] = inst.commandLine(commands[c]).standardOutput;
    ASSERT_NE(expected[0].find("Escherichia coli->Escherichia->Bacteria->root"), std::string::npos)
        << expected[0];
    ASSERT_NE(expected[2].find("Filler 199999"), std::string::npos) << expected[2];
    for (const char* cache : {"taxonomy/small_nodes.dmp.cdb", "taxonomy/small_names.dmp.cdb"})
        ASSERT_EQ(std::remove(inst.install().file(cache).c_str()), 0) << cache;
    inst.install().write("logs/errorlog.txt", "");

    constexpr int kRequests = 12;
    std::vector<std::future<RunResult>> runs;
    for (int i = 0; i < kRequests; ++i)
        runs.push_back(std::async(std::launch::async, [&inst, &commands, i] { return inst.commandLine(commands[i % 3]); }));
    for (int i = 0; i < kRequests; ++i) {
        const RunResult r = runs[static_cast<size_t>(i)].get();
        EXPECT_EQ(r.exitStatus, 0) << i;
        EXPECT_EQ(r.standardOutput, expected[i % 3]) << i;
    }
    const std::string log = inst.install().read("logs/errorlog.txt");
    EXPECT_EQ(log.find("being created by another task"), std::string::npos) << log;
}

TEST(TaxfetchCommandLine, FatalReports) {
    Installation inst;
    // Unknown and inactive databases end every command with message 27.
    for (const char* db : {"Nothing", "Hidden"}) {
        SCOPED_TRACE(db);
        for (const char* command : {"5", "8"}) {
            const RunResult r = inst.commandLine({command, db, "101"});
            EXPECT_EQ(r.exitStatus, 28);
            EXPECT_EQ(r.standardOutput,
                      fatalPage(std::string("Sorry, the database (") + db + ") is not currently available for searching",
                                27));
        }
    }
    const std::string log = inst.install().read("logs/errorlog.txt");
    EXPECT_NE(log.find("X00473:taxfetch"), std::string::npos) << log;

    // An unreadable configuration (a folder in its place): message 403.
    const std::string path = inst.install().file("config/tarvex.dat");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
    const RunResult r = inst.commandLine({"5", "Proteins", "101"});
    EXPECT_EQ(r.exitStatus, 149);
    EXPECT_EQ(r.standardOutput,
              fatalPage("There is an error in a configuration file: Failed to open file ../config/tarvex.dat for r. "
                        "Is a directory",
                        403));
    // The version road reads no configuration.
    EXPECT_EQ(inst.commandLine({"--version"}).exitStatus, 0);
}
