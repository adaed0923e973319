#include "database/taxonomy_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/error_reporter.h"
#include "config/bv_configfile.h"
#include "config/bv_sectionlines.h"
#include "database/seq_iter.h"
#include "database/taxonomy_rules.h"
#include "support/control_file_writer.h"
#include "support/database_writer.h"
#include "support/fixture_install.h"

using namespace brenvik;
using tarvex_test::ControlFileWriter;
using tarvex_test::DatabaseWriter;
using tarvex_test::FixtureInstall;
using tarvex_test::WorkingFolder;

namespace {

// 1 root; 2 a class with order 3 (species 4) and species 5; 6 elsewhere;
// 7 and 8 point at each other.
std::string nodeLine(int id, int parent) {
    return std::to_string(id) + "\t|\t" + std::to_string(parent) +
           "\t|\tno rank\t|\t\t|\t0\t|\t0\t|\t1\t|\t0\t|\t0\t|\t0\t|\t0\t|\t0\t|\t\t|\n";
}

class TaxonomyIndexTest : public ::testing::Test {
protected:
    void SetUp() override {
        errorReporter.exitOnFatal = false;
        errorReporter.toPage = false;
        errorReporter.toMail = false;
        install.write("taxonomy/nodes.dmp", nodeLine(1, 1) + nodeLine(2, 1) + nodeLine(3, 2) + nodeLine(4, 3) +
                                                nodeLine(5, 2) + nodeLine(6, 1) + nodeLine(7, 8) + nodeLine(8, 7));
        lines = std::make_unique<bv_textlines>(
            "Databases\nend\nPARSE\nend\nWWW\nend\nCluster\nend\nUniGene\nend\nOptions\nend\nCron\nend\n"
            "Taxonomy_1\nEnabled 1\nNodesFiles NCBI:nodes.dmp\nend\n");
        config.parseSections(*lines);
        section = config.taxonomySection(1);
        ASSERT_NE(section, nullptr);
        const TaxonomyNodesSection s{{"nodes.dmp"}, false};
        std::string errorText;
        nodes = loadTaxonomyNodes(-1, &s, errorText, true);
        ASSERT_TRUE(nodes->isOk()) << errorText;
    }
    void TearDown() override {
        sequenceSelection().clear();
        errorReporter.exitOnFatal = true;
        errorReporter.toPage = true;
        errorReporter.toMail = true;
    }

    static TaxonomyChoice choice(std::vector<int32_t> include, std::vector<int32_t> exclude) {
        TaxonomyChoice c{};
        for (int32_t id : include) c.includeIds[c.includeCount++] = id;
        for (int32_t id : exclude) c.excludeIds[c.excludeCount++] = id;
        return c;
    }

    // Five sequences: species 4, species 5, only ID 1, no IDs, 6 and 5.
    DatabaseWriter& database() {
        db = std::make_unique<DatabaseWriter>("TaxDB", install.file("sequence/TaxDB"));
        db->setFasta(">S1\nMK\n>S2\nMK\n>S3\nMK\n>S4\nMK\n>S5\nMK\n").setTaxonomySection(1);
        db->setTaxIds(0, {4}).setTaxIds(1, {5}).setTaxIds(2, {1}).setTaxIds(3, {}).setTaxIds(4, {6, 5});
        EXPECT_TRUE(db->write());
        return *db;
    }

