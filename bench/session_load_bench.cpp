// Loading a session file with many custom parameters and permitted tasks,
// as every request with such a session does: the time must grow with the
// file, not with its square (compare the 2,000 and 20,000 runs).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "security/bv_session.h"
#include "support/session_files.h"
#include "support/temp_dir.h"

namespace {

void BM_SessionLoad(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    tarvex_test::TempDir dir("session-bench");
    for (const char* d : {"cgi", "config", "sessions", "logs"}) std::filesystem::create_directories(dir.file(d));
    tarvex_test::SecurityOptionsSpec options;
    tarvex_test::writeSecurityOptions(dir.file("config"), options);

    tarvex_test::SessionFileSpec spec = tarvex_test::userSession(5);
    tarvex_test::SessionTaskSpec databases{10, 10, {}};
    for (int i = 0; i < count; ++i) {
        spec.custom.emplace_back("p" + std::to_string(i), "v" + std::to_string(i));
        databases.values.push_back("DB" + std::to_string(i));
    }
    spec.tasks.push_back(databases);
    for (int i = 0; i < count / 10; ++i) spec.tasks.push_back({100 + i, 1, {std::to_string(i)}});
    tarvex_test::writeSessionFile(dir.file("sessions"), "many", spec);

    const std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir.file("cgi"));
    for (auto _ : state) {
        brenvik::bv_session session("many");
        if (!session.isValid()) state.SkipWithError(session.getLastErrorString().c_str());
        benchmark::DoNotOptimize(session.getUserID());
    }
    std::filesystem::current_path(old);
    state.SetComplexityN(count);
}

BENCHMARK(BM_SessionLoad)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
