// Writes a synthetic NCBI taxonomy dump of the real size into a folder:
// nodes.dmp and names.dmp in the exact NCBI layout, plus ids.txt, 100,000
// taxonomy IDs of the dump for a batch request. Deterministic: the same
// seed gives the same files byte for byte.
//
//   make_ncbi_dump <folder> [nodes (2,700,000)] [seed (1)]
//
// Shape, after the real dump: IDs sorted and sparse up to about 3.4 million;
// about a quarter of the nodes are inner ranks, the rest species and
// strains; lineages from 1 to 40 steps; one scientific name per node and
// about 1.2 million further names of the usual classes (synonyms, common
// names, authorities, includes, equivalent names, type material...), with
// a unique-name column where a name repeats.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kMaxDepth = 40;
constexpr int kRequestIds = 100000;

// SplitMix64: small, fast and the same everywhere.
struct Random {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
};

const char* const kSyllables[] = {"ba", "cor", "den", "fu", "gal", "hex", "io", "ka", "lum", "mon", "nar",
                                  "op", "pra", "qui", "ros", "sta", "tri", "ul", "ver", "xan", "yo", "zel",
                                  "bac", "ter", "mi", "cro", "phy", "lo", "thri", "mus", "chla", "my",
                                  "do", "vi", "ri", "sal", "mo", "nel", "strep", "to"};
constexpr uint32_t kSyllableCount = sizeof kSyllables / sizeof kSyllables[0];

std::string word(Random& r, int minSyllables, int maxSyllables, const char* ending) {
    const int n = minSyllables + static_cast<int>(r.below(static_cast<uint32_t>(maxSyllables - minSyllables + 1)));
    std::string w;
    for (int i = 0; i < n; ++i) w += kSyllables[r.below(kSyllableCount)];
    w += ending;
    return w;
}

std::string capitalised(std::string w) {
    if (!w.empty() && w[0] >= 'a' && w[0] <= 'z') w[0] = static_cast<char>(w[0] - 'a' + 'A');
    return w;
}

const char* const kInnerRanks[] = {"superkingdom", "kingdom", "phylum", "subphylum", "class",  "subclass",
                                   "order",        "suborder", "family", "subfamily", "tribe", "genus",
                                   "subgenus",     "clade",    "no rank"};
const char* const kCommonWords[] = {"bacterium", "virus", "fungus", "worm", "moth", "beetle", "fern", "grass",
                                    "shrimp", "frog", "mouse", "bird"};
const char* const kAuthors[] = {"Linnaeus", "Migula", "Castellani and Chalmers", "Smith", "Bergey et al.",
                                "Lehmann and Neumann", "Cohn", "Buchanan"};

struct Node {
    int32_t parent;  // index into the nodes
    int32_t depth;
    bool inner;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <folder> [nodes] [seed]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const int32_t count = argc > 2 ? std::atoi(argv[2]) : 2700000;
    Random r{argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1};
    if (count < 10) {
        std::fprintf(stderr, "at least 10 nodes\n");
        return 2;
    }

    // Tree shape by index: inner nodes first, each under an earlier inner
    // node of a drawn depth (most between 15 and 35, as in the real tree);
    // species under inner nodes, a few strains under species. Index 0 is
    // the root.
    std::vector<Node> nodes(static_cast<size_t>(count));
    nodes[0] = {0, 0, true};
    std::vector<std::vector<int32_t>> innerByDepth(kMaxDepth + 1);
    innerByDepth[0].push_back(0);
    auto drawDepth = [&r](int low, int high) {
        // The mean of two draws: a hump in the middle of the range.
        const int a = low + static_cast<int>(r.below(static_cast<uint32_t>(high - low + 1)));
        const int b = low + static_cast<int>(r.below(static_cast<uint32_t>(high - low + 1)));
        return (a + b + 1) / 2;
    };
    auto innerAt = [&](int depth) {
        while (innerByDepth[static_cast<size_t>(depth)].empty()) --depth;
        const auto& list = innerByDepth[static_cast<size_t>(depth)];
        return list[r.below(static_cast<uint32_t>(list.size()))];
    };
    const int32_t inner = std::max<int32_t>(2, count / 4);
    for (int32_t i = 1; i < inner; ++i) {
        const int32_t parent = innerAt(drawDepth(0, kMaxDepth - 3));
        const int32_t depth = nodes[static_cast<size_t>(parent)].depth + 1;
        nodes[static_cast<size_t>(i)] = {parent, depth, true};
        innerByDepth[static_cast<size_t>(depth)].push_back(i);
    }
    for (int32_t i = inner; i < count; ++i) {
        int32_t parent = innerAt(drawDepth(10, kMaxDepth - 2));
        if (i > inner + 100 && r.chance(8)) {
            const int32_t species = inner + static_cast<int32_t>(r.below(static_cast<uint32_t>(i - inner)));
            if (nodes[static_cast<size_t>(species)].depth < kMaxDepth &&
                nodes[static_cast<size_t>(nodes[static_cast<size_t>(species)].parent)].inner)
                parent = species;
        }
        nodes[static_cast<size_t>(i)] = {parent, nodes[static_cast<size_t>(parent)].depth + 1, false};
    }