    FixtureInstall install{"taxindex"};
    WorkingFolder cwd{install.cgiDir()};
    std::unique_ptr<bv_textlines> lines;
    bv_configfile config;
    const bv_taxonomyoptions* section = nullptr;
    std::unique_ptr<CTaxonomyNodeSet> nodes;
    std::unique_ptr<DatabaseWriter> db;
};

TEST_F(TaxonomyIndexTest, ChoiceFileIsReadWithinItsRecords) {
    std::string ids;
    for (int i = 1; i <= 25; ++i) ids += std::to_string(100 + i) + ",";
    install.write("config/taxonomy",
                  "# comment\n"
                  "Include: 9\n"  // before any TITLE: no record to go to
                  "title:  >-Mammals\n"
                  "Include: 0 40674, 0\tabc\n"
                  "EXCLUDE: 9443\n"
                  "*\n"
                  "   \n"
                  "TITLE:" + std::string(300, 'L') + "\n"
                  "Include: " + ids + "\n"
                  "*\n"
                  "TITLE: never closed\n"
                  "Include: 5\n");
    TaxonomyChoiceTable table;
    readTaxonomyChoices(table, true);
    ASSERT_EQ(table.count, 2);
    EXPECT_STREQ(table.choices[0]->title, "Mammals");
    ASSERT_EQ(table.choices[0]->includeCount, 1);
    EXPECT_EQ(table.choices[0]->includeIds[0], 40674);
    ASSERT_EQ(table.choices[0]->excludeCount, 1);
    EXPECT_EQ(table.choices[0]->excludeIds[0], 9443);
    EXPECT_EQ(std::string(table.choices[1]->title), std::string(127, 'L'));
    EXPECT_EQ(table.choices[1]->includeCount, 20);
    EXPECT_EQ(table.choices[1]->includeIds[19], 120);
    freeTaxonomyChoices(table);
    EXPECT_EQ(table.count, 0);

    std::string many;
    for (int i = 0; i < 300; ++i) many += "TITLE: c" + std::to_string(i) + "\nInclude: 1\n*\n";
    install.write("config/taxonomy", many);
    readTaxonomyChoices(table, false);
    EXPECT_EQ(table.count, 256);
    freeTaxonomyChoices(table);
}

TEST_F(TaxonomyIndexTest, ChoiceKeys) {
    EXPECT_EQ(makeTaxonomyChoiceKey(choice({1, 2}, {3, 4})), "Inc:1 2_3  4 ");
    EXPECT_EQ(makeTaxonomyChoiceKey(choice({40674}, {})), "Inc:40674");
    TaxonomyChoice a = choice({1, 2}, {3}), b = choice({1, 2}, {3});
    std::strcpy(a.title, "one");
    std::strcpy(b.title, "two");
    EXPECT_TRUE(a.sameIds(b));
    EXPECT_EQ(makeTaxonomyChoiceKey(a), makeTaxonomyChoiceKey(b));
    EXPECT_FALSE(a.sameIds(choice({2, 1}, {3})));
}

TEST_F(TaxonomyIndexTest, SelectionFollowsTheLineage) {
    const TaxonomyChoice classWithoutOrder = choice({2}, {3});
    struct Case {
        int32_t id;
        bool selected;
    };
    const Case cases[] = {{4, false}, {5, true}, {3, false}, {2, true}, {6, false},
                          {1, true},  {0, true}, {999, false}, {7, false}, {-3, false}};
    for (const Case& c : cases) EXPECT_EQ(isTaxIdSelected(c.id, &classWithoutOrder, nodes.get()), c.selected) << c.id;
    EXPECT_TRUE(isTaxIdSelected(4, nullptr, nodes.get()));
    const TaxonomyChoice cycle = choice({8}, {});
    EXPECT_TRUE(isTaxIdSelected(7, &cycle, nodes.get()));  // the walk ends at the repeat
}

TEST_F(TaxonomyIndexTest, BitVectorsFromTheTaxonomyIdFile) {
    database();
    CTaxonomyIndexFile index(db->path(DB_FILE_TAXIDS), 5, 0, -1, section);
    const TaxonomyChoice a = choice({2}, {3}), everything = choice({1}, {});
    const TaxonomyChoice* both[2] = {&a, &everything};
    std::vector<std::vector<bool>> bits;
    ASSERT_TRUE(index.getBoolVectorsFromT00File(2, both, bits));
    EXPECT_EQ(bits[0], (std::vector<bool>{false, true, true, false, true}));
    EXPECT_EQ(bits[1], (std::vector<bool>{true, true, true, false, true}));

    std::vector<const TaxonomyChoice*> tooMany(33, &a);
    EXPECT_FALSE(index.getBoolVectorsFromT00File(33, tooMany.data(), bits));
    EXPECT_EQ(index.getNumResidues(), 10u);  // from the statistics file
}

// Lists that do not fit the file end the readable part: the sequences from
// there on are in no choice.
TEST_F(TaxonomyIndexTest, DamagedTaxonomyIdFileGivesNoBitsPastTheDamage) {
    const TaxonomyChoice everything = choice({1}, {});
    const TaxonomyChoice* one[1] = {&everything};
    struct Case {
        const char* what;
        int64_t offset;  // where 0x7fffffff is written, or -1
        int64_t size;    // new file size, or -1
        std::vector<bool> bits;
    };
    const Case cases[] = {
        {"huge count of the third list", 16, -1, {true, true, false, false, false}},
        {"negative count of the third list", 16 + 3, -1, {true, true, false, false, false}},
        {"last list cut", -1, 30, {true, true, true, false, false}},
        {"empty file", -1, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        database();
        const std::string t00 = db->path(DB_FILE_TAXIDS);
        if (c.offset >= 0) {
            std::fstream f(t00, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(c.offset);
            f.write(c.offset == 16 ? "\xff\xff\xff\x7f" : "\xff", c.offset == 16 ? 4 : 1);
        }
        if (c.size >= 0) std::filesystem::resize_file(t00, static_cast<uintmax_t>(c.size));
        CTaxonomyIndexFile index(t00, 5, 0, -1, section);
        std::vector<std::vector<bool>> bits;
        ASSERT_TRUE(index.getBoolVectorsFromT00File(1, one, bits));
        EXPECT_EQ(bits[0], c.bits);
    }
    // A control-file count far beyond the lists: no bits for sequences the
    // file cannot describe.
    database();
    CTaxonomyIndexFile inflated(db->path(DB_FILE_TAXIDS), INT32_MAX, 0, -1, section);
    std::vector<std::vector<bool>> few;
    ASSERT_TRUE(inflated.getBoolVectorsFromT00File(1, one, few));
    EXPECT_EQ(few[0].size(), 10u);  // 40 bytes of lists
    EXPECT_EQ(std::vector<bool>(few[0].begin(), few[0].begin() + 5), (std::vector<bool>{true, true, true, false, true}));

    CTaxonomyIndexFile missing(install.file("sequence/none.t00"), 5, 0, -1, section);
    std::vector<std::vector<bool>> bits;
    EXPECT_FALSE(missing.getBoolVectorsFromT00File(1, one, bits));
    EXPECT_NE(install.read("logs/errorlog.txt").find("none.t00"), std::string::npos);
}

// A node set that cannot be used (a section without nodes files) is
// reported with its error text; the vectors select only the sequences whose
// one ID is the root.
TEST_F(TaxonomyIndexTest, UnusableNodeSetIsReported) {
    database();
    bv_textlines bareLines("Databases\nend\nPARSE\nend\nWWW\nend\nCluster\nend\nUniGene\nend\nOptions\nend\n"
                           "Cron\nend\nTaxonomy_1\nEnabled 1\nend\n");
    bv_configfile bare;
    bare.parseSections(bareLines);
    CTaxonomyIndexFile index(db->path(DB_FILE_TAXIDS), 5, 0, -1, bare.taxonomySection(1));
    const TaxonomyChoice everything = choice({1}, {});
    const TaxonomyChoice* one[1] = {&everything};
    std::vector<std::vector<bool>> bits;
    ASSERT_TRUE(index.getBoolVectorsFromT00File(1, one, bits));
    EXPECT_EQ(bits[0], (std::vector<bool>{false, false, true, false, false}));
    const std::string log = install.read("logs/errorlog.txt");
    const std::size_t at = log.find("X01869:taxonomy]");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find("   - Taxonomy node file error: Empty taxonomy tree nodes. No taxonomy files are used.No index "
                       "files are used.",
                       at),
              std::string::npos)
        << log;
}

TEST_F(TaxonomyIndexTest, IndexFileIsBuiltOnceAndAnswersLater) {
    database();
    install.write("config/taxonomy", "TITLE: class\nInclude: 2\nExclude: 3\n*\nTITLE: same ids\nInclude: 2\nExclude: 3\n*\n");
    const TaxonomyChoice a = choice({2}, {3});
    std::vector<bool> bits;
    {
        CTaxonomyIndexFile index(db->path(DB_FILE_TAXIDS), 5, 0, -1, section);
        int progress = 0;
        ASSERT_TRUE(index.createIndexFile(&progress, &a, &bits));
        EXPECT_EQ(progress, 100);
        EXPECT_EQ(bits, (std::vector<bool>{false, true, true, false, true}));
    }
    ASSERT_TRUE(std::filesystem::exists(db->path(DB_FILE_TAXINDEX)));
    bv_cachefile cache(db->path(DB_FILE_TAXINDEX).c_str(), "1.0", db->path(DB_FILE_TAXIDS).c_str());
    ASSERT_TRUE(cache.open(false));
    EXPECT_EQ(cache.getAllValues(makeTaxonomyChoiceKey(a)).size(), 2u);  // one key for both titles
    bool found = false;
    EXPECT_EQ(cache.getInt("num_sequences", found), 5u);
    cache.close();

    CTaxonomyIndexFile again(db->path(DB_FILE_TAXIDS), 5, 0, -1, section);
    ASSERT_TRUE(again.getBoolVectors(a, bits));
    EXPECT_EQ(bits, (std::vector<bool>{false, true, true, false, true}));
    // A choice added later is computed from the lists, not stored.
    ASSERT_TRUE(again.getBoolVectors(choice({6}, {}), bits));
    EXPECT_EQ(bits, (std::vector<bool>{false, false, true, false, true}));  // only ID 1: in every choice
}

TEST_F(TaxonomyIndexTest, IteratorWithAChoiceVisitsOnlySelectedSequences) {
    database();
    ControlFileWriter control;
    const int e = control.addEntry("TaxDB");
    db->fillControlEntry(control, e, false);
    TAXONOMY_RULES rules;
    rules.loadFromSection(section);
    const TaxonomyChoice a = choice({2}, {3});
    CSequenceIterator it;
    int32_t counter = -1;
    SequenceIteratorOptions options;
    options.flags = ITER_ACCESSIONS | ITER_PLAIN_COUNTER | ITER_TAXIDS;
    options.rules = &rules;
    options.choice = &a;
    options.shareWith = &it;  // builds the selection
    options.counter = &counter;
    it.open(&control.half(e, 0), options);
    std::vector<bool> seen = {it.isSelected()};
    while (it.next(true)) seen.push_back(it.isSelected());
    EXPECT_EQ(seen, (std::vector<bool>{false, true, true, false, true}));
    EXPECT_EQ(it.totalLength(), 10);
    it.close();
}

}  // namespace
