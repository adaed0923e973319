#include "database/genetic_codes.h"

#include <cstring>
#include <new>

#include "common/file_utils.h"
#include "database/taxonomy_line_reader.h"
#include "database/taxonomy_rules.h"
#include "pal/number_reader.h"

const char standardGeneticCode[65] =
    "FFLLSSSSYY@@CC@WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG";

namespace {

constexpr const char* fieldSeparator = "\t|\t";

void setTableLetters(GeneticCodeTables& tables, int id, const char* letters, size_t n) {
    char* codons = tables.codonString(id);
    for (size_t i = 0; i < n && i < 64; ++i) codons[i] = letters[i] == '*' ? '@' : letters[i];
}

void markLoaded(GeneticCodeTables& tables, int id) {
    buildCodonLookup(tables, id);
    reorderCodonString(tables, id);
    tables.bytes()[GeneticCodeTables::loadedOffset + id] = 1;
}

// One gencode line: "id\t|\tabbreviation\t|\tname\t|\tcodons\t|\tstarts\t|".
void loadGencodeLine(GeneticCodeTables& tables, const std::string& line) {
    int64_t id = 0;
    if (!brenvik::scanInt64(line.c_str(), id) || id < 1 || id > GeneticCodeTables::maxTableId) return;

    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        pos = line.find(fieldSeparator, pos);
        if (pos == std::string::npos) return;
        pos += 3;
    }
    const int tableId = static_cast<int>(id);
    if (pos < line.size() && line[pos] != '\t') {
        size_t n = 0;
        while (pos + n < line.size() && n < 64 && line[pos + n] != '\t' && line[pos + n] != '\0') ++n;
        setTableLetters(tables, tableId, line.data() + pos, n);
    }
    markLoaded(tables, tableId);
}

// As configured (a missing file is reported so); the file helper turns
// Windows separators into "/" when it opens it.
std::string gencodePath(const char* name) {
    std::string path = "../taxonomy/";
    path += name;
    return path;
}

}  // namespace

GeneticCodeTables::GeneticCodeTables() {
    std::memset(bytes_, 0, sizeof bytes_);
    for (int id = 0; id <= maxTableId; ++id) {
        std::memset(codonString(id), 'X', 64);
        buildCodonLookup(*this, id);
        reorderCodonString(*this, id);
    }
}

std::unique_ptr<GeneticCodeTables> GeneticCodeTables::make() {
    return std::unique_ptr<GeneticCodeTables>(new GeneticCodeTables());
}

std::unique_ptr<GeneticCodeTables> makeGeneticCodeTables() { return GeneticCodeTables::make(); }

void clearGeneticCodeTables(GeneticCodeTables& tables) {
    tables.bytes()[0] = 0;
    std::memset(tables.bytes() + GeneticCodeTables::loadedOffset, 0, GeneticCodeTables::maxTableId + 1);
}

int complementBaseCode(int code) {
    switch (code) {
    case 1: return 3;
    case 3: return 1;
    case 2: return 4;
    case 4: return 2;
    case 5: return 5;
    default: return 0;
    }
}

void buildCodonLookup(GeneticCodeTables& tables, int id) {
    if (!GeneticCodeTables::validId(id)) return;
    const char* codons = tables.codonString(id);
    char* forward = reinterpret_cast<char*>(tables.bytes() + GeneticCodeTables::forwardOffset + 4096 * id);
    char* complement = reinterpret_cast<char*>(tables.bytes() + GeneticCodeTables::complementOffset + 4096 * id);
    auto isBase = [](int c) { return c >= 1 && c <= 4; };
    for (int index = 0; index < 4096; ++index) {
        const int c1 = index & 0xF, c2 = (index >> 4) & 0xF, c3 = (index >> 8) & 0xF;
        if (isBase(c1) && isBase(c2) && isBase(c3)) {
            forward[index] = codons[16 * (c1 - 1) + 4 * (c2 - 1) + (c3 - 1)];
            const int k1 = complementBaseCode(c1), k2 = complementBaseCode(c2), k3 = complementBaseCode(c3);
            complement[index] = codons[16 * (k1 - 1) + 4 * (k2 - 1) + (k3 - 1)];
        } else {
            forward[index] = 'X';
            complement[index] = 'X';
        }
    }
}

void reorderCodonString(GeneticCodeTables& tables, int id) {
    if (!GeneticCodeTables::validId(id)) return;
    const char* codons = tables.codonString(id);
    char* reordered = reinterpret_cast<char*>(tables.bytes() + GeneticCodeTables::reorderedOffset + 64 * id);
    for (int b1 = 0; b1 < 4; ++b1)
        for (int b2 = 0; b2 < 4; ++b2)
            for (int b3 = 0; b3 < 4; ++b3) reordered[b1 + 4 * b2 + 16 * b3] = codons[16 * b1 + 4 * b2 + b3];
}

void loadGencodeStream(GeneticCodeTables& tables, std::FILE* stream) {
    TaxonomyLineReader reader(stream, TaxonomyLineReader::LineEnds::LfDropCr);
    std::string line;
    while (reader.next(line)) loadGencodeLine(tables, line);
}

bool loadGencodeFile(GeneticCodeTables& tables, const char* name) {
    const std::string path = gencodePath(name != nullptr ? name : "");
    // A file that cannot be opened is reported (message 12) by the helper.
    std::FILE* stream = fileOpenStream(path.c_str(), "r", true);
    if (stream == nullptr) return false;
    loadGencodeStream(tables, stream);
    std::fclose(stream);
    return true;
}

void initGeneticCodeTablesFromFiles(GeneticCodeTables& tables, const std::vector<std::string>* gencodeFiles) {
    clearGeneticCodeTables(tables);
    setTableLetters(tables, 1, standardGeneticCode, 64);
    markLoaded(tables, 1);
    if (gencodeFiles != nullptr && !gencodeFiles->empty()) {
        for (const std::string& name : *gencodeFiles) loadGencodeFile(tables, name.c_str());
    } else {
        loadGencodeFile(tables, "gencode.dmp");
    }
    tables.bytes()[0] = 1;
}

void initGeneticCodeTables(GeneticCodeTables& tables, const brenvik::TAXONOMY_RULES* rules) {
    std::vector<std::string> names;
    if (rules != nullptr)
        for (const auto& file : rules->gencodeFiles) names.push_back(file.name);
    initGeneticCodeTablesFromFiles(tables, &names);
}
