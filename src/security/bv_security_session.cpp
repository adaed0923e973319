#include "security/bv_security_session.h"

#include "config/bv_configfetcher.h"
#include "http/bv_connectionsettings.h"
#include "security/bv_security_options.h"
#include "security/bv_session.h"

namespace brenvik {

namespace {

enum Message {
    kContactFailed = 4373,
    kConnectionTimedOut = 4377,
    kReplyTrace = 4881,
    kUrlTrace = 4883,
    kLoggedInTrace = 4884,
};

constexpr std::size_t kLogCopyLength = 1200;

}  // namespace

bool bv_security_session::connectionIDFor(const std::string& sessionID, std::string& connectionID) {
    std::size_t at = sessionID.find('@');
    std::size_t underscore = sessionID.rfind('_');
    if (at == std::string::npos || underscore == std::string::npos) return false;
    connectionID = sessionID;
    connectionID[at] = '|';
    connectionID.erase(underscore, 1);
    return true;
}

std::string bv_security_session::checkPath(const std::string& connectionID) {
    return "/rc?command=page&page=CheckLoginBV&connectionid=" + connectionID + "&action=check";
}

bool bv_security_session::isSendableConnectionID(const std::string& connectionID) {
    for (char c : connectionID) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '#' || c == '&' || c == '%' || c == '?') return false;
    }
    return true;
}

bool bv_security_session::verifyVostrelConnection(bv_session& session) {
    // No session ID for the settings script, no proxy of the main
    // configuration; every other setting (60 s time-out) is the default.
    return verifyVostrelConnection(session, bv_connectionsettings("", "", "", ""));
}

bool bv_security_session::verifyVostrelConnection(bv_session& session, const bv_connectionsettings& settings) {
    const std::string sessionID = session.getSessionID();
    const int userID = session.getUserID();
    bv_security_options options;

    std::string connectionID;
    if (!connectionIDFor(sessionID, connectionID) || !isSendableConnectionID(connectionID)) {
        session.setErrorForUser(sessionID, userID, kConnectionTimedOut, sessionID.c_str());
        return false;
    }
    const std::string baseUrl = options.getVostrelAppServerURL();
    const std::string path = checkPath(connectionID);
    session.setErrorForUser(sessionID, userID, kUrlTrace, baseUrl.c_str(), path.c_str());

    bv_configfetcher fetcher(&session, &settings);
    // The client puts one "/" between base URL and path itself.
    if (!session.isValid() || !fetcher.fetch(baseUrl, path.substr(1))) {
        session.setErrorForUser(sessionID, userID, kContactFailed);
        return false;
    }
    const std::string& reply = fetcher.getText();

    std::string logCopy;
    for (std::size_t i = 0; i < reply.size() && i < kLogCopyLength; ++i)
        if (reply[i] != '\r' && reply[i] != '\n') logCopy += reply[i];
    session.setErrorForUser(sessionID, userID, kReplyTrace, logCopy.c_str());

    if (reply.find("logged_in=true") != std::string::npos) {
        session.setErrorForUser(sessionID, userID, kLoggedInTrace);
        return true;
    }
    const std::string open = "<div class=error>";
    std::size_t start = reply.find(open);
    std::size_t end = start == std::string::npos ? start : reply.find("</div>", start + open.size());
    if (end != std::string::npos) {
        std::string text = reply.substr(start + open.size(), end - start - open.size());
        session.setErrorForUser(sessionID, userID, kConnectionTimedOut, text.c_str());
    } else {
        session.setErrorForUser(sessionID, userID, kConnectionTimedOut, logCopy.c_str());
    }
    return false;
}

}  // namespace brenvik
