// Counts the write calls of one bv-seqfetch POST of 10,000 accessions (title,
// length, pI and sequence) with strace -c: the answer should leave through
// the buffer of standard output, not in a write per line. Not timed.
// Usage: seqfetch_post_writes_bench [program]  (default: the built bv-seqfetch)
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "e2e/taxfetch_fixture.h"

namespace {

constexpr int kEntries = 10000;
constexpr const char* kTracer = "/usr/bin/strace";

}  // namespace

int main(int argc, char** argv) {
    using namespace tarvex_test;
    if (!std::filesystem::exists(kTracer)) {
        std::fprintf(stderr, "strace is not installed\n");
        return 77;
    }
    const std::string program = argc > 1 ? argv[1] : programPath("bv-seqfetch");

    FixtureInstall install("writes");
    install.write("config/tarvex.dat", taxfetch_e2e::tarvexDat());
    SecurityOptionsSpec spec;
    spec.securityEnabled = "false";
    writeSecurityOptions(install.configDir(), spec);
    std::string fasta, accessions;
    for (int i = 0; i < kEntries; ++i) {
        const std::string id = "Q" + std::to_string(100000 + i);
        fasta += ">" + id + " protein number " + std::to_string(i) + " of a test database\n" +
                 std::string(200 + i % 100, "ACDEFGHIKLMNPQRSTVWY"[i % 20]) + "\n";
        accessions += "\"" + id + "\" ";
    }
    DatabaseWriter db("Proteins", install.file("sequence/Proteins"), "Proteins_1.fasta");
    db.setFasta(fasta);
    if (!db.write()) {
        std::fprintf(stderr, "%s\n", db.error().c_str());
        return 1;
    }
    ControlFileWriter control;
    db.fillControlEntry(control, control.addEntry("Proteins"), false);
    control.write(install.file("data/tarvex.control"));
    FakeMonitor monitor;
    if (!monitor.registerControlFile(install.file("data/tarvex.control"), FakeMonitor::Owner::PidZero)) return 1;

    RunRequest request = taxfetch_e2e::postRequest(
        install.cgiDir(), {{"DB", "Proteins"}, {"SHOWTITLE", "1"}, {"SHOWLEN", "1"}, {"SHOWPI", "1"},
                           {"SHOWSEQUENCE", "1"}, {"ACCESSION", accessions}});
    for (auto& [name, value] : request.environment)
        if (name == "SCRIPT_NAME") value = "/tarvex/cgi/bv-seqfetch.exe";
    const std::string summary = install.file("strace.txt");
    request.arguments = {"-c", "-e", "trace=write", "-o", summary, program};
    request.program = kTracer;
    const RunResult r = runProgram(request);
    size_t proteins = 0;
    for (size_t at = 0; (at = r.standardOutput.find("<bvsq:protein>", at)) != std::string::npos; ++at) ++proteins;
    std::printf("%s: exit %d, %zu bytes, %zu proteins\n%s", program.c_str(), r.exitStatus, r.standardOutput.size(),
                proteins, install.read("strace.txt").c_str());
    return r.exited && r.exitStatus == 0 && proteins == kEntries ? 0 : 1;
}
