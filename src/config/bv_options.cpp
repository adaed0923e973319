#include "config/bv_options.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "config/bv_configfile.h"
#include "config/bv_options_table.h"
#include "http/bv_connectionsettings.h"
#include "pal/number_reader.h"

namespace brenvik {

const char* const bv_options::kDefaultColumnArrangement =
    "Standard:family,member,db,acc,score,mass,matches,matches-sig,sequences,sequences-sig,empai,frame,desc";
const char* const bv_options::kDefaultColourScheme =
    "unmatched=black,internal_ion=orange,immonium_ion=orange,terminal_series_ion=red,"
    "terminal_series_ion_nl=orange,library_peak=blue";

namespace {

using Kind = bv_optionstable::Kind;
using Fail = bv_optionstable::Fail;
using Check = bv_optionstable::Check;
using Row = bv_optionstable::Row;

constexpr double kInf = std::numeric_limits<double>::infinity();

// "below lo: value and 1542" and "not lo to hi: value and 1542".
constexpr Check atLeast(double lo, double value) {
    Check c;
    c.lo = lo;
    c.lowValue = value;
    c.highValue = value;
    return c;
}
constexpr Check within(double lo, double hi, double value) {
    Check c;
    c.lo = lo;
    c.hi = hi;
    c.lowValue = value;
    c.highValue = value;
    return c;
}
constexpr Check silent(Check c) {
    c.message = false;
    return c;
}
constexpr Check keepOutside(double lo, double hi, bool loOpen = false, bool hiOpen = false) {
    Check c;
    c.lo = lo;
    c.hi = hi;
    c.loOpen = loOpen;
    c.hiOpen = hiOpen;
    c.fail = Fail::Keep;
    return c;
}
constexpr Check storeAnyway(double lo, double hi, bool nothingReadIsBad) {
    Check c;
    c.lo = lo;
    c.hi = hi;
    c.fail = Fail::Store;
    c.nothingReadIsBad = nothingReadIsBad;
    return c;
}
constexpr Check nothingReadIsBad() {
    Check c;
    c.fail = Fail::Store;
    c.nothingReadIsBad = true;
    return c;
}

bool isListDelimiter(char c) { return c == ' ' || c == ',' || c == '\t'; }

// Tokens between runs of blanks, commas and TABs.
std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isListDelimiter(text[i])) ++i;
        size_t start = i;
        while (i < text.size() && !isListDelimiter(text[i])) ++i;
        if (i > start) tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

bool prefixNoCase(const std::string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

std::string skipBlanksAndColons(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ':')) ++i;
    return text.substr(i);
}

