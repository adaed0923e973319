#include "security/bv_xmlhelper.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <sstream>

#include "common/module_loader.h"
#include "pal/number_reader.h"
#include "pal/system_text.h"
#include "security/bv_saxwriter.h"
#include "security/bv_xml_module.h"
#include "security/bv_xmlquick.h"
#include "security/bv_xmltext.h"

namespace bvparser_internal {

namespace {

constexpr int kXmlFailure = 2049;
constexpr int kMissingElement = 2055;

// A handle is the document's number above the element's index + 1.
constexpr int kIndexBits = 24;
constexpr uint64_t kIndexMask = (uint64_t(1) << kIndexBits) - 1;
// Numbers of documents of every helper, so that no two share one.
std::atomic<uint64_t> documentCount{0};

}  // namespace

// ---------------------------------------------------------------- writer

void bv_XmlWriter::setDouble(bv_XmlHandle element, double value, int precision) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", precision, value);
    setText(element, buffer);
}

void bv_XmlWriter::setInt(bv_XmlHandle element, int value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d", value);
    setText(element, buffer);
}

void bv_XmlWriter::setInt64(bv_XmlHandle element, int64_t value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    setText(element, out.str());
}

void bv_XmlWriter::setBool(bv_XmlHandle element, bool value) { setText(element, value ? "true" : "false"); }

// ---------------------------------------------------------------- helper

bv_XMLHelper::bv_XMLHelper(brenvik::bv_errs* owner, bool validate, bool createSchemaInfo)
    : owner_(owner),
      validate_(validate),
      createSchemaInfo_(createSchemaInfo),
      saxWriter_(std::make_unique<bv_SaxWriter>(owner)) {}

bv_XMLHelper::~bv_XMLHelper() = default;

bool bv_XMLHelper::openDocument() {
    if (document_) return true;
    if (moduleFailed_) return false;
    // Null when the module failed (the loader has reported why).
    if (const auto* xml = brenvik::moduleTable<XmlModuleFunctions>())
        document_.reset(xml->createDocument(owner_, validate_, createSchemaInfo_));
    if (!document_) {
        moduleFailed_ = true;
        if (owner_) owner_->setError(kXmlFailure, "the XML module is not available");
    }
    return document_ != nullptr;
}

bool bv_XMLHelper::editable() {
    // Only lookups follow a quick read (security options, session files):
    // its document is not the module's and takes no edit.
    if (!quick_) return openDocument();
    if (owner_) owner_->setError(kXmlFailure, "the document is read-only");
    return false;
}

bool bv_XMLHelper::startDocument() {
    quick_.reset();
    newDocument();
    return openDocument();
}

void bv_XMLHelper::newDocument() {
    documentNumber_ = ++documentCount;
    moduleElements_.clear();
    moduleIndex_.clear();
}

bv_XmlHandle bv_XMLHelper::handleOfNode(std::size_t node) {
    if (node == bv_XmlQuickDocument::kNone) return {};
    return bv_XmlHandle((documentNumber_ << kIndexBits) | (node + 1));
}

bv_XmlHandle bv_XMLHelper::handleOf(bv_XmlElement* moduleElement) {
    if (moduleElement == nullptr) return {};
    if (documentNumber_ == 0) newDocument();
    auto [at, added] = moduleIndex_.try_emplace(moduleElement, moduleElements_.size());
    if (added) {
        if (moduleElements_.size() >= kIndexMask) {
            moduleIndex_.erase(at);
            if (owner_) owner_->setError(kXmlFailure, "too many elements");
            return {};
        }
        moduleElements_.push_back(moduleElement);
    }
    return handleOfNode(at->second);
}

bool bv_XMLHelper::nodeOf(bv_XmlHandle handle, std::size_t& node) {
    node = bv_XmlQuickDocument::kNone;
    if (!handle) return true;
    const uint64_t token = handle.token();
    const std::size_t count = quick_ ? quick_->size() : moduleElements_.size();
    if (documentNumber_ != 0 && (token >> kIndexBits) == documentNumber_ && (token & kIndexMask) != 0 &&
        (token & kIndexMask) <= count) {
        node = (token & kIndexMask) - 1;
        return true;
    }
    if (owner_) owner_->setError(kXmlFailure, "an element handle of another document");
    return false;
}

