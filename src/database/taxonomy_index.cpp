#include "database/taxonomy_index.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/system_calls.h"
#include "database/bv_cachefile.h"
#include "database/stats_file.h"
#include "pal/number_reader.h"

namespace {

// Report positions of this module ("taxonomy"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineCreating = 1775;  // M83
constexpr int kLineCacheFailed = 1850;  // M536
constexpr int kLineNodesFailed = 1869;  // M539
constexpr int kLineNoIdFile = 1954;  // M47
constexpr int kMaxWalk = 1000;

bool startsWithNoCase(const std::string& line, const char* prefix) {
    const size_t n = std::strlen(prefix);
    return line.size() >= n && ::strncasecmp(line.c_str(), prefix, n) == 0;
}

void appendIds(const std::string& text, int32_t* ids, int32_t& count) {
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = text.find_first_not_of(" \t,", pos);
        if (start == std::string::npos) break;
        size_t end = text.find_first_of(" \t,", start);
        if (end == std::string::npos) end = text.size();
        // A piece beyond the 32-bit range names no taxonomy ID: dropped, as
        // one that reads 0. The records hold 20 IDs a list; more are ignored.
        int64_t id = 0;
        brenvik::scanInt64(text.substr(start, end - start).c_str(), id);
        if (id != 0 && id >= INT32_MIN && id <= INT32_MAX && count < TaxonomyChoice::kMaxIds)
            ids[count++] = static_cast<int32_t>(id);
        pos = end;
    }
}

// The ID and its ancestors while they lie in 1 .. size - 1, up to ID 1;
// bounded, so a cyclic nodes file cannot hang the walk.
std::vector<int32_t> lineageOf(int32_t taxId, CTaxonomyNodeSet& nodes) {
    std::vector<int32_t> lineage;
    const int64_t size = static_cast<int64_t>(nodes.nodeCount());
    nodes.walkLineage(taxId, kMaxWalk, true, [&](int id, bool, int) {
        if (id < 1 || id >= size) return false;
        lineage.push_back(id);
        return true;
    });
    return lineage;
}

bool selectedBy(const std::vector<int32_t>& lineage, const TaxonomyChoice& choice) {
    bool included = false;
    for (int32_t b : lineage) {
        if (std::find(choice.excludeIds, choice.excludeIds + std::clamp(choice.excludeCount, 0, 20), b) !=
            choice.excludeIds + std::clamp(choice.excludeCount, 0, 20))
            return false;
        if (std::find(choice.includeIds, choice.includeIds + std::clamp(choice.includeCount, 0, 20), b) !=
            choice.includeIds + std::clamp(choice.includeCount, 0, 20))
            included = true;
    }
    return included;
}

std::string replaceLast(const std::string& path, const std::string& from, const std::string& to) {
    const size_t p = path.rfind(from);
    if (p == std::string::npos) return std::string();
    return path.substr(0, p) + to + path.substr(p + from.size());
}

}  // namespace

bool TaxonomyChoice::sameIds(const TaxonomyChoice& other) const {
    if (includeCount != other.includeCount || excludeCount != other.excludeCount) return false;
    const int inc = std::clamp(includeCount, 0, kMaxIds), exc = std::clamp(excludeCount, 0, kMaxIds);
    return std::equal(includeIds, includeIds + inc, other.includeIds) &&
           std::equal(excludeIds, excludeIds + exc, other.excludeIds);
}

void readTaxonomyChoices(TaxonomyChoiceTable& table, bool strip, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    TaxonomyChoice* current = nullptr;
    std::string line;
    // Lines are read whole: the rest of a long line is never a line of its own.
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#' || line.find_first_not_of(" \t") == std::string::npos) continue;
        if (startsWithNoCase(line, "TITLE:")) {
            if (table.count >= TaxonomyChoiceTable::kMaxChoices) {
                current = nullptr;
                continue;
            }
            delete table.choices[table.count];
            current = new TaxonomyChoice{};
            table.choices[table.count] = current;
            std::string title = line.substr(6);
            if (strip) title.erase(0, std::min(title.size(), title.find_first_not_of(" \t>-_|.")));
            title.resize(std::min(title.size(), TaxonomyChoice::kTitleSize - 1));
            std::memcpy(current->title, title.data(), title.size());
        } else if (startsWithNoCase(line, "Include:")) {
            if (current) appendIds(line.substr(8), current->includeIds, current->includeCount);
        } else if (startsWithNoCase(line, "Exclude:")) {
            if (current) appendIds(line.substr(8), current->excludeIds, current->excludeCount);
        } else if (line[0] == '*') {
            if (current) ++table.count;
            current = nullptr;
        }
    }
    // A choice without its closing "*" is not counted; its record goes.
    if (current != nullptr) {
        delete current;
        table.choices[table.count] = nullptr;
    }
}

