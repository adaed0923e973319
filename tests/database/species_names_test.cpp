#include "database/species_names.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "common/error_reporter.h"
#include "database/bv_cachefile.h"
#include "support/reporter_switches.h"
#include "support/fake_clock.h"
#include "support/taxonomy_fixture.h"
#include "support/temp_dir.h"

namespace {

using tarvex_test::pathExists;
using tarvex_test::TaxonomyInstall;

std::string namesLine(int id, const std::string& name, const std::string& nameClass) {
    return std::to_string(id) + "\t|\t" + name + "\t|\t\t|\t" + nameClass + "\t|\n";
}

struct Found {
    const char* name;
    bool found;
    int taxId;
    int nameClass;
};

void checkFind(const CSpeciesNameTable& table, const std::vector<Found>& cases) {
    for (const Found& f : cases) {
        int taxId = -1, nameClass = -1;
        EXPECT_EQ(table.findName(f.name, taxId, nameClass), f.found) << "'" << f.name << "'";
        if (f.found) {
            EXPECT_EQ(taxId, f.taxId) << f.name;
            EXPECT_EQ(nameClass, f.nameClass) << f.name;
        }
    }
}

// Loads as job 3. useCaches, when given, asks for the caches and is told
// whether they can be used.
bool load(CSpeciesNameLists& lists, const std::vector<SpeciesFileRecord>& files, std::string& errorText,
          bool* useCaches = nullptr, SpeciesLoadOptions options = {}) {
    options.jobNumber = 3;
    options.useCaches = useCaches != nullptr && *useCaches;
    const SpeciesLoadResult loaded = loadSpeciesFiles(files, lists, options, errorText);
    if (useCaches != nullptr) *useCaches = loaded.cachesUsable;
    return loaded.clean;
}

TEST(SpeciesNames, RealNcbiNamesFile) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.copyFixture("names.dmp");
    CSpeciesNameLists lists;
    std::string errorText;
    ASSERT_TRUE(load(lists, {{SPECIES_NCBI, "names.dmp"}}, errorText)) << errorText;
    const CSpeciesNameTable& table = lists.tables[SPECIES_NCBI];
    EXPECT_EQ(table.entries.size(), 19u);
    for (size_t i = 1; i < table.entries.size(); ++i)
        EXPECT_FALSE(compareSpeciesNames(table.entries[i], table.entries[i - 1])) << i;
    checkFind(table, {{"Viruses", true, 10239, 0},
                      {"viruses", true, 10239, 12},
                      {"root", true, 1, 0},
                      {"Bacteriophage AP205", true, 154784, 1},
                      {"ssRNA positive-strand viruses, no DNA stage", true, 35278, 0},
                      {"Virus", false, 0, 0},
                      {"", false, 0, 0}});
    // every name of an ID, in list order
    std::vector<std::string> names;
    for (const auto& ref : lists.namesOf(10239)) names.push_back(ref.entry->name);
    EXPECT_EQ(names, (std::vector<std::string>{"Vira", "Viridae", "Viruses", "viruses"}));
    EXPECT_TRUE(lists.namesOf(4242).empty());
}

// The hand-written fixtures: human names of several classes, a species list
// in the current layout read with the default expression, and an accession
// file; every name of an ID comes back in list order.
TEST(SpeciesNames, FixturesOfEveryNameKind) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    for (const char* name : {"human_names.dmp", "speclist.txt", "acc2taxid.txt"}) install.copyFixture(name);
    CSpeciesNameLists lists;
    std::string errorText;
    ASSERT_TRUE(load(lists,
                     {{SPECIES_NCBI, "human_names.dmp"},
                      {SPECIES_SWISSPROT, "speclist.txt"},
                      {SPECIES_ACC2TAXID, "acc2taxid.txt"}},
                     errorText))
        << errorText;
    // the first ID is found by a scan; once another ID is asked for, the index answers
    for (int pass = 0; pass < 3; ++pass) {
        if (pass == 2) {
            EXPECT_EQ(lists.namesOf(562).size(), 1u);
        }
        std::vector<std::pair<std::string, int>> names;
        for (const auto& ref : lists.namesOf(9606)) names.emplace_back(ref.entry->name, ref.entry->nameClass);
        EXPECT_EQ(names, (std::vector<std::pair<std::string, int>>{{"Homo sapiens", 0},
                                                                    {"Homo sapiens Linnaeus, 1758", 19},
                                                                    {"Homo sapiens neanderthalensis", 6},
                                                                    {"human", 16},
                                                                    {"man", 4},
                                                                    {"HUMAN", 1}}))
            << pass;
    }
    EXPECT_TRUE(lists.namesOf(4242).empty());
    checkFind(lists.tables[SPECIES_SWISSPROT],
              {{"ECOLI", true, 562, 1}, {"PHIX1", true, 10847, 1}, {"9VIRU", true, 2732396, 1}, {"Code", false, 0, 0}});
    EXPECT_EQ(lists.tables[SPECIES_SWISSPROT].entries.size(), 5u);
    ASSERT_EQ(lists.accIndexes.size(), 1u);
    EXPECT_EQ(lists.accIndexes[0]->partCount, 1);
}

