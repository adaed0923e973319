#include "database/taxonomy_tree.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "common/error_reporter.h"
#include "database/species_names.h"
#include "support/fake_clock.h"
#include "support/taxonomy_fixture.h"
#include "support/reporter_switches.h"

namespace {

using brenvik::bv_taxonomytree;
using tarvex_test::TaxonomyInstall;

std::string nodeLine(int id, int parent, int code, int mito) {
    return std::to_string(id) + "\t|\t" + std::to_string(parent) + "\t|\tno rank\t|\t\t|\t0\t|\t0\t|\t" +
           std::to_string(code) + "\t|\t1\t|\t" + std::to_string(mito) + "\t|\t1\t|\t0\t|\t0\t|\t\t|\n";
}

TaxonomyNodesSection sectionOf(std::vector<std::string> files, bool mito = false) {
    TaxonomyNodesSection section;
    section.nodesFiles = std::move(files);
    section.mitochondrialTranslation = mito;
    return section;
}

struct Expect {
    int id;
    bool found;
    int parent;
    int table;
};

void checkParents(CTaxonomyNodeSet& nodes, const std::vector<Expect>& cases, bool forceMemory = false) {
    for (const Expect& e : cases) {
        int parent = -7, table = -7;
        EXPECT_EQ(nodes.getParent(e.id, parent, table, forceMemory), e.found) << e.id;
        if (e.found) {
            EXPECT_EQ(parent, e.parent) << e.id;
            EXPECT_EQ(table, e.table) << e.id;
        }
    }
}

// The same answers from the parsed files and from the caches.
TEST(TaxonomyTree, RealNcbiNodesWithAndWithoutCaches) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.copyFixture("nodes.dmp");
    install.copyFixture("human_nodes.dmp");
    const TaxonomyNodesSection section = sectionOf({"nodes.dmp", "human_nodes.dmp"});
    const std::vector<Expect> cases = {
        {10239, true, 1, 1},   {29258, true, 10239, 1}, {11989, true, 35278, 11}, {154784, true, 39802, 11},
        {9606, true, 9605, 1}, {9443, true, 40674, 1},
    };

    {
        bv_taxonomytree memory(&section, "../taxonomy", false, false);
        EXPECT_TRUE(memory.isValid());
        EXPECT_FALSE(memory.usesIndex());
        int parent = 0, table = 0;
        EXPECT_TRUE(memory.getParent(9606, parent, table));
        EXPECT_EQ(parent, 9605);
        EXPECT_FALSE(memory.getParent(1 << 25, parent, table));
        EXPECT_EQ(parent, 0);
        EXPECT_EQ(table, 1);
    }

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "building the caches" : "reading the caches");
        std::string errorText;
        auto nodes = loadTaxonomyNodes(-14, &section, errorText, false);
        ASSERT_TRUE(nodes->isOk()) << errorText;
        EXPECT_TRUE(nodes->isIndexMode());
        EXPECT_EQ(nodes->nodeCount(), 0u);
        checkParents(*nodes, cases);
        checkParents(*nodes, {{1, true, 0, 1}, {0, true, 0, 1}, {-5, true, 0, 1}, {424242, false, 0, 1}});
        if (run == 0) {
            // the first build reports the missing caches
            EXPECT_NE(errorText.find("Taxonomy node file error"), std::string::npos) << errorText;
        } else {
            EXPECT_EQ(errorText, "");
        }
        EXPECT_TRUE(tarvex_test::pathExists(install.path("nodes.dmp.cdb")));
        EXPECT_TRUE(tarvex_test::pathExists(install.path("human_nodes.dmp.cdb")));
    }
}

