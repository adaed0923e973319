#pragma once
// Parser of the multipart/form-data body of a POST request into the request
// parameters of either tool. Every problem is reported through the error
// reporter and added as an XML error to the request's results writer.
#include <string>

#include "request/request_params.h"
#include "request/upload_stream.h"
#include "request/xml_results_writer.h"

// Module name of the frame's and the parser's reports. The error log shows it
// with its folder ("request/post_request"), as the server's log readers know
// it; the leading backslash is where the reporter cuts the path.
inline constexpr const char* kPostRequestModule = "\\request/post_request";

// What a parse writes into: the tool (1 taxonomy, 0 sequence), the job number
// for reports, and the request's parameters and results writer.
struct multipart_target {
    int toolKind;
    int jobNumber;
    request_params& params;
    xml_results_writer& writer;
};

// The POST reader's upload events: a failed read becomes an error report and
// an XML error of the request.
class CMyUploadEvents : public brenvik::CBaseUploadStreamEvents {
public:
    CMyUploadEvents(int jobNumber, xml_results_writer& writer) : jobNumber(jobNumber), writer(writer) {}
    void onNoData() override;
    void onDataStart(const char*, int, int64_t) override {}
    void onData(const char*, int, int64_t) override {}
    void onLengthMismatch(int64_t expected, int64_t read) override;

    bool failed = false;
    int jobNumber;
    xml_results_writer& writer;
};

// Finds the part boundary from the content type (null: the variable is not
// set) and the start of the body. False after an error was added.
bool findBoundary(brenvik::CBaseUploadStream& stream, std::string& boundary, const char* contentType,
                  multipart_target& target);

// Parses every part up to the closing boundary. False after an error that
// ends the parse (skipped taxonomy IDs leave it true).
bool parseParts(brenvik::CBaseUploadStream& stream, const std::string& boundary, multipart_target& target);
