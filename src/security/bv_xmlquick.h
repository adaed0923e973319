#pragma once
// Reads the plain form in which the security options file and the session
// files are written, and answers the helper's reading calls on it exactly as
// the XML module would (same elements, same texts), without loading the
// module: with security off the options file is the only XML a request
// reads, and a command-line run with security on reads its session file too.
//
// The plain form: ASCII text without comments, processing instructions,
// DTD, CDATA or entity and character references, at most the usual XML
// declaration, the shape the schema gives an options or a session document
// (in the schema's namespace, declared on the root) and the shipped schema
// file at the schema location; CR only before LF, and only in a session
// file (its writer ends lines so). Anything else is left to the module,
// which reports what is wrong with it.
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "security/bv_xmlhelper.h"

namespace bvparser_internal {

class bv_XmlQuickDocument {
public:
    // The document when the file is in the plain form; null otherwise.
    static std::unique_ptr<bv_XmlQuickDocument> read(const std::string& path,
                                                     const std::string& externalSchemaLocation);

    bv_XmlElement* root() const;
    // As the module's look-ups: children by qualified name ("" for any).
    bv_XmlElement* child(bv_XmlElement* parent, const std::string& name, int index) const;
    int countChildren(bv_XmlElement* parent, const std::string& name) const;
    // The next sibling after element with the name ("" for any), or null.
    bv_XmlElement* nextSibling(bv_XmlElement* element, const std::string& name) const;
    // The element's text content: every text below it, in document order.
    std::string text(bv_XmlElement* element) const;

private:
    struct Node {
        std::string name;  // qualified, as written
        std::string text;
        std::vector<std::size_t> children;
        bool ownText;  // text other than white space directly inside
        std::size_t parent;
    };
    static constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

    bool parse(const std::string& text, const std::string& namespaceURI, const std::string& schemaLocation);
    bool checkShape() const;
    bool checkSessionShape() const;
    // Every child is one of names and has no elements; once: each at most once.
    bool childrenAreLeaves(const Node& parent, std::span<const char* const> names, bool once) const;
    const Node* nodeOf(bv_XmlElement* element) const;
    bv_XmlElement* handleOf(std::size_t index) const;

    // nodes_[0] is the root; never resized after parsing, so handles stay.
    std::vector<Node> nodes_;
    std::vector<std::pair<std::string, std::string>> prefixes_;  // from the root
    bool crlf_ = false;  // lines ended in CR LF
};

}  // namespace bvparser_internal
