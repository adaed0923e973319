#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "request/cmdline_request.h"

namespace {

constexpr const char* kOwnName = "bv-seqfetch.exe";

// Sets QUERY_STRING for the object's life.
class QueryString {
public:
    explicit QueryString(const std::string& value) { setenv("QUERY_STRING", value.c_str(), 1); }
    ~QueryString() { unsetenv("QUERY_STRING"); }
};

std::vector<std::string> getArguments(const std::string& query) {
    QueryString env(query);
    cmdline_request request(-13);
    const char* args[cmdline_request::kMaxArguments] = {};
    int count = 0;
    request.buildArguments(kOwnName, true, &count, args, 0, nullptr);
    EXPECT_GE(count, 1);
    EXPECT_LE(count, cmdline_request::kMaxArguments);
    return std::vector<std::string>(args, args + count);
}

using Args = std::vector<std::string>;

TEST(CmdlineRequest, GetSplitsAndDecodesTheQueryString) {
    struct Case {
        std::string query;
        Args expected;
    } cases[] = {
        {"1+SwissProt+P12345", {kOwnName, "1", "SwissProt", "P12345"}},
        {"1%20db%20acc+", {kOwnName, "1", "db", "acc", ""}},
        {"a%2Bb", {kOwnName, "a+b"}},
        {"%2520", {kOwnName, "%20"}},
        {"%41%4a%6a", {kOwnName, "AJj"}},
        {"version", {kOwnName, "version"}},
        {"a++b", {kOwnName, "a", "", "b"}},
        {"", {kOwnName, ""}},
        // The first separator wins, whichever kind it is.
        {"x+y%20z", {kOwnName, "x", "y", "z"}},
        // A '%' without two characters after it inside its piece is kept.
        {"ab%4+cd%", {kOwnName, "ab%4", "cd%"}},
        {"%", {kOwnName, "%"}},
        // The digits are not checked: 'z' counts (0x5A - 55), '!' (0x21 - 48).
        {"%zz", {kOwnName, std::string(1, static_cast<char>(((0x5A - 55) * 16 + 0x5A - 55) & 0xFF))}},
        {"%00x", {kOwnName, std::string()}},
    };
    for (const Case& c : cases) EXPECT_EQ(getArguments(c.query), c.expected) << c.query;
}

TEST(CmdlineRequest, GetStopsAtTheLastEntry) {
    std::string query;
    for (int i = 0; i < 150; ++i) query += (i ? "+" : "") + std::to_string(i);
    Args args = getArguments(query);
    ASSERT_EQ(args.size(), size_t(cmdline_request::kMaxArguments));
    EXPECT_EQ(args[1], "0");
    EXPECT_EQ(args[99], "98");

    // Exactly 99 pieces still fit.
    query.clear();
    for (int i = 0; i < 99; ++i) query += (i ? "%20" : "") + std::to_string(i);
    args = getArguments(query);
    ASSERT_EQ(args.size(), 100u);
    EXPECT_EQ(args[99], "98");
}

TEST(CmdlineRequest, CommandLineCopiesAllOrNothing) {
    for (int argc : {1, 4, 100, 101}) {
        std::vector<std::string> texts;
        for (int i = 0; i < argc; ++i) texts.push_back("arg" + std::to_string(i));
        std::vector<const char*> argv;
        for (const std::string& t : texts) argv.push_back(t.c_str());
        cmdline_request request(-13);
        const char* args[cmdline_request::kMaxArguments] = {};
        int count = 0;
        request.buildArguments(kOwnName, false, &count, args, argc, argv.data());
        if (argc > 100) {
            EXPECT_EQ(count, 0);
            EXPECT_EQ(args[0], nullptr);
        } else {
            ASSERT_EQ(count, argc);
            for (int i = 0; i < argc; ++i) EXPECT_EQ(args[i], argv[i]);
        }
    }
}

TEST(CmdlineRequest, MembersAtConstruction) {
    cmdline_request request(-13);
    EXPECT_EQ(request.getJobNumber(), -13);
    EXPECT_EQ(request.getJobManager()->getJobNumber(), -13);
    request.setJobNumber(42);
    EXPECT_EQ(request.getJobNumber(), 42);
    ASSERT_NE(request.getDatabase(), nullptr);
    EXPECT_EQ(*request.getDatabase(), nullptr);
    ASSERT_NE(request.getGeneticCodeTables(), nullptr);
    EXPECT_FALSE(request.getGeneticCodeTables()->ready());
    for (int id = 0; id <= GeneticCodeTables::maxTableId; ++id)
        EXPECT_FALSE(request.getGeneticCodeTables()->loaded(id)) << id;
    EXPECT_EQ(request.taxonomyRules()->ruleCount(), 0);
}

}  // namespace
