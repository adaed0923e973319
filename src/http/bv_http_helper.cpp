#include "http/bv_http_helper.h"

#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "pal/last_error.h"
#include "pal/system_text.h"

namespace brenvik {

namespace {

constexpr int kMsgOpenFileForWriting = 6412;
constexpr int kMsgSetProxyUsername = 6658;
constexpr int kMsgSetProxyPassword = 6659;
constexpr int kMsgSetUsername = 6660;
constexpr int kMsgSetPassword = 6661;
constexpr int kMsgSetRedirectPolicy = 6662;
constexpr int kMsgReceiveResponse = 6664;
constexpr int kMsgQueryStatus = 6666;
constexpr int kMsgOpenSession = 6667;
constexpr int kMsgOpenConnection = 6668;
constexpr int kMsgOpenRequest = 6669;
constexpr int kMsgAborted = 6670;
constexpr int kLogSending = 66304;
constexpr int kLogStatus = 66305;
constexpr int kLogReturned = 66308;

// The error codes that the client's messages carry, numbered as the
// server's other tools know them, with the libcurl failures each stands for.
// The first failure listed for a code gives the code its text; a failure not
// listed is a broken or truncated transfer.
struct HttpErrorCode {
    uint32_t code;
    CURLcode curl;
};
constexpr uint32_t kBrokenTransfer = 12030;
constexpr HttpErrorCode kHttpErrors[] = {
    {12002, CURLE_OPERATION_TIMEDOUT},         // time-out
    {12004, CURLE_FAILED_INIT},                // internal error
    {12004, CURLE_OUT_OF_MEMORY},
    {12005, CURLE_URL_MALFORMAT},              // invalid URL
    {12006, CURLE_UNSUPPORTED_PROTOCOL},       // unrecognised scheme
    {12007, CURLE_COULDNT_RESOLVE_HOST},       // name not resolved
    {12007, CURLE_COULDNT_RESOLVE_PROXY},
    {12017, CURLE_ABORTED_BY_CALLBACK},        // operation cancelled
    {12029, CURLE_COULDNT_CONNECT},            // cannot connect
    {kBrokenTransfer, CURLE_RECV_ERROR},       // connection error
    {12152, CURLE_WEIRD_SERVER_REPLY},         // invalid server response
    {12152, CURLE_GOT_NOTHING},
    {12156, CURLE_TOO_MANY_REDIRECTS},         // redirect failed
    {12175, CURLE_SSL_CONNECT_ERROR},          // secure failure
    {12175, CURLE_PEER_FAILED_VERIFICATION},
    {12175, CURLE_SSL_CERTPROBLEM},
    {12175, CURLE_SSL_CIPHER},
    {12175, CURLE_SSL_CACERT_BADFILE},
    {12184, CURLE_FILESIZE_EXCEEDED},          // response over the limit
};

uint32_t codeForCurl(CURLcode rc) {
    for (const HttpErrorCode& e : kHttpErrors)
        if (e.curl == rc) return e.code;
    return kBrokenTransfer;
}

// libcurl's global state is set up once by the first client and kept for the
// life of the process, like the system's own HTTP layer: no count is kept.
void registerHttpTexts() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        NARROW_CHAR_PAL::setHttpErrorTextLookup(httpErrorText);
    });
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

struct CurlHandle {
    CURL* h = curl_easy_init();
    ~CurlHandle() {
        if (h != nullptr) curl_easy_cleanup(h);
    }
};

struct CurlUrl {
    CURLU* u = curl_url();
    ~CurlUrl() {
        if (u != nullptr) curl_url_cleanup(u);
    }
    std::string part(CURLUPart which) const {
        char* text = nullptr;
        if (curl_url_get(u, which, &text, 0) != CURLUE_OK || text == nullptr) return std::string();
        std::string out = text;
        curl_free(text);
        return out;
    }
};

