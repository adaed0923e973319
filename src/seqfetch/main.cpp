// bv-seqfetch: returns one database entry (command line, CGI GET) or many
// (CGI POST) of a Tarvex sequence database.
#include "seqfetch/seqfetch.h"

#if __has_include("seqfetch/post_request_seq.h")
#include "seqfetch/post_request_seq.h"
#define SEQFETCH_HAS_POST 1
#endif

int main(int argc, char** argv) {
    switch (seqfetch::chooseMode(argc)) {
    case seqfetch::Mode::Get:
        return seqfetch::runSequenceCommandLine(true, argc, argv);
    case seqfetch::Mode::CommandLine:
        return seqfetch::runSequenceCommandLine(false, argc, argv);
    case seqfetch::Mode::Post:
        break;
    }
    // ---- CGI POST -------------------------------------------------------
    // The multipart request road (post_request_seq) lives in
    // post_request_seq.h/.cpp; until that unit is in the tree a POST request
    // gets no answer beyond an exit status of 0, as every POST run does.
#ifdef SEQFETCH_HAS_POST
    return runSequencePost();
#else
    return 0;
#endif
}
