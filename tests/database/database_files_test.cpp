#include "database/database_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "support/control_file_writer.h"
#include "support/database_writer.h"
#include "support/fake_monitor.h"
#include "support/temp_dir.h"

using namespace brenvik;
using tarvex_test::ControlFileWriter;
using tarvex_test::DatabaseWriter;
using tarvex_test::FakeMonitor;
using tarvex_test::TempDir;

namespace {

TEST(DatabaseFileNames, ReplaceExtensionOfTheLastComponentOnly) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"../sequence/SwissProt/current/SwissProt_2024.fasta", "../sequence/SwissProt/current/SwissProt_2024.i00"},
        {"../db/nr", "../db/nr.i00"},  // the dots of ".." are no extension
        {"nr", "nr.i00"},
        {"a.b/c.d.fasta", "a.b/c.d.i00"},
        {"a.b\\nr", "a.b\\nr.i00"},
        {"", ".i00"},
    };
    for (const Case& c : cases) EXPECT_EQ(replaceExtension(c.text, "i00"), c.expected) << c.text;
    EXPECT_EQ(replaceExtension(nullptr, "i00"), "");
}

TEST(DatabaseFileNames, KindsOfARecord) {
    ControlFileWriter control;
    const int e = control.addEntry("SwissProt");
    control.setPaths(e, "SwissProt_2024.fasta", "/x/SwissProt_2024.fasta", "", "../sequence/SwissProt/current");
    const ControlFileRecord* r = &control.half(e, 0);
    EXPECT_EQ(getDatabaseFileName(DB_FILE_INDEX, r), "../sequence/SwissProt/current/SwissProt_2024.i00");
    EXPECT_EQ(getDatabaseFileName(DB_FILE_STATS, r), "../sequence/SwissProt/current/SwissProt_2024.stats");
    EXPECT_EQ(getDatabaseFileName(DB_FILE_ACCINDEX, r), "../sequence/SwissProt/current/SwissProt_2024.b00");
    // No taxonomy section: no taxonomy-ID or taxonomy-index file.
    EXPECT_EQ(getDatabaseFileName(DB_FILE_TAXIDS, r), "");
    EXPECT_EQ(getDatabaseFileName(DB_FILE_TAXINDEX, r), "");
    control.setDatabase(e, 0, kDbTaxonomySection, 2);
    EXPECT_EQ(getDatabaseFileName(DB_FILE_TAXIDS, r), "../sequence/SwissProt/current/SwissProt_2024.t00");
    EXPECT_EQ(getDatabaseFileName(DB_FILE_INDEX, nullptr), "");
    EXPECT_EQ(getDatabaseFileName(7, r), "");
}

TEST(DatabaseFileLayout, IndexRecordAndAccessionRecords) {
    IndexRecord r;
    r.titleOffset = 0x0102030405060708ULL;
    r.referenceOffset = 9;
    r.sequenceOffset = 1ULL << 40;
    r.accessionOffset = 77;
    r.taxIdOffset = 0xfffffff0u;
    r.length = 123456;
    unsigned char bytes[48];
    encodeIndexRecord(r, bytes);
    EXPECT_EQ(bytes[0], 0x08);
    EXPECT_EQ(bytes[7], 0x01);
    const IndexRecord back = decodeIndexRecord(bytes);
    EXPECT_EQ(back.titleOffset, r.titleOffset);
    EXPECT_EQ(back.sequenceOffset, r.sequenceOffset);
    EXPECT_EQ(back.taxIdOffset, r.taxIdOffset);
    EXPECT_EQ(back.length, r.length);

    const char block[] = "AB\0\x03\x05\0\0\0C\0\x00\x06\0\0\0D";  // last record cut
    AccessionRecordView v;
    uint64_t next = 0;
    ASSERT_TRUE(parseAccessionRecord(block, sizeof block - 1, 0, v, next));
    EXPECT_EQ(std::string(v.text, v.length), "AB");
    EXPECT_EQ(v.flag, 3);
    EXPECT_EQ(v.sequenceIndex, 5);
    ASSERT_TRUE(parseAccessionRecord(block, sizeof block - 1, next, v, next));
    EXPECT_EQ(std::string(v.text, v.length), "C");
    EXPECT_FALSE(parseAccessionRecord(block, sizeof block - 1, next, v, next));
}

