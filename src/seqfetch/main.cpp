// bv-seqfetch: returns one database entry (command line, CGI GET) or many
// (CGI POST) of a Tarvex sequence database.
#include "common/process_startup.h"
#include "seqfetch/post_request_seq.h"
#include "seqfetch/seqfetch.h"

int main(int argc, char** argv) {
    ignoreBrokenPipe();
    bufferStandardOutput();
    switch (seqfetch::chooseMode(argc)) {
    case seqfetch::Mode::Get:
        return seqfetch::runSequenceCommandLine(true, argc, argv);
    case seqfetch::Mode::CommandLine:
        return seqfetch::runSequenceCommandLine(false, argc, argv);
    case seqfetch::Mode::Post:
        break;
    }
    return runSequencePost();
}