bool bv_XMLHelper::moduleElementOf(bv_XmlHandle handle, bv_XmlElement*& element) {
    element = nullptr;
    std::size_t node;
    if (!nodeOf(handle, node)) return false;
    if (node != bv_XmlQuickDocument::kNone) element = moduleElements_[node];
    return true;
}

bool bv_XMLHelper::isOK() const {
    if (moduleFailed_) return false;
    if (document_) return document_->isOK();
    return owner_ == nullptr || owner_->isValid();
}

bv_XmlFileResult bv_XMLHelper::parseFile(const std::string& path, const std::string& externalSchemaLocation,
                                         bool followLink) {
    quick_.reset();
    newDocument();
    // A file that cannot be opened is named by the path as given, with the
    // system's reason; the parser would name it by the server's absolute
    // path, which a page must not show.
    std::string text;
    if (!readXmlFile(path, followLink, text)) {
        const auto error = static_cast<uint32_t>(errno);
        if (owner_) owner_->setError(kXmlFailure, (path + ": " + getSystemErrorText(error)).c_str());
        return {false, error};
    }
    // The quick reader stands in only for a fresh validating helper, whose
    // module document would hold nothing but this file.
    if (!document_ && validate_ && !createSchemaInfo_) {
        quick_ = bv_XmlQuickDocument::read(path, text, externalSchemaLocation);
        if (quick_) return {isOK(), 0};
    }
    return {openDocument() && document_->parseText(path, text, externalSchemaLocation), 0};
}

bv_XmlHandle bv_XMLHelper::getRootElement() {
    if (quick_) return handleOfNode(0);
    return openDocument() ? handleOf(document_->getRootElement()) : bv_XmlHandle();
}

bv_XmlHandle bv_XMLHelper::getChildElement(bv_XmlHandle parent, const std::string& name, int index) {
    if (!quick_) {
        bv_XmlElement* element;
        if (!openDocument() || !moduleElementOf(parent, element)) return {};
        return handleOf(document_->getChildElement(element, name, index));
    }
    std::size_t node;
    if (!parent || !nodeOf(parent, node)) return {};
    const std::size_t child = quick_->child(node, name, index);
    if (child == bv_XmlQuickDocument::kNone && owner_) owner_->setError(kMissingElement, name.c_str());
    return handleOfNode(child);
}

int bv_XMLHelper::countChildElements(bv_XmlHandle parent, const std::string& name) {
    if (!quick_) {
        bv_XmlElement* element;
        if (!openDocument() || !moduleElementOf(parent, element)) return -1;
        return document_->countChildElements(element, name);
    }
    std::size_t node;
    if (!parent || !nodeOf(parent, node)) return -1;
    return quick_->countChildren(node, name);
}

bool bv_XMLHelper::hasChildElement(bv_XmlHandle parent, const std::string& name, int index) {
    if (!quick_) {
        bv_XmlElement* element;
        return openDocument() && moduleElementOf(parent, element) && document_->hasChildElement(element, name, index);
    }
    std::size_t node;
    return parent && nodeOf(parent, node) && quick_->child(node, name, index) != bv_XmlQuickDocument::kNone;
}

bv_XmlHandle bv_XMLHelper::getNextSiblingElement(bv_XmlHandle element, const std::string& name) {
    if (!quick_) {
        bv_XmlElement* moduleElement;
        if (!openDocument() || !moduleElementOf(element, moduleElement)) return {};
        return handleOf(document_->getNextSiblingElement(moduleElement, name));
    }
    std::size_t node;
    if (!element || !nodeOf(element, node)) return {};
    return handleOfNode(quick_->nextSibling(node, name));
}

