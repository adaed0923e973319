#include "config/bv_taxonomyoptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/bv_configfile.h"
#include "config/bv_sectionlines.h"
#include "database/taxonomy_rules.h"

namespace {

using namespace brenvik;

const char* kOtherSections =
    "Databases\nend\nPARSE\nend\nWWW\nend\nCluster\nend\nUniGene\nend\nOptions\nend\nCron\nend\n";

struct Parsed {
    explicit Parsed(const std::string& taxonomy) {
        bv_textlines lines(std::string(kOtherSections) + taxonomy);
        config.parseSections(lines);
        for (int i = 1; i <= config.getNumberOfErrors(); ++i) {
            messages.push_back(config.getErrorNumber(i));
            texts.push_back(config.getErrorString(i));
        }
    }
    bv_configfile config;
    std::vector<int> messages;
    std::vector<std::string> texts;
};

const char* kFullSection =
    "Taxonomy_3\n"
    "Enabled 1\n"
    "Identifier   NCBI nr, with GI numbers\n"
    "ErrorLevel 2\n"
    "FromRefFile 0\n"
    "ConcatRefFileLines 0\n"
    "DescriptionLineSep 124\n"
    "GencodeFiles NCBI:gencode.dmp,NCBI:extra.dmp\n"
    "MitochondrialTranslation 1\n"
    "SrcDatabaseRule \"\\(.*\\)\"\n"
    "DoThisRuleFirst \">\\([^ ]*\\)\"\n"
    "AccFromSpeciesLine \"^\\([A-Z0-9_]*\\)\"\n"
    "SpeciesFiles NCBI:names.dmp GI2TAXID:gi.dmp\tSWISSPROT:speclist.txt,PDB:pdb.txt ACC2TAXID:acc.tax\n"
    "StrStrFiles SWISSPROT:strstr.txt\n"
    "NodesFiles NCBI:nodes.dmp\n"
    "RULE_2 NCBI CHOP:pw \"\\[\\([^]]*\\)\\]\"\n"
    "RULE_x ncbi CHOP: \"\\(.*\\)\"\n"
    "RULE_long_label_beyond_the_limit_of_storage PDB CHOP:S \"^\\([0-9]*\\)\"\n"
    "DefaultRule SWISSPROT, CHOP:S \"OS=\\([^=]*\\)\"\n"
    "StrStrRule EXPLICIT CHOP: \"\\(.*\\)\"\n"
    "NoBreakDescLineIf abc,def\n"
    "PrefixRemoves abc,def\n"
    "SuffixRemoves x\n"
    "QuickRefSearch \"  quick\"ignored\n"
    "NCBIRegex \"^\\([0-9]*\\)\"\n"
    "EXPLICITRegex explicit text\n"
    "end\n";

}  // namespace