std::string shortestText(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace

// Handlers need the private fields; they live in the table's scope.
struct bv_optionshandlers {
    static void maxSequenceLen(bv_options& o, const std::string& v, bv_optionsline& line) {
        o.MaxSequenceLen = 80000;
        scanInt(v, o.MaxSequenceLen);
        if (o.MaxSequenceLen <= 100) {
            o.MaxSequenceLen = 80000;
            ++line.bad;
        }
        o.MaxNumPeptides = o.MaxSequenceLen / 4;
    }
    static void maxNumPeptides(bv_options& o, const std::string& v, bv_optionsline& line) {
        scanInt(v, o.MaxNumPeptides);
        if (o.MaxNumPeptides < 1) {
            o.MaxNumPeptides = o.MaxSequenceLen / 4;
            ++line.bad;
        }
    }
    static void vmemory(bv_options& o, const std::string& v, bv_optionsline& line) {
        float local = -1.0f;
        scanFloat(v.c_str(), local);
        if (local >= -1.0f) {
            // Truncated toward zero; a value beyond 64 bits is clamped.
            double t = std::trunc(static_cast<double>(local));
            if (t >= 9.2233720368547758e18) {
                o.Vmemory = INT64_MAX;
            } else {
                o.Vmemory = static_cast<int64_t>(t);
            }
        } else {
            ++line.bad;
        }
    }
    static bool viewVmemory(const bv_options& o, std::string& out) {
        out = std::to_string(o.Vmemory);
        return true;
    }
    static void reportNumberChoices(bv_options& o, const std::string& v, bv_optionsline& line) {
        o.ReportNumberChoices.clear();
        for (const std::string& token : splitList(v)) {
            if (prefixNoCase(token, "Auto")) {
                o.ReportNumberChoices.push_back(-1);
                continue;
            }
            int32_t n = 0;
            if (!scanInt(token, n)) {
                ++line.bad;
                return;  // the rest of the value is ignored
            }
            if (n < 1) {
                ++line.bad;
                continue;
            }
            o.ReportNumberChoices.push_back(n);
        }
    }
    static void defaultReportNumberChoices(bv_options& o) { o.ReportNumberChoices = {5, 10, 20, 30, 40, 50}; }
    static void targetFDRPercentages(bv_options& o, const std::string& v, bv_optionsline& line) {
        o.TargetFDRPercentages.clear();
        for (const std::string& token : splitList(v)) {
            double d = 0;
            if (!scanDouble(token, d) || d <= 0) {
                ++line.bad;
                continue;
            }
            o.TargetFDRPercentages.push_back(d);
            if (token.back() == '+') o.TargetFDRDefaultPosition = static_cast<int32_t>(o.TargetFDRPercentages.size() - 1);
        }
    }
    static void defaultTargetFDRPercentages(bv_options& o) {
        o.TargetFDRPercentages = {0.1, 0.2, 0.5, 1, 2, 5};
        o.TargetFDRDefaultPosition = 3;
    }
    static const int32_t* reviewWidthDefaults() {
        static const int32_t d[bv_options::kReviewColumns] = {7, 8, 8, 27, 30, 100, 32, 25, 6, 13, 4, 4, 6, 16, 7, 32};
        return d;
    }
    static const bool* reviewDisplayDefaults() {
        static const bool d[bv_options::kReviewColumns] = {1, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1, 1, 1, 0, 1, 1};
        return d;
    }
    static void reviewColWidths(bv_options& o, const std::string& v, bv_optionsline& line) {
        std::vector<std::string> tokens = splitList(v);
        bool badLine = false;
        o.ReviewColWidths.assign(reviewWidthDefaults(), reviewWidthDefaults() + bv_options::kReviewColumns);
        for (size_t i = 0; i < static_cast<size_t>(bv_options::kReviewColumns) && i < tokens.size(); ++i) {
            int32_t n = atoiValue(tokens[i].c_str());
            if (n >= 2 && n <= 300) {
                o.ReviewColWidths[i] = n;
            } else {
                badLine = true;
            }
        }
        if (badLine) ++line.bad;
    }
    static void defaultReviewColWidths(bv_options& o) {
        o.ReviewColWidths.assign(reviewWidthDefaults(), reviewWidthDefaults() + bv_options::kReviewColumns);
    }
    static void reviewColDisplay(bv_options& o, const std::string& v, bv_optionsline& line) {
        std::vector<std::string> tokens = splitList(v);
        bool badLine = false;
        o.ReviewColDisplay.assign(reviewDisplayDefaults(), reviewDisplayDefaults() + bv_options::kReviewColumns);
        for (size_t i = 0; i < static_cast<size_t>(bv_options::kReviewColumns) && i < tokens.size(); ++i) {
            // Stream extraction: a number out of the int range is no number.
            const LeadingInteger<int32_t> n = readLeadingInteger<int32_t>(tokens[i].c_str());
            if (n.fits && (n.value == 0 || n.value == 1)) {
                o.ReviewColDisplay[i] = (n.value == 1);
            } else {
                badLine = true;
            }
        }
        if (badLine) ++line.bad;
    }
    static void defaultReviewColDisplay(bv_options& o) {
        o.ReviewColDisplay.assign(reviewDisplayDefaults(), reviewDisplayDefaults() + bv_options::kReviewColumns);
    }
    static void proxyType(bv_options& o, const std::string& v, bv_optionsline& line) {
        const int type = brenvik::proxyTypeFromName(v);
        if (type >= 0) {
            o.ProxyType = brenvik::proxyTypeToName(type);
            return;
        }
        o.ProxyType = "Auto";
        ++line.bad;
    }
    static void emailFromTextName(bv_options& o, const std::string& v, bv_optionsline&) {
        char buffer[256];  // at most 255 characters are kept
        bv_configfile::readQuotedValue(v.c_str(), buffer, 255);
        o.EmailFromTextName = buffer;
    }
    static void icatFilter(bv_options& o, const std::string& v, bv_optionsline& line) {
        if (v.empty()) {
            line.icatFilterEmpty = true;
            o.ICATFilter = "C";
        } else {
            o.ICATFilter = v;
        }
    }
    static void ignoreDupeAccessions(bv_options& o, const std::string& v, bv_optionsline&) {
        o.IgnoreDupeAccessions = splitList(v);
    }
    static void defaultIgnoreDupeAccessions(bv_options& o) { o.IgnoreDupeAccessions = {"EST_others"}; }
    static void unixDirPerm(bv_options& o, const std::string& v, bv_optionsline&) {
        int32_t local = 0777;
        scanOctal(v.c_str(), local);
        o.UnixDirPerm = local;
        o.UnixDirPermGiven = true;
    }
    static void defaultUnixDirPerm(bv_options& o) {
        o.UnixDirPerm = 0777;
        o.UnixDirPermGiven = false;
    }
    static bool viewUnixDirPerm(const bv_options& o, std::string& out) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%o", static_cast<unsigned>(o.UnixDirPerm));
        out = buf;
        return true;
    }
    // One number token of PrecursorCutOut: up to the next blank, comma or
    // TAB. A token longer than 63 characters is a bad value, not cut.
    static bool cutOutToken(const std::string& text, size_t start, size_t& end, float& value) {
        end = start;
        while (end < text.size() && !isListDelimiter(text[end])) ++end;
        if (end - start > 63) return false;
        return scanFloat(text.substr(start, end - start).c_str(), value);
    }
    static void precursorCutOut(bv_options& o, const std::string& v, bv_optionsline& line) {
        std::string text = skipBlanksAndColons(v);
        auto error = [&] {
            o.PrecursorCutOutLower = -1.0;
            o.PrecursorCutOutUpper = -1.0;
            ++line.bad;
        };
        size_t end = 0;
        float first = -1.0f;
        if (!cutOutToken(text, 0, end, first)) return error();
        if (end >= text.size()) {
            if (std::fabs(first + 1.0f) < 0.01f) {
                o.PrecursorCutOutLower = first;
                o.PrecursorCutOutUpper = first;
                return;
            }
            return error();
        }
        o.PrecursorCutOutLower = first;
        o.PrecursorCutOutUpper = first;
        size_t secondEnd = 0;
        float second = 10.0f;
        if (!cutOutToken(text, end + 1, secondEnd, second) || second < first) return error();
        o.PrecursorCutOutUpper = second;
    }
    static void defaultPrecursorCutOut(bv_options& o) {
        o.PrecursorCutOutLower = -1.0;
        o.PrecursorCutOutUpper = -1.0;
    }
    static void sortUnassigned(bv_options& o, const std::string& v, bv_optionsline& line) {
        o.SortUnassigned = v;
        if (v != "scoredown" && v != "queryup" && v != "intdown") {
            o.SortUnassigned = "scoredown";
            ++line.bad;
        }
    }
    static void searchSubmitMode(bv_options& o, const std::string& v, bv_optionsline&) {
        o.SearchSubmitMode = (v == "async" || v == "direct") ? v : std::string("async");
    }
    static void seqFetchBlastAccession(bv_options& o, const std::string& v, bv_optionsline& line) {
        std::string text = skipBlanksAndColons(v);
        bv_blastaccessionrule& rule = o.SeqFetchBlastAccession;
        if (text.empty()) return;
        if (prefixNoCase(text, "REGEX")) {
            rule.regexMode = true;
            return;
        }
        rule.regexMode = false;
        if (text[0] != '(') {
            ++line.bad;
            return;
        }
        size_t firstSep = text.find("),(", 1);
        if (firstSep == std::string::npos) {
            ++line.bad;
            return;
        }
        std::string start = text.substr(1, firstSep - 1);
        if (start.size() > bv_blastaccessionrule::kMaxText) {
            ++line.bad;
            return;
        }
        rule.startText = start;
        size_t sepBegin = firstSep + 3;
        size_t sepEnd = text.find(')', sepBegin);
        if (sepEnd == std::string::npos) sepEnd = text.size();
        std::string separator = text.substr(sepBegin, sepEnd - sepBegin);
        if (separator.size() > bv_blastaccessionrule::kMaxText) {
            ++line.bad;
            return;
        }
        rule.separatorText = separator;
        if (text.find("),(", sepBegin) == std::string::npos) {
            ++line.bad;
            return;
        }
        // The field number stands three characters after the separator's
        // end, and a ")" must follow its first character; never read past
        // the text.
        size_t numberAt = sepEnd + 3;
        if (numberAt >= text.size()) {
            ++line.bad;
            return;
        }
        rule.fieldNumber = atoiValue(text.c_str() + numberAt);
        if (numberAt + 1 >= text.size() || text[numberAt + 1] != ')') ++line.bad;
    }
    static void defaultSeqFetchBlastAccession(bv_options& o) { o.SeqFetchBlastAccession = bv_blastaccessionrule(); }
};

