#include "database/species_names.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/system_calls.h"
#include "config/bv_taxonomyoptions.h"
#include "config/regex_dialect.h"
#include "database/bv_cachefile.h"
#include "database/taxonomy_line_reader.h"
#include "database/taxonomy_rules.h"
#include "pal/number_reader.h"

namespace {

constexpr int ERR_COMPILE_PARSE_RULE = 127;
constexpr int ERR_SPECIES_FILE_MISSING = 246;
constexpr int ERR_INVALID_NAME_CLASS = 248;
constexpr int ERR_OBSOLETE_PDB = 451;
constexpr int ERR_NEED_TWO_SUBEXPRESSIONS = 540;
// Report positions of this module ("taxonomy"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineObsoletePdb = 255;  // M451, formatted only
constexpr int kLineCompileSwissProt = 267;  // M127
constexpr int kLineSubExpressions = 272;  // M540
constexpr int kLineFileMissing = 505;  // M246
constexpr int kLineFileMissingText = 506;  // M246, formatted for the caller
constexpr int kLineInvalidNameClass = 595;  // M248

constexpr const char* cacheVersion = "1.0";

const char* const nameClassTexts[speciesNameClassCount] = {
    "scientific name", "synonym",          "misspelling",     "preferred common name", "common name",
    "misnomer",        "includes",         "in-part",         "unknown",               "anamorph",
    "acronym",         "equivalent name",  "blast name",      "preferred acronym",     "teleomorph",
    "genbank synonym", "genbank common name", "genbank acronym", "genbank anamorph",   "authority",
    "unpublished name", "type material",
};

bool obsoletePdbWarned = false;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// atoll: 0 when nothing is read.
int64_t atollValue(const char* p) {
    int64_t v = 0;
    return brenvik::scanInt64(p, v) ? v : 0;
}

// Stores line[start, start + length) as the name, with a blank before and
// after when padding; reuses the name's buffer from line to line.
void setName(std::string& name, const std::string& line, size_t start, size_t length, bool pad) {
    name.clear();
    if (pad) name.push_back(' ');
    name.append(line, start, length);
    if (pad) name.push_back(' ');
}

struct ParsedName {
    int32_t taxId = 0;
    std::string name;
    int32_t nameClass = 1;
};

class SpeciesFileParser {
public:
    SpeciesFileParser(int kind, const std::string& path, int jobNumber, bool pad, const brenvik::BsdRegex* regex,
                      bool regexGiven)
        : kind_(kind), path_(path), jobNumber_(jobNumber), pad_(pad), regex_(regex), regexGiven_(regexGiven) {}

    bool parse(const std::string& line, ParsedName& out) {
        switch (kind_) {
        case SPECIES_NCBI: return parseNcbi(line, out);
        case SPECIES_SWISSPROT: return regexGiven_ ? parseSwissProtRegex(line, out) : parseSwissProtColumns(line, out);
        case SPECIES_PDB: return parsePdb(line, out);
        default: return false;
        }
    }

private:
    // "id\t|\tname\t|\tunique name\t|\tname class\t|"
    bool parseNcbi(const std::string& line, ParsedName& out) {
        const size_t bar1 = line.find('|');
        if (bar1 == std::string::npos) return false;
        size_t start = bar1 + 1;
        while (start < line.size() && isBlank(line[start])) ++start;
        const size_t bar2 = line.find('|', start);
        if (bar2 == std::string::npos) return false;
        size_t end = bar2;
        while (end > start && isBlank(line[end - 1])) --end;
        const size_t bar3 = line.find('|', bar2 + 1);
        if (bar3 == std::string::npos) return false;
        size_t classStart = bar3 + 1;
        while (classStart < line.size() && isBlank(line[classStart])) ++classStart;
        const char* rest = line.c_str() + classStart;
        int nameClass = -1;
        for (int i = 0; i < speciesNameClassCount; ++i) {
            if (std::strncmp(rest, nameClassTexts[i], std::strlen(nameClassTexts[i])) == 0) {
                nameClass = i;
                break;
            }
        }
        if (nameClass < 0) {
            if (badClassReports_ < 2) {
                ++badClassReports_;
                errorReporter.report(ERR_INVALID_NAME_CLASS, jobNumber_, kLineInvalidNameClass, "taxonomy",
                                     std::string(rest), pathInMessages(path_));
            }
            return false;
        }
        out.taxId = brenvik::atoiValue(line.c_str());
        setName(out.name, line, start, end - start, pad_);
        out.nameClass = nameClass;
        return true;
    }

