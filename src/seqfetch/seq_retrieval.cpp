#include "seqfetch/seq_retrieval.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

#include "common/bv_winmutex.h"
#include "common/error_reporter.h"
#include "common/process_startup.h"
#include "common/text_utils.h"
#include "config/bv_taxonomyoptions.h"
#include "database/accession.h"
#include "database/bv_controlfile.h"
#include "database/bv_job.h"
#include "database/database_files.h"
#include "database/genetic_codes.h"
#include "database/seq_iter.h"
#include "database/taxonomy_tree.h"
#include "request/cmdline_request.h"
#include "security/bv_session.h"
#include "seqfetch/bv_picalc.h"
#include "seqfetch/seqfetch.h"
#include "seqfetch/translation.h"

namespace seqfetch {

// Report positions of this module ("seqfetch"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineInvalidSession = 178;  // M440
constexpr int kLineNotPermitted = 185;  // M443
constexpr int kLineNoTable = 360;  // M400

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

std::optional<std::string_view> titlePieceFor(std::string_view title, std::string_view accession) {
    std::optional<std::string_view> found;
    forEachTitlePiece(
        title,
        [&](std::string_view piece) {
            if (piece.find(accession) != std::string_view::npos) found = piece;
            return !found;
        },
        "\x01\n\r");
    return found;
}

std::string titleLineFor(const char* title, size_t titleLength, const std::string& accession) {
    if (title == nullptr) return ">\n";
    const std::optional<std::string_view> piece = titlePieceFor(std::string_view(title, titleLength), accession);
    if (!piece) return ">\n";
    return (piece->starts_with('>') ? std::string() : std::string(">")) + std::string(*piece) + "\n";
}

// The stored sequence's extent that the bytes at hand really hold: a record
// whose length runs past its data is read only as far as the data goes.
int boundedStoredLength(const CSequenceIterator& iterator) {
    const SequenceEntry entry = iterator.entry();
    uint64_t stored = entry.storedLength;
    uint64_t bytes = entry.sequence ? entry.sequenceBytes : 0;
    uint64_t fits = 0;
    switch (iterator.coding()) {
    case CODING_FOUR_BIT:
        fits = bytes * 2;
        break;
    case CODING_TWO_BIT:
        // The length there is the index of the final (count) byte.
        fits = bytes > 0 ? bytes - 1 : 0;
        break;
    default:
        fits = bytes;
    }
    uint64_t n = stored < fits ? stored : fits;
    return n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
}

void retrieveSequence(const std::string& database, const std::string& accession, const std::string& outputType,
                      int frame, const std::string& sessionID, cmdline_request& request) {
    brenvik::bv_session session(sessionID);
    if (!session.isValid())
        errorReporter.report(440, request.getJobNumber(), kLineInvalidSession, "seqfetch", std::string(),
                             session.getLastErrorString());
    if (!session.isDatabasePermitted(database))
        errorReporter.report(443, request.getJobNumber(), kLineNotPermitted, "seqfetch", session.getFullUserName(),
                             session.getUserID(), database);
    if (accession.empty()) return;

    brenvik::bv_configfile& config = *request.getConfig();
    brenvik::CJobManager jobs(request.getJobNumber());
    brenvik::CJobGuard job(jobs, config.getOptions());
    if (!jobs.newJob(true)) return;
    request.setJobNumber(jobs.getJobNumber());
    if (!job.registerJob({database}, 0, "SEQFETCH", "", std::to_string(session.getUserID()), "Getting sequence",
                         "GET", 0, true))
        return;

    brenvik::ControlFileRecord* record = jobs.getDatabaseRecord("");
    if (record == nullptr) return;

    brenvik::TAXONOMY_RULES& rules = *request.taxonomyRules();
    rules.loadFromSection(
        config.taxonomySection(brenvik::databaseValue(*record, brenvik::kDbTaxonomySection)));

    const std::unique_ptr<bv_winmutex> mutex = createOwnedMutex();
    CSequenceIterator iterator;
    SequenceIteratorOptions options;
    options.nodeIndex = config.getCluster()->getNodeIndex();
    options.jobNumber = request.getJobNumber();
    options.rules = &rules;
    options.lockHandle = mutex.get();
    iterator.open(record, options);
    // A lost file has been reported (and ends the process): nothing is shown.
    if (iterator.findAccession(accession) == AccessionSearch::Found)
        printSequenceEntry(*record, accession, iterator, outputType, frame, request);
    iterator.close();
}

namespace {

// The translation table of the entry's first taxonomy ID in section n.
int translationTableFor(const SequenceEntry& entry, const brenvik::bv_taxonomyoptions* section) {
    int taxId = entry.taxIds.empty() ? 1 : entry.taxIds.front();
    if (taxId < 1) taxId = 1;
    int table = 1;
    std::string errorText;
    std::unique_ptr<CTaxonomyNodeSet> set = loadTaxonomyNodes(kToolId, section, errorText, false);
    int parent = 0, found = 1;
    if (set->getParent(taxId, parent, found)) table = found;
    return table;
}

}  // namespace

void printSequenceEntry(brenvik::ControlFileRecord& record, const std::string& accession,
                        CSequenceIterator& iterator, const std::string& outputType, int frame,
                        cmdline_request& request) {
    const unsigned parts = partsOfOutputType(outputType);
    const bool nucleic = brenvik::databaseValue(record, brenvik::kDbSequenceType) == 1;
    // The look-up's reads and what the output type needs.
    uint32_t reads = ITER_ACCESSIONS | ITER_LENGTH;
    if (parts & (PART_SEQUENCE | PART_PI)) reads |= ITER_SEQUENCE;
    if (parts & PART_TITLE) reads |= ITER_TITLE;
    if (parts & PART_REFERENCE) reads |= ITER_REFERENCE;
    if ((reads & ITER_SEQUENCE) && nucleic) reads |= ITER_TAXIDS;

    brenvik::bv_configfile& config = *request.getConfig();
    brenvik::AccessionRule rule;
    brenvik::setDatabaseAccessionRule(rule, config, record);
    // Same index, so only the frame changes before the entry is read again.
    if (iterator.readEntry(iterator.currentIndex(), frame, &rule, reads) == ReadOutcome::Lost) {
        rule.clear();
        return;
    }
    const SequenceEntry entry = iterator.entry();

    std::string sequence;
    if (parts & (PART_SEQUENCE | PART_PI)) {
        const int stored = boundedStoredLength(iterator);
        if (!nucleic) {
            const char* text = reinterpret_cast<const char*>(entry.sequence);
            if (text != nullptr) sequence.assign(text, strnlen(text, static_cast<size_t>(stored)));
        } else if (frame != 0) {
            const brenvik::bv_taxonomyoptions* section =
                config.taxonomySection(brenvik::databaseValue(record, brenvik::kDbTaxonomySection));
            int table = translationTableFor(entry, section);
            GeneticCodeTables& tables = *request.getGeneticCodeTables();
            initGeneticCodeTables(tables, request.taxonomyRules());
            if (!tables.loaded(table)) {
                errorReporter.report(400, kToolId, kLineNoTable, "seqfetch", table);
                table = 1;
            }
            std::vector<char> out(static_cast<size_t>(entry.length > 0 ? entry.length : 0) + 1, '\0');
            bool overflow = false;
            int n = entry.sequence == nullptr
                        ? 0
                        : translateFrame(tables, entry.sequence, frame, table, iterator.coding(), out.data(),
                                         static_cast<int>(out.size()), stored, &overflow);
            sequence.assign(out.data(), static_cast<size_t>(n > 0 ? n : 0));
        } else if (entry.sequence != nullptr) {
            std::vector<char> out(decodedBufferSize(iterator.coding(), stored), '\0');
            int n = decodeNucleotides(entry.sequence, out.data(), iterator.coding(), stored);
            sequence.assign(out.data(), static_cast<size_t>(n > 0 ? n : 0));
        }
    }

    if (parts & PART_LENGTH)
        std::printf("%d\n", frame != 0 ? entry.length : static_cast<int>(entry.storedLength));
    if (parts & PART_SEQUENCE) {
        std::fputc('*', stdout);
        std::fwrite(sequence.data(), 1, sequence.size(), stdout);
        std::fputc('\n', stdout);
    }
    if (parts & PART_TITLE)
        std::fputs(titleLineFor(entry.title.data(), entry.title.size(), accession).c_str(), stdout);
    if ((parts & PART_REFERENCE) && !entry.referenceText.empty())
        std::fwrite(entry.referenceText.data(), 1, entry.referenceText.size(), stdout);
    if (parts & PART_PI) {
        double pI = nucleic && frame == 0
                        ? 0.0
                        : calcIsoelectricPoint(sequence.c_str(), request.getJobNumber(),
                                               static_cast<int>(sequence.size()));
        std::printf("%.2lf", pI);
    }
    std::fflush(stdout);
    rule.clear();
}

}  // namespace seqfetch
