#pragma once
// bv_options: the Options section of tarvex.dat as one record with a field per
// key, its defaults, its reader and the three key families whose names end in
// a number or a name. Every configuration object owns one; a process-wide
// copy (global_options.h) is what the core services read. Copies are deep;
// not thread-safe.
#include <cstdint>
#include <string>
#include <vector>

#include "config/bv_customproperty.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

// How bv-seqfetch finds the accession in a BLAST-style title.
struct bv_blastaccessionrule {
    static constexpr size_t kMaxText = 254;
    bool regexMode = false;
    int32_t fieldNumber = 3;
    std::string startText = " ";
    std::string separatorText = "| ";
    bool operator==(const bv_blastaccessionrule&) const = default;
};

class bv_options : public bv_customproperty {
public:
    bv_options();

    void setDefaults();
    void copyFrom(const bv_options& other);
    bool operator==(const bv_options&) const = default;

    // Reads the section's lines up to its end line (or the end of the input),
    // recording bad values on errs as warnings that name fileName and the
    // line, then runs the three end-of-section checks. headerComment is the
    // comment text that preceded the section's header.
    void readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                     const std::string& headerComment);

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }

    // Getters of the values the core services read.
    std::string getErrorLogFile() const { return ErrorLogFile; }
    std::string getMonitorLogFile() const { return MonitorLogFile; }
    std::string getTarvexControlFile() const { return TarvexControlFile; }
    std::string getTarvexNodeControlFile() const { return TarvexNodeControlFile; }
    int64_t getVmemory() const { return Vmemory; }
    std::string getTarvexJobIdFile() const { return TarvexJobIdFile; }
    std::string seqFetchJobIdFile() const { return SeqFetchJobIdFile; }
    int32_t getUniqueJobStartNumber() const { return UniqueJobStartNumber; }
    std::string getNTMonitorGroup() const { return NTMonitorGroup; }
    std::string getNTIUserGroup() const { return NTIUserGroup; }
    std::string getProxyServer() const { return proxy_server; }
    std::string getProxyUsername() const { return proxy_username; }
    std::string getProxyPassword() const { return proxy_password; }
    int32_t getMailTransport() const { return MailTransport; }
    std::string getErrMessageEmailTo() const { return ErrMessageEmailTo; }
    bool isEmailErrorsEnabled() const { return EmailErrorsEnabled; }
    std::string getEmailFromTextName() const { return EmailFromTextName; }
    std::string getEmailFromUser() const { return EmailFromUser; }
    std::string getEmailPassword() const { return EmailPassword; }
    std::string getEmailProfile() const { return EmailProfile; }
    std::string getInterFileBasePath() const { return InterFileBasePath; }
    std::string getMailTempFile() const { return MailTempFile; }
    std::string getSendmailPath() const { return sendmailPath; }

    // Setters of the same values: the iam.dat switch replaces the control
    // file, and tests point the logs and files into their own folders.
    void setErrorLogFile(const std::string& v) { ErrorLogFile = v; }
    void setMonitorLogFile(const std::string& v) { MonitorLogFile = v; }
    void setTarvexControlFile(const std::string& v) { TarvexControlFile = v; }
    void setTarvexNodeControlFile(const std::string& v) { TarvexNodeControlFile = v; }
    void setVmemory(int64_t v) { Vmemory = v; }
    void setTarvexJobIdFile(const std::string& v) { TarvexJobIdFile = v; }
    void setSeqFetchJobIdFile(const std::string& v) { SeqFetchJobIdFile = v; }
    void setUniqueJobStartNumber(int32_t v) { UniqueJobStartNumber = v; }
    void setNTMonitorGroup(const std::string& v) { NTMonitorGroup = v; }
    void setNTIUserGroup(const std::string& v) { NTIUserGroup = v; }
    void setProxyServer(const std::string& v) { proxy_server = v; }
    void setProxyUsername(const std::string& v) { proxy_username = v; }
    void setProxyPassword(const std::string& v) { proxy_password = v; }
    void setMailTransport(int32_t v) { MailTransport = v; }
    void setErrMessageEmailTo(const std::string& v) { ErrMessageEmailTo = v; }
    void setEmailErrorsEnabled(bool v) { EmailErrorsEnabled = v; }
    void setEmailFromTextName(const std::string& v) { EmailFromTextName = v; }
    void setEmailFromUser(const std::string& v) { EmailFromUser = v; }
    void setEmailPassword(const std::string& v) { EmailPassword = v; }
    void setEmailProfile(const std::string& v) { EmailProfile = v; }
    void setInterFileBasePath(const std::string& v) { InterFileBasePath = v; }
    void setMailTempFile(const std::string& v) { MailTempFile = v; }
    void setSendmailPath(const std::string& v) { sendmailPath = v; }

    // Any single-valued key of the section as text (numbers in their shortest
    // exact form, flags as 0/1); false for a key the section does not know.
    bool getValueText(const std::string& key, std::string& out) const;

    // The list-valued keys.
    const std::vector<int32_t>& getReportNumberChoices() const { return ReportNumberChoices; }
    const std::vector<double>& getTargetFDRPercentages() const { return TargetFDRPercentages; }
    int32_t getTargetFDRDefaultPosition() const { return TargetFDRDefaultPosition; }
    static constexpr int kReviewColumns = 16;
    const std::vector<int32_t>& getReviewColWidths() const { return ReviewColWidths; }
    const std::vector<bool>& getReviewColDisplay() const { return ReviewColDisplay; }
    const std::vector<std::string>& getIgnoreDupeAccessions() const { return IgnoreDupeAccessions; }
    int32_t getUnixDirPerm() const { return UnixDirPerm; }
    bool isUnixDirPermGiven() const { return UnixDirPermGiven; }
    double getPrecursorCutOutLower() const { return PrecursorCutOutLower; }
    double getPrecursorCutOutUpper() const { return PrecursorCutOutUpper; }
    const bv_blastaccessionrule& getSeqFetchBlastAccession() const { return SeqFetchBlastAccession; }

    // The three key families.
    void setExecAfterSearch(int n, const std::string& value);
    void setReportBuilderColumnArrangement(int n, const std::string& value);
    void setSpectrumViewerColourScheme(const std::string& name, const std::string& value, bool checkFirst);
    void validateExecAfterSearch(bv_errs& errs);
    void validateReportBuilderColumnArrangement(bv_errs& errs);
    void validateSpectrumViewerColourScheme(bv_errs& errs, bool removeBad);
    std::string getExecAfterSearch(int n) const;
    std::string getReportBuilderColumnArrangement(int n) const;
    std::vector<std::string> getColourSchemeNames() const { return ColourSchemeNames; }
    std::string getColourScheme(const std::string& name) const;

    // What the ExecAfterSearch check derived, entry n-1 for command n (10
    // entries once the check has run, empty before).
    struct ExecAfterSearchCommand {
        std::string command;
        std::string secondField;
        int32_t waitFor = 0;
        int32_t logging = 0;
        std::string options;
    };
    std::vector<ExecAfterSearchCommand> getExecAfterSearchCommands() const;

    static constexpr int kMaxFamilyNumber = 10;
    static const char* const kDefaultColumnArrangement;
    static const char* const kDefaultColourScheme;

