// The accession search's byte search (findBytes) against glibc's memmem, on
// the bytes of a 6.5 MB accession file, for accessions that are not in it:
// the whole file in one call, and in the 64 KiB pieces the search reads it
// by. Each row is the minimum of 40 runs; the closing lines give each
// findBytes row as a ratio of its memmem row from the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_utils.h"
#include "database/database_files.h"
#include "support/database_writer.h"
#include "support/temp_dir.h"

namespace {

constexpr size_t kTargetBytes = 6500u << 10;
constexpr size_t kPiece = 64u << 10;

// Accession-file bytes laid out by the database writer: UniProt-style
// entries "sp|P12345|NAME_SPECIES", so the bytes sought begin and end with
// bytes that are common in the file.
const std::string& accessionBytes() {
    static const std::string bytes = [] {
        tarvex_test::TempDir dir("findbytes");
        const char* species[] = {"HUMAN", "MOUSE", "YEAST", "ECOLI", "ARATH", "BOVIN"};
        std::string fasta;
        char line[96];
        for (int i = 0; fasta.size() < kTargetBytes * 2; ++i) {
            std::snprintf(line, sizeof line, ">sp|%c%05d|PRT%d_%s Protein %d\nMKVLAAGIVG\n", "PQO"[i % 3], i % 100000,
                          i, species[i % 6], i);
            fasta += line;
        }
        tarvex_test::DatabaseWriter db("Bench", dir.file("db"));
        db.setFasta(fasta).setAccessionIndex(false);
        if (!db.write()) {
            std::fprintf(stderr, "database writer: %s\n", db.error().c_str());
            std::exit(1);
        }
        std::string a00 = tarvex_test::readFile(db.path(brenvik::DB_FILE_ACCESSION));
        if (a00.size() > kTargetBytes) a00.resize(kTargetBytes);
        return a00;
    }();
    return bytes;
}

// What the accession search looks for, an accession and its terminating
// zero, for two accessions that are not in the file: one of a missing
// entry, and one that shares all but its species with a present entry.
const std::string_view kMissing[] = {std::string_view("sp|P99999|PRT7_HUMAN\0", 21),
                                     std::string_view("sp|P12345|PRT12345_HUMAN\0", 25)};

using Search = const char* (*)(const char*, size_t, std::string_view);

const char* viaFindBytes(const char* data, size_t size, std::string_view bytes) {
    return ::findBytes(data, size, bytes);
}

const char* viaMemmem(const char* data, size_t size, std::string_view bytes) {
    return static_cast<const char*>(memmem(data, size, bytes.data(), bytes.size()));
}

template <Search search>
void wholeFile(benchmark::State& state) {
    const std::string& data = accessionBytes();
    const std::string_view bytes = kMissing[state.range(0)];
    for (auto _ : state) benchmark::DoNotOptimize(search(data.data(), data.size(), bytes));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// As the accession search reads it: pieces overlapping by one byte less
// than what is sought, so that nothing straddling two pieces is missed.
template <Search search>
void byPieces(benchmark::State& state) {
    const std::string& data = accessionBytes();
    const std::string_view bytes = kMissing[state.range(0)];
    for (auto _ : state) {
        const char* hit = nullptr;
        for (size_t at = 0; hit == nullptr && at + bytes.size() <= data.size(); at += kPiece - (bytes.size() - 1))
            hit = search(data.data() + at, std::min(kPiece, data.size() - at), bytes);
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void common(benchmark::internal::Benchmark* b) {
    b->Arg(0)->Arg(1)->Repetitions(40)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
    b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK_TEMPLATE(wholeFile, viaFindBytes)->Apply(common);
BENCHMARK_TEMPLATE(wholeFile, viaMemmem)->Apply(common);
BENCHMARK_TEMPLATE(byPieces, viaFindBytes)->Apply(common);
BENCHMARK_TEMPLATE(byPieces, viaMemmem)->Apply(common);

// The console rows, then each findBytes minimum over the memmem minimum of
// the same shape and argument.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.aggregate_name == "min") minima_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [name, time] : minima_) {
            const size_t at = name.find("viaFindBytes");
            if (at == std::string::npos) continue;
            std::string peer = name;
            peer.replace(at, std::strlen("viaFindBytes"), "viaMemmem");
            const auto found = minima_.find(peer);
            if (found == minima_.end()) continue;
            std::printf("%-44s findBytes / memmem = %.3f (%.1f us saved per look-up)\n", name.c_str(),
                        time / found->second, found->second - time);
        }
    }

private:
    std::map<std::string, double> minima_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    accessionBytes();  // laid out before any timing
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
