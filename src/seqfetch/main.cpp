// bv-seqfetch: returns one database entry (command line, CGI GET) or many
// (CGI POST) of a Tarvex sequence database.
#include "seqfetch/seqfetch.h"

int main(int argc, char** argv) { return seqfetch::runProgram(argc, argv); }