TEST(TaxonomySection, EveryKeyIsRead) {
    Parsed p(kFullSection);
    const bv_taxonomyoptions* t = p.config.taxonomySection(3);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->isSectionPresent());
    EXPECT_TRUE(t->isEnabled());
    EXPECT_EQ(t->getIdentifier(), "NCBI nr, with GI numbers");
    EXPECT_EQ(t->getErrorLevel(), 2);
    EXPECT_FALSE(t->isFromRefFile());
    EXPECT_FALSE(t->isConcatRefFileLines());
    EXPECT_EQ(t->getDescriptionLineSep(), '|');
    ASSERT_EQ(t->getNumberOfGencodeFiles(), 2);
    EXPECT_EQ(t->getGencodeFile(1).name, "extra.dmp");
    EXPECT_EQ(t->getGencodeFile(1).kind, 1);
    EXPECT_TRUE(t->isMitochondrialTranslation());
    EXPECT_EQ(t->getSrcDatabaseRule().getText(), "\\(.*\\)");
    ASSERT_EQ(t->getNumberOfSpeciesFiles(), 5);
    const int sources[] = {0, 3, 1, 2, 4};
    const char* names[] = {"names.dmp", "gi.dmp", "speclist.txt", "pdb.txt", "acc.tax"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(t->getSpeciesFile(i).source, sources[i]);
        EXPECT_EQ(t->getSpeciesFile(i).name, names[i]);
    }
    ASSERT_EQ(t->getNumberOfStrStrFiles(), 1);
    EXPECT_EQ(t->getStrStrFile(0).source, 1);
    ASSERT_EQ(t->getNumberOfNodesFiles(), 1);
    EXPECT_EQ(t->getNodesFile(0).kind, 0);
    // The lower-case source word is refused, the other two rules are kept.
    ASSERT_EQ(t->getNumberOfRules(), 2);
    EXPECT_EQ(t->getRule(0).getLabel(), "2");
    EXPECT_EQ(t->getRule(0).source, 0);
    EXPECT_EQ(t->getRule(0).chopFlags, 5);
    EXPECT_EQ(t->getRule(1).getLabel(), std::string("long_label_beyond_the_limit_of_storage").substr(0, 23));
    EXPECT_EQ(t->getRule(1).source, 2);
    EXPECT_EQ(t->getDefaultRule().source, 1);
    EXPECT_EQ(t->getDefaultRule().chopFlags, 2);
    EXPECT_EQ(t->getStrStrRule().source, 5);
    ASSERT_EQ(t->getNumberOfNoBreakDescLineIf(), 2);
    EXPECT_EQ(t->getNoBreakDescLineIf(1), "DEF");
    ASSERT_EQ(t->getNumberOfPrefixRemoves(), 2);
    EXPECT_EQ(t->getPrefixRemoves(0), "ABC ");
    EXPECT_EQ(t->getPrefixRemoves(1), "DEF ");
    ASSERT_EQ(t->getNumberOfSuffixRemoves(), 1);
    EXPECT_EQ(t->getSuffixRemoves(0), " X");
    EXPECT_EQ(t->getQuickRefSearch(), "  quick");
    EXPECT_EQ(t->getRegex(0), "^\\([0-9]*\\)");
    EXPECT_EQ(t->getRegex(1), "^\\([A-Z0-9]*\\) *[ABEV] *\\([0-9]*\\):");
    EXPECT_EQ(t->getRegex(5), "explicit text");
    EXPECT_EQ(t->getRegex(6), "");
    EXPECT_EQ(t->taxID(), -1);
    EXPECT_EQ(p.messages, (std::vector<int>{1551}));
    EXPECT_NE(p.texts[0].find("RULE_x ncbi"), std::string::npos);
    EXPECT_TRUE(p.config.isValid());
}

