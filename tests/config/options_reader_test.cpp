// The Options section's reader: value kinds, lists, rules and families.
#include <gtest/gtest.h>

#include <vector>

#include "common/bv_errs.h"
#include "config/bv_options.h"
#include "config/bv_sectionlines.h"

using namespace brenvik;

namespace {

std::vector<int> numbersOf(const bv_errs& errs) {
    std::vector<int> out;
    for (int i = 1; i <= errs.getNumberOfErrors(); ++i) out.push_back(errs.getErrorNumber(i));
    return out;
}

// Reads the lines as an Options section (no end line: the input ends it).
std::vector<int> readOptions(bv_options& o, const std::string& text) {
    bv_errs errs(2, false);
    bv_textlines lines(text);
    o.readSection(lines, errs, "tarvex.dat", "");
    return numbersOf(errs);
}

std::string valueOf(const bv_options& o, const std::string& key) {
    std::string v;
    EXPECT_TRUE(o.getValueText(key, v)) << key;
    return v;
}

const std::vector<int> none;
const std::vector<int> bad{1542};

}  // namespace

TEST(OptionsReader, ValueKindsTable) {
    struct Case {
        const char* lines;
        const char* key;
        const char* value;
        std::vector<int> messages;
    } cases[] = {
        // text, text required
        {"TaxBrowserUrl http://x/y?a b", "TaxBrowserUrl", "http://x/y?a b", none},
        {"TaxBrowserUrl", "TaxBrowserUrl", "", none},
        {"ErrorLogFile \t /var/log/e.txt  \t", "ErrorLogFile", "/var/log/e.txt", none},
        {"ErrorLogFile", "ErrorLogFile", "../logs/errorlog.txt", bad},
        {"ErrorLogFile a.txt\nErrorLogFile b.txt", "ErrorLogFile", "b.txt", none},  // the later line wins
        {"errorlogfile a.txt", "ErrorLogFile", "../logs/errorlog.txt", none},       // keys are exact
        // flags
        {"StoreModPermutations x", "StoreModPermutations", "1", none},
        {"StoreModPermutations 2", "StoreModPermutations", "0", none},
        {"RequireBoldRed x", "RequireBoldRed", "0", none},
        {"RequireBoldRed 1", "RequireBoldRed", "1", none},
        {"SaveEveryLastQueryAsc x", "SaveEveryLastQueryAsc", "1", none},  // Fn: unchanged
        {"SaveEveryLastQueryAsc 0", "SaveEveryLastQueryAsc", "0", none},
        {"EmailUsersEnabled 1\nEmailUsersEnabled junk", "EmailUsersEnabled", "1", none},
        // int, int reset
        {"UniqueJobStartNumber x", "UniqueJobStartNumber", "1234", none},
        {"UniqueJobStartNumber 99\nUniqueJobStartNumber x", "UniqueJobStartNumber", "99", none},
        {"UniqueJobStartNumber -1", "UniqueJobStartNumber", "1234", bad},
        {"MailTransport -1", "MailTransport", "2", bad},
        {"MailTransport 3", "MailTransport", "3", none},
        {"MassDecimalPlaces 21", "MassDecimalPlaces", "2", bad},
        {"MaxConcurrentSearches 5\nMaxConcurrentSearches x", "MaxConcurrentSearches", "10", none},
        {"MaxQueries 5", "MaxQueries", "10", none},
        {"MinPepLenInPepSummary 0", "MinPepLenInPepSummary", "7", none},
        {"SeparateLockMem 99999999999", "SeparateLockMem", "2147483647", none},  // clamped, then checked
        {"FeatureTableLength -99999999999", "FeatureTableLength", "30000", bad},
        {"Mudpit x", "Mudpit", "1000", bad},
        {"Mudpit -5", "Mudpit", "-5", none},
        // int L(d)
        {"MaxPepModArrangements 2000000", "MaxPepModArrangements", "2000000", bad},
        {"MaxPepModArrangements x", "MaxPepModArrangements", "64", bad},
        {"MinPepLenInSearch x", "MinPepLenInSearch", "3", bad},
        {"MinPepLenInSearch -4", "MinPepLenInSearch", "-4", none},
        {"MaxDatabases 10", "MaxDatabases", "64", bad},
        {"MaxDatabases 300", "MaxDatabases", "300", none},
        {"PercolatorMinQueries 0", "PercolatorMinQueries", "750", bad},
        {"SVGSpectrumSwitch 200000", "SVGSpectrumSwitch", "100000", bad},
        {"SVGSpectrumSwitch -1", "SVGSpectrumSwitch", "2000", bad},
        {"DisplayNonSignificantMatches 2\nDisplayNonSignificantMatches 3", "DisplayNonSignificantMatches", "2", bad},
        {"SpectraPerLibraryBlock 0", "SpectraPerLibraryBlock", "500000", bad},
        {"CrawlerNumPeaksPer100Da 1000001", "CrawlerNumPeaksPer100Da", "100", bad},
        {"DechargeFragmentPeaks -3", "DechargeFragmentPeaks", "-3", none},
        // real and single kinds
        {"CentroidWidth 10", "CentroidWidth", "0.25", bad},
        {"CentroidWidth 0.5\nCentroidWidth x", "CentroidWidth", "0.25", none},
        {"CentroidWidth 0", "CentroidWidth", "0.25", bad},
        {"SigThreshold 1", "SigThreshold", "0.05", bad},
        {"SigThreshold 0.01", "SigThreshold", "0.01", none},
        {"ShowSubSets 1.5", "ShowSubSets", "0", none},
        {"ShowSubSets 0.5", "ShowSubSets", "0.5", none},
        {"IgnoreIonsScoreBelow -1", "IgnoreIonsScoreBelow", "0", bad},
        {"MudpitSwitch -0.5", "MudpitSwitch", "0.001", bad},
        {"FeatureTableMinScore 0", "FeatureTableMinScore", "13", bad},
        // NaN lies in no range: refused like any other value outside it
        {"CentroidWidth nan", "CentroidWidth", "0.25", bad},
        {"SigThreshold NaN", "SigThreshold", "0.05", bad},
        {"SiteAnalysisMD10Prob nan", "SiteAnalysisMD10Prob", "0.1", bad},
        {"FeatureTableMinScore -nan", "FeatureTableMinScore", "13", bad},
        {"IgnoreIonsScoreBelow nan", "IgnoreIonsScoreBelow", "0", bad},
        {"ShowSubSets nan", "ShowSubSets", "0", none},
        {"MinEtagMassDelta 5\nMinEtagMassDelta x", "MinEtagMassDelta", "-130", none},
        {"MaxEtagMassDelta -2.5", "MaxEtagMassDelta", "-2.5", none},
        {"Vmemory -2", "Vmemory", "-1", bad},
        {"Vmemory 1e9", "Vmemory", "1000000000", none},
        {"Vmemory 2.9", "Vmemory", "2", none},
        {"Vmemory 1e30", "Vmemory", "9223372036854775807", none},
        // words and names
        {"SortUnassigned ScoreDown", "SortUnassigned", "scoredown", bad},
        {"SortUnassigned intdown", "SortUnassigned", "intdown", none},
        {"SearchSubmitMode direct", "SearchSubmitMode", "direct", none},
        {"SearchSubmitMode Direct", "SearchSubmitMode", "async", none},
        {"ProxyType specify", "ProxyType", "Specify", none},
        {"ProxyType wpad", "ProxyType", "WPAD", none},
        {"ProxyType Proxy", "ProxyType", "Auto", bad},
        {"ICATFilter", "ICATFilter", "C", {1568}},
        {"ICATFilter CK", "ICATFilter", "CK", none},
        {"EmailFromTextName \"Tarvex Server'", "EmailFromTextName", "Tarvex Server", none},
        {"EmailFromTextName 'ab\"c", "EmailFromTextName", "ab\"c", none},
        {"EmailFromTextName abc\"", "EmailFromTextName", "abc\"", none},
        {"UnixDirPerm 0750", "UnixDirPerm", "750", none},
        {"UnixDirPerm x", "UnixDirPerm", "777", none},
    };
    for (const Case& c : cases) {
        bv_options o;
        std::vector<int> messages = readOptions(o, c.lines);
        EXPECT_EQ(valueOf(o, c.key), c.value) << c.lines;
        EXPECT_EQ(messages, c.messages) << c.lines;
        EXPECT_TRUE(o.isSectionAvailable());
    }
}

