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
static_assert(sizeof(uintptr_t) >= sizeof(uint64_t), "handles carry 64 bits");
// Numbers of documents of every helper, so that no two share one.
std::atomic<uint64_t> documentCount{0};

}  // namespace

// ---------------------------------------------------------------- writer

void bv_XmlWriter::setDouble(bv_XmlElement* element, double value, int precision) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", precision, value);
    setText(element, buffer);
}

void bv_XmlWriter::setInt(bv_XmlElement* element, int value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d", value);
    setText(element, buffer);
}

void bv_XmlWriter::setInt64(bv_XmlElement* element, int64_t value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    setText(element, out.str());
}

void bv_XmlWriter::setBool(bv_XmlElement* element, bool value) { setText(element, value ? "true" : "false"); }

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

bool bv_XMLHelper::useModule() {
    if (!quick_) return openDocument();
    const std::unique_ptr<bv_XmlQuickDocument> quick = std::move(quick_);
    const std::string text = std::move(quickText_);
    quickText_.clear();
    if (!openDocument() || !document_->parseText(quickPath_, text, quickSchemaLocation_)) {
        newDocument();
        return false;
    }
    if (!moveHandlesToModule(*quick)) newDocument();
    return true;
}

bool bv_XMLHelper::moveHandlesToModule(const bv_XmlQuickDocument& quick) {
    // The module read the same text: element i of the quick document is the
    // element at the same place in the module's, so every handle given so
    // far keeps its index.
    moduleElements_.assign(quick.size(), nullptr);
    moduleIndex_.clear();
    moduleElements_[0] = document_->getRootElement();
    if (moduleElements_[0] == nullptr) return false;
    for (std::size_t node = 0; node < quick.size(); ++node) {
        bv_XmlElement* parent = moduleElements_[node];
        const std::vector<std::size_t>& children = quick.childrenOf(node);
        if (document_->countChildElements(parent, "") != static_cast<int>(children.size())) return false;
        bv_XmlElement* element = nullptr;
        for (std::size_t child : children) {
            element = element ? document_->getNextSiblingElement(element, "") : document_->getChildElement(parent, "", 0);
            if (element == nullptr) return false;
            moduleElements_[child] = element;
        }
    }
    for (std::size_t node = 0; node < moduleElements_.size(); ++node) moduleIndex_.emplace(moduleElements_[node], node);
    return true;
}

void bv_XMLHelper::newDocument() {
    documentNumber_ = ++documentCount;
    moduleElements_.clear();
    moduleIndex_.clear();
}

bv_XmlElement* bv_XMLHelper::handleOfNode(std::size_t node) {
    if (node == bv_XmlQuickDocument::kNone) return nullptr;
    return reinterpret_cast<bv_XmlElement*>(static_cast<uintptr_t>((documentNumber_ << kIndexBits) | (node + 1)));
}

bv_XmlElement* bv_XMLHelper::handleOf(bv_XmlElement* moduleElement) {
    if (moduleElement == nullptr) return nullptr;
    if (documentNumber_ == 0) newDocument();
    auto [at, added] = moduleIndex_.try_emplace(moduleElement, moduleElements_.size());
    if (added) {
        if (moduleElements_.size() >= kIndexMask) {
            moduleIndex_.erase(at);
            if (owner_) owner_->setError(kXmlFailure, "too many elements");
            return nullptr;
        }
        moduleElements_.push_back(moduleElement);
    }
    return handleOfNode(at->second);
}

bool bv_XMLHelper::nodeOf(bv_XmlElement* handle, std::size_t& node) {
    node = bv_XmlQuickDocument::kNone;
    if (handle == nullptr) return true;
    const auto token = reinterpret_cast<uintptr_t>(handle);
    const std::size_t count = quick_ ? quick_->size() : moduleElements_.size();
    if (documentNumber_ != 0 && (token >> kIndexBits) == documentNumber_ && (token & kIndexMask) != 0 &&
        (token & kIndexMask) <= count) {
        node = (token & kIndexMask) - 1;
        return true;
    }
    if (owner_) owner_->setError(kXmlFailure, "an element handle of another document");
    return false;
}

