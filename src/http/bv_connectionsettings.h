#pragma once
// How the HTTP client reaches a server: proxy and how to find it, proxy and
// server credentials, user agent, protocol version, time-out and redirect
// policy, and the session ID that the configuration fetch adds to its query.
// A plain value object; no setters beyond construction and assignment.
#include <string>

namespace brenvik {

class bv_connectionsettings {
public:
    bv_connectionsettings();
    bv_connectionsettings(const std::string& sessionID, const std::string& proxyServer,
                          const std::string& proxyUsername, const std::string& proxyPassword);
    bv_connectionsettings(const bv_connectionsettings& other) = default;
    bv_connectionsettings& operator=(const bv_connectionsettings& other) = default;
    ~bv_connectionsettings() = default;

    void copyFrom(const bv_connectionsettings& other) {
        if (this != &other) *this = other;
    }
    // Every default except the user name and password, which stay as they are.
    void setDefaults();

    std::string getSessionID() const { return sessionID_; }
    std::string getProxyServer() const { return proxyServer_; }
    std::string getProxyUsername() const { return proxyUsername_; }
    std::string getProxyPassword() const { return proxyPassword_; }
    bool getFtpViaHttpProxy() const { return ftpViaHttpProxy_; }
    bool getHttpsViaHttpProxy() const { return httpsViaHttpProxy_; }
    std::string getUserAgent() const { return userAgent_; }
    int getProxyType() const { return proxyType_; }
    // 0 selects HTTP/1.0, every other value HTTP/1.1.
    int getHttpVersion() const { return httpVersion_; }
    int getTimeout() const { return timeout_; }
    std::string getUsername() const { return username_; }
    std::string getPassword() const { return password_; }
    // 0 follow every redirect; 1 all but https to http; other values never.
    int getRedirectPolicy() const { return redirectPolicy_; }

    // The programs fill only the four constructor fields; the rest are set
    // where settings are built by hand (the HTTP client's tests among them).
    void setProxyType(int type) { proxyType_ = type; }
    void setTimeout(int seconds) { timeout_ = seconds; }
    void setRedirectPolicy(int policy) { redirectPolicy_ = policy; }
    void setHttpVersion(int selector) { httpVersion_ = selector; }
    void setUserAgent(const std::string& agent) { userAgent_ = agent; }
    void setCredentials(const std::string& user, const std::string& password) {
        username_ = user;
        password_ = password;
    }
    void setViaHttpProxy(bool ftp, bool https) {
        ftpViaHttpProxy_ = ftp;
        httpsViaHttpProxy_ = https;
    }

    static const char* libraryVersion() { return "2.7.0.1"; }
    static std::string defaultUserAgent();

private:
    std::string sessionID_;
    std::string proxyServer_;
    std::string proxyUsername_;
    std::string proxyPassword_;
    bool ftpViaHttpProxy_ = false;
    bool httpsViaHttpProxy_ = false;
    std::string userAgent_;
    int proxyType_ = 5;
    int httpVersion_ = 2;
    int timeout_ = 60;
    std::string username_;
    std::string password_;
    int redirectPolicy_ = 1;
};

enum ProxyTypeNumber {
    PROXY_NONE = 0,
    PROXY_REGISTRY = 1,
    PROXY_SPECIFY = 2,
    PROXY_WPAD = 3,
    PROXY_ENVIRONMENT = 4,
    PROXY_AUTO = 5,
};

struct ProxyTypeName {
    const char* name;         // as read from the Options section, lower case
    const char* displayName;  // as written back
    int number;
};
// In table order; the last entry has null names and number -1.
extern const ProxyTypeName proxyTypeNames[];

// Number of the entry whose name equals the lower-cased text; -1 when none.
int proxyTypeFromName(const std::string& name);
// Display name of the entry with that number; empty for an unknown number.
std::string proxyTypeToName(int number);

}  // namespace brenvik
