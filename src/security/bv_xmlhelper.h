#pragma once
// The security module's small XML files: parse with schema validation,
// navigate by element names, build a new tree and save it. Every XML problem
// becomes a numbered message on the owner's bv_errs; nothing throws out of a
// helper. Texts pass in and out as UTF-8.
//
// The work is done over Xerces-C by the XML module (security/bv_xml_module.h),
// opened when a helper first needs it, so that a request that reads no XML
// file never loads the parser and its libraries; the security options file
// in its plain written form is read without it (security/bv_xmlquick.h).
// When the module cannot be opened, that is reported once (a fatal report,
// which ends a command-line or GET run) and the helper records 2049 and
// fails.
//
// A helper belongs to one thread and is built for one file operation. The
// Xerces platform is initialised with the first live helper and terminated
// with the last, under a process-wide mutex.
#include <cstdint>
#include <memory>
#include <string>

// Declarations only: nothing in this header links the parser.
#include <xercesc/util/XercesDefs.hpp>

#include "common/bv_errs.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMElement;
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

class bv_XmlDocument;
class bv_XmlQuickDocument;
class bv_SaxWriter;

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

    const std::string& getEncoding() const;

private:
    // The module's document, made on first need; false when the module could
    // not be opened.
    bool openDocument();
    // Before building or saving: a file read by the quick reader is read
    // again by the module, whose document the rest of the work needs.
    bool useModule();

    brenvik::bv_errs* owner_;
    bool validate_;
    bool createSchemaInfo_;
    bool moduleFailed_ = false;
    std::unique_ptr<bv_XmlDocument> document_;
    // Set while the parsed file came through the quick reader.
    std::unique_ptr<bv_XmlQuickDocument> quick_;
    std::string quickPath_;
    std::string quickSchemaLocation_;
    std::unique_ptr<bv_SaxWriter> saxWriter_;
};

}  // namespace bvparser_internal
