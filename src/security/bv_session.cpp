#include "security/bv_session.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "common/file_utils.h"
#include "common/system_calls.h"
#include "common/text_utils.h"
#include "pal/number_reader.h"
#include "pal/system_text.h"
#include "security/bv_security_constants.h"
#include "security/bv_security_session.h"
#include "security/bv_security_schema.h"
#include "security/bv_xmlhelper.h"
#include "security/bv_xmltext.h"

namespace brenvik {

using bvparser_internal::bv_XmlHandle;
using bvparser_internal::bv_XMLHelper;
using bvparser_internal::trimXmlSpace;
namespace bvs = bvparser_internal::bvs;

namespace {

enum Message {
    kLoadFailedNoMessage = 4355,
    kSaveFailed = 4356,
    kTimedOut = 4357,
    kWrongIPAddress = 4358,
    kNotLoggedIn = 4360,
    kSaveOnInvalid = 4361,
    kSaveNotAllowed = 4362,
    kWrongComputer = 4369,
    kWrongWebServerUser = 4370,
    kWrongAgent = 4371,
    kCannotLoad = 4378,
    kTouchFailed = 4382,
    kCommandLineInCgi = 4383,
    kTraceConstructed = 4912,
    kTraceCookie = 4913,
    kTraceLoading = 4914,
};

const char* const kWebServerAuthSuffix = "_webserverauth";
const char* const kComputerIPSuffix = "_computeripaddress";
const char* const kComputerNameSuffix = "_computername";
const char* const kAgentStringSuffix = "_agentstring";
const char* const kCookieName = "TARVEX_SESSION=";

// Parameter elements of the file, in the order they are written.
const std::pair<const char*, const char*> kParamElements[] = {
    {bvs::emailAddress, "_EmailAddress"},   {bvs::fullUserName, "_FullUserName"},
    {bvs::ipAddress, "_IPAddress"},         {bvs::lastAccessed, "_LastAccessed"},
    {bvs::securityEnabled, "_SecurityEnabled"}, {bvs::timeout, "_Timeout"},
    {bvs::userID, "_UserID"},               {bvs::userName, "_UserName"},
    {bvs::userType, "_UserType"},           {bvs::verifyAddress, "_VerifyIPAddress"},
};

const char* env(const char* name) { return std::getenv(name); }

bool isSpecialID(const std::string& id) {
    return id == bv_session::kSecurityOffID || id == bv_session::kGuestID || id == bv_session::kCommandLineID;
}

// Stream extraction: leading blanks skipped, trailing text ignored; out of
// range or no number at all fails.
bool parseTime(const std::string& text, int64_t& value) {
    const brenvik::LeadingInteger<int64_t> n = brenvik::readLeadingInteger<int64_t>(text.c_str());
    value = n.fits ? n.value : 0;
    return n.fits;
}

std::string toUpper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A switch of a session file reads as the word it holds, whatever XML white
// space an editor put around it.
bool flagIs(const std::string& value, const char* word) { return trimXmlSpace(value) == word; }

// "<path as configured>: <the system's text>" for a failed file call.
std::string fileFailure(const std::string& path, int error) {
    return path + ": " + getSystemErrorText(static_cast<uint32_t>(error));
}

// A folder in place of the command-line session file (no file can be
// renamed over it) is moved aside under a fresh name beside it, with all it
// holds, for an administrator to look at: neither removed nor followed. The
// "\" in the name is a byte no session ID may hold. A failure leaves the
// folder, and the write that follows names it.
void moveFolderAside(const std::string& path) {
    struct stat st;
    if (systemCalls().lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    std::string aside = path + "\\folderXXXXXX";
    if (::mkdtemp(aside.data()) == nullptr) return;
    if (::rename(path.c_str(), aside.c_str()) != 0) ::rmdir(aside.c_str());
}

// When the session folder itself cannot be used, the path and the system's
// code of the failure; nothing when it is a folder that can be searched.
bool sessionFolderFails(std::string& path, int& error) {
    struct stat st;
    if (systemCalls().stat(bv_session::kSessionDir, &st) == 0) return false;  // the trailing "/" refuses a plain file
    path = bv_session::kSessionDir;
    error = errno;
    return true;
}

}  // namespace

bv_session::bv_session(const std::string& sessionID) {
    initKnownParamNames();
    loadSession(sessionID);
}

void bv_session::initKnownParamNames() {
    knownNames_ = {"_UserID",    "_UserName",  "_FullUserName", "_EmailAddress",    "_SecurityEnabled", "_LastAccessed",
                   "_Timeout",   "_UserType",  "_IPAddress",    "_VerifyIPAddress", "_PermittedTasks"};
}

bool bv_session::isSafeSessionID(const std::string& id) {
    if (id.empty() || id == "." || id == "..") return false;
    for (char c : id) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || b < 0x20 || b == 0x7F) return false;
    }
    return true;
}

