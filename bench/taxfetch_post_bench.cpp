// bv-taxfetch POST of 100,000 taxonomy IDs against a synthetic taxonomy of a
// million nodes, with other names and lineages: the request must finish in
// seconds. Each run is the real program, started as the web server starts
// it; "cold" removes the caches of the nodes and names files first, "warm"
// answers from them. A POST of 10 IDs and command 7 with warm caches show
// that a small request costs what it asks, not the whole taxonomy.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "e2e/taxfetch_fixture.h"

#include "bench_tarvex_dat.h"

namespace {

constexpr int kNodes = 1000000;
constexpr int kRequestedIds = 100000;

// Node i hangs under i / 2, so lineages are about 20 names long; every
// third taxon uses table 11 and has a synonym besides its scientific name.
void writeTaxonomy(tarvex_test::FixtureInstall& install) {
    std::string nodes, names;
    nodes.reserve(static_cast<size_t>(kNodes) * 64);
    names.reserve(static_cast<size_t>(kNodes) * 60);
    char line[160];
    for (int id = 1; id <= kNodes; ++id) {
        const int parent = id == 1 ? 1 : id / 2;
        const int code = id % 3 == 0 ? 11 : 1;
        std::snprintf(line, sizeof line, "%d\t|\t%d\t|\tno rank\t|\t\t|\t0\t|\t1\t|\t%d\t|\t1\t|\t2\t|\t1\t|\t0\t|\t0\t|\t\t|\n",
                      id, parent, code);
        nodes += line;
        std::snprintf(line, sizeof line, "%d\t|\tTaxon %d\t|\t\t|\tscientific name\t|\n", id, id);
        names += line;
        if (id % 3 == 0) {
            std::snprintf(line, sizeof line, "%d\t|\tSynonym of %d\t|\t\t|\tsynonym\t|\n", id, id);
            names += line;
        }
    }
    install.write("taxonomy/big_nodes.dmp", nodes);
    install.write("taxonomy/big_names.dmp", names);
    install.write("taxonomy/gencode.dmp", tarvex_test::taxonomyFixture("gencode.dmp"));
}

std::string tarvexDat() {
    return benchTarvexDat(
        "Taxonomy_1\nTitle:Synthetic\nEnabled\t1\n"
        "SpeciesFiles\tNCBI:big_names.dmp\nNodesFiles\tNCBI:big_nodes.dmp\nGencodeFiles\tNCBI:gencode.dmp\nend\n\n");
}

// IDs spread over the whole tree (a fixed linear congruential walk).
std::string requestedIds() {
    std::string ids;
    uint32_t x = 12345;
    for (int i = 0; i < kRequestedIds; ++i) {
        x = x * 1103515245u + 12345u;
        ids += std::to_string(1 + (x >> 8) % kNodes);
        ids += ' ';
    }
    return ids;
}

struct Setup {
    Setup() : install("taxfetch-bench") {
        install.write("config/tarvex.dat", tarvexDat());
        tarvex_test::SecurityOptionsSpec spec;
        spec.securityEnabled = "false";
        tarvex_test::writeSecurityOptions(install.configDir(), spec);
        writeTaxonomy(install);
        control.addEntry("Big");
        control.write(install.file("data/tarvex.control"));
        if (!monitor.registerControlFile(install.file("data/tarvex.control"), tarvex_test::FakeMonitor::Owner::PidZero))
            throw std::runtime_error("no control-file marker");
        fields = {{"DB", "Big"}, {"TAXID", requestedIds()}, {"SHOWSYNONYMS", "1"}, {"SHOWTAXTREE", "1"}};
    }

    tarvex_test::RunResult post() {
        return tarvex_test::runProgram(taxfetch_e2e::postRequest(install.cgiDir(), fields));
    }

    tarvex_test::RunResult postTen() {
        auto few = fields;
        std::string ids = few[1].second;
        size_t cut = 0;
        for (int i = 0; i < 10; ++i) cut = ids.find(' ', cut) + 1;
        few[1].second = ids.substr(0, cut);
        return tarvex_test::runProgram(taxfetch_e2e::postRequest(install.cgiDir(), few));
    }

    tarvex_test::RunResult command7() {
        tarvex_test::RunRequest request;
        request.program = tarvex_test::programPath("bv-taxfetch");
        request.arguments = {"7", "Big", "524287"};
        request.workingFolder = install.cgiDir();
        return tarvex_test::runProgram(request);
    }

    void removeCaches() {
        std::remove(install.file("taxonomy/big_nodes.dmp.cdb").c_str());
        std::remove(install.file("taxonomy/big_names.dmp.cdb").c_str());
    }

    tarvex_test::FixtureInstall install;
    tarvex_test::ControlFileWriter control;
    tarvex_test::FakeMonitor monitor;
    std::vector<std::pair<std::string, std::string>> fields;
};

Setup& setup() {
    static Setup s;
    return s;
}

void check(benchmark::State& state, const tarvex_test::RunResult& r) {
    const size_t answers = [&] {
        size_t n = 0;
        for (size_t at = r.standardOutput.find("<bvtx:tax_from_id"); at != std::string::npos;
             at = r.standardOutput.find("<bvtx:tax_from_id", at + 1))
            ++n;
        return n;
    }();
    if (r.exitStatus != 0 || answers != static_cast<size_t>(kRequestedIds))
        state.SkipWithError("the request did not answer every ID");
    state.counters["output_MB"] = static_cast<double>(r.standardOutput.size()) / 1e6;
}

void BM_PostColdCaches(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        state.PauseTiming();
        s.removeCaches();
        state.ResumeTiming();
        check(state, s.post());
    }
}

void BM_PostWarmCaches(benchmark::State& state) {
    Setup& s = setup();
    s.post();
    for (auto _ : state) check(state, s.post());
}

// The small requests alternate, so that their ratio is measured under one load.
void BM_SmallRequestsWarmCaches(benchmark::State& state) {
    Setup& s = setup();
    s.post();
    double post = 0, command = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        const tarvex_test::RunResult r = s.postTen();
        post += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        start = std::chrono::steady_clock::now();
        const tarvex_test::RunResult c = s.command7();
        command += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (r.exitStatus != 0 || c.exitStatus != 0) state.SkipWithError("a request failed");
    }
    state.counters["post10_ms"] = post * 1000 / static_cast<double>(state.iterations());
    state.counters["command7_ms"] = command * 1000 / static_cast<double>(state.iterations());
    state.counters["ratio"] = command > 0 ? post / command : 0;
}

}  // namespace

BENCHMARK(BM_SmallRequestsWarmCaches)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_PostColdCaches)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_PostWarmCaches)->Unit(benchmark::kSecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();