    // Taxonomy IDs: increasing with gaps, shuffled onto the indexes so that
    // parents are not always smaller than their children (as in NCBI).
    std::vector<int32_t> ids(static_cast<size_t>(count));
    int32_t id = 1;
    for (int32_t i = 0; i < count; ++i) {
        ids[static_cast<size_t>(i)] = id;
        id += 1 + (r.chance(20) ? static_cast<int32_t>(r.below(3)) : 0);
    }
    std::vector<int32_t> idOfIndex(static_cast<size_t>(count));
    idOfIndex[0] = 1;
    {
        std::vector<int32_t> rest(ids.begin() + 1, ids.end());
        for (size_t i = rest.size(); i > 1; --i) std::swap(rest[i - 1], rest[r.below(static_cast<uint32_t>(i))]);
        for (int32_t i = 1; i < count; ++i) idOfIndex[static_cast<size_t>(i)] = rest[static_cast<size_t>(i - 1)];
    }
    std::vector<int32_t> indexById;  // sorted output: index by position of ID
    indexById.resize(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) indexById[static_cast<size_t>(i)] = i;
    std::sort(indexById.begin(), indexById.end(), [&](int32_t a, int32_t b) {
        return idOfIndex[static_cast<size_t>(a)] < idOfIndex[static_cast<size_t>(b)];
    });

    // Names by index: genus-like words for inner nodes, binomials for
    // species, strain names below species.
    std::vector<std::string> scientific(static_cast<size_t>(count));
    scientific[0] = "root";
    std::unordered_map<std::string, int> seen;
    for (int32_t i = 1; i < count; ++i) {
        const Node& n = nodes[static_cast<size_t>(i)];
        std::string name;
        if (n.inner) {
            static const char* const endings[] = {"aceae", "ales", "ia", "us", "idae", "inae", "ota", "a"};
            name = capitalised(word(r, 2, 4, endings[r.below(8)]));
        } else if (nodes[static_cast<size_t>(n.parent)].inner) {
            name = scientific[static_cast<size_t>(n.parent)];
            name = name.substr(0, name.find(' '));
            name += " " + word(r, 2, 4, r.chance(50) ? "is" : "us");
            if (r.chance(10)) name = "uncultured " + word(r, 2, 3, "ium") + " sp.";
        } else {
            name = scientific[static_cast<size_t>(n.parent)] + " strain " + word(r, 1, 2, "").substr(0, 3) + "-" +
                   std::to_string(r.below(100000));
        }
        scientific[static_cast<size_t>(i)] = name;
        ++seen[name];
    }

    const std::string nodesPath = folder + "/nodes.dmp", namesPath = folder + "/names.dmp",
                      idsPath = folder + "/ids.txt";
    std::FILE* nodesFile = std::fopen(nodesPath.c_str(), "w");
    std::FILE* namesFile = std::fopen(namesPath.c_str(), "w");
    std::FILE* idsFile = std::fopen(idsPath.c_str(), "w");
    if (nodesFile == nullptr || namesFile == nullptr || idsFile == nullptr) {
        std::perror(folder.c_str());
        return 1;
    }
    static char buffer[3][1 << 20];
    std::setvbuf(nodesFile, buffer[0], _IOFBF, sizeof buffer[0]);
    std::setvbuf(namesFile, buffer[1], _IOFBF, sizeof buffer[1]);

