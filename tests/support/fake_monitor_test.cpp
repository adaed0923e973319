#include "support/fake_monitor.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/control_file_writer.h"
#include "support/temp_dir.h"

using tarvex_test::FakeMonitor;
using tarvex_test::TempDir;

namespace {

int openByName(const std::string& path, bool readOnly) {
    CMmapFile file;
    int error = -1;
    file.open(path, readOnly, error, 0, 0, false);
    return error;
}

}  // namespace

// Registrations hold for the monitor's lifetime, in this process and in
// processes started from it, and go with it.
TEST(FakeMonitor, RegistrationsLastAsLongAsTheMonitor) {
    TempDir dir("monitor");
    const std::string control = dir.file("tarvex.control");
    const std::string seq = dir.file("db.seq");
    tarvex_test::ControlFileWriter writer;
    writer.addEntry("DB");
    writer.setPaths(0, "db.fasta", "/srv/db.fasta", "/srv/db.ref", "/srv/db");
    writer.write(control);
    tarvex_test::writeFile(seq, "ACGT");
    for (FakeMonitor::Owner owner : {FakeMonitor::Owner::Live, FakeMonitor::Owner::PidZero}) {
        {
            FakeMonitor monitor;
            ASSERT_TRUE(monitor.registerControlFile(control, owner));
            ASSERT_TRUE(monitor.registerDatabaseFile(seq, owner));
            EXPECT_EQ(openByName(control, false), 0);
            EXPECT_EQ(openByName(seq, true), 0);
            EXPECT_EQ(openByName(seq, false), 49) << "database files are read-only";
            pid_t child = fork();
            if (child == 0) _exit(openByName(control, false) == 0 ? 0 : 1);
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        EXPECT_EQ(openByName(control, false), 49);
        EXPECT_EQ(openByName(seq, true), 49);
    }
    tarvex_test::ControlFileReader reader(control);
    EXPECT_EQ(brenvik::fieldText(reader.half(0, 1).referencePath), "/srv/db.ref");
}