bool bv_XMLHelper::moduleElementOf(bv_XmlElement* handle, bv_XmlElement*& element) {
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
    quickText_.clear();
    newDocument();
    // A file that cannot be opened is named by the path as given, with the
    // system's reason; the parser would name it by the server's absolute
    // path, which a page must not show.
    std::string text;
    if (!readWholeFile(path, followLink, text)) {
        const auto error = static_cast<uint32_t>(errno);
        if (owner_) owner_->setError(kXmlFailure, (path + ": " + getSystemErrorText(error)).c_str());
        return {false, error};
    }
    // The quick reader stands in only for a fresh validating helper, whose
    // module document would hold nothing but this file.
    if (!document_ && validate_ && !createSchemaInfo_) {
        quick_ = bv_XmlQuickDocument::read(path, text, externalSchemaLocation);
        if (quick_) {
            quickPath_ = path;
            quickText_ = std::move(text);
            quickSchemaLocation_ = externalSchemaLocation;
            return {isOK(), 0};
        }
    }
    return {openDocument() && document_->parseText(path, text, externalSchemaLocation), 0};
}

bv_XmlElement* bv_XMLHelper::getRootElement() {
    if (quick_) return handleOfNode(0);
    return openDocument() ? handleOf(document_->getRootElement()) : nullptr;
}

bv_XmlElement* bv_XMLHelper::getChildElement(bv_XmlElement* parent, const std::string& name, int index) {
    if (!quick_) {
        bv_XmlElement* element;
        if (!openDocument() || !moduleElementOf(parent, element)) return nullptr;
        return handleOf(document_->getChildElement(element, name, index));
    }
    std::size_t node;
    if (parent == nullptr || !nodeOf(parent, node)) return nullptr;
    const std::size_t child = quick_->child(node, name, index);
    if (child == bv_XmlQuickDocument::kNone && owner_) owner_->setError(kMissingElement, name.c_str());
    return handleOfNode(child);
}

int bv_XMLHelper::countChildElements(bv_XmlElement* parent, const std::string& name) {
    if (!quick_) {
        bv_XmlElement* element;
        if (!openDocument() || !moduleElementOf(parent, element)) return -1;
        return document_->countChildElements(element, name);
    }
    std::size_t node;
    if (parent == nullptr || !nodeOf(parent, node)) return -1;
    return quick_->countChildren(node, name);
}

bool bv_XMLHelper::hasChildElement(bv_XmlElement* parent, const std::string& name, int index) {
    if (!quick_) {
        bv_XmlElement* element;
        return openDocument() && moduleElementOf(parent, element) && document_->hasChildElement(element, name, index);
    }
    std::size_t node;
    return parent != nullptr && nodeOf(parent, node) && quick_->child(node, name, index) != bv_XmlQuickDocument::kNone;
}

bv_XmlElement* bv_XMLHelper::getNextSiblingElement(bv_XmlElement* element, const std::string& name) {
    if (!quick_) {
        bv_XmlElement* moduleElement;
        if (!openDocument() || !moduleElementOf(element, moduleElement)) return nullptr;
        return handleOf(document_->getNextSiblingElement(moduleElement, name));
    }
    std::size_t node;
    if (element == nullptr || !nodeOf(element, node)) return nullptr;
    return handleOfNode(quick_->nextSibling(node, name));
}

std::string bv_XMLHelper::getString(bv_XmlElement* element) {
    if (!quick_) {
        bv_XmlElement* moduleElement;
        if (!openDocument() || !moduleElementOf(element, moduleElement)) return std::string();
        return document_->getString(moduleElement);
    }
    std::size_t node;
    if (element == nullptr || !nodeOf(element, node)) return std::string();
    return quick_->text(node);
}

