#include "taxfetch/post_request_tax.h"

#include <unordered_set>

#include "common/bv_winmutex.h"
#include "common/error_reporter.h"
#include "common/process_startup.h"
#include "common/text_utils.h"
#include "config/bv_taxonomyoptions.h"
#include "config/global_options.h"
#include "database/bv_controlfile.h"
#include "database/database_files.h"
#include "database/seq_iter.h"
#include "pal/system_text.h"
#include "taxfetch/taxfetch.h"
#include "taxfetch/taxonomy_commands.h"

namespace {
constexpr const char* kModule = "post_request_tax";
// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineNoTable = 207;  // M400
constexpr int kLineNoDatabase = 328;  // M27
constexpr int kLineNoTaxonomy = 342;  // M251
constexpr int kLineSpeciesFailed = 366;  // M469
constexpr int kLineNotFound = 475;  // M461

// From this many items on, cache look-ups go through the caches' maps: a
// pread per piece of each look-up costs more than the pages the maps touch.
constexpr size_t kItemsForMappedReads = 100;
// From this many items on, reading every node once beats a cache look-up
// per lineage step.
constexpr size_t kItemsForNodesInMemory = 1000;
constexpr const char* kUnknownTaxId = "Cannot find taxonomy id";
constexpr const char* kMissingTable = "Missing or invalid gencode id. Table 1 is used for translation";
}  // namespace

post_request_tax::post_request_tax(int toolId, std::FILE* out, std::FILE* in)
    : post_request(toolId, 1, out, in), jobManager_(toolId) {}

post_request_tax::~post_request_tax() = default;

bool post_request_tax::treeHolds(CTaxonomyNodeSet& nodes, int taxId) {
    // A negative ID can name no taxon; the index would answer it like the root.
    if (taxId < 0) return false;
    if (!nodes.isIndexMode()) return static_cast<size_t>(taxId) < nodes.nodeCount();
    int parent = 0, table = 1;
    return nodes.getParent(taxId, parent, table);
}

int post_request_tax::describeTaxonomy(int taxId, CTaxonomyNodeSet& nodes, std::string& scientificName, int& tableId,
                                       std::set<std::string>& otherNames, std::vector<std::string_view>& lineage) {
    tableId = 1;
    int parent = 0, table = 1;
    if (taxId < 0 || !nodes.getParent(taxId, parent, table)) return 470;
    int result = 0;
    tableId = table;
    if (!geneticCodes->loaded(table)) {
        errorReporter.report(400, jobNumber, kLineNoTable, kModule, table);
        tableId = 1;
        result = 400;
    }
    scientificName = "Unknown species";
    otherNames.clear();
    lineage.clear();

    names_.forEachName(taxId, [&](const SpeciesNamesById::Name& name) {
        if (name.nameClass != 0) {
            otherNames.emplace(name.name);
            return true;
        }
        scientificName = name.name;
        // Without synonyms the first scientific name ends the search.
        return params.showSynonyms;
    });

    if (params.showTaxTree && taxId != 1) {
        bool atRoot = false;
        if (taxId >= 2) {
            // Bounded, and stopped at a repeated ID: a cyclic nodes file
            // must not hang the request.
            nodes.walkLineage(taxId, CTaxonomyNodeSet::maxLineageSteps, false, [&](int id, bool known, int up) {
                if (id == 1) {
                    atRoot = true;
                    return false;
                }
                const char* name = names_.scientificNameOf(id);
                if (name == nullptr || !known) return false;
                lineage.push_back(name);
                if (up == 1) atRoot = true;
                return up > 1;
            });
        }
        if (!atRoot && lineage.empty()) lineage.push_back(scientificName);
    }
    return result;
}

void post_request_tax::writeTaxonomy(int taxId, const std::string& scientificName, int tableId,
                                     const std::set<std::string>& otherNames, const std::vector<std::string_view>& lineage) {
    writer.startTaxonomy(params.dbName, taxId, scientificName, tableId);
    if (params.showSynonyms) {
        writer.startCommonNames();
        for (const std::string& name : otherNames) writer.writeSynonym(name);
        writer.endCommonNames();
    }
    if (params.showTaxTree) {
        writer.startTree();
        int level = static_cast<int>(lineage.size());
        for (const std::string_view name : lineage) writer.writeNode(level--, name);
        writer.endTree();
    }
    writer.endTaxonomy();
}

