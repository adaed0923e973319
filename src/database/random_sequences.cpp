#include "database/random_sequences.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "database/database_files.h"
#include "database/stats_file.h"
#include "pal/number_reader.h"

namespace {

// Report positions of this module (reports under "seq_iter"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineNoStatsFile = 1463;  // M529

// Frequencies of A to Z; letters not occurring in proteins have 0 and are
// entered all the same.
const double kBuiltIn[26] = {
    0.073699977, 0.0,         0.017505293, 0.051147667, 0.062312896, 0.041276085, 0.069068329,
    0.022438457, 0.057845485, 0.0,         0.057988307, 0.093395243, 0.023243537, 0.045423595,
    0.0,         0.049940221, 0.039495616, 0.052192784, 0.073536781, 0.058688014, 0.0,
    0.065036708, 0.013346271, 0.0,         0.032418732, 0.0,
};

void addResidue(CRandomSequenceGenerator& g, char residue, uint32_t v) {
    if (g.count >= static_cast<uint32_t>(CRandomSequenceGenerator::kMaxResidues)) return;
    g.residues[g.count] = residue;
    g.cumulative[g.count] = v + (g.count > 0 ? g.cumulative[g.count - 1] : 0);
    ++g.count;
    g.total += v;
}

// Lines of the file whole, without their line end; the last one may lack it.
std::vector<std::string> fileLines(FILE* f) {
    std::vector<std::string> lines;
    std::string line;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace

CRandomSequenceGenerator::~CRandomSequenceGenerator() = default;

void CRandomSequenceGenerator::reset() {
    normalised = 0;
    count = 0;
    total = 0;
}

void addBuiltInFrequencies(CRandomSequenceGenerator& generator, int scale) {
    for (int i = 0; i < 26; ++i) {
        const uint32_t v = static_cast<uint32_t>(static_cast<int64_t>(scale * kBuiltIn[i])) >> 10;
        addResidue(generator, static_cast<char>('A' + i), v);
    }
}

void normaliseFrequencies(CRandomSequenceGenerator& generator) {
    if (generator.normalised) return;
    for (uint32_t i = 0; i < generator.count; ++i)
        generator.cumulative[i] =
            generator.total == 0
                ? 0
                : static_cast<uint32_t>(static_cast<double>(generator.cumulative[i]) / generator.total *
                                        CRandomSequenceGenerator::kScale);
    generator.total = 1;
    generator.normalised = 1;
}

void CRandomSequenceGenerator::init(const brenvik::ControlFileRecord* record, int jobNumber) {
    const std::string path = brenvik::getDatabaseFileName(brenvik::DB_FILE_STATS, record);
    DatabaseStats stats;
    readStatsFile(path, jobNumber, stats);
    if (stats.numResidues <= 99999) {
        addBuiltInFrequencies(*this, 100000);
        normaliseFrequencies(*this);
        return;
    }
    FILE* f = path.empty() ? nullptr : fileOpenStream(path.c_str(), "rb", false);
    if (f == nullptr) {
        errorReporter.report(529, jobNumber, kLineNoStatsFile, "seq_iter");
        return;
    }
    const bool nucleic = record != nullptr && brenvik::databaseValue(*record, brenvik::kDbSequenceType) == 1;
    const std::vector<std::string> lines = fileLines(f);
    std::fclose(f);
    size_t i = 0;
    while (i < lines.size() && lines[i].compare(0, 17, "Residue\tFrequency") != 0) ++i;
    if (i == lines.size()) return;
    for (++i; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty() || std::strchr(" \t\r", line[0]) != nullptr || line[0] == '\0') break;
        if (line.size() < 3) continue;
        int32_t n = 0;
        if (!brenvik::scanInt(line.c_str() + 2, n)) continue;
        // A negative count would run the cumulative table backwards.
        if (n < 0) continue;
        if (nucleic && std::strchr("TCAG", line[0]) == nullptr) continue;
        addResidue(*this, line[0], static_cast<uint32_t>(n) >> 10);
    }
    normaliseFrequencies(*this);
}
