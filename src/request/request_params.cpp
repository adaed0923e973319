#include "request/request_params.h"

#include <cstring>
#include <functional>

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

bool request_params::addAccession(std::string_view text, int16_t frame) {
    if (!chargeItem(static_cast<int32_t>(text.size()) + 6)) return false;
    const char* copy = store(text);
    const int32_t position = static_cast<int32_t>(accessions.size());
    accessions.push_back(copy);
    if (toolKind) {
        itemKinds.push_back(true);
    } else {
        frames.push_back(frame);
        warnings.push_back(TaxonomyWarning{0, std::string(), -1});
    }
    foundIndex.push_back(-1);
    const std::string_view key(copy, text.size());
    foundMap.insert_or_assign(key, -1);
    positions.emplace(key, position);
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
    while (bits < 16 * foundMap.size()) bits *= 2;
    requestedBits_.assign(bits / 64, 0);
    for (const auto& entry : foundMap) {
        const size_t h = std::hash<std::string_view>{}(entry.first) & (bits - 1);
        requestedBits_[h / 64] |= uint64_t{1} << (h % 64);
    }
    requestedFor_ = foundMap.size();
}

bool request_params::markAccessionFound(std::string_view text, int32_t sequenceIndex) {
    if (requestedBits_.empty() || requestedFor_ != foundMap.size()) buildRequestedFilter();
    const size_t h = std::hash<std::string_view>{}(text) & (requestedBits_.size() * 64 - 1);
    if ((requestedBits_[h / 64] >> (h % 64) & 1) == 0) return true;
    auto it = foundMap.find(text);
    if (it == foundMap.end()) return true;
    if (it->second == -1) ++foundCount;
    it->second = sequenceIndex;
    auto [first, last] = positions.equal_range(text);
    for (auto p = first; p != last; ++p) foundIndex[static_cast<size_t>(p->second)] = sequenceIndex;
    return foundCount < static_cast<int32_t>(foundMap.size());
}

void request_params::reset() {
    dbName.clear();
    showTitle = showSynonyms = showTaxTree = false;
    showPI = showLen = showSequence = showReference = false;
    sessionId.clear();
    accessions.clear();
    foundIndex.clear();
    warnings.clear();
    foundMap.clear();
    positions.clear();
    foundCount = 0;
    itemKinds.clear();
    taxIds.clear();
    frames.clear();
    totalBytes = 0;
    itemCount = 0;
    blocks_.clear();
    blockUsed_ = -1;
    requestedBits_.clear();
    requestedFor_ = 0;
}
