#include "database/bv_job.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/process_startup.h"
#include "common/system_calls.h"
#include "config/global_options.h"
#include "support/control_file_writer.h"
#include "support/fake_monitor.h"
#include "support/temp_dir.h"

using brenvik::bv_controlfile;
using brenvik::CJobManager;
using brenvik::getNextJobNumber;
using brenvik::JobSlot;
using tarvex_test::ControlFileReader;
using tarvex_test::ControlFileWriter;
using tarvex_test::FakeMonitor;
using tarvex_test::readFile;
using tarvex_test::TempDir;
using tarvex_test::writeFile;

namespace {

// Names in folder that look like a job-number file's temporary.
std::vector<std::string> temporariesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().find(".tmp") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

class JobTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOptions(1234);
        // Reports go to this test's error log only, and a fatal one returns.
        errorReporter.exitOnFatal = false;
        errorReporter.toPage = false;
        errorReporter.toMail = false;
    }
    void TearDown() override {
        brenvik::resetGlobalOptions();
        errorReporter.exitOnFatal = true;
        errorReporter.toPage = true;
        errorReporter.toMail = true;
    }

    std::string errorLog() const {
        return tarvex_test::pathExists(dir.file("errorlog.txt")) ? readFile(dir.file("errorlog.txt")) : "";
    }

    void useOptions(int start) {
        brenvik::bv_options options;
        options.setTarvexJobIdFile(dir.file("tarvex.job"));
        options.setSeqFetchJobIdFile(dir.file("seqfetch.job"));
        options.setTarvexControlFile(dir.file("tarvex.control"));
        options.setUniqueJobStartNumber(start);
        options.setErrorLogFile(dir.file("errorlog.txt"));
        options.setMonitorLogFile(dir.file("monitor.log"));
        struct group* own = getgrgid(getgid());
        if (own != nullptr) options.setNTIUserGroup(own->gr_name);
        brenvik::switchStandaloneCluster(options, brenvik::bv_clusteroptions());
    }

    // Writes the control file, registers it and opens it as the tools do.
    void openControlFile(const ControlFileWriter& writer) {
        writer.write(dir.file("tarvex.control"));
        ASSERT_TRUE(monitor.registerControlFile(dir.file("tarvex.control")));
        controlFile.open(nullptr, false, true);
    }

    std::string controlPath() const { return dir.file("tarvex.control"); }

    TempDir dir{"job"};
    FakeMonitor monitor;
    bv_controlfile controlFile;
};

bool registerOne(CJobManager& manager, bv_controlfile& cf, const std::vector<std::string>& names,
                 const std::string& task = "TXLOOK") {
    manager.setControlFile(&cf);
    return manager.registerJob(names, 0, task, "", "0", "Getting taxonomy", "GET", 0, true);
}

}  // namespace

// ---------------------------------------------------------------------------
// Job numbers

