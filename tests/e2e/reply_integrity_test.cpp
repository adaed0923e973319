// Replies reach the client whole or end with a clear error: bytes that are
// not UTF-8 in XML answers, a standard output that cannot be written, and
// mapped database files cut short while requests read them. Both real
// programs, all three modes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/system_calls.h"
#include "database/database_files.h"
#include "e2e/taxfetch_fixture.h"
#include "seqfetch/seqfetch.h"
#include "taxfetch/taxfetch.h"

using namespace tarvex_test;

namespace {

constexpr const char* kXmlLint = "/usr/bin/xmllint";

// One database, "Proteins" (taxonomy section 1 of the taxonomy tool's
// fixture), that both programs answer for, in file or mapped mode.
class ReplyInstallation {
public:
    // reference: the text of a reference file with each entry's offset in
    // it, or none.
    ReplyInstallation(const std::string& fasta, int entries, bool mapped,
                      const std::pair<std::string, std::vector<uint64_t>>& reference = {})
        : install_("reply") {
        install_.write("config/tarvex.dat", taxfetch_e2e::tarvexDat());
        SecurityOptionsSpec spec;
        spec.securityEnabled = "false";
        writeSecurityOptions(install_.configDir(), spec);
        install_.write("taxonomy/small_nodes.dmp", taxfetch_e2e::smallNodes());
        install_.write("taxonomy/small_names.dmp", taxfetch_e2e::smallNames());
        install_.write("taxonomy/gencode.dmp", taxonomyFixture("gencode.dmp"));
        db_.setFasta(fasta).setTaxonomySection(1);
        for (int i = 0; i < entries; ++i) db_.setTaxIds(i, {101});
        if (!reference.second.empty()) db_.setReference(reference.first, reference.second);
        if (!db_.write()) throw std::runtime_error(db_.error());
        db_.fillControlEntry(control_, control_.addEntry("Proteins"), mapped);
        control_.write(install_.file("data/tarvex.control"));
        if (!monitor_.registerControlFile(install_.file("data/tarvex.control"), FakeMonitor::Owner::PidZero))
            throw std::runtime_error("no control marker");
        if (mapped && !db_.registerMapped(monitor_, FakeMonitor::Owner::PidZero))
            throw std::runtime_error("no database markers");
    }

    FixtureInstall& install() { return install_; }
    DatabaseWriter& database() { return db_; }

    // Puts a link where the control file was, to the same bytes elsewhere,
    // registered as the monitor would register the file it finds there.
    void plantControlFileLink(const std::string& target) {
        const std::string path = install_.file("data/tarvex.control");
        std::filesystem::rename(path, target);
        std::filesystem::create_symlink(target, path);
        if (!monitor_.registerControlFile(path, FakeMonitor::Owner::PidZero))
            throw std::runtime_error("no control marker");
    }

    // tool "seq" or "tax"; mode "cmd", "get" or "post". Arguments are the
    // command line (joined with '+' for GET), or the form fields for POST.
    RunRequest request(const std::string& tool, const std::string& mode, const std::vector<std::string>& arguments,
                       const std::vector<std::pair<std::string, std::string>>& fields = {}) const {
        const std::string program = tool == "seq" ? "bv-seqfetch" : "bv-taxfetch";
        if (mode == "post") return postRequest(program, install_.cgiDir(), "B", taxfetch_e2e::formBody(fields));
        if (mode == "get") return getRequest(program, install_.cgiDir(), queryOf(arguments));
        return commandLineRequest(program, install_.cgiDir(), arguments);
    }

    // Job slots of the database still marked running.
    int runningSlots() const {
        ControlFileReader control(install_.file("data/tarvex.control"));
        int running = 0;
        for (int h = 0; h < 2; ++h)
            for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i) {
                const brenvik::JobSlot& slot = control.slot(0, h, i);
                if (slot.jobNumber != 0 && slot.status == 1) ++running;
            }
        return running;
    }

private:
    FixtureInstall install_;
    DatabaseWriter db_{"Proteins", install_.file("sequence/Proteins"), "Proteins_1.fasta"};
    ControlFileWriter control_;
    FakeMonitor monitor_;
};

