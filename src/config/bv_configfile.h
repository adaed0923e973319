#pragma once
// tarvex.dat held in memory. Built with every section at its defaults; load
// finds the file (waiting for it a while when it is missing), reads it through
// a line source, hands each section to its reader, applies the cluster node's
// control-file switch and checks that every active database names defined
// parse rules. Problems are numbered messages on the object itself: callers
// test isValid. One per request object; not thread-safe.
#include <array>
#include <string>

#include "common/bv_errs.h"
#include "config/bv_clusteroptions.h"
#include "config/bv_cronoptions.h"
#include "config/bv_databaseoptions.h"
#include "config/bv_libraryoptions.h"
#include "config/bv_options.h"
#include "config/bv_parserule.h"
#include "config/bv_processoroptions.h"
#include "config/bv_unigeneoptions.h"
#include "config/bv_wwwoptions.h"
#include "http/bv_connectionsettings.h"

namespace brenvik {

class bv_configsource;
class bv_sectionlines;
class bv_taxonomyoptions;

class bv_configfile : public bv_errs {
public:
    static constexpr int kTaxonomySlots = 65;

    bv_configfile();
    ~bv_configfile();
    bv_configfile(const bv_configfile&) = delete;
    bv_configfile& operator=(const bv_configfile&) = delete;

    void setRetrySeconds(int seconds) { retrySeconds_ = seconds; }
    void load();
    void reset();
    void setDefaultFileName();
    // The top-level reader followed by checkDatabaseRules; false when the
    // server's status page came back instead of a configuration.
    bool parseSections(bv_configsource& source);
    bool parseSections(bv_sectionlines& lines);
    void checkDatabaseRules();

    const std::string& getFileName() const { return fileName_; }
    bv_clusteroptions* getCluster() { return &cluster_; }
    bv_databaseoptions* getDatabases() { return &databases_; }
    bv_options* getOptions() { return &options_; }
    bv_parseoptions* getParseOptions() { return &parse_; }
    bv_libraryoptions* getLibraryOptions() { return &library_; }
    bv_wwwoptions* getWWW() { return &www_; }
    bv_processoroptions* getProcessors() { return &processors_; }
    bv_unigeneoptions* getUniGene() { return &unigene_; }
    bv_cronoptions* getCron() { return &cron_; }
    bv_configpaths* getConfigPaths() { return &paths_; }
    const bv_connectionsettings& getConnectionSettings() const { return connection_; }
    // The Taxonomy_N section, or null when the file had none or N is outside 0..64.
    bv_taxonomyoptions* taxonomySection(int n) const;
    const std::string& getCommentBeforeDatabases() const { return commentBeforeDatabases_; }
    const std::string& getTrailingComment() const { return trailingComment_; }

    // Copies a value into out (at most maxCount characters and a NUL): leading
    // blanks skipped, one opening quote (double or single) dropped together
    // with a closing quote of either kind; stops at a line end.
    static void readQuotedValue(const char* text, char* out, int maxCount);
    // The text between the first and the last double quote of the line becomes
    // the rule's text; false (and message 1551 on errs) without two quotes or
    // when the text is longer than a rule holds.
    static bool readQuotedRule(const std::string& line, bv_parserule& rule, bv_errs& errs,
                               const std::string& fileName);

private:
    void deleteTaxonomySections();
    // A Taxonomy_N section: N from the header; out-of-range and repeated
    // numbers are skipped with a warning.
    void readTaxonomy(bv_sectionlines& lines, const std::string& header, const std::string& pendingComment);
    // The readers of the other sections, each up to its end line; the
    // pending comment is the one written above the section's header.
    void readLibraryOptions(bv_sectionlines& lines, const std::string& pendingComment);
    void readWWW(bv_sectionlines& lines, const std::string& pendingComment);
    void readProcessor(bv_sectionlines& lines, const std::string& pendingComment);
    void readCluster(bv_sectionlines& lines, const std::string& pendingComment);
    void readUniGene(bv_sectionlines& lines, const std::string& pendingComment);
    void readOptions(bv_sectionlines& lines, const std::string& pendingComment);
    void readCron(bv_sectionlines& lines, const std::string& pendingComment);
    void checkRule(const bv_databaseentry& db, int number, const char* what);
    void applyNodeControlFile();

    std::string fileName_;
    int retrySeconds_ = 0;
    bv_databaseoptions databases_;
    bv_libraryoptions library_;
    bv_parseoptions parse_;
    bv_wwwoptions www_;
    bv_processoroptions processors_;
    std::array<bv_taxonomyoptions*, kTaxonomySlots> taxonomy_{};
    bv_clusteroptions cluster_;
    bv_unigeneoptions unigene_;
    bv_options options_;
    bv_cronoptions cron_;
    bv_configpaths paths_;
    std::string commentBeforeDatabases_;
    std::string trailingComment_;
    bv_connectionsettings connection_;
};

// The configuration file to read: the given name when it is non-empty, else
// "../config/tarvex.dat", else the fallback location; tried again every
// 100 ms until retrySeconds have passed. Empty when nothing was found (then
// message 1537 names the last candidate on errs, when given).
std::string findConfigFile(const char* given, bv_errs* errs, int retrySeconds);

// Where findConfigFile looks.
constexpr const char* kDefaultConfigFile = "../config/tarvex.dat";
constexpr const char* kFallbackConfigFile = TARVEX_FALLBACK_CONFIG;
constexpr const char* kNodeIdFile = "../config/iam.dat";

}  // namespace brenvik
