#include "database/bv_controlfile.h"

#include <climits>
#include <cstring>

#include "config/global_options.h"
#include "database/bv_job.h"

namespace brenvik {

// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineNoRecord = 142;  // M327

std::string fieldText(const char* field, size_t size) { return std::string(field, ::strnlen(field, size)); }

int32_t nodeValue(const ControlFileRecord& record, int index) {
    if (index < 0 || index >= 160) return 0;
    return loadField(record.node[index]);
}

int32_t databaseValue(const ControlFileRecord& record, int index) {
    if (index < 0 || index >= 125) return 0;
    return loadField(record.database[index]);
}

bool readDatabaseCounts(const ControlFileRecord& record, DatabaseCounts& counts, std::string& why) {
    DatabaseCounts c;
    c.longestSequence = databaseValue(record, kDbLongestSequence);
    c.sequenceCount = databaseValue(record, kDbSequenceCount);
    c.longestAccession = databaseValue(record, kDbLongestAccession);
    c.firstSequence = databaseValue(record, kDbFirstSequence);
    c.lastSequence = databaseValue(record, kDbLastSequence);
    if (c.longestSequence < 0) {
        why = "negative longest sequence length " + std::to_string(c.longestSequence);
        return false;
    }
    if (c.sequenceCount < 0) {
        why = "negative sequence count " + std::to_string(c.sequenceCount);
        return false;
    }
    if (c.longestAccession < 0) {
        why = "negative longest accession length " + std::to_string(c.longestAccession);
        return false;
    }
    if (c.lastSequence != -1) {
        if (c.firstSequence < 0 || c.firstSequence >= c.sequenceCount || c.lastSequence < c.firstSequence ||
            c.lastSequence >= c.sequenceCount) {
            why = "served sequences " + std::to_string(c.firstSequence) + " to " + std::to_string(c.lastSequence) +
                  " outside the " + std::to_string(c.sequenceCount) + " sequences";
            return false;
        }
    } else if (c.firstSequence < 0) {
        why = "negative first sequence " + std::to_string(c.firstSequence);
        return false;
    }
    counts = c;
    return true;
}

bv_controlfile::bv_controlfile() = default;

bv_controlfile::~bv_controlfile() { close(); }

void bv_controlfile::open(const bv_options* options, bool readOnly, bool report) {
    close();
    openPath((options != nullptr ? *options : globalOptions()).getTarvexControlFile(), readOnly, report);
}

void bv_controlfile::openPath(const std::string& path, bool readOnly, bool report) {
    close();
    int error = 0;
    ControlFileRecord* first = nullptr;
    int64_t size = 0;
    if (mapping_.open(path, readOnly, error, 0, 0, report)) {
        size = mapping_.getSize();
        first = static_cast<ControlFileRecord*>(mapping_.getView(0, static_cast<uint64_t>(size)));
    }
    if (first == nullptr) throw CControlFileError(327, kLineNoRecord, "bv_controlfile", path, 0, mapping_.getFileRefusal());
    int64_t entries = size / kControlFileEntrySize;
    count_ = entries > INT32_MAX ? INT32_MAX : static_cast<int32_t>(entries);
    records_ = first;
    path_ = path;
    openState_ = 2;
}

void bv_controlfile::close() {
    CJobManager::controlFileClosing(this);
    mapping_.close();
    count_ = 0;
    path_.clear();
    records_ = nullptr;
    openState_ = 0;
}

int bv_controlfile::findDatabase(const std::string& name, bool allowEmpty) const {
    if (openState_ != 2 || count_ <= 0) return -1;
    for (int i = 0; i < count_; ++i) {
        const ControlFileRecord* half0 = getRecord(i, 0);
        size_t length = ::strnlen(half0->name, sizeof half0->name);
        if (length == name.size() && std::memcmp(half0->name, name.data(), length) == 0) return i;
        if (allowEmpty && length == 0) return i;
    }
    return -1;
}

ControlFileRecord* bv_controlfile::getRecord(int entry, int half) const {
    if (records_ == nullptr || entry < 0 || entry >= count_ || half < 0 || half > 1) return nullptr;
    return records_ + (2 * static_cast<int64_t>(entry) + half);
}

}  // namespace brenvik