TEST_F(JobTest, JobNumbersFromExistingFiles) {
    struct Case {
        bool shortFile;
        const char* before;
        int number;
        const char* after;
    } cases[] = {
        {true, "999", 1, "1    "},
        {true, "1    ", 2, "2    "},
        {true, "998", 999, "999"},
        {true, "", 1, "1    "},  // an empty file counts as the start 1234, wrapped
        {false, "41", 42, "42"},
        {false, "999", 1000, "1000"},
        {false, "", 1235, "1235"},
        // Values the tools never write start the count again, and the new
        // text leaves no tail of the old one behind.
        {true, "2147483647", 1, "1    "},
        {true, "99999999999999999999", 1, "1    "},
        {true, "09999999999999999999", 1, "1    "},
        {true, "-5", 1, "1    "},
        {true, "0", 1, "1    "},
        {true, "garbage", 1, "1    "},
        {true, "1000", 1, "1    "},
        {true, "12  ", 13, "13  "},
        {false, "2147483646", 2147483647, "2147483647"},
        {false, "2147483647", 1234, "1234"},
        {false, "99999999999999999999", 1234, "1234"},
        {false, "-5", 1234, "1234"},
        {false, "garbage", 1, "1"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(c.shortFile ? "seqfetch.job" : "tarvex.job");
        writeFile(path, c.before);
        EXPECT_EQ(getNextJobNumber(c.shortFile), c.number) << c.before;
        EXPECT_EQ(readFile(path), c.after) << c.before;
    }
}

TEST_F(JobTest, MissingFilesStartFromTheStartNumber) {
    useOptions(1234);
    EXPECT_EQ(getNextJobNumber(false), 1235);
    EXPECT_EQ(readFile(dir.file("tarvex.job")), "1235");
    EXPECT_EQ(getNextJobNumber(true), 1);
    EXPECT_EQ(readFile(dir.file("seqfetch.job")), "1    ");
    // Created with group access for the other server processes.
    struct stat st;
    ASSERT_EQ(stat(dir.file("seqfetch.job").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0060, 0060u);
    useOptions(17);
    EXPECT_EQ(getNextJobNumber(true), 2);
    // No temporary is left beside them.
    EXPECT_EQ(temporariesIn(dir.path()), std::vector<std::string>{});
}

TEST_F(JobTest, AFileThatCannotBeOpenedGivesTheStartNumber) {
    ASSERT_EQ(mkdir(dir.file("seqfetch.job").c_str(), 0777), 0);
    useOptions(555);
    EXPECT_EQ(getNextJobNumber(true), 555);
    EXPECT_NE(errorLog().find("Error [M00012 - Job -1 - X01266:bv_job]"), std::string::npos) << errorLog();
    EXPECT_NE(errorLog().find("for \"writing\""), std::string::npos) << errorLog();
}

TEST_F(JobTest, LinksPlantedInTheFolderAreNeverFollowed) {
    // Whoever can write the data folder plants links: under the name the
    // temporary once had (the process ID) and in place of the file itself.
    // Neither victim changes; a link in place of the file is an open failure.
    const std::string victim = dir.file("victim");
    writeFile(victim, "precious");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    const std::string oldTemporary = dir.file("seqfetch.job.tmp" + std::to_string(getpid()));
    ASSERT_EQ(symlink(victim.c_str(), oldTemporary.c_str()), 0);
    EXPECT_EQ(getNextJobNumber(true), 1);
    EXPECT_EQ(readFile(dir.file("seqfetch.job")), "1    ");
    EXPECT_FALSE(std::filesystem::is_symlink(dir.file("seqfetch.job")));

    for (const char* name : {"tarvex.job", "dangling.job"}) {
        SCOPED_TRACE(name);
        const std::string link = dir.file(name);
        std::filesystem::remove(link);
        const std::string target = std::string(name) == "tarvex.job" ? victim : dir.file("nowhere");
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        brenvik::bv_options options = brenvik::globalOptions();
        options.setTarvexJobIdFile(link);
        brenvik::switchStandaloneCluster(options, brenvik::bv_clusteroptions());
        EXPECT_EQ(getNextJobNumber(false), 1234) << "the start number, as for any file that cannot be opened";
        brenvik::CTarvexJobIdFile file(link);
        EXPECT_FALSE(file.lock());
        EXPECT_TRUE(std::filesystem::is_symlink(link));
        EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
        EXPECT_NE(errorLog().find("Can't open " + link + " for \"writing\". Error Too many levels of symbolic links"),
                  std::string::npos)
            << errorLog();
    }
    EXPECT_EQ(readFile(victim), "precious");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(JobTest, CreatingAJobNumberFileKeepsTheFirstCreator) {
    const std::string path = dir.file("other.job");
    ASSERT_TRUE(brenvik::createJobNumberFile(path, 77));
    ASSERT_TRUE(brenvik::createJobNumberFile(path, 88));
    EXPECT_EQ(readFile(path), "77");
}

namespace {

int failedLinkError = 0;
int failingLink(const char*, const char*) {
    errno = failedLinkError;
    return -1;
}

// Makes link() fail as on a file system without hard links, for one scope.
class NoHardLinks {
public:
    explicit NoHardLinks(int error) : saved_(systemCalls().link) {
        failedLinkError = error;
        systemCalls().link = &failingLink;
    }
    ~NoHardLinks() { systemCalls().link = saved_; }

private:
    int (*saved_)(const char*, const char*);
};

}  // namespace

TEST_F(JobTest, WithoutHardLinksTheFileIsCreatedExclusively) {
    for (int error : {EPERM, EOPNOTSUPP, EXDEV}) {
        SCOPED_TRACE(error);
        const std::string path = dir.file("nolinks" + std::to_string(error) + ".job");
        {
            NoHardLinks noLinks(error);
            ASSERT_TRUE(brenvik::createJobNumberFile(path, 77));
            // The file another process made first keeps its number.
            ASSERT_TRUE(brenvik::createJobNumberFile(path, 88));
        }
        EXPECT_EQ(readFile(path), "77");
        EXPECT_EQ(temporariesIn(dir.path()), std::vector<std::string>{});
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0060, 0060u);
    }
    // Taking numbers works there from the first request on.
    NoHardLinks noLinks(EPERM);
    EXPECT_EQ(getNextJobNumber(true), 1);
    EXPECT_EQ(getNextJobNumber(true), 2);
    EXPECT_EQ(getNextJobNumber(false), 1235);
    EXPECT_EQ(errorLog(), "");
}

TEST_F(JobTest, AFileThatCannotBeCreatedIsNamedAsConfigured) {
    brenvik::bv_options options = brenvik::globalOptions();
    const std::string path = dir.file("nodir/seqfetch.job");
    options.setSeqFetchJobIdFile(path);
    brenvik::switchStandaloneCluster(options, brenvik::bv_clusteroptions());
    EXPECT_EQ(getNextJobNumber(true), 1234);
    const std::string log = errorLog();
    EXPECT_NE(log.find("Can't open " + path + " for \"w\""), std::string::npos) << log;
    EXPECT_EQ(log.find(".tmp"), std::string::npos) << log;
}

TEST_F(JobTest, TheMainFileIsCreatedWithTheStartNumberWhenLocked) {
    useOptions(4321);
    {
        brenvik::CTarvexJobIdFile file(dir.file("tarvex.job"));
        EXPECT_TRUE(file.lock());
        EXPECT_TRUE(file.lock());
    }
    EXPECT_EQ(readFile(dir.file("tarvex.job")), "4321");
    EXPECT_EQ(getNextJobNumber(false), 4322);
}

// Sixteen processes take fifty numbers each at once: none is taken twice and
// none is lost.
TEST_F(JobTest, ConcurrentProcessesTakeDistinctNumbers) {
    constexpr int kProcesses = 16, kEach = 50;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeFds[0]);
            int numbers[kEach];
            for (int i = 0; i < kEach; ++i) numbers[i] = getNextJobNumber(true);
            bool ok = write(pipeFds[1], numbers, sizeof numbers) == static_cast<ssize_t>(sizeof numbers);
            _exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    close(pipeFds[1]);
    std::vector<int> all;
    int number;
    while (read(pipeFds[0], &number, sizeof number) == static_cast<ssize_t>(sizeof number)) all.push_back(number);
    close(pipeFds[0]);
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_EQ(all.size(), static_cast<size_t>(kProcesses * kEach));
    std::set<int> distinct(all.begin(), all.end());
    EXPECT_EQ(distinct.size(), all.size());
    EXPECT_EQ(*distinct.begin(), 1);
    EXPECT_EQ(*distinct.rbegin(), kProcesses * kEach);
    // The wrap left "1    " behind; the digits were written over it.
    EXPECT_EQ(readFile(dir.file("seqfetch.job")), std::to_string(kProcesses * kEach) + "  ");
}

// ---------------------------------------------------------------------------
// Halves and slots

TEST_F(JobTest, HalfChoice) {
    struct Case {
        const char* what;
        int32_t s0, s1, c0, c1;
        const char* task;
        int half;  // -1: M27
    } cases[] = {
        {"switch to half 0", 0, 1, 0, 0, "TXLOOK", 0},
        {"switch to half 1", 1, 0, 24, 24, "TXLOOK", 1},
        {"no switch, half 0 usable", 0, 0, 24, 24, "TXLOOK", 0},
        {"no switch, half 1 usable", 1, 1, 3, 24, "TXLOOK", 1},
        {"nothing usable", 0, 0, 3, 5, "TXLOOK", -1},
        {"monitor test 0", 0, 0, 3, 5, "Monitor Test DB 0", 0},
        {"monitor test 1", 0, 1, 24, 24, "Monitor Test DB 1", 1},
    };
    ControlFileWriter writer;
    for (const Case& c : cases) {
        int e = writer.addEntry(c.what);
        writer.setNode(e, 0, brenvik::kNodeSwitchState, c.s0);
        writer.setNode(e, 1, brenvik::kNodeSwitchState, c.s1);
        writer.setNode(e, 0, brenvik::kNodeStatus, c.c0);
        writer.setNode(e, 1, brenvik::kNodeStatus, c.c1);
    }
    openControlFile(writer);
    int e = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CJobManager manager(-14);
        manager.newJob(true);
        bool ok = registerOne(manager, controlFile, {c.what}, c.task);
        EXPECT_EQ(ok, c.half >= 0);
        if (ok) {
            EXPECT_EQ(manager.getDatabaseRecord(c.what), controlFile.getRecord(e, c.half));
            EXPECT_EQ(manager.getDatabaseRecord(""), controlFile.getRecord(e, c.half));
            EXPECT_TRUE(manager.finishJob(0, 0, 0));
        } else {
            EXPECT_EQ(manager.getDatabaseRecord(c.what), nullptr);
            std::string expected = "Error [M00027 - Job " + std::to_string(manager.getJobNumber()) + " - X00861:bv_job]";
            EXPECT_NE(errorLog().find(expected), std::string::npos) << errorLog();
        }
        ++e;
    }
}