void freeTaxonomyChoices(TaxonomyChoiceTable& table) {
    for (int i = 0; i < table.count; ++i) {
        delete table.choices[i];
        table.choices[i] = nullptr;
    }
    table.count = 0;
}

std::string makeTaxonomyChoiceKey(const TaxonomyChoice& choice) {
    std::string key = "Inc:";
    for (int i = 0; i < std::clamp(choice.includeCount, 0, TaxonomyChoice::kMaxIds); ++i) {
        if (i > 0) key += ' ';
        key += std::to_string(choice.includeIds[i]);
    }
    const int exc = std::clamp(choice.excludeCount, 0, TaxonomyChoice::kMaxIds);
    if (exc > 0) {
        key += '_';
        for (int i = 0; i < exc; ++i) {
            if (i > 0) key += ' ';
            key += std::to_string(choice.excludeIds[i]) + " ";
        }
    }
    return key;
}

bool isTaxIdSelected(int32_t taxId, const TaxonomyChoice* choice, CTaxonomyNodeSet* nodes) {
    if (taxId == 0 || taxId == 1 || choice == nullptr || nodes == nullptr) return true;
    if (taxId >= 0 && static_cast<uint64_t>(taxId) >= nodes->nodeCount()) return false;
    return selectedBy(lineageOf(taxId, *nodes), *choice);
}

CTaxonomyIndexFile::CTaxonomyIndexFile(const std::string& t00, int32_t sequences, uint64_t residues, int job,
                                       const brenvik::bv_taxonomyoptions* taxonomySection)
    : t00Path(t00),
      numSequences(sequences < 0 ? 0 : sequences),
      jobNumber(job),
      x00Path(replaceLast(t00, ".t00", ".x00")),
      statsPath(replaceLast(t00, ".t00", ".stats")),
      section(taxonomySection),
      numResidues(residues) {}

CTaxonomyIndexFile::~CTaxonomyIndexFile() = default;

uint64_t CTaxonomyIndexFile::getNumResidues() {
    if (numResidues != 0) return numResidues;
    DatabaseStats stats;
    if (!statsPath.empty() && readStatsFile(statsPath, jobNumber, stats) && stats.numResidues > 0)
        numResidues = static_cast<uint64_t>(stats.numResidues);
    return numResidues;
}

bool CTaxonomyIndexFile::getBoolVectorsFromT00File(int count, const TaxonomyChoice* const* choices,
                                                   std::vector<std::vector<bool>>& bits) {
    // One 32-bit mask per taxonomy ID: more choices cannot be computed in one
    // pass; the caller splits them.
    if (count > 32 || count < 0) return false;
    char quiet[512];
    const int fd = fileOpen(t00Path.c_str(), true, quiet, sizeof quiet);
    if (fd < 0) {
        reportSystemError(47, kLineNoIdFile, "taxonomy", t00Path.c_str());
        return false;
    }
    if (!nodeSet) {
        // loadTaxonomyNodes reports each message of the tree; a set that is
        // not usable (no nodes at all, say) is reported here as a whole. The
        // index goes on with whatever the tree holds.
        std::string errorText;
        nodeSet = loadTaxonomyNodes(jobNumber, section, errorText, true);
        if (!nodeSet->isOk()) errorReporter.report(539, jobNumber, kLineNodesFailed, "taxonomy", errorText);
    }
    // Every sequence's list takes at least its 4-byte count: a sequence count
    // (from the control file) beyond what the file can describe would only
    // add bits that are 0, and could ask for gigabytes. Bits past the vector's
    // end read as "not selected" all the same.
    struct stat st;
    const int64_t fileBytes = systemCalls().fstat(fd, &st) == 0 ? std::max<int64_t>(0, st.st_size) : 0;
    const int32_t sequences = static_cast<int32_t>(std::min<int64_t>(numSequences, fileBytes / 4));
    bits.assign(static_cast<size_t>(count), std::vector<bool>());
    for (auto& v : bits) v.reserve(static_cast<size_t>(sequences));

    std::vector<uint32_t> masks(nodeSet ? nodeSet->nodeCount() : 0, 0);
    for (size_t j = 0; j < masks.size(); ++j) {
        int parent = 0, table = 1;
        nodeSet->getParent(static_cast<int>(j), parent, table, true);
        if (parent == 0) continue;
        const std::vector<int32_t> lineage = lineageOf(static_cast<int32_t>(j), *nodeSet);
        for (int k = 0; k < count; ++k)
            if (j == 1 || selectedBy(lineage, *choices[k])) masks[j] |= 1u << k;
    }

    // Sequential read through a buffer; a list that runs past the file ends
    // the readable part, and the remaining sequences get no bit.
    std::vector<char> buffer(1u << 20);
    size_t have = 0, pos = 0;
    bool eof = false;
    auto need = [&](size_t n) -> bool {
        if (have - pos >= n) return true;
        std::memmove(buffer.data(), buffer.data() + pos, have - pos);
        have -= pos;
        pos = 0;
        if (buffer.size() < n) buffer.resize(n);
        while (!eof && have < n) {
            const long r = fileRead(fd, buffer.data() + have, buffer.size() - have);
            if (r <= 0) eof = true;
            else have += static_cast<size_t>(r);
        }
        return have >= n;
    };
    bool corrupt = false;
    for (int32_t s = 0; s < sequences; ++s) {
        uint32_t seqMask = 0;
        if (!corrupt && need(4)) {
            int32_t n;
            std::memcpy(&n, buffer.data() + pos, 4);
            pos += 4;
            if (n < 0 || static_cast<int64_t>(n) * 4 > fileBytes || !need(static_cast<size_t>(n) * 4)) {
                corrupt = true;
            } else {
                for (int32_t i = 0; i < n; ++i) {
                    int32_t id;
                    std::memcpy(&id, buffer.data() + pos + 4 * static_cast<size_t>(i), 4);
                    if (n == 1 && id == 1) seqMask = ~0u;
                    else if (id >= 0 && static_cast<size_t>(id) < masks.size()) seqMask |= masks[static_cast<size_t>(id)];
                }
                pos += static_cast<size_t>(n) * 4;
            }
        }
        for (int k = 0; k < count; ++k) bits[static_cast<size_t>(k)].push_back((seqMask >> k & 1u) != 0);
    }
    fileClose(fd);
    return true;
}

