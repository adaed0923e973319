#include "security/bv_xmlquick.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "common/file_utils.h"
#include "pal/system_text.h"
#include "security/bv_security_schema.h"

namespace bvparser_internal {

namespace {

constexpr std::size_t kMaxFile = 1 << 20;
// A session file holds about 1 KB, an options file a few; 4 MiB is a
// thousand times either and still read and parsed in a moment. A larger file
// is refused as it stands, before anything of it is read.
constexpr std::size_t kMaxDocument = std::size_t{4} << 20;
const char* const kSchemaInstanceURI = "http://www.w3.org/2001/XMLSchema-instance";
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool allSpace(const std::string& text) {
    for (char c : text)
        if (!isSpace(c)) return false;
    return true;
}

bool isNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

// A name with at most one ':' between two non-empty parts; "" when there is
// none at pos.
std::string readName(const std::string& text, std::size_t& pos) {
    const std::size_t start = pos;
    int colons = 0;
    while (pos < text.size()) {
        char c = text[pos];
        if (pos == start || text[pos - 1] == ':') {
            if (!isNameStart(c)) break;
        } else if (c == ':') {
            if (++colons > 1) break;
        } else if (!isNameChar(c)) {
            break;
        }
        ++pos;
    }
    if (pos > start && text[pos - 1] == ':') --pos;
    return text.substr(start, pos - start);
}

// Names starting with "xml" in any case are reserved to XML itself.
bool isReservedName(const std::string& name) {
    return name.size() >= 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' && (name[2] | 0x20) == 'l';
}

void splitName(const std::string& name, std::string& prefix, std::string& local) {
    std::size_t colon = name.find(':');
    prefix = colon == std::string::npos ? std::string() : name.substr(0, colon);
    local = colon == std::string::npos ? name : name.substr(colon + 1);
}

// The one schema file of a "namespace location" pair, as the module finds it
// (a relative location is taken from the document's folder); "" when the
// text is not one local pair.
std::string schemaFileOf(const std::string& documentPath, const std::string& externalSchemaLocation,
                         std::string& namespaceURI) {
    // Exactly two words apart by white space.
    std::vector<std::string> words;
    const char* const space = " \t\n\v\f\r";
    for (std::size_t at = externalSchemaLocation.find_first_not_of(space); at != std::string::npos && words.size() < 3;
         at = externalSchemaLocation.find_first_not_of(space, at)) {
        std::size_t end = externalSchemaLocation.find_first_of(space, at);
        words.push_back(externalSchemaLocation.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    if (words.size() != 2) return std::string();
    namespaceURI = words[0];
    std::string location = words[1];
    if (location.compare(0, 7, "file://") == 0) location.erase(0, 7);
    if (location.empty() || location.find("://") != std::string::npos) return std::string();
    if (location[0] != '/') {
        std::size_t slash = documentPath.rfind('/');
        location = (slash == std::string::npos ? std::string() : documentPath.substr(0, slash + 1)) + location;
    }
    return location;
}

// The shape of the files comes from the schema's own tags (generated from
// the shipped schema by the build): an element declaration's content is
// text, a complex type, or something the quick reader does not judge.
constexpr std::span<const SchemaNode> kSchema(kSecuritySchemaNodes);
constexpr int kText = -1;
constexpr int kUnjudged = -2;

// Calls visit(child) for each child of schema node; visit returns false to stop.
template <class Visit>
void forChildren(int node, Visit visit) {
    for (int child = node + 1; child < kSchema[node].end; child = kSchema[child].end)
        if (!visit(child)) return;
}

std::string_view localOf(std::string_view qualified) {
    const std::size_t colon = qualified.find(':');
    return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

// A declaration at the schema's top level, or kUnjudged.
int topLevel(SchemaTag tag, std::string_view name) {
    int found = kUnjudged;
    forChildren(0, [&](int child) {
        if (kSchema[child].tag == tag && name == kSchema[child].name) found = child;
        return found == kUnjudged;
    });
    return found;
}

// kText for a string, the complex type's node, or kUnjudged (any other type,
// a reference, no type at all).
int contentOf(int declaration) {
    const SchemaNode& element = kSchema[declaration];
    if (*element.ref != '\0') return kUnjudged;
    if (*element.type != '\0') {
        if (std::string_view(element.type) == "xs:string") return kText;
        return topLevel(SchemaTag::complexType, localOf(element.type));
    }
    int type = kUnjudged;
    forChildren(declaration, [&](int child) {
        if (kSchema[child].tag == SchemaTag::complexType) type = child;
        return type == kUnjudged;
    });
    return type;
}

// Whether the complex type (or attribute group) declares a string attribute
// of that name.
bool declaresAttribute(int type, std::string_view name) {
    bool found = false;
    forChildren(type, [&](int child) {
        const SchemaNode& node = kSchema[child];
        if (node.tag == SchemaTag::attribute) {
            found = name == node.name && std::string_view(node.type) == "xs:string";
        } else if (node.tag == SchemaTag::attributeGroup && *node.ref != '\0') {
            const int group = topLevel(SchemaTag::attributeGroup, localOf(node.ref));
            found = group >= 0 && declaresAttribute(group, name);
        }
        return !found;
    });
    return found;
}

}  // namespace

bool readXmlFile(const std::string& path, bool followLink, std::string& text) {
    if (!fileReadWhole(path.c_str(), followLink, kMaxDocument, text)) return false;
    // No XML document holds a NUL; a reader that stops at one would take
    // what comes before it for the whole file.
    if (text.find('\0') == std::string::npos) return true;
    errno = static_cast<int>(NARROW_CHAR_PAL::kErrorFileHasNul);
    return false;
}

std::unique_ptr<bv_XmlQuickDocument> bv_XmlQuickDocument::read(const std::string& path,
                                                               const std::string& externalSchemaLocation) {
    std::string text;
    if (!readXmlFile(path, false, text)) return nullptr;
    return read(path, text, externalSchemaLocation);
}

std::unique_ptr<bv_XmlQuickDocument> bv_XmlQuickDocument::read(const std::string& path, const std::string& text,
                                                               const std::string& externalSchemaLocation) {
    if (text.size() > kMaxFile) return nullptr;
    std::string namespaceURI;
    const std::string schemaPath = schemaFileOf(path, externalSchemaLocation, namespaceURI);
    std::string schema;
    // The schema lies in config/, which an administrator may lay out with
    // links; a document may lie in sessions/, where a link is refused.
    if (schemaPath.empty() || !readXmlFile(schemaPath, true, schema) || schema != kShippedSecuritySchema) return nullptr;
    std::unique_ptr<bv_XmlQuickDocument> document(new bv_XmlQuickDocument);
    if (!document->parse(text, namespaceURI, externalSchemaLocation) || !document->checkShape())
        return nullptr;
    return document;
}

bool bv_XmlQuickDocument::parse(const std::string& written, const std::string& namespaceURI,
                                const std::string& schemaLocation) {
    // Line ends as XML reads them: CR LF and a lone CR are both LF. The
    // server writes its security files with CR LF, our own writer too.
    std::string text;
    text.reserve(written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] != '\r') {
            text += written[i];
        } else {
            text += '\n';
            if (i + 1 < written.size() && written[i + 1] == '\n') ++i;
        }
    }
    for (char c : text)
        if (!(isSpace(c) || (c >= 0x20 && c < 0x7F))) return false;
    if (text.find('&') != std::string::npos || text.find("]]>") != std::string::npos ||
        text.find("<!") != std::string::npos)
        return false;
    // The declaration as the options file and as the session writer put it.
    static const std::string declarations[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>",
    };
    std::size_t pos = 0;
    for (const std::string& declaration : declarations)
        if (text.compare(0, declaration.size(), declaration) == 0) pos = declaration.size();
    if (text.find("<?", pos) != std::string::npos) return false;

    std::vector<std::size_t> open;
    bool rootSeen = false;
    std::string schemaPrefix;
    while (pos < text.size()) {
        if (text[pos] != '<') {
            std::size_t end = text.find('<', pos);
            if (end == std::string::npos) end = text.size();
            const std::string piece = text.substr(pos, end - pos);
            pos = end;
            if (open.empty()) {
                if (!allSpace(piece)) return false;
            } else {
                nodes_[open.back()].text += piece;
                if (!allSpace(piece)) nodes_[open.back()].ownText = true;
            }
            continue;
        }
        if (pos + 1 < text.size() && text[pos + 1] == '/') {
            pos += 2;
            const std::string name = readName(text, pos);
            while (pos < text.size() && isSpace(text[pos])) ++pos;
            if (open.empty() || name != nodes_[open.back()].name || pos >= text.size() || text[pos] != '>')
                return false;
            ++pos;
            const std::size_t closed = open.back();
            open.pop_back();
            if (!open.empty()) nodes_[open.back()].text += nodes_[closed].text;
            continue;
        }
        ++pos;
        if (open.empty() && rootSeen) return false;
        const std::string name = readName(text, pos);
        if (name.empty()) return false;
        const std::size_t index = nodes_.size();
        std::string elementPrefix;
        std::string elementLocal;
        splitName(name, elementPrefix, elementLocal);
        nodes_.push_back(Node{name, elementLocal, std::string(), {}, false, open.empty() ? kNoParent : open.back(),
                              open.empty() ? 0 : nodes_[open.back()].children.size()});
        if (!open.empty()) nodes_[open.back()].children.push_back(index);
        rootSeen = true;

        std::set<std::string> attributes;
        bool empty = false;
        for (;;) {
            const std::size_t before = pos;
            while (pos < text.size() && isSpace(text[pos])) ++pos;
            if (pos >= text.size()) return false;
            if (text[pos] == '>') {
                ++pos;
                break;
            }
            if (text.compare(pos, 2, "/>") == 0) {
                pos += 2;
                empty = true;
                break;
            }
            if (pos == before) return false;  // attributes need white space before them
            const std::string attribute = readName(text, pos);
            if (attribute.empty()) return false;
            while (pos < text.size() && isSpace(text[pos])) ++pos;
            if (pos >= text.size() || text[pos] != '=') return false;
            ++pos;
            while (pos < text.size() && isSpace(text[pos])) ++pos;
            if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) return false;
            const std::size_t end = text.find(text[pos], pos + 1);
            if (end == std::string::npos) return false;
            std::string value = text.substr(pos + 1, end - pos - 1);
            pos = end + 1;
            if (value.find('<') != std::string::npos || !attributes.insert(attribute).second) return false;
            // Only the root carries attributes: namespace declarations, the
            // schema location and the version.
            if (index != 0) return false;
            for (char& c : value)
                if (c == '\t' || c == '\n') c = ' ';
            std::string prefix;
            std::string local;
            splitName(attribute, prefix, local);
            if (prefix == "xmlns") {
                // Only the two namespaces these files use: any other binding,
                // a reserved one above all, is the module's to judge.
                if ((value != namespaceURI && value != kSchemaInstanceURI) || isReservedName(local)) return false;
                prefixes_.emplace_back(local, value);
            } else if (prefix.empty()) {
                rootAttributes_.push_back(local);
            } else if (local != "schemaLocation" || value != schemaLocation || !schemaPrefix.empty()) {
                return false;
            } else {
                schemaPrefix = prefix;
            }
        }
        if (!empty) open.push_back(index);
    }
    if (!rootSeen || !open.empty()) return false;

