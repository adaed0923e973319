#include "seqfetch/translation.h"

#include <string>
#include <vector>

#include "common/error_reporter.h"
#include "database/genetic_codes.h"

namespace {

// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineTooLong = 295;  // M104

// Half-byte codes 6 to 15 never occur in a well-formed file; they read as N.
const char nibbleLetters[16] = {0, 'T', 'C', 'A', 'G', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N'};
const char pairLetters[4] = {'A', 'C', 'G', 'T'};

char complementOf(char c) {
    switch (c) {
    case 'A': return 'T';
    case 'C': return 'G';
    case 'G': return 'C';
    case 'T': return 'A';
    case 'U': return 'A';
    default: return '?';
    }
}

int baseIndex(char c) {
    switch (c) {
    case 'T': return 0;
    case 'C': return 1;
    case 'A': return 2;
    case 'G': return 3;
    default: return -1;
    }
}

constexpr int ERR_SEQ_TOO_LONG = 104;

}  // namespace

size_t decodedBufferSize(int coding, int length) {
    if (length < 0) length = 0;
    const size_t n = static_cast<size_t>(length);
    switch (coding) {
    case 0:
    case 1:
    case 2: return n + 1;
    case 3: return 4 * n + 3 + 1;
    default: return 1;
    }
}

int decodeNucleotides(const unsigned char* stored, char* out, int coding, int length) {
    if (coding < 0 || coding > 3 || stored == nullptr || out == nullptr) return 0;
    const size_t limit = length < 0 ? SIZE_MAX : static_cast<size_t>(length);
    size_t n = 0;
    switch (coding) {
    case 0:
    case 1:
        while (n < limit && stored[n] != 0) {
            out[n] = static_cast<char>(stored[n]);
            ++n;
        }
        break;
    case 2:
        for (size_t i = 0; n < limit; ++i) {
            const unsigned low = stored[i] & 0xF, high = stored[i] >> 4;
            if (low == 0) break;
            out[n++] = nibbleLetters[low];
            if (high == 0 || n >= limit) break;
            out[n++] = nibbleLetters[high];
        }
        break;
    case 3: {
        if (length < 0) break;
        const size_t final = static_cast<size_t>(length);
        for (size_t i = 0; i < final; ++i)
            for (int shift = 6; shift >= 0; shift -= 2) out[n++] = pairLetters[(stored[i] >> shift) & 3];
        const unsigned count = stored[final] & 3;
        for (unsigned k = 0; k < count; ++k) out[n++] = pairLetters[(stored[final] >> (6 - 2 * k)) & 3];
        break;
    }
    }
    out[n] = '\0';
    return static_cast<int>(n);
}

int reverseComplement(char* out, const char* letters, int n) {
    if (out == nullptr) return 0;
    if (n <= 0 || letters == nullptr) {
        out[0] = '\0';
        return 0;
    }
    for (int k = 0; k < n; ++k) out[k] = complementOf(letters[n - 1 - k]);
    out[n] = '\0';
    return n;
}

int translateFrame(const GeneticCodeTables& tables, const unsigned char* stored, int frame, int tableId,
                   int coding, char* out, int outSize, int storedLength, bool* overflow) {
    if (overflow != nullptr) *overflow = false;
    if (frame < 1 || frame > 6 || stored == nullptr || out == nullptr || outSize <= 0) return 0;
    // A coding-3 sequence may start with the byte 0 (AAAA); its end is its count.
    if (coding != 3 && stored[0] == 0) return 0;
    if (!GeneticCodeTables::validId(tableId)) return 0;

    std::vector<char> decoded(decodedBufferSize(coding, storedLength));
    const int n = decodeNucleotides(stored, decoded.data(), coding, storedLength);
    if (n <= 0) return 0;

    const char* letters = decoded.data();
    int start = frame - 1;
    std::vector<char> reverse;
    if (frame >= 4) {
        reverse.resize(static_cast<size_t>(n) + 1);
        reverseComplement(reverse.data(), letters, n);
        letters = reverse.data();
        start = frame - 4;
    }

    const char* codons = tables.codonString(tableId);
    int written = 0;
    for (int pos = start; pos < n - 2; pos += 3) {
        if (written >= outSize) break;
        const int b1 = baseIndex(letters[pos]), b2 = baseIndex(letters[pos + 1]), b3 = baseIndex(letters[pos + 2]);
        out[written++] = (b1 < 0 || b2 < 0 || b3 < 0) ? 'X' : codons[16 * b1 + 4 * b2 + b3];
    }
    if (written < outSize) {
        out[written] = '\0';
        return written;
    }

    if (overflow != nullptr) *overflow = true;
    // The stored bytes are packed; the log gets the sequence's first letters.
    const std::string head(decoded.data(), static_cast<size_t>(n < 49 ? n : 49));
    errorReporter.reportChecked<ERR_SEQ_TOO_LONG>(-1, kLineTooLong, "translation", head);
    out[0] = '\0';
    return 0;
}
