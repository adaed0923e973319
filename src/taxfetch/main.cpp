// bv-taxfetch: answers taxonomy questions about one entry, taxonomy ID or
// species name (command line, CGI GET) or about many (CGI POST) of a Tarvex
// database.
#include "common/module_loader.h"
#include "common/process_startup.h"
#include "request/cmdline_request.h"
#include "taxfetch/taxfetch.h"

int main(int argc, char** argv) {
    ignoreBrokenPipe();
    bufferStandardOutput();
    brenvik::setModuleReportJob(taxfetch::toolId);
    switch (chooseRunMode(argc, taxfetch::ownProgramName)) {
    case RunMode::Get:
        return taxfetch::runTaxonomyCommandLine(true, argc, argv);
    case RunMode::CommandLine:
        return taxfetch::runTaxonomyCommandLine(false, argc, argv);
    case RunMode::Post:
        break;
    }
    return taxfetch::runTaxonomyPost();
}
