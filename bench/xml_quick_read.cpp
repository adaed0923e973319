// One process that reads a security file (options or session) the way the
// programs do with security on: through our own quick reader, which loads
// no library. bench/xml.sh runs it beside xml_expat_read on the same file.
#include <cstdio>

#include "security/bv_security_constants.h"
#include "security/bv_xmlquick.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: xml_quick_read <file>\n");
        return 2;
    }
    const auto document = bvparser_internal::bv_XmlQuickDocument::read(argv[1], brenvik::securitySchemaLocation());
    if (!document) {
        std::fprintf(stderr, "%s: not read by the quick reader\n", argv[1]);
        return 1;
    }
    std::printf("%zu elements\n", document->size());
    return 0;
}