namespace {

using H = bv_optionshandlers;

#define TX(k, d) Row{.key = #k, .kind = Kind::Text, .text = &bv_options::k, .textDefault = d}
#define TR(k, d) Row{.key = #k, .kind = Kind::TextRequired, .text = &bv_options::k, .textDefault = d}
#define FL(k, kd, d) Row{.key = #k, .kind = Kind::kd, .flag = &bv_options::k, .numDefault = d}
#define IN(k, kd, d, chk) Row{.key = #k, .kind = Kind::kd, .integer = &bv_options::k, .numDefault = d, .check = chk}
#define RE(k, kd, d, chk) Row{.key = #k, .kind = Kind::kd, .real = &bv_options::k, .numDefault = d, .check = chk}
#define SP_TEXT(k, d, h) Row{.key = #k, .kind = Kind::Special, .text = &bv_options::k, .textDefault = d, .handler = h}
#define SP_INT(k, d, h) Row{.key = #k, .kind = Kind::Special, .integer = &bv_options::k, .numDefault = d, .handler = h}
#define SP(k, h, dflt, view) Row{.key = #k, .kind = Kind::Special, .handler = h, .defaulter = dflt, .viewer = view}

}  // namespace

const Row* bv_optionstable::rows(size_t& count) {
    static const Row table[] = {
        // Logs and paths
        FL(SaveLastQueryAsc, FlagFn, 0),
        FL(SaveEveryLastQueryAsc, FlagFn, 1),
        TR(LastQueryAscFile, "../logs/lastquery.asc"),
        TR(ErrorLogFile, "../logs/errorlog.txt"),
        TR(SearchLogFile, "../logs/searches.log"),
        TR(MonitorLogFile, "../logs/monitor.log"),
        TR(InterFileBasePath, "C:/InetPub/Tarvex/data"),
        TR(InterFileRelPath, "../data"),
        TR(TarvexCmdLine, "../cgi/nph-tarvex.exe"),
        TR(TestDirectory, "../data/test"),
        TR(TarvexControlFile, "../data/tarvex.control"),
        TR(TarvexNodeControlFile, "../data/tarvexnode.control"),
        TR(TarvexJobIdFile, "../data/tarvex.job"),
        TR(SeqFetchJobIdFile, "../data/seqfetch.job"),
        IN(UniqueJobStartNumber, Int, 1234, atLeast(0, 1234)),
        TR(ResultsPerlScript, "../cgi/summary_report.pl"),
        TR(NoResultsScript, "../cgi/summary_report.pl"),
        TR(ResultsFullURL, "http://localhost/cgi/summary_report.pl"),
        TR(LogoImageFile, "../images/88x31_logo_white.gif"),
        IN(MassDecimalPlaces, Int, 2, within(1, 20, 2)),
        IN(IonsDecimalPlaces, Int, 2, within(1, 20, 2)),
        IN(IntensitySigFigs, Int, 2, within(1, 20, 2)),
        // Mail, monitor and accounts
        FL(EmailUsersEnabled, FlagFn, 0),
        FL(EmailErrorsEnabled, FlagFn, 0),
        IN(MailTransport, Int, 2, within(0, 3, 2)),
        TX(EmailService, ""),
        TX(EmailPassword, ""),
        TX(EmailProfile, ""),
        TR(sendmailPath, "/usr/lib/sendmail"),
        TX(EmailFromUser, ""),
        SP_TEXT(EmailFromTextName, "", &H::emailFromTextName),
        IN(EmailTimeOutPeriod, Int, 120, atLeast(1, 120)),
        IN(MonitorEmailCheckFreq, Int, 300, atLeast(1, 300)),
        TR(MailTempFile, "/tmp/MXXXXXX"),
        TX(ErrMessageEmailTo, ""),
        IN(MonitorTestTimeout, Int, 1200, atLeast(1, 1200)),
        TR(NTMonitorGroup, "Administrators"),
        TR(NTIUserGroup, "Guests"),
        IN(UnixWebUserGroup, Int, -1, Check{}),
        FL(ForkForUnixApache, FlagF0, 0),
        IN(SeparateLockMem, Int, 0, atLeast(0, 0)),
        TR(FormVersion, "1.01"),
        // Search limits and report lists
        SP_INT(MaxSequenceLen, 80000, &H::maxSequenceLen),
        IN(MaxConcurrentSearches, IntReset, 10, atLeast(1, 10)),
        IN(MaxSearchesPerUser, IntReset, 0, atLeast(0, 0)),
        RE(CentroidWidth, SingleLocal, 0.25, keepOutside(0, 10, true, true)),
        IN(CentroidWidthCount, Int, 1000, atLeast(1, 1000)),
        IN(MaxDescriptionLen, IntReset, 100, atLeast(1, 100)),
        SP_INT(MaxNumPeptides, 20000, &H::maxNumPeptides),
        SP(Vmemory, &H::vmemory, [](bv_options& o) { o.setVmemory(-1); }, &H::viewVmemory),
        SP(ReportNumberChoices, &H::reportNumberChoices, &H::defaultReportNumberChoices, nullptr),
        SP(TargetFDRPercentages, &H::targetFDRPercentages, &H::defaultTargetFDRPercentages, nullptr),
        SP(ReviewColWidths, &H::reviewColWidths, &H::defaultReviewColWidths, nullptr),
        SP(ReviewColDisplay, &H::reviewColDisplay, &H::defaultReviewColDisplay, nullptr),
        // Proxy
        SP_TEXT(ProxyType, "Auto", &H::proxyType),
        FL(UseHTTPProxyForFTP, FlagF0, 0),
        FL(UseHTTPProxyForHTTPS, FlagF0, 0),
        TX(proxy_server, ""),
        TX(proxy_username, ""),
        TX(proxy_password, ""),
        // Results, scoring and server housekeeping
        IN(MinPepLenInPepSummary, Int, 7, silent(atLeast(1, 7))),
        IN(MaxQueries, Int, 10000, silent(atLeast(10, 10))),
        RE(ShowSubSets, Real, 0.0, silent(within(0, 1, 0.0))),
        FL(RequireBoldRed, FlagF0, 0),
        RE(SigThreshold, RealLocal, 0.05, keepOutside(1e-18, 1, true, true)),
        RE(SiteAnalysisMD10Prob, RealLocal, 0.1, keepOutside(1e-18, 1, true, true)),
        IN(MaxVarMods, Int, 9, within(0, 32, 9)),
        IN(MaxEtVarMods, Int, 2, within(0, 31, 2)),
        IN(ErrTolMaxAccessions, Int, 0, atLeast(0, 0)),
        FL(LabelAll, FlagF0, 0),
        FL(ShowAllFromErrorTolerant, FlagF0, 0),
        RE(IgnoreIonsScoreBelow, Real, 0.0, atLeast(0, 0.0)),
        TR(MonitorPidFile, "../bin/monitor.pid"),
        FL(StoreModPermutations, FlagF1, 1),
        IN(ProteinsInResultsFile, Int, 2, within(1, 3, 2)),
        TX(TarvexMessage, ""),
        IN(SplitNumberOfQueries, Int, 1000, atLeast(1, 1000)),
        IN(SplitDataFileSize, Int, 10000000, atLeast(1, 10000000)),
        FL(MoveOldDbToOldDir, FlagF1, 1),
        FL(RemoveOldIndexFiles, FlagF1, 1),
        IN(FeatureTableLength, Int, 30000, atLeast(0, 30000)),
        RE(FeatureTableMinScore, SingleLocal, 13.0, keepOutside(0, kInf, true, false)),
        TX(ICATLight, "ICAT_light"),
        TX(ICATHeavy, "ICAT_heavy"),
        SP_TEXT(ICATFilter, "C", &H::icatFilter),
        TX(ICATQuantitationMethod, "ICAT"),
        SP(IgnoreDupeAccessions, &H::ignoreDupeAccessions, &H::defaultIgnoreDupeAccessions, nullptr),
        SP(UnixDirPerm, &H::unixDirPerm, &H::defaultUnixDirPerm, &H::viewUnixDirPerm),
        IN(Mudpit, Int, 1000, nothingReadIsBad()),
        SP(PrecursorCutOut, &H::precursorCutOut, &H::defaultPrecursorCutOut, nullptr),
        FL(AutoSelectCharge, FlagF1, 1),
        TX(TaxBrowserUrl, ""),
        // Peptide limits, sorting, caches
        IN(MinPepLenInSearch, IntLocal, 3, nothingReadIsBad()),
        IN(MaxPepModArrangements, IntLocal, 64, storeAnyway(0, 1000000, true)),
        IN(MaxPepNumVarMods, IntLocal, 3, storeAnyway(0, 10000, true)),
        IN(MaxPepNumModifiedSites, IntLocal, 5, storeAnyway(0, 10000, true)),
        FL(IteratePMFIntensities, FlagF1, 1),
        RE(MinEtagMassDelta, SingleReset, -130.0, Check{}),
        RE(MaxEtagMassDelta, SingleReset, 1770.0, Check{}),
        TX(ResultsFileFormatVersion, ""),
        SP_TEXT(SortUnassigned, "scoredown", &H::sortUnassigned),
        IN(SelectSwitch, Int, 1000, atLeast(1, 1000)),
        RE(MudpitSwitch, Real, 0.001, atLeast(0, 0.001)),
        IN(MaxDatabases, IntLocal, 64, atLeast(64, 64)),
        TR(CacheDirectory, "../data/cache/%Y/%m"),
        TX(ResfileCache,
           "summary_report.pl,summary_report_2.pl,pep_detail.pl,prot_detail.pl,export_result.pl,"
           "export_result_2.pl,bv-pipwriter.exe,SpecDissect.class,peaklist_fetch.pl,spectrum_plot.pl,"
           "nph-tarvex.exe,bv-jobcontrol.exe,taskpoll.pl"),
        TX(ResultsCache,
           "summary_report.pl,summary_report_2.pl,pep_detail.pl,prot_detail.pl,export_result.pl,"
           "export_result_2.pl,SpecDissect.class,peaklist_fetch.pl,nph-tarvex.exe,bv-jobcontrol.exe"),
        FL(Percolator, FlagF0, 0),
        TR(PercolatorFeatures,
           "mScore,lgDScore, mrCalc, charge, dM, dMppm, absDM, absDMppm, isoDM, isoDMppm, mc, varmods, "
           "totInt, intMatchedTot,relIntMatchedTot"),
        IN(PercolatorMinQueries, IntLocal, 750, atLeast(1, 750)),
        IN(PercolatorMinSequences, IntLocal, 100, atLeast(1, 100)),
        FL(PercolatorUseProteins, FlagF0, 0),
        FL(PercolatorUseRT, FlagF0, 0),
        TR(PercolatorExeFlags, "-i 10 -D 14 -v 0"),
        // (the three families are matched here)
        TR(SpectrumViewerDefaultColourScheme, "screen"),
        TR(ResultsPerlScript_2, "../cgi/summary_report_2.pl"),
        TR(ResultsFullURL_2, "http://localhost/cgi/summary_report_2.pl"),
        IN(ProteinFamilySwitch, IntLocal, 300, atLeast(1, 300)),
        IN(DecoyTypeSpecific, Int, 1, within(1, 8, 1)),
        IN(DecoyTypeNoEnzyme, Int, 3, within(1, 8, 3)),
        IN(SVGSpectrumSwitch, IntLocal, 2000, [] {
            Check c = within(0, 100000, 2000);
            c.highValue = 100000;
            return c;
        }()),
        IN(DisplayNonSignificantMatches, IntLocal, 0, keepOutside(0, 2)),
        TR(CompressTool_AA, "../bin/bv-dbpack.exe $dbname $dbpath"),
        TR(CompressTool_NA, "../bin/bv-dbpack.exe $dbname $dbpath"),
        TR(CompressTool_SL,
           "../bin/NIST/lib2nistcl/lib2nistcl.exe -log9 $logfile -msp2peplib $inputfile $outputdirectory"),
        TR(LibrarySearch,
           "../bin/NIST/mspepsearch/MSPepSearch.exe m a P $peptidetoleranceunit $peptidetolerance "
           "$iontoleranceunit $iontolerance /LIB $libname /INP $inputfile /OUTTAB $outputfile /HITS 10 "
           "/MinMF 0 /NumCompared /OutPrecursorMz /OutDeltaPrecursorMz /OutSpecNum"),
        IN(SpectraPerLibraryBlock, IntLocal, 500000, keepOutside(1, kInf)),
        IN(CrawlerNumPeaksPer100Da, IntLocal, 100, keepOutside(1, 1000000)),
        FL(MatchOppositeCrosslinkPairs, FlagF0, 0),
        IN(MaxIntactCrosslinkPeptides, IntLocal, 1000000, Check{}),
        SP_TEXT(SearchSubmitMode, "async", &H::searchSubmitMode),
        IN(DechargeFragmentPeaks, IntLocal, 10, Check{}),
        SP(SeqFetchBlastAccession, &H::seqFetchBlastAccession, &H::defaultSeqFetchBlastAccession, nullptr),
        IN(MinPeakIteration, Int, 1, within(1, 10, 1)),
        FL(EncryptURL, FlagF0, 0),
    };
    count = sizeof table / sizeof table[0];
    return table;
}