TEST_F(JobTest, SlotChoice) {
    struct Slot {
        int index;
        int32_t job;
        uint32_t end;
        const char* kind;
    };
    struct Case {
        const char* what;
        std::vector<Slot> slots;  // every other slot is running
        int chosen;               // -1: M51
    } cases[] = {
        {"free slot first, even after finished ones", {{0, 5, 500, "GET"}, {1, 6, 100, "GET"}, {40, 0, 0, ""}}, 40},
        {"GET beats other kinds, then the smallest end",
         {{3, 5, 500, "GET"}, {4, 6, 300, "TXL"}, {5, 7, 400, "GET"}},
         5},
        {"another kind when no GET is finished", {{8, 5, 900, "PST"}, {9, 6, 700, "PST"}}, 9},
        {"equal end times keep the earlier slot", {{10, 5, 400, "GET"}, {11, 6, 400, "GET"}}, 10},
        {"running slots are never taken", {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ControlFileWriter writer;
        writer.addEntry("DB");
        writer.fillRunning(0, 0);
        for (const Slot& s : c.slots) writer.setSlot(0, 0, s.index, s.job, s.end, s.kind);
        controlFile.close();
        monitor.stop();
        openControlFile(writer);
        CJobManager manager(-13);
        manager.newJob(true);
        bool ok = registerOne(manager, controlFile, {"DB"});
        EXPECT_EQ(ok, c.chosen >= 0);
        if (ok) {
            EXPECT_EQ(manager.getJobSlot("DB"), &controlFile.getRecord(0, 0)->slots[c.chosen]);
            EXPECT_EQ(ControlFileReader(controlPath()).slotsOf(0, 0, manager.getJobNumber()),
                      std::vector<int>{c.chosen});
        }
    }
}

TEST_F(JobTest, NoSlotInOneHalfUndoesTheOtherClaims) {
    ControlFileWriter writer;
    writer.addEntry("A");
    writer.addEntry("B");
    writer.fillRunning(1, 0);
    openControlFile(writer);
    CJobManager manager(-14);
    manager.newJob(true);
    EXPECT_FALSE(registerOne(manager, controlFile, {"A", "B"}));
    ControlFileReader after(controlPath());
    EXPECT_TRUE(after.slotsOf(0, 0, manager.getJobNumber()).empty());
    EXPECT_EQ(after.slot(0, 0, 0).jobNumber, 0);
    EXPECT_EQ(manager.getJobSlot("A"), nullptr);
    EXPECT_NE(errorLog().find("Error [M00051 - Job -1 - X00970:bv_job]"), std::string::npos) << errorLog();
}

TEST_F(JobTest, UnknownOrEmptyNamesClaimNothing) {
    ControlFileWriter writer;
    writer.addEntry("A");
    writer.addEntry("");  // an unused entry
    openControlFile(writer);
    const std::vector<std::vector<std::string>> requests = {{"A", "Missing"}, {""}, {"A", ""}, {"Missing"}};
    for (const auto& names : requests) {
        CJobManager manager(-14);
        manager.newJob(true);
        EXPECT_FALSE(registerOne(manager, controlFile, names)) << names.back();
        std::string expected = "Error [M00027 - Job " + std::to_string(manager.getJobNumber()) + " - X00835:bv_job]";
        EXPECT_NE(errorLog().find(expected), std::string::npos) << names.back();
        ControlFileReader after(controlPath());
        for (int e = 0; e < 2; ++e)
            for (int h = 0; h < 2; ++h) EXPECT_TRUE(after.slotsOf(e, h, manager.getJobNumber()).empty());
    }
    // Without a control file nothing is found either.
    CJobManager manager(-14);
    manager.newJob(true);
    EXPECT_FALSE(manager.registerJob({"A"}, 0, "TXLOOK", "", "0", "", "GET", 0, true));
}

// The user ID text is read as atoi reads it, with a value beyond the int
// range clamped rather than wrapped.
TEST_F(JobTest, UserIdIsTheLeadingNumberOfItsText) {
    ControlFileWriter writer;
    writer.addEntry("DB");
    openControlFile(writer);
    const struct {
        const char* text;
        int32_t userId;
    } cases[] = {{" -7x", -7}, {"abc", 0}, {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}};
    for (const auto& c : cases) {
        CJobManager manager(-14);
        manager.newJob(true);
        manager.setControlFile(&controlFile);
        ASSERT_TRUE(manager.registerJob({"DB"}, 0, "TXLOOK", "", c.text, "", "GET", 0, true)) << c.text;
        const ControlFileReader reader(controlPath());
        const std::vector<int> slots = reader.slotsOf(0, 0, manager.getJobNumber());
        ASSERT_EQ(slots.size(), 1u) << c.text;
        EXPECT_EQ(reader.slot(0, 0, slots[0]).userId, c.userId) << c.text;
    }
}

TEST_F(JobTest, ClaimFillsTheSlotAndFinishMarksIt) {
    ControlFileWriter writer;
    writer.addEntry("DB");
    writer.fillRunning(0, 0);
    // The only reusable slot still holds an earlier job's texts.
    writer.setSlot(0, 0, 12, 9, 100, "GET");
    JobSlot& old = writer.half(0, 0).slots[12];
    std::memset(old.task, 'o', sizeof old.task);
    std::memset(old.taskText, 'o', sizeof old.taskText);
    std::memset(old.description, 'o', sizeof old.description);
    std::memset(old.managerText, 'o', sizeof old.managerText);
    std::memset(old.clientAddress, 'o', sizeof old.clientAddress);
    old.result = 77;
    openControlFile(writer);

    setenv("REMOTE_ADDR", "2001:db8:0:0:0:0:0:12345", 1);
    CJobManager manager(-14);
    EXPECT_EQ(manager.getJobNumber(), -14);
    manager.newJob(true);
    manager.setControlFile(&controlFile);
    ASSERT_TRUE(manager.registerJob({"DB"}, 0, "TXLOOK", "", "42abc", "Getting taxonomy", "GETX", 5, true));
    unsetenv("REMOTE_ADDR");
    EXPECT_FALSE(manager.hasNoJob());

    const JobSlot s = ControlFileReader(controlPath()).slot(0, 0, 12);
    EXPECT_EQ(s.jobNumber, manager.getJobNumber());
    EXPECT_EQ(s.processId, static_cast<int32_t>(getpid()));
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.endTime, 0u);
    EXPECT_GT(s.startTime, 0u);
    EXPECT_EQ(s.userId, 42);
    EXPECT_EQ(s.callerNumber, 5);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.nodeIndex, 0);
    struct Field {
        const char* name;
        const char* bytes;
        size_t size;
        std::string text;
    } fields[] = {
        {"task", s.task, sizeof s.task, "TXLOOK"},
        {"taskText", s.taskText, sizeof s.taskText, ""},
        {"description", s.description, sizeof s.description, "Getting taxonomy"},
        {"managerText", s.managerText, sizeof s.managerText, ""},
        {"clientAddress", s.clientAddress, sizeof s.clientAddress, "2001:db8:0:0:0:0:0:"},
        {"requestKind", s.requestKind, sizeof s.requestKind, "GET"},
    };
    for (const Field& f : fields) {
        EXPECT_EQ(std::string(f.bytes), f.text) << f.name;
        EXPECT_EQ(std::string(f.bytes + f.text.size(), f.size - f.text.size()), std::string(f.size - f.text.size(), '\0'))
            << f.name << ": bytes of the earlier job remain";
    }

    ProcessCpuTimes times;
    ASSERT_TRUE(manager.finishJob(3, 4, 1, &times));
    EXPECT_TRUE(manager.hasNoJob());
    const JobSlot f = ControlFileReader(controlPath()).slot(0, 0, 12);
    EXPECT_EQ(f.status, 2);
    EXPECT_GE(f.endTime, f.startTime);
    EXPECT_EQ(f.percentDone, 100);
    EXPECT_EQ(f.result, 3);
    EXPECT_EQ(f.resultValue, 4);
    EXPECT_EQ(f.finishFlag, 1);
    EXPECT_EQ(f.elapsedMs, times.elapsedMs);
    EXPECT_FALSE(manager.finishJob(0, 0, 0)) << "finished twice";
}

