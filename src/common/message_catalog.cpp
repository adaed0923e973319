#include "common/message_catalog.h"

ErrorCatalogueEntry catalogueEntry(int number) {
    if (isCatalogueNumber(number)) return errorCatalogue[number];
    return ErrorCatalogueEntry{UNKNOWN_MESSAGE_KIND, "Unknown error number", "", "", number, "n/a", false, false};
}
