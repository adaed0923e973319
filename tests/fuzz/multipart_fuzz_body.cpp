#include "fuzz/multipart_fuzz_body.h"

#include <cstdio>
#include <string>

#include "common/error_reporter.h"
#include "request/multipart_parser.h"
#include "support/reporter_switches.h"

namespace {
struct QuietEvents : brenvik::CBaseUploadStreamEvents {
    void onNoData() override {}
    void onDataStart(const char*, int, int64_t) override {}
    void onData(const char*, int, int64_t) override {}
    void onLengthMismatch(int64_t, int64_t) override {}
};
}  // namespace

void parseMultipartInput(const uint8_t* data, size_t size) {
    if (size == 0) return;
    tarvex_test::ReporterSwitches saved;
    errorReporter.setRepeatCounting(true);
    errorReporter.toPage = false;
    errorReporter.exitOnFatal = false;
    errorReporter.toErrorLog = false;
    errorReporter.toMail = false;
    const int toolKind = data[0] & 1;
    const char* contentType = (data[0] & 2) ? nullptr : "multipart/form-data; boundary=B";
    std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

    std::FILE* sink = std::fopen("/dev/null", "w");
    std::FILE* in = body.empty() ? std::fopen("/dev/null", "rb") : fmemopen(body.data(), body.size(), "rb");
    {
        request_params params(toolKind);
        xml_results_writer writer(static_cast<unsigned char>(toolKind), sink);
        multipart_target target{toolKind, -13, params, writer};
        QuietEvents events;
        brenvik::CFileUploadStream stream(&events, 65536);
        stream.open(in, true);
        std::string boundary;
        if (findBoundary(stream, boundary, contentType, target)) parseParts(stream, boundary, target);
    }
    std::fclose(sink);
}
