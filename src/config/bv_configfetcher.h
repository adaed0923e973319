#pragma once
// Fetches a text from a URL for an owner error object: the server's settings
// script for the configuration source, and any URL for the login check.
// Failures are appended to the owner's messages.
#include <string>

#include "http/bv_connectionsettings.h"

namespace brenvik {

class bv_errs;

class bv_configfetcher {
public:
    bv_configfetcher(bv_errs* owner, const bv_connectionsettings* settings);

    // GET base URL + "/" + path; true with the body in getText().
    bool fetch(const std::string& baseUrl, const std::string& path);

    bool fetchMainConfig(const std::string& baseUrl);
    bool fetchEnzymes(const std::string& baseUrl);
    bool fetchFragmentationRules(const std::string& baseUrl);
    bool fetchMasses(const std::string& baseUrl);
    bool fetchModFile(const std::string& baseUrl, bool substitutions);
    bool fetchTaxonomy(const std::string& baseUrl);
    bool fetchUnimodCompressed(const std::string& baseUrl);
    // Fetches a name from the settings script and unpacks the compressed body.
    bool fetchSetting(const std::string& baseUrl, const std::string& name);

    const std::string& getText() const { return text_; }

    // The settings script's path for a name: "show_settings.pl?Show=" and the
    // name, then "&sessionID=" and the percent-encoded ID when there is one.
    static std::string settingsPath(const std::string& name, const std::string& sessionID);

private:
    bool fetchNamed(const std::string& baseUrl, const std::string& name);

    std::string text_;
    bv_errs* owner_;
    bv_connectionsettings settings_;
};

}  // namespace brenvik