    bool parseSwissProtRegex(const std::string& line, ParsedName& out) {
        if (regex_ == nullptr || !regex_->compiled()) return false;
        regmatch_t match[3];
        if (regex_->exec(line.c_str(), 3, match) != 0) return false;
        if (match[1].rm_so < 0 || match[2].rm_so < 0) return false;
        const size_t nameLength = std::min<size_t>(static_cast<size_t>(match[1].rm_eo - match[1].rm_so), 299);
        setName(out.name, line, static_cast<size_t>(match[1].rm_so), nameLength, false);
        const std::string id = line.substr(static_cast<size_t>(match[2].rm_so),
                                           static_cast<size_t>(match[2].rm_eo - match[2].rm_so));
        out.taxId = id.empty() ? 0 : brenvik::atoiValue(id.c_str());
        out.nameClass = 1;
        return out.taxId > 0;
    }

    // "CODE_ V 12345: N=..." with ':' at column 14 and the kingdom at column 6.
    bool parseSwissProtColumns(const std::string& line, ParsedName& out) {
        if (line.size() <= 15 || line[14] != ':' || std::strchr("ABEV", line[6]) == nullptr || line[6] == '\0')
            return false;
        size_t end = 0;
        while (end < line.size() && !isBlank(line[end])) ++end;
        setName(out.name, line, 0, end, pad_);
        out.taxId = brenvik::atoiValue(line.c_str() + 7);
        out.nameClass = 1;
        return out.taxId > 0;
    }

    // "<digits> <name> <4 characters> <word> <taxid>"
    bool parsePdb(const std::string& line, ParsedName& out) {
        const size_t n = line.size();
        size_t p = 0;
        while (p < n && isBlank(line[p])) ++p;
        const size_t digits = p;
        while (p < n && std::isdigit(static_cast<unsigned char>(line[p]))) ++p;
        if (p == digits || p >= n || !isBlank(line[p])) return false;
        while (p < n && isBlank(line[p])) ++p;
        if (p >= n) return false;
        const size_t wordStart = p;
        while (p < n && !isBlank(line[p])) ++p;
        const size_t wordEnd = p;
        if (n - p < 4) return false;
        p += 4;
        while (p < n && isBlank(line[p])) ++p;
        if (p >= n) return false;
        while (p < n && !isBlank(line[p])) ++p;
        while (p < n && isBlank(line[p])) ++p;
        if (p >= n) return false;
        setName(out.name, line, wordStart, wordEnd - wordStart, pad_);
        out.taxId = brenvik::atoiValue(line.c_str() + p);
        out.nameClass = 1;
        return out.taxId > 0;
    }

    int kind_;
    std::string path_;
    int jobNumber_;
    bool pad_;
    const brenvik::BsdRegex* regex_;
    bool regexGiven_;
    int badClassReports_ = 0;
};

void trimTrailing(std::string& name) {
    while (name.size() > 1 && std::strchr("\t.,:;", name.back()) != nullptr && name.back() != '\0') name.pop_back();
}

void upperCaseName(std::string& name) {
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

void reportMissing(const std::string& path, int jobNumber, std::string& errorText) {
    errorReporter.report(ERR_SPECIES_FILE_MISSING, jobNumber, kLineFileMissing, "taxonomy", pathInMessages(path));
    errorText +=
        errorReporter.formatMessage(ERR_SPECIES_FILE_MISSING, jobNumber, kLineFileMissingText, "taxonomy", path);
    errorText += "\n";
}

// A species file that is there but refused (a link of another user, not a
// regular file) says why before it counts as missing.
std::FILE* openSpeciesFile(const std::string& path) {
    std::FILE* stream = fileOpenStream(path.c_str(), "r", false);
    if (stream == nullptr && errno != ENOENT) reportFileOpenFailure(path.c_str(), "reading", errno);
    return stream;
}

// A GI line: "<gi> <taxid>".
void addGiPair(const std::string& line, std::deque<GiTaxIdPair>& pairs) {
    if (line.size() <= 2) return;
    const size_t gap = line.find_first_of(" \t");
    if (gap == std::string::npos) return;
    const int32_t taxId = brenvik::atoiValue(line.c_str() + gap + 1);
    if (taxId == 0) return;
    pairs.push_back({taxId, atollValue(line.c_str())});
}

}  // namespace

const char* getNameClassText(int nameClass) {
    if (nameClass < 0 || nameClass >= speciesNameClassCount) return "";
    return nameClassTexts[nameClass];
}

bool compareSpeciesNames(const SpeciesNameEntry& a, const SpeciesNameEntry& b) {
    return std::strcmp(a.name, b.name) < 0;  // strcmp compares as unsigned char
}

void CSpeciesNameTable::FreeBlock::operator()(char* block) const { std::free(block); }

void CSpeciesNameTable::addName(int32_t taxId, const char* name, int32_t nameClass) {
    addName(taxId, std::string(name != nullptr ? name : ""), nameClass);
}

void CSpeciesNameTable::addName(int32_t taxId, const std::string& name, int32_t nameClass) {
    const size_t length = name.size() + 1;
    char* target = nullptr;
    if (length > blockSize) {
        // Too long for any block: a block of its own, keeping the current one.
        char* own = static_cast<char*>(std::malloc(length));
        if (own == nullptr) throw std::bad_alloc();
        target = own;
        blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::unique_ptr<char, FreeBlock>(own));
    } else {
        if (used_ + length > blockSize) {
            char* block = static_cast<char*>(std::aligned_alloc(blockSize, blockSize));
            if (block == nullptr) throw std::bad_alloc();
            preferHugePages(block, blockSize);
            blocks_.emplace_back(block);
            next_ = block;
            used_ = 0;
        }
        target = next_;
        next_ += length;
        used_ += length;
    }
    std::memcpy(target, name.c_str(), length);
    entries.push_back({target, taxId, nameClass});
    sorted_ = false;
}