TEST(SpeciesNames, NameClassesAndTrimming) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    std::string file;
    file += "10\t|\tHomo sapiens\t\t|\t\t|\tscientific name\t|\n";  // trailing tab cut
    file += namesLine(11, "Bacillus sp.", "genbank common name");
    file += namesLine(12, "Odd name;,:", "common name");
    file += namesLine(13, ".", "preferred common name");
    file += namesLine(14, "Typus", "type material");
    file += namesLine(15, "Bad class one", "no such class");
    file += namesLine(16, "Bad class two", "nonsense");
    file += namesLine(17, "Bad class three", "rubbish");
    file += "18 no separators at all\n";
    file += "19\t|\tLast line without end\t|\t\t|\tsynonym\t|";
    install.write("n.dmp", file);
    CSpeciesNameLists lists;
    std::string errorText;
    // The reports as this installation's error log holds them: the
    // reporter's own record of the last errors keeps only the first reports
    // of the whole process.
    errorReporter.toErrorLog = true;
    EXPECT_TRUE(load(lists, {{SPECIES_NCBI, "n.dmp"}}, errorText));
    errorReporter.toErrorLog = false;
    const std::string reported = tarvex_test::readFile(install.root() + "/logs/errorlog.txt");
    checkFind(lists.tables[0], {{"Homo sapiens", true, 10, 0},
                                {"Bacillus sp", true, 11, 16},
                                {"Odd name", true, 12, 4},
                                {".", true, 13, 3},
                                {"Typus", true, 14, 21},
                                {"Bad class one", false, 0, 0},
                                {"Last line without end", true, 19, 1}});
    EXPECT_EQ(lists.tables[0].entries.size(), 6u);
    // the first two unknown classes of a file are reported
    size_t count = 0;
    for (size_t at = reported.find("Invalid taxonomy name class"); at != std::string::npos;
         at = reported.find("Invalid taxonomy name class", at + 1))
        ++count;
    EXPECT_EQ(count, 2u) << reported;
    // The log entry names the file from the working folder.
    const std::string shownFile = std::filesystem::current_path().string() + "/../taxonomy/n.dmp";
    EXPECT_NE(reported.find("(no such class\t|) in file " + shownFile), std::string::npos) << reported;

    EXPECT_STREQ(getNameClassText(0), "scientific name");
    EXPECT_STREQ(getNameClassText(21), "type material");
    EXPECT_STREQ(getNameClassText(22), "");
    EXPECT_STREQ(getNameClassText(-1), "");
}

TEST(SpeciesNames, EveryNameClassText) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    std::string file;
    for (int c = 0; c < speciesNameClassCount; ++c) file += namesLine(100 + c, "n" + std::to_string(c), getNameClassText(c));
    install.write("n.dmp", file);
    CSpeciesNameLists lists;
    std::string errorText;
    ASSERT_TRUE(load(lists, {{SPECIES_NCBI, "n.dmp"}}, errorText));
    for (int c = 0; c < speciesNameClassCount; ++c) {
        int taxId = 0, nameClass = -1;
        ASSERT_TRUE(lists.tables[0].findName(("n" + std::to_string(c)).c_str(), taxId, nameClass)) << c;
        EXPECT_EQ(nameClass, c) << getNameClassText(c);
        EXPECT_EQ(taxId, 100 + c);
    }
}

