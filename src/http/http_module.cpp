// The HTTP module's table (http_module.h); built only into the module.
#include "http/http_module.h"

#include "common/bv_errs.h"
#include "http/bv_http_helper.h"

namespace {

bool fetch(const std::string& baseUrl, const brenvik::bv_connectionsettings& settings, const std::string& path,
           std::string& text, brenvik::bv_errs* owner) {
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

constexpr brenvik::HttpModuleFunctions kFunctions{fetch};
constexpr brenvik::ModuleDeclaration kDeclaration = brenvik::declareModule(kFunctions);

}  // namespace

// The module's entry point (common/module_loader.h).
extern "C" __attribute__((visibility("default"))) const brenvik::ModuleDeclaration* tarvex_module_declaration() {
    return &kDeclaration;
}