// The same request with its standard output sent to the given file.
RunRequest withStandardOutput(RunRequest request, const std::string& path) {
    request.arguments.insert(request.arguments.begin(), {"-c", "exec \"$0\" \"$@\" > " + path, request.program});
    request.program = "/bin/sh";
    return request;
}

std::string bodyOf(const std::string& output) {
    const size_t end = output.find("\n\n");
    return end == std::string::npos ? std::string() : output.substr(end + 2);
}

// xmllint's verdict on the document ("" when it is well-formed).
std::string xmlProblems(const std::string& document) {
    RunRequest lint;
    lint.program = kXmlLint;
    lint.arguments = {"--noout", "-"};
    lint.standardInput = document;
    const RunResult r = runProgram(lint);
    if (r.exited && r.exitStatus == 0) return std::string();
    return "xmllint: " + r.standardError;
}

}  // namespace

// Latin-1 titles of old databases and a stray 0xFF in an accession used to
// make the whole answer unreadable for any XML parser.
TEST(XmlReplies, BytesThatAreNotUtf8ArriveAsLatin1AndEveryAnswerParses) {
    if (!std::filesystem::exists(kXmlLint)) GTEST_SKIP() << "xmllint (libxml2-utils) is not installed";
    ReplyInstallation inst(">P1 caf\xe9 prot\xe9ine \xc3\xa9t\xc3\xa9\nMKV\n>P2 bell\x07 and \xff\nMA\n", 2, false);
    const std::string accessions = "\"P1\" \"P\xffX\" \"P2\"";
    struct Case {
        const char* tool;
        std::vector<std::string> expected;
    } cases[] = {
        {"seq",
         {"<bvsq:prot_title>&gt;P1 caf\xc3\xa9 prot\xc3\xa9ine \xc3\xa9t\xc3\xa9</bvsq:prot_title>",
          "<bvsq:prot_title>&gt;P2 bell and \xc3\xbf</bvsq:prot_title>",
          "<bvsq:err_param name=\"accession\">P\xc3\xbfX</bvsq:err_param>"}},
        {"tax",
         {"<bvtx:title>&gt;P1 caf\xc3\xa9 prot\xc3\xa9ine \xc3\xa9t\xc3\xa9</bvtx:title>",
          "<bvtx:title>&gt;P2 bell and \xc3\xbf</bvtx:title>",
          "<bvtx:err_param name=\"accession\">P\xc3\xbfX</bvtx:err_param>"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        const RunResult r = runProgram(
            inst.request(c.tool, "post", {}, {{"DB", "Proteins"}, {"SHOWTITLE", "1"}, {"ACCESSION", accessions}}));
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, 0);
        const std::string document = bodyOf(r.standardOutput);
        EXPECT_EQ(xmlProblems(document), "") << document;
        for (const std::string& text : c.expected) EXPECT_NE(document.find(text), std::string::npos) << text << "\n" << document;
    }
}

// A reply that cannot be written (a full device) used to end with status 0
// as if the client had its answer.
TEST(StandardOutput, AnswerThatCannotBeWrittenEndsWithNonZeroStatusAndIsLogged) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ReplyInstallation inst(">P1 first\nMKV\n", 1, false);
    const std::vector<std::pair<std::string, std::string>> form = {{"DB", "Proteins"}, {"ACCESSION", "\"P1\""}};
    struct Case {
        const char* name;
        RunRequest request;
    } cases[] = {
        {"sequence tool, command line", inst.request("seq", "cmd", {"Proteins", "P1", "all"})},
        {"sequence tool, GET", inst.request("seq", "get", {"Proteins", "P1", "all"})},
        {"sequence tool, usage text", inst.request("seq", "cmd", {"Proteins"})},
        {"sequence tool, POST", inst.request("seq", "post", {}, form)},
        {"taxonomy tool, command line", inst.request("tax", "cmd", {"1", "Proteins", "P1"})},
        {"taxonomy tool, GET", inst.request("tax", "get", {"1", "Proteins", "P1"})},
        {"taxonomy tool, POST", inst.request("tax", "post", {}, form)},
    };
    int logged = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult written = runProgram(c.request);
        ASSERT_TRUE(written.exited);
        const RunResult full = runProgram(withStandardOutput(c.request, "/dev/full"));
        ASSERT_TRUE(full.exited) << "signal " << full.signal;
        // A status that was already non-zero (the usage text's 1) stays.
        EXPECT_EQ(full.exitStatus, written.exitStatus == 0 ? 47 : written.exitStatus);
        EXPECT_NE(full.standardError.find("could not be written to standard output"), std::string::npos)
            << full.standardError;
        const std::string log = inst.install().read("logs/errorlog.txt");
        int entries = 0;
        for (size_t at = 0; (at = log.find("M00046", at)) != std::string::npos; ++at) ++entries;
        EXPECT_EQ(entries, ++logged) << log;
        // The entry gives the reason that standard error gives.
        const size_t entry = log.rfind("M00046");
        const std::string entryLine = entry == std::string::npos ? "" : log.substr(entry);
        EXPECT_NE(entryLine.find("the answer could not be written to standard output: No space left on device"),
                  std::string::npos)
            << entryLine;
        EXPECT_NE(full.standardError.find("standard output: No space left on device"), std::string::npos)
            << full.standardError;
    }
    EXPECT_EQ(inst.runningSlots(), 0);
}

