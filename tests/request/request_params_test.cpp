#include "request/request_params.h"

#include <gtest/gtest.h>

#include <string>

TEST(RequestParams, ItemLimitAcceptsTheLastAndRefusesOneMore) {
    request_params p(1);
    for (int i = 0; i < 99999; ++i) ASSERT_TRUE(p.addTaxId(i));
    EXPECT_TRUE(p.addAccession("A1", 0));  // the 100,000th item
    EXPECT_FALSE(p.addTaxId(5));
    EXPECT_FALSE(p.addAccession("A2", 0));
    EXPECT_EQ(p.accessions.size(), 1u);
    EXPECT_EQ(p.taxIds.size(), 99999u);
}

TEST(RequestParams, ByteLimitCountsLengthPlusSix) {
    request_params p(0);
    const std::string acc(1000, 'A');
    for (int i = 0; i < 10423; ++i) ASSERT_TRUE(p.addAccession(acc, 0)) << i;
    EXPECT_FALSE(p.addAccession(acc, 0));
    EXPECT_EQ(p.accessions.size(), 10423u);
    EXPECT_EQ(std::string(p.accessions.back()), acc);
}

TEST(RequestParams, LongTextsAreKeptWhole) {
    request_params p(0);
    const std::string big(5000, 'x');
    ASSERT_TRUE(p.addAccession("short", 1));
    ASSERT_TRUE(p.addAccession(big, 2));
    ASSERT_TRUE(p.addAccession("after", 3));
    EXPECT_EQ(std::string(p.accessions[0]), "short");
    EXPECT_EQ(std::string(p.accessions[1]), big);
    EXPECT_EQ(std::string(p.accessions[2]), "after");
    EXPECT_EQ(p.frames, (std::vector<int16_t>{1, 2, 3}));
}

TEST(RequestParams, DuplicatesAreFoundOnceAndEveryPositionIsMarked) {
    request_params p(1);
    ASSERT_TRUE(p.addAccession("P1", 0));
    ASSERT_TRUE(p.addTaxId(9606));
    ASSERT_TRUE(p.addAccession("P2", 0));
    ASSERT_TRUE(p.addAccession("P1", 0));
    EXPECT_EQ(p.itemKinds, (std::vector<bool>{true, false, true, true}));
    EXPECT_EQ(p.distinctAccessions(), 2);

    EXPECT_TRUE(p.markAccessionFound("nope", 3));
    EXPECT_EQ(p.foundCount, 0);
    EXPECT_TRUE(p.markAccessionFound("P1", 7));
    EXPECT_TRUE(p.markAccessionFound("P1", 8));  // a later find moves the index, counts once
    EXPECT_EQ(p.foundCount, 1);
    EXPECT_EQ(p.foundIndex, (std::vector<int32_t>{8, -1, 8}));
    EXPECT_FALSE(p.markAccessionFound("P2", 2));  // every distinct accession found
    EXPECT_EQ(p.foundIndex, (std::vector<int32_t>{8, 2, 8}));

    p.reset();
    EXPECT_TRUE(p.accessions.empty());
    EXPECT_EQ(p.itemCount, 0);
    ASSERT_TRUE(p.addAccession("Z", 0));
    EXPECT_EQ(std::string(p.accessions[0]), "Z");
}

// Thousands of accessions, every one requested twice and some texts
// prefixes of others: each position gets its own entry's index, a text
// that is not requested changes nothing, and the scan may stop only after
// the last distinct one.
TEST(RequestParams, ManyRepeatedAccessionsAreEachFoundAtTheirEntry) {
    request_params p(0);
    const int kDistinct = 5000;
    auto text = [](int i) { return (i % 3 == 0 ? "Q" : "ACC_LONGER_THAN_EIGHT_") + std::to_string(i); };
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < kDistinct; ++i) ASSERT_TRUE(p.addAccession(text(i), 0));
    EXPECT_EQ(p.distinctAccessions(), kDistinct);

    for (int i = 0; i < kDistinct; ++i) {
        EXPECT_TRUE(p.markAccessionFound(text(i) + "X", 1)) << i;
        EXPECT_TRUE(p.markAccessionFound(text(i).substr(0, text(i).size() - 1) + "_", 1)) << i;
    }
    EXPECT_EQ(p.foundCount, 0);
    for (int i = kDistinct - 1; i >= 0; --i) EXPECT_EQ(p.markAccessionFound(text(i), 100 + i), i != 0) << i;
    EXPECT_EQ(p.foundCount, kDistinct);
    for (int i = 0; i < 2 * kDistinct; ++i) ASSERT_EQ(p.foundIndex[i], 100 + i % kDistinct) << i;
}
