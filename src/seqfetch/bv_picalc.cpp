#include "seqfetch/bv_picalc.h"

#include "common/error_reporter.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineNoConvergence = 179;  // M345

struct PkRow {
    double sideChain;
    double cTerminal;
    double nTerminal;
};

// One row per letter A to Z. Only the terminal columns are read; the side
// chains use the constants below.
const PkRow pKTable[26] = {
    {0.0, 3.55, 7.59},   // A
    {0.0, 0.0, 0.0},     // B
    {9.0, 3.55, 7.5},    // C
    {4.05, 4.55, 7.5},   // D
    {4.45, 4.75, 7.7},   // E
    {0.0, 3.55, 7.5},    // F
    {0.0, 3.55, 7.5},    // G
    {5.98, 3.55, 7.5},   // H
    {0.0, 3.55, 7.5},    // I
    {0.0, 0.0, 0.0},     // J
    {10.0, 3.55, 7.5},   // K
    {0.0, 3.55, 7.5},    // L
    {0.0, 3.55, 7.0},    // M
    {0.0, 3.55, 7.5},    // N
    {0.0, 0.0, 0.0},     // O
    {0.0, 3.55, 8.36},   // P
    {0.0, 3.55, 7.5},    // Q
    {12.0, 3.55, 7.5},   // R
    {0.0, 3.55, 6.93},   // S
    {0.0, 3.55, 6.82},   // T
    {0.0, 0.0, 0.0},     // U
    {0.0, 3.55, 7.44},   // V
    {0.0, 3.55, 7.5},    // W
    {0.0, 0.0, 0.0},     // X
    {10.0, 3.55, 7.5},   // Y
    {0.0, 0.0, 0.0},     // Z
};

constexpr double pK_D = 4.05, pK_E = 4.45, pK_C = 9.0, pK_Y = 10.0;
constexpr double pK_H = 5.98, pK_K = 10.0, pK_R = 12.0;

constexpr int maxIterations = 1000;
constexpr double tolerance = 0.01;

bool isCapital(char c) { return c >= 'A' && c <= 'Z'; }

// 10 to the power x, remembered by the exact bits of x. The bisection visits
// the same few pH values for every protein and the pK values are few, so a
// request of many proteins asks for the same powers again and again; a
// remembered value is the very value pow gave, so results stay bit-exact.
// A few hundred values are in use at once; the table stays at four pages,
// since every page a one-protein run touches is a fresh page fault.
double powerOfTen(double x) {
    struct Entry {
        uint64_t bits;  // of x; 0 (x = +0.0) is never stored
        double value;
    };
    constexpr int kBits = 10;
    static Entry remembered[1 << kBits];
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    Entry& e = remembered[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
    if (e.bits == bits && bits != 0) return e.value;
    const double value = std::pow(10.0, x);
    e = {bits, value};
    return value;
}

double positive(double count, double pH, double pK) {
    return count / (powerOfTen(pH - pK) + 1.0);
}

double negative(double count, double pH, double pK) {
    return count / (powerOfTen(pK - pH) + 1.0);
}

constexpr int ERR_PI_NO_CONVERGE = 345;

// Counter of each byte value: A to Z their own, every other byte a spare
// one, so that counting takes no test per residue.
struct LetterSlots {
    uint8_t slot[256] = {};
    constexpr LetterSlots() {
        for (int c = 0; c < 256; ++c) slot[c] = c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c - 'A') : 26;
    }
};
constexpr LetterSlots kLetterSlots;

}  // namespace

double calcIsoelectricPoint(const char* sequence, int jobNumber, int length) {
    int counts[27] = {};
    size_t n = 0;
    if (sequence != nullptr) {
        const size_t limit = length < 0 ? SIZE_MAX : static_cast<size_t>(length);
        while (n < limit && sequence[n] != '\0') ++counts[kLetterSlots.slot[static_cast<unsigned char>(sequence[n++])]];
    }

    double cTermPk = 0.0, nTermPk = 0.0;
    if (n > 0) {
        const char first = sequence[0], last = sequence[n - 1];
        if (isCapital(first)) nTermPk = pKTable[first - 'A'].nTerminal;
        if (isCapital(last)) cTermPk = pKTable[last - 'A'].cTerminal;
    }

    auto count = [&](char c) { return static_cast<double>(counts[c - 'A']); };
    double low = 0.0, high = 14.0;
    for (int i = 0; i < maxIterations; ++i) {
        const double pH = (high - low) * 0.5 + low;
        // Terms are summed in a fixed order so results are reproducible to the bit.
        double charge = 0.0;
        charge -= negative(count('D'), pH, pK_D);
        charge -= negative(count('E'), pH, pK_E);
        charge -= negative(count('C'), pH, pK_C);
        charge -= negative(count('Y'), pH, pK_Y);
        charge -= negative(1.0, pH, cTermPk);
        charge += positive(count('H'), pH, pK_H);
        charge += positive(count('K'), pH, pK_K);
        charge += positive(count('R'), pH, pK_R);
        charge += positive(1.0, pH, nTermPk);
        if (std::fabs(charge) < tolerance) return pH;
        if (charge > 0.0)
            low = pH;
        else
            high = pH;
    }

    std::string start(sequence != nullptr ? sequence : "", n < 19 ? n : 19);
    errorReporter.reportChecked<ERR_PI_NO_CONVERGE>(jobNumber, kLineNoConvergence, "bv_picalc", maxIterations, start);
    return 0.0;
}
