#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/bv_filesystem.h"
#include "common/file_utils.h"
#include "common/log_files.h"
#include "pal/system_text.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

using tarvex_test::TempDir;
using tarvex_test::writeFile;

namespace {

// Whether another open file description could lock the region now.
bool regionFree(const std::string& path, int64_t offset, int64_t length, short type = F_WRLCK) {
    int fd = open(path.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    bool ok = fcntl(fd, F_OFD_SETLK, &fl) == 0;
    close(fd);
    return ok;
}

// Runs body in a child process; returns its exit status.
template <typename F>
int inChild(F body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

}  // namespace

TEST(FileLock, HeldRangeRefusedElsewhereAndSurvivesClosingOtherDescriptors) {
    TempDir dir("lock");
    std::string path = dir.file("log.txt");
    writeFile(path, "0123456789");
    int fd = fileOpen(path.c_str(), false);
    ASSERT_GE(fd, 3);
    ASSERT_EQ(fileSeek(fd, 7, 0), 7);
    ASSERT_EQ(lockFileRegion(fd, 0, 4, path.c_str(), true), 0);
    EXPECT_EQ(fileSeek(fd, 0, 1), 7) << "the lock keeps the file position";

    // Closing another descriptor of the same file in the holder keeps the lock.
    int other = open(path.c_str(), O_RDONLY);
    close(other);
    EXPECT_EQ(inChild([&] { return regionFree(path, 0, 4) ? 1 : 0; }), 0) << "another process got the held range";
    EXPECT_EQ(inChild([&] { return regionFree(path, 4, 4) ? 0 : 1; }), 0) << "bytes outside the range are free";

    // A waiter gets the range once the holder lets go in the middle of its
    // tries.
    {
        tarvex_test::FakeClock clock;
        clock.onPause = [&](int64_t elapsed) {
            if (elapsed >= 1500 && fd >= 0) {
                EXPECT_EQ(unlockFileRegion(fd, 0, 4, path.c_str(), true), 0);
                fileClose(fd);
                fd = -1;
            }
        };
        int waiter = fileOpen(path.c_str(), false);
        EXPECT_EQ(lockFileRegion(waiter, 0, 4, path.c_str(), true), 0) << "the retry did not get the released range";
        EXPECT_EQ(fd, -1) << "got the range while it was held";
        fileClose(waiter);
    }
    if (fd >= 0) fileClose(fd);
}

TEST(FileLock, GivesUpAfterTenTriesOneSecondApart) {
    TempDir dir("lock");
    std::string path = dir.file("log.txt");
    writeFile(path, "x");
    int fd = fileOpen(path.c_str(), false);
    ASSERT_EQ(lockFileRegion(fd, 0, 4, path.c_str(), true), 0);
    int waiter = fileOpen(path.c_str(), false);
    tarvex_test::FakeClock clock;
    EXPECT_EQ(lockFileRegion(waiter, 0, 4, path.c_str(), true), -1);
    // As long as ten tries one second apart take, tried every few
    // milliseconds meanwhile.
    EXPECT_GE(clock.elapsedMs(), 9000);
    EXPECT_LT(clock.elapsedMs(), 9100);
    EXPECT_GT(clock.pauses(), 100);
    fileClose(waiter);
    fileClose(fd);
}

// The holder lets go after 300 ms: the waiter gets the range soon after, not
// at the next whole second.
TEST(FileLock, AShortHoldDelaysAWaiterOnlyAsLongAsItLasts) {
    TempDir dir("lock");
    std::string path = dir.file("job");
    writeFile(path, "1");
    int holder = fileOpen(path.c_str(), false);
    ASSERT_EQ(lockFileRegion(holder, 0, 4, path.c_str(), true), 0);
    EXPECT_FALSE(regionFree(path, 0, 4)) << "the holder has the range";
    int fd = fileOpen(path.c_str(), false);
    tarvex_test::FakeClock clock;
    int64_t released = -1;
    clock.onPause = [&](int64_t elapsed) {
        if (elapsed >= 300 && released < 0) {
            EXPECT_EQ(unlockFileRegion(holder, 0, 4, path.c_str(), true), 0);
            released = elapsed;
        }
    };
    EXPECT_EQ(lockFileRegion(fd, 0, 4, path.c_str(), true), 0);
    ASSERT_GE(released, 300);
    EXPECT_LT(clock.elapsedMs() - released, 50);
    fileClose(fd);
    fileClose(holder);
}

TEST(FileLock, ReadOnlyDescriptorsShareAndBadDescriptorsFail) {
    TempDir dir("lock");
    std::string path = dir.file("data");
    writeFile(path, "abcd");
    int fd = fileOpen(path.c_str(), true);
    ASSERT_EQ(lockFileRegion(fd, 0, 4, path.c_str(), true), 0);
    EXPECT_TRUE(regionFree(path, 0, 4, F_RDLCK));
    EXPECT_FALSE(regionFree(path, 0, 4, F_WRLCK));
    EXPECT_EQ(unlockFileRegion(fd, 0, 4, path.c_str(), true), 0);
    EXPECT_TRUE(regionFree(path, 0, 4, F_WRLCK));
    fileClose(fd);
    EXPECT_EQ(lockFileRegion(fd, 0, 4, path.c_str(), true), -1);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(lockFileRegion(fds[0], 0, 4, "pipe", true), -1);
    close(fds[0]);
    close(fds[1]);
}

namespace {
struct Line {
    std::string text;
    bool lineEnd;
};

std::vector<Line> readAll(const std::string& path, size_t size, bool skip) {
    int fd = fileOpen(path.c_str(), true);
    std::vector<Line> lines;
    std::vector<char> buf(size + 8, '#');
    for (int guard = 0; guard < 100; ++guard) {
        bool lineEnd = false, eof = false;
        int n = fileReadLine(fd, buf.data(), size, lineEnd, skip, eof);
        for (size_t i = size; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << "wrote past the buffer";
        if (eof) {
            EXPECT_EQ(n, 0);
            break;
        }
        EXPECT_EQ(static_cast<size_t>(n), std::strlen(buf.data()));
        lines.push_back({buf.data(), lineEnd});
    }
    fileClose(fd);
    return lines;
}
}  // namespace

TEST(FileReadLine, LineEndsSkippingAndPieces) {
    const struct {
        const char* name;
        std::string content;
        size_t size;
        bool skip;
        std::vector<Line> expected;
    } cases[] = {
        {"lf", "a\nbc\n", 64, false, {{"a", true}, {"bc", true}}},
        {"crlf", "a\r\nbc\r\n", 64, false, {{"a", true}, {"bc", true}}},
        {"lone cr keeps first byte after empty line", "a\r\rb\r", 64, false, {{"a", true}, {"", true}, {"b", true}}},
        {"last line without end", "a\nlast", 64, false, {{"a", true}, {"last", false}}},
        {"skip empty and comments", "\n#c\n;d\r\n\r\ndata\n", 64, true, {{"data", true}}},
        {"comments kept without skip", "#c\n\n", 64, false, {{"#c", true}, {"", true}}},
        {"long line in pieces", "abcdefg\nh\n", 4, false, {{"abc", false}, {"def", false}, {"g", true}, {"h", true}}},
        {"cr at end of read area", "abc\r\nd\n", 4, false, {{"abc", false}, {"", true}, {"d", true}}},
        {"cr lf split by buffer", "ab\r\nd\n", 4, false, {{"ab", true}, {"d", true}}},
        {"empty file", "", 64, true, {}},
    };
    TempDir dir("lines");
    for (const auto& c : cases) {
        std::string path = dir.file("f.txt");
        writeFile(path, c.content);
        std::vector<Line> got = readAll(path, c.size, c.skip);
        ASSERT_EQ(got.size(), c.expected.size()) << c.name;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].text, c.expected[i].text) << c.name << " line " << i;
            EXPECT_EQ(got[i].lineEnd, c.expected[i].lineEnd) << c.name << " line " << i;
        }
    }
}