#undef TX
#undef TR
#undef FL
#undef IN
#undef RE
#undef SP_TEXT
#undef SP_INT
#undef SP

const Row* bv_optionstable::find(const std::string& key) {
    size_t count = 0;
    const Row* table = rows(count);
    for (size_t i = 0; i < count; ++i) {
        if (key == table[i].key) return &table[i];
    }
    return nullptr;
}

void bv_optionstable::applyDefault(bv_options& o, const Row& row) {
    if (row.defaulter != nullptr) {
        row.defaulter(o);
    } else if (row.text != nullptr) {
        o.*row.text = row.textDefault;
    } else if (row.flag != nullptr) {
        o.*row.flag = row.numDefault != 0;
    } else if (row.integer != nullptr) {
        o.*row.integer = static_cast<int32_t>(row.numDefault);
    } else if (row.real != nullptr) {
        o.*row.real = row.numDefault;
    }
}

namespace {

bool outsideRange(double v, const Check& c, bool& low) {
    // NaN compares false with everything, so it would pass any range: a
    // key that has a range refuses it like a value below it.
    if (std::isnan(v) && (c.lo > -kInf || c.hi < kInf)) {
        low = true;
        return true;
    }
    if (v < c.lo || (c.loOpen && v == c.lo)) {
        low = true;
        return true;
    }
    if (v > c.hi || (c.hiOpen && v == c.hi)) {
        low = false;
        return true;
    }
    return false;
}

}  // namespace

