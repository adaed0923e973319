#include "config/bv_configfetcher.h"

#include "common/bv_errs.h"
#include "http/compressed_buffer.h"
#include "http/http_module.h"

namespace brenvik {

namespace {

constexpr int kMsgInvalidUrl = 2306;
constexpr int kMsgOpenSession = 6667;

std::string percentEncode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

bv_configfetcher::bv_configfetcher(bv_errs* owner, const bv_connectionsettings* settings) : owner_(owner) {
    if (settings != nullptr) settings_ = *settings;
}

bool bv_configfetcher::fetch(const std::string& baseUrl, const std::string& path) {
    text_.clear();
    if (owner_ != nullptr && !owner_->isValid()) return false;
    // Null when the module failed (the loader has reported why).
    const auto* http = moduleTable<HttpModuleFunctions>();
    if (http == nullptr) {
        if (owner_ != nullptr) owner_->setError(kMsgOpenSession);
        return false;
    }
    return http->fetch(baseUrl, settings_, path, text_, owner_);
}

std::string bv_configfetcher::settingsPath(const std::string& name, const std::string& sessionID) {
    std::string path = "show_settings.pl?Show=" + name;
    if (!sessionID.empty()) path += "&sessionID=" + percentEncode(sessionID);
    return path;
}

bool bv_configfetcher::fetchNamed(const std::string& baseUrl, const std::string& name) {
    text_.clear();
    if (baseUrl.size() < 8) {
        if (owner_ != nullptr) owner_->setError(kMsgInvalidUrl, baseUrl);
        return false;
    }
    // The client joins base and path with one "/"; a base that ends in "/"
    // must not give two.
    std::string base = baseUrl;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return fetch(base, settingsPath(name, settings_.getSessionID()));
}

bool bv_configfetcher::fetchMainConfig(const std::string& u) { return fetchNamed(u, "BV_TARVEX_DAT"); }
bool bv_configfetcher::fetchEnzymes(const std::string& u) { return fetchNamed(u, "BV_ENZYMES"); }
bool bv_configfetcher::fetchFragmentationRules(const std::string& u) {
    return fetchNamed(u, "BV_FRAGMENTATION_RULES");
}
bool bv_configfetcher::fetchMasses(const std::string& u) { return fetchNamed(u, "BV_MASSES"); }
bool bv_configfetcher::fetchModFile(const std::string& u, bool substitutions) {
    return fetchNamed(u, substitutions ? "BV_SUBSTITUTIONS" : "BV_MOD_FILE");
}
bool bv_configfetcher::fetchTaxonomy(const std::string& u) { return fetchNamed(u, "BV_TAXONOMY"); }
bool bv_configfetcher::fetchUnimodCompressed(const std::string& u) {
    return fetchSetting(u, "BV_UNIMODXML_COMPRESSED");
}

bool bv_configfetcher::fetchSetting(const std::string& baseUrl, const std::string& name) {
    if (!fetchNamed(baseUrl, name)) return false;
    CompressedBuffer buffer(true, text_);
    if (!buffer.isValid()) {
        text_.clear();
        if (owner_ != nullptr) owner_->copyFrom(buffer);
        return false;
    }
    // A length warning (5893) leaves the bytes usable; the owner still hears of it.
    if (owner_ != nullptr && buffer.getNumberOfErrors() > 0) owner_->copyFrom(buffer);
    text_ = buffer.getResult();
    return true;
}

}  // namespace brenvik