TEST(FileReadLine, PositionContractTinyBuffersAndFailedReads) {
    TempDir dir("lines");
    std::string path = dir.file("f.txt");
    writeFile(path, "first\r\nsecond\n");
    int fd = fileOpen(path.c_str(), true);
    char buf[32];
    bool lineEnd = false, eof = false;
    EXPECT_EQ(fileReadLine(fd, buf, sizeof buf, lineEnd, false, eof), 5);
    EXPECT_EQ(fileSeek(fd, 0, 1), 7) << "next call starts at the next line";
    char one[2] = {'#', '#'};
    EXPECT_EQ(fileReadLine(fd, one, 1, lineEnd, false, eof), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(one[1], '#');
    EXPECT_TRUE(eof);
    EXPECT_EQ(fileReadLine(fd, one + 1, 0, lineEnd, false, eof), 0);
    EXPECT_EQ(one[1], '#');
    EXPECT_EQ(fileSeek(fd, 0, 1), 7) << "a tiny buffer consumes nothing";
    fileClose(fd);

    // A descriptor open for writing only cannot be read: end of file, 0 bytes.
    int wfd = open(path.c_str(), O_WRONLY);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(fileReadLine(wfd, buf, sizeof buf, lineEnd, true, eof), 0);
    EXPECT_TRUE(eof);
    EXPECT_FALSE(lineEnd);
    EXPECT_EQ(buf[0], '\0');
    close(wfd);
}

TEST(FileUtils, ExistsSizeSeekOpen) {
    TempDir dir("futil");
    std::string path = dir.file("Data.txt");
    writeFile(path, "0123456789");
    EXPECT_TRUE(fileExists(path.c_str()));
    EXPECT_TRUE(fileExists(path.c_str(), true));
    EXPECT_FALSE(fileExists(dir.file("data.txt").c_str(), true)) << "names differ in case";
    EXPECT_FALSE(fileExists(dir.file("missing").c_str()));
    EXPECT_TRUE(fileExists(dir.path().c_str()));

    EXPECT_EQ(fileSize(path.c_str()), 10);
    EXPECT_EQ(fileSize(dir.file("missing").c_str()), 0);
    EXPECT_EQ(fileSize(dir.path().c_str()), 0);

    int fd = fileOpen(path.c_str(), true);
    ASSERT_GE(fd, 3);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptors must not leak into the mail program";
    const struct {
        int64_t offset;
        int origin;
        int64_t result;
    } seeks[] = {{4, 0, 4}, {2, 1, 6}, {-1, 2, 9}, {3, 7, 3}, {-20, 0, -1}};
    for (const auto& s : seeks) EXPECT_EQ(fileSeek(fd, s.offset, s.origin), s.result) << s.origin;
    char buf[4];
    EXPECT_EQ(fileSeek(fd, 8, 0), 8);
    EXPECT_EQ(fileRead(fd, buf, sizeof buf), 2);
    EXPECT_EQ(fileClose(fd), 0);

    // Writing truncates; a missing folder fails.
    int wfd = fileOpen(path.c_str(), false);
    ASSERT_GE(wfd, 3);
    EXPECT_EQ(fileSize(path.c_str()), 0);
    fileClose(wfd);
    char text[64] = "unchanged";
    EXPECT_EQ(fileOpen(dir.file("no/such").c_str(), true, text, sizeof text), -1);
    EXPECT_EQ(fileOpenStream(dir.file("no/such").c_str(), "r", false), nullptr);
    FILE* f = fileOpenStream(path.c_str(), "a+t", false);
    ASSERT_NE(f, nullptr);
    EXPECT_GE(fileno(f), 3);
    EXPECT_NE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
    fclose(f);
}

TEST(FileUtils, NeverOpensOnStandardStreams) {
    TempDir dir("futil");
    std::string path = dir.file("x");
    writeFile(path, "x");
    int status = inChild([&] {
        close(0);
        close(1);
        close(2);
        int fd = fileOpen(path.c_str(), true);
        FILE* f = fileOpenStream(path.c_str(), "r", false);
        return fd >= 3 && f && fileno(f) >= 3 && fcntl(0, F_GETFD) == -1 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST(FileUtils, OpeningWithoutFollowingALink) {
    TempDir dir("nofollow");
    writeFile(dir.file("real/file"), "content");
    ASSERT_EQ(symlink("real", dir.file("linked-folder").c_str()), 0);
    ASSERT_EQ(symlink("real/file", dir.file("link").c_str()), 0);
    ASSERT_EQ(symlink("real/none", dir.file("dangling").c_str()), 0);
    const struct {
        const char* name;
        int flags;
        int error;  // 0: opens
    } cases[] = {
        {"real/file", O_RDONLY, 0},
        {"linked-folder/file", O_WRONLY | O_APPEND, 0},  // a folder may be a link
        {"link", O_RDONLY, ELOOP},
        {"link", O_WRONLY | O_APPEND, ELOOP},
        {"dangling", O_WRONLY | O_CREAT, ELOOP},
        {"dangling", O_WRONLY | O_CREAT | O_EXCL, EEXIST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.flags));
        errno = 0;
        const int fd = fileOpenNoFollow(dir.file(c.name).c_str(), c.flags);
        if (c.error == 0) {
            EXPECT_GE(fd, 3);
            EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
            close(fd);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, c.error);
        }
    }
    EXPECT_FALSE(fileExists(dir.file("real/none").c_str()));
    char text[256];
    EXPECT_EQ(fileOpen(dir.file("link").c_str(), false, text, sizeof text), -1);
    EXPECT_NE(std::string(text).find("Too many levels of symbolic links"), std::string::npos) << text;
    EXPECT_EQ(tarvex_test::readFile(dir.file("real/file")), "content");
}

// A file written in place whose name is not all it is: a second name, or
// an owner who could not have created it in its folder. Reading is not
// writing in place; a refused open cuts nothing.
TEST(FileUtils, WritingInPlaceRefusesASecondNameOrAnotherUsersFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "files of other users need root to make";
    const struct passwd* entry = ::getpwnam("www-data");
    const struct passwd webEntry = entry ? *entry : passwd{};
    entry = ::getpwnam("nobody");
    const struct passwd nobodyEntry = entry ? *entry : passwd{};
    if (webEntry.pw_name == nullptr || nobodyEntry.pw_name == nullptr)
        GTEST_SKIP() << "no users www-data and nobody on this system";
    const struct passwd* web = &webEntry;
    const struct passwd* nobody = &nobodyEntry;
    TempDir dir("inplace");
    // Folders as the package lays them out (the web server's group may
    // write) and as given to one user; the files as others left them.
    const auto folder = [&](const char* name, uid_t uid, gid_t gid, mode_t mode) {
        const std::string path = dir.file(name);
        ASSERT_EQ(::mkdir(path.c_str(), mode), 0);
        ASSERT_EQ(::chown(path.c_str(), uid, gid), 0);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    };
    folder("shared", 0, web->pw_gid, 02775);
    folder("closed", 0, web->pw_gid, 0755);
    folder("given", nobody->pw_uid, nobody->pw_gid, 0755);
    const auto file = [&](const char* name, uid_t uid) {
        writeFile(dir.file(name), "content");
        ASSERT_EQ(::chown(dir.file(name).c_str(), uid, static_cast<gid_t>(-1)), 0);
    };
    file("shared/own", 0);
    file("shared/linked", 0);
    ASSERT_EQ(::link(dir.file("shared/linked").c_str(), dir.file("elsewhere").c_str()), 0);
    file("shared/web", web->pw_uid);
    file("shared/nobody", nobody->pw_uid);
    file("closed/web", web->pw_uid);
    file("given/nobody", nobody->pw_uid);
    const struct {
        const char* name;
        int flags;
        uint32_t error;  // 0: opens
    } cases[] = {
        {"shared/own", O_WRONLY | O_TRUNC, 0},
        {"shared/linked", O_WRONLY | O_TRUNC, NARROW_CHAR_PAL::kErrorFileHardLinked},
        {"shared/linked", O_RDONLY, 0},
        {"shared/web", O_WRONLY | O_APPEND, 0},  // a member of the folder's group
        {"shared/nobody", O_RDWR, NARROW_CHAR_PAL::kErrorFileOtherOwner},
        {"shared/nobody", O_RDONLY, 0},
        {"closed/web", O_RDWR, NARROW_CHAR_PAL::kErrorFileOtherOwner},  // the group may not write there
        {"given/nobody", O_RDWR, 0},                                      // the folder's owner
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.flags));
        errno = 0;
        const int fd = fileOpenInPlace(dir.file(c.name).c_str(), c.flags);
        if (c.error == 0) {
            EXPECT_GE(fd, 3);
            close(fd);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(static_cast<uint32_t>(errno), c.error) << getSystemErrorText(static_cast<uint32_t>(errno));
            if (fd >= 0) close(fd);
        }
    }
    EXPECT_EQ(tarvex_test::readFile(dir.file("shared/own")), "");
    EXPECT_EQ(tarvex_test::readFile(dir.file("elsewhere")), "content");
    EXPECT_EQ(getSystemErrorText(NARROW_CHAR_PAL::kErrorFileHardLinked), "File has more than one link (a hard link)");
    EXPECT_EQ(getSystemErrorText(NARROW_CHAR_PAL::kErrorFileOtherOwner), "File belongs to another user");
}