    // The schema location attribute must belong to the schema-instance
    // namespace, and every prefix used must be declared.
    auto uriOf = [this](const std::string& prefix) -> const std::string* {
        for (const auto& [p, uri] : prefixes_)
            if (p == prefix) return &uri;
        return nullptr;
    };
    if (!schemaPrefix.empty()) {
        const std::string* uri = uriOf(schemaPrefix);
        if (uri == nullptr || *uri != kSchemaInstanceURI) return false;
    }
    std::string prefix;
    std::string local;
    for (const Node& node : nodes_) {
        splitName(node.name, prefix, local);
        const std::string* uri = uriOf(prefix);
        if (prefix.empty() || uri == nullptr || *uri != namespaceURI) return false;
    }
    return true;
}

bool bv_XmlQuickDocument::checkShape() const {
    // The root: a top-level element of the schema, with only the attributes
    // its type declares beside the namespace ones.
    if (kSchema[0].tag != SchemaTag::schema) return false;
    const int declaration = topLevel(SchemaTag::element, nodes_[0].local);
    if (declaration == kUnjudged) return false;
    const int type = contentOf(declaration);
    for (const std::string& attribute : rootAttributes_)
        if (type < 0 || !declaresAttribute(type, attribute)) return false;
    return matches(0, declaration);
}

bool bv_XmlQuickDocument::matches(std::size_t index, int declaration) const {
    const Node& node = nodes_[index];
    const int type = contentOf(declaration);
    if (type == kText) return node.children.empty();
    if (type == kUnjudged || node.ownText) return false;
    // One model group, then attribute declarations; anything else
    // (simple or derived content) is the module's.
    int group = kUnjudged;
    bool judged = true;
    forChildren(type, [&](int child) {
        switch (kSchema[child].tag) {
        case SchemaTag::sequence:
        case SchemaTag::choice:
        case SchemaTag::all:
            judged = group == kUnjudged;
            group = child;
            return judged;
        case SchemaTag::attribute:
        case SchemaTag::attributeGroup:
            return true;
        default:
            judged = false;
            return false;
        }
    });
    if (!judged) return false;
    std::size_t pos = 0;
    if (group != kUnjudged && !matchParticle(node, group, pos)) return false;
    return pos == node.children.size();
}

bool bv_XmlQuickDocument::matchParticle(const Node& parent, int particle, std::size_t& pos) const {
    // Greedy: the schema's particles name distinct elements (as a schema's
    // unique particle attribution asks), so the first that fits is the one.
    const SchemaNode& model = kSchema[particle];
    const std::vector<std::size_t>& children = parent.children;
    int count = 0;
    auto more = [&] { return pos < children.size() && (model.maxOccurs < 0 || count < model.maxOccurs); };
    // The alternative of a choice or all group that names the next child.
    auto alternative = [&](bool& judged) {
        int found = kUnjudged;
        forChildren(particle, [&](int child) {
            if (kSchema[child].tag != SchemaTag::element) judged = false;
            else if (nodes_[children[pos]].local == kSchema[child].name) found = child;
            return judged && found == kUnjudged;
        });
        return found;
    };
    switch (model.tag) {
    case SchemaTag::element:
        while (more() && nodes_[children[pos]].local == model.name) {
            if (!matches(children[pos], particle)) return false;
            ++pos;
            ++count;
        }
        return count >= model.minOccurs;
    case SchemaTag::sequence: {
        // Once, in order; a repeated or optional sequence is the module's.
        if (model.minOccurs != 1 || model.maxOccurs != 1) return false;
        bool ok = true;
        forChildren(particle, [&](int child) { return ok = matchParticle(parent, child, pos); });
        return ok;
    }
    case SchemaTag::choice:
        while (more()) {
            bool judged = true;
            const int chosen = alternative(judged);
            if (!judged) return false;
            if (chosen == kUnjudged) break;
            const std::size_t before = pos;
            if (!matchParticle(parent, chosen, pos) || pos == before) return false;
            ++count;
        }
        return count >= model.minOccurs;
    case SchemaTag::all: {
        if (model.maxOccurs != 1) return false;
        std::set<int> seen;
        while (pos < children.size()) {
            bool judged = true;
            const int chosen = alternative(judged);
            if (!judged) return false;
            if (chosen == kUnjudged) break;
            if (!seen.insert(chosen).second || !matches(children[pos], chosen)) return false;
            ++pos;
        }
        if (seen.empty() && model.minOccurs == 0) return true;
        bool complete = true;
        forChildren(particle, [&](int child) {
            complete = kSchema[child].minOccurs == 0 || seen.count(child) != 0;
            return complete;
        });
        return complete;
    }
    default:
        return false;
    }
}

std::size_t bv_XmlQuickDocument::child(std::size_t parent, const std::string& name, int index) const {
    if (index < 0) return kNone;
    int seen = 0;
    for (std::size_t c : nodes_[parent].children) {
        if (!name.empty() && nodes_[c].name != name) continue;
        if (seen++ == index) return c;
    }
    return kNone;
}

int bv_XmlQuickDocument::countChildren(std::size_t parent, const std::string& name) const {
    int count = 0;
    for (std::size_t c : nodes_[parent].children)
        if (name.empty() || nodes_[c].name == name) ++count;
    return count;
}

std::size_t bv_XmlQuickDocument::nextSibling(std::size_t element, const std::string& name) const {
    const std::size_t parent = nodes_[element].parent;
    if (parent == kNoParent) return kNone;
    const std::vector<std::size_t>& siblings = nodes_[parent].children;
    for (std::size_t at = nodes_[element].slot + 1; at < siblings.size(); ++at)
        if (name.empty() || nodes_[siblings[at]].name == name) return siblings[at];
    return kNone;
}

}  // namespace bvparser_internal