// Every slot of the half is running. A slot whose process is gone counts as
// finished at its start time, but only on this node and only when no process
// carries the ID; a live process keeps its slot whatever it runs.
TEST_F(JobTest, SlotsOfProcessesThatNoLongerExist) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    const int32_t live = static_cast<int32_t>(getpid());
    struct Case {
        const char* what;
        int32_t pid5, node5, pid9, node9;
        int chosen;  // -1: M51
    } cases[] = {
        {"gone on this node", dead, 0, live, 0, 5},
        {"the one that started first of two gone", dead, 0, dead, 0, 9},
        {"gone, but another node's", dead, 3, live, 0, -1},
        {"alive", live, 0, live, 0, -1},
        {"no process ID", 0, 0, -1, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ControlFileWriter writer;
        writer.addEntry("DB");
        writer.fillRunning(0, 0);
        for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i) {
            JobSlot& slot = writer.half(0, 0).slots[i];
            slot.processId = live;
            slot.startTime = 5000;
        }
        JobSlot& s5 = writer.half(0, 0).slots[5];
        JobSlot& s9 = writer.half(0, 0).slots[9];
        s5.processId = c.pid5;
        s5.nodeIndex = c.node5;
        s9.processId = c.pid9;
        s9.nodeIndex = c.node9;
        s9.startTime = 4000;
        controlFile.close();
        monitor.stop();
        ::unlink(dir.file("monitor.log").c_str());
        openControlFile(writer);
        CJobManager manager(-13);
        manager.newJob(true);
        const bool ok = registerOne(manager, controlFile, {"DB"});
        EXPECT_EQ(ok, c.chosen >= 0);
        const std::string monitorLog =
            tarvex_test::pathExists(dir.file("monitor.log")) ? readFile(dir.file("monitor.log")) : "";
        if (ok) {
            EXPECT_EQ(ControlFileReader(controlPath()).slotsOf(0, 0, manager.getJobNumber()),
                      std::vector<int>{c.chosen});
            EXPECT_NE(monitorLog.find("Job slot " + std::to_string(c.chosen) + " of DB reclaimed: process " +
                                      std::to_string(dead) + " of job " + std::to_string(1000 + c.chosen) +
                                      " no longer exists\n"),
                      std::string::npos)
                << monitorLog;
            EXPECT_TRUE(manager.finishJob(0, 0, 0));
        } else {
            EXPECT_EQ(monitorLog, "");
            for (int i : {5, 9}) EXPECT_EQ(ControlFileReader(controlPath()).slot(0, 0, i).jobNumber, 1000 + i);
        }
    }
}

