#pragma once
// Small text helpers of the server code and the library. The char* forms
// work on NUL-terminated texts and accept null where noted.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// True when only TAB, 0x1A or space stand before the first NUL, LF or CR.
// An empty text and a null pointer are blank.
bool isBlankLine(const char* text);

// strcasecmp-style result (negative, 0, positive).
int compareNoCase(const char* a, const char* b);

// 0 when the first count characters of text equal those of expected ignoring
// case and none of them in text is NUL; -1 otherwise; 0 for a count of 0.
int compareNoCasePrefix(const char* text, const char* expected, size_t count);

// First character of text not in set (the terminating NUL when all are);
// null for a null text.
const char* skipChars(const char* text, const char* set);

// Overwrites trailing TAB, LF, CR and space characters with NUL.
void trimRight(char* text);

// Removes leading and trailing spaces (character 32 only).
void trimSpaces(std::string& text);

// First character of text that is in set, or null. With backOverBlanks the
// result moves back over the spaces directly before it, never before text.
const char* findFirstOf(const char* text, bool backOverBlanks, const char* set);

// Copies source without "<" and ">" and terminates the copy; at most
// size - 2 characters are copied. Size 1 gives the empty text, size 0 writes
// nothing.
void copyWithoutAngleBrackets(const char* source, char* destination, size_t size);

// Decodes %XX escapes ("+" stays "+"); a "%" with fewer than two characters
// after it is dropped; a non-hex digit counts 0.
std::string urlDecode(const std::string& text);

// The first place in data[0..size) where the bytes occur, or null (also for
// no bytes or no data).
const char* findBytes(const char* data, size_t size, std::string_view bytes);

// Switches all locale categories to the locale that numbers are read in ("C")
// and returns a copy of the previous name (free it with restoreLocale); null,
// switching nothing, when the current name cannot be read.
char* setEnglishLocale();
// Switches back to the saved name and frees it; null does nothing.
void restoreLocale(char* saved);

// Holds the number locale for its lifetime and restores the previous one on
// every way out of the scope.
class EnglishLocaleGuard {
public:
    EnglishLocaleGuard() : saved_(setEnglishLocale()) {}
    ~EnglishLocaleGuard() { restoreLocale(saved_); }
    EnglishLocaleGuard(const EnglishLocaleGuard&) = delete;
    EnglishLocaleGuard& operator=(const EnglishLocaleGuard&) = delete;

private:
    char* saved_;
};

// Calls visit(piece) for each piece of a FASTA title cut at every byte of
// cuts (the description separator 0x01 by default), in order, until visit
// returns false. An empty title is one empty piece; a cut at the very end
// opens no further piece.
template <typename Visit>
void forEachTitlePiece(std::string_view title, Visit visit, std::string_view cuts = "\x01") {
    // One bit per byte value: a test per title byte instead of a search of
    // the cuts.
    uint64_t isCut[4] = {};
    for (const char c : cuts) isCut[static_cast<unsigned char>(c) >> 6] |= uint64_t{1} << (c & 63);
    size_t start = 0;
    do {
        size_t end = start;
        while (end < title.size() &&
               (isCut[static_cast<unsigned char>(title[end]) >> 6] >> (title[end] & 63) & 1) == 0)
            ++end;
        if (!visit(title.substr(start, end - start))) return;
        start = end + 1;
    } while (start < title.size());
}