void bv_optionstable::apply(bv_options& o, const Row& row, const std::string& value, bv_optionsline& line) {
    const Check& c = row.check;
    switch (row.kind) {
    case Kind::Text:
        o.*row.text = value;
        return;
    case Kind::TextRequired:
        if (value.empty()) {
            o.*row.text = row.textDefault;
            ++line.bad;
        } else {
            o.*row.text = value;
        }
        return;
    case Kind::FlagF0:
    case Kind::FlagF1: {
        int32_t local = row.kind == Kind::FlagF1 ? 1 : 0;
        scanInt(value, local);
        o.*row.flag = (local == 1);
        return;
    }
    case Kind::FlagFn: {
        int32_t local = 0;
        if (scanInt(value, local)) o.*row.flag = (local == 1);
        return;
    }
    case Kind::Int:
    case Kind::IntReset:
    case Kind::IntLocal: {
        int32_t& field = o.*row.integer;
        int32_t local = static_cast<int32_t>(row.numDefault);
        bool read = false;
        if (row.kind == Kind::IntLocal) {
            read = scanInt(value, local);
        } else {
            if (row.kind == Kind::IntReset) field = static_cast<int32_t>(row.numDefault);
            read = scanInt(value, field);
            local = field;
        }
        bool bad = !read && c.nothingReadIsBad;
        bool low = false;
        if (outsideRange(local, c, low)) {
            if (c.message) bad = true;
            switch (c.fail) {
            case Fail::SetValue: field = static_cast<int32_t>(low ? c.lowValue : c.highValue); break;
            case Fail::Keep: break;
            case Fail::Store: field = local; break;
            }
        } else {
            field = local;
        }
        if (bad) ++line.bad;
        return;
    }
    case Kind::Real:
    case Kind::RealLocal:
    case Kind::SingleLocal:
    case Kind::SingleReset: {
        double& field = o.*row.real;
        double local = row.numDefault;
        if (row.kind == Kind::Real) {
            scanDouble(value, field);
            local = field;
        } else if (row.kind == Kind::RealLocal) {
            scanDouble(value, local);
        } else {
            float f = static_cast<float>(row.numDefault);
            scanFloat(value.c_str(), f);
            local = f;
        }
        bool low = false;
        if (outsideRange(local, c, low)) {
            if (c.message) ++line.bad;
            switch (c.fail) {
            case Fail::SetValue: field = low ? c.lowValue : c.highValue; break;
            case Fail::Keep: break;
            case Fail::Store: field = local; break;
            }
        } else {
            field = local;
        }
        return;
    }
    case Kind::Special:
        row.handler(o, value, line);
        return;
    }
}