bool bv_XMLHelper::getBool(bv_XmlElement* element) {
    std::string text = trimXmlSpace(getString(element));
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text == "true" || text == "1" || text == "yes";
}

int bv_XMLHelper::getInt(bv_XmlElement* element) {
    // "%d", clamped to the int range instead of scanf's undefined overflow.
    return brenvik::atoiValue(getString(element).c_str());
}

int64_t bv_XMLHelper::getInt64(bv_XmlElement* element) {
    // A stream's reading of a whole number, without building a stream (the
    // first one costs the process its locale set-up): white space skipped, an
    // optional sign, decimal digits up to the first other character; nothing
    // read or a value out of range gives 0.
    const brenvik::LeadingInteger<int64_t> n = brenvik::readLeadingInteger<int64_t>(getString(element).c_str());
    return n.fits ? n.value : 0;
}

double bv_XMLHelper::getDouble(bv_XmlElement* element) {
    // "%f" reads single precision; the value read back keeps only that.
    float value = 0;
    if (!brenvik::scanFloat(getString(element).c_str(), value)) return 0;
    return static_cast<double>(value);
}

bv_XmlElement* bv_XMLHelper::createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) {
    if (saxWriter_->isOpen()) return saxWriter_->createRoot(name, noNamespaceSchemaLocation);
    if (!useModule()) return nullptr;
    newDocument();
    return handleOf(document_->createRoot(name, noNamespaceSchemaLocation));
}

bv_XmlElement* bv_XMLHelper::createRootNS(const std::string& name, const std::string& namespaceURI,
                                          const std::string& prefix, const std::string& schemaLocation,
                                          const std::string& majorVersion, const std::string& minorVersion) {
    if (saxWriter_->isOpen())
        return saxWriter_->createRootNS(name, namespaceURI, prefix, schemaLocation, majorVersion, minorVersion);
    if (!useModule()) return nullptr;
    newDocument();
    return handleOf(document_->createRootNS(name, namespaceURI, prefix, schemaLocation, majorVersion, minorVersion));
}

bv_XmlElement* bv_XMLHelper::addChild(bv_XmlElement* parent, const std::string& name) {
    if (saxWriter_->isOpen()) return saxWriter_->addChild(parent, name);
    bv_XmlElement* element;
    if (!useModule() || !moduleElementOf(parent, element)) return nullptr;
    return handleOf(document_->addChild(element, name));
}

void bv_XMLHelper::setText(bv_XmlElement* element, const std::string& text) {
    if (saxWriter_->isOpen()) return saxWriter_->setText(element, text);
    bv_XmlElement* moduleElement;
    if (useModule() && moduleElementOf(element, moduleElement)) document_->setText(moduleElement, text);
}

void bv_XMLHelper::setAttribute(bv_XmlElement* element, const char* name, const char* value, bool asAttribute) {
    if (saxWriter_->isOpen()) return saxWriter_->setAttribute(element, name, value, asAttribute);
    bv_XmlElement* moduleElement;
    if (useModule() && moduleElementOf(element, moduleElement))
        document_->setAttribute(moduleElement, name, value, asAttribute);
}

void bv_XMLHelper::setAttribute(bv_XmlElement* element, const char* name, const std::string& value,
                                bool asAttribute) {
    setAttribute(element, name, value.c_str(), asAttribute);
}

bv_XmlFileResult bv_XMLHelper::saveFile(const std::string& path) {
    if (!useModule()) return {};
    return document_->saveFile(path);
}

const std::string& bv_XMLHelper::getEncoding() const {
    // A file in the quick reader's form is UTF-8, as the module reads it.
    static const std::string utf8 = "UTF-8";
    return document_ && !quick_ ? document_->getEncoding() : utf8;
}

}  // namespace bvparser_internal