bool bv_session::sessionFileExists(const std::string& id) {
    if (!isSafeSessionID(id)) return false;
    struct stat st;
    return systemCalls().stat((kSessionDir + id).c_str(), &st) == 0;
}

std::string bv_session::getWebServerAuthSessionID(const std::string& userName) {
    std::string user = userName;
    if (user.empty()) {
        const char* remoteUser = env("REMOTE_USER");
        if (remoteUser == nullptr) return std::string();
        user = remoteUser;
        std::size_t slash = user.rfind('\\');
        if (slash != std::string::npos) user.erase(0, slash + 1);
    }
    std::string id = user + kWebServerAuthSuffix;
    return isSafeSessionID(id) ? id : std::string();
}

bool bv_session::getCookieSessionID(const std::string& cookies, std::string& id) {
    const std::string name = kCookieName;
    for (std::size_t at = cookies.find(name); at != std::string::npos; at = cookies.find(name, at + 1)) {
        // Only at the start of the header or of a cookie ("; " and blanks).
        std::size_t before = at;
        while (before > 0 && (cookies[before - 1] == ' ' || cookies[before - 1] == '\t')) --before;
        if (before != 0 && cookies[before - 1] != ';') continue;
        std::size_t start = at + name.size();
        std::size_t end = cookies.find(';', start);
        id = urlDecode(cookies.substr(start, end == std::string::npos ? std::string::npos : end - start));
        return true;
    }
    id.clear();
    return false;
}

bool bv_session::findComputerSession(const std::string& ipAddress, std::string& id) {
    std::string byAddress = ipAddress + kComputerIPSuffix;
    if (sessionFileExists(byAddress)) {
        id = byAddress;
        return true;
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET, ipAddress.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, ipAddress.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof(sockaddr_in6);
    } else {
        return false;
    }
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return false;
    std::string name = toUpper(host);
    if (sessionFileExists(name + kComputerNameSuffix)) {
        id = name + kComputerNameSuffix;
        return true;
    }
    std::size_t dot = name.find('.');
    if (dot != std::string::npos && dot != 0) {
        std::string shortName = name.substr(0, dot) + kComputerNameSuffix;
        if (sessionFileExists(shortName)) {
            id = shortName;
            return true;
        }
    }
    return false;
}

bool bv_session::findAgentStringSession(std::string& id) {
    const char* agent = env("HTTP_USER_AGENT");
    if (agent == nullptr) return false;
    const std::string suffix = kAgentStringSuffix;
    std::vector<std::string> names;
    std::string folder = kSessionDir;
    folder.pop_back();
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                isSafeSessionID(name))
                names.push_back(name);
        }
        ::closedir(dir);
    }
    // Byte-wise order, so that the first match does not depend on the file system.
    std::sort(names.begin(), names.end());
    const std::string agentText = agent;
    for (const std::string& name : names) {
        std::string part = name.substr(0, name.find(suffix));
        if (part.empty() || agentText.find(part) != std::string::npos) {
            id = name;
            return true;
        }
    }
    return false;
}

void bv_session::createSecurityDisabledSession(const bv_security_options& options) {
    sessionID_ = kSecurityOffID;
    if (options.isSecurityEnabled()) return;
    saveEnabled_ = false;
    setParam("_UserID", "0");
    setParam("_UserName", "security_disabled");
    setParam("_FullUserName", "security_disabled");
    setParam("_EmailAddress", "security_disabled@localhost");
    setParam("_SecurityEnabled", "false");
    setParam("_LastAccessed", "0");
    setParam("_Timeout", "0");
    setParam("_UserType", "0");
    setParam("_IPAddress", "UNKNOWN");
    setParam("_VerifyIPAddress", "false");
}

