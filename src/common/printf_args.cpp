#include "common/printf_args.h"

namespace tarvex_printf {

std::string escapeHtml(const char* text) {
    std::string out;
    if (!text) return out;
    for (const char* p = text; *p; ++p) {
        switch (*p) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += *p; break;
        }
    }
    return out;
}

}  // namespace tarvex_printf
