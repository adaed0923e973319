#include "database/seq_iter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/error_reporter.h"
#include "database/accession.h"
#include "database/taxonomy_rules.h"
#include "support/control_file_writer.h"
#include "support/database_writer.h"
#include "support/fake_monitor.h"
#include "support/fixture_install.h"
#include "support/temp_dir.h"

using namespace brenvik;
using tarvex_test::ControlFileWriter;
using tarvex_test::DatabaseWriter;
using tarvex_test::FakeMonitor;
using tarvex_test::FixtureInstall;
using tarvex_test::WorkingFolder;

namespace {

// What the programs' look-ups read while they walk.
constexpr uint32_t kLookUp = ITER_ACCESSIONS | ITER_PLAIN_COUNTER;
constexpr uint32_t kEverything = kLookUp | ITER_SEQUENCE | ITER_TAXIDS | ITER_LENGTH | ITER_TITLE;

const char kProteins[] =
    ">P1 first protein\x01Q1 second name\n"
    "MKVL\n"
    ">P2 middle\n"
    "MKLLAAA\n"
    "WWW\n"
    ">P3 last\x01HID hidden one\n"
    "MA\n";

// Reports land in the fixture's error log; none ends the test process.
class IteratorBase : public ::testing::Test {
protected:
    void SetUp() override {
        errorReporter.exitOnFatal = false;
        errorReporter.toPage = false;
        errorReporter.toMail = false;
    }
    void TearDown() override {
        iterator.close();
        errorReporter.exitOnFatal = true;
        errorReporter.toPage = true;
        errorReporter.toMail = true;
    }

    DatabaseWriter& proteins() {
        db = std::make_unique<DatabaseWriter>("TestDB", install.file("sequence/TestDB"));
        db->setFasta(kProteins).setTaxonomySection(1);
        db->setTaxIds(0, {9606}).setTaxIds(1, {10090, 10116}).setTaxIds(2, {});
        db->setAccessionFlag(2, "HID", 3);
        return *db;
    }

    // Writes the set and opens the iterator on it, in the mode asked for.
    void openDb(bool mapped, uint32_t flags = kLookUp, const TAXONOMY_RULES* rules = nullptr, uint16_t frameMask = 0) {
        ASSERT_TRUE(db->write()) << db->error();
        openWritten(mapped, flags, rules, frameMask);
    }
    // Opens the files as they lie now.
    void openWritten(bool mapped, uint32_t flags = kLookUp, const TAXONOMY_RULES* rules = nullptr,
                     uint16_t frameMask = 0) {
        entry = control.addEntry(db->name());
        db->fillControlEntry(control, entry, mapped);
        if (mapped) {
            ASSERT_TRUE(db->registerMapped(monitor, FakeMonitor::Owner::PidZero));
        }
        SequenceIteratorOptions options = walk(flags);
        options.rules = rules;
        options.frameMask = frameMask;
        openOn(options);
    }
    // The fixture's walk: job 7, the fixture's counter from -1.
    SequenceIteratorOptions walk(uint32_t flags = kLookUp) {
        SequenceIteratorOptions options;
        options.flags = flags;
        options.jobNumber = 7;
        options.counter = &counter;
        return options;
    }
    void openOn(const SequenceIteratorOptions& options) {
        opened = options.flags;
        counter = -1;
        iterator.open(&control.half(entry, 0), options);
    }

    void truncateFile(int kind, int64_t newSize) {
        std::filesystem::resize_file(db->path(kind), static_cast<uintmax_t>(newSize));
    }

    std::string errorLog() const { return install.read("logs/errorlog.txt"); }

    FixtureInstall install{"iter"};
    WorkingFolder cwd{install.cgiDir()};
    std::unique_ptr<DatabaseWriter> db;
    ControlFileWriter control;
    FakeMonitor monitor;
    int entry = 0;
    int32_t counter = -1;
    uint32_t opened = kLookUp;  // the walk's flags; what readEntry reads here too
    CSequenceIterator iterator;
};

// Every behaviour below must be the same through the shared mappings and
// through file reads.
class IteratorModes : public IteratorBase, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Modes, IteratorModes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Mapped" : "File"; });

TEST_P(IteratorModes, OpenPositionsOnFirstEntryInTheModeTheRecordSays) {
    proteins();
    openDb(GetParam());
    EXPECT_EQ(iterator.mode(), GetParam() ? CSequenceIterator::MODE_MAPPED : CSequenceIterator::MODE_FILE);
    EXPECT_EQ(iterator.currentIndex(), 0);
    EXPECT_FALSE(iterator.isAtEnd());
    // Nothing is shown before a read call has checked it.
    std::vector<std::string> accessions;
    getEntryAccessions(&iterator, accessions);
    EXPECT_EQ(accessions, std::vector<std::string>{});
    ASSERT_EQ(iterator.readEntry(-1, 0, nullptr, opened), ReadOutcome::Read);
    getEntryAccessions(&iterator, accessions);
    EXPECT_EQ(accessions, (std::vector<std::string>{"P1", "Q1"}));
    // Moving on leaves nothing to show until the next read.
    ASSERT_TRUE(iterator.next(true));
    getEntryAccessions(&iterator, accessions);
    EXPECT_EQ(accessions, std::vector<std::string>{});

    // What a read hands out is what that call asks for, whatever the walk
    // reads (a mapped walk points at every block).
    iterator.close();
    openOn(walk(ITER_PLAIN_COUNTER));
    ASSERT_EQ(iterator.readEntry(-1, 0, nullptr, ITER_PLAIN_COUNTER), ReadOutcome::Read);
    getEntryAccessions(&iterator, accessions);
    EXPECT_EQ(accessions, std::vector<std::string>{});
    ASSERT_EQ(iterator.readEntry(-1, 0, nullptr, ITER_ACCESSIONS), ReadOutcome::Read);
    getEntryAccessions(&iterator, accessions);
    EXPECT_EQ(accessions, (std::vector<std::string>{"P1", "Q1"}));
}

TEST_P(IteratorModes, FindAccessionWithAndWithoutAccessionIndex) {
    struct Case {
        const char* accession;
        int32_t index;
    };
    const Case cases[] = {{"P1", 0}, {"Q1", 0}, {"P2", 1}, {"P3", 2}, {"HID", -1}, {"NOPE", -1}, {"P", -1},
                          {"P22", -1}};
    for (bool cache : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.accession) + (cache ? " with cache" : " by scan"));
            control = ControlFileWriter();
            proteins().setAccessionIndex(cache);
            if (!cache) std::filesystem::remove(db->path(DB_FILE_ACCINDEX));
            monitor.stop();
            openDb(GetParam());
            const bool found = iterator.findAccession(c.accession) == AccessionSearch::Found;
            EXPECT_EQ(found, c.index >= 0);
            if (found) {
                EXPECT_EQ(iterator.currentIndex(), c.index);
                EXPECT_EQ(iterator.readEntry(-1, 0, nullptr, kLookUp | ITER_TITLE), ReadOutcome::Read);
                EXPECT_EQ(iterator.entry().title, db->entries()[c.index].titleLine);
            }
            iterator.close();
        }
    }
}

