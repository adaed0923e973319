#include "taxfetch/taxfetch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/error_reporter.h"
#include "common/process_startup.h"
#include "common/text_utils.h"
#include "config/global_options.h"
#include "pal/number_reader.h"
#include "request/cmdline_request.h"
#include "taxfetch/post_request_tax.h"
#include "taxfetch/species_search.h"
#include "taxfetch/taxonomy_commands.h"

namespace taxfetch {

namespace {

constexpr const char* kModule = "taxfetch";
// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineOutputFailed = 147;  // new: the answer could not be written
constexpr int kLineConfigSpeciesSearch = 151;  // M403, the species-name search
constexpr int kLineConfigTaxonomy = 174;  // M403, the taxonomy commands
constexpr int kLineNoDatabase = 473;  // M27
constexpr int kLineOutputFailedAtEnd = 186;  // new: the answer could not be written
constexpr int kMaxArguments = 100;
constexpr int kConfigRetrySeconds = 10;

// The first run of characters without a quote; leading quotes are skipped.
std::string withoutQuotes(const char* text) {
    while (*text == '"' || *text == '\'') ++text;
    const char* end = text;
    while (*end != '\0' && *end != '"' && *end != '\'') ++end;
    return std::string(text, end);
}

}  // namespace

int runTaxonomyPost() {
    post_request_tax request(toolId);
    return request.run();
}

void printTaxonomyUsage(const char* programName) {
    std::printf("Command line parameter for %s must be \n", programName);
    static const char* const lines[] = {
        "   <cmd>\n",
        "   <db> \n",
        "   <accession | tax ID>\n",
        "   --sessionID session\n",
        "\n",
        "where, \n",
        "       cmd is 1 to 9\n",
        "       db is the name of the database 'family' - eg OWL\n",
        "       accession is the accession string - e.g. TNU23504\n",
        "       tax ID is the NCBI taxonomy ID\n",
        "\n",
        "The commands are:\n",
        "\n",
        "Parameters              Returns\n",
        "1 database accession    Space separated list of accession string, \n",
        "                        tax_ID number, and scientific species name. Where\n",
        "                        a database entry represents multiple  accessions,\n",
        "                        this information is repeated for each accession.\n",
        "                        Plain formatted.\n\n",
        "2 database accession    Space separated pair of accession string and \n",
        "                        scientific species name. Where a database entry \n",
        "                        represents multiple  accessions, this information \n",
        "                        is repeated for each accession. Followed by the FASTA\n",
        "                        title line for the accession supplied as an argument. \n",
        "                        Pretty formatted.\n\n",
        "3 database accession    Same as mode 2, plus a list of common species names \n",
        "                        in parentheses.\n\n",
        "4 database accession    Same as mode 3, plus complete taxonomy tree.\n\n",
        "5 database tax_ID       The scientific species name as a string.\n",
        "                        Pretty formatted\n\n",
        "6 database tax_ID       Same as mode 5, plus a list of common species names \n",
        "                        in parentheses.\n\n",
        "7 database tax_ID       Same as mode 6, plus complete taxonomy tree.\n\n",
        "8 database Species_name NCBI Taxonomy ID, plus a list of names with the same \n",
        "                        ID. This option is useful for updating the 'taxonomy'\n",
        "                        files (used by the species list in the form). For this\n",
        "                        command, the program searches the files for all \n",
        "                        databases, and the database parameter is ignored.\n",
        "9 database accession    Shows NA-translation table used for the entry based on\n",
        "                        its taxonomy.\n",
    };
    for (const char* line : lines) std::fputs(line, stdout);
    std::fflush(stdout);
}

const brenvik::bv_databaseentry* findDatabase(const std::string& text, brenvik::bv_configfile& config) {
    const brenvik::bv_databaseoptions* databases = config.getDatabases();
    for (int i = 0; i < databases->getNumberOfDatabases(); ++i) {
        const brenvik::bv_databaseentry* entry = databases->getDatabase(i);
        if (entry == nullptr || !entry->isActive()) continue;
        if (compareNoCasePrefix(entry->name.c_str(), text.c_str(), text.size()) == 0) return entry;
    }
    return nullptr;
}

int runTaxonomyCommandLine(bool cgi, int argc, char** argv) {
    cmdline_request request(toolId);
    std::fputs("Content-type: text/html\n\n", stdout);
    std::fflush(stdout);
    brenvik::initProcess();

    int n = 0;
    const char* args[kMaxArguments] = {};
    request.buildArguments(ownProgramName, cgi, &n, args, argc, argv);
    // With no entry 0 (too many arguments) the usage text names the program.
    const char* programName = n > 0 ? args[0] : ownProgramName;

    if (n == 2 && (std::strcmp(args[1], "--version") == 0 || (cgi && std::strcmp(args[1], "version") == 0))) {
        std::printf("%s - Version %s\n", args[0], versionText);
        return finishStandardOutput(stdout, 0, request.getJobNumber(), kLineOutputFailed, kModule);
    }

    std::string sessionId;
    bool usage = true;
    if (n == 6) {
        if (std::strcmp(args[4], "--sessionID") == 0) {
            sessionId = request.wholeArgument(args, 5);
            usage = false;
        }
    } else if (n == 4) {
        usage = false;
    }
    const char first = usage ? '\0' : args[1][0];
    if (!usage && (first == '\0' || std::strchr("123456789", first) == nullptr)) usage = true;

    if (usage) {
        printTaxonomyUsage(programName);
    } else {
        brenvik::bv_configfile& config = *request.getConfig();
        config.setRetrySeconds(kConfigRetrySeconds);
        config.load();
        if (!config.isValid()) {
            errorReporter.report(403, toolId, first == '8' ? kLineConfigSpeciesSearch : kLineConfigTaxonomy, kModule,
                                 config.getLastErrorString());
        }
        brenvik::switchStandaloneCluster(*config.getOptions(), *config.getCluster());
        const brenvik::bv_databaseentry* database = findDatabase(args[2], config);
        // Fatal here: the command names no database it can answer for.
        if (database == nullptr) errorReporter.report(27, request.getJobNumber(), kLineNoDatabase, kModule, args[2]);
        request.setDatabase(database);
        brenvik::CJobManager& jobs = *request.getJobManager();
        jobs.newJob(true);
        request.setJobNumber(jobs.getJobNumber());
        if (first == '8') {
            searchSpeciesName(args[3], config);
        } else {
            const int command = brenvik::leadingDigitsValue(args[1]);
            runTaxonomyCommand(command, args[2], withoutQuotes(args[3]), sessionId, request);
        }
    }
    closeSocketLibrary(request.getJobNumber());
    return finishStandardOutput(stdout, 0, request.getJobNumber(), kLineOutputFailedAtEnd, kModule);
}

int runProgram(int argc, char** argv) {
    static constexpr ProgramRoads roads{ownProgramName, toolId, &runTaxonomyCommandLine, &runTaxonomyPost};
    return runFrontEnd(argc, argv, roads);
}

}  // namespace taxfetch