TEST(OptionsReader, MaxSequenceLenSetsMaxNumPeptides) {
    struct Case {
        const char* lines;
        const char* seqLen;
        const char* peptides;
        std::vector<int> messages;
    } cases[] = {
        {"MaxSequenceLen 100", "80000", "20000", bad},
        {"MaxSequenceLen 101", "101", "25", none},
        {"MaxSequenceLen x", "80000", "20000", none},
        {"MaxNumPeptides 7\nMaxSequenceLen 400", "400", "100", none},  // overwritten
        {"MaxSequenceLen 400\nMaxNumPeptides 7", "400", "7", none},    // kept
        {"MaxSequenceLen 400\nMaxNumPeptides 0", "400", "100", bad},
    };
    for (const Case& c : cases) {
        bv_options o;
        EXPECT_EQ(readOptions(o, c.lines), c.messages) << c.lines;
        EXPECT_EQ(valueOf(o, "MaxSequenceLen"), c.seqLen) << c.lines;
        EXPECT_EQ(valueOf(o, "MaxNumPeptides"), c.peptides) << c.lines;
    }
}

TEST(OptionsReader, ListKeys) {
    bv_options o;
    EXPECT_EQ(readOptions(o, "ReportNumberChoices 10,auto 0\t20"), bad);
    EXPECT_EQ(o.getReportNumberChoices(), (std::vector<int32_t>{10, -1, 20}));
    EXPECT_EQ(readOptions(o, "ReportNumberChoices 10, x, 20"), bad);
    EXPECT_EQ(o.getReportNumberChoices(), (std::vector<int32_t>{10}));

    EXPECT_EQ(readOptions(o, "TargetFDRPercentages 1, 5+, 10"), none);
    EXPECT_EQ(o.getTargetFDRPercentages(), (std::vector<double>{1, 5, 10}));
    EXPECT_EQ(o.getTargetFDRDefaultPosition(), 1);
    EXPECT_EQ(readOptions(o, "TargetFDRPercentages 0 1"), bad);
    EXPECT_EQ(o.getTargetFDRPercentages(), (std::vector<double>{1}));
    EXPECT_EQ(o.getTargetFDRDefaultPosition(), 1);

    EXPECT_EQ(readOptions(o, "ReviewColWidths 10,1,20"), bad);
    std::vector<int32_t> widths{10, 8, 20, 27, 30, 100, 32, 25, 6, 13, 4, 4, 6, 16, 7, 32};
    EXPECT_EQ(o.getReviewColWidths(), widths);
    EXPECT_EQ(readOptions(o, "ReviewColDisplay 0 1 x 1 1 1 1 1 1 1 1 1 1 1 1 1 0 0"), bad);
    EXPECT_FALSE(o.getReviewColDisplay()[0]);
    EXPECT_TRUE(o.getReviewColDisplay()[2]);  // bad token: default kept
    EXPECT_TRUE(o.getReviewColDisplay()[5]);
    EXPECT_TRUE(o.getReviewColDisplay()[15]);  // tokens after the sixteenth are ignored

    EXPECT_EQ(readOptions(o, "IgnoreDupeAccessions A,B\tC"), none);
    EXPECT_EQ(o.getIgnoreDupeAccessions(), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(readOptions(o, "IgnoreDupeAccessions"), none);
    EXPECT_TRUE(o.getIgnoreDupeAccessions().empty());
}

TEST(OptionsReader, PrecursorCutOut) {
    struct Case {
        const char* value;
        double lower, upper;
        std::vector<int> messages;
    } cases[] = {
        {"-1", -1, -1, none},
        {"100", -1, -1, bad},
        {"100,200", 100, 200, none},
        {"100 200", 100, 200, none},
        {": 100 200", 100, 200, none},
        {"100, 200", -1, -1, bad},
        {"200,100", -1, -1, bad},
        {"x", -1, -1, bad},
        {"1000000000000000000000000000000000000000000000000000000000000000000,2", -1, -1, bad},  // token over 63
    };
    for (const Case& c : cases) {
        bv_options o;
        EXPECT_EQ(readOptions(o, std::string("PrecursorCutOut ") + c.value), c.messages) << c.value;
        EXPECT_EQ(o.getPrecursorCutOutLower(), c.lower) << c.value;
        EXPECT_EQ(o.getPrecursorCutOutUpper(), c.upper) << c.value;
    }
}

TEST(OptionsReader, SeqFetchBlastAccession) {
    struct Case {
        const char* value;
        bool regex;
        const char* start;
        const char* separator;
        int field;
        std::vector<int> messages;
    } cases[] = {
        {"(>),(|),(2)", false, ">", "|", 2, none},
        {"( ),(| ),(4)", false, " ", "| ", 4, none},
        {"regex anything", true, " ", "| ", 3, none},
        {"", false, " ", "| ", 3, none},
        {">),(|),(2)", false, " ", "| ", 3, bad},
        {"(>)", false, " ", "| ", 3, bad},
        {"(>),(|)", false, ">", "|", 3, bad},        // parts before the error stay
        {"(>),(|),(", false, ">", "|", 3, bad},      // never reads past the text
        {"(>),(|),(2", false, ">", "|", 2, bad},
        {"(>),(|),(23)", false, ">", "|", 23, bad},  // one digit only
    };
    for (const Case& c : cases) {
        bv_options o;
        EXPECT_EQ(readOptions(o, std::string("SeqFetchBlastAccession ") + c.value), c.messages) << c.value;
        const bv_blastaccessionrule& r = o.getSeqFetchBlastAccession();
        EXPECT_EQ(r.regexMode, c.regex) << c.value;
        EXPECT_EQ(r.startText, c.start) << c.value;
        EXPECT_EQ(r.separatorText, c.separator) << c.value;
        EXPECT_EQ(r.fieldNumber, c.field) << c.value;
    }
    // Regex mode keeps the texts and the field number of an earlier line.
    bv_options o;
    readOptions(o, "SeqFetchBlastAccession (>),(|),(2)\nSeqFetchBlastAccession REGEX");
    EXPECT_TRUE(o.getSeqFetchBlastAccession().regexMode);
    EXPECT_EQ(o.getSeqFetchBlastAccession().fieldNumber, 2);
    // Texts over 254 characters are refused, not cut.
    bv_options p;
    EXPECT_EQ(readOptions(p, "SeqFetchBlastAccession (" + std::string(255, 'a') + "),(|),(2)"), bad);
    EXPECT_EQ(p.getSeqFetchBlastAccession().startText, " ");
}

TEST(OptionsReader, RawLinesAndSectionEnd) {
    bv_options o;
    bv_errs errs;
    bv_textlines lines("# comment\nUnknownKey 5   \n  ErrorLogFile x.txt\t\nend\nMailTransport 1\n");
    o.readSection(lines, errs, "tarvex.dat", "# head\n");
    EXPECT_EQ(o.getHeader(), "# head\n");
    ASSERT_EQ(o.getNumberOfProperties(), 3);
    EXPECT_EQ(o.getPropertyValue(0), "# comment");
    EXPECT_EQ(o.getPropertyName(1), "UnknownKey");
    EXPECT_EQ(o.getPropertyValue(1), "5");
    EXPECT_EQ(o.getErrorLogFile(), "x.txt");
    EXPECT_EQ(o.getMailTransport(), 2);  // after the end line
    std::string next;
    ASSERT_TRUE(lines.nextLine(next));
    EXPECT_EQ(next, "MailTransport 1");
    EXPECT_EQ(errs.getNumberOfErrors(), 0);
}

TEST(OptionsReader, MessageNamesFileAndLine) {
    bv_options o;
    bv_errs errs;
    bv_textlines lines("MailTransport 9  ");
    o.readSection(lines, errs, "../config/tarvex.dat", "");
    ASSERT_EQ(errs.getNumberOfErrors(), 1);
    EXPECT_EQ(errs.getErrorString(1),
              "Error in line in Options section of the configuration file ../config/tarvex.dat: MailTransport 9");
}

TEST(OptionsFamilies, ExecAfterSearch) {
    bv_options o;
    EXPECT_EQ(readOptions(o, "ExecAfterSearch_11 waitfor:0,x,cmd\nExecAfterSearch_a waitfor:0,x,cmd\n"
                             "ExecAfterSearch_ waitfor:0,x,cmd"),
              (std::vector<int>{1542, 1542}));
    EXPECT_EQ(o.getExecAfterSearch(1), "");

    bv_options p;
    EXPECT_EQ(readOptions(p, "ExecAfterSearch_3 waitfor:4,a,early\n"  // waits for a command not yet defined
                             "ExecAfterSearch_1 waitfor:0,x,cmd\n"
                             "ExecAfterSearch_2 waitfor:1;logging:2;extra,y,cmd2, more\n"
                             "ExecAfterSearch_4 waitfor:1;logging:2 extra,z,cmd4\n"
                             "ExecAfterSearch_5 waitfor:0,only-two\n"
                             "ExecAfterSearch_6 waitfor:11,a,b\n"
                             "ExecAfterSearch_7 waitfor:0;logging:4,a,b\n"
                             "ExecAfterSearch_8 logging:1,a,b\n"),
              none);
    EXPECT_EQ(p.getExecAfterSearch(1), "waitfor:0,x,cmd");
    EXPECT_EQ(p.getExecAfterSearch(3), "");
    for (int n : {5, 6, 7, 8}) EXPECT_EQ(p.getExecAfterSearch(n), "") << n;
    std::vector<bv_options::ExecAfterSearchCommand> cmds = p.getExecAfterSearchCommands();
    ASSERT_EQ(cmds.size(), 10u);
    EXPECT_EQ(cmds[0].command, "cmd");
    EXPECT_EQ(cmds[0].secondField, "x");
    EXPECT_EQ(cmds[0].waitFor, 0);
    EXPECT_EQ(cmds[1].command, "cmd2, more");
    EXPECT_EQ(cmds[1].waitFor, 1);
    EXPECT_EQ(cmds[1].logging, 2);
    EXPECT_EQ(cmds[1].options, "extra");
    EXPECT_EQ(cmds[3].options, "");
    EXPECT_EQ(p.findProperty("ExecAfterSearch_2") >= 0, true);
    // Back to the defaults (the reset at the start of a run), nothing of the
    // commands read is left.
    p.setDefaults();
    EXPECT_TRUE(p.getExecAfterSearchCommands().empty());
    EXPECT_TRUE(p == bv_options());
}

TEST(OptionsFamilies, ColumnArrangements) {
    bv_options o;
    EXPECT_EQ(readOptions(o, "ReportBuilderColumnArrangement_3 Mine:acc,score\n"
                             "ReportBuilderColumnArrangement_4 Mine\n"
                             "ReportBuilderColumnArrangement_0 A:b"),
              bad);
    EXPECT_EQ(o.getReportBuilderColumnArrangement(1), bv_options::kDefaultColumnArrangement);
    EXPECT_EQ(o.getReportBuilderColumnArrangement(3), "Mine:acc,score");
    for (int n : {2, 4, 10, 11}) EXPECT_EQ(o.getReportBuilderColumnArrangement(n), "") << n;
    int at = o.findProperty("ReportBuilderColumnArrangement_3");
    ASSERT_GE(at, 0);

    readOptions(o, "ReportBuilderColumnArrangement_3");
    EXPECT_EQ(o.getReportBuilderColumnArrangement(3), "");
    // Every property of that name is removed, the raw line just read included.
    EXPECT_EQ(o.findProperty("ReportBuilderColumnArrangement_3"), -1);
}

TEST(OptionsFamilies, ColourSchemes) {
    bv_options o;
    EXPECT_EQ(readOptions(o, "SpectrumViewerColourScheme_print unmatched=gray,library_peak=#00FF00\n"
                             "SpectrumViewerColourScheme_PRINT unmatched=red\n"
                             "SpectrumViewerColourScheme_bad1 peak=red\n"
                             "SpectrumViewerColourScheme_bad2 unmatched=pink\n"
                             "SpectrumViewerColourScheme_bad3 unmatched=red,\n"
                             "SpectrumViewerColourScheme_my-scheme unmatched=red"),
              bad);
    EXPECT_EQ(o.getColourSchemeNames(), (std::vector<std::string>{"screen", "print"}));
    for (const char* n : {"Print", "PRINT", "print"}) EXPECT_EQ(o.getColourScheme(n), "unmatched=red") << n;
    EXPECT_EQ(o.getColourScheme("bad1"), "");
    EXPECT_EQ(o.getColourScheme("nothing"), "");
}

TEST(OptionsReader, EmailFromTextNameKeeps255Characters) {
    bv_options o;
    readOptions(o, "EmailFromTextName \"" + std::string(300, 'n') + "\"");
    EXPECT_EQ(o.getEmailFromTextName(), std::string(255, 'n'));
}

// Which values the two families accept; a value is stored only when its
// check passes. The colour pair is searched for anywhere in each token and
// without regard to case; a value is checked up to its first NUL byte.
TEST(OptionsFamilies, AcceptedArrangementsAndSchemes) {
    using namespace std::string_literals;
    struct Case {
        std::string value;
        bool accepted;
    };
    const Case arrangements[] = {
        {"Mine:acc", true},
        {"Mine:acc,score,desc", true},
        {"a,b:c", true},        // the name may hold commas
        {"a:b:c", true},        // columns may hold colons
        {"a:b,c:d", true},
        {"x:\n,\t", true},
        {"\xe9t\xe9:\xff", true},
        {" : ", true},
        {"a:b\0,,"s, true},     // checked up to the NUL
        {"Mine", false},
        {":acc", false},
        {"Mine:", false},
        {"Mine:,acc", false},
        {"Mine:acc,", false},
        {"Mine:acc,,score", false},
        {"::", false},
        {"a:,", false},
        {",:a", true},
        {"\0a:b"s, false},      // empty up to the NUL
    };
    for (const Case& c : arrangements) {
        bv_options o;
        o.setReportBuilderColumnArrangement(3, c.value);
        const bool stored = o.getReportBuilderColumnArrangement(3) == c.value;
        EXPECT_EQ(stored, c.accepted) << c.value;
    }

    const Case schemes[] = {
        {"unmatched=red", true},
        {"UNMATCHED=RED", true},
        {"Library_Peak=#00ff00", true},
        {"library_peak=#ABCDEF", true},
        {"library_peak=#abcde", false},
        {"library_peak=#abcdeg", false},
        {"library_peak=#abcdef0", true},  // the pair may be followed by anything
        {"my unmatched=redish", true},    // ... and preceded by anything
        {"xterminal_series_ion_nl=navy", true},
        {"terminal_series_ion_nl=Fuchsia", true},
        {"terminal_series_ion_n=red", false},
        {"a=b unmatched=red", true},      // an earlier "=" does not spoil a later pair
        {"unmatched=pink=red", false},
        {"pink=unmatched=red", true},
        {"unmatched=red,library_peak=blue", true},
        {"unmatched=red,library_peak=pink", false},
        {"unmatched=red,", false},
        {",unmatched=red", false},
        {"unmatched=red,,internal_ion=aqua", false},
        {"unmatched = red", false},
        {"unmatched=", false},
        {"=red", false},
        {"peak=red", false},
        {"unmatched=gray,immonium_ion=teal,internal_ion=olive,terminal_series_ion=lime", true},
        {"unmatched=white,unmatched=silver,unmatched=maroon,unmatched=yellow,unmatched=green", true},
        {"unmatched=orange,unmatched=purple,unmatched=black", true},
        {"unmatched=red\0x"s, true},      // the list and each token checked up to a NUL
        {"unmatched=red\0,,"s, false},    // ... but tokens are cut at the commas behind it
        {"unmatched=red,x\0unmatched=red"s, false},
        {"\xc9unmatched=red\xff", true},
    };
    for (const Case& c : schemes) {
        bv_options o;
        o.setSpectrumViewerColourScheme("mine", c.value, true);
        const bool stored = o.getColourScheme("mine") == c.value;
        EXPECT_EQ(stored, c.accepted) << c.value;
        // The same check in the validation of a whole section: a refused
        // definition is reported as 1577 and dropped.
        bv_options whole;
        whole.setSpectrumViewerColourScheme("mine", c.value, false);
        bv_errs errs(2, false);
        whole.validateSpectrumViewerColourScheme(errs, true);
        EXPECT_EQ(numbersOf(errs), c.accepted ? none : std::vector<int>{1577}) << c.value;
    }
}