// The scan must find a record only at a record's start, although the text
// and its ending zero also lie at the end of longer accessions and among the
// bytes of sequence indexes (entry 48 is stored as "0\0\0\0", 49 as "1\0\0\0"),
// and must pass over hidden records to a later visible one.
TEST_P(IteratorModes, ScanFindsAccessionsOnlyAtTheStartOfARecord) {
    std::string fasta;
    for (int i = 0; i < 60; ++i) {
        fasta += ">E" + std::to_string(i);
        if (i == 0) fasta += " x\x01XE1 y\x01ZE z";
        if (i == 52 || i == 55) fasta += " x\x01" "1 y";
        if (i == 57) fasta += " x\x01ZE z";
        fasta += " entry\nMKV\n";
    }
    struct Case {
        const char* accession;
        int32_t index;
    };
    const Case cases[] = {{"1", 55},  {"0", -1},  {"E1", 1},  {"E11", 11}, {"ZE", 57},
                          {"XE1", 0}, {"E59", 59}, {"E", -1}, {"E60", -1}, {"", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.accession + "\"");
        control = ControlFileWriter();
        monitor.stop();
        db = std::make_unique<DatabaseWriter>("TestDB", install.file("sequence/TestDB"));
        db->setFasta(fasta).setAccessionIndex(false);
        db->setAccessionFlag(52, "1", 3).setAccessionFlag(0, "ZE", 3);
        openDb(GetParam());
        const bool found = iterator.findAccession(c.accession) == AccessionSearch::Found;
        EXPECT_EQ(found, c.index >= 0);
        if (found) {
            EXPECT_EQ(iterator.currentIndex(), c.index);
        }
        iterator.close();
    }
}

// An accession file of several pieces of the search's reading: records of
// twelve bytes, so that records 5461 and 10922 lie across the ends of the
// first pieces, and at the end a record longer than a piece followed by a
// short one.
TEST_P(IteratorModes, ScanOverAnAccessionFileOfManyPieces) {
    std::string fasta;
    char title[32];
    for (int i = 0; i < 11000; ++i) {
        std::snprintf(title, sizeof title, ">A%05d e\nMK\n", i);
        fasta += title;
    }
    const std::string longAccession(70000, 'L');
    db = std::make_unique<DatabaseWriter>("TestDB", install.file("sequence/TestDB"));
    db->setFasta(fasta).setAccessionIndex(false);
    db->addAccession(10999, longAccession, 0).addAccession(10999, "TAIL", 0);
    openDb(GetParam());
    struct Case {
        std::string accession;
        int32_t index;
    };
    std::vector<Case> cases = {{"A00000", 0},         {"TAIL", 10999},   {longAccession, 10999},
                               {"A11000", -1},        {"A0000", -1},     {"00000", -1},
                               {"A10999", 10999},     {"L", -1},         {longAccession + "L", -1}};
    for (int i : {5459, 5460, 5461, 5462, 5463, 10920, 10921, 10922, 10923, 10924}) {
        std::snprintf(title, sizeof title, "A%05d", i);
        cases.push_back({title, i});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.accession.substr(0, 12));
        // File mode searches from the current entry on: start each at the first.
        iterator.close();
        openOn(walk());
        const bool found = iterator.findAccession(c.accession) == AccessionSearch::Found;
        EXPECT_EQ(found, c.index >= 0);
        if (found) {
            EXPECT_EQ(iterator.currentIndex(), c.index);
        }
    }
}

TEST_P(IteratorModes, ReadEntryGivesTitleSequenceLengthAndTaxIds) {
    proteins();
    openDb(GetParam());
    const std::vector<std::vector<int32_t>> ids = {{9606}, {10090, 10116}, {}};
    for (int32_t i = 2; i >= 0; --i) {
        SCOPED_TRACE(i);
        constexpr uint32_t kAll = kLookUp | ITER_TITLE | ITER_SEQUENCE | ITER_LENGTH | ITER_TAXIDS;
        EXPECT_EQ(iterator.readEntry(i, 0, nullptr, kAll), ReadOutcome::Read);
        const auto& e = db->entries()[static_cast<size_t>(i)];
        EXPECT_EQ(iterator.currentIndex(), i);
        EXPECT_EQ(iterator.entry().title, e.titleLine);
        ASSERT_NE(iterator.entry().sequence, nullptr);
        const SequenceEntry read = iterator.entry();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(read.sequence), read.storedLength), e.residues);
        EXPECT_EQ(read.sequence[read.storedLength], 0);
        EXPECT_EQ(iterator.entry().length, static_cast<int32_t>(e.residues.size()));
        EXPECT_EQ(iterator.coding(), CODING_RESIDUES);
        EXPECT_EQ(iterator.entry().taxIds, ids[static_cast<size_t>(i)]);
    }
}

