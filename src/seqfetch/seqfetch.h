#pragma once
// bv-seqfetch front end: mode choice and the command-line and CGI GET road
// (arguments, usage, version); seq_retrieval.h reads and prints the entry.

namespace seqfetch {

// The program's own file name as the system writes it.
constexpr const char* ownProgramName = "bv-seqfetch.exe";
// Stands in for the job number until one is taken.
constexpr int kToolId = -13;
constexpr const char* kVersion = "2.7.0.3";

// Exit status 0 or 1 (fatal reports end the process inside the reporter).
int runSequenceCommandLine(bool cgi, int argc, const char* const* argv);

void printSequenceUsage(const char* programName);

// The program: what its main runs (see runFrontEnd).
int runProgram(int argc, char** argv);

}  // namespace seqfetch