void post_request_tax::process(bool ok, brenvik::bv_session& session) {
    const brenvik::bv_taxonomyoptions* section = nullptr;
    if (ok) {
        database_ = taxfetch::findDatabase(params.dbName, config);
        if (database_ == nullptr) {
            errorReporter.report(27, jobNumber, kLineNoDatabase, kModule, params.dbName);
            writer.addMessage(false, 27, "Database is not available or not active", "db", params.dbName, {}, 0);
            ok = false;
        }
    }
    if (ok) {
        section = taxfetch::enabledTaxonomySection(*database_, config);
        if (section == nullptr) {
            errorReporter.report(251, jobNumber, kLineNoTaxonomy, kModule, params.dbName, "", params.dbName);
            writer.addMessage(false, 251, "No taxonomy indexes for this database", "db", params.dbName, {}, 0);
            ok = false;
        } else {
            rules.loadFromSection(section);
            std::string errorText;
            // From the name caches, as the command-line report reads them:
            // a request costs what it asks, not the whole names file.
            if (!names_.load(taxfetch::speciesFileRecords(rules), rules.regexTexts, jobNumber, errorText)) {
                errorReporter.report(469, jobNumber, kLineSpeciesFailed, kModule, errorText);
                writer.addMessage(false, 469, "Failed to load species file", "messages", errorText, {}, 0);
                ok = false;
            }
        }
    }
    std::unique_ptr<CTaxonomyNodeSet> nodes;
    TaxonomyNodesSection nodesSection;
    if (ok) {
        nodesSection = taxfetch::nodesSectionOf(rules);
        std::string errorText;
        nodes = loadTaxonomyNodes(jobNumber, &nodesSection, errorText, false);
        // A large batch walks millions of lineage steps: the caches' nodes
        // are read into memory once rather than looked up step by step. A
        // small one is cheaper through the caches.
        const size_t items = params.taxIds.size() + params.accessions.size();
        if (items >= kItemsForMappedReads) {
            nodes->setPositionalReads(false);
            names_.setPositionalReads(false);
        }
        if (nodes->isOk() && items >= kItemsForNodesInMemory) nodes->holdCachesInMemory();
        if (!nodes->isOk()) {
            writer.addMessage(false, 462, "One or more errors happened while loading taxonomy nodes", "messages",
                              errorText, {}, 0);
            ok = false;
        }
    }
    if (ok) {
        jobManager_.newJob(true);
        jobNumber = jobManager_.getJobNumber();

        std::string userName = "TXLOOK";
        std::string email;
        if (session.isSecurityEnabled()) {
            userName = session.getFullUserName();
            email = session.getEmailAddress();
            if (userName.empty()) userName = "TXLOOK";
        }
        std::string userIdText;
        NARROW_CHAR_PAL::intToString(session.getUserID(), userIdText);

        brenvik::CJobGuard job(jobManager_, config.getOptions());
        if (job.openFailure() != 0) {
            writer.addMessage(false, job.openFailure(), "Monitor is not running", "messages",
                              errorReporter.getLastErrors(), {}, 0);
            ok = false;
        }
        const bool registered = job.registerJob({params.dbName}, 0, userName, email, userIdText,
                                                "Getting taxonomy", "GET", 0, true);
        brenvik::ControlFileRecord* record = registered ? jobManager_.getDatabaseRecord("") : nullptr;
        if (!registered || record == nullptr) {
            // A job without its database record can do nothing: it is a
            // failed registration, and a claimed slot is given back.
            job.finish();
            writer.addMessage(false, 460, "Failed to register job. Please inspect tarvex error log.", "errbuf",
                              errorReporter.getLastErrors(), {}, 0);
            ok = false;
        } else if (ok) {
            answerItems(*record, *nodes);
        }
        nodes.reset();
    }

    writer.endMessageList(false);
    writer.startResults(jobNumber);
    writer.endResults();
    if (ok && !databaseReadFailed) writeWarnings();
}