TEST_P(IteratorModes, DefaultTaxonomyIdWithoutTaxonomyFiles) {
    for (bool fixed : {false, true}) {
        SCOPED_TRACE(fixed);
        control = ControlFileWriter();
        monitor.stop();
        proteins().setTaxonomySection(0);
        TAXONOMY_RULES rules;
        rules.taxIdGiven = fixed;
        rules.taxId = 562;
        openDb(GetParam(), kLookUp | ITER_TAXIDS, &rules);
        EXPECT_FALSE(std::filesystem::exists(db->path(DB_FILE_TAXIDS)));
        ASSERT_EQ(iterator.findAccession("P2"), AccessionSearch::Found);
        EXPECT_EQ(iterator.readEntry(-1, 0, nullptr, opened), ReadOutcome::Read);
        EXPECT_EQ(iterator.entry().taxIds, std::vector<int32_t>{fixed ? 562 : 1});
        iterator.close();
    }
}

TEST_P(IteratorModes, NucleicAcidSequenceAndFrameLengths) {
    db = std::make_unique<DatabaseWriter>("NA", install.file("sequence/NA"));
    db->setFasta(">N1 ten bases\nACGTACGTAC\n>N2 five\nTCAGN\n").setNucleic(true);
    openDb(GetParam(), kLookUp | ITER_SEQUENCE | ITER_LENGTH);
    EXPECT_EQ(iterator.coding(), CODING_FOUR_BIT);
    const int32_t expected[7] = {0, 3, 3, 2, 3, 3, 2};
    for (int frame = 1; frame <= 6; ++frame) {
        EXPECT_EQ(iterator.readEntry(0, frame, nullptr, opened), ReadOutcome::Read);
        EXPECT_EQ(iterator.entry().length, expected[frame]) << "frame " << frame;
    }
    EXPECT_EQ(iterator.readEntry(1, 1, nullptr, opened), ReadOutcome::Read);
    ASSERT_NE(iterator.entry().sequence, nullptr);
    ASSERT_EQ(iterator.entry().sequenceBytes, 3u);
    // T C | A G | N end: low half first.
    EXPECT_EQ(iterator.entry().sequence[0], 0x21);
    EXPECT_EQ(iterator.entry().sequence[1], 0x43);
    EXPECT_EQ(iterator.entry().sequence[2], 0x05);
}

TEST_P(IteratorModes, FrameMaskVisitsOnlyEnabledFrames) {
    db = std::make_unique<DatabaseWriter>("NA", install.file("sequence/NA"));
    db->setFasta(">N1\nACGTACGTAC\n>N2\nACGTA\n").setNucleic(true);
    openDb(GetParam(), kLookUp | ITER_SEQUENCE | ITER_LENGTH, nullptr, 5);
    std::vector<std::pair<int32_t, int32_t>> visits = {{iterator.currentIndex(), iterator.frame()}};
    while (iterator.nextFrame()) visits.emplace_back(iterator.currentIndex(), iterator.frame());
    EXPECT_EQ(visits, (std::vector<std::pair<int32_t, int32_t>>{{0, 1}, {0, 3}, {1, 1}, {1, 3}}));
    EXPECT_EQ(iterator.visited(), 4);
    EXPECT_EQ(iterator.totalLength(), 3 + 2 + 1 + 1);
}

// A marker that records what it is told and reports "all found" after a limit.
class RecordingMarker : public AccessionMarker {
public:
    explicit RecordingMarker(size_t limit) : limit_(limit) {}
    bool markAccessionFound(std::string_view accession, int32_t index) override {
        calls.emplace_back(std::string(accession), index);
        return calls.size() < limit_;
    }
    std::vector<std::pair<std::string, int32_t>> calls;

private:
    size_t limit_;
};

TEST_P(IteratorModes, MarkFoundAccessionsPassesEveryVisibleAccessionAndStopsWhenTold) {
    proteins().addAccession(1, "P1").addAccession(2, "DUP").addAccession(2, "DUP");
    openDb(GetParam());
    using Calls = std::vector<std::pair<std::string, int32_t>>;
    const Calls all = {{"P1", 0}, {"Q1", 0}, {"P2", 1}, {"P1", 1}, {"P3", 2}, {"DUP", 2}, {"DUP", 2}};
    RecordingMarker everything(100);
    EXPECT_EQ(iterator.markFoundAccessions(everything), ReadOutcome::Read);
    EXPECT_EQ(everything.calls, all);

    iterator.close();
    control = ControlFileWriter();
    monitor.stop();
    openDb(GetParam());
    RecordingMarker three(3);
    EXPECT_EQ(iterator.markFoundAccessions(three), ReadOutcome::Read);
    EXPECT_EQ(three.calls, Calls(all.begin(), all.begin() + 3));
}

// Models the POST request's bookkeeping: accessions in request order,
// duplicates allowed; a hit records the entry for every request position;
// "stop" once every distinct accession is found.
class RequestMarker : public AccessionMarker {
public:
    explicit RequestMarker(std::vector<std::string> requested) : requested_(std::move(requested)) {
        found.assign(requested_.size(), -1);
        for (const std::string& a : requested_) distinct_.emplace(a, false);
    }
    bool markAccessionFound(std::string_view accession, int32_t index) override {
        ++calls;
        auto it = distinct_.find(std::string(accession));
        if (it == distinct_.end()) return true;
        if (!it->second) ++foundCount_;
        it->second = true;
        for (size_t i = 0; i < requested_.size(); ++i)
            if (requested_[i] == accession) found[i] = index;
        return foundCount_ < distinct_.size();
    }
    std::vector<int32_t> found;
    size_t calls = 0;

private:
    std::vector<std::string> requested_;
    std::map<std::string, bool> distinct_;
    size_t foundCount_ = 0;
};