bool bv_session::createCommandLineSession(const bv_security_options& options) {
    sessionID_ = kCommandLineID;
    if (!options.isSecurityEnabled()) {
        if (!sessionFileExists(sessionID_)) return true;
        return std::remove(filePath().c_str()) == 0;
    }
    if (sessionFileExists(sessionID_)) return true;
    return writeCommandLineSession(options);
}

bool bv_session::writeCommandLineSession(const bv_security_options& options) {
    standard_.clear();
    custom_.clear();
    tasks_.clear();
    saveEnabled_ = false;
    setParam("_UserID", "3");
    setParam("_UserName", "Commandline");
    setParam("_FullUserName", "Commandline application");
    setParam("_EmailAddress", "no_email_address");
    setParam("_SecurityEnabled", options.isSecurityEnabled() ? "true" : "false");
    setParam("_LastAccessed", "0");
    setParam("_Timeout", "0");
    setParam("_UserType", "1");
    setParam("_IPAddress", "UNKNOWN");
    setParam("_VerifyIPAddress", "false");
    saveEnabled_ = true;
    moveFolderAside(filePath());
    return saveToFile();
}

void bv_session::loadSession(const std::string& givenID) {
    // 1. Options, security log, and the options' own messages.
    bv_security_options options;
    setLoggingFile(options.getLogFileName(), options.getLogLevel());
    setError(kTraceConstructed, givenID.c_str());
    copyFrom(options);
    if (!options.isValid()) {
        // The options file's own messages reach the security log as well,
        // and no fallback session is built on a broken file: its 4108, which
        // names the cause, stays the last message, the one a request shows.
        bv_errs log(options.getLogLevel());
        log.setLoggingFile(options.getLogFileName(), options.getLogLevel());
        for (int i = 1; i <= options.getNumberOfErrors(); ++i)
            log.addError(options.getErrorNumber(i), options.getErrorString(i), options.getErrorSeverity(i),
                         std::string(), -1, -1, std::string());
        return;
    }

    const char* remoteAddr = env("REMOTE_ADDR");
    // The ID the request named (given or cookie); automatic sessions must
    // prove they belong to this client whenever it was named.
    std::string requestedID;

    // 2. Given ID, else security off, else the cookie.
    if (!givenID.empty()) {
        if (!isSafeSessionID(givenID)) {
            setError(kTimedOut);
            return;
        }
        sessionID_ = givenID;
        requestedID = givenID;
        struct stat st;
        if (!isSpecialID(sessionID_) && systemCalls().stat(filePath().c_str(), &st) != 0) {
            // Only a file missing from a usable folder is a session that timed
            // out and was removed; any other failure is named as it is.
            int error = errno;
            std::string failed = filePath();
            if (error != ENOENT || sessionFolderFails(failed, error))
                setErrorWithDetail(*this, fileFailure(failed, error), kLoadFailedNoMessage);
            else
                setError(kTimedOut);
            return;
        }
    } else {
        if (!options.isSecurityEnabled()) {
            createSecurityDisabledSession(options);
            return;
        }
        const char* cookies = env("HTTP_COOKIE");
        std::string cookieID;
        // An empty cookie value names nothing (the look-up below runs) but
        // is still traced; an unsafe one is ignored altogether.
        if (cookies && getCookieSessionID(cookies, cookieID) && (cookieID.empty() || isSafeSessionID(cookieID))) {
            sessionID_ = cookieID;
            requestedID = cookieID;
            setErrorForUser(sessionID_, -1, kTraceCookie, sessionID_.c_str());
        }
    }

    // 3. The command-line session belongs to runs outside the web server.
    if (sessionID_ == kCommandLineID && remoteAddr != nullptr) {
        setError(kCommandLineInCgi);
        return;
    }

    // 4. A named session without a file (a special ID, or a stale cookie).
    if (!sessionID_.empty() && !sessionFileExists(sessionID_)) sessionID_.clear();

    // 5. Automatic look-up.
    if (sessionID_.empty()) {
        if (!options.isSecurityEnabled()) {
            createSecurityDisabledSession(options);
            return;
        }
        if (remoteAddr != nullptr) {
            std::string webID = getWebServerAuthSessionID();
            std::string found;
            if (sessionFileExists(webID)) sessionID_ = webID;
            else if (findComputerSession(remoteAddr, found)) sessionID_ = found;
            else if (findAgentStringSession(found)) sessionID_ = found;
            else if (sessionFileExists(kGuestID)) sessionID_ = kGuestID;
        } else if (!createCommandLineSession(options)) {
            return;  // the failed write is recorded; there is nothing to load
        }
    }

    // 6. Load the file.
    if (sessionID_.empty()) {
        std::string failed;
        int error = 0;
        if (sessionFolderFails(failed, error)) setErrorWithDetail(*this, fileFailure(failed, error), kNotLoggedIn);
        else setError(kNotLoggedIn);
        return;
    }
    setErrorForUser(sessionID_, -1, kTraceLoading, sessionID_.c_str());
    // A command-line session file that cannot be loaded is written anew,
    // whatever stands in its place (a file an older release left empty or
    // cut, or one too large or holding a NUL; a link, FIFO, socket or folder
    // that whoever can write sessions/ planted there); the messages of the
    // failed read stay in the security log only.
    const bool commandLine = sessionID_ == kCommandLineID && remoteAddr == nullptr && options.isSecurityEnabled();
    const bv_errs beforeLoad = commandLine ? bv_errs(*this) : bv_errs();
    uint32_t openError = 0;
    if (!loadFromFile(nullptr, openError)) {
        if (commandLine) {
            static_cast<bv_errs&>(*this) = beforeLoad;
            if (!writeCommandLineSession(options)) return;
        } else {
            if (isValid()) setError(kLoadFailedNoMessage);
            return;
        }
    }

    // 7. IP binding: a bound session needs the client's address to match,
    // and a request without one cannot show that it does.
    std::string verify;
    if (getParam("_VerifyIPAddress", verify) && flagIs(verify, "true") &&
        (remoteAddr == nullptr || getIPAddress() != remoteAddr)) {
        setError(kWrongIPAddress);
        return;
    }

    // 8. Users of the application server must still be logged in there.
    const int userType = getUserType();
    bool loginFailed = false;
    if (userType == 2 && !bv_security_session::verifyVostrelConnection(*this)) {
        setErrorForUser(sessionID_, getUserID(), kTimedOut);
        loginFailed = true;
    }

    // 9. Binding of automatic sessions named by the request.
    if (!requestedID.empty() && requestedID == sessionID_) {
        if (userType == 3 || userType == 4) {
            std::string found;
            if (remoteAddr == nullptr || !findComputerSession(remoteAddr, found) || found != requestedID) {
                setErrorForUser(requestedID, getUserID(), kWrongComputer, requestedID.c_str(),
                                remoteAddr ? remoteAddr : "localhost");
                return;
            }
        } else if (userType == 5) {
            // The client's agent must match this very session's agent part.
            const char* agent = env("HTTP_USER_AGENT");
            std::string found;
            const std::string part = requestedID.substr(0, requestedID.find(kAgentStringSuffix));
            if (agent == nullptr || !findAgentStringSession(found) ||
                (!part.empty() && std::string(agent).find(part) == std::string::npos)) {
                setErrorForUser(requestedID, getUserID(), kWrongAgent, requestedID.c_str(), agent ? agent : "");
                return;
            }
        } else if (userType == 6) {
            if (getWebServerAuthSessionID() != requestedID) {
                const char* remoteUser = env("REMOTE_USER");
                setErrorForUser(requestedID, getUserID(), kWrongWebServerUser, requestedID.c_str(),
                                remoteUser ? remoteUser : "");
                return;
            }
        }
    }

    // 10. Special and automatic sessions never expire and are never touched.
    if (isSpecialID(sessionID_) || (userType >= 3 && userType <= 6)) {
        maySave_ = false;
        return;
    }
    if (isExpired()) {
        setError(kTimedOut);
        return;
    }
    if (loginFailed) return;  // a failed login must not keep the session alive
    // Through a descriptor opened without following a link: a link planted
    // in place of the session file must not touch the file it names, nor
    // anything but a regular file be touched.
    const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    const int fd = fileOpenNoFollow(filePath().c_str(), O_RDONLY | O_NOCTTY);
    const bool touched = fd >= 0 && ::futimens(fd, times) == 0;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (!touched) {
        const std::string reason = getSystemErrorText(static_cast<uint32_t>(error));
        setError(kTouchFailed, filePath().c_str(), reason.c_str());
    }
}