TEST(SpeciesNames, UpperCaseAndPaddedVariants) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("n.dmp", namesLine(11, "Bacillus sp.", "scientific name") + namesLine(12, "e. coli", "synonym"));
    const struct {
        bool upper, pad;
        const char* bacillus;
        const char* coli;
    } cases[] = {
        {false, false, "Bacillus sp", "e. coli"},
        {true, false, "BACILLUS SP", "E. COLI"},
        // a padded name ends in its blank, so nothing is trimmed
        {false, true, " Bacillus sp. ", " e. coli "},
        {true, true, " BACILLUS SP. ", " E. COLI "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bacillus);
        CSpeciesNameLists lists;
        std::string errorText;
        EXPECT_TRUE(load(lists, {{SPECIES_NCBI, "n.dmp"}}, errorText, nullptr, {.upperCase = c.upper, .pad = c.pad}));
        checkFind(lists.tables[0], {{c.bacillus, true, 11, 0}, {c.coli, true, 12, 1}});
    }
}

TEST(SpeciesNames, SwissProtPdbAndGiFiles) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("speclist.txt",
                  "Header text that is not a species line\n"
                  "HUMAN E   9606: N=Homo sapiens\n"
                  "                 C=Human\n"
                  "ECOLI B    562: N=Escherichia coli\r\n"
                  "9XXXX V  10239: N=Virus\n");
    install.write("pdb.txt", "1 human abc word 9606\n  22\tyeast\tXY\t\tword\t4932\nshort\n3 cut ab\n");
    install.write("gi.txt", "4294967296 9606\n12\t562\n7 0\nxx\n");
    CSpeciesNameLists lists;
    std::string errorText;
    EXPECT_TRUE(load(lists,
                     {{SPECIES_SWISSPROT, "speclist.txt"},
                      {SPECIES_PDB, "pdb.txt"},
                      {SPECIES_GI2TAXID, "gi.txt"}},
                     errorText, nullptr, {.loadGiPairs = true}));
    checkFind(lists.tables[1], {{"HUMAN", true, 9606, 1}, {"ECOLI", true, 562, 1}, {"9XXXX", true, 10239, 1}});
    EXPECT_EQ(lists.tables[1].entries.size(), 3u);
    checkFind(lists.tables[2], {{"human", true, 9606, 1}, {"yeast", true, 4932, 1}, {"cut", false, 0, 0}});
    ASSERT_EQ(lists.pairLists[3].size(), 2u);
    EXPECT_EQ(lists.pairLists[3][0].gi, 4294967296LL);
    EXPECT_EQ(lists.pairLists[3][0].taxId, 9606);
    EXPECT_EQ(lists.pairLists[3][1].gi, 12);
    // the PDB way is obsolete: noted once in the error text
    EXPECT_NE(errorText.find("obsolete"), std::string::npos) << errorText;

    // GI files are skipped unless asked for; the SWISSPROT column rule
    // without an expression (which then fails to compile)
    CSpeciesNameLists columns;
    errorText.clear();
    const std::string regexTexts[6] = {"", "", "", "", "", ""};
    EXPECT_FALSE(load(columns, {{SPECIES_SWISSPROT, "speclist.txt"}, {SPECIES_GI2TAXID, "gi.txt"}}, errorText,
                      nullptr, {.pad = true, .regexTexts = regexTexts}));
    EXPECT_EQ(errorReporter.getLastNumber(), 127);
    checkFind(columns.tables[1], {{" HUMAN ", true, 9606, 1}, {" ECOLI ", true, 562, 1}});
    EXPECT_TRUE(columns.pairLists[3].empty());

    // an expression with one sub-expression
    CSpeciesNameLists one;
    const std::string single[6] = {"", "^\\([A-Z]*\\)", "", "", "", ""};
    EXPECT_FALSE(load(one, {{SPECIES_SWISSPROT, "speclist.txt"}}, errorText, nullptr, {.regexTexts = single}));
    EXPECT_EQ(errorReporter.getLastNumber(), 540);
    EXPECT_TRUE(one.tables[1].entries.empty());
}

TEST(SpeciesNames, MissingAndEmptyFilesFailButOthersLoad) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("empty.dmp", "");
    install.write("b.dmp", namesLine(2, "Bee", "scientific name"));
    install.write("a.dmp", namesLine(1, "Ant", "scientific name"));
    CSpeciesNameLists lists;
    std::string errorText;
    EXPECT_FALSE(load(lists,
                      {{SPECIES_NCBI, "b.dmp"}, {SPECIES_NCBI, "absent.dmp"}, {SPECIES_NCBI, "empty.dmp"},
                       {SPECIES_NCBI, "a.dmp"}, {SPECIES_NCBI, "sub\\gone.dmp"}},
                      errorText));
    EXPECT_NE(errorText.find("[../taxonomy/absent.dmp] is missing or empty"), std::string::npos) << errorText;
    // The message names the file as configured.
    EXPECT_NE(errorText.find("[../taxonomy/sub\\gone.dmp] is missing or empty"), std::string::npos) << errorText;
    EXPECT_NE(errorText.find("[../taxonomy/empty.dmp] is missing or empty"), std::string::npos) << errorText;
    // two files of one kind make one sorted table
    ASSERT_EQ(lists.tables[0].entries.size(), 2u);
    EXPECT_STREQ(lists.tables[0].entries[0].name, "Ant");
    EXPECT_STREQ(lists.tables[0].entries[1].name, "Bee");

    CSpeciesNameLists none;
    EXPECT_TRUE(load(none, {}, errorText));
}

