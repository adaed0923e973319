#include "security/bv_xmlhelper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <sstream>

#include "config/number_reader.h"
#include "pal/last_error.h"
#include "pal/system_text.h"
#include "security/bv_saxwriter.h"
#include "security/bv_xml_module.h"
#include "security/bv_xmlquick.h"
#include "security/bv_xmltext.h"

namespace bvparser_internal {

namespace {

constexpr int kXmlFailure = 2049;
constexpr int kMissingElement = 2055;

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
    quick_.reset();
    return openDocument() && document_->parseFile(quickPath_, quickSchemaLocation_);
}

bool bv_XMLHelper::isOK() const {
    if (moduleFailed_) return false;
    if (document_) return document_->isOK();
    return owner_ == nullptr || owner_->isValid();
}

bool bv_XMLHelper::parseFile(const std::string& path, const std::string& externalSchemaLocation) {
    quick_.reset();
    // A file that cannot be opened is named by the path as given, with the
    // system's reason; the parser would name it by the server's absolute
    // path, which a page must not show.
    NARROW_CHAR_PAL::setLastError(0);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const auto error = static_cast<uint32_t>(errno);
        if (owner_) owner_->setError(kXmlFailure, (path + ": " + getSystemErrorText(error)).c_str());
        NARROW_CHAR_PAL::setLastError(error);
        return false;
    }
    ::close(fd);
    // The quick reader stands in only for a fresh validating helper, whose
    // module document would hold nothing but this file.
    if (!document_ && validate_ && !createSchemaInfo_) {
        quick_ = bv_XmlQuickDocument::read(path, externalSchemaLocation);
        if (quick_) {
            quickPath_ = path;
            quickSchemaLocation_ = externalSchemaLocation;
            return isOK();
        }
    }
    return openDocument() && document_->parseFile(path, externalSchemaLocation);
}

bv_XmlElement* bv_XMLHelper::getRootElement() {
    if (quick_) return quick_->root();
    return openDocument() ? document_->getRootElement() : nullptr;
}

bv_XmlElement* bv_XMLHelper::getChildElement(bv_XmlElement* parent, const std::string& name, int index) {
    if (!quick_) return openDocument() ? document_->getChildElement(parent, name, index) : nullptr;
    if (parent == nullptr) return nullptr;
    bv_XmlElement* child = quick_->child(parent, name, index);
    if (child == nullptr && owner_) owner_->setError(kMissingElement, name.c_str());
    return child;
}

int bv_XMLHelper::countChildElements(bv_XmlElement* parent, const std::string& name) {
    if (quick_) return quick_->countChildren(parent, name);
    return openDocument() ? document_->countChildElements(parent, name) : -1;
}

bool bv_XMLHelper::hasChildElement(bv_XmlElement* parent, const std::string& name, int index) {
    if (quick_) return quick_->child(parent, name, index) != nullptr;
    return openDocument() && document_->hasChildElement(parent, name, index);
}

bv_XmlElement* bv_XMLHelper::getNextSiblingElement(bv_XmlElement* element, const std::string& name) {
    if (quick_) return quick_->nextSibling(element, name);
    return openDocument() ? document_->getNextSiblingElement(element, name) : nullptr;
}

std::string bv_XMLHelper::getString(bv_XmlElement* element) {
    if (quick_) return quick_->text(element);
    return openDocument() ? document_->getString(element) : std::string();
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
    const std::string text = getString(element);
    const char* p = text.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(p, &end, 10);
    if (end == p || errno == ERANGE) return 0;
    return static_cast<int64_t>(value);
}

double bv_XMLHelper::getDouble(bv_XmlElement* element) {
    // "%f" reads single precision; the value read back keeps only that.
    float value = 0;
    if (!brenvik::scanFloat(getString(element).c_str(), value)) return 0;
    return static_cast<double>(value);
}

bv_XmlElement* bv_XMLHelper::createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) {
    if (saxWriter_->isOpen()) return saxWriter_->createRoot(name, noNamespaceSchemaLocation);
    return useModule() ? document_->createRoot(name, noNamespaceSchemaLocation) : nullptr;
}

bv_XmlElement* bv_XMLHelper::createRootNS(const std::string& name, const std::string& namespaceURI,
                                          const std::string& prefix, const std::string& schemaLocation,
                                          const std::string& majorVersion, const std::string& minorVersion) {
    if (saxWriter_->isOpen())
        return saxWriter_->createRootNS(name, namespaceURI, prefix, schemaLocation, majorVersion, minorVersion);
    return useModule() ? document_->createRootNS(name, namespaceURI, prefix, schemaLocation, majorVersion,
                                                 minorVersion)
                       : nullptr;
}

bv_XmlElement* bv_XMLHelper::addChild(bv_XmlElement* parent, const std::string& name) {
    if (saxWriter_->isOpen()) return saxWriter_->addChild(parent, name);
    return useModule() ? document_->addChild(parent, name) : nullptr;
}

void bv_XMLHelper::setText(bv_XmlElement* element, const std::string& text) {
    if (saxWriter_->isOpen()) return saxWriter_->setText(element, text);
    if (useModule()) document_->setText(element, text);
}

void bv_XMLHelper::setAttribute(bv_XmlElement* element, const char* name, const char* value, bool asAttribute) {
    if (saxWriter_->isOpen()) return saxWriter_->setAttribute(element, name, value, asAttribute);
    if (useModule()) document_->setAttribute(element, name, value, asAttribute);
}

void bv_XMLHelper::setAttribute(bv_XmlElement* element, const char* name, const std::string& value,
                                bool asAttribute) {
    setAttribute(element, name, value.c_str(), asAttribute);
}

bool bv_XMLHelper::saveFile(const std::string& path) { return useModule() && document_->saveFile(path); }

const std::string& bv_XMLHelper::getEncoding() const {
    // A file in the quick reader's form is UTF-8, as the module reads it.
    static const std::string utf8 = "UTF-8";
    return document_ && !quick_ ? document_->getEncoding() : utf8;
}

}  // namespace bvparser_internal
