#include "database/acc_to_taxid.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/error_reporter.h"
#include "support/taxonomy_fixture.h"
#include "support/reporter_switches.h"

namespace {

using brenvik::bv_cachefile;
using tarvex_test::pathExists;
using tarvex_test::TaxonomyInstall;

uint32_t partInt(const std::string& partName, const std::string& source, const std::string& key, bool& found) {
    bv_cachefile part(partName.c_str(), "1.0", source.c_str());
    found = false;
    if (!part.open(false)) return 0;
    return part.getInt(key, found);
}

TEST(AccToTaxidIndex, FewPairsMakeOnePart) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    // Numbers as "%d" reads them: a sign, leading zeros, clamped to 32 bits.
    install.write("acc.txt",
                  "P12345\t9606\nQ99999 10239\n  NC_001422.1\t\t374840\nBIG 4294967\nZEROS +000000000000000042\n"
                  "NEG -12\nHUGE 000123456789012345678901\nLOW -99999999999\n");
    const std::string path = TaxonomyInstall::relative("acc.txt");
    std::string errorText;
    {
        CAccToTaxidIndex index(path, 5, errorText, 1);
        EXPECT_TRUE(index.usable);
        EXPECT_EQ(index.partCount, 1);
        EXPECT_EQ(index.getPartFileName(0), "../taxonomy/acc.txt_0.cdb");
    }
    EXPECT_EQ(errorText, "");
    ASSERT_TRUE(pathExists(install.path("acc.txt_0.cdb")));
    EXPECT_FALSE(pathExists(install.path("acc.txt_1.cdb")));
    const struct {
        const char* key;
        uint32_t value;
    } cases[] = {{"P12345", 9606}, {"Q99999", 10239}, {"NC_001422.1", 374840}, {"BIG", 4294967},
                 {"ZEROS", 42},         {"NEG", static_cast<uint32_t>(-12)},  {"HUGE", 0x7FFFFFFF},
                 {"LOW", 0x80000000u},  {"KEY_NUM_CDB_FILES", 1}};
    for (const auto& c : cases) {
        bool found = false;
        EXPECT_EQ(partInt(install.path("acc.txt_0.cdb"), install.path("acc.txt"), c.key, found), c.value) << c.key;
        EXPECT_TRUE(found) << c.key;
    }
}

TEST(AccToTaxidIndex, HeaderLineEndsThePairs) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("acc.txt", "accession taxid\nP12345 9606\n");
    std::string errorText;
    CAccToTaxidIndex index(TaxonomyInstall::relative("acc.txt"), 5, errorText, 1);
    EXPECT_TRUE(index.usable);
    EXPECT_EQ(index.partCount, 1);
    bool found = true;
    partInt(install.path("acc.txt_0.cdb"), install.path("acc.txt"), "P12345", found);
    EXPECT_FALSE(found);
    partInt(install.path("acc.txt_0.cdb"), install.path("acc.txt"), "accession", found);
    EXPECT_FALSE(found);
}

