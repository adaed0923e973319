#include "security/bv_security_options.h"

#include <sys/stat.h>

#include "common/system_calls.h"
#include "security/bv_security_constants.h"
#include "security/bv_security_schema.h"
#include "security/bv_xmlhelper.h"

namespace brenvik {

using bvparser_internal::bv_XmlHandle;
using bvparser_internal::bv_XMLHelper;
namespace bvs = bvparser_internal::bvs;

namespace {
constexpr int kLoadFailed = 4108;
}

bv_security_options::bv_security_options(const std::string& fileName) : fileName_(fileName) { load(); }

bool bv_security_options::load() {
    struct stat st;
    if (systemCalls().stat(fileName_.c_str(), &st) != 0) return true;

    bv_XMLHelper helper(this, true, false);
    // config/ is the administrator's folder, which may be laid out with links.
    if (!helper.parseFile(fileName_, securitySchemaLocation(), true)) {
        // The first error the parse recorded is the cause; the summary that
        // callers show carries it.
        std::string cause;
        for (int i = 1; i <= getNumberOfErrors() && cause.empty(); ++i)
            if (getErrorSeverity(i) == 1) cause = getErrorString(i);
        if (cause.empty()) setError(kLoadFailed);
        else setErrorWithDetail(*this, cause, kLoadFailed);
        return false;
    }
    bv_XmlHandle options = helper.getChildElement(helper.getRootElement(), bvs::options, 0);
    if (!options) return false;

    // Each option is the first child of its name; a missing one is recorded
    // (2055) and keeps its default.
    auto child = [&](const char* name) { return helper.getChildElement(options, name, 0); };
    if (auto e = child(bvs::securityEnabled)) securityEnabled_ = helper.getBool(e);
    if (auto e = child(bvs::sessionTimeout)) sessionTimeout_ = helper.getInt64(e);
    if (auto e = child(bvs::defaultPasswordExpiryTime)) defaultPasswordExpiryTime_ = helper.getInt64(e);
    if (auto e = child(bvs::minimumPasswordLength)) minimumPasswordLength_ = helper.getInt(e);
    if (auto e = child(bvs::useSessionCookies)) useSessionCookies_ = helper.getBool(e);
    if (auto e = child(bvs::verifySessionIPAddress)) verifySessionIPAddress_ = helper.getBool(e);
    if (auto e = child(bvs::vostrelAppServerURL)) appServerURL_ = helper.getString(e);
    if (auto e = child(bvs::vostrelDatabaseName)) appDatabaseName_ = helper.getString(e);
    if (auto e = child(bvs::vostrelOracleServerName)) appOracleServerName_ = helper.getString(e);
    if (auto e = child(bvs::logLevel)) logLevel_ = helper.getInt(e);
    if (auto e = child(bvs::logFileName)) logFileName_ = helper.getString(e);
    return true;
}

}  // namespace brenvik