// An empty file with the caches on fails on every load: no cache is finished
// for it, and a finished one that an older build left for it is not trusted.
TEST(SpeciesNames, EmptyFileFailsOnEveryLoadWithCaches) {
    tarvex_test::QuietReporter quiet;
    for (bool leftover : {false, true}) {
        SCOPED_TRACE(leftover ? "finished empty cache left over" : "no cache");
        TaxonomyInstall install;
        install.write("empty.dmp", "");
        install.write("n.dmp", namesLine(7, "Seven", "scientific name"));
        if (leftover) {
            brenvik::bv_cachefile old(TaxonomyInstall::relative("empty.dmp.cdb").c_str(), "1.0",
                                      TaxonomyInstall::relative("empty.dmp").c_str());
            ASSERT_TRUE(old.create());
            ASSERT_TRUE(old.finish());
        }
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            CSpeciesNameLists lists;
            std::string errorText;
            bool useCaches = true;
            EXPECT_FALSE(load(lists, {{SPECIES_NCBI, "n.dmp"}, {SPECIES_NCBI, "empty.dmp"}}, errorText, &useCaches));
            EXPECT_NE(errorText.find("[../taxonomy/empty.dmp] is missing or empty"), std::string::npos) << errorText;
            // The caller cannot take the empty file's names from a cache, so
            // it reads all of them from memory.
            EXPECT_FALSE(useCaches);
            checkFind(lists.tables[0], {{"Seven", true, 7, 0}});
            brenvik::bv_cachefile probe(TaxonomyInstall::relative("empty.dmp.cdb").c_str(), "1.0",
                                        TaxonomyInstall::relative("empty.dmp").c_str());
            EXPECT_FALSE(probe.open(false));
        }
    }
}

TEST(SpeciesNames, NameCacheIsBuiltThenUsed) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("n.dmp", namesLine(7, "Seven", "scientific name") + namesLine(8, "Eight", "synonym") +
                               namesLine(7, "Sept.", "common name"));
    {
        CSpeciesNameLists lists;
        std::string errorText;
        bool useCaches = true;
        EXPECT_TRUE(load(lists, {{SPECIES_NCBI, "n.dmp"}}, errorText, &useCaches));
        EXPECT_TRUE(useCaches);
        EXPECT_EQ(lists.tables[0].entries.size(), 3u);
    }
    brenvik::bv_cachefile cache(TaxonomyInstall::relative("n.dmp.cdb").c_str(), "1.0",
                                TaxonomyInstall::relative("n.dmp").c_str());
    ASSERT_TRUE(cache.open(false)) << cache.getLastErrorString();
    EXPECT_EQ(cache.getAllValues("7"), (std::vector<std::string>{"Seven;0", "Sept;4"}));
    EXPECT_EQ(cache.getAllValues("8"), (std::vector<std::string>{"Eight;1"}));
    cache.close();

    // valid cache: the file is not parsed
    CSpeciesNameLists cached;
    std::string errorText;
    bool useCaches = true;
    EXPECT_TRUE(load(cached, {{SPECIES_NCBI, "n.dmp"}}, errorText, &useCaches));
    EXPECT_TRUE(useCaches);
    EXPECT_TRUE(cached.tables[0].entries.empty());

    // A name written with a Windows separator gets its cache beside the file.
    install.write("sub/s.dmp", namesLine(9, "Nine", "scientific name"));
    CSpeciesNameLists sub;
    EXPECT_TRUE(load(sub, {{SPECIES_NCBI, "sub\\s.dmp"}}, errorText, &useCaches));
    EXPECT_TRUE(useCaches);
    EXPECT_TRUE(pathExists(install.path("sub/s.dmp.cdb")));
}

