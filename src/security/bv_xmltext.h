#pragma once
// UTF-8 <-> Xerces UTF-16 conversion without exceptions: a byte sequence that
// is not UTF-8 (or a lone surrogate) becomes U+FFFD instead of a throw from
// inside the XML library.
#include <string>

#include <xercesc/util/XercesDefs.hpp>

namespace bvparser_internal {

std::u16string utf8ToXml(const std::string& text);
std::string xmlToUtf8(const XMLCh* text);

}  // namespace bvparser_internal
