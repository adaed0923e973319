// The taxonomy data loaders driven by a Taxonomy_N section of tarvex.dat.
#include <gtest/gtest.h>

#include <string>

#include "common/error_reporter.h"
#include "config/bv_configfile.h"
#include "config/bv_sectionlines.h"
#include "config/bv_taxonomyoptions.h"
#include "database/genetic_codes.h"
#include "database/species_names.h"
#include "database/taxonomy_rules.h"
#include "database/taxonomy_tree.h"
#include "support/taxonomy_fixture.h"
#include "support/reporter_switches.h"

namespace {

using namespace brenvik;
using tarvex_test::TaxonomyInstall;

const char* kOtherSections =
    "Databases\nend\nPARSE\nend\nWWW\nend\nCluster\nend\nUniGene\nend\nOptions\nend\nCron\nend\n";

TEST(TaxonomySectionData, SectionNamesTheFilesOfEveryLoader) {
    tarvex_test::QuietReporter quiet;
    TaxonomyInstall install;
    install.copyFixture("nodes.dmp");
    install.copyFixture("human_nodes.dmp");
    install.copyFixture("names.dmp");
    install.write("codes.dmp", "2\t|\t\t|\tVertebrate\t|\t" + std::string(64, 'V') + "\t|\n");
    install.write("speclist.txt", "HUMAN E   9606: N=Homo sapiens\n");

    bv_configfile config;
    bv_textlines lines(std::string(kOtherSections) +
                       "Taxonomy_3\n"
                       "Enabled 1\n"
                       "GencodeFiles NCBI:codes.dmp\n"
                       "MitochondrialTranslation 1\n"
                       "SpeciesFiles NCBI:names.dmp SWISSPROT:speclist.txt\n"
                       "NodesFiles NCBI:nodes.dmp,NCBI:human_nodes.dmp\n"
                       "end\n");
    config.parseSections(lines);
    const bv_taxonomyoptions* section = config.taxonomySection(3);
    ASSERT_NE(section, nullptr);
    TAXONOMY_RULES rules;
    rules.loadFromSection(section);

    auto tables = makeGeneticCodeTables();
    initGeneticCodeTables(*tables, &rules);
    EXPECT_TRUE(tables->ready());
    EXPECT_EQ(tables->codonString(2)[0], 'V');
    EXPECT_EQ(std::string(tables->codonString(1), 64), standardGeneticCode);

    std::string errorText;
    auto nodes = loadTaxonomyNodes(-14, section, errorText, false);
    ASSERT_TRUE(nodes->isOk()) << errorText;
    int parent = 0, table = 0;
    EXPECT_TRUE(nodes->getParent(9606, parent, table));
    EXPECT_EQ(parent, 9605);
    EXPECT_EQ(table, 2);  // the mitochondrial column
    EXPECT_TRUE(nodes->getParent(154784, parent, table));
    EXPECT_EQ(parent, 39802);

    CSpeciesNameLists lists;
    SpeciesLoadOptions options;
    options.jobNumber = -14;
    EXPECT_TRUE(loadSpeciesFiles(rules, lists, options, errorText).clean) << errorText;
    int taxId = 0, nameClass = 0;
    EXPECT_TRUE(lists.tables[SPECIES_NCBI].findName("Viruses", taxId, nameClass));
    EXPECT_EQ(taxId, 10239);
    EXPECT_TRUE(lists.tables[SPECIES_SWISSPROT].findName("HUMAN", taxId, nameClass));
    EXPECT_EQ(taxId, 9606);

    // Without rules, or a section that names no gencode file, "gencode.dmp" is read.
    install.write("gencode.dmp", "3\t|\t\t|\tYeast\t|\t" + std::string(64, 'Y') + "\t|\n");
    auto plain = makeGeneticCodeTables();
    initGeneticCodeTables(*plain, nullptr);
    EXPECT_TRUE(plain->loaded(3));
    EXPECT_FALSE(plain->loaded(2));
    auto none = loadTaxonomyNodes(-14, static_cast<const bv_taxonomyoptions*>(nullptr), errorText, false);
    EXPECT_FALSE(none->getParent(9606, parent, table));
}

}  // namespace