bool bv_optionstable::view(const bv_options& o, const Row& row, std::string& out) {
    if (row.viewer != nullptr) return row.viewer(o, out);
    if (row.text != nullptr) {
        out = o.*row.text;
    } else if (row.flag != nullptr) {
        out = (o.*row.flag) ? "1" : "0";
    } else if (row.integer != nullptr) {
        out = std::to_string(o.*row.integer);
    } else if (row.real != nullptr) {
        out = shortestText(o.*row.real);
    } else {
        return false;  // a list: read it through its own getter
    }
    return true;
}

bv_options::bv_options() { setDefaults(); }

void bv_options::setDefaults() {
    clear();
    setDefaultSeparator(" ");
    sectionAvailable_ = false;
    size_t count = 0;
    const bv_optionstable::Row* table = bv_optionstable::rows(count);
    for (size_t i = 0; i < count; ++i) bv_optionstable::applyDefault(*this, table[i]);
    ExecAfterSearchList.assign(1, std::string());
    // The commands that a read section filled in go with it.
    ExecAfterSearchCommandText.clear();
    ExecAfterSearchSecondField.clear();
    ExecAfterSearchWaitFor.clear();
    ExecAfterSearchLogging.clear();
    ExecAfterSearchOptions.clear();
    ColumnArrangements.assign(1, kDefaultColumnArrangement);
    ColourSchemeNames.assign(1, "screen");
    ColourSchemeDefinitions.assign(1, kDefaultColourScheme);
}