// Large enough that a file-mode scan runs through several read-ahead windows
// of the accession and index files.
TEST_P(IteratorModes, MarkFoundAccessionsOverManyRequestedAccessions) {
    constexpr int kEntries = 40000;
    std::string fasta;
    for (int i = 0; i < kEntries; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "ACC%06d", i);
        fasta += std::string(">") + name + "\x01" + name + ".1\nMK\n";
    }
    db = std::make_unique<DatabaseWriter>("Big", install.file("sequence/Big"));
    db->setFasta(fasta).setAccessionIndex(false);
    db->addAccession(5, "SHARED").addAccession(30000, "SHARED").addAccession(7, "HIDDEN", 3);
    const size_t records = 2 * kEntries + 3;
    struct Case {
        std::vector<std::string> requested;
        std::vector<int32_t> found;
        bool stopsEarly;
    };
    const Case cases[] = {
        {{"ACC039990", "ACC000010", "ACC020000.1", "ACC020000.1", "SHARED", "ACC000010"},
         {39990, 10, 20000, 20000, 30000, 10},
         true},
        {{"ACC000001", "HIDDEN", "MISSING", "ACC039999.1", "ACC000001"}, {1, -1, -1, 39999, 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested.front());
        control = ControlFileWriter();
        monitor.stop();
        openDb(GetParam());
        RequestMarker marker(c.requested);
        EXPECT_EQ(iterator.markFoundAccessions(marker), ReadOutcome::Read);
        EXPECT_EQ(marker.found, c.found);
        if (c.stopsEarly) {
            EXPECT_LT(marker.calls, records - 10);
        } else {
            EXPECT_EQ(marker.calls, records - 1);  // every record but the hidden one
        }
        iterator.close();
    }
}

TEST_P(IteratorModes, DamagedAccessionIndexFallsBackToTheScan) {
    for (const char* damage : {"garbage", "truncated"}) {
        SCOPED_TRACE(damage);
        control = ControlFileWriter();
        monitor.stop();
        proteins();
        ASSERT_TRUE(db->write());
        const std::string cache = db->path(DB_FILE_ACCINDEX);
        if (std::string(damage) == "garbage") {
            std::ofstream(cache, std::ios::binary | std::ios::trunc) << std::string(5000, '\xff');
        } else {
            std::filesystem::resize_file(cache, std::filesystem::file_size(cache) / 2);
        }
        entry = control.addEntry(db->name());
        db->fillControlEntry(control, entry, GetParam());
        if (GetParam()) {
            ASSERT_TRUE(db->registerMapped(monitor, FakeMonitor::Owner::PidZero));
        }
        openOn(walk());
        ASSERT_EQ(iterator.findAccession("P3"), AccessionSearch::Found);
        EXPECT_EQ(iterator.currentIndex(), 2);
        iterator.close();
    }
}

TEST_P(IteratorModes, LongTitleIsReadWhole) {
    const std::string title = ">LONG " + std::string(700, 'x') + "\x01SECOND " + std::string(900, 'y');
    db = std::make_unique<DatabaseWriter>("Titles", install.file("sequence/Titles"));
    db->setFasta(">SHORT one\nMK\n" + title + "\nMKV\n>AFTER\nM\n");
    for (const bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "read ahead" : "read where it lies");
        openDb(GetParam(), kLookUp | ITER_TITLE);
        if (ahead) iterator.readTitlesAhead({1, 2});
        ASSERT_EQ(iterator.findAccession("SECOND"), AccessionSearch::Found);
        EXPECT_EQ(iterator.readEntry(-1, 0, nullptr, opened), ReadOutcome::Read);
        EXPECT_EQ(iterator.entry().title, title);
        EXPECT_EQ(iterator.readEntry(2, 0, nullptr, opened), ReadOutcome::Read);
        EXPECT_EQ(iterator.entry().title, ">AFTER");
        iterator.close();
    }
}

// The title is the line at the entry's title offset. Blank lines and lines
// that begin with "#" or ";" are passed over, but only when the whole line
// fits one 511-byte piece; CR, LF and the end of the file end the line. The
// same holds for titles read ahead (an entry asked for twice, a title past
// the end of the file).
TEST_P(IteratorModes, TitleLineAtItsOffset) {
    const std::string longComment = "#" + std::string(600, 'c');
    const std::string head = longComment + "\n\n#c\r\n;x\n";
    const std::string fasta = head + ">A one\r\nMK\n>B two\nMKV\n>E\nM\n>F\nM\n>G\nM\n>D four";
    db = std::make_unique<DatabaseWriter>("Titles", install.file("sequence/Titles"));
    db->setFasta(fasta);
    struct Case {
        uint64_t offset;
        std::string title;
    };
    const Case cases[] = {
        {0, longComment},                    // too long to be passed over
        {longComment.size() + 1, ">A one"},  // blank, comment with CR LF, comment
        {head.size() + 3, "one"},            // from the middle of a line
        {fasta.size() + 100, ""},
        {fasta.size(), ""},
        // The last entry's title lies in the file: one past it would be a
        // FASTA file cut short.
        {fasta.size() - 7, ">D four"},  // the end of the file ends it
    };
    ASSERT_EQ(db->entries().size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) db->entries()[i].titleOffset = cases[i].offset;
    for (const bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "read ahead" : "read where it lies");
        openDb(GetParam(), kLookUp | ITER_TITLE);
        const std::vector<int32_t> order = {1, 0, 2, 3, 1, 1, 4, 5};
        if (ahead) iterator.readTitlesAhead(order);
        for (const int32_t i : order) {
            EXPECT_EQ(iterator.readEntry(i, 0, nullptr, opened), ReadOutcome::Read);
            EXPECT_EQ(iterator.entry().title, cases[i].title) << i;
        }
        iterator.close();
    }
}

