#include "config/bv_options.h"

#include <gtest/gtest.h>

using namespace brenvik;

namespace {
std::string valueOf(const bv_options& o, const char* key) {
    std::string v;
    EXPECT_TRUE(o.getValueText(key, v)) << key;
    return v;
}
}  // namespace

TEST(OptionsDefaults, EveryKindHasItsDefault) {
    bv_options o;
    struct Case {
        const char* key;
        const char* value;
    } cases[] = {
        {"SaveLastQueryAsc", "0"},
        {"SaveEveryLastQueryAsc", "1"},
        {"LastQueryAscFile", "../logs/lastquery.asc"},
        {"ResultsFullURL", "http://localhost/cgi/summary_report.pl"},
        {"MassDecimalPlaces", "2"},
        {"EmailTimeOutPeriod", "120"},
        {"UnixWebUserGroup", "-1"},
        {"MaxSequenceLen", "80000"},
        {"MaxNumPeptides", "20000"},
        {"CentroidWidth", "0.25"},
        {"Vmemory", "-1"},
        {"ProxyType", "Auto"},
        {"SigThreshold", "0.05"},
        {"StoreModPermutations", "1"},
        {"SplitDataFileSize", "10000000"},
        {"FeatureTableMinScore", "13"},
        {"ICATFilter", "C"},
        {"UnixDirPerm", "777"},
        {"MinEtagMassDelta", "-130"},
        {"MaxEtagMassDelta", "1770"},
        {"SortUnassigned", "scoredown"},
        {"MudpitSwitch", "0.001"},
        {"CacheDirectory", "../data/cache/%Y/%m"},
        {"PercolatorExeFlags", "-i 10 -D 14 -v 0"},
        {"SpectrumViewerDefaultColourScheme", "screen"},
        {"SVGSpectrumSwitch", "2000"},
        {"SearchSubmitMode", "async"},
        {"MaxIntactCrosslinkPeptides", "1000000"},
        {"MinPeakIteration", "1"},
        {"EncryptURL", "0"},
    };
    for (const Case& c : cases) EXPECT_EQ(valueOf(o, c.key), c.value) << c.key;
    std::string v;
    EXPECT_FALSE(o.getValueText("errorlogfile", v));  // keys are case-sensitive
    EXPECT_EQ(o.getReportNumberChoices(), (std::vector<int32_t>{5, 10, 20, 30, 40, 50}));
    EXPECT_EQ(o.getTargetFDRPercentages(), (std::vector<double>{0.1, 0.2, 0.5, 1, 2, 5}));
    EXPECT_EQ(o.getTargetFDRDefaultPosition(), 3);
    EXPECT_EQ(o.getReviewColWidths().size(), 16u);
    EXPECT_EQ(o.getReviewColWidths()[5], 100);
    EXPECT_FALSE(o.getReviewColDisplay()[5]);
    EXPECT_EQ(o.getIgnoreDupeAccessions(), std::vector<std::string>{"EST_others"});
    EXPECT_FALSE(o.isUnixDirPermGiven());
    EXPECT_EQ(o.getPrecursorCutOutLower(), -1.0);
    EXPECT_EQ(o.getSeqFetchBlastAccession().fieldNumber, 3);
    EXPECT_EQ(o.getSeqFetchBlastAccession().separatorText, "| ");
    EXPECT_EQ(o.getExecAfterSearch(1), "");
    EXPECT_EQ(o.getReportBuilderColumnArrangement(1), bv_options::kDefaultColumnArrangement);
    EXPECT_EQ(o.getColourSchemeNames(), std::vector<std::string>{"screen"});
    EXPECT_EQ(o.getColourScheme("SCREEN"), bv_options::kDefaultColourScheme);
    EXPECT_EQ(o.getDefaultSeparator(), " ");
    EXPECT_FALSE(o.isSectionAvailable());
}

TEST(OptionsDefaults, CopyIsDeepAndSetDefaultsRestores) {
    bv_options a;
    a.setErrorLogFile("x.log");
    a.setSectionAvailable(true);
    a.addRawLine("ErrorLogFile x.log");
    bv_options b;
    b.copyFrom(a);
    a.setErrorLogFile("y.log");
    EXPECT_EQ(b.getErrorLogFile(), "x.log");
    EXPECT_TRUE(b.isSectionAvailable());
    EXPECT_EQ(b.getNumberOfProperties(), 1);
    b.setDefaults();
    EXPECT_EQ(b.getErrorLogFile(), "../logs/errorlog.txt");
    EXPECT_EQ(b.getNumberOfProperties(), 0);
    EXPECT_FALSE(b.isSectionAvailable());
}