    long nameLines = 0;
    int maxDepth = 0;
    for (int32_t at = 0; at < count; ++at) {
        const int32_t i = indexById[static_cast<size_t>(at)];
        const Node& n = nodes[static_cast<size_t>(i)];
        const int32_t taxId = idOfIndex[static_cast<size_t>(i)];
        const int32_t parentId = idOfIndex[static_cast<size_t>(n.parent)];
        maxDepth = std::max(maxDepth, static_cast<int>(n.depth));
        const char* rank = i == 0 ? "no rank"
                           : n.inner ? kInnerRanks[std::min<int>(n.depth - 1, 14)]
                           : nodes[static_cast<size_t>(n.parent)].inner ? "species"
                                                                         : "strain";
        const int division = static_cast<int>(r.below(12));
        const int code = r.chance(70) ? 11 : (r.chance(80) ? 1 : static_cast<int>(2 + r.below(24)));
        const int mitoCode = code == 11 ? 0 : (r.chance(50) ? 2 : 5);
        std::fprintf(nodesFile, "%d\t|\t%d\t|\t%s\t|\t%s\t|\t%d\t|\t%d\t|\t%d\t|\t%d\t|\t%d\t|\t%d\t|\t%d\t|\t%d\t|\t\t|\n",
                     taxId, parentId, rank, n.inner ? "" : "XX", division, i == 0 ? 0 : 1, code, i == 0 ? 0 : 1,
                     mitoCode, i == 0 ? 0 : 1, r.chance(5) ? 1 : 0, 0);

        const std::string& name = scientific[static_cast<size_t>(i)];
        // Unique-name column: set when the text repeats, as NCBI does.
        std::string unique;
        if (seen[name] > 1) unique = name + " <" + rank + ">";
        std::fprintf(namesFile, "%d\t|\t%s\t|\t%s\t|\tscientific name\t|\n", taxId, name.c_str(), unique.c_str());
        ++nameLines;
        // About 1.2 further names per 2.7 nodes.
        int extra = 0;
        const uint32_t roll = r.below(1000);
        if (roll < 250) extra = 1;
        else if (roll < 300) extra = 2;
        else if (roll < 320) extra = 4;
        for (int e = 0; e < extra; ++e) {
            const uint32_t kind = r.below(100);
            std::string other;
            const char* cls;
            if (kind < 30) {
                cls = "synonym";
                other = capitalised(word(r, 2, 3, "us")) + " " + word(r, 2, 4, "is");
            } else if (kind < 45) {
                cls = "authority";
                other = name + " " + kAuthors[r.below(8)] + ", " + std::to_string(1750 + r.below(270));
            } else if (kind < 55) {
                cls = "genbank common name";
                other = word(r, 1, 2, "") + " " + kCommonWords[r.below(12)];
            } else if (kind < 63) {
                cls = "common name";
                other = word(r, 1, 3, "") + " " + kCommonWords[r.below(12)];
            } else if (kind < 71) {
                cls = "includes";
                other = name.substr(0, name.find(' ')) + " sp. " + std::to_string(r.below(10000));
            } else if (kind < 79) {
                cls = "equivalent name";
                other = name + " subsp. " + word(r, 2, 3, "is");
            } else if (kind < 90) {
                cls = "type material";
                other = std::string(r.chance(50) ? "ATCC " : "DSM ") + std::to_string(r.below(100000));
            } else if (kind < 94) {
                cls = "misspelling";
                other = name + "e";
            } else if (kind < 97) {
                cls = "acronym";
                other = word(r, 1, 1, "").substr(0, 2) + std::to_string(r.below(1000));
            } else if (kind < 99) {
                cls = "blast name";
                other = word(r, 1, 2, "s");
            } else {
                cls = "in-part";
                other = capitalised(word(r, 2, 3, "ia"));
            }
            std::fprintf(namesFile, "%d\t|\t%s\t|\t\t|\t%s\t|\n", taxId, other.c_str(), cls);
            ++nameLines;
        }
    }
    // The batch request: IDs spread over the whole dump, repeats allowed.
    for (int k = 0; k < kRequestIds; ++k) std::fprintf(idsFile, "%d\n", ids[r.below(static_cast<uint32_t>(count))]);
    const bool failed = std::fclose(nodesFile) != 0 || std::fclose(namesFile) != 0 || std::fclose(idsFile) != 0;
    if (failed) {
        std::perror("write");
        return 1;
    }
    std::printf("%d nodes, %ld name lines, deepest lineage %d steps\n", count, nameLines, maxDepth);
    return 0;
}
