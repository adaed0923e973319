#include "seqfetch/translation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/error_reporter.h"
#include "database/genetic_codes.h"
#include "support/temp_dir.h"
#include "support/reporter_switches.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string decode(const Bytes& stored, int coding, int length) {
    std::vector<char> out(decodedBufferSize(coding, length) + 8, '#');
    const int n = decodeNucleotides(stored.data(), out.data(), coding, length);
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    return std::string(out.data(), static_cast<size_t>(n));
}

// Packs letters into the 4-bit coding: low half-byte first, a zero code ends.
Bytes packNibbles(const std::string& letters) {
    auto code = [](char c) -> unsigned char {
        switch (c) {
        case 'T': return 1;
        case 'C': return 2;
        case 'A': return 3;
        case 'G': return 4;
        default: return 5;
        }
    };
    Bytes out(letters.size() / 2 + 1, 0);
    for (size_t i = 0; i < letters.size(); ++i)
        out[i / 2] |= static_cast<unsigned char>(code(letters[i]) << (i % 2 ? 4 : 0));
    return out;
}

struct DecodeCase {
    const char* name;
    Bytes stored;
    int coding;
    int length;
    const char* expected;
};

TEST(DecodeNucleotides, EveryCodingDecodesItsStoredForm) {
    const DecodeCase cases[] = {
        {"text copied", {'A', 'C', 'G', 0}, 1, 3, "ACG"},
        {"coding 0 like text", {'T', 'T', 0}, 0, -1, "TT"},
        {"text bounded by length, no zero needed", {'A', 'C', 'G', 'T'}, 1, 2, "AC"},
        {"nibbles: low half first, high zero stops", {0x31, 0x02}, 2, -1, "TAC"},
        {"nibbles: low zero ends at once", {0x10}, 2, -1, ""},
        {"nibbles: stored count stops before the end mark", {0x31, 0x42, 0x55}, 2, 3, "TAC"},
        {"nibble codes 5 to 15 read as N", {0x65, 0xF7}, 2, 4, "NNNN"},
        {"2-bit: four per byte, then final count", {0x1B, 0xE4 | 0x03}, 3, 1, "ACGTTGC"},
        {"2-bit: final byte with no bases", {0xFF, 0x00}, 3, 1, "TTTT"},
        {"2-bit: a zero first byte is AAAA", {0x00, 0x40 | 0x01}, 3, 1, "AAAAC"},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(c.stored, c.coding, c.length), c.expected);
    }
}

TEST(DecodeNucleotides, UnknownCodingWritesNothing) {
    const Bytes stored = {'A', 0};
    for (int coding : {-1, 4, 99}) {
        char out[4] = {'#', '#', '#', '#'};
        EXPECT_EQ(decodeNucleotides(stored.data(), out, coding, 1), 0);
        EXPECT_EQ(out[0], '#');
    }
}

TEST(DecodeNucleotides, BufferSizeCoversTheLongestDecoding) {
    // 2-bit: every byte before the final one gives 4 bases, the final one up to 3
    const Bytes full = {0xFF, 0xFF, 0xFF, 0xFF | 0x03};
    EXPECT_EQ(decodedBufferSize(3, 3), 4u * 3 + 3 + 1);
    EXPECT_EQ(decode(full, 3, 3).size(), 15u);
    EXPECT_EQ(decodedBufferSize(2, 10), 11u);
    EXPECT_EQ(decodedBufferSize(1, 10), 11u);
}

TEST(ReverseComplement, ComplementsInReverseOrder) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"ATGGCCTAA", "TTAGGCCAT"},
        {"U", "A"},
        {"ACGTN", "?ACGT"},
        {"a\x01{\xff", "????"},  // lower case and bytes outside A-Z
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const int n = static_cast<int>(std::string(c.in).size());
        std::vector<char> out(static_cast<size_t>(n) + 1, '#');
        EXPECT_EQ(reverseComplement(out.data(), c.in, n), n);
        EXPECT_STREQ(out.data(), c.out);
    }
    char out[2] = {'#', '#'};
    EXPECT_EQ(reverseComplement(out, "ACGT", 0), 0);
    EXPECT_EQ(out[0], '\0');
    out[0] = '#';
    EXPECT_EQ(reverseComplement(out, "ACGT", -3), 0);
    EXPECT_EQ(out[0], '\0');
}

class TranslateFrame : public ::testing::Test {
protected:
    void SetUp() override {
        tables = makeGeneticCodeTables();
        // the built-in code only; no file is read
        std::copy(standardGeneticCode, standardGeneticCode + 64, tables->codonString(1));
    }

    std::string translate(const std::string& text, int frame, int outSize = 256, bool* overflowOut = nullptr,
                          int coding = 1) {
        const Bytes stored = coding == 2 ? packNibbles(text) : Bytes(text.begin(), text.end());
        Bytes terminated = stored;
        if (coding != 2) terminated.push_back(0);
        std::vector<char> out(static_cast<size_t>(std::max(outSize, 1)), '#');
        bool overflow = true;
        const int n = translateFrame(*tables, terminated.data(), frame, 1, coding, out.data(), outSize,
                                     static_cast<int>(text.size()), &overflow);
        if (overflowOut) {
            *overflowOut = overflow;
        } else {
            EXPECT_FALSE(overflow);
        }
        if (n > 0) {
            EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
        }
        return std::string(out.data(), static_cast<size_t>(n));
    }

    std::unique_ptr<GeneticCodeTables> tables;
};