// A request opens the caches once: look-ups neither open them again nor
// report the tree's messages again.
TEST(TaxonomyTree, NodeSetKeepsItsCachesOpenForTheRequest) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.copyFixture("human_nodes.dmp");
    const TaxonomyNodesSection section = sectionOf({"human_nodes.dmp"});
    std::string errorText;
    auto nodes = loadTaxonomyNodes(-14, &section, errorText, false);
    ASSERT_TRUE(nodes->isIndexMode());
    EXPECT_EQ(errorReporter.getLastNumber(), 539);  // the missing cache, reported at the load
    errorReporter.report(246, -14, 1, "test", "marker");
    ASSERT_EQ(unlink(install.path("human_nodes.dmp.cdb").c_str()), 0);

    EXPECT_EQ(nodes->getLineage(9606), (std::vector<int>{9606, 9605, 9604, 9443, 40674, 7711, 33208, 33154, 2759,
                                                          131567, 1}));
    checkParents(*nodes, {{33208, true, 33154, 1}});
    EXPECT_FALSE(tarvex_test::pathExists(install.path("human_nodes.dmp.cdb")));
    EXPECT_EQ(errorReporter.getLastNumber(), 246);
}

TEST(TaxonomyTree, MitochondrialSwitchTakesTheNinthColumn) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.copyFixture("human_nodes.dmp");
    for (bool mito : {false, true}) {
        const TaxonomyNodesSection section = sectionOf({"human_nodes.dmp"}, mito);
        std::string errorText;
        auto nodes = loadTaxonomyNodes(-13, &section, errorText, true);
        ASSERT_TRUE(nodes->isOk());
        checkParents(*nodes, {{9606, true, 9605, mito ? 2 : 1}, {33208, true, 33154, mito ? 5 : 1}});
        // the cache was built for the first switch; drop it for the second
        unlink(install.path("human_nodes.dmp.cdb").c_str());
    }
}

TEST(TaxonomyTree, CacheHoldsFourByteKeysAndEightByteValues) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("n.dmp", nodeLine(1, 1, 1, 1) + nodeLine(300, 1, 11, 4));
    const TaxonomyNodesSection section = sectionOf({"n.dmp"});
    std::string errorText;
    ASSERT_TRUE(loadTaxonomyNodes(-1, &section, errorText, false)->isOk());

    brenvik::bv_cachefile cache(install.relative("n.dmp.cdb").c_str(), "1.0", install.relative("n.dmp").c_str());
    ASSERT_TRUE(cache.open(false)) << cache.getLastErrorString();
    const std::string key("\x2c\x01\x00\x00", 4);  // 300 little-endian
    EXPECT_EQ(cache.getValue(key, 0), std::string("\x01\x00\x00\x00\x0b\x00\x00\x00", 8));
    // the root is its own parent and is stored like any node with a parent
    EXPECT_EQ(cache.getValue(std::string("\x01\x00\x00\x00", 4), 0).size(), 8u);
    EXPECT_EQ(cache.getValue(std::string("\x02\x00\x00\x00", 4), 0), "");
}

TEST(TaxonomyTree, StaleCacheIsRebuilt) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("n.dmp", nodeLine(1, 1, 1, 1) + nodeLine(50, 1, 2, 2));
    const TaxonomyNodesSection section = sectionOf({"n.dmp"});
    std::string errorText;
    checkParents(*loadTaxonomyNodes(-1, &section, errorText, false), {{50, true, 1, 2}});
    install.write("n.dmp", nodeLine(1, 1, 1, 1) + nodeLine(50, 7, 3, 3) + nodeLine(7, 1, 1, 1));
    errorText.clear();
    auto nodes = loadTaxonomyNodes(-1, &section, errorText, false);
    EXPECT_TRUE(nodes->isIndexMode());
    checkParents(*nodes, {{50, true, 7, 3}, {7, true, 1, 1}});
    EXPECT_NE(errorText.find("changed"), std::string::npos) << errorText;
}

