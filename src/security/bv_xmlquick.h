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
// file at the schema location; namespace declarations of the schema's
// namespace and the schema-instance one only. Line ends are read as XML reads
// them (CR LF and a lone CR are LF). Anything else is left to the module,
// which reports what is wrong with it.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace bvparser_internal {

// The whole file, read through one descriptor so that both readers parse
// what was opened (fileReadWhole). Never waits on a FIFO planted in place of
// the file; a link in the last component fails unless followLink; a file
// larger than any security file (over 4 MiB) fails with EFBIG before it is
// read, one holding a NUL byte with kErrorFileHasNul. false with errno on
// failure.
bool readXmlFile(const std::string& path, bool followLink, std::string& text);

class bv_XmlQuickDocument {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // The document when text, the content of the file at path, is in the
    // plain form; null otherwise. path locates a relative schema.
    static std::unique_ptr<bv_XmlQuickDocument> read(const std::string& path, const std::string& text,
                                                     const std::string& externalSchemaLocation);
    // The same for the file itself, opened without following a link in its
    // last component (null for a link).
    static std::unique_ptr<bv_XmlQuickDocument> read(const std::string& path,
                                                     const std::string& externalSchemaLocation);

    // Elements are numbered in document order; 0 is the root.
    std::size_t size() const { return nodes_.size(); }
    // As the module's look-ups: children by qualified name ("" for any);
    // kNone when there is none.
    std::size_t child(std::size_t parent, const std::string& name, int index) const;
    int countChildren(std::size_t parent, const std::string& name) const;
    // The next sibling after element with the name ("" for any), or kNone.
    std::size_t nextSibling(std::size_t element, const std::string& name) const;
    // The element's text content: every text below it, in document order.
    const std::string& text(std::size_t element) const { return nodes_[element].text; }

private:
    struct Node {
        std::string name;   // qualified, as written
        std::string local;  // without the prefix
        std::string text;
        std::vector<std::size_t> children;
        bool ownText;  // text other than white space directly inside
        std::size_t parent;
        std::size_t slot;  // place among the parent's children
    };
    static constexpr std::size_t kNoParent = kNone;

    bool parse(const std::string& text, const std::string& namespaceURI, const std::string& schemaLocation);
    // The shape the schema gives: the root a top-level element of it, and
    // every element what its declaration allows.
    bool checkShape() const;
    // The element against its declaration (a schema node), children and all.
    bool matches(std::size_t element, int declaration) const;
    // Takes the children of parent from pos that the particle (an element
    // declaration or a model group) covers; false when they break it.
    bool matchParticle(const Node& parent, int particle, std::size_t& pos) const;
    // nodes_[0] is the root; never resized after parsing.
    std::vector<Node> nodes_;
    std::vector<std::pair<std::string, std::string>> prefixes_;  // from the root
    std::vector<std::string> rootAttributes_;                     // the root's other ones
};

}  // namespace bvparser_internal