// A damaged cache and one in the legacy size layout are rebuilt, and
// caching stays on.
TEST(SpeciesNames, DamagedOrLegacyNameCacheIsRebuilt) {
    tarvex_test::QuietReporter quiet;
    const std::vector<std::string> kinds = {"damaged", "legacy size layout"};
    for (const std::string& kind : kinds) {
        SCOPED_TRACE(kind);
        TaxonomyInstall install;
        install.write("n.dmp", namesLine(7, "Seven", "scientific name"));
        const std::string cacheName = TaxonomyInstall::relative("n.dmp.cdb");
        const std::string source = TaxonomyInstall::relative("n.dmp");
        if (kind == "damaged") {
            install.write("n.dmp.cdb", "not a constant database");
        } else {
            brenvik::bv_cachefile old(cacheName.c_str(), "1.0", source.c_str());
            ASSERT_TRUE(old.create());
            old.add("=0.3", "2Gb");
            old.add("7", "Old;0");
            old.finish();
            brenvik::bv_cachefile probe(cacheName.c_str(), "1.0", source.c_str());
            EXPECT_FALSE(probe.open(true));
            EXPECT_EQ(probe.getLastError(), 44);
        }
        CSpeciesNameLists lists;
        std::string errorText;
        bool useCaches = true;
        EXPECT_TRUE(load(lists, {{SPECIES_NCBI, "n.dmp"}}, errorText, &useCaches));
        EXPECT_TRUE(useCaches);
        brenvik::bv_cachefile cache(cacheName.c_str(), "1.0", source.c_str());
        ASSERT_TRUE(cache.open(false)) << cache.getLastErrorString();
        EXPECT_EQ(cache.getAllValues("7"), std::vector<std::string>{"Seven;0"});
    }
}

// When the caches turn out unusable after an earlier file was served by its
// valid cache, the caller reads memory: that file must be there too.
TEST(SpeciesNames, CachesGivenUpLateStillLeaveEveryNameInMemory) {
    tarvex_test::QuietReporter quiet;
    // The wait for another task's build passes in no time.
    const tarvex_test::FakeClock clock;
    const std::vector<std::string> laterFaults = {"cache held by another task", "species file missing"};
    for (const std::string& fault : laterFaults) {
        SCOPED_TRACE(fault);
        TaxonomyInstall install;
        install.write("a.dmp", namesLine(7, "Seven", "scientific name"));
        install.write("b.dmp", namesLine(8, "Eight", "scientific name"));
        install.write("spec.txt", "HUMAN E   9606: N=Homo sapiens\n");
        const std::vector<SpeciesFileRecord> files = {
            {SPECIES_NCBI, "a.dmp"}, {SPECIES_SWISSPROT, "spec.txt"}, {SPECIES_NCBI, "b.dmp"}};
        {
            CSpeciesNameLists lists;
            std::string errorText;
            bool useCaches = true;
            ASSERT_TRUE(load(lists, files, errorText, &useCaches));
            ASSERT_TRUE(useCaches);
        }
        std::unique_ptr<tarvex_test::ForeignCacheLock> builder;
        if (fault == "species file missing") {
            ASSERT_EQ(unlink(install.path("b.dmp").c_str()), 0);
        } else {
            builder = std::make_unique<tarvex_test::ForeignCacheLock>(install.path("b.dmp.cdb"));
            ASSERT_TRUE(builder->held());
        }
        CSpeciesNameLists lists;
        std::string errorText;
        bool useCaches = true;
        EXPECT_EQ(load(lists, files, errorText, &useCaches), fault != "species file missing");
        EXPECT_FALSE(useCaches);
        checkFind(lists.tables[SPECIES_NCBI], {{"Seven", true, 7, 0}, {"Eight", fault != "species file missing", 8, 0}});
        checkFind(lists.tables[SPECIES_SWISSPROT], {{"HUMAN", true, 9606, 1}});
        EXPECT_EQ(lists.namesOf(7).size(), 1u);
    }
}

TEST(SpeciesNames, NameCacheThatCannotBeWrittenLeavesMemory) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("n.dmp", namesLine(7, "Seven", "scientific name"));
    tarvex_test::writeFile(install.path("n.dmp.cdb/x"), "");  // a folder in the cache's place
    CSpeciesNameLists lists;
    std::string errorText;
    bool useCaches = true;
    EXPECT_TRUE(load(lists, {{SPECIES_NCBI, "n.dmp"}}, errorText, &useCaches));
    EXPECT_FALSE(useCaches);
    checkFind(lists.tables[0], {{"Seven", true, 7, 0}});
}