TEST_P(IteratorModes, StaleAccessionIndexNeverGivesAnotherEntry) {
    struct Case {
        const char* accession;
        int32_t cached;
        int32_t expected;
    };
    const Case cases[] = {
        {"P3", 0, 2},     // points at the wrong entry
        {"HID", 2, -1},   // points at a hidden record
        {"P2", 99, 1},    // beyond the database
        {"P1", -5, 0},    // negative (stored as a large number)
        {"DUP", 2, 2},    // valid: taken without a scan, which would stop at entry 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.accession);
        control = ControlFileWriter();
        monitor.stop();
        proteins().addAccession(0, "DUP").addAccession(2, "DUP").setCacheIndex(c.accession, c.cached);
        openDb(GetParam());
        const bool found = iterator.findAccession(c.accession) == AccessionSearch::Found;
        EXPECT_EQ(found, c.expected >= 0);
        if (found) {
            EXPECT_EQ(iterator.currentIndex(), c.expected);
        }
        iterator.close();
    }
}

TEST_P(IteratorModes, ReferenceTextEndsWhereTheRuleSays) {
    const std::string reference =
        "ID   P1\nAC   P1;\nDE   one\n//\n"
        "ID   P2\nDE   two\n"
        "ID   P3\nDE   three\n";
    struct Case {
        const char* rule;
        int32_t entry;
        const char* expected;
    };
    const Case cases[] = {
        {"^ID   \\([^ ]*\\)", 0, "ID   P1\nAC   P1;\nDE   one\n"},             // up to "//"
        {"^ID   \\([^ ]*\\)", 1, "ID   P2\nDE   two\n"},                       // accession after a plain line
        {"^ID   \\([^ ]*\\)", 2, "ID   P3\nDE   three\n"},                     // end of the file
        {">\\([^ ]*\\)", 0, "ID   P1\nAC   P1;\nDE   one\n//\nID   P2\nDE   two\nID   P3\nDE   three\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule + std::to_string(c.entry));
        control = ControlFileWriter();
        monitor.stop();
        proteins().setReference(reference, {0, 29, 46});
        openDb(GetParam(), kLookUp | ITER_REFERENCE);
        AccessionRule rule;
        rule.set(c.rule);
        EXPECT_EQ(iterator.readEntry(c.entry, 0, &rule, opened), ReadOutcome::Read);
        EXPECT_EQ(iterator.entry().referenceText, c.expected);
        iterator.close();
    }
}

TEST_P(IteratorModes, ReferenceWithGreaterThanRuleStopsAtNextTitle) {
    proteins().setReference(">P1 ref\nline a\n>P2 ref\nline b\n", {0, 15, 0});
    openDb(GetParam(), kLookUp | ITER_REFERENCE);
    AccessionRule rule;
    rule.set(">\\([^ ]*\\)");
    EXPECT_EQ(iterator.readEntry(0, 0, &rule, opened), ReadOutcome::Read);
    EXPECT_EQ(iterator.entry().referenceText, ">P1 ref\nline a\n");
    EXPECT_EQ(iterator.readEntry(1, 0, &rule, opened), ReadOutcome::Read);
    EXPECT_EQ(iterator.entry().referenceText, ">P2 ref\nline b\n");
}

// A reference file cut after the iterator opened: a text that meets the new
// end is lost data, never a shortened reference; one that ends with the
// whole file, or at its rule's end before the cut, is read as it is. Cut
// before the iterator opens, short of the last entry's text, the file is
// lost data as a whole, as the other files of the set are.
TEST_P(IteratorModes, ReferenceFileCutShortIsLostDataNeverAShorterText) {
    // Entries at 0, 29 and 46; the file is 65 bytes.
    const std::string reference =
        "ID   P1\nAC   P1;\nDE   one\n//\n"
        "ID   P2\nDE   two\n"
        "ID   P3\nDE   three\n";
    struct Case {
        int64_t cutTo;  // -1: not cut
        bool beforeOpen;
        int32_t entry;
        ReadOutcome expected;
    };
    const Case cases[] = {
        {-1, false, 2, ReadOutcome::Read},  // ends with the file
        {55, false, 2, ReadOutcome::Lost},  // inside the text
        {40, false, 2, ReadOutcome::Lost},  // the text starts past the new end
        {40, false, 1, ReadOutcome::Lost},
        {46, false, 0, ReadOutcome::Read},  // ends at "//", before the cut
        {0, true, 0, ReadOutcome::Lost},
        {46, true, 0, ReadOutcome::Lost},   // the last text is gone
        {33, true, 1, ReadOutcome::Lost},   // inside the entry's first line
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.cutTo) + (c.beforeOpen ? " before " : " after ") + std::to_string(c.entry));
        control = ControlFileWriter();
        monitor.stop();
        proteins().setReference(reference, {0, 29, 46});
        ASSERT_TRUE(db->write());
        if (c.beforeOpen) std::filesystem::resize_file(db->referencePath(), static_cast<uintmax_t>(c.cutTo));
        openWritten(GetParam(), kLookUp | ITER_REFERENCE);
        if (c.cutTo >= 0 && !c.beforeOpen)
            std::filesystem::resize_file(db->referencePath(), static_cast<uintmax_t>(c.cutTo));
        AccessionRule rule;
        rule.set("^ID   \\([^ ]*\\)");
        EXPECT_EQ(iterator.readEntry(c.entry, 0, &rule, opened), c.expected) << iterator.entry().referenceText;
        iterator.close();
    }
}

TEST_P(IteratorModes, NoLastSequenceReportsAndYieldsNothing) {
    proteins();
    ASSERT_TRUE(db->write());
    entry = control.addEntry(db->name());
    db->fillControlEntry(control, entry, GetParam());
    control.setDatabase(entry, 0, kDbLastSequence, -1);
    if (GetParam()) {
        ASSERT_TRUE(db->registerMapped(monitor, FakeMonitor::Owner::PidZero));
    }
    openOn(walk());
    EXPECT_TRUE(iterator.isAtEnd());
    EXPECT_EQ(iterator.findAccession("P1"), AccessionSearch::NotFound);
    EXPECT_NE(errorLog().find("Last sequence for this node is -1"), std::string::npos);
}

