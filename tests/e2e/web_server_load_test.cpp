// Both programs under load through a real web server: many GET and POST
// requests at once, every answer checked against the answer of a quiet run,
// no job slot left running and no torn entry in the error log. The latency
// percentiles are printed for the record, never asserted (shared machines).
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/taxfetch_fixture.h"
#include "support/cgi_web_server.h"

using namespace tarvex_test;

namespace {

constexpr int kRequests = 500;
constexpr int kAtOnce = 32;

using Fields = std::vector<std::pair<std::string, std::string>>;

struct LoadRequest {
    const char* name;
    std::string program;
    std::string query;  // GET when set
    Fields fields;      // POST otherwise
    std::string expected;
};

std::string withoutJob(const std::string& text) {
    return std::regex_replace(text, std::regex("jobid=\"-?[0-9]+\""), "jobid=\"N\"");
}

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// One request through the web server: HTTP status and body.
std::pair<long, std::string> send(CURL* curl, const std::string& url, const LoadRequest& request) {
    std::string body;
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_mime* form = nullptr;
    if (request.query.empty()) {
        form = curl_mime_init(curl);
        for (const auto& [name, value] : request.fields) {
            curl_mimepart* part = curl_mime_addpart(form);
            curl_mime_name(part, name.c_str());
            curl_mime_data(part, value.data(), value.size());
        }
        curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    } else {
        const std::string withQuery = url + "?" + request.query;
        curl_easy_setopt(curl, CURLOPT_URL, withQuery.c_str());
    }
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_mime_free(form);
    return {status, body};
}

}  // namespace

TEST(WebServerLoad, ManyRequestsAtOnceAreAllAnsweredAndLeaveNothingRunning) {
    if (!cgiWebServerAvailable()) GTEST_SKIP() << "lighttpd or curl is not installed";
    taxfetch_e2e::Installation inst;
    const std::string seq = programPath("bv-seqfetch");
    const std::string tax = programPath("bv-taxfetch");
    std::vector<LoadRequest> requests = {
        {"sequence GET", seq, "Proteins+P3+all", {}, ""},
        {"taxonomy GET", tax, "1+Proteins+P1", {}, ""},
        {"sequence POST",
         seq,
         "",
         {{"DB", "Proteins"},
          {"SHOWTITLE", "1"},
          {"SHOWSEQUENCE", "1"},
          {"SHOWLEN", "1"},
          {"ACCESSION", "\"P1\" \"P3\" \"NOPE\" \"P5\""}},
         ""},
        {"taxonomy POST",
         tax,
         "",
         {{"DB", "Proteins"},
          {"ACCESSION", "\"P1\" \"NOPE\""},
          {"TAXID", "101 2"},
          {"SHOWTITLE", "1"},
          {"SHOWSYNONYMS", "1"},
          {"SHOWTAXTREE", "1"}},
         ""},
    };
    // The answers of quiet runs, started as the web server starts them.
    for (LoadRequest& r : requests) {
        RunRequest direct = taxfetch_e2e::postRequest(inst.install().cgiDir(), r.fields);
        const std::string script = "/tarvex/cgi/" + std::filesystem::path(r.program).filename().string() + ".exe";
        if (!r.query.empty())
            direct.environment = {{"QUERY_STRING", r.query}, {"REQUEST_METHOD", "GET"}, {"REMOTE_ADDR", "127.0.0.1"}};
        direct.environment.emplace_back("SCRIPT_NAME", script);
        direct.program = r.program;
        const RunResult run = runProgram(direct);
        ASSERT_TRUE(run.exited && run.exitStatus == 0) << r.name << "\n" << run.standardOutput;
        const size_t header = run.standardOutput.find("\n\n");
        ASSERT_NE(header, std::string::npos) << r.name;
        r.expected = withoutJob(run.standardOutput.substr(header + 2));
    }

    CgiWebServer server(inst.install(), {seq, tax});
    ASSERT_TRUE(server.started());
    curl_global_init(CURL_GLOBAL_DEFAULT);
    {
        // The server needs a moment before it listens.
        CURL* curl = curl_easy_init();
        bool up = false;
        for (int attempt = 0; attempt < 100 && !up; ++attempt) {
            up = send(curl, server.url(seq), requests[0]).first == 200;
            if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        curl_easy_cleanup(curl);
        ASSERT_TRUE(up) << inst.install().read("logs/lighttpd.log");
    }

    std::atomic<int> next{0};
    std::mutex lock;
    std::vector<double> latencies;
    std::vector<std::string> failures;
    std::vector<std::thread> clients;
    const auto started = std::chrono::steady_clock::now();
    for (int t = 0; t < kAtOnce; ++t) {
        clients.emplace_back([&] {
            CURL* curl = curl_easy_init();
            for (int i; (i = next++) < kRequests;) {
                const LoadRequest& r = requests[static_cast<size_t>(i) % requests.size()];
                const auto start = std::chrono::steady_clock::now();
                const auto [status, body] = send(curl, server.url(r.program), r);
                const double ms =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
                std::lock_guard<std::mutex> guard(lock);
                latencies.push_back(ms);
                if (status != 200 || withoutJob(body) != r.expected)
                    failures.push_back(std::string(r.name) + " #" + std::to_string(i) + ": HTTP " +
                                       std::to_string(status) + "\n" + body);
            }
            curl_easy_cleanup(curl);
        });
    }
    for (std::thread& c : clients) c.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    curl_global_cleanup();

    ASSERT_EQ(latencies.size(), static_cast<size_t>(kRequests));
    EXPECT_TRUE(failures.empty()) << failures.size() << " wrong answers, the first:\n" << failures.front();
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) { return latencies[std::min(latencies.size() - 1, static_cast<size_t>(q * latencies.size()))]; };
    if (!latencies.empty())
        std::printf("  %zu requests, %d at once, %.1f s: latency ms p50 %.0f  p90 %.0f  p99 %.0f  max %.0f\n",
                    latencies.size(), kAtOnce, seconds, at(0.5), at(0.9), at(0.99), latencies.back());

    ControlFileReader control(inst.controlFilePath());
    int running = 0;
    for (int h = 0; h < 2; ++h)
        for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i)
            if (control.slot(0, h, i).jobNumber != 0 && control.slot(0, h, i).status == 1) ++running;
    EXPECT_EQ(running, 0);

    // Every error-log entry whole: header line, text line, blank line.
    const std::string log = inst.install().read("logs/errorlog.txt");
    const std::regex entry("Error \\[M[0-9]{5} - Job -?[0-9]+ - X[0-9]{5}:[^\\]\n]+\\] - [^\n]{24}\n   - [^\n]*\n\n");
    size_t entries = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), entry), end; it != end; ++it) {
        if (static_cast<size_t>(it->position()) != entries) break;
        entries = static_cast<size_t>(it->position() + it->length());
    }
    EXPECT_EQ(entries, log.size()) << "malformed log from byte " << entries << ":\n" << log.substr(entries, 400);
    // The missing accessions of both POST kinds are logged (461).
    EXPECT_NE(log.find("[M00461"), std::string::npos);
}