void bv_options::copyFrom(const bv_options& other) {
    if (&other == this) return;
    *this = other;  // every field is a value; the copy is deep
}

bool bv_options::getValueText(const std::string& key, std::string& out) const {
    const bv_optionstable::Row* row = bv_optionstable::find(key);
    if (row == nullptr) return false;
    return bv_optionstable::view(*this, *row, out);
}

std::string bv_options::getExecAfterSearch(int n) const {
    if (n < 1 || static_cast<size_t>(n) > ExecAfterSearchList.size()) return std::string();
    return ExecAfterSearchList[static_cast<size_t>(n - 1)];
}

std::string bv_options::getReportBuilderColumnArrangement(int n) const {
    if (n < 1 || static_cast<size_t>(n) > ColumnArrangements.size()) return std::string();
    return ColumnArrangements[static_cast<size_t>(n - 1)];
}

std::string bv_options::getColourScheme(const std::string& name) const {
    for (size_t i = 0; i < ColourSchemeNames.size(); ++i) {
        if (ColourSchemeNames[i].size() == name.size() && prefixNoCase(ColourSchemeNames[i], name.c_str())) {
            return ColourSchemeDefinitions[i];
        }
    }
    return std::string();
}

std::vector<bv_options::ExecAfterSearchCommand> bv_options::getExecAfterSearchCommands() const {
    std::vector<ExecAfterSearchCommand> out;
    for (size_t i = 0; i < ExecAfterSearchCommandText.size(); ++i) {
        ExecAfterSearchCommand c;
        c.command = ExecAfterSearchCommandText[i];
        if (i < ExecAfterSearchSecondField.size()) c.secondField = ExecAfterSearchSecondField[i];
        if (i < ExecAfterSearchWaitFor.size()) c.waitFor = ExecAfterSearchWaitFor[i];
        if (i < ExecAfterSearchLogging.size()) c.logging = ExecAfterSearchLogging[i];
        if (i < ExecAfterSearchOptions.size()) c.options = ExecAfterSearchOptions[i];
        out.push_back(c);
    }
    return out;
}

}  // namespace brenvik