namespace {

// Requests run while the files are being cut: about 25 of each kind.
constexpr int kCutRounds = 100;

// Empties each file and restores it, over and over, until stopped: the way a
// database rewrite or a careless copy shrinks a mapped file. (The cuts at
// chosen places, inside a page among them, are the iterator's tests.)
class FileCutter {
public:
    explicit FileCutter(const std::vector<std::string>& paths) {
        std::vector<std::string> contents;
        for (const std::string& path : paths) {
            std::ifstream in(path, std::ios::binary);
            contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        pid_ = ::fork();
        if (pid_ != 0) return;
        for (unsigned round = 0;; ++round) {
            const size_t i = round % paths.size();
            if (::truncate(paths[i].c_str(), 0) != 0) ::_exit(1);
            ::usleep(3000 + round % 5 * 1000);
            const int fd = ::open(paths[i].c_str(), O_WRONLY);
            if (fd < 0 || ::pwrite(fd, contents[i].data(), contents[i].size(), 0) !=
                              static_cast<ssize_t>(contents[i].size()))
                ::_exit(1);
            ::close(fd);
            ::usleep(4000);
        }
    }
    ~FileCutter() { stop(); }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

private:
    pid_t pid_ = 0;
};

std::string withoutJob(const std::string& text) {
    return std::regex_replace(text, std::regex("(jobid=\"|Job )-?[0-9]+"), "$1N");
}

// The elements of the document (one per line) that are not in the full
// answer: what a cut made the program show wrongly.
std::vector<std::string> linesNotIn(const std::string& document, const std::string& full) {
    std::vector<std::string> wrong;
    size_t start = 0;
    while (start < document.size()) {
        size_t end = document.find('\n', start);
        if (end == std::string::npos) end = document.size();
        const std::string line = document.substr(start, end - start + 1);
        if (full.find(line) == std::string::npos) wrong.push_back(line);
        start = end + 1;
    }
    return wrong;
}

}  // namespace

// Linux lets a mapped file shrink; the first read past the new end used to
// kill the process with SIGBUS and leave its job slot running. The files of
// a database in file mode are mapped by the iterator for the request, so
// both modes are shown; in both, a file shorter than what was read from it
// is lost data. A storm of cuts, bounded by its count of requests.
class MappedDatabase : public ::testing::TestWithParam<bool> {};

TEST_P(MappedDatabase, FileCutShortWhileRequestsReadItEndsEachRequestWithAnAnswerOrAClearError) {
    const bool mappedMode = GetParam();
    constexpr int kEntries = 3000;
    std::string fasta;
    std::string accessions;
    for (int i = 0; i < kEntries; ++i) {
        const std::string id = "Q" + std::to_string(100000 + i);
        fasta += ">" + id + " protein number " + std::to_string(i) + "\n" + std::string(150 + i % 50, "ACDEFGHIKL"[i % 10]) + "\n";
        if (i % 7 == 0) accessions += "\"" + id + "\" ";
    }
    ReplyInstallation inst(fasta, kEntries, mappedMode);
    const std::string last = "Q" + std::to_string(100000 + kEntries - 1);
    const std::vector<std::pair<std::string, std::string>> seqForm = {
        {"DB", "Proteins"}, {"SHOWTITLE", "1"}, {"SHOWSEQUENCE", "1"}, {"ACCESSION", accessions}};
    const std::vector<std::pair<std::string, std::string>> taxForm = {{"DB", "Proteins"}, {"ACCESSION", accessions}};
    struct Kind {
        const char* name;
        RunRequest request;
        std::string full;  // the answer while the files are whole
    } kinds[] = {
        {"sequence POST", inst.request("seq", "post", {}, seqForm), ""},
        {"sequence command line", inst.request("seq", "cmd", {"Proteins", last, "all"}), ""},
        {"taxonomy POST", inst.request("tax", "post", {}, taxForm), ""},
        {"taxonomy GET", inst.request("tax", "get", {"1", "Proteins", last}), ""},
    };
    for (Kind& k : kinds) {
        const RunResult r = runProgram(k.request);
        ASSERT_TRUE(r.exited && r.exitStatus == 0) << k.name << "\n" << r.standardOutput;
        k.full = withoutJob(r.standardOutput);
        ASSERT_EQ(k.full.find("code="), std::string::npos) << k.name << "\n" << k.full;
    }

    std::map<std::string, int> outcomes;
    {
        FileCutter cutter({inst.database().path(brenvik::DB_FILE_SEQUENCE), inst.database().path(brenvik::DB_FILE_INDEX),
                           inst.database().path(brenvik::DB_FILE_ACCESSION), inst.database().path(brenvik::DB_FILE_TAXIDS)});
        // A fixed count, so that a slow machine checks as much as a fast one;
        // the four kinds run side by side, as a server's requests do.
        std::mutex outcomesLock;
        auto check = [&](int round) {
            Kind& k = kinds[round % 4];
            SCOPED_TRACE(std::string(k.name) + ", round " + std::to_string(round));
            const RunResult r = runProgram(k.request);
            ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
            const std::string out = withoutJob(r.standardOutput);
            const bool post = k.name == std::string("sequence POST") || k.name == std::string("taxonomy POST");
            std::string outcome;
            if (out == k.full) {
                outcome = "whole answer";
            } else if (post) {
                // A closed document: the results read before the cut (or
                // none, when a file was refused at open for its size), then
                // the error that names why the rest is missing.
                EXPECT_EQ(r.exitStatus, 0);
                EXPECT_TRUE(out.ends_with(k.name == std::string("sequence POST") ? "</bvsq:bv_seqfetch_out>\n"
                                                                                : "</bvtx:bv_taxfetch_out>\n"))
                    << out;
                EXPECT_NE(out.find("code=\"512\""), std::string::npos) << out;
                outcome = "error 512";
                // Only the error itself is new.
                for (const std::string& line : linesNotIn(out, k.full))
                    EXPECT_TRUE(line.find("error") != std::string::npos || line.find("err_") != std::string::npos)
                        << "shown from a cut file: " << line;
            } else {
                EXPECT_NE(r.exitStatus, 0) << out;
                EXPECT_NE(out.find("[M00"), std::string::npos) << out;
                outcome = "page with M" + out.substr(out.find("[M00") + 2, 5);
            }
            const std::lock_guard<std::mutex> hold(outcomesLock);
            ++outcomes[std::string(k.name) + ": " + outcome];
        };
        for (int round = 0; round < kCutRounds; round += 4) {
            std::vector<std::thread> side;
            for (int i = 0; i < 4 && round + i < kCutRounds; ++i) side.emplace_back(check, round + i);
            for (std::thread& t : side) t.join();
        }
    }
    for (const auto& [outcome, count] : outcomes) std::printf("  %-60s %d\n", outcome.c_str(), count);
    EXPECT_EQ(inst.runningSlots(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, MappedDatabase, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Mapped" : "FileMode"; });

// A database file shorter than its index says before the request (cut to a
// quarter) used to answer in file mode from what was left: a title without
// its sequence with status 0, empty sequences with pI 0.01, and "Sequence
// not found" for accessions that exist. A reference file cut short gave a
// short or empty reference with status 0 in both modes (cut to zero, the
// command line printed the entry without its reference lines; cut into an
// entry's text, a piece of its first line without a line end). It is lost
// data on every road. A reference file that is missing keeps its answer:
// M12 naming the file where the error ends the page, an empty reference in
// a POST.
class ShortDatabaseFile : public ::testing::TestWithParam<bool> {};

TEST_P(ShortDatabaseFile, FileShorterThanItsIndexSaysIsLostDataOnEveryRoad) {
    constexpr int kEntries = 400;
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    std::string fasta, accessions, reference;
    std::vector<uint64_t> referenceOffsets;
    for (int i = 0; i < kEntries; ++i) {
        const std::string id = "Q" + std::to_string(10000 + i);
        fasta += ">" + id + " protein number " + std::to_string(i) + "\n" + std::string(150 + i % 50, "ACDEFGHIKL"[i % 10]) + "\n";
        accessions += "\"" + id + "\" ";
        referenceOffsets.push_back(reference.size());
        reference += ">" + id + " reference\nRF   Reference of protein " + std::to_string(i) + "\nRL   Journal " +
                     std::string(1 + i % 30, 'j') + "\n";
    }
    ASSERT_GT(reference.size(), 6 * page);
    // The entry whose reference text holds the byte at an offset.
    auto entryAt = [&](uint64_t at) {
        int i = 0;
        while (i + 1 < kEntries && referenceOffsets[static_cast<size_t>(i) + 1] <= at) ++i;
        return i;
    };
    // A cut inside the last page, into the first entry whose text starts
    // there: not the last entry, whose text may end anywhere.
    const int lastPageEntry = entryAt((reference.size() - 1) / page * page) + 1;
    ASSERT_LT(lastPageEntry, kEntries - 1);
    constexpr int kReference = -1, kNoReference = -2;
    struct Case {
        const char* what;
        int kind;        // the file cut, or the reference file, or none there
        uint64_t cutTo;  // the reference file's new size
    };
    const Case cases[] = {
        {"sequence file cut to a quarter", brenvik::DB_FILE_SEQUENCE, 0},
        {"accession file cut to a quarter", brenvik::DB_FILE_ACCESSION, 0},
        {"reference file cut to zero", kReference, 0},
        {"reference file cut inside a page", kReference, 2 * page + 100},
        {"reference file cut at a page boundary", kReference, 3 * page},
        {"reference file cut inside the last page", kReference, referenceOffsets[lastPageEntry] + 5},
        {"reference file cut 20 bytes into an entry's text", kReference, referenceOffsets[200] + 20},
        {"reference file missing", kNoReference, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReplyInstallation inst(fasta, kEntries, GetParam(), {reference, referenceOffsets});
        const std::string referencePath = inst.database().referencePath();
        // The entry asked for: the one the cut reaches in the reference file.
        std::string wanted = "Q" + std::to_string(10000 + kEntries - 1);
        if (c.kind == kReference) {
            std::filesystem::resize_file(referencePath, c.cutTo);
            wanted = "Q" + std::to_string(10000 + entryAt(c.cutTo));
        } else if (c.kind == kNoReference) {
            std::filesystem::remove(referencePath);
        } else {
            const std::string path = inst.database().path(c.kind);
            std::filesystem::resize_file(path, std::filesystem::file_size(path) / 4);
        }
        const struct {
            const char* name;
            bool readsReferences;
            RunRequest request;
        } roads[] = {
            {"sequence command line", true, inst.request("seq", "cmd", {"Proteins", wanted, "all"})},
            {"sequence GET", true, inst.request("seq", "get", {"Proteins", wanted, "all"})},
            {"taxonomy command line", false, inst.request("tax", "cmd", {"1", "Proteins", wanted})},
            {"sequence POST", true,
             inst.request("seq", "post", {},
                          {{"DB", "Proteins"}, {"SHOWTITLE", "1"}, {"SHOWSEQUENCE", "1"}, {"SHOWPI", "1"},
                           {"SHOWREFERENCE", "1"}, {"ACCESSION", accessions}})},
            {"taxonomy POST", false, inst.request("tax", "post", {}, {{"DB", "Proteins"}, {"ACCESSION", accessions}})},
        };
        for (const auto& road : roads) {
            SCOPED_TRACE(road.name);
            const RunResult r = runProgram(road.request);
            ASSERT_TRUE(r.exited) << "signal " << r.signal;
            const std::string& out = r.standardOutput;
            const bool post = !road.request.environment.empty() && out.find("<?xml") != std::string::npos;
            if (c.kind == kNoReference) {
                EXPECT_EQ(out.find("code=\"512\""), std::string::npos) << out;
                EXPECT_EQ(out.find("[M00512]"), std::string::npos) << out;
                if (!road.readsReferences) {
                    EXPECT_EQ(r.exitStatus, 0) << out;
                    EXPECT_EQ(out.find("[M00"), std::string::npos) << out;
                } else if (!post) {
                    EXPECT_EQ(r.exitStatus, 13) << out;
                    EXPECT_NE(out.find("[M00012]"), std::string::npos) << out;
                    EXPECT_NE(out.find(referencePath), std::string::npos) << out;
                } else {
                    EXPECT_EQ(r.exitStatus, 0);
                    EXPECT_NE(out.find("<bvsq:prot_reference></bvsq:prot_reference>"), std::string::npos) << out;
                    EXPECT_NE(out.find("protein number 399"), std::string::npos) << out;
                }
                continue;
            }
            if (!post) {
                EXPECT_NE(r.exitStatus, 0) << out;
                EXPECT_NE(out.find("[M00512]"), std::string::npos) << out;
                EXPECT_EQ(out.find("protein number"), std::string::npos) << out;
                EXPECT_EQ(out.find("RF   "), std::string::npos) << out;
            } else {
                EXPECT_EQ(r.exitStatus, 0);
                EXPECT_NE(out.find("code=\"512\""), std::string::npos) << out;
                EXPECT_EQ(out.find("code=\"461\""), std::string::npos) << out;
                EXPECT_EQ(out.find("<bvsq:protein"), std::string::npos) << out;
                EXPECT_EQ(out.find("<bvtx:db_entry"), std::string::npos) << out;
            }
        }
        EXPECT_EQ(inst.runningSlots(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ShortDatabaseFile, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Mapped" : "FileMode"; });

namespace {

// The cut made once, when the program told the system-call table that it
// opened or mapped a database's files, before it read any result.
std::string cutPath;
uint64_t cutSize = 0;
void cutOnce(const char*) {
    if (cutPath.empty()) return;
    std::filesystem::resize_file(cutPath, cutSize);
    cutPath.clear();
}

enum class Road { SequencePost, SequenceCommandLine, SequenceGet, TaxonomyPost, TaxonomyCommandLine };

// Runs the program's own entry (what its main runs) in a child of the test
// process (a fatal report ends the process), with the cut set in the table.
RunResult runWithCut(const RunRequest& request) {
    TempDir io("road");
    const std::string in = io.path() + "/in", out = io.path() + "/out", err = io.path() + "/err";
    std::ofstream(in, std::ios::binary) << request.standardInput;
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [name, value] : request.environment) ::setenv(name.c_str(), value.c_str(), 1);
        if (::chdir(request.workingFolder.c_str()) != 0) ::_exit(97);
        const int fds[3] = {::open(in.c_str(), O_RDONLY), ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                            ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
        for (int i = 0; i < 3; ++i)
            if (fds[i] < 0 || ::dup2(fds[i], i) < 0) ::_exit(98);
        systemCalls().databaseOpened = cutOnce;
        const bool seq = request.program.find("seqfetch") != std::string::npos;
        std::vector<std::string> words = {request.program};
        words.insert(words.end(), request.arguments.begin(), request.arguments.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        const int argc = static_cast<int>(words.size());
        const int status = seq ? seqfetch::runProgram(argc, argv.data()) : taxfetch::runProgram(argc, argv.data());
        std::fflush(nullptr);
        ::_exit(status);
    }
    RunResult r;
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    r.exited = WIFEXITED(wstatus);
    r.exitStatus = r.exited ? WEXITSTATUS(wstatus) : -1;
    r.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    std::ifstream o(out, std::ios::binary), e(err, std::ios::binary);
    r.standardOutput.assign(std::istreambuf_iterator<char>(o), std::istreambuf_iterator<char>());
    r.standardError.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
    return r;
}

// The elements that start with open, in order, each up to its line that
// starts with close.
std::vector<std::string> elements(const std::string& document, const std::string& open, const std::string& close) {
    std::vector<std::string> found;
    for (size_t at = document.find(open); at != std::string::npos; at = document.find(open, at + 1)) {
        const size_t end = document.find(close, at);
        found.push_back(document.substr(at, end == std::string::npos ? std::string::npos : end - at));
    }
    return found;
}

}  // namespace

// A file cut at a chosen place after the program opened or mapped it, on the
// roads that showed wrong answers: a record in the last page of a mapped
// file read as zeros and was printed shortened with status 0; a POST showed
// zero-page results (empty titles, pI 0.01, a db_entry without its taxonomy
// part) before its error 512, and titles of a FASTA file cut meanwhile came
// back short without any error. Now the entry the cut reaches is never
// shown, nor any after it: the page says M512, a POST shows only entries
// read whole (as the intact files answer them) and ends with error 512.
class CutAfterOpen : public ::testing::TestWithParam<bool> {};

TEST_P(CutAfterOpen, EntryTheCutReachesAndLaterOnesAreNeverShown) {
    constexpr int kEntries = 300;
    constexpr int kCutEntry = 200;  // the cut lies inside this entry's bytes
    constexpr int kFasta = -1;
    std::string fasta;
    std::string accessions;
    for (int i = 0; i < kEntries; ++i) {
        const std::string id = "Q" + std::to_string(10000 + i);
        fasta += ">" + id + " protein number " + std::to_string(i) + "\n" +
                 std::string(150 + i % 50, "ACDEFGHIKL"[i % 10]) + "\n";
        accessions += "\"" + id + "\" ";
    }
    const std::string cutId = "Q" + std::to_string(10000 + kCutEntry);
    const std::string lastId = "Q" + std::to_string(10000 + kEntries - 1);
    const std::vector<std::pair<std::string, std::string>> seqForm = {{"DB", "Proteins"}, {"SHOWTITLE", "1"},
                                                                      {"SHOWSEQUENCE", "1"}, {"SHOWPI", "1"},
                                                                      {"SHOWLEN", "1"}, {"ACCESSION", accessions}};
    const std::vector<std::pair<std::string, std::string>> taxForm = {
        {"DB", "Proteins"}, {"SHOWTITLE", "1"}, {"ACCESSION", accessions}};
    struct Case {
        const char* what;
        Road road;
        int kind;         // the file cut, kFasta for the titles
        int64_t offEnd;   // > 0: bytes off the end; 0: into the cut entry
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"command line, sequence file 100 bytes short", Road::SequenceCommandLine, brenvik::DB_FILE_SEQUENCE, 100,
         {"Proteins", lastId, "seq"}},
        {"command line, FASTA file cut into the entry's title", Road::SequenceCommandLine, kFasta, 0,
         {"Proteins", cutId, "title"}},
        {"GET, sequence file cut into the entry", Road::SequenceGet, brenvik::DB_FILE_SEQUENCE, 0,
         {"Proteins", cutId, "pI"}},
        {"sequence POST, sequence file cut into the entry", Road::SequencePost, brenvik::DB_FILE_SEQUENCE, 0, {}},
        {"sequence POST, FASTA file cut into the entry's title", Road::SequencePost, kFasta, 0, {}},
        {"taxonomy POST, taxonomy-ID file cut into the entry", Road::TaxonomyPost, brenvik::DB_FILE_TAXIDS, 0, {}},
        {"taxonomy command line, taxonomy-ID file cut into the entry", Road::TaxonomyCommandLine,
         brenvik::DB_FILE_TAXIDS, 0, {"1", "Proteins", cutId}},
        {"taxonomy POST, FASTA file cut into the entry's title", Road::TaxonomyPost, kFasta, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReplyInstallation inst(fasta, kEntries, GetParam());
        const bool post = c.road == Road::SequencePost || c.road == Road::TaxonomyPost;
        const bool seq = c.road != Road::TaxonomyPost && c.road != Road::TaxonomyCommandLine;
        RunRequest request = inst.request(seq ? "seq" : "tax", c.road == Road::SequenceGet ? "get" : post ? "post" : "cmd",
                                          c.arguments, seq ? seqForm : taxForm);
        const std::string full = withoutJob(runWithCut(request).standardOutput);
        ASSERT_EQ(full.find("code="), std::string::npos) << full;
        ASSERT_EQ(full.find("[M00"), std::string::npos) << full;

        const std::string path = c.kind == kFasta ? inst.database().fastaPath() : inst.database().path(c.kind);
        const uint64_t size = std::filesystem::file_size(path);
        uint64_t at = size - static_cast<uint64_t>(c.offEnd);
        if (c.offEnd == 0) {
            std::ifstream index(inst.database().path(brenvik::DB_FILE_INDEX), std::ios::binary);
            char bytes[brenvik::kIndexRecordSize];
            index.seekg(kCutEntry * brenvik::kIndexRecordSize);
            ASSERT_TRUE(index.read(bytes, sizeof bytes));
            const brenvik::IndexRecord r = brenvik::decodeIndexRecord(bytes);
            at = (c.kind == kFasta                     ? r.titleOffset
                  : c.kind == brenvik::DB_FILE_TAXIDS ? r.taxIdOffset
                                                       : r.sequenceOffset) + 5;
        }
        ASSERT_NE(at % 4096, 0u) << "the cut is meant to lie inside a page";
        cutPath = path;
        cutSize = at;
        const RunResult r = runWithCut(request);
        cutPath.clear();
        ASSERT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_LT(std::filesystem::file_size(path), size) << "the seam cut the file";
        const std::string out = withoutJob(r.standardOutput);
        if (!post) {
            EXPECT_NE(r.exitStatus, 0) << out;
            // The error page and nothing of the entry, before it or after.
            EXPECT_TRUE(bodyOf(out).starts_with("The following serious error has occurred.<BR>\n"
                                                "Cannot iterate database Proteins.")) << out;
            EXPECT_NE(out.find("[M00512]"), std::string::npos) << out;
            EXPECT_EQ(out.find("Q1"), std::string::npos) << out;
            continue;
        }
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_NE(out.find("code=\"512\""), std::string::npos) << out;
        EXPECT_TRUE(out.ends_with(seq ? "</bvsq:bv_seqfetch_out>\n" : "</bvtx:bv_taxfetch_out>\n")) << out;
        const std::string open = seq ? "<bvsq:protein>" : "<bvtx:db_entry", close = seq ? "</bvsq:protein>" : "</bvtx:db_entry>";
        const std::vector<std::string> shown = elements(out, open, close), whole = elements(full, open, close);
        ASSERT_EQ(whole.size(), size_t{kEntries}) << full.substr(0, 2000);
        // Only entries read whole, in order, and none from the cut entry on.
        EXPECT_LE(shown.size(), size_t{kCutEntry});
        for (size_t i = 0; i < shown.size() && i < whole.size(); ++i) EXPECT_EQ(shown[i], whole[i]) << i;
        EXPECT_EQ(out.find(cutId), std::string::npos) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, CutAfterOpen, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Mapped" : "FileMode"; });

// The control file is mapped for writing from a folder the web server's
// user can write: a link planted in its place is not followed. The request
// fails as with any control file that cannot be opened, naming the path as
// configured and the system's reason, and the file linked to stays as it was.
TEST(ControlFile, LinkPlantedInItsPlaceIsNotOpened) {
    ReplyInstallation inst(">P1 first\nMKV\n", 1, false);
    const std::string target = inst.install().file("elsewhere.control");
    inst.plantControlFileLink(target);
    const std::string before = inst.install().read("elsewhere.control");
    const RunResult r = runProgram(inst.request("seq", "cmd", {"Proteins", "P1", "seq"}));
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_NE(r.exitStatus, 0) << r.standardOutput;
    EXPECT_EQ(r.standardOutput.find("MKV"), std::string::npos) << r.standardOutput;
    const std::string log = inst.install().read("logs/errorlog.txt");
    EXPECT_NE(log.find("tarvex.control"), std::string::npos) << log;
    EXPECT_NE(log.find("Too many levels of symbolic links"), std::string::npos) << log;
    EXPECT_EQ(inst.install().read("elsewhere.control"), before);
}
