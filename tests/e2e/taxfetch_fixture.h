#pragma once
// A server installation for end-to-end runs of bv-taxfetch: tarvex.dat with
// its databases and taxonomy sections, a small hand-made taxonomy and the
// real NCBI sample dump, a control file registered with a stand-in monitor,
// security options, and runners for the command line, CGI GET and CGI POST.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/database_writer.h"
#include "support/program_installation.h"
#include "support/session_files.h"
#include "support/taxonomy_fixture.h"

namespace taxfetch_e2e {

using tarvex_test::RunResult;

constexpr const char* kHtmlHeader = "Content-type: text/html\n\n";
constexpr const char* kXmlHeader = "Content-type: text/xml\n\n";

// One NCBI nodes line: ID, parent and genetic code (columns 1, 2 and 7).
inline std::string nodeLine(int id, int parent, int code) {
    return std::to_string(id) + "\t|\t" + std::to_string(parent) + "\t|\tno rank\t|\t\t|\t0\t|\t1\t|\t" +
           std::to_string(code) + "\t|\t1\t|\t2\t|\t1\t|\t0\t|\t0\t|\t\t|\n";
}

// One NCBI names line.
inline std::string nameLine(int id, const std::string& name, const std::string& nameClass) {
    return std::to_string(id) + "\t|\t" + name + "\t|\t\t|\t" + nameClass + "\t|\n";
}

// The hand-made taxonomy: a short bacterial lineage, a taxon whose
// translation table no gencode file has (7), a parent loop, and a taxon
// without names. Names carry HTML and XML special characters.
inline std::string smallNodes() {
    return nodeLine(1, 1, 1) + nodeLine(2, 1, 11) + nodeLine(100, 2, 11) + nodeLine(101, 100, 11) +
           nodeLine(102, 100, 7) + nodeLine(200, 201, 1) + nodeLine(201, 200, 1) + nodeLine(300, 1, 4);
}

inline std::string smallNames() {
    return nameLine(1, "root", "scientific name") + nameLine(2, "Bacteria", "scientific name") +
           nameLine(2, "eubacteria", "genbank common name") + nameLine(100, "Escherichia", "scientific name") +
           nameLine(101, "Escherichia coli", "scientific name") +
           nameLine(101, "E. coli <K-12> & \"friends\"", "common name") + nameLine(101, "Bacillus coli", "synonym") +
           nameLine(101, "ECOLI", "acronym") + nameLine(102, "Escherichia fergusonii", "scientific name") +
           nameLine(200, "Loop A", "scientific name") + nameLine(201, "Loop B", "scientific name");
}

// A second names file that gives taxon 101 another scientific name.
inline std::string twinNames() { return nameLine(101, "Escherichia coli (Migula)", "scientific name"); }

// SWISSPROT species codes: ECOLI names 101 here too.
inline std::string speciesList() { return "ECOLI  B  101: N=Escherichia coli\nBACSU  B    2: N=Bacteria\n"; }

// The Proteins database (taxonomy section 1). Accessions are the first word
// of the title and of every piece after a 0x01.
//   P1 (P1B): two IDs, two accessions; a title of two descriptions, each
//             ending in 0x01, with HTML special characters
//   P3: three IDs (one unknown to the tree), one accession
//   P4: a position without taxonomy (-1)
//   P5: the root; P6: a table no gencode file has; P8: an ID outside the tree
inline std::string proteinsFasta() {
    return ">P1 Escherichia coli <b>protein</b> & more\x01P1B alias \"two\"\x01\nMKV\n"
           ">P3 three taxa\nMKLL\n"
           ">P4 no taxonomy\nMA\n"
           ">P5 root\nMC\n"
           ">P6 fergusonii\nMD\n"
           ">P8 outside\nME\n";
}

inline void writeProteins(tarvex_test::DatabaseWriter& db) {
    db.setFasta(proteinsFasta()).setTaxonomySection(1);
    db.setTaxIds(0, {101, 102}).setTaxIds(1, {101, 2, 999}).setTaxIds(2, {-1}).setTaxIds(3, {1});
    db.setTaxIds(4, {102}).setTaxIds(5, {999});
}

inline std::string tarvexDat() {
    return "Databases\n"
           "Proteins\t../sequence/Proteins/Proteins_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t1\n"
           "#Hidden\t../sequence/Hidden/Hidden_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t1\n"
           "NoTax\t../sequence/NoTax/NoTax_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t0\n"
           "Twin\t../sequence/Twin/Twin_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t3\n"
           "Viruses\t../sequence/Viruses/Viruses_*.fasta\tNA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t4\n"
           "Off\t../sequence/Off/Off_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t1\t5\n"
           "end\n"
           "\n"
           "PARSE\n"
           "RULE_1\t\">\\([^ ]*\\)\"\n"
           "RULE_2\t\">[^ ]* \\(.*\\)\"\n"
           "end\n"
           "\n"
           "Taxonomy_1\n"
           "Title:Small\n"
           "Enabled\t1\n"
           "SpeciesFiles\tNCBI:small_names.dmp\n"
           "NodesFiles\tNCBI:small_nodes.dmp\n"
           "GencodeFiles\tNCBI:gencode.dmp\n"
           "end\n"
           "\n"
           "Taxonomy_2\n"
           "Title:Species search\n"
           "Enabled\t0\n"
           "SpeciesFiles\tNCBI:small_names.dmp,SWISSPROT:speclist.txt\n"
           "end\n"
           "\n"
           "Taxonomy_3\n"
           "Title:Twin names\n"
           "Enabled\t1\n"
           "SpeciesFiles\tNCBI:small_names.dmp,NCBI:twin_names.dmp\n"
           "NodesFiles\tNCBI:small_nodes.dmp\n"
           "GencodeFiles\tNCBI:gencode.dmp\n"
           "end\n"
           "\n"
           "Taxonomy_4\n"
           "Title:NCBI sample\n"
           "Enabled\t1\n"
           "SpeciesFiles\tNCBI:names.dmp\n"
           "NodesFiles\tNCBI:nodes.dmp\n"
           "GencodeFiles\tNCBI:gencode.dmp\n"
           "end\n"
           "\n"
           "Taxonomy_5\n"
           "Title:Switched off\n"
           "Enabled\t0\n"
           "SpeciesFiles\tNCBI:small_names.dmp\n"
           "end\n"
           "\n" +
           tarvex_test::fixtureClusterAndOptions();
}

inline std::string formPart(const std::string& name, const std::string& value) {
    return "--B\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

// The multipart body of form fields (name, value) in order.
inline std::string formBody(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string body;
    for (const auto& [name, value] : fields) body += formPart(name, value);
    return body + "--B--\r\n";
}
// A CGI POST of those fields to bv-taxfetch run from the cgi folder, as the
// web server starts it.
inline tarvex_test::RunRequest postRequest(const std::string& cgiDir,
                                           const std::vector<std::pair<std::string, std::string>>& fields) {
    return tarvex_test::postRequest("bv-taxfetch", cgiDir, "B", formBody(fields));
}

class Installation : public tarvex_test::ProgramInstallation {
public:
    explicit Installation(bool withControlFile = true) : ProgramInstallation("bv-taxfetch", "taxfetch-e2e") {
        install().write("config/tarvex.dat", tarvexDat());
        securityOff();
        install().write("taxonomy/small_nodes.dmp", smallNodes());
        install().write("taxonomy/small_names.dmp", smallNames());
        install().write("taxonomy/twin_names.dmp", twinNames());
        install().write("taxonomy/speclist.txt", speciesList());
        for (const char* name : {"names.dmp", "nodes.dmp", "gencode.dmp"})
            install().write(std::string("taxonomy/") + name, tarvex_test::taxonomyFixture(name));
        if (withControlFile) {
            tarvex_test::DatabaseWriter proteins("Proteins", install().file("sequence/Proteins"), "Proteins_1.fasta");
            writeProteins(proteins);
            if (!proteins.write()) throw std::runtime_error(proteins.error());
            proteins.fillControlEntry(control(), control().addEntry("Proteins"), false);
            for (const char* name : {"NoTax", "Twin", "Viruses"}) control().addEntry(name);
            registerControlFile();
        }
    }

    // A POST of form fields (name, value) in order.
    RunResult post(const std::vector<std::pair<std::string, std::string>>& fields) const {
        return run(postRequest("B", formBody(fields)));
    }
};

// One command-line run that must exit with 0 and print prefix + expected.
struct CommandCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string expected;
};

inline void expectCommandOutputs(Installation& inst, const std::vector<CommandCase>& cases,
                                 const std::string& prefix = "") {
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = inst.commandLine(c.arguments);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.standardOutput, prefix + c.expected);
    }
}

// The start of an HTML report page for the argument text as it is shown.
inline std::string pageHead(const std::string& shown) {
    return std::string(kHtmlHeader) + "<HTML>\n<HEAD><LINK REL=\"shortcut icon\" HREF=\"../favicon.ico\"><TITLE>Taxonomy for " +
           shown + "</TITLE></HEAD>\n<BODY>\n<H2>Taxonomy for " + shown + "</H2>";
}
constexpr const char* kPageTail = "</BODY>\n</HTML>\n";

}  // namespace taxfetch_e2e