TEST(TaxonomySection, NumbersDuplicatesAndLimits) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<int> messages;
        std::vector<int> present;
    } cases[] = {
        {"out of range", "Taxonomy_65\nEnabled 1\nend\nTaxonomy_-1\nend\nTaxonomy_4\nend\n", {1551, 1551}, {4}},
        {"no digits is 0", "Taxonomy_\nEnabled 1\nend\n", {}, {0}},
        {"duplicate keeps the first", "Taxonomy_3\nTaxID 5\nend\nTaxonomy_3\nTaxID 7\nend\n", {1567}, {3}},
        {"TaxID with species files", "Taxonomy_1\nTaxID 9606\nSpeciesFiles NCBI:names.dmp\nend\n", {}, {1}},
        {"TaxID with prefixes", "Taxonomy_1\nPrefixRemoves a\nTaxID 9606\nend\n", {1552}, {1}},
        {"TaxID with FromRefFile 0", "Taxonomy_1\nTaxID 9606\nFromRefFile 0\nend\n", {}, {1}},
        {"TaxID with FromRefFile 1", "Taxonomy_1\nTaxID 9606\nFromRefFile 1\nend\n", {1552}, {1}},
        // Three warnings of one number in a row: the second entry counts the repeat.
        {"bad values", "Taxonomy_2\nErrorLevel -3\nDescriptionLineSep -1\nGencodeFiles other:x\nend\n",
         {1551, 1551}, {2}},
        {"rule without quotes", "Taxonomy_2\nSrcDatabaseRule no quotes\nRULE_1 NCBI CHOP:P\nend\n",
         {1551, 1551}, {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Parsed p(c.text);
        EXPECT_EQ(p.messages, c.messages);
        for (int n = 0; n < bv_configfile::kTaxonomySlots; ++n) {
            const bool expected = std::find(c.present.begin(), c.present.end(), n) != c.present.end();
            EXPECT_EQ(p.config.taxonomySection(n) != nullptr, expected) << n;
        }
    }
    Parsed dup("Taxonomy_3\nTaxID 5\nend\nTaxonomy_3\nTaxID 7\nend\n");
    EXPECT_EQ(dup.config.taxonomySection(3)->taxID(), 5);
    Parsed level("Taxonomy_2\nErrorLevel -3\nend\n");
    EXPECT_EQ(level.config.taxonomySection(2)->getErrorLevel(), 1);

    std::string many = "Taxonomy_5\n";
    for (int i = 0; i < 300; ++i) many += "NoBreakDescLineIf w" + std::to_string(i) + "\n";
    Parsed exact(many + "end\n");
    EXPECT_EQ(exact.messages, std::vector<int>{});
    Parsed over(many + "NoBreakDescLineIf more\nend\n");
    EXPECT_EQ(over.messages, std::vector<int>{1555});
    EXPECT_EQ(over.config.taxonomySection(5)->getNumberOfNoBreakDescLineIf(), 300);

    // 100 prefixes and 100 suffixes at most; texts longer than their
    // 127-character storage are cut.
    std::string lists = "Taxonomy_6\nIdentifier " + std::string(200, 'i') + "\nQuickRefSearch \"" +
                        std::string(200, 'q') + "\"\n";
    for (int i = 0; i <= 100; ++i) lists += "PrefixRemoves p" + std::to_string(i) + "\nSuffixRemoves s" + std::to_string(i) + "\n";
    Parsed limited(lists + "end\n");
    EXPECT_EQ(limited.messages, (std::vector<int>{1553, 1554}));
    const bv_taxonomyoptions* t = limited.config.taxonomySection(6);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->getNumberOfPrefixRemoves(), 100);
    EXPECT_EQ(t->getNumberOfSuffixRemoves(), 100);
    EXPECT_EQ(t->getSuffixRemoves(99), " S99");
    EXPECT_EQ(t->getIdentifier(), std::string(127, 'i'));
    EXPECT_EQ(t->getQuickRefSearch(), std::string(127, 'q'));
}

TEST(TaxonomySection, RuleExpressionsBeyondTheirStorageAreRefused) {
    // Expressions of 127 and 128 characters with one subexpression each.
    const std::string fits = "\\(" + std::string(123, 'a') + "\\)";
    const std::string tooLong = "\\(" + std::string(124, 'a') + "\\)";
    ASSERT_EQ(fits.size(), 127u);
    struct Case {
        const char* key;
        bool accepted;
        std::string expression;
    } cases[] = {
        {"RULE_1 NCBI CHOP:P", true, fits},        {"RULE_1 NCBI CHOP:P", false, tooLong},
        {"DefaultRule NCBI CHOP:P", true, fits},   {"DefaultRule NCBI CHOP:P", false, tooLong},
        {"StrStrRule NCBI CHOP:P", true, fits},    {"StrStrRule NCBI CHOP:P", false, tooLong},
        {"SrcDatabaseRule", true, fits},           {"SrcDatabaseRule", false, tooLong},
        {"DoThisRuleFirst", true, fits},           {"DoThisRuleFirst", false, tooLong},
        {"AccFromSpeciesLine", true, fits},        {"AccFromSpeciesLine", false, tooLong},
    };
    for (const auto& c : cases) {
        const std::string line = std::string(c.key) + " \"" + c.expression + "\"";
        SCOPED_TRACE(line);
        Parsed p("Taxonomy_2\n" + line + "\nend\n");
        const bv_taxonomyoptions* t = p.config.taxonomySection(2);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(p.messages, c.accepted ? std::vector<int>{} : std::vector<int>{1551});
        if (!c.accepted) {
            EXPECT_NE(p.texts[0].find(line), std::string::npos);
        }
        const std::string key(c.key);
        std::string stored;
        if (key.starts_with("RULE_")) {
            EXPECT_EQ(t->getNumberOfRules(), c.accepted ? 1 : 0);
            if (t->getNumberOfRules() == 1) stored = t->getRule(0).rule.getText();
        } else if (key.starts_with("DefaultRule")) {
            stored = t->getDefaultRule().rule.getText();
        } else if (key.starts_with("StrStrRule")) {
            stored = t->getStrStrRule().rule.getText();
        } else if (key == "SrcDatabaseRule") {
            stored = t->getSrcDatabaseRule().getText();
        } else if (key == "DoThisRuleFirst") {
            stored = t->getDoThisRuleFirst().getText();
        } else {
            stored = t->getAccFromSpeciesLine().getText();
        }
        EXPECT_EQ(stored, c.accepted ? c.expression : "");
    }
}

