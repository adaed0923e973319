#include "http/bv_connectionsettings.h"

#include <cctype>

namespace brenvik {

const ProxyTypeName proxyTypeNames[] = {
    {"none", "None", PROXY_NONE},
    {"auto", "Auto", PROXY_AUTO},
    {"registry", "Registry", PROXY_REGISTRY},
    {"specify", "Specify", PROXY_SPECIFY},
    {"wpad", "WPAD", PROXY_WPAD},
    {"environment", "Environment", PROXY_ENVIRONMENT},
    {nullptr, nullptr, -1},
};

std::string bv_connectionsettings::defaultUserAgent() {
    return std::string("TarvexParser/") + libraryVersion() + " winhttp/5.1";
}

bv_connectionsettings::bv_connectionsettings() { setDefaults(); }

bv_connectionsettings::bv_connectionsettings(const std::string& sessionID,
                                             const std::string& proxyServer,
                                             const std::string& proxyUsername,
                                             const std::string& proxyPassword) {
    setDefaults();
    sessionID_ = sessionID;
    proxyServer_ = proxyServer;
    proxyUsername_ = proxyUsername;
    proxyPassword_ = proxyPassword;
}

void bv_connectionsettings::setDefaults() {
    sessionID_.clear();
    proxyServer_.clear();
    proxyUsername_.clear();
    proxyPassword_.clear();
    ftpViaHttpProxy_ = false;
    httpsViaHttpProxy_ = false;
    userAgent_ = defaultUserAgent();
    proxyType_ = PROXY_AUTO;
    httpVersion_ = 2;
    timeout_ = 60;
    redirectPolicy_ = 1;
}

int proxyTypeFromName(const std::string& name) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const ProxyTypeName* p = proxyTypeNames; p->name != nullptr; ++p)
        if (lower == p->name) return p->number;
    return -1;
}

std::string proxyTypeToName(int number) {
    for (const ProxyTypeName* p = proxyTypeNames; p->name != nullptr; ++p)
        if (p->number == number) return p->displayName;
    return std::string();
}

}  // namespace brenvik
