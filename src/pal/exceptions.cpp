#include "pal/exceptions.h"

#include "pal/msg_catalog.h"

namespace NARROW_CHAR_PAL {

std::string AssertFailure::message() const { return "Assert Failure: " + text; }

std::string WindowsError::message() const {
    // Built on first use and never destroyed, so that a message taken during
    // exit never meets a dead catalogue.
    static MsgCatalog* catalog = new MsgCatalog(std::string());
    return catalog->getMessage(code);
}

}  // namespace NARROW_CHAR_PAL