bool CTaxonomyIndexFile::createIndexFile(int* progress, const TaxonomyChoice* requested, std::vector<bool>* bits) {
    brenvik::bv_cachefile cache(x00Path.c_str(), version.c_str(), t00Path.c_str());
    if (!cache.create()) {
        errorReporter.report(536, jobNumber, kLineCacheFailed, "taxonomy", cache.getLastErrorString());
        return false;
    }
    TaxonomyChoiceTable table;
    readTaxonomyChoices(table, true);
    if (progress) {
        *progress = 91;
    } else {
        std::fputs("Creating taxonomy index file for database...", stdout);
        std::fflush(stdout);
    }
    errorReporter.report(83, jobNumber, kLineCreating, "taxonomy", x00Path);
    for (int first = 0; first < table.count; first += 32) {
        if (progress) {
            *progress = std::min(100, first * 9 / table.count + 91);
        } else {
            std::fputs("...", stdout);
            std::fflush(stdout);
        }
        const int n = std::min(32, table.count - first);
        std::vector<std::vector<bool>> vectors;
        if (!getBoolVectorsFromT00File(n, table.choices + first, vectors)) continue;
        if (first == 0) {
            cache.addInt32("num_sequences", static_cast<uint32_t>(vectors.empty() ? numSequences : vectors[0].size()));
            cache.addInt64("num_residues", getNumResidues());
        }
        for (int k = 0; k < n; ++k) {
            const std::vector<bool>& v = vectors[static_cast<size_t>(k)];
            std::string bytes((v.size() + 7) / 8, '\0');
            for (size_t i = 0; i < v.size(); ++i)
                if (v[i]) bytes[i / 8] = static_cast<char>(bytes[i / 8] | (1 << (i % 8)));
            const std::string key = makeTaxonomyChoiceKey(*table.choices[first + k]);
            cache.add(key.c_str(), bytes.data(), key.size(), bytes.size());
            if (requested && bits && table.choices[first + k]->sameIds(*requested)) *bits = v;
        }
    }
    cache.finish();
    if (progress) {
        *progress = 100;
    } else {
        std::fputs("<BR>", stdout);
        std::fflush(stdout);
    }
    freeTaxonomyChoices(table);
    return true;
}

bool CTaxonomyIndexFile::getBoolVectors(const TaxonomyChoice& choice, std::vector<bool>& bits) {
    bits.clear();
    bool opened = false;
    {
        brenvik::bv_cachefile cache(x00Path.c_str(), version.c_str(), t00Path.c_str());
        if (cache.open(true)) {
            opened = true;
            const std::string value = cache.getValue(makeTaxonomyChoiceKey(choice), 0);
            bool found = false;
            const uint32_t n = cache.getInt("num_sequences", found);
            // A value shorter than its bit count is damaged: not used.
            if (!value.empty() && found && n <= static_cast<uint64_t>(value.size()) * 8) {
                bits.reserve(n);
                for (uint32_t i = 0; i < n; ++i)
                    bits.push_back((static_cast<unsigned char>(value[i / 8]) >> (i % 8) & 1u) != 0);
            }
        }
    }
    if (!opened) createIndexFile(nullptr, &choice, &bits);
    if (bits.empty()) {
        std::vector<std::vector<bool>> vectors;
        const TaxonomyChoice* one[1] = {&choice};
        if (getBoolVectorsFromT00File(1, one, vectors)) bits = vectors[0];
    }
    return !bits.empty();
}
