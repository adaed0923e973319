#pragma once
// The catalogue of the server's numbered messages (M-numbers 0 to 623) and the
// 22 message kinds whose flag words choose the channels of a message. Both are
// constant data; the error reporter reads them.
#include <cstdint>

constexpr std::uint32_t KIND_FATAL = 0x2;
constexpr std::uint32_t KIND_NOT_ON_PAGE = 0x4;
constexpr std::uint32_t KIND_MAIL_ADMIN = 0x8;
constexpr std::uint32_t KIND_COLLECT = 0x10;
constexpr std::uint32_t KIND_NOT_IN_ERROR_LOG = 0x20;
constexpr std::uint32_t KIND_MONITOR_LOG = 0x40;
constexpr std::uint32_t KIND_IPC_LOG = 0x80;
constexpr std::uint32_t KIND_NO_NUMBER = 0x100;

struct ErrorKind {
    std::uint32_t flags;
    const char* header;   // null: none
    const char* trailer;  // null: none
};

struct ErrorCatalogueEntry {
    std::int32_t kind;
    const char* format;
    const char* parameters;
    const char* help;
    std::int32_t number;
    const char* name;
    bool onceOnly;
    bool noCallerText;
};

constexpr int ERROR_CATALOGUE_SIZE = 624;
constexpr int ERROR_KIND_COUNT = 22;
// The kind given to numbers outside the catalogue.
constexpr int UNKNOWN_MESSAGE_KIND = 12;

inline constexpr ErrorKind errorKinds[ERROR_KIND_COUNT] = {
    {0x2, "<BR>Sorry, your search could not be performed due to the following mistake entering data.",
     "Please press the back button on your browser, correct the fault and retry the search."},
    {0x11, "Warning:", "Your search is continuing..."},
    {0x11, nullptr, nullptr},
    {0x2, "The following serious error has occurred:", "Please try again later"},
    {0xA, "The following serious system error has occurred:",
     "The Tarvex administrator has been mailed, please try again"},
    {0x2, "The following serious system error has occurred:", nullptr},
    {0xC, nullptr, nullptr},
    {0xA, "The following serious error has occurred.",
     "The Tarvex administrator has been mailed - please try again later"},
    {0xA, "The following error has occurred getting your search details:",
     "Have you tried the <A HREF=\"compatcheck.pl\">browser compatibility</A> test page?"},
    {0x2, "The following error has occurred getting your search details:",
     "Have you tried the <A HREF=\"compatcheck.pl\">browser compatibility</A> test page?"},
    {0x49, nullptr, nullptr},
    {0x4, nullptr, nullptr},
    {0x1, nullptr, nullptr},
    {0x61, nullptr, nullptr},
    {0x64, nullptr, nullptr},
    {0xA4, nullptr, nullptr},
    {0x84, nullptr, nullptr},
    {0x2, nullptr, nullptr},
    {0x1, nullptr, nullptr},
    {0x121, nullptr, nullptr},
    {0x22, "The following serious system error has occurred:", nullptr},
    {0x2, nullptr, "Please try again in a few minutes"},
};

inline constexpr ErrorCatalogueEntry errorCatalogue[] = {
#define TARVEX_MESSAGE(number, kind, name, format, onceOnly, noCallerText) \
    {kind, format, "", "", number, name, onceOnly, noCallerText},
#include "common/message_catalog.def"
#undef TARVEX_MESSAGE
};

namespace message_catalog_checks {
constexpr bool numbersAreIndexes() {
    for (int i = 0; i < ERROR_CATALOGUE_SIZE; ++i)
        if (errorCatalogue[i].number != i) return false;
    return true;
}
constexpr bool kindsInRange() {
    for (const auto& e : errorCatalogue)
        if (e.kind < 0 || e.kind >= ERROR_KIND_COUNT) return false;
    return true;
}
}  // namespace message_catalog_checks

static_assert(sizeof(errorCatalogue) / sizeof(errorCatalogue[0]) == ERROR_CATALOGUE_SIZE,
              "the catalogue holds one entry per message number 0 to 623");
static_assert(message_catalog_checks::numbersAreIndexes(), "catalogue entry number differs from its index");
static_assert(message_catalog_checks::kindsInRange(), "catalogue entry with an unknown kind");

// The entry of a message number; numbers outside 0 to 623 get a synthetic
// entry of kind 12 whose format is "Unknown error number" (its number is the
// one asked for).
ErrorCatalogueEntry catalogueEntry(int number);

inline bool isCatalogueNumber(int number) { return number >= 0 && number < ERROR_CATALOGUE_SIZE; }
