#include "database/bv_controlfile.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/control_file_writer.h"
#include "support/fake_monitor.h"
#include "support/temp_dir.h"

using brenvik::bv_controlfile;
using brenvik::CControlFileError;
using tarvex_test::ControlFileReader;
using tarvex_test::ControlFileWriter;
using tarvex_test::FakeMonitor;
using tarvex_test::TempDir;

TEST(ControlFile, FindDatabaseByExactNameAndEmptyEntries) {
    TempDir dir("cf");
    const std::string path = dir.file("tarvex.control");
    ControlFileWriter writer;
    writer.addEntry("A");
    writer.addEntry("SwissProt");
    writer.addEntry("");
    writer.addEntry("B");
    writer.write(path);
    FakeMonitor monitor;
    ASSERT_TRUE(monitor.registerControlFile(path));

    bv_controlfile cf;
    cf.openPath(path, false, false);
    ASSERT_TRUE(cf.isOpen());
    EXPECT_EQ(cf.getEntryCount(), 4);
    struct Case {
        const char* name;
        bool allowEmpty;
        int index;
    } cases[] = {
        {"A", false, 0},          {"A", true, 0},     {"SwissProt", false, 1},
        {"Swiss", false, -1},     {"Swiss", true, 2}, {"SwissProtX", false, -1},
        {"B", false, 3},          {"B", true, 2},  // comes after the empty entry
        {"C", false, -1},         {"C", true, 2},     {"", false, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(cf.findDatabase(c.name, c.allowEmpty), c.index) << c.name;

    // Records are where the layout says, and nowhere else.
    ASSERT_NE(cf.getRecord(3, 1), nullptr);
    EXPECT_EQ(brenvik::fieldText(cf.getRecord(3, 1)->name), "B");
    EXPECT_EQ(reinterpret_cast<char*>(cf.getRecord(1, 0)) - reinterpret_cast<char*>(cf.getRecord(0, 0)), 95472);
    EXPECT_EQ(cf.getRecord(4, 0), nullptr);
    EXPECT_EQ(cf.getRecord(-1, 0), nullptr);
    EXPECT_EQ(cf.getRecord(0, 2), nullptr);

    cf.close();
    EXPECT_FALSE(cf.isOpen());
    EXPECT_EQ(cf.findDatabase("A", false), -1);
    EXPECT_EQ(cf.getRecord(0, 0), nullptr);
}

TEST(ControlFile, APartialEntryIsIgnored) {
    TempDir dir("cf");
    const std::string path = dir.file("tarvex.control");
    ControlFileWriter empty;
    empty.write(path, 95471);
    FakeMonitor monitor;
    ASSERT_TRUE(monitor.registerControlFile(path));
    bv_controlfile cf;
    cf.openPath(path, false, false);
    EXPECT_EQ(cf.getEntryCount(), 0);
    EXPECT_EQ(cf.findDatabase("", true), -1);
}

TEST(ControlFile, WritesThroughTheMappingReachTheFile) {
    TempDir dir("cf");
    const std::string path = dir.file("tarvex.control");
    ControlFileWriter writer;
    writer.addEntry("DB");
    writer.write(path);
    FakeMonitor monitor;
    ASSERT_TRUE(monitor.registerControlFile(path, FakeMonitor::Owner::PidZero));
    {
        bv_controlfile cf;
        cf.openPath(path, false, true);
        brenvik::storeField(cf.getRecord(0, 1)->slots[7].jobNumber, 4242);
    }
    EXPECT_EQ(ControlFileReader(path).slot(0, 1, 7).jobNumber, 4242);
}

// Every way in which the monitor's registration does not cover the file
// ends in 327 with the path, and the object stays closed.
TEST(ControlFile, NoMonitorThrows327WithThePath) {
    TempDir dir("cf");
    const std::string path = dir.file("tarvex.control");
    ControlFileWriter writer;
    writer.addEntry("DB");
    enum Setup { Missing, NoMarker, ReadOnlyMarker, DeadOwner, Replaced };
    struct Case {
        const char* what;
        Setup setup;
    } cases[] = {
        {"missing file", Missing},
        {"no marker", NoMarker},
        {"read-only marker", ReadOnlyMarker},
        {"owner no longer running", DeadOwner},
        {"file replaced after registration", Replaced},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writer.write(path);
        const std::string p = c.setup == Missing ? dir.file("absent.control") : path;
        FakeMonitor monitor;
        MmapMarker dead;
        const std::string deadMarker = FakeMonitor::markerOf(path);
        switch (c.setup) {
            case ReadOnlyMarker:
                ASSERT_TRUE(monitor.registerFile(p, false, FakeMonitor::Owner::Live));
                break;
            case DeadOwner: {
                pid_t child = fork();
                if (child == 0) _exit(0);
                waitpid(child, nullptr, 0);
                dead.pid = child;
                dead.readWrite = 1;
                dead.path = path;
                ASSERT_TRUE(mmap_marker::writeMarker(deadMarker, dead, 0644));
                break;
            }
            case Replaced:
                ASSERT_TRUE(monitor.registerControlFile(p));
                writer.write(path + ".new");
                ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
                break;
            default:
                break;
        }
        bv_controlfile cf;
        try {
            cf.openPath(p, false, false);
            ADD_FAILURE() << "no exception";
        } catch (const CControlFileError& e) {
            EXPECT_EQ(e.getNumber(), 327);
            EXPECT_EQ(e.getLine(), 142);
            EXPECT_EQ(e.getModule(), "bv_controlfile");
            EXPECT_EQ(e.getPath(), p);
            EXPECT_EQ(e.getSubCluster(), 0);
        }
        if (c.setup == DeadOwner) mmap_marker::removeMarker(deadMarker);
        EXPECT_FALSE(cf.isOpen());
        EXPECT_EQ(cf.findDatabase("DB", false), -1);
    }
}

TEST(ControlFileFields, TextsAreBoundedByTheirField) {
    brenvik::ControlFileRecord record;
    std::memset(&record, 'x', sizeof record);  // no zero anywhere
    EXPECT_EQ(brenvik::fieldText(record.name).size(), 768u);
    EXPECT_EQ(brenvik::fieldText(record.slots[0].requestKind).size(), 4u);
    record.fastaName[3] = '\0';
    EXPECT_EQ(brenvik::fieldText(record.fastaName), "xxx");
    EXPECT_EQ(brenvik::nodeValue(record, 160), 0);
    EXPECT_EQ(brenvik::databaseValue(record, -1), 0);
}

TEST(ControlFileFields, DatabaseCountsAreCheckedBeforeUse) {
    struct Case {
        int32_t longest, count, accession, first, last;
        bool ok;
    } cases[] = {
        {100, 10, 12, 0, 9, true},    {100, 10, 12, 3, 5, true},     {0, 0, 0, 0, -1, true},
        {-1, 10, 12, 0, 9, false},    {100, -10, 12, 0, -1, false},  {100, 10, -2, 0, 9, false},
        {100, 10, 12, 0, 10, false},  {100, 10, 12, 5, 4, false},    {100, 10, 12, -1, 9, false},
        {100, 0, 12, 0, 0, false},    {100, 10, 12, -3, -1, false},
    };
    for (const Case& c : cases) {
        brenvik::ControlFileRecord record;
        std::memset(&record, 0, sizeof record);
        record.database[brenvik::kDbLongestSequence] = c.longest;
        record.database[brenvik::kDbSequenceCount] = c.count;
        record.database[brenvik::kDbLongestAccession] = c.accession;
        record.database[brenvik::kDbFirstSequence] = c.first;
        record.database[brenvik::kDbLastSequence] = c.last;
        brenvik::DatabaseCounts counts;
        std::string why;
        EXPECT_EQ(brenvik::readDatabaseCounts(record, counts, why), c.ok)
            << c.longest << " " << c.count << " " << c.accession << " " << c.first << " " << c.last;
        EXPECT_EQ(why.empty(), c.ok);
        if (c.ok) {
            EXPECT_EQ(counts.sequenceCount, c.count);
        }
    }
}
