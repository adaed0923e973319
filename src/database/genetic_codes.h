#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Translation tables 1 to 49, each in three ready-made forms, in one flat
// buffer whose layout other programs of the server share:
//   0                      ready flag
//   1 + 64 * id            codon string, NCBI order (first base slowest, T C A G); stop = '@'
//   3201 + 4096 * id       forward look-up, index c1 + 16*c2 + 256*c3 of base codes
//   208001 + 4096 * id     complement look-up, same index, complemented bases
//   412801 + 64 * id       reordered codon string (first base fastest)
//   416001 + id            loaded flag
// Base codes: 1 T, 2 C, 3 A, 4 G, 5 N; anything else is no base.
class GeneticCodeTables {
public:
    static constexpr int maxTableId = 49;
    static constexpr size_t byteSize = 416051;
    static constexpr size_t codonStringOffset = 1;
    static constexpr size_t forwardOffset = 3201;
    static constexpr size_t complementOffset = 208001;
    static constexpr size_t reorderedOffset = 412801;
    static constexpr size_t loadedOffset = 416001;

    // The only way to get a buffer: zero-filled, with the codon strings of
    // tables 2 to 49 set to 'X' so that a partly loaded table never
    // translates to stray bytes.
    static std::unique_ptr<GeneticCodeTables> make();

    unsigned char* bytes() { return bytes_; }
    const unsigned char* bytes() const { return bytes_; }

    bool ready() const { return bytes_[0] == 1; }
    static bool validId(int id) { return id >= 0 && id <= maxTableId; }
    bool loaded(int id) const { return validId(id) && bytes_[loadedOffset + id] == 1; }

    char* codonString(int id) { return reinterpret_cast<char*>(bytes_ + codonStringOffset + 64 * id); }
    const char* codonString(int id) const {
        return reinterpret_cast<const char*>(bytes_ + codonStringOffset + 64 * id);
    }
    const char* forwardLookup(int id) const {
        return reinterpret_cast<const char*>(bytes_ + forwardOffset + 4096 * id);
    }
    const char* complementLookup(int id) const {
        return reinterpret_cast<const char*>(bytes_ + complementOffset + 4096 * id);
    }
    const char* reorderedCodonString(int id) const {
        return reinterpret_cast<const char*>(bytes_ + reorderedOffset + 64 * id);
    }

    GeneticCodeTables(const GeneticCodeTables&) = delete;
    GeneticCodeTables& operator=(const GeneticCodeTables&) = delete;

private:
    GeneticCodeTables();
    unsigned char bytes_[byteSize];
};

static_assert(sizeof(GeneticCodeTables) == GeneticCodeTables::byteSize);

// NCBI translation table 1 with '@' for its stop codons.
extern const char standardGeneticCode[65];

namespace brenvik {
class TAXONOMY_RULES;
}

std::unique_ptr<GeneticCodeTables> makeGeneticCodeTables();

// ready := 0 and every loaded flag := 0.
void clearGeneticCodeTables(GeneticCodeTables& tables);

// Loads table 1 from the built-in code, then each named gencode file from
// the taxonomy folder in list order ("gencode.dmp" when the list is null or
// empty); ready := 1.
void initGeneticCodeTablesFromFiles(GeneticCodeTables& tables, const std::vector<std::string>* gencodeFiles);

// The same with the rules' GencodeFiles list (rules may be null).
void initGeneticCodeTables(GeneticCodeTables& tables, const brenvik::TAXONOMY_RULES* rules);

// Loads every table of one NCBI gencode file, "../taxonomy/<name>". A file
// that cannot be opened is reported (message 12); malformed lines are skipped.
// False when the file could not be opened.
bool loadGencodeFile(GeneticCodeTables& tables, const char* name);

// Loads from an already opened gencode stream (the body of loadGencodeFile).
void loadGencodeStream(GeneticCodeTables& tables, std::FILE* stream);

void buildCodonLookup(GeneticCodeTables& tables, int id);
void reorderCodonString(GeneticCodeTables& tables, int id);

// 1 <-> 3, 2 <-> 4, 5 stays; anything else gives 0.
int complementBaseCode(int code);