private:
    friend struct bv_optionstable;
    friend struct bv_optionshandlers;

    bool sectionAvailable_ = false;

    // Logs and paths
    bool SaveLastQueryAsc = false;
    bool SaveEveryLastQueryAsc = true;
    std::string LastQueryAscFile;
    std::string ErrorLogFile;
    std::string SearchLogFile;
    std::string MonitorLogFile;
    std::string InterFileBasePath;
    std::string InterFileRelPath;
    std::string TarvexCmdLine;
    std::string TestDirectory;
    std::string TarvexControlFile;
    std::string TarvexNodeControlFile;
    std::string TarvexJobIdFile;
    std::string SeqFetchJobIdFile;
    int32_t UniqueJobStartNumber = 1234;
    std::string ResultsPerlScript;
    std::string NoResultsScript;
    std::string ResultsFullURL;
    std::string LogoImageFile;
    int32_t MassDecimalPlaces = 2;
    int32_t IonsDecimalPlaces = 2;
    int32_t IntensitySigFigs = 2;

    // Mail, monitor and accounts
    bool EmailUsersEnabled = false;
    bool EmailErrorsEnabled = false;
    int32_t MailTransport = 2;
    std::string EmailService;
    std::string EmailPassword;
    std::string EmailProfile;
    std::string sendmailPath;
    std::string EmailFromUser;
    std::string EmailFromTextName;
    int32_t EmailTimeOutPeriod = 120;
    int32_t MonitorEmailCheckFreq = 300;
    std::string MailTempFile;
    std::string ErrMessageEmailTo;
    int32_t MonitorTestTimeout = 1200;
    std::string NTMonitorGroup;
    std::string NTIUserGroup;
    int32_t UnixWebUserGroup = -1;
    bool ForkForUnixApache = false;
    int32_t SeparateLockMem = 0;
    std::string FormVersion;

    // Search limits and report lists
    int32_t MaxSequenceLen = 80000;
    int32_t MaxConcurrentSearches = 10;
    int32_t MaxSearchesPerUser = 0;
    double CentroidWidth = 0.25;
    int32_t CentroidWidthCount = 1000;
    int32_t MaxDescriptionLen = 100;
    int32_t MaxNumPeptides = 20000;
    int64_t Vmemory = -1;
    std::vector<int32_t> ReportNumberChoices;
    std::vector<double> TargetFDRPercentages;
    int32_t TargetFDRDefaultPosition = 3;
    std::vector<int32_t> ReviewColWidths;
    std::vector<bool> ReviewColDisplay;

    // Proxy
    std::string ProxyType;
    bool UseHTTPProxyForFTP = false;
    bool UseHTTPProxyForHTTPS = false;
    std::string proxy_server;
    std::string proxy_username;
    std::string proxy_password;

    // Results, scoring and server housekeeping
    int32_t MinPepLenInPepSummary = 7;
    int32_t MaxQueries = 10000;
    double ShowSubSets = 0.0;
    bool RequireBoldRed = false;
    double SigThreshold = 0.05;
    double SiteAnalysisMD10Prob = 0.1;
    int32_t MaxVarMods = 9;
    int32_t MaxEtVarMods = 2;
    int32_t ErrTolMaxAccessions = 0;
    bool LabelAll = false;
    bool ShowAllFromErrorTolerant = false;
    double IgnoreIonsScoreBelow = 0.0;
    std::string MonitorPidFile;
    bool StoreModPermutations = true;
    int32_t ProteinsInResultsFile = 2;
    std::string TarvexMessage;
    int32_t SplitNumberOfQueries = 1000;
    int32_t SplitDataFileSize = 10000000;
    bool MoveOldDbToOldDir = true;
    bool RemoveOldIndexFiles = true;
    int32_t FeatureTableLength = 30000;
    double FeatureTableMinScore = 13.0;
    std::string ICATLight;
    std::string ICATHeavy;
    std::string ICATFilter;
    std::string ICATQuantitationMethod;
    std::vector<std::string> IgnoreDupeAccessions;
    int32_t UnixDirPerm = 0777;
    bool UnixDirPermGiven = false;
    int32_t Mudpit = 1000;
    double PrecursorCutOutLower = -1.0;
    double PrecursorCutOutUpper = -1.0;
    bool AutoSelectCharge = true;
    std::string TaxBrowserUrl;

    // Peptide limits, sorting, caches
    int32_t MinPepLenInSearch = 3;
    int32_t MaxPepModArrangements = 64;
    int32_t MaxPepNumVarMods = 3;
    int32_t MaxPepNumModifiedSites = 5;
    bool IteratePMFIntensities = true;
    double MinEtagMassDelta = -130.0;
    double MaxEtagMassDelta = 1770.0;
    std::string ResultsFileFormatVersion;
    std::string SortUnassigned;
    int32_t SelectSwitch = 1000;
    double MudpitSwitch = 0.001;
    int32_t MaxDatabases = 64;
    std::string CacheDirectory;
    std::string ResfileCache;
    std::string ResultsCache;
    bool Percolator = false;
    std::string PercolatorFeatures;
    int32_t PercolatorMinQueries = 750;
    int32_t PercolatorMinSequences = 100;
    bool PercolatorUseProteins = false;
    bool PercolatorUseRT = false;
    std::string PercolatorExeFlags;

    // The three families
    std::vector<std::string> ExecAfterSearchList;
    std::vector<std::string> ExecAfterSearchCommandText;
    std::vector<std::string> ExecAfterSearchSecondField;
    std::vector<int32_t> ExecAfterSearchWaitFor;
    std::vector<int32_t> ExecAfterSearchLogging;
    std::vector<std::string> ExecAfterSearchOptions;
    std::vector<std::string> ColumnArrangements;
    std::vector<std::string> ColourSchemeNames;
    std::vector<std::string> ColourSchemeDefinitions;

    // Display, decoys and the server's tools
    std::string SpectrumViewerDefaultColourScheme;
    std::string ResultsPerlScript_2;
    std::string ResultsFullURL_2;
    int32_t ProteinFamilySwitch = 300;
    int32_t DecoyTypeSpecific = 1;
    int32_t DecoyTypeNoEnzyme = 3;
    int32_t SVGSpectrumSwitch = 2000;
    int32_t DisplayNonSignificantMatches = 0;
    std::string CompressTool_AA;
    std::string CompressTool_NA;
    std::string CompressTool_SL;
    std::string LibrarySearch;
    int32_t SpectraPerLibraryBlock = 500000;
    int32_t CrawlerNumPeaksPer100Da = 100;
    bool MatchOppositeCrosslinkPairs = false;
    int32_t MaxIntactCrosslinkPeptides = 1000000;
    std::string SearchSubmitMode;
    int32_t DechargeFragmentPeaks = 10;
    bv_blastaccessionrule SeqFetchBlastAccession;
    int32_t MinPeakIteration = 1;
    bool EncryptURL = false;
};

}  // namespace brenvik