TEST(SpeciesNames, AccessionFilesBuildTheirIndex) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.write("acc.txt", "P1 9606\n");
    CSpeciesNameLists lists;
    std::string errorText;
    EXPECT_TRUE(load(lists, {{SPECIES_ACC2TAXID, "acc.txt"}}, errorText));
    ASSERT_EQ(lists.accIndexes.size(), 1u);
    EXPECT_TRUE(pathExists(install.path("acc.txt_0.cdb")));
    EXPECT_FALSE(load(lists, {{SPECIES_ACC2TAXID, "absent.txt"}}, errorText));
    EXPECT_EQ(lists.accIndexes.size(), 1u);
}

// The sort orders by unsigned bytes and keeps equal names in the order they
// were added, whatever their length and shared beginnings.
TEST(SpeciesNames, SortMatchesByteOrderAndKeepsEqualNamesInOrder) {
    const std::vector<std::string> names = {
        "", "a", "ab", "abcdefgh", "abcdefgh", "abcdefghi", "abcdefgg", "abcdefghij", "abcdefgh\xE9", "\xC3\xA9t\xC3\xA9",
        "Z", "abcdefgh", "abc", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOQ", "ABCDEFGHIJKLMNO", "\x7F", "\x80", "a", ""};
    CSpeciesNameTable table;
    for (size_t i = 0; i < names.size(); ++i) table.addName(static_cast<int32_t>(i), names[i], 0);
    std::vector<SpeciesNameEntry> expected = table.entries;
    std::stable_sort(expected.begin(), expected.end(), compareSpeciesNames);
    table.sortNames();
    ASSERT_EQ(table.entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(table.entries[i].taxId, expected[i].taxId) << i;
        EXPECT_STREQ(table.entries[i].name, expected[i].name) << i;
    }
}

TEST(SpeciesNames, LongNamesAndManyNamesStayIntact) {
    CSpeciesNameTable table;
    const std::string longName(100000, 'L');
    for (int i = 0; i < 5000; ++i) table.addName(i, "name" + std::to_string(i), 0);
    table.addName(-1, longName, 2);
    table.addName(5001, "after", 1);
    table.sortNames();
    checkFind(table, {{"name0", true, 0, 0}, {"name4999", true, 4999, 0}, {"after", true, 5001, 1}});
    int taxId = 0, nameClass = 0;
    EXPECT_TRUE(table.findName(longName.c_str(), taxId, nameClass));
    EXPECT_EQ(taxId, -1);
}

}  // namespace

namespace {

// (list, name, class) of every name of an ID, in the order namesOf gives.
std::vector<std::tuple<int, std::string, int>> namesOfId(CSpeciesNameLists& lists, int taxId) {
    std::vector<std::tuple<int, std::string, int>> names;
    for (const auto& ref : lists.namesOf(taxId)) names.emplace_back(ref.table, ref.entry->name, ref.entry->nameClass);
    return names;
}

}  // namespace

