// bv-seqfetch POST of thousands of accessions in random order over a
// database whose files are larger than one read-ahead window: every entry is
// read at its own offset, in file mode and through the monitor's mappings,
// and must come back with its own title piece and sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "e2e/seqfetch_fixture.h"
#include "support/database_writer.h"

namespace {

using seqfetch_e2e::Installation;
using tarvex_test::DatabaseWriter;
using tarvex_test::RunResult;

constexpr int kEntries = 30000;

std::string name(const char* prefix, int i) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%05d", prefix, i);
    return text;
}

// Entry i: accession ACCnnnnn, every third one also ALTnnnnn in a second
// title piece; the residues differ from entry to entry.
struct Entry {
    std::string title;
    std::string residues;
};

std::vector<Entry> makeEntries() {
    static const char kResidues[] = "ACDEFGHIKLMNPQRSTVWY";
    std::mt19937 random(7);
    std::vector<Entry> entries(kEntries);
    for (int i = 0; i < kEntries; ++i) {
        Entry& e = entries[static_cast<size_t>(i)];
        e.title = ">" + name("ACC", i) + " protein number " + std::to_string(i);
        if (i % 3 == 0) e.title += "\x01" + name("ALT", i) + " alias of " + std::to_string(i);
        const size_t length = 20 + random() % 180;
        for (size_t r = 0; r < length; ++r) e.residues += kResidues[random() % 20];
    }
    return entries;
}

// The text of the first <tag> element from pos on, and pos after it.
std::string element(const std::string& xml, const std::string& tag, size_t& pos) {
    const std::string open = "<bvsq:" + tag + ">", close = "</bvsq:" + tag + ">";
    const size_t start = xml.find(open, pos);
    if (start == std::string::npos) return "?";
    const size_t end = xml.find(close, start);
    if (end == std::string::npos) return "?";
    pos = end + close.size();
    return xml.substr(start + open.size(), end - start - open.size());
}

class SeqfetchPostMany : public ::testing::TestWithParam<bool> {};

TEST_P(SeqfetchPostMany, RandomOrderFindsEveryEntryWithItsTitleAndSequence) {
    const std::vector<Entry> entries = makeEntries();
    Installation inst;
    DatabaseWriter db("SwissProt", inst.install().file("sequence/SwissProt"), "SwissProt_1.fasta");
    std::string fasta;
    for (const Entry& e : entries) fasta += e.title + "\n" + e.residues + "\n";
    db.setFasta(fasta);
    ASSERT_TRUE(db.write()) << db.error();
    for (int kind : {0, 1}) ASSERT_GT(std::filesystem::file_size(db.path(kind)), 1u << 20);
    db.fillControlEntry(inst.control(), 0, GetParam());
    inst.writeControlFile();
    if (GetParam()) {
        ASSERT_TRUE(db.registerMapped(inst.monitor(), tarvex_test::FakeMonitor::Owner::PidZero));
    }

    // 4,000 entries in random order, by either accession, some twice, and
    // accessions that no entry holds in between.
    std::mt19937 random(11);
    std::vector<int> picks(kEntries);
    for (int i = 0; i < kEntries; ++i) picks[static_cast<size_t>(i)] = i;
    std::shuffle(picks.begin(), picks.end(), random);
    picks.resize(4000);
    picks.insert(picks.end(), picks.begin(), picks.begin() + 50);
    std::vector<std::string> requested;
    std::string field;
    for (size_t n = 0; n < picks.size(); ++n) {
        const int i = picks[n];
        const std::string accession = i % 3 == 0 && n % 2 == 0 ? name("ALT", i) : name("ACC", i);
        requested.push_back(accession);
        field += "\"" + accession + "\" ";
        if (n % 500 == 0) field += "\"MISSING" + std::to_string(n) + "\" ";
    }
    const std::string body =
        "--XX\r\nContent-Disposition: form-data; name=\"DB\"\r\n\r\nSwissProt\r\n"
        "--XX\r\nContent-Disposition: form-data; name=\"SHOWTITLE\"\r\n\r\n1\r\n"
        "--XX\r\nContent-Disposition: form-data; name=\"SHOWSEQUENCE\"\r\n\r\n1\r\n"
        "--XX\r\nContent-Disposition: form-data; name=\"ACCESSION\"\r\n\r\n" + field + "\r\n--XX--\r\n";
    const RunResult r = inst.post(body);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0);
    const std::string& xml = r.standardOutput;

    size_t errors = 0;
    for (size_t p = xml.find("<bvsq:error code=\"461\">"); p != std::string::npos;
         p = xml.find("<bvsq:error code=\"461\">", p + 1))
        ++errors;
    EXPECT_EQ(errors, 9u);

    size_t pos = xml.find("<bvsq:all_proteins");
    ASSERT_NE(pos, std::string::npos);
    for (size_t n = 0; n < picks.size(); ++n) {
        const Entry& e = entries[static_cast<size_t>(picks[n])];
        const std::string& accession = requested[n];
        // The title piece that holds the accession; the first keeps its ">".
        const size_t cut = e.title.find('\x01');
        const std::string piece = accession.starts_with("ALT") ? e.title.substr(cut + 1) : e.title.substr(0, cut);
        ASSERT_EQ(element(xml, "accession", pos), accession) << "protein " << n;
        ASSERT_EQ(element(xml, "prot_title", pos), "&gt;" + piece.substr(piece[0] == '>' ? 1 : 0))
            << accession;
        ASSERT_EQ(element(xml, "prot_sequence", pos), e.residues) << accession;
    }
    EXPECT_EQ(xml.find("<bvsq:protein>", pos), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(FileAndMapped, SeqfetchPostMany, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Mapped" : "FileReads"; });

}  // namespace