TEST(TaxonomyTree, CacheHeldByAnotherProcessFallsBackToMemory) {
    tarvex_test::QuietReporter quiet;
    // The wait for another task's build passes in no time.
    const tarvex_test::FakeClock clock;
    TaxonomyInstall install;
    install.write("n.dmp", nodeLine(1, 1, 1, 1) + nodeLine(50, 1, 2, 2));
    install.write("n.dmp.cdb", "");
    auto builder = std::make_unique<tarvex_test::ForeignCacheLock>(install.path("n.dmp.cdb"));
    ASSERT_TRUE(builder->held());

    const TaxonomyNodesSection section = sectionOf({"n.dmp"});
    std::string errorText;
    auto nodes = loadTaxonomyNodes(-1, &section, errorText, false);
    builder.reset();
    EXPECT_TRUE(nodes->isOk());
    EXPECT_FALSE(nodes->isIndexMode());
    checkParents(*nodes, {{50, true, 1, 2}, {49, true, 0, 1}, {1000, false, 0, 1}});
    EXPECT_NE(errorText.find("being created by another task"), std::string::npos) << errorText;
}

TEST(TaxonomyTree, CacheThatCannotBeWrittenFallsBackToMemory) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("n.dmp", nodeLine(1, 1, 1, 1) + nodeLine(50, 1, 2, 2));
    // A folder where the cache should be: it can be neither read nor replaced.
    tarvex_test::writeFile(install.path("n.dmp.cdb/x"), "");
    const TaxonomyNodesSection section = sectionOf({"n.dmp"});
    std::string errorText;
    auto nodes = loadTaxonomyNodes(-1, &section, errorText, false);
    EXPECT_TRUE(nodes->isOk()) << errorText;
    EXPECT_FALSE(nodes->isIndexMode());
    checkParents(*nodes, {{50, true, 1, 2}});
}

TEST(TaxonomyTree, LineRulesOfTheNodesFormat) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    std::string file;
    file += " 5\t|\t1\t|\tleading blank: skipped\n";
    file += "#6\t|\t1\t|\tcomment: skipped\n";
    file += "\n";
    file += "7\t|\t1\t|\tno rank\t|\n";          // fewer than six separators: table 1
    file += nodeLine(8, 7, 0, 0);                 // table column 0 reads 1
    file += nodeLine(9, 8, -4, 3);
    file += "10\t|\t9\t|\ta\t|\t\t|\t0\t|\t0\t|\t25\t|\t1\t|\t4\t|\t1\t|\t0\t|\r\n";  // CR LF
    install.write("n.dmp", file);
    const TaxonomyNodesSection section = sectionOf({"n.dmp"});
    bv_taxonomytree tree(&section, "../taxonomy", false, false);
    EXPECT_TRUE(tree.isValid());
    EXPECT_EQ(tree.getNumberOfErrors(), 0) << tree.getLastErrorString();
    int parent = 0, table = 0;
    EXPECT_FALSE(tree.getParent(5, parent, table));
    EXPECT_FALSE(tree.getParent(6, parent, table));
    const std::vector<Expect> cases = {{7, true, 1, 1}, {8, true, 7, 1}, {9, true, 8, 1}, {10, true, 9, 25}};
    for (const Expect& e : cases) {
        EXPECT_TRUE(tree.getParent(e.id, parent, table)) << e.id;
        EXPECT_EQ(parent, e.parent) << e.id;
        EXPECT_EQ(table, e.table) << e.id;
    }
    // the array grows by (c + 10) * 1.5 from 0: 15, 37 holds ID 10
    EXPECT_EQ(tree.nodeCount(), 15u);
}

TEST(TaxonomyTree, InvalidLinesAndHugeIdsMakeTheTreeInvalid) {
    tarvex_test::QuietReporter quiet;
    const char* bad[] = {"12\t|\tx\t|\n", "67108864\t|\t1\t|\n", "99999999999\t|\t1\t|\n"};
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        TaxonomyInstall install;
        install.write("n.dmp", nodeLine(1, 1, 1, 1) + line);
        const TaxonomyNodesSection section = sectionOf({"n.dmp"});
        bv_taxonomytree tree(&section, "../taxonomy", false, false);
        EXPECT_FALSE(tree.isValid());
        EXPECT_EQ(tree.getLastError(), 0x0B06);
        EXPECT_LT(tree.nodeCount(), 100u);
        std::string errorText;
        EXPECT_FALSE(loadTaxonomyNodes(-1, &section, errorText, false)->isOk());
        EXPECT_NE(errorText.find("Invalid line"), std::string::npos) << errorText;
    }
}