// Files cut shorter than the index says, before the iterator opens them:
// lost data at open in both modes (no "not found", no empty field), and
// every read stays inside the bytes that exist.
TEST_P(IteratorModes, CorruptAndTruncatedFilesAreNoDataNotACrash) {
    struct Case {
        const char* what;
        int kind;
        int64_t size;  // negative: that many bytes off the end

    };
    const Case cases[] = {
        {"index cut inside the last record", DB_FILE_INDEX, 48 * 2 + 20},
        {"accession file cut inside a record", DB_FILE_ACCESSION, 30},
        {"accession file cut inside the last record", DB_FILE_ACCESSION, -2},
        {"sequence file cut", DB_FILE_SEQUENCE, 6},
        {"sequence file one byte short", DB_FILE_SEQUENCE, -1},
        {"taxonomy-ID file cut", DB_FILE_TAXIDS, 6},
        {"taxonomy-ID file one byte short", DB_FILE_TAXIDS, -1},
        {"taxonomy-ID file emptied", DB_FILE_TAXIDS, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        control = ControlFileWriter();
        monitor.stop();
        proteins().setAccessionIndex(false);
        ASSERT_TRUE(db->write());
        std::filesystem::remove(db->path(DB_FILE_ACCINDEX));
        const int64_t whole = static_cast<int64_t>(std::filesystem::file_size(db->path(c.kind)));
        truncateFile(c.kind, c.size >= 0 ? c.size : whole + c.size);
        const size_t reported = errorLog().size();
        entry = control.addEntry(db->name());
        db->fillControlEntry(control, entry, GetParam());
        if (GetParam()) {
            ASSERT_TRUE(db->registerMapped(monitor, FakeMonitor::Owner::PidZero));
        }
        openOn(walk(kLookUp | ITER_TAXIDS));
        EXPECT_EQ(iterator.findAccession("P3"), AccessionSearch::Lost);
        EXPECT_NE(errorLog().find("Cannot iterate database TestDB", reported), std::string::npos);
        for (int32_t i = 0; i < 3; ++i) {
            (void)iterator.readEntry(i, 0, nullptr, kEverything);
            if (iterator.entry().sequence != nullptr) {
                EXPECT_GE(iterator.entry().sequenceBytes, uint64_t{iterator.entry().storedLength} + 1);
            }
            std::vector<std::string> accessions;
            getEntryAccessions(&iterator, accessions);
        }
        RecordingMarker marker(100);
        (void)iterator.markFoundAccessions(marker);
        iterator.close();
    }
}

// A file cut short after the iterator opened (or mapped) it. Linux faults
// only for whole pages past the new end; the rest of the last page reads as
// zeros without a signal, and a read comes back short. Whatever was read
// from past the new end is lost data (M512), never a shorter answer or "not
// found", and so is everything read after it.
TEST_P(IteratorModes, FileCutAfterOpenIsLostDataNeverAShorterAnswer) {
    constexpr int kEntries = 300;
    constexpr int kFasta = -1;
    std::string fasta;
    for (int i = 0; i < kEntries; ++i)
        fasta += ">E" + std::to_string(i) + " entry number " + std::to_string(i) + "\n" +
                 std::string(120, "ACDEFGHIKL"[i % 10]) + "\n";
    enum Call { kEntry, kMiddleEntry, kEntryTitlesAhead, kFind, kMark };
    struct Case {
        const char* what;
        int kind;     // kFasta for the FASTA file
        int64_t cut;  // bytes off the end; 0: cut to half
        uint32_t flags;
        Call call;
    };
    const Case cases[] = {
        {"sequence file 3 bytes short: zeros inside the last page", DB_FILE_SEQUENCE, 3, ITER_SEQUENCE, kEntry},
        {"sequence file cut to half: pages past the end", DB_FILE_SEQUENCE, 0, ITER_SEQUENCE, kEntry},
        // The middle entry's residues start where the cut is, inside a page.
        {"sequence file cut to half: zeros inside a page in the middle", DB_FILE_SEQUENCE, 0, ITER_SEQUENCE,
         kMiddleEntry},
        {"index file cut inside the last record", DB_FILE_INDEX, 20, 0, kEntry},
        {"taxonomy-ID file 2 bytes short", DB_FILE_TAXIDS, 2, ITER_TAXIDS, kEntry},
        {"FASTA file cut to half", kFasta, 0, ITER_TITLE, kEntry},
        {"FASTA file cut to half, titles read ahead", kFasta, 0, ITER_TITLE, kEntryTitlesAhead},
        {"accession file 3 bytes short, one look-up", DB_FILE_ACCESSION, 3, 0, kFind},
        {"accession file cut to half, the scan for many", DB_FILE_ACCESSION, 0, 0, kMark},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        control = ControlFileWriter();
        monitor.stop();
        db = std::make_unique<DatabaseWriter>("CutDB", install.file("sequence/CutDB"));
        db->setFasta(fasta).setTaxonomySection(1).setAccessionIndex(false);
        for (int i = 0; i < kEntries; ++i) db->setTaxIds(i, {9606, 10000 + i});
        openDb(GetParam(), kLookUp | ITER_LENGTH | c.flags);
        ASSERT_EQ(iterator.readEntry(0, 0, nullptr, opened), ReadOutcome::Read);
        std::vector<std::string> accessions;
        getEntryAccessions(&iterator, accessions);
        EXPECT_EQ(accessions, std::vector<std::string>{"E0"});

        const std::string path = c.kind == kFasta ? db->fastaPath() : db->path(c.kind);
        const int64_t size = static_cast<int64_t>(std::filesystem::file_size(path));
        std::filesystem::resize_file(path, static_cast<uintmax_t>(c.cut == 0 ? size / 2 : size - c.cut));
        const size_t logged = errorLog().size();
        const int32_t last = kEntries - 1;
        switch (c.call) {
            case kEntry:
                EXPECT_EQ(iterator.readEntry(last, 0, nullptr, opened), ReadOutcome::Lost);
                break;
            case kMiddleEntry:
                EXPECT_EQ(iterator.readEntry(kEntries / 2, 0, nullptr, opened), ReadOutcome::Lost);
                break;
            case kEntryTitlesAhead:
                iterator.readTitlesAhead({0, last / 2, last});
                EXPECT_EQ(iterator.readEntry(0, 0, nullptr, opened), ReadOutcome::Lost);
                break;
            case kFind:
                EXPECT_EQ(iterator.findAccession("E" + std::to_string(last)), AccessionSearch::Lost);
                break;
            case kMark: {
                RecordingMarker marker(1000);
                EXPECT_EQ(iterator.markFoundAccessions(marker), ReadOutcome::Lost);
                break;
            }
        }
        // Lost for good: an entry the cut did not touch is not shown either,
        // nor what was read before.
        EXPECT_EQ(iterator.readEntry(0, 0, nullptr, opened), ReadOutcome::Lost);
        const SequenceEntry lost = iterator.entry();
        EXPECT_EQ(lost.sequence, nullptr);
        EXPECT_EQ(lost.storedLength, 0u);
        EXPECT_EQ(lost.length, 0);
        EXPECT_EQ(lost.title, "");
        EXPECT_EQ(lost.taxIds, std::vector<int32_t>{});
        getEntryAccessions(&iterator, accessions);
        EXPECT_EQ(accessions, std::vector<std::string>{});
        EXPECT_EQ(iterator.findAccession("E0"), AccessionSearch::Lost);
        const std::string log = errorLog().substr(logged);
        const size_t first = log.find("Cannot iterate database CutDB");
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_EQ(log.find("Cannot iterate database", first + 1), std::string::npos) << "reported once\n" << log;
        iterator.close();
    }
}

// Seeded damage of every kind of file: bytes overwritten with random values,
// or the file cut at a random place. Whatever the iterator makes of it, it
// must stay inside the bytes that exist (the sanitizer build checks).
TEST_P(IteratorModes, RandomDamageNeverReadsOutsideTheFiles) {
    std::mt19937 random(20261210);
    const int kinds[] = {DB_FILE_INDEX, DB_FILE_SEQUENCE, DB_FILE_ACCESSION, DB_FILE_TAXIDS, DB_FILE_ACCINDEX};
    for (int kind : kinds) {
        for (int round = 0; round < 24; ++round) {
            SCOPED_TRACE(std::to_string(kind) + "/" + std::to_string(round));
            control = ControlFileWriter();
            monitor.stop();
            proteins().addAccession(1, "EXTRA");
            ASSERT_TRUE(db->write());
            const std::string path = db->path(kind);
            const auto size = static_cast<int64_t>(std::filesystem::file_size(path));
            if (round % 4 == 3) {
                truncateFile(kind, static_cast<int64_t>(random() % static_cast<uint32_t>(size + 1)));
            } else {
                std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
                for (int n = 0; n < 4 && size > 0; ++n) {
                    f.seekp(static_cast<std::streamoff>(random() % static_cast<uint32_t>(size)));
                    const char byte = static_cast<char>(n % 2 == 0 ? 0xff : random());
                    f.write(&byte, 1);
                }
            }
            entry = control.addEntry(db->name());
            db->fillControlEntry(control, entry, GetParam());
            if (GetParam()) {
                ASSERT_TRUE(db->registerMapped(monitor, FakeMonitor::Owner::PidZero));
            }
            openOn(walk(kLookUp | ITER_TAXIDS));
            for (const char* accession : {"P3", "EXTRA", "Q1"}) (void)iterator.findAccession(accession);
            for (int32_t i = -1; i < 4; ++i) {
                (void)iterator.readEntry(i, 0, nullptr, kEverything);
                std::vector<std::string> accessions;
                getEntryAccessions(&iterator, accessions);
                if (iterator.entry().sequence != nullptr) {
                    EXPECT_LE(uint64_t{iterator.entry().storedLength} + 1, iterator.entry().sequenceBytes);
                }
            }
            RecordingMarker marker(1000);
            (void)iterator.markFoundAccessions(marker);
            iterator.close();
        }
    }
}

TEST_P(IteratorModes, HugeCountsAndOffsetsInRecordsAreNoData) {
    proteins();
    ASSERT_TRUE(db->write());
    // Entry 1: taxonomy count far beyond the file, sequence offset beyond the
    // file, and a length that would need more bytes than exist.
    std::fstream t00(db->path(DB_FILE_TAXIDS), std::ios::in | std::ios::out | std::ios::binary);
    t00.seekp(8);  // entry 1's list follows entry 0's count and one ID
    const char big[4] = {'\xff', '\xff', '\xff', '\x7f'};
    t00.write(big, 4);
    t00.close();
    std::fstream i00(db->path(DB_FILE_INDEX), std::ios::in | std::ios::out | std::ios::binary);
    i00.seekp(48 + 36);
    i00.write(big, 4);
    i00.close();
    entry = control.addEntry(db->name());
    db->fillControlEntry(control, entry, GetParam());
    // A record that announces an absurd longest sequence costs no memory up front.
    control.setDatabase(entry, 0, kDbLongestSequence, INT32_MAX);
    if (GetParam()) {
        ASSERT_TRUE(db->registerMapped(monitor, FakeMonitor::Owner::PidZero));
    }
    openOn(walk());
    const uint32_t reads = kLookUp | ITER_SEQUENCE | ITER_TAXIDS | ITER_LENGTH;
    EXPECT_EQ(iterator.readEntry(1, 0, nullptr, reads), ReadOutcome::Read);
    EXPECT_EQ(iterator.entry().sequence, nullptr);
    EXPECT_TRUE(iterator.entry().taxIds.empty());
    EXPECT_EQ(iterator.entry().length, INT32_MAX);
    EXPECT_EQ(iterator.readEntry(0, 0, nullptr, reads), ReadOutcome::Read);
    EXPECT_EQ(iterator.entry().taxIds, std::vector<int32_t>{9606});
    ASSERT_NE(iterator.entry().sequence, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(iterator.entry().sequence)), "MKVL");
}

