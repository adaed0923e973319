#include "security/bv_xerces_helper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <new>
#include <sstream>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/validators/schema/SchemaSymbols.hpp>

#include "common/bv_winmutex.h"
#include "common/file_utils.h"
#include "pal/system_text.h"
#include "security/bv_xmltext.h"

XERCES_CPP_NAMESPACE_USE

namespace bvparser_internal {

namespace {

constexpr int kXmlFailure = 2049;
constexpr int kNoRoot = 2050;
constexpr int kMissingElement = 2055;
constexpr int kNoMemory = 2056;

// Thrown by the panic handler after it has recorded the reason; caught by
// the helper around every call into Xerces.
struct XmlPanic {};

std::u16string X(const std::string& text) { return utf8ToXml(text); }

// The module's elements are its DOM elements.
DOMElement* dom(bv_XmlElement* element) { return reinterpret_cast<DOMElement*>(element); }
bv_XmlElement* handle(DOMElement* element) { return reinterpret_cast<bv_XmlElement*>(element); }

// Guards Xerces initialisation and termination and the platform reporter's
// list. Never destroyed, like the state it guards.
bv_winmutex& xmlPlatformMutex() {
    static bv_winmutex* mutex = new bv_winmutex;
    return *mutex;
}

// Process-wide Xerces state. Never destroyed: a report from inside exit()
// may still build a helper, and Xerces must not outlive its memory manager.
struct bv_xml_platform {
    bool initialised = false;
    int users = 0;
    bv_XMLMemHandler memHandler;
    brenvik::bv_errs errs;
    bv_XMLErrorReporter reporter{&errs};
};

bv_xml_platform& xmlPlatform() {
    static bv_xml_platform* platform = new bv_xml_platform;
    return *platform;
}

}  // namespace

// Serves only the local schema files named in the external schema location;
// every other entity, DTD or schema (a remote one above all) stays unread,
// because default resolution is switched off on the parser.
class bv_SchemaOnlyResolver : public XMLEntityResolver {
public:
    void setSchemas(std::map<std::u16string, std::string> schemas) { schemas_ = std::move(schemas); }