// Scheme (lower case) and host of an absolute http or https URL; false for
// anything else.
bool splitUrl(const std::string& url, std::string& scheme, std::string& host) {
    CurlUrl parsed;
    if (parsed.u == nullptr) return false;
    if (curl_url_set(parsed.u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return false;
    scheme = parsed.part(CURLUPART_SCHEME);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    host = parsed.part(CURLUPART_HOST);
    return (scheme == "http" || scheme == "https") && !host.empty();
}

struct ProxyChoice {
    std::string proxy;    // "" = direct
    std::string noProxy;  // libcurl's comma list
};

std::string bypassListFromEnvironment() {
    const char* value = std::getenv("no_proxy");
    std::string list = value != nullptr ? value : "";
    for (char& c : list)
        if (c == ';') c = ',';
    return list;
}

// The proxy for one URL. Every type is spelt out so that libcurl never falls
// back to proxy variables of its own choosing (upper-case HTTP_PROXY is set
// by a CGI client's "Proxy:" header). Proxy discovery and the per-user
// Internet settings have no counterpart here: "auto" and "registry" take the
// environment rule, "wpad" finds nothing.
ProxyChoice chooseProxy(const bv_connectionsettings& s, const std::string& url, const std::string& host) {
    ProxyChoice choice;
    switch (s.getProxyType()) {
        case PROXY_SPECIFY:
            // "<local>": names without a dot go direct.
            if (host.find('.') != std::string::npos || host.find(':') != std::string::npos)
                choice.proxy = s.getProxyServer();
            break;
        case PROXY_ENVIRONMENT:
        case PROXY_AUTO:
        case PROXY_REGISTRY:
            choice.proxy = environmentProxyFor(url, s.getFtpViaHttpProxy(), s.getHttpsViaHttpProxy());
            if (!choice.proxy.empty()) choice.noProxy = bypassListFromEnvironment();
            break;
        default:
            break;
    }
    return choice;
}

struct Transfer {
    CURL* curl = nullptr;
    TransferProgress* progress = nullptr;
    std::string body;
    bool sawBody = false;
    bool overflow = false;
    bool aborted = false;
    std::string reason;

    void restart() {
        body.clear();
        sawBody = false;
        overflow = false;
        reason.clear();
    }
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return n;  // only a 200 body is kept
    if (!t->sawBody) {
        t->sawBody = true;
        t->progress->update(0, 0);
    }
    if (n > bv_http_helper::kMaxBody - t->body.size()) {
        t->overflow = true;
        return 0;
    }
    t->body.append(data, n);
    t->progress->update(t->body.size(), 0);
    if (t->progress->abortRequest) {
        t->aborted = true;
        return 0;
    }
    return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    std::string line(data, n);
    if (line.compare(0, 5, "HTTP/") == 0) {
        // "HTTP/1.1 404 Not Found": the text after the code is the reason.
        std::string reason;
        size_t sp = line.find(' ');
        if (sp != std::string::npos) {
            size_t sp2 = line.find(' ', sp + 1);
            if (sp2 != std::string::npos) reason = line.substr(sp2 + 1);
        }
        while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) reason.pop_back();
        t->reason = reason;
    }
    return n;
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string shownBody(const std::string& text) {
    std::string cut = text.size() > 60 ? text.substr(0, 60) + "..." : text;
    std::string shown;
    for (char c : cut) {
        if (c == '\n')
            shown += "[\\n]";
        else if (c == '\r')
            shown += "[\\r]";
        else
            shown += c;
    }
    return shown;
}

}  // namespace

const char* httpErrorText(uint32_t code) {
    for (const HttpErrorCode& e : kHttpErrors)
        if (e.code == code) return curl_easy_strerror(e.curl);
    return nullptr;
}

std::string environmentProxyFor(const std::string& url, bool ftpViaHttp, bool httpsViaHttp) {
    const char* variable = nullptr;
    if (startsWith(url, "http:"))
        variable = "http_proxy";
    else if (startsWith(url, "https:"))
        variable = httpsViaHttp ? "http_proxy" : "https_proxy";
    else if (startsWith(url, "ftp:") && ftpViaHttp)
        variable = "http_proxy";
    if (variable == nullptr) return std::string();
    const char* value = std::getenv(variable);
    return value != nullptr ? value : "";
}

HttpResult HttpResult::aborted() {
    HttpResult r;
    r.kind_ = ABORTED;
    r.message_ = "Aborted by user";
    return r;
}

HttpResult HttpResult::systemError(int code) {
    HttpResult r;
    r.kind_ = SYSTEM_ERROR;
    r.errorCode_ = code;
    r.message_ = getSystemErrorText(static_cast<uint32_t>(code));
    return r;
}

HttpResult HttpResult::httpStatus(int status, const std::string& text) {
    HttpResult r;
    r.kind_ = HTTP_STATUS;
    r.httpStatus_ = status;
    r.message_ = text;
    return r;
}

void TransferProgress::reset() {
    abortRequest = false;
    started = true;
    failed = false;
    bytesDone = bytesExpected = 0;
    updateCount = 0;
    fraction = 0.0;
}

void TransferProgress::clear() {
    reset();
    started = false;
}

void TransferProgress::update(uint64_t done, uint64_t expected) {
    bytesDone = done;
    bytesExpected = expected;
    if (done == 0) updateCount = 0;
    ++updateCount;
    if (expected != 0)
        fraction = static_cast<double>(done) / static_cast<double>(expected);
    else
        fraction = std::atan(updateCount / 10.0) / 3.14159 * 2;
}

bv_http_helper::bv_http_helper(const std::string& baseUrl, const bv_connectionsettings& settings)
    : baseUrl_(baseUrl), settings_(settings) {
    registerHttpTexts();
}

std::string bv_http_helper::joinUrl(const std::string& base, const std::string& path) {
    if (path.empty()) return base;
    const bool baseSlash = !base.empty() && base.back() == '/';
    const bool pathSlash = path.front() == '/';
    if (baseSlash && pathSlash) return base + path.substr(1);
    if (baseSlash || pathSlash) return base + path;
    return base + "/" + path;
}

std::string bv_http_helper::escapeUrl(const std::string& url) {
    // Only the path and query: scheme, credentials and host are left to the
    // URL parser, which refuses what they cannot hold.
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const size_t pathStart = url.find_first_of("/?#", scheme + 3);
    if (pathStart == std::string::npos) return url;
    auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    // Bytes a URL never holds as they are; reserved characters, "|" (the
    // login check's connection IDs carry it as the application server knows
    // them) and complete %XX escapes stay.
    static constexpr std::string_view kUnsafe = "\"<>\\^`{}";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = url.substr(0, pathStart);
    for (size_t i = pathStart; i < url.size(); ++i) {
        const auto b = static_cast<unsigned char>(url[i]);
        const bool escape = b <= 0x20 || b >= 0x7F || kUnsafe.find(url[i]) != std::string_view::npos ||
                            (url[i] == '%' && !(i + 2 < url.size() && isHex(url[i + 1]) && isHex(url[i + 2])));
        if (escape) {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        } else {
            out += url[i];
        }
    }
    return out;
}

HttpResult bv_http_helper::getToString(HttpResult& result, const std::string& path, std::string& text) {
    TransferProgress progress;
    progress.clear();
    return get(result, path, text, std::string(), true, progress);
}

HttpResult bv_http_helper::get(HttpResult& result, const std::string& path, std::string& text,
                               const std::string& outputFile, bool textMode, TransferProgress& progress) {
    result = HttpResult();
    clearAllErrors();
    progress.reset();
    logFormatted(kLogSending, "", -1, std::string("GET"), baseUrl_, path);

    std::unique_ptr<FILE, int (*)(FILE*)> out(nullptr, fclose);
    int outputError = 0;
    if (!outputFile.empty()) {
        out.reset(std::fopen(outputFile.c_str(), textMode ? "w" : "wb"));
        if (!out) {
            int err = errno;
            setError(kMsgOpenFileForWriting, err, "Error code");
            result = HttpResult::systemError(err);
            return result;
        }
    }

    auto systemFailure = [&](int message, uint32_t code) {
        NARROW_CHAR_PAL::setLastError(code);
        setSystemError(message);
        result = HttpResult::systemError(static_cast<int>(code));
    };

    std::string url = escapeUrl(joinUrl(baseUrl_, path));
    CurlHandle handle;
    Transfer transfer;
    transfer.curl = handle.h;
    transfer.progress = &progress;
    std::string originalHost;

    // Options that stay the same on every hop.
    auto prepareRequest = [&]() -> bool {
        CURL* h = handle.h;
        bool ok = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_USERAGENT, settings_.getUserAgent().c_str()) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_HTTP_VERSION,
                                   settings_.getHttpVersion() == 0 ? CURL_HTTP_VERSION_1_0
                                                                   : CURL_HTTP_VERSION_1_1) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBody)) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader) == CURLE_OK &&
                  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer) == CURLE_OK;
        // The time-out bounds connecting and every stretch without data; a
        // hard cap of three times it ends a server that trickles forever.
        // Without one, the limits of the system this replaces apply.
        long t = settings_.getTimeout() > 0 ? settings_.getTimeout() : 0;
        long connect = t > 0 ? t : 60;
        long idle = t > 0 ? t : 30;
        long total = t > 0 ? 3 * t : 180;
        ok = ok && curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connect) == CURLE_OK &&
             curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
             curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idle) == CURLE_OK &&
             curl_easy_setopt(h, CURLOPT_TIMEOUT, total) == CURLE_OK;
        return ok;
    };

    // Credentials go to the first host only; a redirect elsewhere drops them.
    auto setCredentialsAndRedirects = [&](bool sameHost) -> bool {
        CURL* h = handle.h;
        struct Option {
            CURLoption option;
            std::string value;
            int message;
        } options[] = {
            {CURLOPT_PROXYUSERNAME, settings_.getProxyUsername(), kMsgSetProxyUsername},
            {CURLOPT_PROXYPASSWORD, settings_.getProxyPassword(), kMsgSetProxyPassword},
            {CURLOPT_USERNAME, sameHost ? settings_.getUsername() : std::string(), kMsgSetUsername},
            {CURLOPT_PASSWORD, sameHost ? settings_.getPassword() : std::string(), kMsgSetPassword},
        };
        for (const Option& o : options) {
            if (o.value.empty()) {
                curl_easy_setopt(h, o.option, static_cast<char*>(nullptr));
                continue;
            }
            if (curl_easy_setopt(h, o.option, o.value.c_str()) != CURLE_OK) {
                systemFailure(o.message, 12004);
                return false;
            }
        }
        if (!settings_.getUsername().empty() && curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_ANY) != CURLE_OK) {
            systemFailure(kMsgSetUsername, 12004);
            return false;
        }
        if (!settings_.getProxyUsername().empty() &&
            curl_easy_setopt(h, CURLOPT_PROXYAUTH, CURLAUTH_ANY) != CURLE_OK) {
            systemFailure(kMsgSetProxyUsername, 12004);
            return false;
        }
        // The redirect policy: libcurl must never follow a Location itself,
        // since the policy (and the credentials that stay with the first
        // host) is applied below, hop by hop.
        if (curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) != CURLE_OK) {
            systemFailure(kMsgSetRedirectPolicy, 12004);
            return false;
        }
        return true;
    };

    curl_slist* headers = nullptr;
    // Always ask the origin server, never a cache on the way.
    headers = curl_slist_append(headers, "Pragma: no-cache");
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(headers, curl_slist_free_all);

    if (handle.h == nullptr) {
        systemFailure(kMsgOpenSession, 12004);
    } else {
        std::string scheme, host;
        if (!splitUrl(url, scheme, host)) {
            uint32_t code = 12005;
            CurlUrl probe;
            if (probe.u != nullptr &&
                curl_url_set(probe.u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK)
                code = 12006;  // well formed, but not http or https
            systemFailure(kMsgOpenConnection, code);
        } else if (!prepareRequest() ||
                   curl_easy_setopt(handle.h, CURLOPT_HTTPHEADER, headerList.get()) != CURLE_OK) {
            systemFailure(kMsgOpenRequest, 12004);
        } else {
            originalHost = host;
            bool done = false;
            for (int hop = 0; !done; ++hop) {
                ProxyChoice proxy = chooseProxy(settings_, url, host);
                curl_easy_setopt(handle.h, CURLOPT_URL, url.c_str());
                curl_easy_setopt(handle.h, CURLOPT_PROXY, proxy.proxy.c_str());
                curl_easy_setopt(handle.h, CURLOPT_NOPROXY, proxy.noProxy.c_str());
                if (!setCredentialsAndRedirects(strcasecmp(host.c_str(), originalHost.c_str()) == 0)) break;
                transfer.restart();
                CURLcode rc = curl_easy_perform(handle.h);
                if (transfer.aborted || progress.abortRequest) {
                    text = transfer.body;
                    result = HttpResult::aborted();
                    break;
                }
                if (rc != CURLE_OK) {
                    // A body over the limit or cut short is a failure, never a
                    // partial text reported as success.
                    if (transfer.overflow) rc = CURLE_FILESIZE_EXCEEDED;
                    progress.failed = true;
                    systemFailure(kMsgReceiveResponse, codeForCurl(rc));
                    break;
                }
                long status = 0;
                if (curl_easy_getinfo(handle.h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status == 0) {
                    systemFailure(kMsgQueryStatus, 12152);
                    break;
                }
                if (status == 200) {
                    if (!transfer.sawBody) progress.update(0, 0);
                    text = transfer.body;
                    if (out && !transfer.body.empty()) {
                        errno = 0;
                        if (std::fwrite(transfer.body.data(), 1, transfer.body.size(), out.get()) != transfer.body.size())
                            outputError = errno != 0 ? errno : EIO;
                    }
                    done = true;
                    break;
                }
                if (isRedirect(status) && hop < 10) {
                    char* location = nullptr;
                    curl_easy_getinfo(handle.h, CURLINFO_REDIRECT_URL, &location);
                    std::string target = location != nullptr ? location : "";
                    std::string nextScheme, nextHost;
                    int policy = settings_.getRedirectPolicy();
                    bool follow = !target.empty() && splitUrl(target, nextScheme, nextHost) &&
                                  (policy == 0 || (policy == 1 && !(scheme == "https" && nextScheme == "http")));
                    if (follow) {
                        url = target;
                        scheme = nextScheme;
                        host = nextHost;
                        continue;
                    }
                }
                result = HttpResult::httpStatus(static_cast<int>(status), transfer.reason);
                logFormatted(kLogStatus, "", -1, static_cast<unsigned>(status), transfer.reason);
                done = true;
            }
        }
    }

    // A body that did not reach the output file whole is a failure, also
    // when the error shows only as the buffered rest is written at the close.
    if (out) {
        errno = 0;
        if (std::fclose(out.release()) != 0 && outputError == 0) outputError = errno != 0 ? errno : EIO;
    }
    if (outputError != 0 && result.isOk()) {
        progress.failed = true;
        setError(kMsgOpenFileForWriting, outputError, "Error code");
        result = HttpResult::systemError(outputError);
    }
    if (result.getKind() == HttpResult::ABORTED) setError(kMsgAborted);
    logFormatted(kLogReturned, "", -1, shownBody(text));
    return result;
}

}  // namespace brenvik
