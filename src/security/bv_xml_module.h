#pragma once
// What the XML module (a shared object of our own that links Xerces-C)
// implements for bv_XMLHelper: one document per helper, with the helper's
// reading and building calls. The program opens the module on first use and
// asks it for documents through the module's table.
#include <cstdint>
#include <string>

#include "common/module_loader.h"
#include "security/bv_xmlhelper.h"

namespace bvparser_internal {

class bv_XmlDocument : public bv_XmlWriter {
public:
    // Parses text, the content of the file at path (which names the document
    // in messages and is the base of relative schema locations): the helper
    // reads the file itself, so that it decides how the file is opened.
    virtual bool parseText(const std::string& path, const std::string& text,
                           const std::string& externalSchemaLocation) = 0;
    virtual bv_XmlElement* getRootElement() = 0;
    virtual bv_XmlElement* getChildElement(bv_XmlElement* parent, const std::string& name, int index) = 0;
    virtual int countChildElements(bv_XmlElement* parent, const std::string& name) = 0;
    virtual bool hasChildElement(bv_XmlElement* parent, const std::string& name, int index) = 0;
    virtual bv_XmlElement* getNextSiblingElement(bv_XmlElement* element, const std::string& name) = 0;
    virtual std::string getString(bv_XmlElement* element) = 0;
    virtual bv_XmlFileResult saveFile(const std::string& path) = 0;
    virtual const std::string& getEncoding() const = 0;
};

// The module's table (brenvik::moduleTable<XmlModuleFunctions>()).
struct XmlModuleFunctions {
    static constexpr const char* kFile = brenvik::kXmlModuleFile;
    static constexpr const char* kKind = "xml";
    // A new document whose messages go to owner (not owned, may be null);
    // null only when memory runs out.
    bv_XmlDocument* (*createDocument)(brenvik::bv_errs* owner, bool validate, bool createSchemaInfo);
};

}  // namespace bvparser_internal
