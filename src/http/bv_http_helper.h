#pragma once
// One synchronous HTTP GET over a libcurl easy handle, with the proxy,
// credentials, time-outs and redirect policy that the connection settings
// ask for. Failures are recorded on the helper as numbered library messages
// and returned as an HttpResult. Nothing is kept between calls: every get
// builds and frees its own handle. Not thread-safe; one helper per thread.
#include <cstdint>
#include <string>

#include "common/bv_errs.h"
#include "http/bv_connectionsettings.h"

namespace brenvik {

class HttpResult {
public:
    enum Kind { OK = 0, ABORTED = 1, SYSTEM_ERROR = 2, HTTP_STATUS = 3 };

    HttpResult() = default;
    static HttpResult aborted();
    // The message is the system text of the code.
    static HttpResult systemError(int code);
    static HttpResult httpStatus(int status, const std::string& text);

    bool isOk() const { return kind_ == OK; }
    int getKind() const { return kind_; }
    int getErrorCode() const { return errorCode_; }
    int getHttpStatus() const { return httpStatus_; }
    std::string getMessage() const { return message_; }
    void clear() { message_.clear(); }

private:
    int kind_ = OK;
    int errorCode_ = 0;
    int httpStatus_ = 200;
    std::string message_;
};

struct TransferProgress {
    bool abortRequest = false;
    bool started = false;  // set by reset, cleared by clear; nothing reads it
    bool failed = false;
    uint64_t bytesDone = 0;
    uint64_t bytesExpected = 0;
    int updateCount = 0;
    double fraction = 0.0;

    void reset();
    void clear();
    void update(uint64_t done, uint64_t expected);
};

// Proxy from the lower-case proxy variables for a URL: "http:" takes
// http_proxy; "https:" takes http_proxy with httpsViaHttp, else https_proxy;
// "ftp:" takes http_proxy with ftpViaHttp. Prefixes compare case-sensitively.
// Empty when none applies or the variable is unset or empty.
std::string environmentProxyFor(const std::string& url, bool ftpViaHttp, bool httpsViaHttp);

// Texts of the HTTP-client error codes (the 12xxx numbers the messages carry),
// taken from libcurl; null for a code that is not one of them.
const char* httpErrorText(uint32_t code);

class bv_http_helper : public bv_errs {
public:
    // Largest body accepted; a longer one fails the transfer.
    static constexpr uint64_t kMaxBody = 104857600;

    bv_http_helper(const std::string& baseUrl, const bv_connectionsettings& settings);
    bv_http_helper(const bv_http_helper&) = delete;
    bv_http_helper& operator=(const bv_http_helper&) = delete;

    // GET base URL + "/" + path (just the base URL for an empty path), with
    // the path and query escaped where a URL needs it. The body of a 200
    // answer goes to text (and to outputFile when one is named); any other
    // status leaves text as it was.
    HttpResult get(HttpResult& result, const std::string& path, std::string& text,
                   const std::string& outputFile, bool textMode, TransferProgress& progress);
    HttpResult getToString(HttpResult& result, const std::string& path, std::string& text);

    // Base URL and path with exactly one "/" between them.
    static std::string joinUrl(const std::string& base, const std::string& path);
    // The URL with the bytes of its path and query that a URL cannot hold
    // (blanks, controls, non-ASCII, the characters " < > \ ^ ` { } and a "%" that
    // starts no escape) written as %XX escapes.
    static std::string escapeUrl(const std::string& url);

private:
    std::string baseUrl_;
    bv_connectionsettings settings_;
};

}  // namespace brenvik
