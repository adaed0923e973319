#pragma once
// A server installation for end-to-end runs of bv-seqfetch: its tarvex.dat
// with two databases, a control file registered with a stand-in monitor,
// security off, and the runners of the shared program installation.
#include <string>

#include "support/program_installation.h"
#include "support/session_files.h"
#include "support/taxonomy_fixture.h"

namespace seqfetch_e2e {

using tarvex_test::RunResult;

constexpr const char* kHeader = "Content-type: text/plain\n\n";

inline std::string tarvexDat(const std::string& extraOptions = "") {
    return "Databases\n"
           "SwissProt\t../sequence/SwissProt/SwissProt_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t4\t1\n"
           "Virus\t../sequence/Virus/Virus_*.fasta\tNA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t4\t2\n"
           "end\n"
           "\n"
           "PARSE\n"
           "RULE_1\t\">\\([^ ]*\\)\"\n"
           "RULE_2\t\">[^ ]* \\(.*\\)\"\n"
           "RULE_4\t\"^\\(.*\\)\"\n"
           "RULE_9\t\"^AC   \\([^;]*\\)\"\n"
           "end\n"
           "\n"
           "Taxonomy_1\n"
           "Title:Proteins\n"
           "Enabled\t1\n"
           "end\n"
           "\n"
           "Taxonomy_2\n"
           "Title:Nucleic acids\n"
           "Enabled\t1\n"
           "NodesFiles\tNCBI:nodes.dmp\n"
           "GencodeFiles\tNCBI:gencode.dmp\n"
           "end\n"
           "\n" +
           tarvex_test::fixtureClusterAndOptions(extraOptions);
}

class Installation : public tarvex_test::ProgramInstallation {
public:
    explicit Installation(bool withControlFile = true) : ProgramInstallation("bv-seqfetch", "seqfetch-e2e") {
        install().write("config/tarvex.dat", tarvexDat());
        securityOff();
        if (withControlFile) {
            control().addEntry("SwissProt");
            control().addEntry("Virus");
            registerControlFile();
        }
    }

    // A CGI POST of a multipart body whose boundary is "XX", to run as it is
    // or with runner options of its own.
    tarvex_test::RunRequest postRequest(const std::string& body) const {
        return ProgramInstallation::postRequest("XX", body);
    }
    RunResult post(const std::string& body) const { return run(postRequest(body)); }
};

}  // namespace seqfetch_e2e