TEST_F(JobTest, FinishAfterAnotherJobTookTheSlotWritesNothing) {
    ControlFileWriter writer;
    writer.addEntry("DB");
    openControlFile(writer);
    CJobManager manager(-13);
    manager.newJob(true);
    ASSERT_TRUE(registerOne(manager, controlFile, {"DB"}));
    JobSlot* slot = manager.getJobSlot("DB");
    ASSERT_NE(slot, nullptr);
    brenvik::storeField(slot->jobNumber, 987654);
    EXPECT_FALSE(manager.finishJob(0, 0, 0));
    EXPECT_EQ(slot->status, 1);
    EXPECT_EQ(slot->endTime, 0u);
    EXPECT_EQ(slot->percentDone, 0);
}

// Sixteen processes claim and finish slots at once: no slot is held by two
// running jobs, and every claim is finished.
TEST_F(JobTest, ConcurrentClaimsNeverShareASlot) {
    constexpr int kProcesses = 16, kRounds = 15;
    ControlFileWriter writer;
    writer.addEntry("DB");
    writer.addEntry("NT");
    openControlFile(writer);
    controlFile.close();
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int failures = 0;
            bv_controlfile cf;
            try {
                cf.open(nullptr, false, true);
            } catch (...) {
                _exit(100);
            }
            for (int r = 0; r < kRounds; ++r) {
                CJobManager manager(-14);
                manager.newJob(true);
                if (!registerOne(manager, cf, {"DB", "NT"})) {
                    fprintf(stderr, "pid %d job %d: not registered\n", getpid(), manager.getJobNumber());
                    ++failures;
                    continue;
                }
                usleep(2000);
                for (const char* name : {"DB", "NT"}) {
                    JobSlot* s = manager.getJobSlot(name);
                    if (s == nullptr || brenvik::loadField(s->jobNumber) != manager.getJobNumber() ||
                        brenvik::loadField(s->processId) != static_cast<int32_t>(getpid())) {
                        fprintf(stderr, "pid %d job %d: slot of %s now job %d of pid %d\n", getpid(),
                                manager.getJobNumber(), name, s ? s->jobNumber : -1, s ? s->processId : -1);
                        ++failures;
                    }
                }
                if (!manager.finishJob(0, 0, 0)) {
                    fprintf(stderr, "pid %d job %d: not finished\n", getpid(), manager.getJobNumber());
                    ++failures;
                }
            }
            _exit(failures > 99 ? 99 : failures);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    ControlFileReader after(controlPath());
    for (int e = 0; e < 2; ++e) {
        int used = 0;
        for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i) {
            const JobSlot& s = after.slot(e, 0, i);
            if (s.jobNumber == 0) continue;
            ++used;
            EXPECT_EQ(s.status, 2) << "entry " << e << " slot " << i << " job " << s.jobNumber;
            EXPECT_GT(s.endTime, 0u) << "entry " << e << " slot " << i << " job " << s.jobNumber;
        }
        EXPECT_GE(used, 1);
    }
    EXPECT_EQ(std::atoi(readFile(dir.file("seqfetch.job")).c_str()), kProcesses * kRounds);
}