// What a file to be read may be: a regular file, reached through links of
// root or of the user reading only; a link of anyone else is refused as a
// link, a folder as a folder, anything else as "Not a regular file" whether
// the open itself refuses it (a socket) or the check after it (a device, a
// FIFO). The FIFO and the FIFO opened for writing would stop the open for
// good.
TEST(FileUtils, ReadingFollowsOnlyOwnLinksToRegularFiles) {
    constexpr int kNotRegular = static_cast<int>(NARROW_CHAR_PAL::kErrorFileNotRegular);
    TempDir dir("reading");
    writeFile(dir.file("real/file"), "content");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mknod(dir.file("socket").c_str(), S_IFSOCK | 0600, 0), 0);
    ASSERT_EQ(symlink("real", dir.file("linked-folder").c_str()), 0);
    ASSERT_EQ(symlink("real/file", dir.file("own-link").c_str()), 0);
    ASSERT_EQ(symlink("own-link", dir.file("own-chain").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("real/file").c_str(), dir.file("absolute").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("device").c_str()), 0);
    ASSERT_EQ(symlink("real/none", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(symlink("loop", dir.file("loop").c_str()), 0);
    ASSERT_EQ(symlink("real/file", dir.file("foreign-link").c_str()), 0);
    ASSERT_EQ(symlink("foreign-link", dir.file("chain-to-foreign").c_str()), 0);
    // Another user's links: only root can give a link away.
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(lchown(dir.file("foreign-link").c_str(), 33, 33), 0);
    }
    const struct {
        const char* name;
        int error;  // 0: opens
    } cases[] = {
        {"real/file", 0},      {"linked-folder/file", 0}, {"own-link", 0},          {"own-chain", 0},
        {"absolute", 0},       {"device", kNotRegular},   {"fifo", kNotRegular},    {"socket", kNotRegular},
        {"real", EISDIR},      {"dangling", ENOENT},      {"loop", ELOOP},          {"foreign-link", ELOOP},
        {"chain-to-foreign", ELOOP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!root && std::string(c.name).find("foreign") != std::string::npos) continue;
        errno = 0;
        const int fd = fileOpenForReading(dir.file(c.name).c_str());
        if (c.error == 0) {
            ASSERT_GE(fd, 3);
            EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
            EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
            char text[8] = {};
            EXPECT_EQ(read(fd, text, sizeof text), 7);
            EXPECT_STREQ(text, "content");
            close(fd);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, c.error);
        }
    }
    // Written files, and the helpers that read, refuse the same way.
    for (const char* planted : {"fifo", "socket"}) {
        SCOPED_TRACE(planted);
        errno = 0;
        EXPECT_EQ(fileOpenNoFollow(dir.file(planted).c_str(), O_WRONLY | O_APPEND), -1);
        EXPECT_EQ(errno, kNotRegular);
    }
    const int reader = open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    errno = 0;
    EXPECT_EQ(fileOpenNoFollow(dir.file("fifo").c_str(), O_WRONLY | O_APPEND), -1);
    EXPECT_EQ(errno, kNotRegular);
    close(reader);
    errno = 0;
    EXPECT_EQ(fileOpenNoFollow(dir.file("real").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, EISDIR);
    char text[256];
    EXPECT_EQ(fileOpen(dir.file("device").c_str(), true, text, sizeof text), -1);
    EXPECT_NE(std::string(text).find("Error Not a regular file"), std::string::npos) << text;
    EXPECT_EQ(fileOpenStream(dir.file("fifo").c_str(), "r", false), nullptr);
    std::FILE* stream = fileOpenStream(dir.file("own-chain").c_str(), "rb", false);
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);
}

