#include "security/bv_saxwriter.h"

#include "pal/exceptions.h"

namespace bvparser_internal {

namespace {
constexpr int kXmlFailure = 2049;
const char* const kSchemaInstance = "http://www.w3.org/2001/XMLSchema-instance";
}  // namespace

bv_SaxWriter::bv_SaxWriter(brenvik::bv_errs* owner) : owner_(owner) {}

bv_SaxWriter::~bv_SaxWriter() { close(); }

void bv_SaxWriter::recordFailure(const std::string& text) {
    failed_ = true;
    if (owner_) owner_->setError(kXmlFailure, text.c_str());
}

bool bv_SaxWriter::open(const std::string& path) {
    close();
    failed_ = false;
    file_ = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file_) {
        recordFailure("cannot open " + path);
        return false;
    }
    writer_ = std::make_unique<NARROW_CHAR_PAL::Writer>(*file_);
    return true;
}

void bv_SaxWriter::closeAll() {
    try {
        while (!stack_.empty()) {
            writer_->endElement();
            stack_.pop_back();
        }
    } catch (const NARROW_CHAR_PAL::Exception& e) {
        stack_.clear();
        recordFailure(e.message());
    }
}

bool bv_SaxWriter::close() {
    if (!writer_) return !failed_;
    closeAll();
    writer_->close();
    writer_.reset();
    file_->close();
    if (file_->fail()) recordFailure("cannot write the XML file");
    return !failed_;
}

bool bv_SaxWriter::isOK() const { return !failed_ && (owner_ == nullptr || owner_->isValid()); }

bool bv_SaxWriter::closeDownTo(bv_XmlHandle element) {
    std::size_t depth = stack_.size();
    while (depth > 0 && stack_[depth - 1].token != element.token()) --depth;
    if (depth == 0) {
        recordFailure("element is not open");
        return false;
    }
    while (stack_.size() > depth) {
        writer_->endElement();
        stack_.pop_back();
    }
    return true;
}

bv_XmlHandle bv_SaxWriter::startRoot(const std::string& qualifiedName,
                                       const std::vector<std::pair<std::string, std::string>>& attributes) {
    if (!writer_) return {};
    try {
        closeAll();
        writer_->startElement(qualifiedName);
        for (const auto& [name, value] : attributes)
            if (!value.empty()) writer_->attribute(name, value);
        stack_.push_back({qualifiedName, nextToken_});
        return bv_XmlHandle(nextToken_++);
    } catch (const NARROW_CHAR_PAL::Exception& e) {
        recordFailure(e.message());
        return {};
    }
}

bv_XmlHandle bv_SaxWriter::createRoot(const std::string& name, const std::string& noNamespaceSchemaLocation) {
    std::vector<std::pair<std::string, std::string>> attributes;
    if (!noNamespaceSchemaLocation.empty()) {
        attributes.emplace_back("xmlns:xsi", kSchemaInstance);
        attributes.emplace_back("xsi:noNamespaceSchemaLocation", noNamespaceSchemaLocation);
    }
    return startRoot(name, attributes);
}

bv_XmlHandle bv_SaxWriter::createRootNS(const std::string& name, const std::string& namespaceURI,
                                          const std::string& prefix, const std::string& schemaLocation,
                                          const std::string& majorVersion, const std::string& minorVersion) {
    std::vector<std::pair<std::string, std::string>> attributes;
    if (!schemaLocation.empty()) attributes.emplace_back("xmlns:xsi", kSchemaInstance);
    attributes.emplace_back("xsi:schemaLocation", schemaLocation);
    attributes.emplace_back(prefix.empty() ? "xmlns" : "xmlns:" + prefix, namespaceURI);
    attributes.emplace_back("majorVersion", majorVersion);
    attributes.emplace_back("minorVersion", minorVersion);
    return startRoot(prefix.empty() ? name : prefix + ":" + name, attributes);
}

bv_XmlHandle bv_SaxWriter::addChild(bv_XmlHandle parent, const std::string& name) {
    if (!writer_) return {};
    try {
        if (!closeDownTo(parent)) return {};
        std::string qualified = defaultPrefix_.empty() ? name : defaultPrefix_ + ":" + name;
        writer_->startElement(qualified);
        stack_.push_back({qualified, nextToken_});
        return bv_XmlHandle(nextToken_++);
    } catch (const NARROW_CHAR_PAL::Exception& e) {
        recordFailure(e.message());
        return {};
    }
}

void bv_SaxWriter::setAttribute(bv_XmlHandle element, const char* name, const char* value, bool asAttribute) {
    if (!writer_) return;
    try {
        if (asAttribute) {
            // Attributes can only go to the start tag still open.
            if (stack_.empty() || stack_.back().token != element.token()) {
                recordFailure("attribute of an element whose start tag is closed");
                return;
            }
            writer_->attribute(name, value ? value : "");
        } else {
            if (!closeDownTo(element)) return;
            writer_->element(name ? name : "", value ? value : "");
        }
    } catch (const NARROW_CHAR_PAL::Exception& e) {
        recordFailure(e.message());
    }
}

void bv_SaxWriter::setAttribute(bv_XmlHandle element, const char* name, const std::string& value,
                                bool asAttribute) {
    setAttribute(element, name, value.c_str(), asAttribute);
}

void bv_SaxWriter::setText(bv_XmlHandle element, const std::string& text) {
    if (!writer_) return;
    try {
        if (!closeDownTo(element)) return;
        writer_->text(text);
    } catch (const NARROW_CHAR_PAL::Exception& e) {
        recordFailure(e.message());
    }
}

}  // namespace bvparser_internal
