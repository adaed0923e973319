#pragma once
// Thin layer over Xerces-C for the security module's small XML files: parse
// with schema validation, navigate by element names, build a new tree and
// save it. Every XML problem becomes a numbered message on the owner's
// bv_errs; nothing throws out of a helper. Texts pass in and out as UTF-8.
//
// A helper belongs to one thread and is built for one file operation. The
// Xerces platform is initialised with the first live helper and terminated
// with the last, under a process-wide mutex.
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

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class DOMElement;
class XercesDOMParser;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

namespace bvparser_internal {

// Element handle: the helper's own DOM element (valid until the helper's
// document is replaced or the helper destroyed), or null. Never owned.
using bv_XmlElement = XERCES_CPP_NAMESPACE::DOMElement;

// Writing interface shared by the DOM helper and the streaming writer.
class bv_XmlWriter {
public:
    virtual ~bv_XmlWriter() = default;
    virtual bv_XmlElement* createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) = 0;
    virtual bv_XmlElement* createRootNS(const std::string& name, const std::string& namespaceURI,
                                        const std::string& prefix, const std::string& schemaLocation,
                                        const std::string& majorVersion, const std::string& minorVersion) = 0;
    virtual bv_XmlElement* addChild(bv_XmlElement* parent, const std::string& name) = 0;
    virtual void setAttribute(bv_XmlElement* element, const char* name, const char* value, bool asAttribute) = 0;
    virtual void setAttribute(bv_XmlElement* element, const char* name, const std::string& value,
                              bool asAttribute) = 0;
    virtual void setDouble(bv_XmlElement* element, double value, int precision);
    virtual void setInt(bv_XmlElement* element, int value);
    virtual void setInt64(bv_XmlElement* element, int64_t value);
    virtual void setBool(bv_XmlElement* element, bool value);
    virtual void setText(bv_XmlElement* element, const std::string& text) = 0;
    // No XML problem seen and the owner still valid.
    virtual bool isOK() const = 0;

protected:
    std::string defaultPrefix_;
    std::string defaultNamespace_;
};

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

class bv_SaxWriter;
class bv_SchemaOnlyResolver;

class bv_XMLHelper : public bv_XmlWriter {
public:
    // owner receives every message and must outlive the helper.
    bv_XMLHelper(brenvik::bv_errs* owner, bool validate = true, bool createSchemaInfo = false);
    ~bv_XMLHelper() override;
    bv_XMLHelper(const bv_XMLHelper&) = delete;
    bv_XMLHelper& operator=(const bv_XMLHelper&) = delete;

    // externalSchemaLocation: namespace and location pairs; a relative
    // location is taken from the parsed file's folder. Only those local
    // schema files are ever read: no DTD, entity or remote schema is fetched.
    // A file that cannot be opened records 2049 with the path as given and
    // the system's text, and leaves that code as the thread's last platform
    // error (0 after any other outcome).
    bool parseFile(const std::string& path, const std::string& externalSchemaLocation);

    bv_XmlElement* getRootElement();
    bv_XmlElement* getChildElement(bv_XmlElement* parent, const std::string& name, int index = 0);
    int countChildElements(bv_XmlElement* parent, const std::string& name);
    bool hasChildElement(bv_XmlElement* parent, const std::string& name, int index = 0);
    // The next element after element among its siblings with the name (any
    // name when empty), or null; records nothing. A walk over many children
    // takes this step instead of counting from the first child each time.
    bv_XmlElement* getNextSiblingElement(bv_XmlElement* element, const std::string& name);

    // element must not be null.
    std::string getString(bv_XmlElement* element);
    bool getBool(bv_XmlElement* element);
    int getInt(bv_XmlElement* element);
    int64_t getInt64(bv_XmlElement* element);
    double getDouble(bv_XmlElement* element);

    bool isOK() const override;

    bv_XmlElement* createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) override;
    bv_XmlElement* createRootNS(const std::string& name, const std::string& namespaceURI,
                                const std::string& prefix, const std::string& schemaLocation,
                                const std::string& majorVersion, const std::string& minorVersion) override;
    bv_XmlElement* addChild(bv_XmlElement* parent, const std::string& name) override;
    void setAttribute(bv_XmlElement* element, const char* name, const char* value, bool asAttribute) override;
    void setAttribute(bv_XmlElement* element, const char* name, const std::string& value,
                      bool asAttribute) override;
    void setText(bv_XmlElement* element, const std::string& text) override;

    // Writes the created (else the parsed) document to a temporary file in
    // the target's folder and renames it into place only after the whole
    // text was written, flushed and closed without error, so readers never
    // see a half-written file. On failure the temporary is removed, the
    // target is left as it was, and the thread's last platform error holds
    // the system's code of the failed call (0 when none failed).
    bool saveFile(const std::string& path);

    const std::string& getEncoding() const { return encoding_; }

private:
    XERCES_CPP_NAMESPACE::DOMDocument* currentDocument() const;
    bv_XmlElement* findChild(bv_XmlElement* parent, const std::string& name, int index) const;
    void recordException(const std::exception_ptr& error);

    bv_XMLMemHandler memHandler_;
    bv_XMLErrorReporter reporter_;
    brenvik::bv_errs* owner_;
    XERCES_CPP_NAMESPACE::XercesDOMParser* parser_ = nullptr;
    XERCES_CPP_NAMESPACE::DOMDocument* createdDocument_ = nullptr;
    std::unique_ptr<bv_SaxWriter> saxWriter_;
    std::unique_ptr<bv_SchemaOnlyResolver> resolver_;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> securityManager_;
    std::string encoding_ = "UTF-8";
    bool validate_;
    bool createSchemaInfo_;
};

}  // namespace bvparser_internal
