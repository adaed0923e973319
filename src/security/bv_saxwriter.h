#pragma once
// Streaming implementation of bv_XmlWriter: writes the same calls directly
// as indented text into a file, through the platform's XML text writer.
// Handles are tokens of the open elements; a handle of an element already
// closed is refused with a message.
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pal/xml_text_writer.h"
#include "security/bv_xmlhelper.h"

namespace bvparser_internal {

class bv_SaxWriter : public bv_XmlWriter {
public:
    explicit bv_SaxWriter(brenvik::bv_errs* owner);
    ~bv_SaxWriter() override;

    bool open(const std::string& path);
    bool isOpen() const { return writer_ != nullptr; }
    // Closes every open element and the file; true when all of it was written.
    bool close();

    bv_XmlHandle createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) override;
    bv_XmlHandle createRootNS(const std::string& name, const std::string& namespaceURI,
                                const std::string& prefix, const std::string& schemaLocation,
                                const std::string& majorVersion, const std::string& minorVersion) override;
    bv_XmlHandle addChild(bv_XmlHandle parent, const std::string& name) override;
    void setAttribute(bv_XmlHandle element, const char* name, const char* value, bool asAttribute) override;
    void setAttribute(bv_XmlHandle element, const char* name, const std::string& value,
                      bool asAttribute) override;
    void setText(bv_XmlHandle element, const std::string& text) override;
    bool isOK() const override;

private:
    struct Open {
        std::string name;
        uint64_t token;
    };
    // Ends elements until the given one is innermost; false (with a message)
    // when it is not open.
    bool closeDownTo(bv_XmlHandle element);
    void closeAll();
    bv_XmlHandle startRoot(const std::string& qualifiedName,
                             const std::vector<std::pair<std::string, std::string>>& attributes);
    void recordFailure(const std::string& text);

    brenvik::bv_errs* owner_;
    // Made on open: a look-up that writes nothing builds no stream.
    std::unique_ptr<std::ofstream> file_;
    std::vector<Open> stack_;
    std::unique_ptr<NARROW_CHAR_PAL::Writer> writer_;
    uint64_t nextToken_ = 1;
    bool failed_ = false;
};

}  // namespace bvparser_internal