int64_t bv_session::getLastAccessed() const {
    int64_t last = 0;
    getTimeParam("_LastAccessed", last);
    struct stat st;
    if (isSafeSessionID(sessionID_) && systemCalls().stat(filePath().c_str(), &st) == 0)
        last = std::max<int64_t>(last, st.st_mtime);
    return last;
}

bool bv_session::isExpired() const {
    int64_t timeout = 0;
    if (!getTimeParam("_Timeout", timeout) || timeout <= 0) return false;
    const int64_t last = getLastAccessed();
    // Saturate: a huge time-out means "never", not a wrapped-around past.
    if (last > 0 && timeout > INT64_MAX - last) return false;
    return last + timeout < static_cast<int64_t>(std::time(nullptr));
}

bool bv_session::isDatabasePermitted(const std::string& database) const {
    // Only the security module's own "false" switches the checks off; any
    // other flag value keeps them on.
    std::string flag;
    const bool checksOff = getParam("_SecurityEnabled", flag) && flagIs(flag, "false");
    if (checksOff || getUserID() == 3) return true;
    return tasks_.isDatabasePermitted(database);
}

int bv_session::getUserID() const {
    int id = -1;
    return getIntParam("_UserID", id) ? id : -1;
}

int bv_session::getUserType() const {
    int type = 1;
    return getIntParam("_UserType", type) ? type : 1;
}