TEST(TaxonomyTree, ConflictingFilesLaterWins) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("a.dmp", nodeLine(1, 1, 1, 1) + nodeLine(20, 1, 1, 1));
    install.write("b.dmp", nodeLine(20, 3, 4, 4) + nodeLine(3, 1, 1, 1));
    const TaxonomyNodesSection section = sectionOf({"a.dmp", "b.dmp"});
    {
        bv_taxonomytree memory(&section, "../taxonomy", false, false);
        EXPECT_TRUE(memory.isValid());
        EXPECT_EQ(memory.getLastError(), 0x0B05);
        int parent = 0, table = 0;
        EXPECT_TRUE(memory.getParent(20, parent, table));
        EXPECT_EQ(parent, 3);
    }
    std::string errorText;
    auto nodes = loadTaxonomyNodes(-1, &section, errorText, false);
    ASSERT_TRUE(nodes->isIndexMode());
    checkParents(*nodes, {{20, true, 3, 4}, {3, true, 1, 1}});
}

void setModified(const std::string& path, time_t when) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Several files kept in memory: each cache holds its own file's nodes only,
// and the array holds every file's nodes whichever caches were rebuilt.
TEST(TaxonomyTree, KeptInMemoryEveryFileReachesTheArrayAndOnlyItsOwnCache) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("a.dmp", nodeLine(1, 1, 1, 1) + nodeLine(20, 1, 2, 2));
    install.write("b.dmp", nodeLine(200, 1, 4, 4) + nodeLine(3, 1, 1, 1));
    const TaxonomyNodesSection section = sectionOf({"a.dmp", "b.dmp"});
    std::string errorText;
    // Both caches built at once by a kept-in-memory load.
    checkParents(*loadTaxonomyNodes(-1, &section, errorText, true), {{20, true, 1, 2}, {200, true, 1, 4}});
    {
        brenvik::bv_cachefile b(install.relative("b.dmp.cdb").c_str(), "1.0", install.relative("b.dmp").c_str());
        ASSERT_TRUE(b.open(false)) << b.getLastErrorString();
        EXPECT_EQ(b.getValue(std::string("\x14\x00\x00\x00", 4), 0), "");  // node 20 is a.dmp's
        EXPECT_EQ(b.getValue(std::string("\x03\x00\x00\x00", 4), 0).size(), 8u);
    }

    // a.dmp changes (node 20 moves under 5); b.dmp's cache stays valid.
    install.write("a.dmp", nodeLine(1, 1, 1, 1) + nodeLine(20, 5, 2, 2) + nodeLine(5, 1, 1, 1));
    setModified(install.path("a.dmp"), time(nullptr) - 100);
    auto kept = loadTaxonomyNodes(-1, &section, errorText, true);
    ASSERT_TRUE(kept->isOk()) << errorText;
    checkParents(*kept, {{20, true, 5, 2}, {5, true, 1, 1}, {200, true, 1, 4}, {3, true, 1, 1}}, true);
    // Through the caches the changed file's parent holds.
    checkParents(*loadTaxonomyNodes(-1, &section, errorText, false),
                 {{20, true, 5, 2}, {5, true, 1, 1}, {200, true, 1, 4}});
}