TEST(TaxonomyRules, BuiltFromASectionAndClearedOnReload) {
    Parsed p(std::string(kFullSection) + "Taxonomy_7\nTaxID 9606\nend\n");
    TAXONOMY_RULES rules;
    rules.loadFromSection(p.config.taxonomySection(3));
    EXPECT_EQ(rules.enabled, 1);
    EXPECT_EQ(rules.errorLevel, 2);
    EXPECT_EQ(rules.concatRefFileLines, 0);
    EXPECT_EQ(rules.descriptionLineSep, '|');
    EXPECT_EQ(rules.speciesFileCount(), 5);
    EXPECT_EQ(rules.nodesFileCount(), 1);
    EXPECT_EQ(rules.gencodeFileCount(), 2);
    ASSERT_EQ(rules.ruleCount(), 2);
    EXPECT_EQ(rules.rules[1].label, "long_label_");
    ASSERT_NE(rules.rules[0].rule.regex, nullptr);
    ASSERT_NE(rules.srcDatabaseRule.regex, nullptr);
    EXPECT_NE(rules.defaultRule.rule.regex, nullptr);
    EXPECT_EQ(rules.prefixRemoves, (std::vector<std::string>{"ABC ", "DEF "}));
    EXPECT_EQ(rules.quickRefSearch, "  quick");
    EXPECT_EQ(rules.regexTexts[5], "explicit text");
    EXPECT_FALSE(rules.nuclearTranslation);
    EXPECT_FALSE(rules.taxIdGiven);
    EXPECT_EQ(rules.taxId, -1);
    EXPECT_EQ(rules.section.getIdentifier(), "NCBI nr, with GI numbers");

    char out[64];
    EXPECT_STREQ(getAccessionFromLine("[Homo sapiens]", out, sizeof out, rules.rules[0].rule, false),
                 "Homo sapiens");

    rules.loadFromSection(p.config.taxonomySection(7));
    EXPECT_EQ(rules.speciesFileCount(), 0);
    EXPECT_EQ(rules.ruleCount(), 0);
    EXPECT_EQ(rules.srcDatabaseRule.regex, nullptr);
    EXPECT_TRUE(rules.prefixRemoves.empty());
    EXPECT_TRUE(rules.taxIdGiven);
    EXPECT_EQ(rules.taxId, 9606);
    EXPECT_TRUE(rules.nuclearTranslation);

    rules.loadFromSection(nullptr);
    EXPECT_EQ(rules.taxId, -1);
    EXPECT_FALSE(rules.taxIdGiven);
}

// A RULE_ entry the section keeps without an expression keeps its slot, so
// the rules stand in the section's order; it has nothing compiled.
TEST(TaxonomyRules, RuleWithoutExpressionKeepsItsSlot) {
    Parsed p("Taxonomy_2\nRULE_1 NCBI CHOP:P\nRULE_2 PDB CHOP:S \"^\\([0-9]*\\)\"\nend\n");
    ASSERT_EQ(p.config.taxonomySection(2)->getNumberOfRules(), 2);
    TAXONOMY_RULES rules;
    rules.loadFromSection(p.config.taxonomySection(2));
    ASSERT_EQ(rules.ruleCount(), 2);
    EXPECT_EQ(rules.rules[0].label, "1");
    EXPECT_EQ(rules.rules[0].source, 0);
    EXPECT_EQ(rules.rules[0].chopFlags, 1);
    EXPECT_STREQ(rules.rules[0].rule.text, "");
    EXPECT_EQ(rules.rules[0].rule.regex, nullptr);
    EXPECT_EQ(rules.rules[1].label, "2");
    EXPECT_NE(rules.rules[1].rule.regex, nullptr);
}
