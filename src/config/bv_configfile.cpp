#include "config/bv_configfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/bv_filesystem.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/system_calls.h"
#include "common/text_utils.h"
#include "config/bv_configsource.h"
#include "config/bv_sectionlines.h"
#include "config/bv_taxonomy_reader.h"
#include "config/bv_taxonomyoptions.h"
#include "pal/last_error.h"
#include "pal/number_reader.h"

namespace brenvik {

using namespace sectionsyntax;

namespace {

constexpr int kMsgCannotFindConfig = 1537;
constexpr int kMsgNoRule = 1538;
constexpr int kMsgUnexpectedLine = 1573;
constexpr int kMsgNoSection = 1574;
constexpr int kMsgStatusPage = 2307;
constexpr int kMsgInvalidTaxonomyEntry = 1551;
constexpr int kMsgDuplicateTaxonomy = 1567;
constexpr const char* kStatusPageLine = "<BODY><H1>Tarvex search status page</H1>";

// The configuration source as the section readers see it.
class SourceLines : public bv_sectionlines {
public:
    explicit SourceLines(bv_configsource& source) : source_(source) {}
    bool nextLine(std::string& line) override { return source_.readLine(line); }

private:
    bv_configsource& source_;
};

}  // namespace

std::string findConfigFile(const char* given, bv_errs* errs, int retrySeconds) {
    const SystemCalls& calls = systemCalls();
    // Counted in milliseconds: whole seconds made the wait last up to a
    // second longer than it says.
    const int64_t deadline = calls.monotonicMilliseconds() + int64_t{std::max(retrySeconds, 0)} * 1000;
    std::string candidate;
    for (bool first = true;; first = false) {
        if (!first) {
            // A pause between tries (the old search spun on the disk for the
            // whole wait), and a last try when the time is up.
            const int64_t left = deadline - calls.monotonicMilliseconds();
            if (left <= 0) break;
            calls.sleepMilliseconds(static_cast<uint32_t>(std::min<int64_t>(left, 100)));
        }
        if (given != nullptr && *given != '\0')
            candidate = given;
        else if (bv_filesystem::exists(kDefaultConfigFile))
            candidate = kDefaultConfigFile;
        else if (bv_filesystem::exists(kFallbackConfigFile))
            candidate = kFallbackConfigFile;
        else
            candidate.clear();
        if (bv_filesystem::exists(candidate)) return candidate;
    }
    if (errs != nullptr) errs->setError(kMsgCannotFindConfig, candidate);
    return std::string();
}

bv_configfile::bv_configfile() = default;

bv_configfile::~bv_configfile() { deleteTaxonomySections(); }

void bv_configfile::deleteTaxonomySections() {
    for (auto& section : taxonomy_) {
        delete section;
        section = nullptr;
    }
}

void bv_configfile::readLibraryOptions(bv_sectionlines& lines, const std::string& pendingComment) {
    library_.readSection(lines, *this, fileName_, pendingComment);
}

void bv_configfile::readWWW(bv_sectionlines& lines, const std::string& pendingComment) {
    www_.readSection(lines, *this, fileName_, pendingComment);
}

void bv_configfile::readProcessor(bv_sectionlines& lines, const std::string& pendingComment) {
    processors_.readSection(lines, *this, fileName_, pendingComment, [this](const std::string& name, int32_t& threads) {
        int i = databases_.findDatabase(name.c_str(), false);
        if (i < 0) return false;
        threads = databases_.getDatabase(i)->threadCount;
        return true;
    });
}

void bv_configfile::readCluster(bv_sectionlines& lines, const std::string& pendingComment) {
    cluster_.readSection(lines, *this, fileName_, pendingComment);
}

void bv_configfile::readUniGene(bv_sectionlines& lines, const std::string& pendingComment) {
    unigene_.readSection(lines, pendingComment);
}

void bv_configfile::readOptions(bv_sectionlines& lines, const std::string& pendingComment) {
    options_.readSection(lines, *this, fileName_, pendingComment);
}

void bv_configfile::readCron(bv_sectionlines& lines, const std::string& pendingComment) {
    cron_.readSection(lines, *this, fileName_, pendingComment);
}

void bv_configfile::readTaxonomy(bv_sectionlines& lines, const std::string& header,
                                 const std::string& pendingComment) {
    const int n = atoiValue(header.c_str() + std::strlen("Taxonomy_"));
    if (n < 0 || n >= kTaxonomySlots) {
        setError(kMsgInvalidTaxonomyEntry, fileName_, header);
        skipSection(lines);
        return;
    }
    bv_taxonomyoptions*& slot = taxonomy_[static_cast<std::size_t>(n)];
    if (slot != nullptr) {
        // The first section of a number stays.
        setError(kMsgDuplicateTaxonomy, n);
        skipSection(lines);
        return;
    }
    slot = new bv_taxonomyoptions;
    readTaxonomySection(*slot, lines, *this, fileName_, pendingComment);
}

bv_taxonomyoptions* bv_configfile::taxonomySection(int n) const {
    return n >= 0 && n < kTaxonomySlots ? taxonomy_[static_cast<std::size_t>(n)] : nullptr;
}

void bv_configfile::reset() {
    clearAllErrors();
    databases_.setDefaults();
    parse_.reset();
    library_.setDefaults();
    www_.setDefaults();
    paths_.setDefaults();
    options_.setDefaults();
    cluster_.setDefaults();
    unigene_.setDefaults();
    cron_.setDefaults();
    // The processors section keeps what it had, as it always has.
    deleteTaxonomySections();
    commentBeforeDatabases_.clear();
    trailingComment_.clear();
}

void bv_configfile::setDefaultFileName() {
    if (fileName_.empty()) fileName_ = findConfigFile(nullptr, this, retrySeconds_);
}

void bv_configfile::load() {
    reset();
    setDefaultFileName();
    if (classifyFileName(fileName_.c_str()) == 1) fileName_ = findConfigFile(fileName_.c_str(), this, retrySeconds_);
    if (fileName_.empty()) return;
    bv_configsource source(this, connection_);
    if (!source.open(fileName_, CONFIG_MAIN)) return;
    parseSections(source);
    applyNodeControlFile();
}

void bv_configfile::applyNodeControlFile() {
    if (!cluster_.isEnabled() || !bv_filesystem::exists(kNodeIdFile)) return;
    // Read whole (a node number and a line end), then as "%d" reads it;
    // the number reader clamps, so no value out of range wraps round to 0.
    std::string text;
    if (!readConfigurationFile(kNodeIdFile, text)) {
        NARROW_CHAR_PAL::captureLastError();
        setSystemError(kMsgFailedToOpenFile, kNodeIdFile, "r");
        return;
    }
    int32_t node = 1;
    if (scanInt(text, node) && node == 0) options_.setTarvexControlFile(options_.getTarvexNodeControlFile());
}

bool bv_configfile::parseSections(bv_configsource& source) {
    SourceLines lines(source);
    return parseSections(lines);
}

bool bv_configfile::parseSections(bv_sectionlines& lines) {
    // Numbers in the file are written with a decimal point whatever the
    // process's locale.
    EnglishLocaleGuard locale;
    std::string pending;
    std::string line;
    while (lines.nextLine(line)) {
        if ((!line.empty() && line[0] == '#') || isBlankLine(line)) {
            pending += line;
            pending += '\n';
            continue;
        }
        if (line.compare(0, std::strlen(kStatusPageLine), kStatusPageLine) == 0) {
            setError(kMsgStatusPage);
            return false;
        }
        if (startsWithNoCase(line, "Taxonomy_")) {
            readTaxonomy(lines, line, pending);
        } else if (startsWithNoCase(line, "Databases")) {
            commentBeforeDatabases_ = pending;
            databases_.readSection(lines, *this, fileName_);
        } else if (startsWithNoCase(line, "LibraryOptions")) {
            readLibraryOptions(lines, pending);
        } else if (startsWithNoCase(line, "Files")) {
            paths_.setSectionAvailable(true);
            skipSection(lines);
        } else if (startsWithNoCase(line, "WWW")) {
            readWWW(lines, pending);
        } else if (startsWithNoCase(line, "PARSE")) {
            parse_.readSection(lines, *this, fileName_, pending);
        } else if (startsWithNoCase(line, "Processor")) {
            readProcessor(lines, pending);
        } else if (startsWithNoCase(line, "Cluster")) {
            readCluster(lines, pending);
        } else if (startsWithNoCase(line, "UniGene")) {
            readUniGene(lines, pending);
        } else if (startsWithNoCase(line, "Options")) {
            readOptions(lines, pending);
        } else if (startsWithNoCase(line, "Cron")) {
            readCron(lines, pending);
        } else {
            setError(kMsgUnexpectedLine, line, fileName_);
            continue;  // the comment waits for the next section
        }
        pending.clear();
    }
    trailingComment_ = pending;

    auto require = [this](const char* name, auto& section) {
        if (section.isSectionAvailable()) return;
        setError(kMsgNoSection, name, fileName_);
        section.setSectionAvailable(true);
    };
    require("Databases", databases_);
    require("WWW", www_);
    require("PARSE", parse_);
    require("Cluster", cluster_);
    require("UniGene", unigene_);
    require("Options", options_);
    require("Cron", cron_);

    checkDatabaseRules();
    return true;
}

void bv_configfile::checkRule(const bv_databaseentry& db, int number, const char* what) {
    bv_parserule* rule = parse_.getRule(number);
    if (rule != nullptr && rule->isDefined()) {
        if (!rule->isCompiled()) rule->compile(this);
    } else {
        setError(kMsgNoRule, fileName_, db.name, what);
    }
}

void bv_configfile::checkDatabaseRules() {
    for (int i = 0; i < databases_.getNumberOfDatabases(); ++i) {
        const bv_databaseentry& db = *databases_.getDatabase(i);
        if (!db.active) continue;
        checkRule(db, db.accessionRule, "accession");
        checkRule(db, db.descriptionRule, "description");
        if ((db.type == bv_databaseentry::TYPE_AA || db.type == bv_databaseentry::TYPE_NA) && db.accessionRefFlag)
            checkRule(db, db.accessionRefRule, "accessionRef");
    }
}

void bv_configfile::readQuotedValue(const char* text, char* out, int maxCount) {
    if (out == nullptr) return;
    *out = '\0';
    if (text == nullptr || maxCount < 0) return;
    while (*text == ' ' || *text == '\t') ++text;
    bool quoted = false;
    if (*text == '"' || *text == '\'') {
        quoted = true;
        ++text;
    }
    int n = 0;
    while (n < maxCount && text[n] != '\0' && text[n] != '\n' && text[n] != '\r') {
        out[n] = text[n];
        ++n;
    }
    if (quoted && n > 0 && (out[n - 1] == '"' || out[n - 1] == '\'')) --n;
    out[n] = '\0';
}

}  // namespace brenvik