// Tables left in file order answer every ID exactly as sorted ones do (the
// names of an ID in name order, equal names in file order), whether the ID
// is found by the first scan or through the index, with dense or sparse IDs.
TEST(SpeciesNames, UnsortedTablesGiveTheNamesOfSortedOnes) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    for (const char* name : {"names.dmp", "human_names.dmp", "speclist.txt"}) install.copyFixture(name);
    // Several scientific names of one ID, out of order and repeated; an ID
    // far from the others makes the IDs sparse.
    install.write("twins.dmp", namesLine(9606, "Zeta", "scientific name") + namesLine(9606, "Alpha", "synonym") +
                                   namesLine(9606, "Beta", "scientific name") +
                                   namesLine(9606, "Beta", "common name") + namesLine(7, "b", "scientific name") +
                                   namesLine(7, "a", "scientific name"));
    install.write("far.dmp", namesLine(2000000000, "Far", "scientific name") + namesLine(7, "C", "synonym"));
    std::string filler;
    for (int id = 1; id <= 3000; ++id) {
        filler += namesLine(id, "n" + std::to_string(id % 97), id % 4 ? "scientific name" : "synonym");
        if (id % 5 == 0) filler += namesLine(id, "m" + std::to_string(id % 13), "scientific name");
    }
    install.write("filler.dmp", filler);
    for (bool sparse : {false, true}) {
        SCOPED_TRACE(sparse ? "sparse IDs" : "dense IDs");
        std::vector<SpeciesFileRecord> files = {{SPECIES_NCBI, "twins.dmp"}, {SPECIES_NCBI, "filler.dmp"}};
        if (sparse)
            files = {{SPECIES_NCBI, "twins.dmp"},
                     {SPECIES_NCBI, "names.dmp"},
                     {SPECIES_SWISSPROT, "speclist.txt"},
                     {SPECIES_NCBI, "human_names.dmp"},
                     {SPECIES_NCBI, "far.dmp"}};
        CSpeciesNameLists sorted, unsorted;
        unsorted.sortTables = false;
        std::string errorText;
        ASSERT_TRUE(load(sorted, files, errorText)) << errorText;
        ASSERT_TRUE(load(unsorted, files, errorText)) << errorText;
        EXPECT_FALSE(unsorted.tables[SPECIES_NCBI].isSorted());
        std::vector<int> ids = {9606, 7, 4242, -1, 0, 2000000000};
        for (const auto& table : sorted.tables)
            for (const SpeciesNameEntry& entry : table.entries) ids.push_back(entry.taxId);
        for (int id : ids) {
            EXPECT_EQ(namesOfId(unsorted, id), namesOfId(sorted, id)) << id;
            const char* a = unsorted.scientificNameOf(id);
            const char* b = sorted.scientificNameOf(id);
            EXPECT_EQ(a == nullptr ? "(none)" : std::string(a), b == nullptr ? "(none)" : std::string(b)) << id;
        }
    }
}

// The upper-case search over a table in file order finds what findName
// finds in the table loaded in upper case and sorted, also among many
// names that differ only in case (where the halving decides which one).
TEST(SpeciesNames, UpperCaseSearchMatchesTheUpperCaseTable) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.copyFixture("names.dmp");
    std::string text;
    const char* const spellings[] = {"abc", "ABC", "Abc", "aBc", "abC"};
    for (int i = 0; i < 300; ++i) {
        // groups of 1 to 5 names equal but for case, among other names
        text += namesLine(1000 + i, spellings[i % 5] + std::to_string(i % 37), i % 3 ? "synonym" : "scientific name");
        text += namesLine(5000 + i, "name " + std::to_string(i), "scientific name");
    }
    install.write("cases.dmp", text);
    const std::vector<SpeciesFileRecord> files = {{SPECIES_NCBI, "names.dmp"}, {SPECIES_NCBI, "cases.dmp"}};
    CSpeciesNameLists upper, plain;
    plain.sortTables = false;
    std::string errorText;
    ASSERT_TRUE(load(upper, files, errorText, nullptr, {.upperCase = true})) << errorText;
    ASSERT_TRUE(load(plain, files, errorText)) << errorText;
    std::vector<std::string> keys = {"VIRUSES", "ROOT", "NOTHING", "", "ABC", "NAME 1", "ZZZZ"};
    for (const SpeciesNameEntry& entry : upper.tables[SPECIES_NCBI].entries) keys.push_back(entry.name);
    for (const std::string& key : keys) {
        int id1 = -1, class1 = -1, id2 = -1, class2 = -1;
        const bool found = upper.tables[SPECIES_NCBI].findName(key.c_str(), id1, class1);
        EXPECT_EQ(plain.tables[SPECIES_NCBI].findNameUpperCase(key.c_str(), id2, class2), found) << key;
        EXPECT_EQ(id2, id1) << key;
        EXPECT_EQ(class2, class1) << key;
    }
}

namespace {

using NameTuple = std::tuple<int, std::string, int>;

std::vector<NameTuple> namesFromLists(CSpeciesNameLists& lists, int taxId) {
    std::vector<NameTuple> names;
    lists.forEachName(taxId, [&](const CSpeciesNameLists::NameRef& ref) {
        names.emplace_back(ref.table, ref.entry->name, ref.entry->nameClass);
        return true;
    });
    return names;
}

std::vector<NameTuple> namesById(SpeciesNamesById& names, int taxId) {
    std::vector<NameTuple> found;
    names.forEachName(taxId, [&](const SpeciesNamesById::Name& name) {
        found.emplace_back(name.table, std::string(name.name), name.nameClass);
        return true;
    });
    return found;
}

}  // namespace

