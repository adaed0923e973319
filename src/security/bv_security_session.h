#pragma once
// Login check of application-server users: asks the application server over
// HTTP whether the connection behind a type-2 session is still logged in.
#include <string>

namespace brenvik {

class bv_connectionsettings;
class bv_session;

class bv_security_session {
public:
    // True when the server confirms the connection; every other outcome is
    // recorded in the session.
    static bool verifyVostrelConnection(bv_session& session);
    // The same over given connection settings (tests shorten the time-out).
    static bool verifyVostrelConnection(bv_session& session, const bv_connectionsettings& settings);

    // The session ID with its first "@" turned into "|" and its last "_"
    // removed; false when it has no "@" or no "_".
    static bool connectionIDFor(const std::string& sessionID, std::string& connectionID);
    // The request path and query for a connection ID.
    static std::string checkPath(const std::string& connectionID);
    // True when the ID can go into the query unencoded without changing its
    // meaning: no control byte, blank, "#", "&", "%", "?" or byte >= 0x80.
    static bool isSendableConnectionID(const std::string& connectionID);
};

}  // namespace brenvik
