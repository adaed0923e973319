#include "database/stats_file.h"

#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/system_calls.h"
#include "pal/number_reader.h"

DatabaseStats::~DatabaseStats() = default;

namespace {

// Report positions of this module ("fasta"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineTooLong = 818;  // M252
constexpr size_t kKeyLength = 30;

const char kTimeCompressed[] = "Time files compressed (int) :\t";
const char kTimeFasta[] = "Time of fasta files (int)   :\t";
const char kSequences[] = "Number of sequences         :\t";
const char kResidues[] = "Number of residues          :\t";
const char kTaxonomy[] = "Num sequences for taxonomy  :\t";
const char kTooLong[] = "Number of sequences too long:\t";
const char kLongest[] = "Length of longest sequence  :\t";
const char kMaxAccession[] = "Maximum Accession Length    :\t";
const char kProductVersion[] = "Version of Tarvex           :\t";
const char kFileVersion[] = "Version of this file        :\t";
const char kFileType[] = "Type of fasta file          :\t";
const char kParseRule[] = "Parse rule for accession    :\t";
const char kSpectralBlocks[] = "Blocks for spectral library :\t";

static_assert(sizeof(kTimeCompressed) - 1 == kKeyLength && sizeof(kTaxonomy) - 1 == kKeyLength &&
              sizeof(kSpectralBlocks) - 1 == kKeyLength && sizeof(kFileVersion) - 1 == kKeyLength);

// The value of a key's first occurrence, up to the line end; false when the
// key is absent.
bool valueOf(const std::string& text, const char* key, std::string& value, size_t from = 0, size_t* at = nullptr) {
    const size_t p = text.find(key, from, kKeyLength);
    if (p == std::string::npos) return false;
    const size_t start = p + kKeyLength;
    const size_t end = text.find_first_of("\r\n", start);
    value = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (at) *at = start;
    return true;
}

// Leading blanks, an optional sign and digits; clamped to the target's range.
int64_t decimal(const std::string& value) { return brenvik::readLeadingInteger<int64_t>(value.c_str()).value; }

int32_t decimal32(const std::string& value) { return brenvik::atoiValue(value.c_str()); }

int64_t floatingToInt64(const std::string& value) {
    // long double keeps every 64-bit count exact.
    long double d = 0;
    if (!brenvik::scanLongDouble(value.c_str(), d) || std::isnan(d)) return 0;
    if (d >= 9.2e18L) return INT64_MAX;
    if (d <= -9.2e18L) return INT64_MIN;
    return static_cast<int64_t>(d);
}

constexpr int64_t kMaxStatsFileBytes = int64_t{64} << 20;

}  // namespace

bool readStatsFile(const std::string& path, int jobNumber, DatabaseStats& stats) {
    char quiet[256];
    const int fd = fileOpen(path.c_str(), true, quiet, sizeof quiet);
    if (fd < 0) return false;
    // The size of the file opened, not of whatever the name leads to now; a
    // real statistics file is a few kilobytes, so one far larger (a sparse
    // file planted in its place) is not read into memory.
    struct stat st;
    const int64_t size = systemCalls().fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    if (size < 0 || size > kMaxStatsFileBytes) {
        fileClose(fd);
        return false;
    }
    std::string text;
    text.resize(static_cast<size_t>(size > 0 ? size : 0));
    int64_t got = 0;
    while (got < size) {
        const long n = fileRead(fd, &text[static_cast<size_t>(got)], static_cast<size_t>(size - got));
        if (n <= 0) break;
        got += n;
    }
    fileClose(fd);
    if (got < size) return false;

    std::string v;
    if (valueOf(text, kTimeCompressed, v)) stats.timeFilesCompressed = decimal(v);
    if (valueOf(text, kTimeFasta, v)) stats.timeOfFastaFiles = decimal(v);
    if (valueOf(text, kSequences, v)) stats.numSequences = decimal32(v);
    if (valueOf(text, kResidues, v)) stats.numResidues = floatingToInt64(v);
    size_t from = 0, at = 0;
    while (valueOf(text, kTaxonomy, v, from, &at)) {
        from = at;
        const size_t eq = v.rfind('=');
        if (eq == std::string::npos) continue;
        stats.taxonomyCounts.emplace(v.substr(0, eq), decimal32(v.substr(eq + 1)));
    }
    if (valueOf(text, kTooLong, v)) {
        stats.numTooLong = decimal32(v);
        if (stats.numTooLong != 0) errorReporter.report(252, jobNumber, kLineTooLong, "fasta", stats.numTooLong);
    }
    if (valueOf(text, kLongest, v)) stats.longestSequence = decimal32(v);
    if (valueOf(text, kMaxAccession, v)) {
        const int32_t n = decimal32(v);
        stats.maxAccessionLength = n == INT32_MAX ? n : n + 1;
    }
    if (valueOf(text, kProductVersion, v)) stats.productVersion = v;
    bool versionOk = false;
    if (valueOf(text, kFileVersion, v)) versionOk = decimal(v) == 5;
    if (valueOf(text, kFileType, v)) {
        const std::string two = v.substr(0, 2);
        if (two == "AA") stats.fileType = 0;
        else if (two == "NA") stats.fileType = 1;
        else if (two == "SL") stats.fileType = 2;
    }
    if (valueOf(text, kParseRule, v)) stats.parseRule = v;
    if (valueOf(text, kSpectralBlocks, v)) stats.spectralBlocks = decimal32(v);
    return versionOk;
}
