#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

#include "common/error_reporter.h"
#include "database/bv_controlfile.h"
#include "database/bv_job.h"
#include "request/cmdline_request.h"
#include "security/bv_session.h"
#include "seqfetch/seqfetch.h"

namespace seqfetch {

unsigned partsOfOutputType(const std::string& outputType) {
    static const struct {
        const char* keyword;
        unsigned parts;
    } keywords[] = {
        {"title", PART_TITLE},
        {"seq", PART_SEQUENCE | PART_TITLE},
        {"all", PART_SEQUENCE | PART_TITLE | PART_REFERENCE},
        {"len", PART_LENGTH},
        {"pI", PART_PI},
    };
    for (const auto& k : keywords)
        if (strncasecmp(outputType.c_str(), k.keyword, std::strlen(k.keyword)) == 0) return k.parts;
    return 0;
}

std::string titleLineFor(const char* title, size_t titleLength, const std::string& accession) {
    if (title != nullptr && !accession.empty()) {
        size_t start = 0;
        while (start <= titleLength) {
            size_t end = start;
            while (end < titleLength && title[end] != '\x01' && title[end] != '\n' && title[end] != '\r') ++end;
            std::string piece(title + start, end - start);
            if (piece.find(accession) != std::string::npos)
                return (piece[0] == '>' ? piece : ">" + piece) + "\n";
            start = end + 1;
        }
    }
    return ">\n";
}

namespace {

// Finishes a registered job on every way out of the retrieval; a fatal
// report is covered by the job manager's own fatal callback.
class FinishJobOnExit {
public:
    explicit FinishJobOnExit(brenvik::CJobManager& jobs) : jobs_(jobs) {}
    ~FinishJobOnExit() { jobs_.finishJob(0, 0, 0); }
    FinishJobOnExit(const FinishJobOnExit&) = delete;
    FinishJobOnExit& operator=(const FinishJobOnExit&) = delete;

private:
    brenvik::CJobManager& jobs_;
};

}  // namespace

void retrieveSequence(const std::string& database, const std::string& accession, const std::string& outputType,
                      int frame, const std::string& sessionID, cmdline_request& request) {
    brenvik::bv_session session(sessionID);
    if (!session.isValid())
        errorReporter.report(440, request.getJobNumber(), 178, "seqfetch", std::string(),
                             session.getLastErrorString());
    if (!session.isDatabasePermitted(database))
        errorReporter.report(443, request.getJobNumber(), 185, "seqfetch", session.getFullUserName(),
                             session.getUserID(), database);
    if (accession.empty()) return;

    brenvik::bv_configfile& config = *request.getConfig();
    brenvik::bv_controlfile controlFile;
    try {
        controlFile.open(config.getOptions(), false, true);
    } catch (const brenvik::CControlFileError& e) {
        errorReporter.report(e.getNumber(), request.getJobNumber(), e.getLine(), e.getModule().c_str(),
                             e.getSubCluster());
    }

    brenvik::CJobManager jobs(request.getJobNumber());
    jobs.setControlFile(&controlFile);
    if (!jobs.newJob(true)) return;
    request.setJobNumber(jobs.getJobNumber());
    if (!jobs.registerJob({database}, 0, "SEQFETCH", "", std::to_string(session.getUserID()), "Getting sequence",
                          "GET", 0, true))
        return;
    FinishJobOnExit finish(jobs);

    brenvik::ControlFileRecord* record = jobs.getDatabaseRecord("");
    if (record == nullptr) return;

    brenvik::TAXONOMY_RULES& rules = *request.taxonomyRules();
    rules.loadFromSection(
        config.taxonomySection(brenvik::databaseValue(*record, brenvik::kDbTaxonomySection)));

    // The entry look-up through the sequence iterator follows here.
    (void)outputType;
    (void)frame;
}

}  // namespace seqfetch
