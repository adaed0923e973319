#include "seqfetch/post_request_seq.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/bv_winmutex.h"
#include "common/error_reporter.h"
#include "common/process_startup.h"
#include "config/bv_taxonomyoptions.h"
#include "config/global_options.h"
#include "database/accession.h"
#include "database/bv_controlfile.h"
#include "database/bv_job.h"
#include "database/database_files.h"
#include "database/taxonomy_tree.h"
#include "seqfetch/bv_picalc.h"
#include "seqfetch/seq_retrieval.h"
#include "seqfetch/translation.h"

namespace {

constexpr const char* kModule = "post_request_seq";
// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineUnknownTaxId = 78;  // M470
constexpr int kLineNoTable = 85;  // M400
constexpr int kLineNotFound = 288;  // M461
constexpr int kMaxTaxonomySection = 64;

const char* warningText(int code) {
    switch (code) {
        case 400: return "Missing or invalid gencode id. Table 1 is used for translation";
        case 104: return "Sequence is too long for translation";
        case 470: return "Cannot find taxonomy id";
        default: return "";
    }
}

}  // namespace

post_request_seq::post_request_seq(int toolId, std::FILE* out, std::FILE* in) : post_request(toolId, 0, out, in) {}

void post_request_seq::process(bool ok, brenvik::bv_session& session) {
    if (ok) {
        brenvik::CJobManager jobs(jobNumber);
        brenvik::CJobGuard job(jobs, config.getOptions());
        if (job.openFailure() != 0)
            writer.addMessage(false, job.openFailure(), "Monitor is not running", "messages",
                              errorReporter.getLastErrors(), {}, 0);
        auto failedRegistration = [&] {
            writer.addMessage(false, 460, "Failed to register job. Please inspect tarvex error log.", "errbuf",
                              errorReporter.getLastErrors(), {}, 0);
            ok = false;
        };
        if (!jobs.newJob(true)) {
            failedRegistration();
        } else {
            jobNumber = jobs.getJobNumber();
            std::string user = "SEQFETCH";
            std::string email;
            if (session.isSecurityEnabled()) {
                user = session.getFullUserName();
                if (user.empty()) user = "SEQFETCH";
                email = session.getEmailAddress();
            }
            const std::string userId = std::to_string(session.getUserID());
            brenvik::ControlFileRecord* record = nullptr;
            if (job.registerJob({params.dbName}, 0, user, email, userId, "Getting sequence", "GET", 0, true))
                record = jobs.getDatabaseRecord("");
            if (record == nullptr) {
                // A job that could not be registered, or has no entry to read,
                // is an error the client must see; a registered one is finished.
                failedRegistration();
                job.finish();
            } else {
                nucleicAcid_ = brenvik::databaseValue(*record, brenvik::kDbSequenceType) != 0;
                const int section = brenvik::databaseValue(*record, brenvik::kDbTaxonomySection);
                const bool sectionUsable = section >= 1 && section <= kMaxTaxonomySection;
                if (sectionUsable) rules.loadFromSection(config.taxonomySection(section));
                const std::unique_ptr<bv_winmutex> mutex = createOwnedMutex();

                std::unique_ptr<CTaxonomyNodeSet> nodes;
                if ((params.showPI || params.showSequence) && nucleicAcid_) {
                    if (sectionUsable) {
                        std::string errorText;
                        nodes = loadTaxonomyNodes(jobNumber, config.taxonomySection(section), errorText, false);
                        if (!nodes->isOk()) {
                            writer.addMessage(false, 462, "One or more errors happened while loading taxonomy nodes",
                                              "messages", errorText, {}, 0);
                        }
                    }
                    initGeneticCodeTables(*geneticCodes, &rules);
                }

                CSequenceIterator iterator;
                SequenceIteratorOptions options;
                options.nodeIndex = brenvik::globalCluster().getNodeIndex();
                options.jobNumber = jobNumber;
                options.rules = &rules;
                options.lockHandle = mutex.get();
                iterator.open(record, options);
                if (iterator.markFoundAccessions(*this) == ReadOutcome::Lost) databaseReadFailed = true;

                if (!databaseReadFailed && params.foundCount < params.distinctAccessions()) {
                    writer.addMessage(false, 0, "", "", "", "", 0);
                    for (size_t i = 0; i < params.accessions.size(); ++i) {
                        if (params.foundIndex[i] != -1) continue;
                        errorReporter.report(461, jobNumber, kLineNotFound, kModule, params.accessions[i]);
                        writer.startError(461, "Sequence not found");
                        writer.writeErrParam("accession", params.accessions[i]);
                        if (nucleicAcid_) writer.writeErrParamInt("frame", params.frames[i]);
                        writer.endError();
                    }
                }
                writer.endMessageList(false);
                writer.startAllProteins(jobNumber);
                // One compiled rule serves every entry of the request.
                brenvik::setDatabaseAccessionRule(accessionRule_, config, *record);
                if (params.showTitle && !databaseReadFailed) {
                    std::vector<int32_t> found;
                    found.reserve(params.accessions.size());
                    for (const int32_t index : params.foundIndex)
                        if (index != -1) found.push_back(index);
                    iterator.readTitlesAhead(found);
                }
                for (size_t i = 0; i < params.accessions.size() && !databaseReadFailed; ++i)
                    if (params.foundIndex[i] != -1) writeProtein(i, iterator, nodes.get());

                accessionRule_.clear();
                nodes.reset();
                iterator.close();
                job.finish();
                if (databaseReadFailed) ok = false;
            }
        }
    }

    writer.endMessageList(false);
    writer.startAllProteins(jobNumber);
    writer.endAllProteins();

    if (!ok) return;
    for (const auto& [i, code] : warned_) {
        writer.addMessage(true, 0, "", "", "", "", 0);
        writer.startError(code, warningText(code));
        writer.writeErrParam("accession", params.accessions[i]);
        if (nucleicAcid_) writer.writeErrParam("frame", std::to_string(params.frames[i]));
        writer.endError();
    }
}

