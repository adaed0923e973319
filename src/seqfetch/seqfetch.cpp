#include "seqfetch/seqfetch.h"

#include <cstdio>
#include <cstring>

#include "common/error_reporter.h"
#include "common/process_startup.h"
#include "common/text_utils.h"
#include "config/global_options.h"
#include "request/cmdline_request.h"
#include "seqfetch/post_request_seq.h"
#include "seqfetch/seq_retrieval.h"

namespace seqfetch {

namespace {

// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineOutputFailed = 76;  // new: the answer could not be written
constexpr int kLineConfigFailed = 89;  // M403
constexpr int kLineOutputFailedAtEnd = 102;  // new: the answer could not be written
}  // namespace

void printSequenceUsage(const char* programName) {
    std::printf("Command line parameter for %s must be \n", programName);
    std::fputs("   <db> \n"
               "   <accession>\n"
               "   <type>\n"
               "   <frame>\n"
               "   --sessionID session\n"
               "where, db is the name of the database 'family' - eg OWL\n"
               "       accession is the accession string - e.g. TNU23504\n"
               "       type is either seq, all, len, title or pI\n"
               "       frame (NA only) is 1 to 6 for a translation or 0 for untranslated\n"
               "       --sessionID is an optional session identifier.\n\n",
               stdout);
}

int runSequenceCommandLine(bool cgi, int argc, const char* const* argv) {
    int status = 1;
    {
        cmdline_request request(kToolId);
        std::fputs("Content-type: text/plain\n\n", stdout);
        std::fflush(stdout);
        brenvik::initProcess();

        // Even the version request needs a valid configuration.
        brenvik::bv_configfile& config = *request.getConfig();
        config.setRetrySeconds(10);
        config.load();
        if (!config.isValid())
            errorReporter.report(403, kToolId, kLineConfigFailed, "seqfetch", config.getLastErrorString());
        brenvik::switchStandaloneCluster(*config.getOptions(), *config.getCluster());

        const char* args[cmdline_request::kMaxArguments] = {};
        int n = 0;
        request.buildArguments(ownProgramName, cgi, &n, args, argc, argv);

        if (n == 2) {
            if (std::strcmp(args[1], "--version") == 0 || (cgi && std::strcmp(args[1], "version") == 0)) {
                std::printf("%s - Version %s\n", args[0], kVersion);
                return finishStandardOutput(stdout, 0, request.getJobNumber(), kLineOutputFailed, "seqfetch");
            }
        }

        bool valid = n >= 4 && n <= 7;
        int frame = 0;
        std::string sessionID;
        if (valid && (n == 5 || n == 7)) {
            const char* f = args[4];
            valid = std::strlen(f) == 1 && std::strchr("0123456", f[0]) != nullptr;
            if (valid) frame = f[0] - '0';
        }
        if (valid && (n == 6 || n == 7)) {
            valid = std::strcmp(args[n - 2], "--sessionID") == 0;
            if (valid) sessionID = request.wholeArgument(args, n - 1);
        }

        if (valid) {
            retrieveSequence(args[1], args[2], args[3], frame, sessionID, request);
            status = 0;
        } else {
            // An over-long command line leaves no entry 0 to name.
            printSequenceUsage(n > 0 ? args[0] : ownProgramName);
            status = 1;
        }
        closeSocketLibrary(request.getJobNumber());
        status = finishStandardOutput(stdout, status, request.getJobNumber(), kLineOutputFailedAtEnd, "seqfetch");
    }
    return status;
}

int runProgram(int argc, char** argv) {
    static constexpr ProgramRoads roads{
        ownProgramName, kToolId, [](bool cgi, int n, char** words) { return runSequenceCommandLine(cgi, n, words); },
        &runSequencePost};
    return runFrontEnd(argc, argv, roads);
}

}  // namespace seqfetch