    InputSource* resolveEntity(XMLResourceIdentifier* resource) override {
        if (resource->getResourceIdentifierType() != XMLResourceIdentifier::SchemaGrammar) return nullptr;
        const XMLCh* ns = resource->getNameSpace();
        auto it = schemas_.find(ns ? std::u16string(ns) : std::u16string());
        if (it == schemas_.end()) return nullptr;
        return new LocalFileInputSource(X(it->second).c_str());
    }

private:
    std::map<std::u16string, std::string> schemas_;
};

// ---------------------------------------------------------------- reporter

bv_XMLErrorReporter::bv_XMLErrorReporter(brenvik::bv_errs* first) { addErrorObject(first); }

void bv_XMLErrorReporter::addErrorObject(brenvik::bv_errs* errs) {
    if (errs) list_.push_back(errs);
}

void bv_XMLErrorReporter::removeErrorObject(brenvik::bv_errs* errs) {
    for (auto it = list_.begin(); it != list_.end(); ++it) {
        if (*it == errs) {
            list_.erase(it);
            return;
        }
    }
}

void bv_XMLErrorReporter::recordAll(const std::string& text) {
    for (brenvik::bv_errs* errs : list_) errs->setError(kXmlFailure, text.c_str());
}

void bv_XMLErrorReporter::setDocument(const std::string& path) {
    document_ = path;
    std::error_code failed;
    absoluteDocument_ = std::filesystem::absolute(path, failed).lexically_normal().string();
    if (failed) absoluteDocument_.clear();
}

std::string bv_XMLErrorReporter::documentName(const std::string& systemId) const {
    if (!absoluteDocument_.empty() && (systemId == absoluteDocument_ || systemId == "file://" + absoluteDocument_))
        return document_;
    return systemId;
}

void bv_XMLErrorReporter::error(const SAXParseException& e) {
    errorSeen_ = true;
    std::string text = documentName(xmlToUtf8(e.getSystemId())) + ": line " + std::to_string(e.getLineNumber()) +
                       ", col " + std::to_string(e.getColumnNumber()) + " - " + xmlToUtf8(e.getMessage());
    recordAll(text);
}

void bv_XMLErrorReporter::fatalError(const SAXParseException& e) { error(e); }

void bv_XMLErrorReporter::panic(PanicHandler::PanicReasons reason) {
    errorSeen_ = true;
    recordAll(PanicHandler::getPanicReasonString(reason));
    throw XmlPanic{};
}

bool bv_XMLErrorReporter::handleError(const DOMError& error) {
    errorSeen_ = true;
    recordAll(xmlToUtf8(error.getMessage()));
    return false;
}

// ---------------------------------------------------------------- helper

bv_XercesHelper::bv_XercesHelper(brenvik::bv_errs* owner, bool validate, bool createSchemaInfo)
    : reporter_(owner),
      owner_(owner),
      resolver_(std::make_unique<bv_SchemaOnlyResolver>()),
      validate_(validate),
      createSchemaInfo_(createSchemaInfo) {
    bv_xml_platform& platform = xmlPlatform();
    bv_winmutex_lock lock(xmlPlatformMutex());
    if (++platform.users <= 1) {
        try {
            XMLPlatformUtils::Initialize("en_US", nullptr, &platform.reporter, &platform.memHandler);
            platform.initialised = true;
        } catch (const XMLException& e) {
            platform.errs.setError(kXmlFailure, xmlToUtf8(e.getMessage()).c_str());
        } catch (const std::bad_alloc& e) {
            platform.errs.setError(kNoMemory, e.what());
        } catch (const XmlPanic&) {
            // recorded by the panic handler
        } catch (...) {
            platform.errs.setError(kXmlFailure, "unknown error");
        }
    }
    if (owner_) {
        owner_->copyFrom(platform.errs);
        platform.reporter.addErrorObject(owner_);
    }
}

bv_XercesHelper::~bv_XercesHelper() {
    delete parser_;
    parser_ = nullptr;
    if (createdDocument_) createdDocument_->release();
    createdDocument_ = nullptr;
    bv_xml_platform& platform = xmlPlatform();
    bv_winmutex_lock lock(xmlPlatformMutex());
    if (owner_) platform.reporter.removeErrorObject(owner_);
    if (--platform.users < 1) {
        if (platform.initialised) XMLPlatformUtils::Terminate();
        platform.initialised = false;
        platform.users = 0;
    }
}

bool bv_XercesHelper::isOK() const { return !reporter_.errorSeen() && (owner_ == nullptr || owner_->isValid()); }

void bv_XercesHelper::recordException(const std::exception_ptr& error) {
    auto record = [this](int number, const std::string& text) {
        if (owner_) owner_->setError(number, text.c_str());
    };
    try {
        std::rethrow_exception(error);
    } catch (const XmlPanic&) {
        // already recorded by the panic handler
    } catch (const OutOfMemoryException&) {
        record(kNoMemory, "out of memory");
    } catch (const XMLException& e) {
        record(kXmlFailure, xmlToUtf8(e.getMessage()));
    } catch (const DOMException& e) {
        std::string text = xmlToUtf8(e.getMessage());
        if (text.size() > 2047) text.resize(2047);
        record(kXmlFailure, text);
    } catch (const std::bad_alloc& e) {
        record(kNoMemory, e.what());
    } catch (...) {
        record(kXmlFailure, "unknown error");
    }
}

namespace {

std::string folderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// "namespace location" pairs; a relative location is taken from the folder
// of the document, as the schema location attribute of a file would be.
std::map<std::u16string, std::string> schemaFiles(const std::string& documentPath,
                                                  const std::string& externalSchemaLocation) {
    std::map<std::u16string, std::string> result;
    std::istringstream in(externalSchemaLocation);
    std::string ns;
    std::string location;
    while (in >> ns >> location) {
        if (location.compare(0, 7, "file://") == 0) location.erase(0, 7);
        if (location.find("://") != std::string::npos) continue;  // never fetched
        if (location[0] != '/') location = folderOf(documentPath) + location;
        result.emplace(X(ns), location);
    }
    return result;
}

}  // namespace

bool bv_XercesHelper::parseText(const std::string& path, const std::string& text,
                                const std::string& externalSchemaLocation) {
    delete parser_;
    parser_ = nullptr;
    try {
        parser_ = new XercesDOMParser(nullptr, &memHandler_);
        parser_->setErrorHandler(&reporter_);
        const bool v = validate_;
        parser_->setLoadExternalDTD(v);
        parser_->setDoNamespaces(v);
        parser_->setDoSchema(v);
        parser_->setValidationSchemaFullChecking(v);
        parser_->setValidationScheme(v ? XercesDOMParser::Val_Always : XercesDOMParser::Val_Never);
        parser_->setExternalSchemaLocation(X(externalSchemaLocation).c_str());
        parser_->setCreateSchemaInfo(createSchemaInfo_);
        // Hostile files: no entity, DTD or schema beyond our local schema,
        // and a bound on entity expansion.
        resolver_->setSchemas(schemaFiles(path, externalSchemaLocation));
        reporter_.setDocument(path);
        parser_->setXMLEntityResolver(resolver_.get());
        parser_->setDisableDefaultEntityResolution(true);
        securityManager_ = std::make_unique<SecurityManager>();
        securityManager_->setEntityExpansionLimit(1000);
        parser_->setSecurityManager(securityManager_.get());

        // The path is the document's name in messages, as the parser would
        // give it for the file.
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), X(path).c_str(), false,
                                 &memHandler_);
        parser_->parse(source);
        if (DOMDocument* doc = parser_->getDocument()) encoding_ = xmlToUtf8(doc->getInputEncoding());
    } catch (...) {
        recordException(std::current_exception());
    }
    return isOK();
}