TEST(FileUtils, TemporariesAreNewFilesUnderUnguessableNames) {
    TempDir dir("temp");
    const std::string prefix = dir.file("job.tmp");
    const mode_t saved = umask(022);
    std::string first, second;
    const int a = fileCreateTemporary(prefix, first);
    const int b = fileCreateTemporary(prefix, second);
    umask(saved);
    ASSERT_GE(a, 3);
    ASSERT_GE(b, 3);
    EXPECT_NE(first, second);
    for (const std::string* name : {&first, &second}) {
        EXPECT_EQ(name->rfind(prefix, 0), 0u) << *name;
        EXPECT_EQ(name->size(), prefix.size() + 6);
        struct stat st;
        ASSERT_EQ(lstat(name->c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0644u) << "what any new file gets";
    }
    EXPECT_NE(fcntl(a, F_GETFD) & FD_CLOEXEC, 0);
    close(a);
    close(b);
    std::string none;
    EXPECT_EQ(fileCreateTemporary(dir.file("no/such/") + "x", none), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileReadLine, PiecesRejoinToTheLinesOfRandomFiles) {
    // Whatever the buffer size, joining the pieces up to each line end gives
    // back the file's lines, and nothing is written past the buffer.
    TempDir dir("lines");
    std::string path = dir.file("r.txt");
    unsigned seed = 12345;
    auto rnd = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    const char alphabet[] = {'a', 'b', '\r', '\n', '#', ';'};
    for (int round = 0; round < 200; ++round) {
        std::string content;
        size_t len = rnd() % 40;
        for (size_t i = 0; i < len; ++i) content += alphabet[rnd() % sizeof alphabet];
        std::vector<std::string> expected;
        std::string cur;
        bool open = false;
        for (size_t i = 0; i < content.size(); ++i) {
            char c = content[i];
            if (c == '\r' || c == '\n') {
                expected.push_back(cur);
                cur.clear();
                open = false;
                if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
            } else {
                cur += c;
                open = true;
            }
        }
        if (open) expected.push_back(cur);
        writeFile(path, content);
        size_t size = 2 + rnd() % 7;
        std::vector<Line> pieces = readAll(path, size, false);
        std::vector<std::string> joined;
        std::string acc;
        bool pending = false;
        for (const auto& p : pieces) {
            EXPECT_LE(p.text.size(), size - 1);
            acc += p.text;
            pending = true;
            if (p.lineEnd) {
                joined.push_back(acc);
                acc.clear();
                pending = false;
            }
        }
        if (pending) joined.push_back(acc);
        ASSERT_EQ(joined, expected) << "size " << size << " content " << testing::PrintToString(content);
    }
}

TEST(FileUtils, BackslashesOfConfiguredPathsOpenTheSameFiles) {
    // Configurations written for the server's other platform separate folders
    // with "\"; every opener takes that path to the same file as with "/".
    TempDir dir("futil");
    writeFile(dir.file("sub/data.txt"), "abc");
    const std::string back = dir.path() + "\\sub\\data.txt";
    EXPECT_TRUE(fileExists(back.c_str()));
    EXPECT_EQ(fileSize(back.c_str()), 3);
    int fd = fileOpen(back.c_str(), true);
    ASSERT_GE(fd, 3);
    fileClose(fd);
    FILE* f = fileOpenStream(back.c_str(), "r", false);
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_TRUE(brenvik::bv_filesystem::exists(back));
    EXPECT_TRUE(brenvik::bv_filesystem::isDirectory(dir.path() + "\\sub"));
    EXPECT_EQ(brenvik::bv_filesystem::getSize(back, nullptr), 3);

    const std::string log = dir.path() + "\\sub\\log.txt";
    EXPECT_TRUE(appendLogEntry(log, "entry\n", true));
    EXPECT_EQ(tarvex_test::readFile(dir.file("sub/log.txt")), "entry\n");
}
