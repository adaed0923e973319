#pragma once
// bv-seqfetch front end: mode choice, the command-line and CGI GET road
// (arguments, usage, version) and the retrieval of one database entry as
// plain text.
#include <string>

class cmdline_request;
class CSequenceIterator;

namespace brenvik {
struct ControlFileRecord;
}

namespace seqfetch {

// The program's own file name as the system writes it.
constexpr const char* ownProgramName = "bv-seqfetch.exe";
// Stands in for the job number until one is taken.
constexpr int kToolId = -13;
constexpr const char* kVersion = "2.7.0.3";

enum class Mode { CommandLine, Get, Post };

// CGI when QUERY_STRING and SCRIPT_NAME are both set and SCRIPT_NAME ends in
// the program's name (with or without ".exe"): blank query string POST,
// otherwise GET. Outside CGI two or more arguments mean the command line,
// fewer mean POST.
Mode chooseMode(int argc);

// Exit status 0 or 1 (fatal reports end the process inside the reporter).
int runSequenceCommandLine(bool cgi, int argc, const char* const* argv);

void printSequenceUsage(const char* programName);

// The parts an output type selects (first keyword that begins it, any case).
enum SequenceParts : unsigned {
    PART_LENGTH = 1,
    PART_SEQUENCE = 2,
    PART_TITLE = 4,
    PART_REFERENCE = 8,
    PART_PI = 16,
};
unsigned partsOfOutputType(const std::string& outputType);

// The title line for accession: the first piece of title (cut at 0x01, LF,
// CR) that contains the accession, with a leading ">"; ">" when none does.
std::string titleLineFor(const char* title, size_t titleLength, const std::string& accession);

void retrieveSequence(const std::string& database, const std::string& accession, const std::string& outputType,
                      int frame, const std::string& sessionID, cmdline_request& request);

void printSequenceEntry(brenvik::ControlFileRecord& record, const std::string& accession,
                        CSequenceIterator& iterator, const std::string& outputType, int frame,
                        cmdline_request& request);

}  // namespace seqfetch