DOMDocument* bv_XercesHelper::currentDocument() const {
    if (createdDocument_) return createdDocument_;
    return parser_ ? parser_->getDocument() : nullptr;
}

bv_XmlElement* bv_XercesHelper::getRootElement() {
    DOMDocument* doc = parser_ ? parser_->getDocument() : nullptr;
    DOMElement* root = doc ? doc->getDocumentElement() : nullptr;
    if (root == nullptr && owner_) owner_->setError(kNoRoot);
    return handle(root);
}

DOMElement* bv_XercesHelper::findChild(bv_XmlElement* parent, const std::string& name, int index) const {
    if (parent == nullptr || index < 0) return nullptr;
    int seen = 0;
    for (DOMElement* child = dom(parent)->getFirstElementChild(); child; child = child->getNextElementSibling()) {
        if (!name.empty() && xmlToUtf8(child->getNodeName()) != name) continue;
        if (seen++ == index) return child;
    }
    return nullptr;
}

bv_XmlElement* bv_XercesHelper::getChildElement(bv_XmlElement* parent, const std::string& name, int index) {
    if (parent == nullptr) return nullptr;
    DOMElement* child = findChild(parent, name, index);
    if (child == nullptr && owner_) owner_->setError(kMissingElement, name.c_str());
    return handle(child);
}

int bv_XercesHelper::countChildElements(bv_XmlElement* parent, const std::string& name) {
    if (parent == nullptr) return -1;
    int count = 0;
    for (DOMElement* child = dom(parent)->getFirstElementChild(); child; child = child->getNextElementSibling())
        if (name.empty() || xmlToUtf8(child->getNodeName()) == name) ++count;
    return count;
}

bool bv_XercesHelper::hasChildElement(bv_XmlElement* parent, const std::string& name, int index) {
    return findChild(parent, name, index) != nullptr;
}

bv_XmlElement* bv_XercesHelper::getNextSiblingElement(bv_XmlElement* element, const std::string& name) {
    if (element == nullptr) return nullptr;
    for (DOMElement* next = dom(element)->getNextElementSibling(); next; next = next->getNextElementSibling())
        if (name.empty() || xmlToUtf8(next->getNodeName()) == name) return handle(next);
    return nullptr;
}

