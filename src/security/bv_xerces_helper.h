#pragma once
// The XML module's document: the helper's work over Xerces-C. Built only
// into the module (libtarvex-xml.so); the programs reach it through
// bv_XMLHelper.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/dom/DOMErrorHandler.hpp>
#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/util/PanicHandler.hpp>
#include <xercesc/util/XercesDefs.hpp>

#include "common/bv_errs.h"
#include "security/bv_xml_module.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class DOMElement;
class XercesDOMParser;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

namespace bvparser_internal {

// Receives parser, panic and serialiser errors and records each as 2049 in
// every listed error object.
class bv_XMLErrorReporter : public XERCES_CPP_NAMESPACE::ErrorHandler,
                            public XERCES_CPP_NAMESPACE::PanicHandler,
                            public XERCES_CPP_NAMESPACE::DOMErrorHandler {
public:
    explicit bv_XMLErrorReporter(brenvik::bv_errs* first);
    ~bv_XMLErrorReporter() override = default;

    void warning(const XERCES_CPP_NAMESPACE::SAXParseException&) override {}
    void error(const XERCES_CPP_NAMESPACE::SAXParseException& e) override;
    void fatalError(const XERCES_CPP_NAMESPACE::SAXParseException& e) override;
    void resetErrors() override { errorSeen_ = false; }
    // Records the reason, then throws a private exception that the helper
    // catches: Xerces must not go on after a panic.
    void panic(PanicHandler::PanicReasons reason) override;
    bool handleError(const XERCES_CPP_NAMESPACE::DOMError& error) override;

    void addErrorObject(brenvik::bv_errs* errs);
    void removeErrorObject(brenvik::bv_errs* errs);
    bool errorSeen() const { return errorSeen_; }
    // The document about to be parsed, by the path its caller gave: errors
    // in it name that path, not the absolute one the parser makes of it,
    // which a page must not show.
    void setDocument(const std::string& path);

private:
    void recordAll(const std::string& text);
    std::string documentName(const std::string& systemId) const;

    bool errorSeen_ = false;
    std::string document_;
    std::string absoluteDocument_;
    std::vector<brenvik::bv_errs*> list_;
};

// Plain operator new / delete for every parser, document and serialiser.
class bv_XMLMemHandler : public XERCES_CPP_NAMESPACE::MemoryManager {
public:
    ~bv_XMLMemHandler() override = default;
    XERCES_CPP_NAMESPACE::MemoryManager* getExceptionMemoryManager() override { return this; }
    void* allocate(XMLSize_t size) override { return ::operator new(size); }
    void deallocate(void* p) override { ::operator delete(p); }
};

class bv_SchemaOnlyResolver;

class bv_XercesHelper final : public bv_XmlDocument {
public:
    // owner receives every message and must outlive the helper.
    bv_XercesHelper(brenvik::bv_errs* owner, bool validate, bool createSchemaInfo);
    ~bv_XercesHelper() override;
    bv_XercesHelper(const bv_XercesHelper&) = delete;
    bv_XercesHelper& operator=(const bv_XercesHelper&) = delete;

    // externalSchemaLocation: namespace and location pairs; a relative
    // location is taken from the parsed file's folder. Only those local
    // schema files are ever read: no DTD, entity or remote schema is fetched.
    bool parseText(const std::string& path, const std::string& text,
                   const std::string& externalSchemaLocation) override;

    bv_XmlElement* getRootElement() override;
    bv_XmlElement* getChildElement(bv_XmlElement* parent, const std::string& name, int index) override;
    int countChildElements(bv_XmlElement* parent, const std::string& name) override;
    bool hasChildElement(bv_XmlElement* parent, const std::string& name, int index) override;
    bv_XmlElement* getNextSiblingElement(bv_XmlElement* element, const std::string& name) override;

    // element must not be null.
    std::string getString(bv_XmlElement* element) override;

    bool isOK() const override;

    bv_XmlElement* createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) override;
    bv_XmlElement* createRootNS(const std::string& name, const std::string& namespaceURI,
                                const std::string& prefix, const std::string& schemaLocation,
                                const std::string& majorVersion, const std::string& minorVersion) override;
    bv_XmlElement* addChild(bv_XmlElement* parent, const std::string& name) override;
    void setAttribute(bv_XmlElement* element, const char* name, const char* value, bool asAttribute) override;
    void setText(bv_XmlElement* element, const std::string& text) override;

    // Writes the created (else the parsed) document to a temporary file in
    // the target's folder and renames it into place, so readers never see
    // a half-written file.
    bv_XmlFileResult saveFile(const std::string& path) override;

    const std::string& getEncoding() const override { return encoding_; }

private:
    XERCES_CPP_NAMESPACE::DOMDocument* currentDocument() const;
    XERCES_CPP_NAMESPACE::DOMElement* findChild(bv_XmlElement* parent, const std::string& name, int index) const;
    void recordException(const std::exception_ptr& error);

    bv_XMLMemHandler memHandler_;
    bv_XMLErrorReporter reporter_;
    brenvik::bv_errs* owner_;
    XERCES_CPP_NAMESPACE::XercesDOMParser* parser_ = nullptr;
    XERCES_CPP_NAMESPACE::DOMDocument* createdDocument_ = nullptr;
    std::unique_ptr<bv_SchemaOnlyResolver> resolver_;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> securityManager_;
    std::string encoding_ = "UTF-8";
    // Never set: an element is made with the name as given, in no namespace.
    std::string defaultPrefix_;
    std::string defaultNamespace_;
    bool validate_;
    bool createSchemaInfo_;
};

}  // namespace bvparser_internal