TEST(AccToTaxidIndex, SplitsIntoPartsAtTheSizeLimit) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    std::string pairs;
    for (int i = 0; i < 10; ++i) pairs += "ACC" + std::to_string(i) + " " + std::to_string(100 + i) + "\n";
    install.write("acc.txt", pairs);
    // each pair counts 4 + 28 = 32 bytes: a limit of 100 starts a new part after 4 pairs
    std::string errorText;
    {
        CAccToTaxidIndex index(TaxonomyInstall::relative("acc.txt"), 5, errorText, 1, 100);
        EXPECT_TRUE(index.usable);
        EXPECT_EQ(index.partCount, 3);
    }
    const std::string source = install.path("acc.txt");
    bool found = false;
    EXPECT_EQ(partInt(install.path("acc.txt_0.cdb"), source, "KEY_NUM_CDB_FILES", found), 3u);
    const struct {
        const char* key;
        int part;
    } where[] = {{"ACC0", 0}, {"ACC3", 0}, {"ACC4", 1}, {"ACC7", 1}, {"ACC8", 2}, {"ACC9", 2}};
    for (const auto& w : where) {
        for (int part = 0; part < 3; ++part) {
            const uint32_t value = partInt(install.path("acc.txt_" + std::to_string(part) + ".cdb"), source,
                                           w.key, found);
            EXPECT_EQ(found, part == w.part) << w.key << " in part " << part;
            if (found) {
                EXPECT_EQ(value, 100u + static_cast<uint32_t>(w.key[3] - '0'));
            }
        }
    }

    // A second index opens the parts without reading the input.
    struct stat before {};
    ASSERT_EQ(stat(install.path("acc.txt_0.cdb").c_str(), &before), 0);
    CAccToTaxidIndex again(TaxonomyInstall::relative("acc.txt"), 5, errorText, 1, 100);
    EXPECT_TRUE(again.usable);
    EXPECT_EQ(again.partCount, 3);
    EXPECT_EQ(again.openPart, 0);
    struct stat after {};
    ASSERT_EQ(stat(install.path("acc.txt_0.cdb").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

// A part 0 whose part count is missing or out of bounds is rebuilt instead
// of sizing the part list.
TEST(AccToTaxidIndex, UnsoundPartCountRebuildsTheIndex) {
    tarvex_test::QuietReporter quiet;
    const struct {
        const char* what;
        bool present;
        uint32_t count;
    } cases[] = {{"no count", false, 0}, {"zero", true, 0}, {"over the bound", true, 0x7FFFFFFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TaxonomyInstall install;
        install.write("acc.txt", "P1 9606\n");
        const std::string path = TaxonomyInstall::relative("acc.txt");
        {
            bv_cachefile part0((path + "_0.cdb").c_str(), "1.0", path.c_str());
            ASSERT_TRUE(part0.create());
            if (c.present) part0.addInt32("KEY_NUM_CDB_FILES", c.count);
            ASSERT_TRUE(part0.finish());
        }
        std::string errorText;
        {
            CAccToTaxidIndex index(path, 5, errorText, 1);
            EXPECT_TRUE(index.usable);
            EXPECT_EQ(index.partCount, 1);
        }
        bool found = false;
        EXPECT_EQ(partInt(install.path("acc.txt_0.cdb"), install.path("acc.txt"), "KEY_NUM_CDB_FILES", found), 1u);
        EXPECT_EQ(partInt(install.path("acc.txt_0.cdb"), install.path("acc.txt"), "P1", found), 9606u);
        EXPECT_TRUE(found);
    }
}

TEST(AccToTaxidIndex, MissingInputIsNotUsableAndLeavesNoPart) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    std::string errorText;
    CAccToTaxidIndex index(TaxonomyInstall::relative("absent.txt"), 7, errorText, 1);
    EXPECT_FALSE(index.usable);
    EXPECT_EQ(errorReporter.getLastNumber(), 246);
    EXPECT_EQ(errorReporter.getLastJob(), 7);
    EXPECT_NE(errorText.find("The taxonomy node file [../taxonomy/absent.txt] is missing or empty"),
              std::string::npos)
        << errorText;
    EXPECT_EQ(errorText.back(), '\n');
    EXPECT_FALSE(pathExists(install.path("absent.txt_0.cdb")));
}

TEST(AccToTaxidIndex, OverlongAccessionEndsThePairs) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("acc.txt", "A1 5\n" + std::string(CAccToTaxidIndex::maxAccessionLength + 1, 'Z') + " 6\nA2 7\n");
    std::string errorText;
    CAccToTaxidIndex index(TaxonomyInstall::relative("acc.txt"), 5, errorText, 1);
    EXPECT_TRUE(index.usable);
    bool found = false;
    EXPECT_EQ(partInt(install.path("acc.txt_0.cdb"), install.path("acc.txt"), "A1", found), 5u);
    EXPECT_TRUE(found);
    partInt(install.path("acc.txt_0.cdb"), install.path("acc.txt"), "A2", found);
    EXPECT_FALSE(found);
}

}  // namespace