// The names by ID answer every ID as the files read into memory do, whether
// they come from the caches (built by this load, warm, rebuilt after a
// change or damage) or from memory because a cache cannot be used: the same
// names in the same order (lists in order, names in name order, equal names
// in file order), so the same scientific name first and last.
TEST(SpeciesNames, NamesByIdFromCachesMatchTheFilesInMemory) {
    tarvex_test::QuietReporter quiet;
    // The wait for another task's build passes in no time.
    const tarvex_test::FakeClock clock;
    const std::string longFolder(240, 'd');
    // Two scientific names out of name order, a name equal to a scientific
    // one but of another class, names holding ';' (one ending like a class),
    // an empty name, and a second file of the same kind merged in.
    const std::string tricky = namesLine(50, "Zeta", "scientific name") + namesLine(50, "Alpha", "scientific name") +
                               namesLine(51, "Dup", "common name") + namesLine(51, "Dup", "scientific name") +
                               namesLine(52, "A;B", "scientific name") + namesLine(52, "x;0", "synonym") +
                               namesLine(53, "", "scientific name") + namesLine(562, "E. coli", "synonym");
    const std::string more = namesLine(50, "Beta", "scientific name") + namesLine(51, "Dup", "synonym") +
                             namesLine(9606, "Homo sapiens", "scientific name");

    struct Case {
        const char* state;
        bool usesCaches;
    };
    const Case cases[] = {
        {"no caches yet", true},         {"warm caches", true},
        {"a names file changed", true},  {"a damaged cache", true},
        {"a cache being built elsewhere", false}, {"a folder in a cache's place", false},
        {"a cache path too long to open", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        TaxonomyInstall install;
        for (const char* name : {"names.dmp", "human_names.dmp", "speclist.txt"}) install.copyFixture(name);
        install.write("tricky.dmp", tricky);
        const std::string state = c.state;
        install.write("more.dmp", more);
        install.write(longFolder + "/more.dmp", more);
        const std::vector<SpeciesFileRecord> files = {
            {SPECIES_NCBI, "tricky.dmp"},
            {SPECIES_NCBI, "names.dmp"},
            {SPECIES_SWISSPROT, "speclist.txt"},
            {SPECIES_NCBI, "human_names.dmp"},
            {SPECIES_NCBI, state == "a cache path too long to open" ? longFolder + "/more.dmp" : "more.dmp"}};
        std::string errorText;
        if (state != "no caches yet") {
            SpeciesNamesById first;
            ASSERT_TRUE(first.load(files, nullptr, 3, errorText)) << errorText;
        }
        std::unique_ptr<tarvex_test::ForeignCacheLock> builder;
        if (state == "a names file changed") {
            install.write("tricky.dmp", tricky + namesLine(54, "Added", "scientific name"));
        } else if (state == "a damaged cache") {
            install.write("names.dmp.cdb", "not a constant database");
        } else if (state == "a cache being built elsewhere") {
            builder = std::make_unique<tarvex_test::ForeignCacheLock>(install.path("human_names.dmp.cdb"));
            ASSERT_TRUE(builder->held());
        } else if (state == "a folder in a cache's place") {
            ASSERT_EQ(unlink(install.path("tricky.dmp.cdb").c_str()), 0);
            tarvex_test::writeFile(install.path("tricky.dmp.cdb/x"), "");
        }

        SpeciesNamesById names;
        ASSERT_TRUE(names.load(files, nullptr, 3, errorText)) << errorText;
        EXPECT_EQ(names.usesCaches(), c.usesCaches);
        CSpeciesNameLists inMemory;
        inMemory.sortTables = false;
        ASSERT_TRUE(load(inMemory, files, errorText)) << errorText;

        std::vector<int> ids = {-1, 0, 4242, 2000000000};
        for (const auto& table : inMemory.tables)
            for (const SpeciesNameEntry& entry : table.entries) ids.push_back(entry.taxId);
        ASSERT_GT(ids.size(), 60u);
        for (int id : ids) {
            EXPECT_EQ(namesById(names, id), namesFromLists(inMemory, id)) << id;
            const char* a = names.scientificNameOf(id);
            const char* b = inMemory.scientificNameOf(id);
            EXPECT_EQ(a == nullptr ? "(none)" : std::string(a), b == nullptr ? "(none)" : std::string(b)) << id;
        }
        // The first of several scientific names in name order, each list in turn.
        EXPECT_EQ(std::string(names.scientificNameOf(50)), "Alpha");
        EXPECT_EQ(namesById(names, 52), (std::vector<NameTuple>{{0, "A;B", 0}, {0, "x;0", 1}}));
    }
}