bool CSpeciesNameTable::findName(const char* name, int& taxId, int& nameClass) const {
    size_t lo = 0, hi = entries.size();
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        const int c = std::strcmp(name, entries[mid].name);
        if (c == 0) {
            taxId = entries[mid].taxId;
            nameClass = entries[mid].nameClass;
            return true;
        }
        if (c > 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return false;
}

namespace {

// strcmp of upper(name) against an upper-case key, in unsigned byte order.
int compareUpperCase(const char* name, const char* upperKey) {
    for (;; ++name, ++upperKey) {
        unsigned char a = static_cast<unsigned char>(*name);
        if (a >= 'a' && a <= 'z') a = static_cast<unsigned char>(a - 'a' + 'A');
        const unsigned char b = static_cast<unsigned char>(*upperKey);
        if (a != b || a == 0) return a < b ? -1 : (a > b ? 1 : 0);
    }
}

}  // namespace

bool CSpeciesNameTable::findNameUpperCase(const char* upperKey, int& taxId, int& nameClass) const {
    // In the sorted upper-case table the names below the key come first,
    // then the equal ones in order of addition (the sort is stable). So the
    // count below and the equal entries decide where findName's halving
    // lands, without sorting anything.
    size_t below = 0;
    std::vector<const SpeciesNameEntry*> equal;
    for (const SpeciesNameEntry& entry : entries) {
        const int c = compareUpperCase(entry.name, upperKey);
        if (c < 0)
            ++below;
        else if (c == 0)
            equal.push_back(&entry);
    }
    if (equal.empty()) return false;
    size_t lo = 0, hi = entries.size();
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (mid >= below && mid - below < equal.size()) {
            taxId = equal[mid - below]->taxId;
            nameClass = equal[mid - below]->nameClass;
            return true;
        }
        if (mid < below)
            lo = mid + 1;
        else
            hi = mid;
    }
    return false;
}

namespace {

// The first 8 bytes of a name as a big-endian number, zero after its end:
// comparing two of them orders the names as their first 8 bytes do.
uint64_t namePrefix(const char* name) {
    uint64_t prefix = 0;
    int i = 0;
    for (; i < 8 && name[i] != '\0'; ++i) prefix = prefix << 8 | static_cast<unsigned char>(name[i]);
    return i == 0 ? 0 : prefix << (8 * (8 - i));
}

}  // namespace

