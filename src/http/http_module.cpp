// The HTTP module's entry point (http_module.h); built only into the module.
#include "http/http_module.h"

#include "common/bv_errs.h"
#include "http/bv_http_helper.h"

extern "C" bool tarvex_http_fetch(const std::string& baseUrl, const brenvik::bv_connectionsettings& settings,
                                  const std::string& path, std::string& text, brenvik::bv_errs* owner) {
    brenvik::bv_http_helper helper(baseUrl, settings);
    brenvik::HttpResult result;
    bool ok = false;
    if (helper.isValid()) {
        helper.getToString(result, path, text);
        ok = result.isOk();
    }
    if (!ok && owner != nullptr) owner->copyFrom(helper);
    return ok;
}
