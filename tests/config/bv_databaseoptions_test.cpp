#include "config/bv_databaseoptions.h"

#include <gtest/gtest.h>

#include <string>

#include "common/bv_errs.h"
#include "config/bv_sectionlines.h"

namespace {

using namespace brenvik;

struct Read {
    explicit Read(const std::string& body) {
        bv_textlines lines(body + "end\n");
        dbs.readSection(lines, errs, "tarvex.dat");
    }
    bv_databaseoptions dbs;
    bv_errs errs;
};

TEST(DatabasesSection, ColumnsByType) {
    const std::string longName(170, 'N');
    Read r("SP /d/sp.fasta AA 11 12 1 1 8 1 1 21 22 23 3\n"
           "NT d/nt na 1 1 0 0 4 0 1 5 6 7 3\n"          // column 7 zero
           "TR tr AA 1 1 1 1 1 1 1 1 2 3\n"              // 13 fields: no taxonomy section
           "EXTRA x AA 1 1 1 1 1 1 1 1 2 3 9 10 11\n"    // more numbers than columns
           "SPEC sl SL 5 6 7 8 9 1 1 31 32 33 34\n"      // SL keeps defaults beyond 11, 12
           "ODD o xx 1 1 1 1 1 1 1 1 2 3 4\n"            // unknown type reads as AA
           + longName + " 1 1 1 1 1 1 1 1 1 1 1\n");
    EXPECT_EQ(r.errs.getNumberOfErrors(), 0) << r.errs.getLastErrorString();
    ASSERT_EQ(r.dbs.getNumberOfDatabases(), 7);
    const bv_databaseentry& sp = *r.dbs.getDatabase(0);
    EXPECT_TRUE(sp.isActive());
    EXPECT_EQ(sp.getName(), "SP");
    EXPECT_EQ(sp.path, "/d/sp.fasta");
    EXPECT_EQ(sp.getType(), 0);
    EXPECT_EQ(sp.column4, 11);
    EXPECT_EQ(sp.column5, 12);
    EXPECT_EQ(sp.threadCount, 8);
    EXPECT_TRUE(sp.accessionRefFlag);
    EXPECT_EQ(sp.accessionRule, 21);
    EXPECT_EQ(sp.descriptionRule, 22);
    EXPECT_EQ(sp.accessionRefRule, 23);
    EXPECT_EQ(sp.taxonomySectionNumber(), 3);

    const bv_databaseentry& nt = *r.dbs.getDatabase(1);
    EXPECT_EQ(nt.getType(), 1);
    EXPECT_TRUE(nt.column7IsZero);
    EXPECT_FALSE(nt.accessionRefFlag);
    EXPECT_EQ(nt.taxonomySectionNumber(), -1);
    EXPECT_FALSE(nt.column6Flag);

    EXPECT_EQ(r.dbs.getDatabase(2)->taxonomySectionNumber(), -1);
    EXPECT_EQ(r.dbs.getDatabase(3)->taxonomySectionNumber(), 9);

    const bv_databaseentry& sl = *r.dbs.getDatabase(4);
    EXPECT_EQ(sl.getType(), 2);
    EXPECT_EQ(sl.column4, 5);
    EXPECT_EQ(sl.accessionRule, 31);
    EXPECT_EQ(sl.descriptionRule, 32);
    EXPECT_EQ(sl.accessionRefRule, 0);
    EXPECT_EQ(sl.taxonomySectionNumber(), 0);
    EXPECT_EQ(sl.threadCount, -1);
    EXPECT_TRUE(sl.column6Flag);

    EXPECT_EQ(r.dbs.getDatabase(5)->getType(), 0);
    // A name over 159 characters is cut; the rest shifts into the path.
    const bv_databaseentry& cut = *r.dbs.getDatabase(6);
    EXPECT_EQ(cut.getName(), std::string(159, 'N'));
    EXPECT_EQ(cut.path, std::string(11, 'N'));

    EXPECT_EQ(r.dbs.getPropertyName(0), "SP");
    EXPECT_EQ(r.dbs.getPropertyValue(0), "/d/sp.fasta AA 11 12 1 1 8 1 1 21 22 23 3");

    // Numbers beyond the int range are clamped; a type word of three letters
    // leaves its third letter where the first number should be.
    Read odd("BIG p AA 99999999999 -99999999999 1 1 1 1 1 1 2 3 4\n"
             "AAX p AAX 1 1 1 1 1 1 1 1 2 3 4\n");
    ASSERT_EQ(odd.dbs.getNumberOfDatabases(), 1);
    EXPECT_EQ(odd.dbs.getDatabase(0)->column4, 2147483647);
    EXPECT_EQ(odd.dbs.getDatabase(0)->column5, -2147483647 - 1);
    EXPECT_EQ(odd.dbs.getDatabase(0)->taxonomySectionNumber(), 4);
    EXPECT_EQ(odd.errs.getLastError(), 1541);
}

TEST(DatabasesSection, CommentsInactiveAndDuplicates) {
    Read r("## first comment\n"
           "#OLD p AA 1 1\n"                                  // too few fields, commented: a comment
           "\n"
           "#OFF p AA 1 1 1 1 1 1 1 1 2 3 4\n"
           "## before sp\n"
           "#\n"
           "SP p AA 1 1 1 1 1 1 1 1 2 3 4\n"
           "sp other AA 1 1 1 1 1 1 1 1 2 3 4\n"              // same name, other case: dropped
           "SHORT p AA 1 2 3\n"                                // too few fields: warning
           "## trailing   \n");
    ASSERT_EQ(r.dbs.getNumberOfDatabases(), 2);
    const bv_databaseentry& off = *r.dbs.getDatabase(0);
    EXPECT_FALSE(off.isActive());
    EXPECT_EQ(off.getName(), "OFF");
    EXPECT_EQ(off.comment, "## first comment\n#OLD p AA 1 1\n");
    EXPECT_EQ(r.dbs.getDatabase(1)->comment, "## before sp\n");
    EXPECT_EQ(r.dbs.getTrailingComment(), "## trailing");
    EXPECT_EQ(r.dbs.getNumberOfProperties(), 2);

    EXPECT_EQ(r.errs.getNumberOfErrors(), 1);
    EXPECT_EQ(r.errs.getLastError(), 1541);
    EXPECT_NE(r.errs.getLastErrorString().find("database SHORT doesn't"), std::string::npos);
    EXPECT_TRUE(r.errs.isValid());

    EXPECT_EQ(r.dbs.findDatabase("SP", false), 1);
    EXPECT_EQ(r.dbs.findDatabase("sp", false), -1);
    EXPECT_EQ(r.dbs.findDatabase("OFF", false), -1);
    EXPECT_EQ(r.dbs.findDatabase("OFF", true), 0);
    EXPECT_EQ(r.dbs.findDatabase("", true), -1);
    EXPECT_EQ(r.dbs.findDatabase(nullptr, true), -1);
    EXPECT_EQ(r.dbs.getDatabase(2), nullptr);

    bv_databaseoptions copy = r.dbs;
    r.dbs.setDefaults();
    EXPECT_EQ(copy.getNumberOfDatabases(), 2);
    EXPECT_EQ(r.dbs.getNumberOfDatabases(), 0);
    EXPECT_FALSE(r.dbs.isSectionAvailable());
}

}  // namespace
