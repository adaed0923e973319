// bv-taxfetch: answers taxonomy questions about one entry, taxonomy ID or
// species name (command line, CGI GET) or about many (CGI POST) of a Tarvex
// database.
#include "taxfetch/taxfetch.h"

int main(int argc, char** argv) { return taxfetch::runProgram(argc, argv); }
