#include "request/request_params.h"

#include <algorithm>
#include <cstring>

namespace {

// A fast hash of a short text (accessions are mostly under 16 bytes); the
// low bits pick the table slot, the high bits the filter bit.
uint32_t hashText(std::string_view text) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    uint64_t h = text.size() * kMul;
    const char* p = text.data();
    size_t n = text.size();
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    h *= kMul;
    return static_cast<uint32_t>(h >> 32);
}

}  // namespace

request_params::request_params(int kind) : toolKind(kind) {}

bool request_params::chargeItem(int32_t bytes) {
    // Both counters stay raised on refusal: the parser stops at the first one.
    ++itemCount;
    if (itemCount > kMaxItems) return false;
    if (totalBytes > kMaxBytes - bytes) {
        totalBytes = kMaxBytes + 1;
        return false;
    }
    totalBytes += bytes;
    return totalBytes <= kMaxBytes;
}

const char* request_params::store(std::string_view text) {
    const size_t need = text.size() + 1;
    char* dest;
    if (need > static_cast<size_t>(kBlockSize)) {
        // Longer than a block: a block of its own, so nothing is cut or overrun.
        blocks_.emplace_back(new char[need]);
        dest = blocks_.back().get();
        blockUsed_ = kBlockSize;  // the next text starts a fresh block
    } else {
        if (blockUsed_ < 0 || static_cast<size_t>(blockUsed_) + need > static_cast<size_t>(kBlockSize)) {
            blocks_.emplace_back(new char[kBlockSize]);
            blockUsed_ = 0;
        }
        dest = blocks_.back().get() + blockUsed_;
        blockUsed_ += static_cast<int32_t>(need);
    }
    std::memcpy(dest, text.data(), text.size());
    dest[text.size()] = '\0';
    return dest;
}

request_params::Slot& request_params::slotFor(std::string_view text, uint32_t hash) {
    const size_t mask = table_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        Slot& slot = table_[i];
        if (slot.latest < 0) return slot;
        if (slot.hash != hash) continue;
        const size_t at = static_cast<size_t>(slot.latest);
        if (lengths_[at] == text.size() && std::memcmp(accessions[at], text.data(), text.size()) == 0) return slot;
    }
}

void request_params::growTable() {
    std::vector<Slot> old = std::move(table_);
    table_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
    const size_t mask = table_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.latest < 0) continue;
        size_t i = slot.hash & mask;
        while (table_[i].latest >= 0) i = (i + 1) & mask;
        table_[i] = slot;
    }
}

void request_params::reserveAccessions(size_t count) {
    const size_t room = kMaxItems > itemCount ? static_cast<size_t>(kMaxItems - itemCount) : 0;
    const size_t total = accessions.size() + std::min(count, room);
    accessions.reserve(total);
    lengths_.reserve(total);
    sameAs_.reserve(total);
    foundIndex.reserve(total);
    if (toolKind)
        itemKinds.reserve(itemKinds.size() + std::min(count, room));
    else
        frames.reserve(total);
}

bool request_params::addAccession(std::string_view text, int16_t frame) {
    if (!chargeItem(static_cast<int32_t>(text.size()) + 6)) return false;
    const char* copy = store(text);
    const int32_t position = static_cast<int32_t>(accessions.size());
    accessions.push_back(copy);
    lengths_.push_back(static_cast<uint32_t>(text.size()));
    if (toolKind)
        itemKinds.push_back(true);
    else
        frames.push_back(frame);
    foundIndex.push_back(-1);
    if (static_cast<size_t>(distinct_) * 2 >= table_.size()) growTable();
    const uint32_t hash = hashText(text);
    Slot& slot = slotFor(text, hash);
    if (slot.latest < 0) {
        slot.hash = hash;
        ++distinct_;
        sameAs_.push_back(-1);
    } else {
        sameAs_.push_back(slot.latest);
        // Found before this position was added: it shares the index.
        if (slot.found) foundIndex.back() = foundIndex[static_cast<size_t>(slot.latest)];
    }
    slot.latest = position;
    return true;
}

bool request_params::addTaxId(int32_t value) {
    if (!chargeItem(4)) return false;
    taxIds.push_back(value);
    itemKinds.push_back(false);
    return true;
}

void request_params::buildRequestedFilter() {
    size_t bits = 1024;
    while (bits < 16 * static_cast<size_t>(distinct_)) bits *= 2;
    requestedBits_.assign(bits / 64, 0);
    for (const Slot& slot : table_) {
        if (slot.latest < 0) continue;
        const size_t h = (slot.hash >> 7) & (bits - 1);
        requestedBits_[h / 64] |= uint64_t{1} << (h % 64);
    }
    requestedFor_ = distinct_;
}

bool request_params::markAccessionFound(std::string_view text, int32_t sequenceIndex) {
    if (requestedBits_.empty() || requestedFor_ != distinct_) buildRequestedFilter();
    const uint32_t hash = hashText(text);
    const size_t h = (hash >> 7) & (requestedBits_.size() * 64 - 1);
    if ((requestedBits_[h / 64] >> (h % 64) & 1) == 0) return true;
    Slot& slot = slotFor(text, hash);
    if (slot.latest < 0) return true;
    if (!slot.found) {
        slot.found = true;
        ++foundCount;
    }
    for (int32_t p = slot.latest; p >= 0; p = sameAs_[static_cast<size_t>(p)])
        foundIndex[static_cast<size_t>(p)] = sequenceIndex;
    return foundCount < distinct_;
}

void request_params::reset() {
    dbName.clear();
    showTitle = showSynonyms = showTaxTree = false;
    showPI = showLen = showSequence = showReference = false;
    sessionId.clear();
    accessions.clear();
    foundIndex.clear();
    warnings.clear();
    foundCount = 0;
    itemKinds.clear();
    taxIds.clear();
    frames.clear();
    totalBytes = 0;
    itemCount = 0;
    blocks_.clear();
    blockUsed_ = -1;
    table_.clear();
    lengths_.clear();
    sameAs_.clear();
    distinct_ = 0;
    requestedBits_.clear();
    requestedFor_ = 0;
}
