// bv-seqfetch: returns one database entry (command line, CGI GET) or many
// (CGI POST) of a Tarvex sequence database.
#include "common/module_loader.h"
#include "common/process_startup.h"
#include "request/cmdline_request.h"
#include "seqfetch/post_request_seq.h"
#include "seqfetch/seqfetch.h"

int main(int argc, char** argv) {
    ignoreBrokenPipe();
    bufferStandardOutput();
    brenvik::setModuleReportJob(seqfetch::kToolId);
    switch (chooseRunMode(argc, seqfetch::ownProgramName)) {
    case RunMode::Get:
        return seqfetch::runSequenceCommandLine(true, argc, argv);
    case RunMode::CommandLine:
        return seqfetch::runSequenceCommandLine(false, argc, argv);
    case RunMode::Post:
        break;
    }
    return runSequencePost();
}