TEST(TaxonomyTree, MissingAndEmptyFiles) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("empty.dmp", "");
    const TaxonomyNodesSection section = sectionOf({"absent.dmp", "empty.dmp"});
    bv_taxonomytree memory(&section, "../taxonomy", false, false);
    EXPECT_TRUE(memory.isValid());
    EXPECT_EQ(memory.getLastError(), 0x0B07);
    EXPECT_EQ(memory.getFilesDescription(),
              "Taxonomy files: ../taxonomy/absent.dmp ../taxonomy/empty.dmp. No index files are used.");

    bv_taxonomytree none(nullptr, "../taxonomy", true, false);
    EXPECT_EQ(none.getFilesDescription(), "No taxonomy files are used.No index files are used.");

    std::string errorText;
    auto nodes = loadTaxonomyNodes(-1, &section, errorText, true);
    EXPECT_FALSE(nodes->isOk());
    EXPECT_NE(errorText.find("is missing, empty or cannot be opened"), std::string::npos) << errorText;
}

TEST(TaxonomyTree, LineageStopsAtTheRootAndOnCycles) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.copyFixture("human_nodes.dmp");
    install.write("cycle.dmp", nodeLine(1, 1, 1, 1) + nodeLine(40, 41, 1, 1) + nodeLine(41, 42, 1, 1) +
                                   nodeLine(42, 40, 1, 1) + nodeLine(43, 43, 1, 1));
    const TaxonomyNodesSection human = sectionOf({"human_nodes.dmp"});
    const TaxonomyNodesSection cycle = sectionOf({"cycle.dmp"});
    std::string errorText;
    // through the caches, and through the array that a kept-in-memory set holds
    for (bool memory : {false, true}) {
        SCOPED_TRACE(memory);
        auto nodes = loadTaxonomyNodes(-1, &human, errorText, memory);
        EXPECT_EQ(nodes->getLineage(9606, memory), (std::vector<int>{9606, 9605, 9604, 9443, 40674, 7711, 33208,
                                                                      33154, 2759, 131567, 1}));
        EXPECT_EQ(nodes->getLineage(1, memory), std::vector<int>{1});
        auto loop = loadTaxonomyNodes(-1, &cycle, errorText, memory);
        EXPECT_EQ(loop->getLineage(40, memory), (std::vector<int>{40, 41, 42}));
        EXPECT_EQ(loop->getLineage(43, memory), std::vector<int>{43});
        EXPECT_EQ(loop->getLineage(77, memory), std::vector<int>{77});
    }
}

// A cache that another task is building is waited for, and its finished
// build read, instead of parsing the nodes file a second time.
TEST(TaxonomyTree, CacheBeingBuiltIsWaitedForAndThenRead) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("n.dmp", nodeLine(1, 1, 1, 1) + nodeLine(50, 1, 2, 2));
    const TaxonomyNodesSection section = sectionOf({"n.dmp"});
    std::string errorText;
    loadTaxonomyNodes(-1, &section, errorText, false);
    const std::string built = tarvex_test::readFile(install.path("n.dmp.cdb"));
    ASSERT_FALSE(built.empty());
    // The other task's build: an empty file under its lock, finished a
    // moment later.
    ASSERT_EQ(unlink(install.path("n.dmp.cdb").c_str()), 0);
    install.write("n.dmp.cdb", "");
    auto builder = std::make_unique<tarvex_test::ForeignCacheLock>(install.path("n.dmp.cdb"));
    ASSERT_TRUE(builder->held());
    std::atomic<bool> finished{false};
    std::thread finisher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        tarvex_test::writeFile(install.path("n.dmp.cdb"), built);
        finished = true;
        builder.reset();
    });
    errorText.clear();
    auto nodes = loadTaxonomyNodes(-1, &section, errorText, false);
    // Read only once the other task had let go.
    EXPECT_TRUE(finished);
    finisher.join();
    EXPECT_TRUE(nodes->isOk()) << errorText;
    EXPECT_TRUE(nodes->isIndexMode());
    EXPECT_EQ(errorText, "");
    checkParents(*nodes, {{50, true, 1, 2}, {49, false, 0, 1}});
}

