#pragma once
// The context of one command-line or CGI GET request of either tool: what
// such a request builds (job manager, its own configuration, the chosen
// database, taxonomy rules, genetic-code tables), and the builder that turns
// the process arguments or the query string into an argument vector.
// One per request; not copyable; single thread.
#include <memory>
#include <string>
#include <vector>

#include "config/bv_configfile.h"
#include "database/bv_job.h"
#include "database/genetic_codes.h"
#include "database/taxonomy_rules.h"

namespace brenvik {
class bv_databaseentry;
}

class cmdline_request {
public:
    // Entries of the caller's argument vector.
    static constexpr int kMaxArguments = 100;

    explicit cmdline_request(int toolId);
    ~cmdline_request();
    cmdline_request(const cmdline_request&) = delete;
    cmdline_request& operator=(const cmdline_request&) = delete;

    int getJobNumber() const { return jobNumber_; }
    void setJobNumber(int jobNumber) { jobNumber_ = jobNumber; }
    brenvik::CJobManager* getJobManager() { return &jobManager_; }
    brenvik::bv_configfile* getConfig() { return &config_; }
    const brenvik::bv_databaseentry** getDatabase() { return &database_; }
    void setDatabase(const brenvik::bv_databaseentry* database) { database_ = database; }
    brenvik::TAXONOMY_RULES* taxonomyRules() { return &rules_; }
    // Made on first use: only a translation needs the 416,051-byte tables.
    GeneticCodeTables* getGeneticCodeTables();

    // Fills args (kMaxArguments entries) and *count, which the caller has set
    // to 0. Command line: all process arguments when there are at most
    // kMaxArguments of them, else none. GET (cgi set): entry 0 is ownName,
    // then the pieces of QUERY_STRING split at "+" and "%20" and
    // %-decoded, at most kMaxArguments entries in all. GET entries point into
    // a copy of the query string that this context owns, so they live as long
    // as the context. The result carries no meaning.
    int buildArguments(const char* ownName, bool cgi, int* count, const char** args, int argc,
                       const char* const* argv);
    // Entry index of the args that buildArguments filled, with every byte it
    // stands for: a GET entry keeps all of its decoded bytes, where its text
    // in args ends at a "%00". A session ID is taken whole, so that a NUL in
    // it is seen and refused rather than cut off.
    std::string wholeArgument(const char* const* args, int index) const;

private:
    int jobNumber_;
    brenvik::CJobManager jobManager_;
    brenvik::bv_configfile config_;
    const brenvik::bv_databaseentry* database_ = nullptr;
    brenvik::TAXONOMY_RULES rules_;
    std::unique_ptr<GeneticCodeTables> geneticCodes_;
    std::unique_ptr<char[]> queryCopy_;
    std::vector<size_t> decodedLengths_;  // of the GET entries, by index
};

// Decodes one query-string piece in place and terminates it: "%" and the two
// characters after it become one byte (A-F and a-f count 10 to 15, other
// characters their value less '0', the byte kept to 8 bits); every other
// character is copied. A "%" with fewer than two characters after it before
// the piece's end is copied as it stands. Returns the decoded length.
size_t decodeQueryPiece(char* piece, size_t length);

// How the process was started. CGI when QUERY_STRING and SCRIPT_NAME are both
// set and SCRIPT_NAME ends, byte for byte, in the program's name as the system
// writes it ("bv-taxfetch.exe") or in that name without ".exe": a blank query
// string means POST, any other GET. Outside CGI two or more arguments mean
// the command line, fewer mean POST.
enum class RunMode { CommandLine, Get, Post };
RunMode chooseRunMode(int argc, const char* programName);

// What a front end hands the one program entry.
struct ProgramRoads {
    const char* programName;  // as the system writes it ("bv-taxfetch.exe")
    int toolId;               // stands in for the job number until one is taken
    int (*commandLine)(bool cgi, int argc, char** argv);  // the GET road when cgi
    int (*post)();
};
// The body of both programs' main: a reply that a closed pipe ends, a
// buffered standard output, then the road chooseRunMode picks. Returns the
// exit status (a fatal report ends the process instead).
int runFrontEnd(int argc, char** argv, const ProgramRoads& roads);