std::string bv_XercesHelper::getString(bv_XmlElement* element) {
    return element ? xmlToUtf8(dom(element)->getTextContent()) : std::string();
}

// ---------------------------------------------------------------- building

bv_XmlElement* bv_XercesHelper::createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) {
    try {
        if (createdDocument_) createdDocument_->release();
        createdDocument_ = nullptr;
        DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(u"Core");
        createdDocument_ = impl->createDocument(nullptr, X(name).c_str(), nullptr, &memHandler_);
        DOMElement* root = createdDocument_->getDocumentElement();
        if (!noNamespaceSchemaLocation.empty()) {
            root->setAttributeNS(XMLUni::fgXMLNSURIName, u"xmlns:xsi", SchemaSymbols::fgURI_XSI);
            root->setAttributeNS(SchemaSymbols::fgURI_XSI, u"xsi:noNamespaceSchemaLocation",
                                 X(noNamespaceSchemaLocation).c_str());
        }
        return handle(root);
    } catch (...) {
        recordException(std::current_exception());
        return nullptr;
    }
}

bv_XmlElement* bv_XercesHelper::createRootNS(const std::string& name, const std::string& namespaceURI,
                                          const std::string& prefix, const std::string& schemaLocation,
                                          const std::string& majorVersion, const std::string& minorVersion) {
    try {
        if (createdDocument_) createdDocument_->release();
        createdDocument_ = nullptr;
        DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(u"Core");
        if (!prefix.empty())
            createdDocument_ = impl->createDocument(X(namespaceURI).c_str(), X(prefix + ":" + name).c_str(),
                                                    nullptr, &memHandler_);
        else
            createdDocument_ = impl->createDocument(nullptr, X(name).c_str(), nullptr, &memHandler_);
        DOMElement* root = createdDocument_->getDocumentElement();
        root->setAttributeNS(XMLUni::fgXMLNSURIName, u"xmlns:xsi", SchemaSymbols::fgURI_XSI);
        root->setAttributeNS(SchemaSymbols::fgURI_XSI, u"xsi:schemaLocation", X(schemaLocation).c_str());
        if (!prefix.empty())
            root->setAttributeNS(XMLUni::fgXMLNSURIName, X("xmlns:" + prefix).c_str(), X(namespaceURI).c_str());
        else
            root->setAttribute(u"xmlns", X(namespaceURI).c_str());
        root->setAttribute(u"majorVersion", X(majorVersion).c_str());
        root->setAttribute(u"minorVersion", X(minorVersion).c_str());
        return handle(root);
    } catch (...) {
        recordException(std::current_exception());
        return nullptr;
    }
}

bv_XmlElement* bv_XercesHelper::addChild(bv_XmlElement* parent, const std::string& name) {
    DOMDocument* doc = currentDocument();
    if (doc == nullptr || parent == nullptr) return nullptr;
    try {
        std::string qualified = defaultPrefix_.empty() ? name : defaultPrefix_ + ":" + name;
        DOMElement* child = defaultNamespace_.empty()
                                ? doc->createElement(X(qualified).c_str())
                                : doc->createElementNS(X(defaultNamespace_).c_str(), X(qualified).c_str());
        DOMNode* appended = dom(parent)->appendChild(child);
        return appended && appended->getNodeType() == DOMNode::ELEMENT_NODE ? handle(static_cast<DOMElement*>(appended))
                                                                            : nullptr;
    } catch (...) {
        recordException(std::current_exception());
        return nullptr;
    }
}

void bv_XercesHelper::setText(bv_XmlElement* element, const std::string& text) {
    DOMDocument* doc = currentDocument();
    if (doc == nullptr || element == nullptr) return;
    try {
        dom(element)->appendChild(doc->createTextNode(X(text).c_str()));
    } catch (...) {
        recordException(std::current_exception());
    }
}