void CSpeciesNameTable::sortNames() {
    // Sorting millions of names through their pointers is ruled by cache
    // misses and long shared beginnings ("uncultured ..."). So the names are
    // sorted 8 bytes at a time as integers, each run of equal bytes again on
    // its next 8 bytes; stable at every step, so equal names keep their order.
    struct Keyed {
        uint64_t key;
        SpeciesNameEntry entry;
    };
    struct Run {
        size_t begin, end, offset;
    };
    std::vector<Keyed> keyed(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) keyed[i].entry = entries[i];
    std::vector<Run> runs{{0, keyed.size(), 0}};
    while (!runs.empty()) {
        const Run run = runs.back();
        runs.pop_back();
        // Every name of the run has at least `offset` bytes before its end.
        for (size_t i = run.begin; i < run.end; ++i) keyed[i].key = namePrefix(keyed[i].entry.name + run.offset);
        std::stable_sort(keyed.begin() + static_cast<std::ptrdiff_t>(run.begin),
                         keyed.begin() + static_cast<std::ptrdiff_t>(run.end),
                         [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
        for (size_t i = run.begin; i < run.end;) {
            size_t j = i + 1;
            while (j < run.end && keyed[j].key == keyed[i].key) ++j;
            // A zero last byte: the names ended inside these 8 bytes, equal.
            if (j - i > 1 && (keyed[i].key & 0xFF) != 0) runs.push_back({i, j, run.offset + 8});
            i = j;
        }
    }
    for (size_t i = 0; i < keyed.size(); ++i) entries[i] = keyed[i].entry;
    sorted_ = true;
}

CSpeciesNameLists::CSpeciesNameLists() = default;

CSpeciesNameLists::~CSpeciesNameLists() {
    for (auto& index : accIndexes)
        if (index) index->close();
}

void CSpeciesNameLists::invalidateIndex() {
    indexBuilt_ = false;
    scanned_ = false;
    std::vector<NameRef>().swap(index_);
    std::vector<uint32_t>().swap(firstOf_);
    std::vector<int32_t>().swap(ids_);
    scan_.clear();
}

void CSpeciesNameLists::orderWithinIds(std::vector<NameRef>& refs, size_t begin, size_t end) const {
    bool allSorted = true;
    for (const CSpeciesNameTable& table : tables) allSorted = allSorted && table.isSorted();
    // A sorted table already gives each ID's names in name order.
    if (allSorted) return;
    auto byListAndName = [](const NameRef& a, const NameRef& b) {
        if (a.table != b.table) return a.table < b.table;
        return std::strcmp(a.entry->name, b.entry->name) < 0;
    };
    for (size_t i = begin; i < end;) {
        size_t j = i + 1;
        while (j < end && refs[j].entry->taxId == refs[i].entry->taxId) ++j;
        if (j - i > 1)
            std::stable_sort(refs.begin() + static_cast<std::ptrdiff_t>(i), refs.begin() + static_cast<std::ptrdiff_t>(j),
                             byListAndName);
        i = j;
    }
}

void CSpeciesNameLists::buildIndex() {
    size_t total = 0;
    int64_t minId = INT64_MAX, maxId = INT64_MIN;
    for (const CSpeciesNameTable& table : tables) {
        total += table.entries.size();
        for (const SpeciesNameEntry& entry : table.entries) {
            minId = std::min<int64_t>(minId, entry.taxId);
            maxId = std::max<int64_t>(maxId, entry.taxId);
        }
    }
    index_.clear();
    index_.reserve(total);
    preferHugePages(index_.data(), total * sizeof(NameRef));
    index_.resize(total);
    const uint64_t span = total == 0 ? 0 : static_cast<uint64_t>(maxId - minId) + 1;
    if (total > 0 && span <= 4 * static_cast<uint64_t>(total) + 1024) {
        // Dense IDs (NCBI's are): a counting sort, and a table of where each
        // ID's names start, so that a look-up is two array reads.
        minId_ = minId;
        firstOf_.reserve(static_cast<size_t>(span) + 1);
        preferHugePages(firstOf_.data(), firstOf_.capacity() * sizeof(uint32_t));
        firstOf_.assign(static_cast<size_t>(span) + 1, 0);
        for (const CSpeciesNameTable& table : tables)
            for (const SpeciesNameEntry& entry : table.entries) ++firstOf_[static_cast<size_t>(entry.taxId - minId) + 1];
        for (size_t i = 1; i < firstOf_.size(); ++i) firstOf_[i] += firstOf_[i - 1];
        std::vector<uint32_t> next(firstOf_.begin(), firstOf_.end() - 1);
        for (int t = 0; t < tableCount; ++t)
            for (const SpeciesNameEntry& entry : tables[t].entries)
                index_[next[static_cast<size_t>(entry.taxId - minId)]++] = {t, &entry};
    } else {
        // Keys of ID and position in list order, sorted as plain integers:
        // far cheaper than a map of millions of small vectors.
        std::vector<uint64_t> keys;
        keys.reserve(total);
        std::vector<NameRef> all;
        all.reserve(total);
        for (int t = 0; t < tableCount; ++t)
            for (const SpeciesNameEntry& entry : tables[t].entries) {
                keys.push_back(static_cast<uint64_t>(static_cast<uint32_t>(entry.taxId) ^ 0x80000000u) << 32 |
                               all.size());
                all.push_back({t, &entry});
            }
        std::sort(keys.begin(), keys.end());
        ids_.resize(total);
        for (size_t i = 0; i < total; ++i) {
            index_[i] = all[static_cast<size_t>(keys[i] & 0xFFFFFFFFu)];
            ids_[i] = index_[i].entry->taxId;
        }
    }
    orderWithinIds(index_, 0, index_.size());
    indexBuilt_ = true;
}

std::span<const CSpeciesNameLists::NameRef> CSpeciesNameLists::namesOf(int taxId) {
    if (!indexBuilt_ && !scanned_) {
        // One ID costs a scan; only a look-up of another ID pays for the index.
        scanned_ = true;
        scannedId_ = taxId;
        for (int t = 0; t < tableCount; ++t)
            for (const SpeciesNameEntry& entry : tables[t].entries)
                if (entry.taxId == taxId) scan_.push_back({t, &entry});
        orderWithinIds(scan_, 0, scan_.size());
        return scan_;
    }
    if (!indexBuilt_ && taxId == scannedId_) return scan_;
    if (!indexBuilt_) buildIndex();
    if (!ids_.empty()) {
        const auto first = std::lower_bound(ids_.begin(), ids_.end(), taxId);
        const auto last = std::upper_bound(first, ids_.end(), taxId);
        return {index_.data() + (first - ids_.begin()), static_cast<size_t>(last - first)};
    }
    const int64_t at = static_cast<int64_t>(taxId) - minId_;
    if (firstOf_.empty() || at < 0 || at + 1 >= static_cast<int64_t>(firstOf_.size())) return {};
    const uint32_t begin = firstOf_[static_cast<size_t>(at)], end = firstOf_[static_cast<size_t>(at) + 1];
    return {index_.data() + begin, end - begin};
}

const char* CSpeciesNameLists::scientificNameOf(int taxId) {
    const char* name = nullptr;
    forEachName(taxId, [&name](const NameRef& ref) {
        if (ref.entry->nameClass != 0) return true;
        name = ref.entry->name;
        return false;
    });
    return name;
}

namespace {

// Compiles the SWISSPROT expression of a kind-1 file; `report` says whether
// a faulty expression is reported (M127, M540). False when it is faulty.
bool compileSwissProtRegex(brenvik::BsdRegex& regex, const std::string& text, bool report) {
    const int status = regex.compile(text, 0);
    if (status != 0) {
        if (report)
            errorReporter.report(ERR_COMPILE_PARSE_RULE, -1, kLineCompileSwissProt, "taxonomy", text,
                                 regex.errorText(status));
        return false;
    }
    if (regex.subExpressions() != 2) {
        if (report)
            errorReporter.report(ERR_NEED_TWO_SUBEXPRESSIONS, -1, kLineSubExpressions, "taxonomy",
                                 static_cast<int>(regex.subExpressions()), text);
        return false;
    }
    return true;
}

// Reads one opened species file into the lists, and into `cache` while one
// is being built. False when the file held no bytes at all, or zeros.
bool readSpeciesFile(std::FILE* stream, int kind, const std::string& path, const brenvik::BsdRegex& regex,
                     const std::string& regexText, const SpeciesLoadOptions& options, CSpeciesNameLists& lists,
                     brenvik::bv_cachefile* cache) {
    TaxonomyLineReader reader(stream, TaxonomyLineReader::LineEnds::CrLfOrNul);
    SpeciesFileParser parser(kind, path, options.jobNumber, options.pad, &regex, !regexText.empty());
    CSpeciesNameTable& table = lists.tables[kind];
    // Room for the file's names at once (a names line is over 48 bytes):
    // growing an array of millions step by step copies it again and again.
    struct stat st;
    if (kind != SPECIES_GI2TAXID && systemCalls().fstat(fileno(stream), &st) == 0 && st.st_size > 0) {
        table.entries.reserve(table.entries.size() + static_cast<size_t>(st.st_size) / 48);
        preferHugePages(table.entries.data(), table.entries.capacity() * sizeof(SpeciesNameEntry));
        if (cache != nullptr) cache->expectRecords(static_cast<uint64_t>(st.st_size) / 48);
    }
    std::string line;
    std::string key;
    std::string value;
    ParsedName parsed;
    while (reader.next(line)) {
        if (line.empty()) continue;
        if (kind == SPECIES_GI2TAXID) {
            addGiPair(line, lists.pairLists[SPECIES_GI2TAXID]);
            continue;
        }
        if (!parser.parse(line, parsed)) continue;
        if (options.upperCase) upperCaseName(parsed.name);
        trimTrailing(parsed.name);
        table.addName(parsed.taxId, parsed.name, parsed.nameClass);
        if (cache != nullptr) {
            key = std::to_string(parsed.taxId);
            value.assign(parsed.name).append(1, ';').append(std::to_string(parsed.nameClass));
            cache->add(key.c_str(), value.c_str(), key.size(), value.size());
        }
    }
    // Zeros where names should be count as no names: no cache is finished
    // for such a file, and the file is reported.
    return reader.bytesRead() != 0 && !reader.notText();
}

// A regular file without a byte (what else it is, reading tells).
bool isEmptyFile(std::FILE* stream) {
    struct stat st;
    return systemCalls().fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

// "../taxonomy/<name>" as configured: messages show it so, and the file
// helpers turn Windows separators into "/" when they open it.
std::string speciesPath(const std::string& name) {
    return "../taxonomy/" + name;
}

}  // namespace

bool hasNameCache(int kind) { return kind == SPECIES_NCBI || kind == SPECIES_SWISSPROT || kind == SPECIES_PDB; }

std::unique_ptr<brenvik::bv_cachefile> makeNameCache(const std::string& fileName) {
    const std::string source = osPath(speciesPath(fileName));
    auto cache = std::make_unique<brenvik::bv_cachefile>((source + ".cdb").c_str(), cacheVersion, source.c_str());
    // A request reads the names of a few IDs of millions.
    cache->setPositionalReads(true);
    return cache;
}

SpeciesLoadResult loadSpeciesFiles(const std::vector<SpeciesFileRecord>& speciesFiles, CSpeciesNameLists& lists,
                                   const SpeciesLoadOptions& options, std::string& errorText) {
    const int jobNumber = options.jobNumber;
    const std::string regexText = options.regexTexts != nullptr
                                      ? options.regexTexts[1]
                                      : std::string(brenvik::bv_taxonomyoptions::kDefaultSwissProtRegex);
    const bool cachesAsked = options.useCaches;
    bool cachesUsable = cachesAsked;
    bool result = true;
    bool sorted[CSpeciesNameLists::tableCount] = {true, true, true, true, true, true};
    // Where each file's entries lie in its table, in file order. A file
    // left unparsed because its cache was valid (served) is parsed after
    // all when the caches turn out unusable later on, since the caller then
    // reads every name from memory; its entries still take their place, so
    // that equal names stay in file order.
    struct Placed {
        int kind;
        size_t begin, end;
        const SpeciesFileRecord* served;
    };
    std::vector<Placed> placed;
    size_t before[CSpeciesNameLists::tableCount];
    for (int kind = 0; kind < CSpeciesNameLists::tableCount; ++kind) before[kind] = lists.tables[kind].entries.size();
    lists.invalidateIndex();

    for (const SpeciesFileRecord& file : speciesFiles) {
        const int kind = file.kind;
        if (kind < 0 || kind > SPECIES_ACC2TAXID) continue;

        if (kind == SPECIES_PDB && !obsoletePdbWarned) {
            obsoletePdbWarned = true;
            errorText += errorReporter.formatMessage(ERR_OBSOLETE_PDB, jobNumber, kLineObsoletePdb, "taxonomy");
            errorText += "\n";
        }

        brenvik::BsdRegex regex;
        if (kind == SPECIES_SWISSPROT && !compileSwissProtRegex(regex, regexText, true)) result = false;

        const std::string path = speciesPath(file.name);

        if (kind == SPECIES_ACC2TAXID) {
            auto index = std::make_unique<CAccToTaxidIndex>(path, jobNumber, errorText, 1);
            if (index->usable)
                lists.accIndexes.push_back(std::move(index));
            else
                result = false;
            continue;
        }
        if (kind == SPECIES_GI2TAXID && !options.loadGiPairs) continue;

        // Caches for the name files: valid -> no parse; missing, stale or
        // damaged -> rebuilt while parsing; being built by another task ->
        // wait for that build (bounded) and use it; held too long or
        // unusable -> memory, and no caches for the rest of the files.
        std::unique_ptr<brenvik::bv_cachefile> cache;
        bool cacheValid = false;
        bool rebuild = false;
        // Opens the cache afresh; false when another task is building it.
        auto openCache = [&]() {
            cache = makeNameCache(file.name);
            cacheValid = rebuild = false;
            if (cache->open(true)) {
                cacheValid = true;
                cache->close();
                return true;
            }
            const int last = cache->getLastError();
            if (last == brenvik::kMsgBeingCreated) return false;
            if (last == brenvik::kMsgMissing || last == brenvik::kMsgOldVersionRecreate ||
                last == brenvik::kMsgIncompleteRecreate || last == brenvik::kMsgChangedRecreate ||
                last == brenvik::kMsgInitFailed || last == brenvik::kMsgWasTooLarge)
                rebuild = cache->isUsable();
            return true;
        };
        // After another task's build: its cache, when that build finished.
        auto waitAndOpen = [&]() {
            return cache->waitForBuild(brenvik::kCacheBuildWaitMs) && openCache() && cacheValid;
        };
        if (hasNameCache(kind) && cachesUsable) {
            if (!openCache()) waitAndOpen();
            if (!cacheValid && !rebuild) cachesUsable = false;
        }

        std::FILE* stream = openSpeciesFile(path);
        if (stream == nullptr) {
            reportMissing(path, jobNumber, errorText);
            result = false;
            // No cache can stand in for a file that is not there.
            if (hasNameCache(kind)) cachesUsable = false;
            continue;
        }
        // A finished cache of an empty file (older builds wrote them) would
        // hide the fault on every request: such a file is read, and fails.
        if (cacheValid && isEmptyFile(stream)) {
            cacheValid = false;
            rebuild = true;
        }
        bool building = false;
        if (rebuild) {
            building = cache->create() && cache->isCreating();
            // Another task took the build over: wait for it. Should it not
            // finish in time, its content is not ours to promise, so the
            // caller reads this file's names from memory.
            if (!building && !(cache->getLastError() == brenvik::kMsgBeingCreated && waitAndOpen()))
                cachesUsable = false;
        }
        if (cacheValid) {
            std::fclose(stream);
            const size_t at = lists.tables[kind].entries.size();
            placed.push_back({kind, at, at, &file});
            continue;
        }

        const size_t begin = lists.tables[kind].entries.size();
        const bool hadBytes = readSpeciesFile(stream, kind, path, regex, regexText, options, lists,
                                              building ? cache.get() : nullptr);
        placed.push_back({kind, begin, lists.tables[kind].entries.size(), nullptr});
        sorted[kind] = false;
        std::fclose(stream);
        if (building) {
            // No cache is finished for a file that gave no bytes: it would
            // read as valid, and the file's fault would never be reported again.
            const bool finished = hadBytes && cache->finish();
            cachesUsable = finished;
            cache->close();
        }
        if (!hadBytes) {
            reportMissing(path, jobNumber, errorText);
            result = false;
        }
    }

    if (cachesAsked && !cachesUsable) {
        bool late[CSpeciesNameLists::tableCount] = {};
        for (Placed& place : placed) {
            if (place.served == nullptr) continue;
            const SpeciesFileRecord* file = place.served;
            const std::string path = speciesPath(file->name);
            brenvik::BsdRegex regex;
            // Its faults were reported on the first pass.
            if (file->kind == SPECIES_SWISSPROT) compileSwissProtRegex(regex, regexText, false);
            std::FILE* stream = openSpeciesFile(path);
            if (stream == nullptr) {
                reportMissing(path, jobNumber, errorText);
                result = false;
                continue;
            }
            place.begin = lists.tables[file->kind].entries.size();
            readSpeciesFile(stream, file->kind, path, regex, regexText, options, lists, nullptr);
            place.end = lists.tables[file->kind].entries.size();
            late[file->kind] = true;
            sorted[file->kind] = false;
            std::fclose(stream);
        }
        // The late files' entries back into file order.
        for (int kind = 0; kind < CSpeciesNameLists::tableCount; ++kind) {
            if (!late[kind]) continue;
            std::vector<SpeciesNameEntry>& entries = lists.tables[kind].entries;
            std::vector<SpeciesNameEntry> ordered(entries.begin(),
                                                  entries.begin() + static_cast<std::ptrdiff_t>(before[kind]));
            ordered.reserve(entries.size());
            for (const Placed& place : placed)
                if (place.kind == kind)
                    ordered.insert(ordered.end(), entries.begin() + static_cast<std::ptrdiff_t>(place.begin),
                                   entries.begin() + static_cast<std::ptrdiff_t>(place.end));
            entries.swap(ordered);
        }
    }

    // One sort per table, over every file of its kind.
    for (int kind = 0; kind < CSpeciesNameLists::tableCount; ++kind)
        if (!sorted[kind] && lists.sortTables) lists.tables[kind].sortNames();
    return {result, cachesUsable};
}

SpeciesLoadResult loadSpeciesFiles(const brenvik::TAXONOMY_RULES& rules, CSpeciesNameLists& lists,
                                   SpeciesLoadOptions options, std::string& errorText) {
    std::vector<SpeciesFileRecord> files;
    for (const auto& file : rules.speciesFiles) files.push_back({file.source, file.name});
    options.regexTexts = rules.regexTexts;
    return loadSpeciesFiles(files, lists, options, errorText);
}

namespace {
// A cache path longer than this is refused as a cache that cannot be opened.
constexpr size_t kMaxCachePath = 255;
}  // namespace

std::unique_ptr<CSpeciesNameLists> SpeciesNamesById::unsortedLists() {
    auto lists = std::make_unique<CSpeciesNameLists>();
    // Names are looked up by ID only: the tables need no sorting.
    lists->sortTables = false;
    return lists;
}

bool SpeciesNamesById::load(const std::vector<SpeciesFileRecord>& files, const std::string* regexTexts,
                            int jobNumber, std::string& errorText) {
    SpeciesLoadOptions options;
    options.jobNumber = jobNumber;
    options.regexTexts = regexTexts;
    options.useCaches = true;
    const SpeciesLoadResult loaded = loadSpeciesFiles(files, *lists_, options, errorText);
    bool result = loaded.clean;
    usesCaches_ = loaded.cachesUsable;
    if (!usesCaches_ || files.empty()) {
        usesCaches_ = false;
        return result;
    }
    // Only the files whose caches the loader keeps, opened as it opens them.
    for (const SpeciesFileRecord& file : files) {
        if (!hasNameCache(file.kind)) continue;
        auto cache = makeNameCache(file.name);
        if (cache->fileName().size() > kMaxCachePath || !cache->open(true)) {
            usesCaches_ = false;
            break;
        }
        caches_.emplace_back(file.kind, std::move(cache));
    }
    if (!usesCaches_) {
        // The loader skipped the files whose caches it found valid: every
        // name is needed in memory now.
        caches_.clear();
        lists_ = unsortedLists();
        options.useCaches = false;
        result = loadSpeciesFiles(files, *lists_, options, errorText).clean && result;
    }
    return result;
}

const std::vector<SpeciesNamesById::Name>& SpeciesNamesById::gatherFromCaches(int taxId) {
    cached_.clear();
    gathered_.clear();
    const std::string key = std::to_string(taxId);
    for (auto& [table, cache] : caches_) {
        for (std::string& value : cache->getAllValues(key)) {
            // "name;class": the name may hold ';' itself, the class never.
            const size_t cut = value.rfind(';');
            if (cut == std::string::npos) continue;
            const std::optional<int32_t> nameClass =
                brenvik::parseDecimal<int32_t>(std::string_view(value).substr(cut + 1));
            if (!nameClass) continue;
            value.resize(cut);
            cached_.push_back({table, std::move(value), *nameClass});
        }
    }
    // The order of the lists in memory: list by list, each in name order,
    // equal names in file order (caches come in file order, each ID's
    // records in file order).
    std::stable_sort(cached_.begin(), cached_.end(), [](const CachedName& a, const CachedName& b) {
        if (a.table != b.table) return a.table < b.table;
        return std::strcmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    for (const CachedName& c : cached_) gathered_.push_back({c.table, c.name, c.nameClass});
    return gathered_;
}

const char* SpeciesNamesById::scientificNameOf(int taxId) {
    if (!usesCaches_) return lists_->scientificNameOf(taxId);
    const auto added = scientificNames_.try_emplace(taxId);
    std::unique_ptr<std::string>& stored = added.first->second;
    if (added.second)
        forEachName(taxId, [&stored](const Name& name) {
            if (name.nameClass != 0) return true;
            stored = std::make_unique<std::string>(name.name);
            return false;
        });
    return stored ? stored->c_str() : nullptr;
}