// The server's search threads: iterators that share one counter take each
// index once; a follower reads the index another one keeps; a last index
// ends the walk early; a second iterator can use the first one's mappings.
TEST_P(IteratorModes, SharedCounterFollowedIndexAndLastIndex) {
    std::string fasta;
    for (int i = 0; i < 6; ++i) fasta += ">E" + std::to_string(i) + "\nMK\n";
    db = std::make_unique<DatabaseWriter>("Six", install.file("sequence/Six"));
    db->setFasta(fasta);
    openDb(GetParam());
    int lock = 0;
    int32_t shared = -1;
    CSequenceIterator a, b;
    SequenceIteratorOptions sharing = walk(ITER_ACCESSIONS);
    sharing.shareWith = &iterator;
    sharing.lockHandle = &lock;
    sharing.counter = &shared;
    a.open(&control.half(entry, 0), sharing);
    SequenceIteratorOptions toFour = sharing;
    toFour.lastIndex = 4;
    b.open(&control.half(entry, 0), toFour);
    std::vector<int32_t> taken = {a.currentIndex(), b.currentIndex()};
    while (true) {
        const bool moreA = a.next(true);
        if (moreA) taken.push_back(a.currentIndex());
        const bool moreB = b.next(true);
        if (moreB) taken.push_back(b.currentIndex());
        if (!moreA && !moreB) break;
    }
    // Index 5 goes to b, whose last index is 4: it ends b's walk unread.
    EXPECT_EQ(taken, (std::vector<int32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(shared, 7);

    // Without a lock handle an atomic counter cannot advance.
    CSequenceIterator c;
    int32_t other = -1;
    SequenceIteratorOptions unlocked = sharing;
    unlocked.lockHandle = nullptr;
    unlocked.counter = &other;
    c.open(&control.half(entry, 0), unlocked);
    EXPECT_TRUE(c.isAtEnd());

    int32_t followed = 3;
    CSequenceIterator follower;
    SequenceIteratorOptions following = walk();
    following.shareWith = &iterator;
    following.counter = nullptr;
    following.followsIndex = true;
    following.followedIndex = &followed;
    follower.open(&control.half(entry, 0), following);
    EXPECT_EQ(follower.currentIndex(), 3);
    ASSERT_EQ(follower.readEntry(-1, 0, nullptr, ITER_ACCESSIONS), ReadOutcome::Read);
    std::vector<std::string> accessions;
    getEntryAccessions(&follower, accessions);
    EXPECT_EQ(accessions, std::vector<std::string>{"E3"});
    a.close();
    b.close();
    c.close();
    follower.close();
}

TEST_F(IteratorBase, MappedModeWithoutTheMonitorsMappingsReports512) {
    proteins();
    ASSERT_TRUE(db->write());
    entry = control.addEntry(db->name());
    db->fillControlEntry(control, entry, true);
    openOn(walk());
    EXPECT_EQ(iterator.currentIndex(), -1);
    EXPECT_FALSE(iterator.next(true));
    EXPECT_EQ(iterator.findAccession("P1"), AccessionSearch::Lost);
    EXPECT_NE(errorLog().find("Cannot iterate database TestDB"), std::string::npos);
}

TEST_F(IteratorBase, MissingTaxonomyIndexAndStatisticsAreNotReported) {
    proteins();
    ASSERT_TRUE(db->write());
    std::filesystem::remove(db->path(DB_FILE_STATS));
    for (bool mapped : {false, true}) {
        control = ControlFileWriter();
        monitor.stop();
        entry = control.addEntry(db->name());
        db->fillControlEntry(control, entry, mapped);
        if (mapped) {
            ASSERT_TRUE(db->registerMapped(monitor, FakeMonitor::Owner::PidZero));
        }
        openOn(walk());
        EXPECT_EQ(iterator.findAccession("P2"), AccessionSearch::Found);
        iterator.close();
    }
    EXPECT_EQ(errorLog(), "");
}

TEST_F(IteratorBase, MissingFileOfTheSetIsReportedInFileModeAndSkipped) {
    proteins().setAccessionIndex(false);
    ASSERT_TRUE(db->write());
    std::filesystem::remove(db->path(DB_FILE_SEQUENCE));
    entry = control.addEntry(db->name());
    db->fillControlEntry(control, entry, false);
    openOn(walk(kLookUp | ITER_SEQUENCE));
    ASSERT_EQ(iterator.findAccession("P2"), AccessionSearch::Found);
    EXPECT_EQ(iterator.readEntry(-1, 0, nullptr, opened), ReadOutcome::Read);
    EXPECT_EQ(iterator.entry().sequence, nullptr);
    EXPECT_NE(errorLog().find("Can't open " + db->path(DB_FILE_SEQUENCE)), std::string::npos);
}

TEST_F(IteratorBase, SmallIndexViewClampedAtFileEndIsValid) {
    // Fewer than ten entries: the 480-byte view of the index is clamped.
    db = std::make_unique<DatabaseWriter>("One", install.file("sequence/One"));
    db->setFasta(">ONLY\nMK\n");
    openDb(true);
    EXPECT_EQ(iterator.currentIndex(), 0);
    EXPECT_EQ(iterator.findAccession("ONLY"), AccessionSearch::Found);
    EXPECT_EQ(errorLog(), "");
}

TEST_F(IteratorBase, SelectionVectorSkipsUnselectedEntries) {
    proteins();
    sequenceSelection().assign({true, false, true});
    openDb(false);
    std::vector<std::pair<int32_t, bool>> seen = {{iterator.currentIndex(), iterator.isSelected()}};
    while (iterator.next(true)) seen.emplace_back(iterator.currentIndex(), iterator.isSelected());
    sequenceSelection().clear();
    EXPECT_EQ(seen, (std::vector<std::pair<int32_t, bool>>{{0, true}, {1, false}, {2, true}}));
}

}  // namespace
