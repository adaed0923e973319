#include "database/acc_to_taxid.h"

#include <cctype>
#include <cstdio>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "pal/number_reader.h"

namespace {

constexpr const char* cacheVersion = "1.0";
constexpr const char* partCountKey = "KEY_NUM_CDB_FILES";
constexpr int ERR_TAXONOMY_CACHE_FAILURE = 536;
constexpr int ERR_TAXONOMY_FILE_MISSING = 246;
// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineFileMissing = 69;  // M246
constexpr int kLineFileMissingText = 70;  // M246, formatted for the caller
constexpr int kLineCacheFailed = 75;  // M536

// Reads "accession taxid" pairs as a scanf("%s %d") loop would: the
// accession is a run of non-blank bytes, the number a sign and digits
// after optional white space. Anything else ends the pairs.
class PairReader {
public:
    explicit PairReader(std::FILE* stream) : stream_(stream) {}

    bool next(std::string& accession, int32_t& taxId) {
        int c = skipSpace();
        if (c == EOF) return false;
        accession.clear();
        while (c != EOF && !std::isspace(c)) {
            if (accession.size() >= CAccToTaxidIndex::maxAccessionLength) return false;
            accession.push_back(static_cast<char>(c));
            c = getc_unlocked(stream_);
        }
        c = skipSpace(c);
        // The number's sign and digits go to the shared decimal reader,
        // without leading zeros and cut after a dozen digits: by then the
        // value is past the 32-bit range, where the reader clamps it anyway.
        number_.clear();
        if (c == '+' || c == '-') {
            number_.push_back(static_cast<char>(c));
            c = getc_unlocked(stream_);
        }
        if (c == EOF || !std::isdigit(c)) return false;
        size_t digits = 0;
        while (c != EOF && std::isdigit(c)) {
            if ((digits > 0 || c != '0') && digits < kKeptDigits) {
                number_.push_back(static_cast<char>(c));
                ++digits;
            }
            c = getc_unlocked(stream_);
        }
        if (c != EOF) ungetc(c, stream_);
        if (digits == 0) number_.push_back('0');
        return brenvik::scanInt(number_, taxId);
    }

private:
    int skipSpace(int c = -2) {
        if (c == -2) c = getc_unlocked(stream_);
        while (c != EOF && std::isspace(c)) c = getc_unlocked(stream_);
        return c;
    }
    static constexpr size_t kKeptDigits = 12;
    std::FILE* stream_;
    std::string number_;
};

}  // namespace

CAccToTaxidIndex::CAccToTaxidIndex(const std::string& speciesFilePath, int jobNumber, std::string& errorText,
                                   int createAllowed, uint64_t partLimit)
    : path_(speciesFilePath), createAllowed_(createAllowed) {
    parts_.push_back(
        std::make_unique<brenvik::bv_cachefile>(getPartFileName(0).c_str(), cacheVersion, osPath(path_).c_str()));
    brenvik::bv_cachefile& part0 = *parts_[0];
    if (part0.open(createAllowed_ != 0)) {
        bool found = false;
        const uint32_t count = part0.getInt(partCountKey, found);
        if (found && count >= 1 && count <= static_cast<uint32_t>(maxPartCount)) {
            openPart = 0;
            partCount = static_cast<int32_t>(count);
            for (int i = 1; i < partCount; ++i)
                parts_.push_back(std::make_unique<brenvik::bv_cachefile>(getPartFileName(i).c_str(), cacheVersion,
                                                                         osPath(path_).c_str()));
            return;
        }
        // A finished part 0 without a sound part count is rebuilt.
        part0.close();
    }
    if (createAllowed_ == 0) {
        usable = false;
        return;
    }
    usable = build(jobNumber, errorText, partLimit);
}

CAccToTaxidIndex::~CAccToTaxidIndex() { close(); }

std::string CAccToTaxidIndex::getPartFileName(int part) const {
    return osPath(path_) + "_" + std::to_string(part) + ".cdb";
}

void CAccToTaxidIndex::failCache(int jobNumber, const std::string& text) {
    errorReporter.report(ERR_TAXONOMY_CACHE_FAILURE, jobNumber, kLineCacheFailed, "acc_to_taxid", text);
}

bool CAccToTaxidIndex::build(int jobNumber, std::string& errorText, uint64_t partLimit) {
    // The input is opened before any part is created, so a missing file
    // leaves no half-made part behind.
    std::FILE* stream = fileOpenStream(osPath(path_).c_str(), "r", false);
    if (stream == nullptr) {
        errorReporter.report(ERR_TAXONOMY_FILE_MISSING, jobNumber, kLineFileMissing, "acc_to_taxid",
                             pathInMessages(path_));
        errorText += errorReporter.formatMessage(ERR_TAXONOMY_FILE_MISSING, jobNumber, kLineFileMissingText,
                                                 "acc_to_taxid", path_);
        errorText += "\n";
        return false;
    }

    brenvik::bv_cachefile* current = parts_[0].get();
    if (!current->create() || !current->isCreating()) {
        failCache(jobNumber, current->getLastErrorString());
        std::fclose(stream);
        return false;
    }

    bool ok = true;
    uint64_t runningSize = 0;
    std::string accession;
    int32_t taxId = 0;
    PairReader reader(stream);
    while (ok && reader.next(accession, taxId)) {
        current->addInt32(accession, static_cast<uint32_t>(taxId));
        runningSize += accession.size() + 28;
        if (runningSize > partLimit) {
            if (current != parts_[0].get()) {
                ok = current->finish();
                current->close();
            }
            const int number = static_cast<int>(parts_.size());
            parts_.push_back(std::make_unique<brenvik::bv_cachefile>(getPartFileName(number).c_str(), cacheVersion,
                                                                     osPath(path_).c_str()));
            current = parts_.back().get();
            if (!current->create() || !current->isCreating()) ok = false;
            runningSize = 0;
        }
    }
    std::fclose(stream);

    if (ok && current != parts_[0].get()) {
        ok = current->finish();
        current->close();
    }
    if (!ok) {
        // Part 0 stays unfinished, so the next open rebuilds the whole set.
        failCache(jobNumber, current->getLastErrorString());
        parts_[0]->close();
        return false;
    }
    partCount = static_cast<int32_t>(parts_.size());
    parts_[0]->addInt32(partCountKey, static_cast<uint32_t>(partCount));
    if (!parts_[0]->finish()) {
        failCache(jobNumber, parts_[0]->getLastErrorString());
        parts_[0]->close();
        return false;
    }
    parts_[0]->close();
    return true;
}

void CAccToTaxidIndex::close() {
    for (auto& part : parts_)
        if (part) part->close();
    parts_.clear();
    openPart = -1;
    path_.clear();
}