void bv_XercesHelper::setAttribute(bv_XmlElement* element, const char* name, const char* value, bool asAttribute) {
    DOMDocument* doc = currentDocument();
    if (doc == nullptr || element == nullptr || name == nullptr) return;
    try {
        std::u16string v = X(value ? value : "");
        if (asAttribute) {
            dom(element)->setAttribute(X(name).c_str(), v.c_str());
        } else {
            DOMElement* child = doc->createElement(X(name).c_str());
            dom(element)->appendChild(child);
            child->appendChild(doc->createTextNode(v.c_str()));
        }
    } catch (...) {
        recordException(std::current_exception());
    }
}

// ---------------------------------------------------------------- saving

namespace {

mode_t currentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Releases Xerces objects whatever way the save ends.
template <class T>
struct Released {
    T* object = nullptr;
    ~Released() {
        if (object) object->release();
    }
};

}  // namespace

bv_XmlFileResult bv_XercesHelper::saveFile(const std::string& path) {
    DOMDocument* doc = currentDocument();
    if (doc == nullptr) {
        if (owner_) owner_->setError(kNoRoot);
        return {};
    }
    // The document is made in memory first and written by our own calls, so
    // that every failure of the write, the flush or the close is seen.
    std::string text;
    bool written = false;
    try {
        DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(u"LS");
        Released<DOMLSSerializer> serializer{impl->createLSSerializer(&memHandler_)};
        serializer.object->setNewLine(u"\r\n");
        DOMConfiguration* config = serializer.object->getDomConfig();
        config->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(&reporter_));
        if (config->canSetParameter(XMLUni::fgDOMWRTDiscardDefaultContent, false))
            config->setParameter(XMLUni::fgDOMWRTDiscardDefaultContent, false);
        if (config->canSetParameter(XMLUni::fgDOMWRTFormatPrettyPrint, true))
            config->setParameter(XMLUni::fgDOMWRTFormatPrettyPrint, true);
        MemBufFormatTarget target(16384, &memHandler_);
        Released<DOMLSOutput> output{impl->createLSOutput(&memHandler_)};
        output.object->setEncoding(X(encoding_).c_str());
        output.object->setByteStream(&target);
        written = serializer.object->write(doc, output.object);
        text.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
    } catch (...) {
        recordException(std::current_exception());
        written = false;
    }
    if (!written) {
        if (!reporter_.errorSeen() && owner_ && owner_->isValid())
            owner_->setError(kXmlFailure, (path + ": the document could not be written").c_str());
        return {};
    }
    if (!isOK()) return {};

    // The temporary keeps the target's name as its start, so it stays in the
    // same folder (rename is atomic) and can never match a name pattern that
    // ends with a fixed suffix. It is renamed into place only when all of it
    // is on disk: a full disk must not leave an empty or cut file behind
    // for every later reader. The "\" is a byte no session ID may hold: a
    // temporary left by a killed writer (a complete session, perhaps with
    // every right) can never be used as a session.
    std::string temp = path + "\\tmpXXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        ::fchmod(fd, 0666 & ~currentUmask());
        if (!fileWriteAll(fd, text) || ::fsync(fd) != 0) error = errno;
        if (::close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
        if (error != 0) ::unlink(temp.c_str());
    }
    if (error == 0) return {isOK(), 0};
    if (owner_) owner_->setError(kXmlFailure, (path + ": " + getSystemErrorText(static_cast<uint32_t>(error))).c_str());
    return {false, static_cast<uint32_t>(error)};
}

}  // namespace bvparser_internal

namespace {

bvparser_internal::bv_XmlDocument* createDocument(brenvik::bv_errs* owner, bool validate, bool createSchemaInfo) {
    try {
        return new bvparser_internal::bv_XercesHelper(owner, validate, createSchemaInfo);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

constexpr bvparser_internal::XmlModuleFunctions kFunctions{createDocument};
constexpr brenvik::ModuleDeclaration kDeclaration = brenvik::declareModule(kFunctions);

}  // namespace

// The module's entry point (common/module_loader.h).
extern "C" __attribute__((visibility("default"))) const brenvik::ModuleDeclaration* tarvex_module_declaration() {
    return &kDeclaration;
}