std::string bv_XMLHelper::getString(bv_XmlHandle element) {
    if (!quick_) {
        bv_XmlElement* moduleElement;
        if (!openDocument() || !moduleElementOf(element, moduleElement)) return std::string();
        return document_->getString(moduleElement);
    }
    std::size_t node;
    if (!element || !nodeOf(element, node)) return std::string();
    return quick_->text(node);
}

bool bv_XMLHelper::getBool(bv_XmlHandle element) {
    std::string text = trimXmlSpace(getString(element));
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text == "true" || text == "1" || text == "yes";
}

int bv_XMLHelper::getInt(bv_XmlHandle element) {
    // "%d", clamped to the int range instead of scanf's undefined overflow.
    return brenvik::atoiValue(getString(element).c_str());
}

int64_t bv_XMLHelper::getInt64(bv_XmlHandle element) {
    // A stream's reading of a whole number, without building a stream (the
    // first one costs the process its locale set-up): white space skipped, an
    // optional sign, decimal digits up to the first other character; nothing
    // read or a value out of range gives 0.
    const brenvik::LeadingInteger<int64_t> n = brenvik::readLeadingInteger<int64_t>(getString(element).c_str());
    return n.fits ? n.value : 0;
}

double bv_XMLHelper::getDouble(bv_XmlHandle element) {
    // "%f" reads single precision; the value read back keeps only that.
    float value = 0;
    if (!brenvik::scanFloat(getString(element).c_str(), value)) return 0;
    return static_cast<double>(value);
}

bv_XmlHandle bv_XMLHelper::createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) {
    if (saxWriter_->isOpen()) return saxWriter_->createRoot(name, noNamespaceSchemaLocation);
    if (!startDocument()) return {};
    return handleOf(document_->createRoot(name, noNamespaceSchemaLocation));
}

bv_XmlHandle bv_XMLHelper::createRootNS(const std::string& name, const std::string& namespaceURI,
                                          const std::string& prefix, const std::string& schemaLocation,
                                          const std::string& majorVersion, const std::string& minorVersion) {
    if (saxWriter_->isOpen())
        return saxWriter_->createRootNS(name, namespaceURI, prefix, schemaLocation, majorVersion, minorVersion);
    if (!startDocument()) return {};
    return handleOf(document_->createRootNS(name, namespaceURI, prefix, schemaLocation, majorVersion, minorVersion));
}

bv_XmlHandle bv_XMLHelper::addChild(bv_XmlHandle parent, const std::string& name) {
    if (saxWriter_->isOpen()) return saxWriter_->addChild(parent, name);
    bv_XmlElement* element;
    if (!editable() || !moduleElementOf(parent, element)) return {};
    return handleOf(document_->addChild(element, name));
}

void bv_XMLHelper::setText(bv_XmlHandle element, const std::string& text) {
    if (saxWriter_->isOpen()) return saxWriter_->setText(element, text);
    bv_XmlElement* moduleElement;
    if (editable() && moduleElementOf(element, moduleElement)) document_->setText(moduleElement, text);
}

void bv_XMLHelper::setAttribute(bv_XmlHandle element, const char* name, const char* value, bool asAttribute) {
    if (saxWriter_->isOpen()) return saxWriter_->setAttribute(element, name, value, asAttribute);
    bv_XmlElement* moduleElement;
    if (editable() && moduleElementOf(element, moduleElement))
        document_->setAttribute(moduleElement, name, value, asAttribute);
}

void bv_XMLHelper::setAttribute(bv_XmlHandle element, const char* name, const std::string& value,
                                bool asAttribute) {
    setAttribute(element, name, value.c_str(), asAttribute);
}

bv_XmlFileResult bv_XMLHelper::saveFile(const std::string& path) {
    if (!editable()) return {};
    return document_->saveFile(path);
}

const std::string& bv_XMLHelper::getEncoding() const {
    // A file in the quick reader's form is UTF-8, as the module reads it.
    static const std::string utf8 = "UTF-8";
    return document_ && !quick_ ? document_->getEncoding() : utf8;
}

}  // namespace bvparser_internal