// Many lineage steps read the caches' nodes from memory: every parent and
// every lineage, with the names that the report's cache road gives for it,
// is the same as through the caches, on the NCBI sample dump (two nodes
// files, so the later file's caches win).
TEST(TaxonomyTree, NodesHeldInMemoryAnswerLikeTheCaches) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    for (const char* name : {"nodes.dmp", "human_nodes.dmp", "names.dmp", "human_names.dmp"})
        install.copyFixture(name);
    install.write("later.dmp", nodeLine(9606, 2759, 2, 2) + nodeLine(10239, 1, 11, 1));
    const TaxonomyNodesSection section = sectionOf({"nodes.dmp", "human_nodes.dmp", "later.dmp"});
    std::string errorText;
    loadTaxonomyNodes(-1, &section, errorText, false);  // builds the caches
    auto throughCaches = loadTaxonomyNodes(-1, &section, errorText, false);
    auto inMemory = loadTaxonomyNodes(-1, &section, errorText, false);
    ASSERT_TRUE(throughCaches->isIndexMode());
    ASSERT_TRUE(inMemory->holdCachesInMemory());

    const std::vector<SpeciesFileRecord> files = {{SPECIES_NCBI, "names.dmp"}, {SPECIES_NCBI, "human_names.dmp"}};
    SpeciesNamesById built;
    ASSERT_TRUE(built.load(files, nullptr, -1, errorText));
    SpeciesNamesById fromCaches;
    ASSERT_TRUE(fromCaches.load(files, nullptr, -1, errorText));
    ASSERT_TRUE(fromCaches.usesCaches());
    CSpeciesNameLists names;
    names.sortTables = false;
    ASSERT_TRUE(loadSpeciesFiles(files, names, SpeciesLoadOptions{}, errorText).clean);

    bv_taxonomytree parsed(&section, "../taxonomy", false, false);
    // Every ID of the files and the IDs either side of each, every ID up to
    // the later file's, the ends of the tree, IDs the tree cannot hold, and
    // the IDs that the caches' own four-byte header keys spell. (An ID no
    // file names takes one road wherever it lies: a look-up of each of the
    // tree's million slots would check the same miss a million times.)
    std::vector<int> ids = {-5, 424242, (1 << 26) - 1, 1 << 26, 0x322E303D, 0x342E303D, 0x362E303D};
    for (size_t id = parsed.nodeCount() - 2; id < parsed.nodeCount() + 2; ++id) ids.push_back(static_cast<int>(id));
    for (int id = 0; id <= 10240; ++id) ids.push_back(id);
    for (const char* file : {"nodes.dmp", "human_nodes.dmp"}) {
        std::istringstream lines(tarvex_test::taxonomyFixture(file));
        for (std::string line; std::getline(lines, line);)
            for (int near : {-1, 0, 1}) ids.push_back(std::atoi(line.c_str()) + near);
    }
    size_t lineageSteps = 0;
    for (int id : ids) {
        int parent1 = -7, table1 = -7, parent2 = -7, table2 = -7;
        EXPECT_EQ(inMemory->getParent(id, parent1, table1), throughCaches->getParent(id, parent2, table2)) << id;
        EXPECT_EQ(parent1, parent2) << id;
        EXPECT_EQ(table1, table2) << id;
        const std::vector<int> lineage = throughCaches->getLineage(id);
        ASSERT_EQ(inMemory->getLineage(id), lineage) << id;
        lineageSteps += lineage.size();
        for (int step : lineage) {
            const char* cached = fromCaches.scientificNameOf(step);
            const char* name = names.scientificNameOf(step);
            EXPECT_EQ(name == nullptr ? "(none)" : std::string(name), cached == nullptr ? "(none)" : std::string(cached))
                << step;
        }
    }
    EXPECT_GT(lineageSteps, 40u);
    EXPECT_EQ(inMemory->getLineage(9606), (std::vector<int>{9606, 2759, 131567, 1}));
}

}  // namespace
