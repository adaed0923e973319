// bv-seqfetch POST of many accessions on a large protein database, in file
// mode and in mapped mode: seconds, entries found and resident memory of the
// real program, started as the web server starts it. bench/seq.sh runs it
// and times the peer tools on the same FASTA file and accession lists.
//
//   seqfetch_post_bench <work folder> [entries (500000)] [source FASTA]
//
// The database is the source FASTA's entries repeated until there are as
// many as asked for, each title led by a new accession ("BV0000001" ...)
// and keeping the source title after it; without a source file the titles
// are synthetic. The installation, the FASTA file and the accession lists
// (acc100000.txt, acc10000.txt: every accession present, random order,
// fixed seed) stay in the work folder and are reused while the entry count
// is the same. SEQFETCH_PROGRAM names another bv-seqfetch to time (an older
// build, for a before/after comparison).
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/seqfetch_fixture.h"
#include "support/control_file_writer.h"
#include "support/database_writer.h"
#include "support/fake_monitor.h"
#include "support/program_runner.h"
#include "support/session_files.h"
#include "support/temp_dir.h"
#include "database/database_files.h"

namespace fs = std::filesystem;
using namespace tarvex_test;

namespace {

struct SourceEntry {
    std::string title;  // without ">"
    std::string residues;
};

std::vector<SourceEntry> readSource(const std::string& path) {
    std::vector<SourceEntry> entries;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '>') {
            entries.push_back({line.substr(1), {}});
        } else if (!entries.empty()) {
            entries.back().residues += line;
        }
    }
    return entries;
}

std::vector<SourceEntry> syntheticSource() {
    static const char* kWords[] = {"Putative", "uncharacterized", "protein", "kinase", "domain-containing",
                                   "transporter", "subunit", "alpha", "beta", "ribosomal", "membrane",
                                   "binding", "factor", "OS=Synthetic organism", "OX=32630", "GN=syn"};
    static const char kResidues[] = "ACDEFGHIKLMNPQRSTVWY";
    std::mt19937 random(17);
    std::vector<SourceEntry> entries(20000);
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string title = "sp|S" + std::to_string(100000 + i) + "|SYN" + std::to_string(i) + "_SYNTH";
        for (int w = 0; w < 8; ++w) title += std::string(" ") + kWords[random() % std::size(kWords)];
        entries[i].title = title;
        const size_t length = 50 + random() % 700;
        for (size_t r = 0; r < length; ++r) entries[i].residues += kResidues[random() % 20];
    }
    return entries;
}

std::string accessionOf(size_t i) {
    char text[32];
    std::snprintf(text, sizeof text, "BV%07zu", i + 1);
    return text;
}

std::string buildFasta(const std::vector<SourceEntry>& source, size_t count) {
    std::string fasta;
    fasta.reserve(count * 400);
    for (size_t i = 0; i < count; ++i) {
        const SourceEntry& e = source[i % source.size()];
        fasta += ">" + accessionOf(i) + " " + e.title + "\n";
        for (size_t p = 0; p < e.residues.size(); p += 60) fasta += e.residues.substr(p, 60) + "\n";
    }
    return fasta;
}

void writeAccessionList(const std::string& path, size_t entries, size_t count, unsigned seed) {
    std::vector<size_t> picks(entries);
    for (size_t i = 0; i < entries; ++i) picks[i] = i;
    std::mt19937 random(seed);
    std::shuffle(picks.begin(), picks.end(), random);
    picks.resize(std::min(count, entries));
    std::string text;
    for (size_t i : picks) text += accessionOf(i) + "\n";
    writeFile(path, text);
}

std::string postBody(const std::string& accessionList, const std::vector<std::string>& switches) {
    std::string accessions;
    std::istringstream in(readFile(accessionList));
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) accessions += (accessions.empty() ? "\"" : " \"") + line + "\"";
    auto part = [](const std::string& name, const std::string& value) {
        return "--XX\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    };
    std::string body = part("DB", "SwissProt");
    for (const std::string& s : switches) body += part(s, "1");
    return body + part("ACCESSION", accessions) + "--XX--\r\n";
}

