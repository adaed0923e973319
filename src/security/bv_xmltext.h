#pragma once
// UTF-8 <-> Xerces UTF-16 conversion without exceptions: a byte sequence that
// is not UTF-8 (or a lone surrogate) becomes U+FFFD instead of a throw from
// inside the XML library.
#include <string>

#include <xercesc/util/XercesDefs.hpp>

namespace bvparser_internal {

std::u16string utf8ToXml(const std::string& text);
std::string xmlToUtf8(const XMLCh* text);

// The text without the XML white space (space, tab, CR, LF) around it: an
// editor may put a value on a line of its own, and a switch must still read
// as what it says. (Inline: the programs use it without the XML module.)
inline std::string trimXmlSpace(const std::string& text) {
    const char* const space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace bvparser_internal
