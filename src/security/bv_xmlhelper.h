#pragma once
// The security module's small XML files: parse with schema validation,
// navigate by element names, build a new tree and save it. Every XML problem
// becomes a numbered message on the owner's bv_errs; nothing throws out of a
// helper. Texts pass in and out as UTF-8.
//
// The work is done over Xerces-C by the XML module (security/bv_xml_module.h),
// opened when a helper first needs it, so that a request that reads no XML
// file never loads the parser and its libraries; the security files in
// their plain written form are read without it (security/bv_xmlquick.h).
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
#include <unordered_map>
#include <vector>

#include "common/bv_errs.h"

namespace bvparser_internal {

// An element handle of a helper or a writer: a token of the document it came
// from, never a pointer; the empty handle (false) stands for no element. A
// helper's handles are good only for the document it gave them from: a
// handle of a document replaced since (a new parse or a new root) or of
// another helper is refused with 2049, never followed.
class bv_XmlHandle {
public:
    constexpr bv_XmlHandle() = default;
    constexpr explicit bv_XmlHandle(uint64_t token) : token_(token) {}
    constexpr uint64_t token() const { return token_; }
    constexpr explicit operator bool() const { return token_ != 0; }
    friend constexpr bool operator==(bv_XmlHandle, bv_XmlHandle) = default;

private:
    uint64_t token_ = 0;
};

// How a file operation ended. systemError: the system's code of the file
// call that failed (open, write, flush, close, rename); 0 when it succeeded
// or when no call failed and the content is what is wrong (read, but not
// usable).
struct bv_XmlFileResult {
    bool ok = false;
    uint32_t systemError = 0;
    explicit operator bool() const { return ok; }
};

// Writing interface shared by the DOM helper and the streaming writer.
class bv_XmlWriter {
public:
    virtual ~bv_XmlWriter() = default;
    virtual bv_XmlHandle createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) = 0;
    virtual bv_XmlHandle createRootNS(const std::string& name, const std::string& namespaceURI,
                                        const std::string& prefix, const std::string& schemaLocation,
                                        const std::string& majorVersion, const std::string& minorVersion) = 0;
    virtual bv_XmlHandle addChild(bv_XmlHandle parent, const std::string& name) = 0;
    virtual void setAttribute(bv_XmlHandle element, const char* name, const char* value, bool asAttribute) = 0;
    virtual void setAttribute(bv_XmlHandle element, const char* name, const std::string& value,
                              bool asAttribute) = 0;
    virtual void setDouble(bv_XmlHandle element, double value, int precision);
    virtual void setInt(bv_XmlHandle element, int value);
    virtual void setInt64(bv_XmlHandle element, int64_t value);
    virtual void setBool(bv_XmlHandle element, bool value);
    virtual void setText(bv_XmlHandle element, const std::string& text) = 0;
    // No XML problem seen and the owner still valid.
    virtual bool isOK() const = 0;

protected:
    std::string defaultPrefix_;
    std::string defaultNamespace_;
};

class bv_XmlDocument;
class bv_XmlElement;
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
    // the system's text, and names the system's code in the result. The file
    // is read once, through one descriptor; a link in its last component is
    // such a failure ("Too many levels of symbolic links") unless followLink
    // is set: files in a folder that others can write may be planted links.
    bv_XmlFileResult parseFile(const std::string& path, const std::string& externalSchemaLocation,
                               bool followLink = false);

    bv_XmlHandle getRootElement();
    bv_XmlHandle getChildElement(bv_XmlHandle parent, const std::string& name, int index = 0);
    int countChildElements(bv_XmlHandle parent, const std::string& name);
    bool hasChildElement(bv_XmlHandle parent, const std::string& name, int index = 0);
    // The next element after element among its siblings with the name (any
    // name when empty), or null; records nothing. A walk over many children
    // takes this step instead of counting from the first child each time.
    bv_XmlHandle getNextSiblingElement(bv_XmlHandle element, const std::string& name);

    // element must not be null.
    std::string getString(bv_XmlHandle element);
    bool getBool(bv_XmlHandle element);
    int getInt(bv_XmlHandle element);
    int64_t getInt64(bv_XmlHandle element);
    double getDouble(bv_XmlHandle element);

    bool isOK() const override;

    bv_XmlHandle createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) override;
    bv_XmlHandle createRootNS(const std::string& name, const std::string& namespaceURI,
                                const std::string& prefix, const std::string& schemaLocation,
                                const std::string& majorVersion, const std::string& minorVersion) override;
    bv_XmlHandle addChild(bv_XmlHandle parent, const std::string& name) override;
    void setAttribute(bv_XmlHandle element, const char* name, const char* value, bool asAttribute) override;
    void setAttribute(bv_XmlHandle element, const char* name, const std::string& value,
                      bool asAttribute) override;
    void setText(bv_XmlHandle element, const std::string& text) override;

    // Writes the created (else the parsed) document to a temporary file in
    // the target's folder and renames it into place only after the whole
    // text was written, flushed and closed without error, so readers never
    // see a half-written file. On failure the temporary is removed and the
    // target is left as it was. A document the quick reader read is
    // read-only: its edits and its save are refused (2049).
    bv_XmlFileResult saveFile(const std::string& path);

    const std::string& getEncoding() const;

private:
    // The module's document, made on first need; false when the module could
    // not be opened.
    bool openDocument();
    // Before an edit or a save: false (2049 recorded) while the document is
    // the quick reader's; else openDocument().
    bool editable();
    // Before a new root: the document read so far is dropped, handles and all.
    bool startDocument();

    // A new document: every handle given before is refused from now on.
    void newDocument();
    // The handle of a quick node or a module element (empty for null).
    bv_XmlHandle handleOfNode(std::size_t node);
    bv_XmlHandle handleOf(bv_XmlElement* moduleElement);
    // What a handle stands for; false (2049 recorded) for a handle of
    // another document. An empty handle is found and stands for null.
    bool nodeOf(bv_XmlHandle handle, std::size_t& node);
    // The same for the module's document (no quick document held).
    bool moduleElementOf(bv_XmlHandle handle, bv_XmlElement*& element);

    brenvik::bv_errs* owner_;
    bool validate_;
    bool createSchemaInfo_;
    bool moduleFailed_ = false;
    std::unique_ptr<bv_XmlDocument> document_;
    // Set while the parsed file came through the quick reader.
    std::unique_ptr<bv_XmlQuickDocument> quick_;
    std::unique_ptr<bv_SaxWriter> saxWriter_;
    // Handles are (document number, index): the index of a quick node, or
    // of the module element in moduleElements_.
    uint64_t documentNumber_ = 0;
    std::vector<bv_XmlElement*> moduleElements_;
    std::unordered_map<bv_XmlElement*, std::size_t> moduleIndex_;
};

}  // namespace bvparser_internal
