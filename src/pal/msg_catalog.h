#pragma once
// Turns message IDs into text: first from an optional catalogue file of the
// catalogue's own (loaded once, on the first look-up that needs it), then from
// the system's error texts, else "Message 0x<id> not found in the catalog.".
// Look-ups are serialised by the catalogue's mutex.
//
// A catalogue file holds one message per line: the ID in hexadecimal, one
// blank, the text. Its name is catalogDirectory() + base name + the four
// lower-case hex digits of a language ID + ".msg".
#include <cstdint>
#include <locale>
#include <map>
#include <string>

#include "pal/mutex.h"

namespace NARROW_CHAR_PAL {

class MsgCatalog {
public:
    explicit MsgCatalog(const std::string& baseName);
    virtual ~MsgCatalog() = default;
    MsgCatalog(const MsgCatalog&) = delete;
    MsgCatalog& operator=(const MsgCatalog&) = delete;

    // Folder prefix of the catalogue file's name (with its trailing "/").
    virtual std::string catalogDirectory() const { return std::string(); }

    std::string getMessage(uint32_t id);
    // True when the catalogue file is (now) loaded. Never loads with an empty
    // base name; tries the user's language, then 0x0809.
    bool loadCatalog();
    // Tries one catalogue file for the 4-character language code.
    bool loadCatalogFile(const std::string& languageCode);

    bool isLoaded() const { return loaded; }
    // The file name loadCatalogFile would try for a language code.
    std::string catalogFileName(const std::string& languageCode) const;

private:
    Mutex mutex;
    bool loaded = false;
    std::string baseName;
    std::locale locale;
    std::map<uint32_t, std::string> module;
};

// The language of the user's messages (no per-user language exists here:
// always English (United States), 0x0409).
uint16_t userDefaultLanguageId();

// The system's text of an error code, or false when the system has none.
bool systemMessageText(uint32_t code, std::string& text);

}  // namespace NARROW_CHAR_PAL