// ---------------------------------------------------------------------------
// A fatal report on the command line ends the process inside the reporter;
// the registered job is finished before, with the message number as result.

namespace {

// Runs body in a child with the reporter's command-line defaults (exit on a
// fatal report); returns the child's exit status, or -1.
template <class Body>
int inChild(Body body) {
    pid_t child = fork();
    if (child == 0) {
        errorReporter.exitOnFatal = true;
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(JobTest, AFatalReportFinishesTheRegisteredJob) {
    ControlFileWriter writer;
    writer.addEntry("DB");
    writer.addEntry("NT");
    openControlFile(writer);
    int status = inChild([&] {
        CJobManager manager(-14);
        manager.newJob(true);
        if (!registerOne(manager, controlFile, {"DB", "NT"})) _exit(1);
        errorReporter.report(12, manager.getJobNumber(), 473, "taxfetch", "x", "r", "gone");
        _exit(2);  // not reached
    });
    EXPECT_EQ(status, 13);
    ControlFileReader after(controlPath());
    for (int e = 0; e < 2; ++e) {
        const JobSlot& s = after.slot(e, 0, 0);
        EXPECT_EQ(s.jobNumber, 1);
        EXPECT_EQ(s.status, 2);
        EXPECT_GT(s.endTime, 0u);
        EXPECT_EQ(s.result, 12);
        EXPECT_EQ(s.percentDone, 100);
    }
}

TEST_F(JobTest, AFatalReportAfterFinishingLeavesTheSlotAlone) {
    ControlFileWriter writer;
    writer.addEntry("DB");
    openControlFile(writer);
    int status = inChild([&] {
        CJobManager manager(-14);
        manager.newJob(true);
        if (!registerOne(manager, controlFile, {"DB"})) _exit(1);
        if (!manager.finishJob(0, 0, 0)) _exit(3);
        if (errorReporter.fatalCallback != nullptr) _exit(4);
        errorReporter.report(12, manager.getJobNumber(), 473, "taxfetch", "x", "r", "gone");
    });
    EXPECT_EQ(status, 13);
    const JobSlot s = ControlFileReader(controlPath()).slot(0, 0, 0);
    EXPECT_EQ(s.status, 2);
    EXPECT_EQ(s.result, 0);
}

TEST_F(JobTest, AFatalReportAfterTheControlFileClosedWritesNothing) {
    ControlFileWriter writer;
    writer.addEntry("DB");
    openControlFile(writer);
    int status = inChild([&] {
        CJobManager manager(-14);
        manager.newJob(true);
        if (!registerOne(manager, controlFile, {"DB"})) _exit(1);
        controlFile.close();
        errorReporter.report(12, manager.getJobNumber(), 473, "taxfetch", "x", "r", "gone");
    });
    EXPECT_EQ(status, 13);
    const JobSlot s = ControlFileReader(controlPath()).slot(0, 0, 0);
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.endTime, 0u);
}

TEST_F(JobTest, FatalRegistrationFailuresLeaveNoClaimedSlot) {
    ControlFileWriter writer;
    writer.addEntry("A");
    writer.addEntry("Full");
    writer.fillRunning(1, 0);
    openControlFile(writer);
    struct Case {
        std::vector<std::string> names;
        int status;
    } cases[] = {{{"A", "Missing"}, 28}, {{"A", "Full"}, 52}};
    for (const Case& c : cases) {
        int status = inChild([&] {
            CJobManager manager(-14);
            manager.newJob(true);
            registerOne(manager, controlFile, c.names);
        });
        EXPECT_EQ(status, c.status);
        ControlFileReader after(controlPath());
        EXPECT_EQ(after.slot(0, 0, 0).jobNumber, 0) << c.names.back();
    }
}
