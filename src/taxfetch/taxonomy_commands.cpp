// runTaxonomyCommand: the road of commands 1 to 7 and 9 from the chosen
// database to the report.
#include <cstdio>
#include <memory>

#include "common/bv_winmutex.h"
#include "common/error_reporter.h"
#include "common/process_startup.h"
#include "config/bv_taxonomyoptions.h"
#include "database/accession.h"
#include "database/bv_controlfile.h"
#include "database/database_files.h"
#include "database/seq_iter.h"
#include "pal/number_reader.h"
#include "pal/system_text.h"
#include "request/cmdline_request.h"
#include "security/bv_session.h"
#include "taxfetch/taxfetch.h"
#include "taxfetch/taxonomy_commands.h"

namespace taxfetch {

namespace {

constexpr const char* kModule = "taxfetch";
// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineInvalidSession = 337;  // M440
constexpr int kLineNotPermitted = 344;  // M443

struct EntryFound {
    std::vector<int> taxIds;
    std::vector<std::string> accessions;
    std::unique_ptr<std::string> title;
};

// Finds the accession in the database of the record and copies the entry's
// taxonomy IDs, accessions and title.
void lookupEntry(brenvik::ControlFileRecord& record, const std::string& text, cmdline_request& request,
                 EntryFound& found) {
    brenvik::bv_configfile& config = *request.getConfig();
    brenvik::AccessionRule rule;
    brenvik::setDatabaseAccessionRule(rule, config, record);
    const std::unique_ptr<bv_winmutex> mutex = createOwnedMutex();

    CSequenceIterator iterator;
    SequenceIteratorOptions options;
    options.nodeIndex = config.getCluster()->getNodeIndex();
    options.jobNumber = request.getJobNumber();
    options.rules = request.taxonomyRules();
    options.lockHandle = mutex.get();
    iterator.open(&record, options);
    // Lost data is reported by the iterator, fatally here: nothing read from
    // a file cut short is shown.
    if (iterator.findAccession(text) == AccessionSearch::Found &&
        iterator.readEntry(-1, 0, &rule, ITER_ACCESSIONS | ITER_TITLE | ITER_TAXIDS) == ReadOutcome::Read) {
        const SequenceEntry entry = iterator.entry();
        found.taxIds.assign(entry.taxIds.begin(), entry.taxIds.end());
        getEntryAccessions(&iterator, found.accessions);
        if (!entry.title.empty()) found.title = std::make_unique<std::string>(entry.title);
    }
    iterator.close();
    rule.clear();
}

}  // namespace

void runTaxonomyCommand(int command, const std::string& database, const std::string& text,
                        const std::string& sessionId, cmdline_request& request) {
    const brenvik::bv_databaseentry* chosen = *request.getDatabase();
    brenvik::bv_configfile& config = *request.getConfig();
    const int jobNumber = request.getJobNumber();
    if (chosen == nullptr || enabledTaxonomySection(*chosen, config) == nullptr) return;

    brenvik::TAXONOMY_RULES& rules = *request.taxonomyRules();
    rules.loadFromSection(config.taxonomySection(chosen->taxonomySectionNumber()));

    EntryFound found;
    if (command >= 5 && command <= 7) {
        found.taxIds.push_back(brenvik::leadingDigitsValue(text.c_str()));
    } else {
        brenvik::bv_session session(sessionId);
        if (!session.isValid()) {
            errorReporter.report(440, jobNumber, kLineInvalidSession, kModule, "", session.getLastErrorString());
        }
        if (!session.isDatabasePermitted(database)) {
            errorReporter.report(443, jobNumber, kLineNotPermitted, kModule, session.getFullUserName(),
                                 session.getUserID(), database);
        }
        brenvik::CJobManager& jobs = *request.getJobManager();
        brenvik::CJobGuard job(jobs, config.getOptions());
        std::string userIdText;
        NARROW_CHAR_PAL::intToString(session.getUserID(), userIdText);
        if (job.isOpen() &&
            job.registerJob({database}, 0, "TXLOOK", "", userIdText, "Getting taxonomy", "GET", 0, true)) {
            if (brenvik::ControlFileRecord* record = jobs.getDatabaseRecord("")) {
                lookupEntry(*record, text, request, found);
            }
        }
    }

    if (found.taxIds.empty()) {
        std::fputs("Taxonomy ID not found\n", stdout);
    } else if (command >= 1 && command <= 7) {
        printTaxonomyReport(*chosen, text, found.taxIds, found.accessions, command, found.title.get(), config,
                            jobNumber);
    } else if (command == 9) {
        printTranslationTable(*chosen, found.taxIds.front(), config);
    }
    std::fflush(stdout);
}

}  // namespace taxfetch