struct Figures {
    double seconds = 0;
    long found = 0;
    long residentKiB = 0;
    bool ok = false;
};

// One run of the real program, timed from fork to exit.
constexpr const char* kTime = "/usr/bin/time";

Figures runPost(const std::string& cgiDir, const std::string& bodyFile, const std::string& outFile) {
    const std::string length = std::to_string(fs::file_size(bodyFile));
    const std::string rssFile = outFile + ".rss";
    Figures f;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(bodyFile.c_str(), O_RDONLY);
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || chdir(cgiDir.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        const char* other = std::getenv("SEQFETCH_PROGRAM");
        const std::string program = other != nullptr && *other != '\0' ? other : programPath("bv-seqfetch");
        const std::string env[] = {"QUERY_STRING=", "SCRIPT_NAME=/tarvex/cgi/bv-seqfetch.exe",
                                   "CONTENT_TYPE=multipart/form-data; boundary=XX", "REMOTE_ADDR=127.0.0.1",
                                   "CONTENT_LENGTH=" + length};
        const char* envp[] = {env[0].c_str(), env[1].c_str(), env[2].c_str(), env[3].c_str(), env[4].c_str(),
                              nullptr};
        // BENCH_WRAPPER runs the program under another, such as
        // "perf record -g -o /tmp/seq.data --".
        const char* wrapper = std::getenv("BENCH_WRAPPER");
        if (wrapper != nullptr && *wrapper != '\0') {
            const std::string command = std::string(wrapper) + " \"$0\"";
            const char* argv[] = {"/bin/sh", "-c", command.c_str(), program.c_str(), nullptr};
            execve("/bin/sh", const_cast<char* const*>(argv), const_cast<char* const*>(envp));
            _exit(127);
        }
        // A child forked from this process counts this process's pages as
        // its own until it runs the program; time(1) starts the program from
        // a small process and tells its own figure.
        if (access(kTime, X_OK) == 0) {
            const char* argv[] = {kTime, "-f", "%M", "-o", rssFile.c_str(), "--", program.c_str(), nullptr};
            execve(kTime, const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        }
        const char* argv[] = {program.c_str(), nullptr};
        execve(program.c_str(), const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return f;
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.residentKiB = usage.ru_maxrss;
    if (access(kTime, X_OK) == 0) f.residentKiB = std::atol(readFile(rssFile).c_str());
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const std::string output = readFile(outFile);
    for (size_t p = output.find("<bvsq:protein>"); p != std::string::npos; p = output.find("<bvsq:protein>", p + 1))
        ++f.found;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <work folder> [entries] [source FASTA]\n", argv[0]);
        return 2;
    }
    const fs::path work = fs::absolute(argv[1]);
    const size_t entries = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 500000;
    const std::string sourcePath = argc > 3 ? argv[3] : "";
    const fs::path root = work / "install";
    const std::string folder = (root / "sequence/SwissProt").string();
    const std::string stamp = (work / "entries.txt").string();

    auto writer = std::make_unique<DatabaseWriter>("SwissProt", folder, "SwissProt_1.fasta");
    DatabaseWriter& db = *writer;
    const bool reuse = pathExists(stamp) && readFile(stamp) == std::to_string(entries) + "\n" &&
                       pathExists(db.fastaPath());
    if (reuse) {
        std::fprintf(stderr, "reusing the database in %s\n", folder.c_str());
        db.setFasta(readFile(db.fastaPath()));
    } else {
        fs::remove_all(root);
        std::vector<SourceEntry> source;
        if (!sourcePath.empty()) source = readSource(sourcePath);
        if (source.empty()) {
            std::fprintf(stderr, "no source FASTA: synthetic titles\n");
            source = syntheticSource();
        } else {
            std::fprintf(stderr, "%zu source entries from %s\n", source.size(), sourcePath.c_str());
        }
        std::fprintf(stderr, "writing %zu entries to %s\n", entries, folder.c_str());
        db.setFasta(buildFasta(source, entries));
        if (!db.write()) {
            std::fprintf(stderr, "database writer: %s\n", db.error().c_str());
            return 1;
        }
        writeAccessionList((work / "acc100000.txt").string(), entries, 100000, 1);
        writeAccessionList((work / "acc10000.txt").string(), entries, 10000, 2);
        writeFile(stamp, std::to_string(entries) + "\n");
    }
    for (const char* sub : {"cgi", "config", "data", "logs", "sessions", "taxonomy"}) fs::create_directories(root / sub);
    writeFile((root / "config/tarvex.dat").string(), seqfetch_e2e::tarvexDat());
    SecurityOptionsSpec security;
    security.securityEnabled = "false";
    writeSecurityOptions((root / "config").string(), security);

    struct Request {
        const char* name;
        const char* list;
        std::vector<std::string> switches;
    };
    const Request requests[] = {
        {"100000 SHOWTITLE", "acc100000.txt", {"SHOWTITLE"}},
        {"100000 TITLE+SEQUENCE+LEN+PI", "acc100000.txt", {"SHOWTITLE", "SHOWSEQUENCE", "SHOWLEN", "SHOWPI"}},
        {"10000 SHOWTITLE", "acc10000.txt", {"SHOWTITLE"}},
    };
    for (size_t r = 0; r < std::size(requests); ++r)
        writeFile((work / ("body" + std::to_string(r) + ".txt")).string(),
                  postBody((work / requests[r].list).string(), requests[r].switches));

    // The control entries of both modes are made now and the entries freed,
    // so that the forked children start small and their resident figure is
    // their own.
    const std::string controlPath = (root / "data/tarvex.control").string();
    ControlFileWriter controls[2];
    for (int mapped = 0; mapped < 2; ++mapped)
        db.fillControlEntry(controls[mapped], controls[mapped].addEntry("SwissProt"), mapped != 0);
    std::vector<std::string> mappedFiles;
    for (int kind = 0; kind < brenvik::DB_FILE_KINDS; ++kind)
        if (kind != brenvik::DB_FILE_ACCINDEX && kind != brenvik::DB_FILE_TAXIDS && pathExists(db.path(kind)))
            mappedFiles.push_back(db.path(kind));
    writer.reset();
    malloc_trim(0);

    // Resident memory counts the pages of the mapped database files that
    // the request touched (the page cache, shared with every process).
    std::printf("%-6s %-30s %9s %8s %8s\n", "mode", "request", "seconds", "found", "RSS MiB");
    for (const bool mapped : {false, true}) {
        FakeMonitor monitor;
        controls[mapped ? 1 : 0].write(controlPath);
        bool registered = monitor.registerControlFile(controlPath, FakeMonitor::Owner::PidZero);
        if (mapped)
            for (const std::string& file : mappedFiles)
                registered = monitor.registerDatabaseFile(file, FakeMonitor::Owner::PidZero) && registered;
        if (!registered) {
            std::fprintf(stderr, "cannot register the mappings\n");
            return 1;
        }
        const char* mode = mapped ? "mapped" : "file";
        for (size_t r = 0; r < std::size(requests); ++r) {
            const std::string body = (work / ("body" + std::to_string(r) + ".txt")).string();
            const std::string out = (work / ("out-" + std::string(mode) + std::to_string(r) + ".xml")).string();
            // The best of three runs (BENCH_RUNS): the page cache is warm
            // after the first.
            const char* runsText = std::getenv("BENCH_RUNS");
            const int runs = runsText != nullptr && std::atoi(runsText) > 0 ? std::atoi(runsText) : 3;
            Figures best;
            for (int run = 0; run < runs; ++run) {
                const Figures f = runPost((root / "cgi").string(), body, out);
                if (!f.ok) {
                    std::fprintf(stderr, "%s %s: the program failed\n", mode, requests[r].name);
                    return 1;
                }
                if (run == 0 || f.seconds < best.seconds) best = f;
            }
            std::printf("%-6s %-30s %9.3f %8ld %8.1f\n", mode, requests[r].name, best.seconds, best.found,
                        best.residentKiB / 1024.0);
            std::fflush(stdout);
        }
    }
    return 0;
}