std::string bv_session::getFullUserName() const {
    std::string v;
    getParam("_FullUserName", v);
    return v;
}

std::string bv_session::getEmailAddress() const {
    std::string v;
    getParam("_EmailAddress", v);
    return v;
}

std::string bv_session::getIPAddress() const {
    std::string v;
    getParam("_IPAddress", v);
    return v;
}

bool bv_session::isSecurityEnabled() const {
    std::string v;
    return !getParam("_SecurityEnabled", v) || flagIs(v, "true");
}

// ---------------------------------------------------------------- parameters

std::map<std::string, std::string>& bv_session::mapFor(const std::string& name) {
    return knownNames_.count(name) ? standard_ : custom_;
}

const std::map<std::string, std::string>& bv_session::mapFor(const std::string& name) const {
    return knownNames_.count(name) ? standard_ : custom_;
}

bool bv_session::getParam(const std::string& name, std::string& value) const {
    const auto& map = mapFor(name);
    auto it = map.find(name);
    if (it == map.end()) {
        value.clear();
        return false;
    }
    value = it->second;
    return true;
}

bool bv_session::setParam(const std::string& name, const std::string& value) {
    if (!isValid()) {
        setError(kSaveOnInvalid);
        return false;
    }
    if (!maySave_) {
        setError(kSaveNotAllowed);
        return false;
    }
    mapFor(name)[name] = value;
    return saveToFile(nullptr);
}

bool bv_session::eraseParam(const std::string& name) { return mapFor(name).erase(name) != 0; }

bool bv_session::getBoolParam(const std::string& name, bool& value) const {
    std::string text;
    bool present = getParam(name, text);
    value = present && flagIs(text, "true");
    return present;
}

bool bv_session::getIntParam(const std::string& name, int& value) const {
    std::string text;
    bool present = getParam(name, text);
    value = present ? atoiValue(text.c_str()) : 0;
    return present;
}

bool bv_session::getTimeParam(const std::string& name, int64_t& value) const {
    std::string text;
    if (!getParam(name, text)) {
        value = 0;
        return false;
    }
    return parseTime(text, value);
}

bool bv_session::setBoolParam(const std::string& name, bool value) { return setParam(name, value ? "true" : "false"); }

bool bv_session::setIntParam(const std::string& name, int value) { return setParam(name, std::to_string(value)); }

