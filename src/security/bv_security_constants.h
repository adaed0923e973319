#pragma once
// Names shared by every security XML file (session files and the options
// file), and the form in which their readers name a failure's cause.
#include <string>

#include "common/bv_errs.h"

// Host of the namespace URIs of the security files and of the results
// documents.
inline constexpr const char* kTarvexNamespaceHost = "www.tarvex.example";

namespace brenvik {

inline const std::string& securityNamespaceURI() {
    static const std::string uri = std::string("http://") + kTarvexNamespaceHost + "/xmlns/schema/tarvex_security_1_0";
    return uri;
}

// Namespace, one blank, and the schema file relative to the document's
// folder: sessions/ and config/ lie side by side in an installation.
inline const std::string& securitySchemaLocation() {
    static const std::string location = securityNamespaceURI() + " ../config/tarvex_security_1_0.xsd";
    return location;
}

// Records number, its text filled from args as the message tables give it,
// followed by ". " and detail, so that the one line a caller shows for a
// failed session (the page, the error log) names the cause.
template <typename... A>
void setErrorWithDetail(bv_errs& errs, const std::string& detail, int number, const A&... args) {
    bv_errs text;
    text.setError(number, args...);
    errs.addError(number, text.getLastErrorString() + ". " + detail, text.getErrorSeverity(-1), std::string(), -1,
                  -1, std::string());
}

}  // namespace brenvik