TEST_F(TranslateFrame, SixFramesOfAShortSequence) {
    const struct {
        const char* letters;
        int frame;
        const char* protein;
    } cases[] = {
        {"ATGGCCTAA", 1, "MA@"},
        {"ATGGCCTAA", 2, "WP"},
        {"ATGGCCTAA", 3, "GL"},
        // frames 4 to 6 read the reverse complement TTAGGCCAT from positions 0, 1, 2
        {"ATGGCCTAA", 4, "LGH"},
        {"ATGGCCTAA", 5, "@A"},
        {"ATGGCCTAA", 6, "RP"},
        {"ATGNCCTAA", 1, "MX@"},
        {"ACGTACGT", 1, "TY"},
        {"ACGTACGT", 2, "RT"},
        {"ACGTACGT", 3, "VR"},
        {"AT", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.letters) + " frame " + std::to_string(c.frame));
        EXPECT_EQ(translate(c.letters, c.frame), c.protein);
        EXPECT_EQ(translate(c.letters, c.frame, 256, nullptr, 2), c.protein) << "4-bit coding";
    }
}

TEST_F(TranslateFrame, RejectsBadArgumentsWithoutWriting) {
    const Bytes stored = {'A', 'T', 'G', 0};
    const Bytes empty = {0};
    char out[8] = "#######";
    bool overflow = true;
    for (int frame : {0, 7, -1}) {
        EXPECT_EQ(translateFrame(*tables, stored.data(), frame, 1, 1, out, 8, 3, &overflow), 0);
        EXPECT_FALSE(overflow);
    }
    EXPECT_EQ(translateFrame(*tables, empty.data(), 1, 1, 1, out, 8, 0, &overflow), 0);
    EXPECT_EQ(translateFrame(*tables, stored.data(), 1, 1, 1, nullptr, 8, 3, &overflow), 0);
    EXPECT_EQ(translateFrame(*tables, stored.data(), 1, 50, 1, out, 8, 3, &overflow), 0);
    EXPECT_EQ(translateFrame(*tables, stored.data(), 1, 1, 9, out, 8, 3, &overflow), 0);
    EXPECT_STREQ(out, "#######");
}

TEST_F(TranslateFrame, OutputBufferOneLargerThanTheCodonsFits) {
    bool overflow = true;
    EXPECT_EQ(translate("ATGGCCTAA", 1, 4, &overflow), "MA@");
    EXPECT_FALSE(overflow);
}

TEST_F(TranslateFrame, OutputBufferOfExactlyTheCodonsOverflows) {
    tarvex_test::ReporterSwitches saved;
    errorReporter.toErrorLog = errorReporter.toPage = errorReporter.toMail = false;
    errorReporter.toMonitorLog = errorReporter.toIpcLog = false;
    for (int size : {3, 1}) {
        std::vector<char> out(static_cast<size_t>(size), '#');
        const Bytes stored = {'A', 'T', 'G', 'G', 'C', 'C', 'T', 'A', 'A', 0};
        bool overflow = false;
        EXPECT_EQ(translateFrame(*tables, stored.data(), 1, 1, 1, out.data(), size, 9, &overflow), 0);
        EXPECT_TRUE(overflow);
        EXPECT_EQ(out[0], '\0');
        EXPECT_EQ(errorReporter.getLastNumber(), 104);
        EXPECT_EQ(errorReporter.getLastJob(), -1);
    }
}

TEST_F(TranslateFrame, TwoBitCodingStartingWithAaaa) {
    // AAAA, then a final byte holding A T G and the count 3: the zero first
    // byte is data in this coding, not an empty sequence
    const Bytes aaaaAtg = {0x00, static_cast<unsigned char>((0 << 6) | (3 << 4) | (2 << 2) | 3)};
    char out[8];
    bool overflow = true;
    const int n = translateFrame(*tables, aaaaAtg.data(), 2, 1, 3, out, 8, 1, &overflow);
    // letters AAAAATG, frame 2 reads AAA ATG
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "KM");
    EXPECT_FALSE(overflow);
}

// All six frames of random sequences against seqkit's translation
// (frames 4 to 6 are its -1, -2, -3; its stop '*' is our '@').
TEST_F(TranslateFrame, SixFramesAgreeWithSeqkit) {
    if (std::system("command -v seqkit >/dev/null 2>&1") != 0) GTEST_SKIP() << "seqkit is not installed";
    tarvex_test::TempDir dir("frames");
    std::mt19937 random(424242);
    std::ostringstream fasta;
    std::vector<std::string> sequences;
    for (int i = 0; i < 300; ++i) {
        std::string s(3 + random() % 300, 'A');
        for (char& c : s) c = "ACGT"[random() % 4];
        sequences.push_back(s);
        fasta << ">s" << i << "\n" << s << "\n";
    }
    tarvex_test::writeFile(dir.file("in.fa"), fasta.str());
    const std::string command = "seqkit translate -f 6 -F -w 0 " + dir.file("in.fa") + " > " + dir.file("out.fa") +
                                " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

    std::istringstream out(tarvex_test::readFile(dir.file("out.fa")));
    std::string header, protein;
    size_t compared = 0;
    while (std::getline(out, header) && std::getline(out, protein)) {
        // header: ">s12_frame=-2"
        const size_t cut = header.find("_frame=");
        ASSERT_NE(cut, std::string::npos) << header;
        const size_t index = std::stoul(header.substr(2, cut - 2));
        const int seqkitFrame = std::stoi(header.substr(cut + 7));
        const int frame = seqkitFrame > 0 ? seqkitFrame : 3 - seqkitFrame;
        ASSERT_LT(index, sequences.size());
        std::replace(protein.begin(), protein.end(), '*', '@');
        EXPECT_EQ(translate(sequences[index], frame), protein) << header;
        EXPECT_EQ(translate(sequences[index], frame, 512, nullptr, 2), protein) << header << " 4-bit";
        ++compared;
    }
    EXPECT_GE(compared, 6u * 250);
}

}  // namespace
