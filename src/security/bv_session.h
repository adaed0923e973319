#pragma once
// The user session of one request: finds the session (given ID, cookie, web
// server login, client computer, browser, guest, command line), loads its
// file from ../sessions/, validates it (expiry, IP binding, application
// server login, binding of automatic sessions) and touches it. Every failure
// is a recorded message; callers test isValid() and then ask for
// permissions. Session IDs, cookies and CGI variables are treated as
// hostile: an ID that could name anything outside ../sessions/ is refused.
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "common/bv_errs.h"
#include "security/bv_security_options.h"
#include "security/bv_security_tasks.h"

namespace brenvik {

class bv_session : public bv_errs {
public:
    static constexpr const char* kSecurityOffID = "opn_unsecuredaccesskey";
    static constexpr const char* kGuestID = "visit_visitortoken";
    static constexpr const char* kCommandLineID = "con_consoleaccessx";
    static constexpr const char* kSessionDir = "../sessions/";

    explicit bv_session(const std::string& sessionID);

    bool isDatabasePermitted(const std::string& database) const;
    std::string getSessionID() const { return sessionID_; }
    int getUserID() const;
    int getUserType() const;
    std::string getFullUserName() const;
    std::string getEmailAddress() const;
    std::string getIPAddress() const;
    // The session's own flag: true when absent or "true". The database test
    // keeps its checks for every value but "false". Both words are compared
    // exactly after trimming XML white space.
    bool isSecurityEnabled() const;
    int64_t getLastAccessed() const;
    bool isExpired() const;
    const bv_security_tasks& getPermittedTasks() const { return tasks_; }

    // Not empty, no "/", "\", NUL or other control byte, not "." or "..".
    static bool isSafeSessionID(const std::string& id);
    static bool sessionFileExists(const std::string& id);
    static std::string getWebServerAuthSessionID(const std::string& userName = "");
    // The cookie's session ID ("TARVEX_SESSION=" at a cookie boundary),
    // decoded; false when there is none.
    static bool getCookieSessionID(const std::string& cookieHeader, std::string& id);
    bool findComputerSession(const std::string& ipAddress, std::string& id);
    bool findAgentStringSession(std::string& id);
    bool createCommandLineSession(const bv_security_options& options);
    void createSecurityDisabledSession(const bv_security_options& options);

    // Parameter store; a change is written to the file at once (when saving
    // is enabled and the session may be saved).
    bool getParam(const std::string& name, std::string& value) const;
    bool setParam(const std::string& name, const std::string& value);
    bool eraseParam(const std::string& name);
    bool getBoolParam(const std::string& name, bool& value) const;
    bool getIntParam(const std::string& name, int& value) const;
    bool getTimeParam(const std::string& name, int64_t& value) const;
    bool setBoolParam(const std::string& name, bool value);
    bool setIntParam(const std::string& name, int value);
    bool setTimeParam(const std::string& name, int64_t value);

    bool loadFromFile(const bv_security_tasks* filter = nullptr);
    bool saveToFile(const bv_security_tasks* filter = nullptr);

private:
    void initKnownParamNames();
    void loadSession(const std::string& givenID);
    // Fills and writes the command-line session's parameters (security on).
    bool writeCommandLineSession(const bv_security_options& options);
    // As loadFromFile; openError: the system's code when the file could not
    // be opened, 0 when it was read (a failure is then its content).
    bool loadFromFile(const bv_security_tasks* filter, uint32_t& openError);
    std::map<std::string, std::string>& mapFor(const std::string& name);
    const std::map<std::string, std::string>& mapFor(const std::string& name) const;
    std::string filePath() const { return kSessionDir + sessionID_; }

    std::string sessionID_;
    std::map<std::string, std::string> standard_;
    std::map<std::string, std::string> custom_;
    std::set<std::string> knownNames_;
    bv_security_tasks tasks_;
    bool saveEnabled_ = true;
    bool maySave_ = true;
};

}  // namespace brenvik
