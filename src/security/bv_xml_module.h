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

// An element of the module's document: only the module looks inside. The
// helper hands its callers bv_XmlHandle tokens in place of these.
class bv_XmlElement;

class bv_XmlDocument {
public:
    virtual ~bv_XmlDocument() = default;
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
    virtual bv_XmlElement* createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) = 0;
    virtual bv_XmlElement* createRootNS(const std::string& name, const std::string& namespaceURI,
                                        const std::string& prefix, const std::string& schemaLocation,
                                        const std::string& majorVersion, const std::string& minorVersion) = 0;
    virtual bv_XmlElement* addChild(bv_XmlElement* parent, const std::string& name) = 0;
    virtual void setAttribute(bv_XmlElement* element, const char* name, const char* value, bool asAttribute) = 0;
    virtual void setText(bv_XmlElement* element, const std::string& text) = 0;
    virtual bool isOK() const = 0;
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
