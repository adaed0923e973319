#include "database/taxonomy_tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/system_calls.h"
#include "config/bv_taxonomyoptions.h"
#include "database/taxonomy_line_reader.h"
#include "pal/number_reader.h"

namespace {

// Report positions of this module ("taxonomy"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineNodeFile = 830;  // M539
constexpr int kLineNodeFileText = 831;  // M539, formatted for the caller
constexpr int MSG_PARENT_CONFLICT = 0x0B05;
constexpr int MSG_INVALID_LINE = 0x0B06;
constexpr int MSG_NODES_MISSING = 0x0B07;
constexpr int ERR_TAXONOMY_NODE_FILE = 539;

constexpr const char* cacheVersion = "1.0";
constexpr const char* separator = "\t|\t";

// sscanf's "%d", moving p past the number.
bool readInt(const char*& p, int32_t& value) {
    const char* end = p;
    if (!brenvik::scanInt(p, value, end)) return false;
    p = end;
    return true;
}

// The "\t|\t" of a scanf format: any white space, a bar, any white space.
bool readSeparator(const char*& p) {
    const char* q = p;
    while (std::isspace(static_cast<unsigned char>(*q))) ++q;
    if (*q != '|') return false;
    ++q;
    while (std::isspace(static_cast<unsigned char>(*q))) ++q;
    p = q;
    return true;
}

std::string nodeKey(int32_t taxId) {
    const uint32_t v = static_cast<uint32_t>(taxId);
    const char key[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                         static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
    return std::string(key, 4);
}

void putInt32(char* out, int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

int32_t getInt32(const char* in) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return static_cast<int32_t>(v);
}

}  // namespace

namespace brenvik {

bv_taxonomytree::bv_taxonomytree(const TaxonomyNodesSection* section, const std::string& directory, bool useIndex,
                                 bool keepInMemory) {
    if (section == nullptr) return;
    mitochondrial_ = section->mitochondrialTranslation;
    for (const std::string& name : section->nodesFiles) {
        fileRecords_.push_back(name);
        std::string path = directory;
        if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
        path += name;
        filePaths_.push_back(path);
    }

    if (!useIndex) {
        usesIndex_ = false;
    } else {
        for (size_t i = 0; i < filePaths_.size(); ++i) buildCache(i, keepInMemory);
    }

    // Kept in memory, the array holds every file's nodes whatever the caches
    // did: the builds parse each file on its own, never into this array.
    if (!usesIndex_ || keepInMemory) {
        // Later files override earlier ones.
        nodes_.clear();
        for (const std::string& path : filePaths_) loadNodesFile(path, mitochondrial_);
    }
}

bv_taxonomytree::~bv_taxonomytree() = default;

void bv_taxonomytree::setPositionalReads(bool on) {
    for (auto& cache : caches_) cache->setPositionalReads(on);
}

void bv_taxonomytree::buildCache(size_t fileIndex, bool keepInMemory) {
    const std::string& path = filePaths_[fileIndex];
    const std::string cacheName = osPath(path) + ".cdb";
    // A look-up reads a few parents of millions of nodes.
    auto nodesCache = [&]() {
        auto cache = std::make_unique<bv_cachefile>(cacheName.c_str(), cacheVersion, osPath(path).c_str());
        cache->setPositionalReads(true);
        return cache;
    };
    caches_.push_back(nodesCache());
    // Another task is building this cache: wait for its build (bounded) and
    // take the finished cache instead of parsing the file once more.
    auto otherTasksBuild = [&]() {
        if (!caches_.back()->waitForBuild(kCacheBuildWaitMs)) return false;
        auto finished = nodesCache();
        if (!finished->open(true)) return false;
        caches_.back() = std::move(finished);
        return true;
    };
    if (caches_.back()->open(true)) return;
    if (caches_.back()->getLastError() == kMsgBeingCreated && otherTasksBuild()) return;
    bv_cachefile& cache = *caches_.back();
    // Creating the cache clears its messages, so the reason it had to be
    // built is taken over first.
    copyFrom(cache);
    bool createCalled = false;
    bool valid = cache.isValid();
    if (cache.getLastError() == kMsgBeingCreated || !cache.isUsable()) {
        usesIndex_ = false;
    } else {
        // The build lock is taken before the parse, so that tasks arriving
        // meanwhile wait for this build instead of parsing the file too.
        const bool building = cache.create() && cache.isCreating();
        if (!building && cache.getLastError() == kMsgBeingCreated && otherTasksBuild()) return;
        bv_cachefile& target = *caches_.back();
        // Parsed into a tree of its own, so that the cache holds this file's
        // nodes only.
        bv_taxonomytree single(nullptr, std::string(), false, false);
        const bool parsed = single.loadNodesFile(path, mitochondrial_);
        // Kept in memory, every file is parsed again in file order after the
        // builds, which records the parse's messages then.
        if (!keepInMemory) copyFrom(single);
        createCalled = parsed;
        if (building && parsed) {
            const std::vector<TaxonomyNode>& own = single.nodes_;
            target.expectRecords(own.size());
            char value[8];
            for (size_t j = 1; j < own.size(); ++j) {
                if (own[j].parent <= 0) continue;
                putInt32(value, own[j].parent);
                putInt32(value + 4, own[j].translationTable);
                const std::string key = nodeKey(static_cast<int32_t>(j));
                target.add(key.data(), value, 4, 8);
            }
            target.finish();
        } else if (building) {
            // No cache for a nodes file that could not be read.
            target.abandon();
        }
        // A readable nodes file whose cache could not be written (another
        // task took it over, or a write failed) is answered from memory.
        if (parsed && !target.isOpenForReading()) usesIndex_ = false;
        // The verdict of the build when there was one, else of the open.
        if (parsed) valid = target.isValid();
    }
    if (!valid) usesIndex_ = false;
    // Messages of the build itself (create starts a fresh list).
    if (createCalled) copyFrom(*caches_.back());
}

void bv_taxonomytree::storeNode(int32_t taxId, int32_t parent, int32_t table, const std::string& path) {
    const size_t needed = static_cast<size_t>(taxId) + 1;
    if (needed >= nodes_.size()) {
        // Grows by (c + 10) * 1.5 so that a sorted file reallocates rarely.
        size_t capacity = nodes_.size();
        while (capacity <= needed) capacity = static_cast<size_t>((capacity + 10) * 1.5);
        nodes_.resize(capacity);
    }
    TaxonomyNode& node = nodes_[static_cast<size_t>(taxId)];
    if (node.parent != 0 && node.parent != parent) setError(MSG_PARENT_CONFLICT, taxId, pathInMessages(path).c_str());
    node.parent = parent;
    node.translationTable = table < 1 ? 1 : table;
}

bool bv_taxonomytree::loadNodesFile(const std::string& path, bool mitochondrial) {
    std::FILE* stream = fileOpenStream(osPath(path).c_str(), "r", false);
    TaxonomyLineReader reader(stream, TaxonomyLineReader::LineEnds::LfDropCr);
    std::string line;
    if (stream == nullptr || !reader.next(line)) {
        if (stream != nullptr) std::fclose(stream);
        setError(MSG_NODES_MISSING, pathInMessages(path).c_str());
        return false;
    }

    // Room for the file's IDs at once (a nodes line is over 40 bytes, and
    // NCBI's IDs are dense): growing the array step by step copies it again
    // and again.
    struct stat st;
    if (systemCalls().fstat(fileno(stream), &st) == 0 && st.st_size > 0) {
        const size_t expected = std::min<size_t>(static_cast<size_t>(st.st_size) / 40, maxTaxId);
        if (nodes_.capacity() < expected) {
            nodes_.reserve(expected);
            preferHugePages(nodes_.data(), expected * sizeof(TaxonomyNode));
        }
    }
    bool result = true;
    do {
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
        const char* p = line.c_str();
        int32_t taxId = 0, parent = 0;
        if (!readInt(p, taxId) || !readSeparator(p) || !readInt(p, parent) || taxId < 0 || taxId >= maxTaxId) {
            setError(MSG_INVALID_LINE, line.c_str(), pathInMessages(path).c_str());
            result = false;
            continue;
        }
        int32_t codes[4] = {1, 1, 1, 1};  // genetic code, inherited, mitochondrial code, inherited
        size_t pos = 0;
        bool found = true;
        for (int i = 0; i < 6 && found; ++i) {
            pos = line.find(separator, pos);
            if (pos == std::string::npos)
                found = false;
            else
                pos += 3;
        }
        if (found) {
            const char* q = line.c_str() + pos;
            for (int i = 0; i < 4; ++i) {
                if (i > 0 && !readSeparator(q)) break;
                if (!readInt(q, codes[i])) break;
            }
        }
        storeNode(taxId, parent, mitochondrial ? codes[2] : codes[0], path);
    } while (reader.next(line));
    if (reader.notText()) {
        setError(MSG_INVALID_LINE, ("NUL byte at line " + std::to_string(reader.lineNumber() + 1)).c_str(),
                 path.c_str());
        result = false;
    }
    std::fclose(stream);
    return result;
}

bool bv_taxonomytree::getParent(int taxId, int& parent, int& translationTable) {
    parent = 0;
    translationTable = 1;
    if (!usesIndex_) {
        if (taxId < 1 || static_cast<size_t>(taxId) >= nodes_.size()) return false;
        parent = nodes_[static_cast<size_t>(taxId)].parent;
        translationTable = nodes_[static_cast<size_t>(taxId)].translationTable;
        return parent > 0;
    }
    const std::string key = nodeKey(taxId);
    bool found = false;
    for (auto& cache : caches_) {
        const std::string value = cache->getValue(key, 0);
        if (value.size() != 8) continue;
        parent = getInt32(value.data());
        translationTable = getInt32(value.data() + 4);
        found = true;
    }
    return found;
}

bool bv_taxonomytree::readCachedNodes(std::vector<TaxonomyNode>& nodes, std::vector<uint8_t>& held) {
    if (!usesIndex_ || caches_.empty()) return false;
    // A node record: a four-byte ID below the bound and an eight-byte value.
    auto nodeId = [](const unsigned char* key, size_t keyLength, size_t valueLength) -> int64_t {
        if (keyLength != 4 || valueLength != 8) return -1;
        const int32_t taxId = getInt32(reinterpret_cast<const char*>(key));
        return taxId < 0 || taxId >= maxTaxId ? -1 : taxId;
    };
    // The arrays are sized once, from a first pass: growing them record by
    // record would copy them again and again.
    int64_t maxId = -1;
    for (auto& cache : caches_) {
        const bool whole = cache->forEachRecord(
            [&](const unsigned char* key, size_t keyLength, const unsigned char*, size_t valueLength) {
                maxId = std::max(maxId, nodeId(key, keyLength, valueLength));
            });
        if (!whole) return false;
    }
    const size_t size = static_cast<size_t>(maxId + 1);
    std::vector<TaxonomyNode>().swap(nodes);
    nodes.reserve(size);
    preferHugePages(nodes.data(), size * sizeof(TaxonomyNode));
    nodes.resize(size);
    held.assign(size, 0);
    // getParent takes the last cache that holds an ID, and in it the ID's
    // first record: so the caches are read from the last, and the first
    // record seen for an ID wins.
    for (auto cache = caches_.rbegin(); cache != caches_.rend(); ++cache) {
        const bool whole = (*cache)->forEachRecord([&](const unsigned char* key, size_t keyLength,
                                                       const unsigned char* value, size_t valueLength) {
            const int64_t taxId = nodeId(key, keyLength, valueLength);
            if (taxId < 0 || held[static_cast<size_t>(taxId)]) return;
            held[static_cast<size_t>(taxId)] = 1;
            nodes[static_cast<size_t>(taxId)].parent = getInt32(reinterpret_cast<const char*>(value));
            nodes[static_cast<size_t>(taxId)].translationTable = getInt32(reinterpret_cast<const char*>(value) + 4);
        });
        if (!whole) return false;
    }
    return true;
}

std::string bv_taxonomytree::getFilesDescription() const {
    std::string text;
    if (filePaths_.empty()) {
        text = "No taxonomy files are used.";
    } else {
        text = "Taxonomy files:";
        for (const std::string& path : filePaths_) text += " " + path;
        text += ". ";
    }
    if (caches_.empty()) {
        text += "No index files are used.";
    } else {
        text += "Index files:";
        for (const auto& cache : caches_) text += " " + cache->fileName();
        text += ". ";
    }
    return text;
}

}  // namespace brenvik

CTaxonomyNodeSet::CTaxonomyNodeSet(bool ok, bool indexMode, std::vector<TaxonomyNode> nodes,
                                   const TaxonomyNodesSection* section,
                                   std::unique_ptr<brenvik::bv_taxonomytree> tree)
    : ok_(ok), indexMode_(indexMode), nodes_(std::move(nodes)),
      section_(section != nullptr ? *section : TaxonomyNodesSection()), tree_(std::move(tree)) {}

CTaxonomyNodeSet::~CTaxonomyNodeSet() = default;

bool CTaxonomyNodeSet::getParent(int taxId, int& parent, int& translationTable, bool forceMemory) {
    parent = 0;
    translationTable = 1;
    if (!ok_) return false;
    if (forceMemory || !indexMode_) {
        if (taxId < 0 || static_cast<size_t>(taxId) >= nodes_.size()) return false;
        parent = nodes_[static_cast<size_t>(taxId)].parent;
        translationTable = nodes_[static_cast<size_t>(taxId)].translationTable;
        return true;
    }
    if (taxId < 2) return true;
    if (!tree_ || !tree_->isValid()) return false;
    // IDs from maxTaxId on are not in memory: the caches answer them.
    if (cachesInMemory_ && taxId < brenvik::bv_taxonomytree::maxTaxId) {
        const size_t at = static_cast<size_t>(taxId);
        if (at >= cachedNodes_.size() || !cachedHeld_[at]) return false;
        parent = cachedNodes_[at].parent;
        translationTable = cachedNodes_[at].translationTable;
        return true;
    }
    return tree_->getParent(taxId, parent, translationTable);
}

bool CTaxonomyNodeSet::holdCachesInMemory() {
    if (cachesInMemory_) return true;
    if (!ok_ || !indexMode_ || !tree_) return false;
    if (!tree_->readCachedNodes(cachedNodes_, cachedHeld_)) {
        std::vector<TaxonomyNode>().swap(cachedNodes_);
        std::vector<uint8_t>().swap(cachedHeld_);
        return false;
    }
    cachesInMemory_ = true;
    return true;
}

std::vector<int> CTaxonomyNodeSet::getLineage(int taxId, bool forceMemory) {
    std::vector<int> lineage;
    walkLineage(taxId, maxLineageSteps + 1, forceMemory, [&lineage](int id, bool known, int parent) {
        lineage.push_back(id);
        return known && parent > 0;
    });
    return lineage;
}

std::unique_ptr<CTaxonomyNodeSet> loadTaxonomyNodes(int jobNumber, const TaxonomyNodesSection* section,
                                                    std::string& errorText, bool keepInMemory) {
    auto tree = std::make_unique<brenvik::bv_taxonomytree>(section, "../taxonomy", true, keepInMemory);
    const int count = tree->getNumberOfErrors();
    for (int i = 1; i <= count; ++i) {
        const std::string text = tree->getErrorString(i);
        errorReporter.report(ERR_TAXONOMY_NODE_FILE, jobNumber, kLineNodeFile, "taxonomy", text);
        errorText +=
            errorReporter.formatMessage(ERR_TAXONOMY_NODE_FILE, jobNumber, kLineNodeFileText, "taxonomy", text);
        errorText += "\n";
    }

    bool ok = false;
    std::vector<TaxonomyNode> nodes;
    if (tree->isValid()) {
        ok = true;
        if (keepInMemory || !tree->usesIndex()) {
            if (tree->nodeCount() > 0) {
                nodes.assign(tree->nodeArray(), tree->nodeArray() + tree->nodeCount());
            } else {
                ok = false;
                if (errorText.empty()) errorText = "Empty taxonomy tree nodes. " + tree->getFilesDescription();
            }
        }
    }
    const bool indexMode = tree->usesIndex();
    if (!indexMode || !ok) tree.reset();
    return std::make_unique<CTaxonomyNodeSet>(ok, indexMode, std::move(nodes), section, std::move(tree));
}

TaxonomyNodesSection taxonomyNodesSection(const brenvik::bv_taxonomyoptions& section) {
    TaxonomyNodesSection result;
    for (int i = 0; i < section.getNumberOfNodesFiles(); ++i) result.nodesFiles.push_back(section.getNodesFile(i).name);
    result.mitochondrialTranslation = section.isMitochondrialTranslation();
    return result;
}

std::unique_ptr<CTaxonomyNodeSet> loadTaxonomyNodes(int jobNumber, const brenvik::bv_taxonomyoptions* section,
                                                    std::string& errorText, bool keepInMemory) {
    if (section == nullptr)
        return loadTaxonomyNodes(jobNumber, static_cast<const TaxonomyNodesSection*>(nullptr), errorText,
                                 keepInMemory);
    const TaxonomyNodesSection nodes = taxonomyNodesSection(*section);
    return loadTaxonomyNodes(jobNumber, &nodes, errorText, keepInMemory);
}