TEST(DatabaseFileLayout, NucleicAcidOfFiveBasesTakesThreeBytes) {
    EXPECT_EQ(DatabaseWriter::encodeSequence("TCAGN", true), std::string("\x21\x43\x05", 3));
    EXPECT_EQ(DatabaseWriter::encodeSequence("TC", true), std::string("\x21\x00", 2));
    EXPECT_EQ(DatabaseWriter::encodeSequence("MK", false), std::string("MK\0", 3));
}

TEST(MapDatabaseFiles, NotMappedOnThisNodeMapsNothing) {
    TempDir dir("dbfiles");
    DatabaseWriter db("D", dir.file("D"));
    db.setFasta(">A\nMK\n");
    ASSERT_TRUE(db.write());
    FakeMonitor monitor;
    ASSERT_TRUE(db.registerMapped(monitor, FakeMonitor::Owner::PidZero));
    ControlFileWriter control;
    const int e = control.addEntry("D");
    db.fillControlEntry(control, e, true);
    control.setNode(e, 0, kNodeMemoryMapped, 0);
    DatabaseFileArray files;
    EXPECT_FALSE(mapDatabaseFiles(&control.half(e, 0), files, 0));
    for (const CMmapFile& f : files) EXPECT_FALSE(f.isOpen());

    control.setNode(e, 0, kNodeMemoryMapped, 1);
    EXPECT_TRUE(mapDatabaseFiles(&control.half(e, 0), files, 0));
    EXPECT_TRUE(files[DB_FILE_INDEX].isOpen());
    EXPECT_FALSE(files[DB_FILE_ACCINDEX].isOpen());
    EXPECT_FALSE(files[DB_FILE_TAXIDS].isOpen());  // no taxonomy section
    unmapDatabaseFiles(files);
    EXPECT_FALSE(files[DB_FILE_INDEX].isOpen());
    EXPECT_TRUE(mapDatabaseFiles(nullptr, files, 0));
}

// The monitor's side: it maps the set, records the node's mapping status in
// the record and, when asked, pins the node's ranges in memory.
TEST(MapDatabaseFiles, OwnerRecordsTheMappingStatusAndPinsTheNodesRanges) {
    TempDir dir("dbowner");
    DatabaseWriter db("D", dir.file("D"));
    db.setFasta(">A\nMKV\n>B\nMKLL\n>C\nMA\n").setTaxonomySection(1);
    db.setTaxIds(0, {9606}).setTaxIds(1, {10090, 10116}).setTaxIds(2, {562});
    ASSERT_TRUE(db.write());
    ControlFileWriter control;
    const int e = control.addEntry("D");
    db.fillControlEntry(control, e, false);
    ControlFileRecord& record = control.half(e, 0);
    auto status = [&] { return databaseValue(record, kDbMappingStatus); };
    const std::string marker = "/dev/shm" + FakeMonitor::markerOf(db.path(DB_FILE_INDEX));

    struct Case {
        uint8_t lockInMemory;
        uint32_t flags;
        int32_t status;  // 0 mapped, 2 mapped and pinned
    };
    const Case cases[] = {{0, MMAP_OWNER, 0}, {1, MMAP_OWNER | 0x02, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        record.lockInMemory = c.lockInMemory;
        control.setDatabase(e, 0, kDbMappingStatus, 7);
        DatabaseFileArray files;
        EXPECT_TRUE(mapDatabaseFiles(&record, files, c.flags));
        EXPECT_EQ(status(), c.status);
        EXPECT_TRUE(files[DB_FILE_TAXIDS].isOpen());
        EXPECT_FALSE(files[DB_FILE_ACCINDEX].isOpen());
        EXPECT_TRUE(std::filesystem::exists(marker));
        EXPECT_TRUE(lockNodeSequencesInMemory(&record, files));
        // A node range outside the index cannot be pinned.
        control.setDatabase(e, 0, kDbLastSequence, 3);
        EXPECT_FALSE(lockNodeSequencesInMemory(&record, files));
        control.setDatabase(e, 0, kDbLastSequence, 2);
        unmapDatabaseFiles(files);
        EXPECT_FALSE(files[DB_FILE_INDEX].isOpen());
        EXPECT_FALSE(std::filesystem::exists(marker));
    }
}

}  // namespace
