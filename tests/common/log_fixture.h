#pragma once
// A temporary installation with cgi/ as working folder and logs/ beside it,
// so the default log paths ("../logs/...") land in the fixture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "support/temp_dir.h"

namespace tarvex_test {

class LogFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir.file("cgi/.keep"), "");
        writeFile(dir.file("logs/.keep"), "");
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        oldCwd = buf;
        ASSERT_EQ(chdir(dir.file("cgi").c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(oldCwd.c_str()), 0); }

    std::string errorLog() const { return readOrEmpty(dir.file("logs/errorlog.txt")); }
    std::string monitorLog() const { return readOrEmpty(dir.file("logs/monitor.log")); }
    std::string ipcLog() const { return readOrEmpty(dir.file("logs/IPC.log")); }
    static std::string readOrEmpty(const std::string& path) { return pathExists(path) ? readFile(path) : ""; }

    TempDir dir{"errors"};
    std::string oldCwd;
};

// Replaces the 24-character time stamps of log texts by "<time>".
inline std::string maskTimes(const std::string& text) {
    static const std::regex stamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
    return std::regex_replace(text, stamp, "<time>");
}

}  // namespace tarvex_test
