#include "config/bv_configsource.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/bv_errs.h"
#include "common/io_utils.h"
#include "config/bv_configfetcher.h"
#include "http/compressed_buffer.h"
#include "support/http_test_server.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using namespace brenvik;
using tarvex_test::HttpReply;
using tarvex_test::HttpRequest;
using tarvex_test::HttpTestServer;
using tarvex_test::httpReply;

TEST(ConfigSource, ClassifyFileName) {
    struct {
        const char* name;
        int kind;
    } cases[] = {
        {nullptr, 0},
        {"abc", 0},
        {"../config/tarvex.dat", 1},
        {"C:/x/unimod.XML", 2},
        {"HTTP://host/cgi", 3},
        {"https://host/cgi", 3},
        {"http://host/unimod.xml", 4},
        {"httpx://host", 1},
        {"xml", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(classifyFileName(c.name), c.kind) << (c.name ? c.name : "null");
    EXPECT_EQ(toBackslashPath(nullptr), "");
    EXPECT_EQ(toBackslashPath("../config/iam.dat"), "../config/iam.dat");
    EXPECT_EQ(osPath("..\\config\\iam.dat"), "../config/iam.dat");
}

std::vector<std::string> readAll(bv_configsource& src) {
    std::vector<std::string> lines;
    std::string line;
    while (src.readLine(line)) lines.push_back(line);
    return lines;
}

TEST(ConfigSource, LinesOfALocalFile) {
    tarvex_test::TempDir dir;
    const std::string longLine(1200, 'L');
    tarvex_test::writeFile(dir.file("t.dat"), "  first\r\n\tsecond \r\r\n\n" + longLine + "\r\nafter long\nlast");
    bv_errs errs;
    bv_connectionsettings settings;
    bv_configsource src(&errs, settings);
    ASSERT_TRUE(src.open(dir.file("t.dat"), CONFIG_MAIN));
    std::vector<std::string> lines = readAll(src);
    std::vector<std::string> expected = {"first", "second \r", "", std::string(998, 'L'), "after long", "last"};
    EXPECT_EQ(lines, expected);
    // The long line is cut and reported; the file is read on.
    ASSERT_EQ(errs.getNumberOfErrors(), 1);
    EXPECT_EQ(errs.getErrorNumber(1), 1561);
    EXPECT_NE(errs.getErrorString(1).find(dir.file("t.dat")), std::string::npos);
    EXPECT_TRUE(errs.isValid());
    std::string more;
    EXPECT_FALSE(src.readLine(more));
}

TEST(ConfigSource, CharacterBufferForm) {
    tarvex_test::TempDir dir;
    tarvex_test::writeFile(dir.file("t.dat"), " \t key value\r\n");
    bv_errs errs;
    bv_configsource src(&errs, bv_connectionsettings());
    ASSERT_TRUE(src.open(dir.file("t.dat"), CONFIG_MAIN));
    char buffer[999];
    int length = 0;
    char* cursor = nullptr;
    ASSERT_TRUE(src.readLine(buffer, sizeof buffer, length, cursor));
    EXPECT_EQ(length, 12);
    EXPECT_STREQ(cursor, "key value");
    EXPECT_FALSE(src.readLine(buffer, sizeof buffer, length, cursor));
}

TEST(ConfigSource, MissingFile) {
    tarvex_test::TempDir dir;
    bv_errs errs;
    bv_configsource src(&errs, bv_connectionsettings());
    EXPECT_FALSE(src.open(dir.file("none.dat"), CONFIG_MAIN));
    EXPECT_FALSE(errs.isValid());
    EXPECT_EQ(errs.getLastError(), 256);
    EXPECT_NE(errs.getLastErrorString().find("none.dat for r"), std::string::npos);
    std::string line;
    EXPECT_FALSE(src.readLine(line));

}

// tarvex.dat lies in config/, which administrators may lay out with links:
// a link is followed. Nothing planted in its place stops or floods the run:
// a FIFO is read without waiting for a writer (the read used to wait for
// ever), and a file beyond any configuration is refused with message 256 and
// the system's reason instead of being read whole into memory.
TEST(ConfigSource, LocalFileMayBeALinkButNeverWaitsNorFloods) {
    tarvex_test::TempDir dir;
    tarvex_test::writeFile(dir.file("real.dat"), "Databases\nend\n");
    ASSERT_EQ(::symlink("real.dat", dir.file("tarvex.dat").c_str()), 0);
    {
        bv_errs errs;
        bv_configsource src(&errs, bv_connectionsettings());
        ASSERT_TRUE(src.open(dir.file("tarvex.dat"), CONFIG_MAIN)) << errs.getLastErrorString();
        EXPECT_EQ(readAll(src), (std::vector<std::string>{"Databases", "end"}));
    }
    {
        // Sparse: one byte over the bound costs no disk.
        const std::string big = dir.file("big.dat");
        const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kMaxConfigurationFile) + 1), 0);
        ::close(fd);
        bv_errs errs;
        bv_configsource src(&errs, bv_connectionsettings());
        EXPECT_FALSE(src.open(big, CONFIG_MAIN));
        EXPECT_EQ(errs.getLastError(), 256);
        EXPECT_NE(errs.getLastErrorString().find("big.dat for r"), std::string::npos) << errs.getLastErrorString();
        EXPECT_NE(errs.getLastErrorString().find("File too large"), std::string::npos) << errs.getLastErrorString();
    }
    // In a child, so that a read that waits is ended by the alarm rather
    // than holding up the suite.
    const std::string fifo = dir.file("fifo.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(30);
        bv_errs errs;
        bv_configsource src(&errs, bv_connectionsettings());
        std::string line;
        ::_exit(src.open(fifo, CONFIG_MAIN) && !src.readLine(line) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "the read waited on the FIFO (signal " << WTERMSIG(status) << ")";
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

std::string compressedBody(const std::string& text) { return CompressedBuffer(false, text).getCompressed(); }

HttpReply settingsScript(const HttpRequest& r) {
    std::string t = r.target;
    if (t.rfind("/cgi/show_settings.pl?Show=BV_TARVEX_DAT", 0) == 0)
        return httpReply(200, "OK", "Databases\r\nend\r\n" + t + "\n");
    if (t == "/cgi/show_settings.pl?Show=BV_UNIMODXML_COMPRESSED")
        return httpReply(200, "OK", compressedBody("<unimod>\n</unimod>\n"));
    if (t == "/bad/show_settings.pl?Show=BV_UNIMODXML_COMPRESSED")
        return httpReply(200, "OK", std::string("\x10\x00\x00\x00", 4) + "no zlib here");
    if (t.rfind("/cgi/show_settings.pl?Show=", 0) == 0) return httpReply(200, "OK", t.substr(27) + "\n");
    return httpReply(404, "Not Found", "");
}

TEST(ConfigSource, SettingsScriptKinds) {
    HttpTestServer server(settingsScript);
    tarvex_test::ScopedEnvironment noProxy("no_proxy", std::string("*"));
    const std::string base = server.baseUrl() + "/cgi";
    struct Case {
        int kind;
        bool flag;
        const char* sessionID;
        std::string base;
        std::vector<std::string> lines;
    } cases[] = {
        {1, false, "", base, {"Databases", "end", "/cgi/show_settings.pl?Show=BV_TARVEX_DAT"}},
        {1, false, "", base + "/", {"Databases", "end", "/cgi/show_settings.pl?Show=BV_TARVEX_DAT"}},
        {1, false, "ab c&d", base,
         {"Databases", "end", "/cgi/show_settings.pl?Show=BV_TARVEX_DAT&sessionID=ab%20c%26d"}},
        {2, false, "", base, {"BV_ENZYMES"}},
        {3, false, "", base, {"BV_FRAGMENTATION_RULES"}},
        {4, false, "", base, {"BV_MASSES"}},
        {5, false, "", base, {"BV_MOD_FILE"}},
        {5, true, "", base, {"BV_SUBSTITUTIONS"}},
        {6, false, "", base, {"<unimod>", "</unimod>"}},
        {7, false, "", base, {"BV_TAXONOMY"}},
    };
    for (const Case& c : cases) {
        bv_errs errs;
        bv_connectionsettings settings(c.sessionID, "", "", "");
        bv_configsource src(&errs, settings);
        ASSERT_TRUE(src.open(c.base, c.kind, c.flag)) << c.kind << " " << errs.getLastErrorString();
        EXPECT_EQ(readAll(src), c.lines) << c.kind;
        EXPECT_EQ(errs.getNumberOfErrors(), 0) << c.kind;
    }
}

TEST(ConfigSource, FailedFetches) {
    HttpTestServer server(settingsScript);
    tarvex_test::ScopedEnvironment noProxy("no_proxy", std::string("*"));
    tarvex_test::RefusedPort refused;
    struct Case {
        const char* what;
        std::string base;
        int kind;
        int message;
    } cases[] = {
        {"short URL", "http://", 1, 2306},
        {"404", server.baseUrl() + "/elsewhere", 1, 256},
        {"refused", "http://127.0.0.1:" + std::to_string(refused.port()) + "/cgi", 1, 6664},
        {"bad compressed body", server.baseUrl() + "/bad", 6, 5891},
        {"unknown kind", server.baseUrl() + "/cgi", 8, 256},
    };
    for (const Case& c : cases) {
        bv_errs errs;
        bv_configsource src(&errs, bv_connectionsettings());
        EXPECT_FALSE(src.open(c.base, c.kind)) << c.what;
        EXPECT_FALSE(errs.isValid()) << c.what;
        bool found = false;
        for (int i = 1; i <= errs.getNumberOfErrors(); ++i) found = found || errs.getErrorNumber(i) == c.message;
        EXPECT_TRUE(found) << c.what << ": " << errs.getLastErrorString();
    }
}

TEST(ConfigFetcher, FetchesNothingForAnInvalidOwner) {
    HttpTestServer server(settingsScript);
    tarvex_test::ScopedEnvironment noProxy("no_proxy", std::string("*"));
    bv_errs owner;
    owner.setError(1537, "");
    bv_configfetcher fetcher(&owner, nullptr);
    EXPECT_FALSE(fetcher.fetch(server.baseUrl() + "/cgi", "show_settings.pl?Show=BV_MASSES"));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(bv_configfetcher::settingsPath("BV_MASSES", ""), "show_settings.pl?Show=BV_MASSES");
}

}  // namespace
