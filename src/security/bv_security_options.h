#pragma once
// Settings of the security module, read from its own XML file when the
// object is built. A missing file means the defaults (security off); a file
// that does not parse or validate leaves the object invalid.
#include <cstdint>
#include <string>

#include "common/bv_errs.h"

namespace brenvik {

class bv_security_options : public bv_errs {
public:
    static constexpr const char* kDefaultFile = "../config/security_options.xml";

    explicit bv_security_options(const std::string& fileName = kDefaultFile);

    bool isSecurityEnabled() const { return securityEnabled_; }
    std::string getLogFileName() const { return logFileName_; }
    int getLogLevel() const { return logLevel_; }
    std::string getVostrelAppServerURL() const { return appServerURL_; }
    int64_t getSessionTimeout() const { return sessionTimeout_; }

private:
    bool load();

    std::string fileName_;
    bool securityEnabled_ = false;
    int64_t sessionTimeout_ = 21600;
    int64_t defaultPasswordExpiryTime_ = 365;
    int minimumPasswordLength_ = 5;
    bool useSessionCookies_ = false;
    bool verifySessionIPAddress_ = false;
    int logLevel_ = 3;
    std::string logFileName_ = "../logs/security.log";
    std::string appServerURL_ = "http://localhost:8080/vostrel";
    std::string appDatabaseName_ = "vostrel";
    std::string appOracleServerName_ = "vostrel";
};

}  // namespace brenvik
