#pragma once
// The NCBI taxonomy tree: for a taxonomy ID its parent and the ID of the
// genetic code its sequences use. Nodes files are huge, so each gets a
// constant-database cache beside it ("<nodes file>.cdb"), built on first use
// and rebuilt when the nodes file changes; look-ups then read the caches.
//
// bv_taxonomytree is the library class (it records its problems on its own
// error object); loadTaxonomyNodes and CTaxonomyNodeSet are the server-side
// wrapper that reports those problems and answers the front ends.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/bv_errs.h"
#include "database/bv_cachefile.h"

// What the tree needs of a taxonomy section: its NodesFiles names, in
// section order, and its MitochondrialTranslation switch.
struct TaxonomyNodesSection {
    std::vector<std::string> nodesFiles;
    bool mitochondrialTranslation = false;
};

namespace brenvik {
class bv_taxonomyoptions;
}

// The NodesFiles and MitochondrialTranslation of a configuration section.
TaxonomyNodesSection taxonomyNodesSection(const brenvik::bv_taxonomyoptions& section);

struct TaxonomyNode {
    int32_t parent = 0;  // 0: not present
    int32_t translationTable = 1;
};

namespace brenvik {

class bv_taxonomytree : public bv_errs {
public:
    // IDs at or above this bound are refused as invalid lines: they would
    // size the node array.
    static constexpr int32_t maxTaxId = 1 << 26;

    // `section` may be null (an empty tree). `directory` is the folder of
    // the nodes files.
    bv_taxonomytree(const TaxonomyNodesSection* section, const std::string& directory, bool useIndex,
                    bool keepInMemory);
    ~bv_taxonomytree() override;

    // Sets parent 0 and table 1 first; true when the ID is known (with a
    // parent above 0).
    bool getParent(int taxId, int& parent, int& translationTable);
    std::string getFilesDescription() const;
    bool usesIndex() const { return usesIndex_; }
    // Null when the array is empty.
    const TaxonomyNode* nodeArray() const { return nodes_.empty() ? nullptr : nodes_.data(); }
    size_t nodeCount() const { return nodes_.size(); }
    // Parses one nodes file into the node array; false when it is missing or
    // holds an invalid line.
    bool loadNodesFile(const std::string& path, bool mitochondrial);

    const std::vector<std::string>& filePaths() const { return filePaths_; }

    // The nodes as getParent answers them through the caches, for every ID
    // below maxTaxId: `held[id]` says whether a cache holds the ID. False
    // when there are no caches or one cannot be read whole.
    bool readCachedNodes(std::vector<TaxonomyNode>& nodes, std::vector<uint8_t>& held);
    // Look-ups through the caches by pread (the default: a look-up reads a
    // few parents of millions) or through their maps (many look-ups).
    void setPositionalReads(bool on);

private:
    void storeNode(int32_t taxId, int32_t parent, int32_t table, const std::string& path);
    void buildCache(size_t fileIndex, bool keepInMemory);

    bool usesIndex_ = true;
    bool mitochondrial_ = false;
    std::vector<std::string> fileRecords_;
    std::vector<TaxonomyNode> nodes_;
    std::vector<std::string> filePaths_;
    std::vector<std::unique_ptr<bv_cachefile>> caches_;
};

}  // namespace brenvik

// The front ends' view of one section's tree for one request.
class CTaxonomyNodeSet {
public:
    // Index mode answers through `tree`, which was built (and whose messages
    // were reported) by loadTaxonomyNodes; it stays open for every look-up.
    CTaxonomyNodeSet(bool ok, bool indexMode, std::vector<TaxonomyNode> nodes, const TaxonomyNodesSection* section,
                     std::unique_ptr<brenvik::bv_taxonomytree> tree);
    ~CTaxonomyNodeSet();

    // In memory: any ID inside the array answers (an ID no line set reads
    // {0, 1}). Through the index: IDs below 2 answer at once with {0, 1}.
    bool getParent(int taxId, int& parent, int& translationTable, bool forceMemory = false);

    // The ID and its ancestors, the ID first, up to the root (ID 1) or the
    // first ID that getParent does not answer with a parent above 0. Stops
    // after 1,000 steps or at an ID met before (NCBI's root is its own
    // parent), so a cyclic nodes file cannot hang a request.
    std::vector<int> getLineage(int taxId, bool forceMemory = false);

    // The one walk up the tree that every lineage uses: from the ID upward,
    // fn(id, known, parent) for each ID not met before, where `known` says
    // whether getParent answered (never asked for ID 1). The walk goes on
    // to the parent while fn returns true, the ID is not 1 and the parent
    // was known; at most `maxIds` IDs.
    template <typename Fn>
    void walkLineage(int taxId, int maxIds, bool forceMemory, Fn fn) {
        // Lineages are short: a linear search beats a hash set.
        std::vector<int> seen;
        int current = taxId;
        for (int n = 0; n < maxIds; ++n) {
            if (std::find(seen.begin(), seen.end(), current) != seen.end()) return;
            seen.push_back(current);
            int parent = 0, table = 1;
            const bool known = current != 1 && getParent(current, parent, table, forceMemory);
            if (!fn(current, known, parent) || current == 1 || !known) return;
            current = parent;
        }
    }

    // Reads the caches' nodes into memory once (index mode), so that the
    // many look-ups of a batch request answer without a cache read each;
    // every answer stays what the caches give. False (and look-ups keep
    // reading the caches) when that is not possible.
    bool holdCachesInMemory();
    // See bv_taxonomytree::setPositionalReads (index mode).
    void setPositionalReads(bool on) {
        if (tree_) tree_->setPositionalReads(on);
    }

    bool isOk() const { return ok_; }
    bool isIndexMode() const { return indexMode_; }
    size_t nodeCount() const { return nodes_.size(); }
    const TaxonomyNodesSection& section() const { return section_; }

    static constexpr int maxLineageSteps = 1000;

private:
    bool ok_;
    bool indexMode_;
    std::vector<TaxonomyNode> nodes_;
    TaxonomyNodesSection section_;
    // Index mode keeps the tree that was built, with its caches open, for
    // every later look-up of the request.
    std::unique_ptr<brenvik::bv_taxonomytree> tree_;
    // The caches' nodes once holdCachesInMemory succeeded.
    bool cachesInMemory_ = false;
    std::vector<TaxonomyNode> cachedNodes_;
    std::vector<uint8_t> cachedHeld_;
};

// Builds the tree of a section from "../taxonomy", reports each of its
// messages (M539) and appends them, formatted, to `errorText`. Never null.
std::unique_ptr<CTaxonomyNodeSet> loadTaxonomyNodes(int jobNumber, const TaxonomyNodesSection* section,
                                                    std::string& errorText, bool keepInMemory);
// The same for a configuration section (null: an empty tree).
std::unique_ptr<CTaxonomyNodeSet> loadTaxonomyNodes(int jobNumber, const brenvik::bv_taxonomyoptions* section,
                                                    std::string& errorText, bool keepInMemory);
