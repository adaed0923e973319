#pragma once
// Entry of bv-taxfetch: the choice between CGI GET, CGI POST and the command
// line, and the command-line/GET road up to the taxonomy commands.
#include "config/bv_configfile.h"

namespace taxfetch {

// The program's own file name as the system writes it.
inline constexpr const char* ownProgramName = "bv-taxfetch.exe";
inline constexpr int toolId = -14;
inline constexpr const char* versionText = "2.7.0.3";

// The CGI POST road; returns the exit status (0).
int runTaxonomyPost();

// The command-line (cgi false) and GET (cgi true) road; returns 0.
int runTaxonomyCommandLine(bool cgi, int argc, char** argv);

void printTaxonomyUsage(const char* programName);

// The program: what its main runs (see runFrontEnd).
int runProgram(int argc, char** argv);

// The first active database whose name begins with the text (letters
// compared without regard to case), or null; reports nothing.
const brenvik::bv_databaseentry* findDatabase(const std::string& text, brenvik::bv_configfile& config);

}  // namespace taxfetch
