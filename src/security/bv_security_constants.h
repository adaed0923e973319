#pragma once
// Names shared by every security XML file (session files and the options file).
#include <string>

#include "request/xml_results_writer.h"

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

}  // namespace brenvik