bool bv_session::setTimeParam(const std::string& name, int64_t value) { return setParam(name, std::to_string(value)); }

// ---------------------------------------------------------------- file

bool bv_session::loadFromFile(const bv_security_tasks* filter) {
    uint32_t openError = 0;
    return loadFromFile(filter, openError);
}

bool bv_session::loadFromFile(const bv_security_tasks* filter, uint32_t& openError) {
    openError = 0;
    standard_.clear();
    custom_.clear();
    if (!isSafeSessionID(sessionID_)) {
        setError(kCannotLoad, sessionID_.c_str());
        return false;
    }
    bv_XMLHelper helper(this, true, false);
    const bvparser_internal::bv_XmlFileResult parsed = helper.parseFile(filePath(), securitySchemaLocation());
    if (!parsed) {
        openError = parsed.systemError;
        if (isValid()) setError(kCannotLoad, sessionID_.c_str());
        return false;
    }
    bv_XmlHandle data = helper.getChildElement(helper.getRootElement(), bvs::session_data, 0);
    if (!data) return false;
    for (const auto& [element, param] : kParamElements)
        if (helper.hasChildElement(data, element, 0))
            standard_[param] = helper.getString(helper.getChildElement(data, element, 0));

    if (bv_XmlHandle list = helper.getChildElement(data, bvs::custom_parameters, 0)) {
        bv_XmlHandle param = helper.hasChildElement(list, bvs::param, 0) ? helper.getChildElement(list, bvs::param, 0)
                                                                         : bv_XmlHandle();
        for (; param; param = helper.getNextSiblingElement(param, bvs::param)) {
            bv_XmlHandle name = helper.getChildElement(param, bvs::paramName, 0);
            bv_XmlHandle value = helper.getChildElement(param, bvs::paramValue, 0);
            if (name && value) custom_[helper.getString(name)] = helper.getString(value);
        }
    }
    if (bv_XmlHandle list = helper.getChildElement(data, bvs::permitted_tasks, 0)) {
        standard_["_PermittedTasks"] = "";
        if (!tasks_.readFromXml(filter, helper, list)) {
            if (isValid()) setError(kCannotLoad, sessionID_.c_str());
            return false;
        }
    }
    return helper.isOK();
}

bool bv_session::saveToFile(const bv_security_tasks* filter) {
    if (!isValid()) return false;
    if (!saveEnabled_ || !maySave_) return true;
    if (!isSafeSessionID(sessionID_)) {
        setError(kSaveFailed, sessionID_.c_str());
        return false;
    }
    bv_XMLHelper helper(this, true, false);
    bv_XmlHandle root = helper.createRootNS("security_session", securityNamespaceURI(), "bvs",
                                              securitySchemaLocation(), "1", "1");
    if (!helper.isOK() || !root) {
        setError(kSaveFailed, sessionID_.c_str());
        return false;
    }
    bv_XmlHandle data = helper.addChild(root, bvs::session_data);
    for (const auto& [element, param] : kParamElements) {
        auto it = standard_.find(param);
        if (it != standard_.end() && !it->second.empty()) helper.setText(helper.addChild(data, element), it->second);
    }
    bv_XmlHandle customs = helper.addChild(data, bvs::custom_parameters);
    for (const auto& [name, value] : custom_) {
        bv_XmlHandle param = helper.addChild(customs, bvs::param);
        helper.setText(helper.addChild(param, bvs::paramName), name);
        helper.setText(helper.addChild(param, bvs::paramValue), value);
    }
    bv_XmlHandle tasks = helper.addChild(data, bvs::permitted_tasks);
    if (!tasks_.writeToXml(filter, helper, tasks)) {
        setError(kSaveFailed, sessionID_.c_str());
        return false;
    }
    const bvparser_internal::bv_XmlFileResult saved = helper.saveFile(filePath());
    if (!saved) {
        // The system's reason of a failed write, not only that it failed.
        const uint32_t error = saved.systemError;
        if (error != 0)
            setErrorWithDetail(*this, fileFailure(filePath(), static_cast<int>(error)), kSaveFailed, sessionID_.c_str());
        else
            setError(kSaveFailed, sessionID_.c_str());
        return false;
    }
    return helper.isOK();
}

}  // namespace brenvik