void post_request_tax::answerItems(brenvik::ControlFileRecord& record, CTaxonomyNodeSet& nodes) {
    const std::unique_ptr<bv_winmutex> mutex = createOwnedMutex();
    brenvik::setDatabaseAccessionRule(accessionRule_, config, record);
    initGeneticCodeTables(*geneticCodes, &rules);

    // One pass over the accession file finds every requested accession.
    std::unique_ptr<CSequenceIterator> iterator;
    if (!params.accessions.empty()) {
        iterator = std::make_unique<CSequenceIterator>();
        SequenceIteratorOptions options;
        options.nodeIndex = config.getCluster()->getNodeIndex();
        options.jobNumber = jobNumber;
        options.rules = &rules;
        options.lockHandle = mutex.get();
        iterator->open(&record, options);
        if (iterator->markFoundAccessions(*this) == ReadOutcome::Lost) databaseReadFailed = true;
    }

    // Errors first, in request order.
    size_t accessionIndex = 0, taxIndex = 0;
    for (bool isAccession : params.itemKinds) {
        if (isAccession) {
            const size_t n = accessionIndex++;
            if (databaseReadFailed || (n < params.foundIndex.size() && params.foundIndex[n] >= 0)) continue;
            const char* accession = n < params.accessions.size() ? params.accessions[n] : "";
            errorReporter.report(461, jobNumber, kLineNotFound, kModule, accession);
            writer.addMessage(false, 461, "Sequence not found", "accession", accession, {}, 0);
        } else {
            const int taxId = taxIndex < params.taxIds.size() ? params.taxIds[taxIndex] : -1;
            ++taxIndex;
            if (!treeHolds(nodes, taxId)) writer.addMessage(false, 470, kUnknownTaxId, "accession", "", "taxid", taxId);
        }
    }
    writer.endMessageList(false);
    writer.startResults(jobNumber);

    accessionIndex = 0;
    taxIndex = 0;
    for (bool isAccession : params.itemKinds) {
        if (isAccession) {
            const size_t n = accessionIndex++;
            if (iterator && !databaseReadFailed && n < params.foundIndex.size() && params.foundIndex[n] >= 0)
                writeDbEntry(*iterator, nodes, static_cast<int>(n));
            continue;
        }
        const int taxId = taxIndex < params.taxIds.size() ? params.taxIds[taxIndex] : -1;
        ++taxIndex;
        std::string scientificName;
        int tableId = 1;
        std::set<std::string> otherNames;
        std::vector<std::string_view> lineage;
        const int result = describeTaxonomy(taxId, nodes, scientificName, tableId, otherNames, lineage);
        if (result == 470) continue;
        writer.startTaxFromId(result != 0);
        if (result != 0) params.warnings.push_back({result, "", taxId});
        writeTaxonomy(taxId, scientificName, tableId, otherNames, lineage);
        writer.endTaxFromId();
    }
    if (iterator) iterator->close();
    accessionRule_.clear();
}

void post_request_tax::writeDbEntry(CSequenceIterator& iterator, CTaxonomyNodeSet& nodes, int n) {
    const uint32_t reads = ITER_ACCESSIONS | ITER_TAXIDS | (params.showTitle ? ITER_TITLE : 0u);
    // Lost data: neither this entry nor any after it is written.
    if (iterator.readEntry(params.foundIndex[static_cast<size_t>(n)], 0, &accessionRule_, reads) ==
        ReadOutcome::Lost) {
        databaseReadFailed = true;
        return;
    }
    const SequenceEntry entry = iterator.entry();
    const std::vector<int32_t> taxIds = entry.taxIds;
    std::vector<std::string> accessions;
    getEntryAccessions(&iterator, accessions);
    // The entry's accession j; the first one when the entry has fewer
    // accessions than taxonomy IDs.
    auto accessionOf = [&accessions](size_t j) -> std::string {
        if (j < accessions.size()) return accessions[j];
        return accessions.empty() ? std::string() : accessions.front();
    };

    struct Described {
        std::string scientificName;
        int tableId = 1;
        std::set<std::string> otherNames;
        std::vector<std::string_view> lineage;
    };
    std::vector<Described> described(taxIds.size());
    bool warnings = false;
    for (size_t j = 0; j < taxIds.size(); ++j) {
        Described& d = described[j];
        const int result = describeTaxonomy(taxIds[j], nodes, d.scientificName, d.tableId, d.otherNames, d.lineage);
        if (result != 0) {
            params.warnings.push_back({result, accessionOf(j), taxIds[j]});
            warnings = true;
        }
    }

    writer.startDbEntry(warnings, params.dbName, params.accessions[static_cast<size_t>(n)]);
    if (params.showTitle) {
        writer.startTitle();
        bool first = true;
        // An empty title has no line.
        if (!entry.title.empty())
            forEachTitlePiece(entry.title, [&](std::string_view piece) {
                writer.writeTitleLine(first, piece);
                first = false;
                return true;
            });
        writer.endTitle();
    }
    writer.startAllAccessions();
    for (size_t j = 0; j < taxIds.size(); ++j) {
        const Described& d = described[j];
        writer.startAccession(accessionOf(j));
        writeTaxonomy(taxIds[j], d.scientificName, d.tableId, d.otherNames, d.lineage);
        writer.endAccession();
    }
    writer.endAllAccessions();
    writer.endDbEntry();
}

void post_request_tax::writeWarnings() {
    for (const TaxonomyWarning& warning : params.warnings) {
        writer.addMessage(true, warning.code, "", {}, {}, {}, 0);
        writer.startError(warning.code, warning.code == 470 ? kUnknownTaxId : kMissingTable);
        writer.writeErrParam("accession", warning.text);
        writer.writeErrParamInt("taxid", warning.value);
        writer.endError();
    }
}
