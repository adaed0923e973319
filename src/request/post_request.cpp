#include "request/post_request.h"

#include <cstdlib>
#include <string>

#include "common/error_reporter.h"
#include "common/process_startup.h"
#include "config/global_options.h"
#include "pal/number_reader.h"
#include "request/multipart_parser.h"

namespace {
constexpr const char* kModule = kPostRequestModule;
// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineConfigInvalid = 103;  // M403
constexpr int kLineNoDatabase = 119;  // M463
constexpr int kLineNoItems = 140;  // M464 / M465
constexpr int kLineInvalidSession = 151;  // M440
constexpr int kLineNotPermitted = 161;  // M443
constexpr int kLineRepeatSummary = 172;
constexpr int kLineOutputFailed = 174;  // new: the answer could not be written
constexpr int kLineNoContent = 214;  // M270
constexpr int kConfigRetrySeconds = 10;
}  // namespace

post_request::post_request(int toolId, int kind, std::FILE* out, std::FILE* in)
    : writer(static_cast<unsigned char>(kind), out),
      params(kind),
      jobNumber(toolId),
      geneticCodes(makeGeneticCodeTables()),
      toolKind(kind),
      out_(out),
      in_(in) {}

bool post_request::markAccessionFound(std::string_view accession, int32_t sequenceIndex) {
    return params.markAccessionFound(accession, sequenceIndex);
}

int post_request::run() {
    std::fputs("Content-type: text/xml\n\n", out_);
    std::fflush(out_);

    // From here on a client sees errors only as XML elements.
    errorReporter.setRepeatCounting(true);
    errorReporter.toPage = false;
    errorReporter.exitOnFatal = false;

    brenvik::initProcess();
    config.setRetrySeconds(kConfigRetrySeconds);
    config.load();
    brenvik::switchStandaloneCluster(*config.getOptions(), *config.getCluster());

    writer.startDocument();
    bool ok;
    if (config.isValid()) {
        ok = readRequest();
        if (params.dbName.empty()) {
            errorReporter.report(463, jobNumber, kLineNoDatabase, kModule);
            writer.addMessage(false, 463, "'db' parameter is missing", {}, {}, {}, 0);
            ok = false;
        }
        size_t items = params.accessions.size();
        if (toolKind) items += params.taxIds.size();
        if (items == 0) {
            if (toolKind) {
                errorReporter.report(465, jobNumber, kLineNoItems, kModule);
                writer.addMessage(false, 465, "POST-request to bv-taxfetch is empty", {}, {}, {}, 0);
            } else {
                errorReporter.report(464, jobNumber, kLineNoItems, kModule);
                writer.addMessage(false, 464, "'accession' parameter is missing", {}, {}, {}, 0);
            }
            ok = false;
        }
    } else {
        const std::string text = config.getLastErrorString();
        errorReporter.report(403, jobNumber, kLineConfigInvalid, kModule, text);
        writer.addMessage(false, 403, "Error while reading tarvex.dat", "errstring", text, {}, 0);
        ok = false;
    }

    brenvik::bv_session session(params.sessionId);
    if (ok) {
        if (!session.isValid()) {
            const std::string text = session.getLastErrorString();
            errorReporter.report(440, jobNumber, kLineInvalidSession, kModule, "", text);
            writer.addMessage(false, 440, "Invalid session or session ID", "errstring", text, {}, 0);
            ok = false;
        } else if (!session.isDatabasePermitted(params.dbName)) {
            errorReporter.report(443, jobNumber, kLineNotPermitted, kModule, session.getFullUserName(), session.getUserID(),
                                 params.dbName);
            writer.addMessage(false, 443, "Not allowed to search the database", "db", params.dbName, {}, 0);
            ok = false;
        }
    }

    process(ok, session);

    if (databaseReadFailed) {
        writer.addMessage(false, 512, "Cannot iterate database. Possibly, a file mapping/locking error.", "db",
                          params.dbName, {}, 0);
        writer.endMessageList(false);
    }
    writer.endMessageList(true);
    writer.endDocument();
    errorReporter.reportRepeatSummary(jobNumber, kLineRepeatSummary, kModule);
    closeSocketLibrary(jobNumber);
    // POST answers 0 whenever the document reached the client.
    return finishStandardOutput(out_, 0, jobNumber, kLineOutputFailed, kModule);
}

bool post_request::readRequest() {
    int64_t expected = 0;
    if (const char* length = getEnv("CONTENT_LENGTH")) {
        // Read as a decimal number that stops at the first non-digit, so
        // anything that does not start with a number counts as zero.
        const brenvik::LeadingInteger<int64_t> value = brenvik::readLeadingInteger<int64_t>(length);
        if (value.value == 0) {
            errorReporter.report(270, jobNumber, kLineNoContent, kModule);
            writer.addMessage(false, 270, "A POST-request is submitted with zero content length", {}, {}, {}, 0);
            return false;
        }
        // A length that does not fit, or a negative one, is no length at all.
        if (value.fits && value.value > 0) expected = value.value;
    }
    CMyUploadEvents events(jobNumber, writer);
    brenvik::CFileUploadStream stream(&events);
    stream.setExpectedLength(expected);
    setStdinBinary();
    stream.open(in_, false);
    multipart_target target{toolKind, jobNumber, params, writer};
    std::string boundary;
    if (events.failed) return false;
    if (!findBoundary(stream, boundary, getEnv("CONTENT_TYPE"), target)) return false;
    if (!parseParts(stream, boundary, target)) return false;
    return !events.failed;
}