void post_request_seq::writeProtein(size_t i, CSequenceIterator& it, CTaxonomyNodeSet* nodes) {
    const int frame = params.frames[i];
    const std::string_view accession = params.accessions[i];
    const bool translate = nucleicAcid_ && frame >= 1 && frame <= 6;
    uint32_t flags = 0;
    if (params.showPI) flags |= ITER_SEQUENCE;
    if (params.showTitle) flags |= ITER_TITLE;
    if (params.showLen || params.showSequence) flags |= ITER_LENGTH;
    if (params.showSequence) flags |= ITER_SEQUENCE;
    if (params.showReference) flags |= ITER_REFERENCE;
    if ((flags & ITER_SEQUENCE) && nucleicAcid_) flags |= ITER_TAXIDS;
    // A translation needs the frame's codon count to size its buffer, also
    // when only the pI was asked for.
    if ((flags & ITER_SEQUENCE) && translate) flags |= ITER_LENGTH;

    // Lost data: neither this entry nor any after it is written.
    if (it.readEntry(params.foundIndex[i], frame, &accessionRule_, flags) == ReadOutcome::Lost) {
        databaseReadFailed = true;
        return;
    }
    const SequenceEntry entry = it.entry();

    bool warnings = false;
    // The sequence as it is shown and measured: the iterator's own copy of
    // a protein's residues, else what is decoded into the one reused buffer.
    std::string_view shown;
    std::string& buffer = sequenceText_;
    buffer.clear();
    int warningCode = 0;
    if (params.showSequence || params.showPI) {
        const int stored = seqfetch::boundedStoredLength(it);
        if (!nucleicAcid_) {
            if (entry.sequence) {
                const char* text = reinterpret_cast<const char*>(entry.sequence);
                shown = std::string_view(text, strnlen(text, static_cast<size_t>(stored)));
            }
        } else if (translate) {
            int taxId = entry.taxIds.empty() ? 1 : std::max(1, entry.taxIds.front());
            int table = 1;
            if (nodes != nullptr && nodes->isOk()) {
                int parent = 0;
                int nodeTable = 1;
                if (nodes->getParent(taxId, parent, nodeTable)) {
                    table = nodeTable;
                } else {
                    errorReporter.report(470, jobNumber, kLineUnknownTaxId, kModule, taxId);
                    warningCode = 470;
                    warnings = true;
                }
            }
            if (!geneticCodes->loaded(table)) {
                errorReporter.report(400, jobNumber, kLineNoTable, kModule, table);
                warningCode = 400;
                warnings = true;
                table = 1;
            }
            if (entry.sequence) {
                std::vector<char> out(static_cast<size_t>(std::max(entry.length, 0)) + 1, '\0');
                bool overflow = false;
                const int n = translateFrame(*geneticCodes, entry.sequence, frame, table, it.coding(), out.data(),
                                             static_cast<int>(out.size()), stored,
                                             &overflow);
                if (overflow) {
                    if (warningCode == 0) warningCode = 104;
                    warnings = true;
                }
                buffer.assign(out.data(), static_cast<size_t>(std::max(n, 0)));
            }
            shown = buffer;
        } else if (entry.sequence) {
            std::vector<char> out(decodedBufferSize(it.coding(), stored), '\0');
            const int n = decodeNucleotides(entry.sequence, out.data(), it.coding(), stored);
            buffer.assign(out.data(), static_cast<size_t>(std::max(n, 0)));
            shown = buffer;
        }
    }

    if (warningCode != 0) warned_.emplace_back(i, warningCode);

    writer.startProtein(warnings, accession, params.dbName, nucleicAcid_ ? frame : -1);
    if (params.showTitle) {
        const std::optional<std::string_view> piece = seqfetch::titlePieceFor(entry.title, accession);
        writer.writeProtTitle(piece ? *piece : ">");
    }
    if (params.showLen) writer.writeProtLen(frame != 0 ? entry.length : static_cast<int>(entry.storedLength));
    if (params.showPI) {
        const bool noProtein = nucleicAcid_ && frame == 0;
        writer.writeProtPi(noProtein ? 0.0
                                     : calcIsoelectricPoint(shown.data(), jobNumber, static_cast<int>(shown.size())));
    }
    if (params.showSequence) writer.writeProtSequence(shown);
    if (params.showReference) writer.writeProtReference(entry.referenceText);
    writer.endProtein();
}

int runSequencePost() {
    post_request_seq request;
    return request.run();
}
