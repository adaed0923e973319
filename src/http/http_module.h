#pragma once
// What the HTTP module (a shared object of our own that links libcurl)
// offers the programs: one GET of a text, with the helper's messages copied
// to the owner on failure. The programs open the module on the first fetch
// (configuration from a URL, login check), so that no other request loads
// libcurl and the TLS libraries behind it.
#include <string>

#include "common/module_loader.h"

namespace brenvik {

class bv_errs;
class bv_connectionsettings;

// The module's table (moduleTable<HttpModuleFunctions>()).
struct HttpModuleFunctions {
    static constexpr const char* kFile = kHttpModuleFile;
    static constexpr const char* kKind = "http";
    // GET baseUrl + "/" + path into text; true for a 200 answer. On failure
    // the client's messages are appended to owner (when not null).
    bool (*fetch)(const std::string& baseUrl, const bv_connectionsettings& settings, const std::string& path,
                  std::string& text, bv_errs* owner);
};

}  // namespace brenvik
