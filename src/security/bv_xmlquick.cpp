#include "security/bv_xmlquick.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "security/bv_security_schema.h"

namespace bvparser_internal {

namespace {

constexpr std::size_t kMaxFile = 1 << 20;
const char* const kSchemaInstanceURI = "http://www.w3.org/2001/XMLSchema-instance";
const char* const kOptionNames[] = {
    "securityEnabled",     "sessionTimeout",          "defaultPasswordExpiryTime",
    "minimumPasswordLength", "useSessionCookies",     "verifySessionIPAddress",
    "vostrelAppServerURL", "vostrelDatabaseName",     "vostrelOracleServerName",
    "logLevel",            "logFileName",
};
const char* const kSessionParams[] = {
    "emailAddress", "fullUserName", "ipAddress", "lastAccessed", "securityEnabled",
    "timeout",      "userID",       "userName",  "userType",     "verifyAddress",
};
const char* const kParamParts[] = {"paramName", "paramValue"};
const char* const kTaskParts[] = {"task_id", "short_desc", "long_desc", "task_name", "type"};
const char* const kValueParts[] = {"value"};

bool isOneOf(const std::string& local, std::span<const char* const> names) {
    for (const char* name : names)
        if (local == name) return true;
    return false;
}

bool readSmallFile(const std::string& path, std::string& text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= kMaxFile;
    if (ok) {
        text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (ok && done < text.size()) {
            ssize_t n = ::read(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    return ok;
}

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

}  // namespace

std::unique_ptr<bv_XmlQuickDocument> bv_XmlQuickDocument::read(const std::string& path,
                                                               const std::string& externalSchemaLocation) {
    // The module reads the path as a URL; only plain paths mean the same file
    // to both.
    for (char c : path)
        if (!isNameChar(c) && c != '/') return nullptr;
    std::string namespaceURI;
    const std::string schemaPath = schemaFileOf(path, externalSchemaLocation, namespaceURI);
    std::string schema;
    if (schemaPath.empty() || !readSmallFile(schemaPath, schema) || schema != kShippedSecuritySchema) return nullptr;
    std::string text;
    if (!readSmallFile(path, text)) return nullptr;
    std::unique_ptr<bv_XmlQuickDocument> document(new bv_XmlQuickDocument);
    if (!document->parse(text, namespaceURI, externalSchemaLocation) || !document->checkShape())
        return nullptr;
    return document;
}

bool bv_XmlQuickDocument::parse(const std::string& written, const std::string& namespaceURI,
                                const std::string& schemaLocation) {
    // The session writer ends its lines in CR LF, which a parser reads as LF;
    // a CR anywhere else is left to the module.
    std::string text;
    text.reserve(written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] == '\r') {
            if (i + 1 >= written.size() || written[i + 1] != '\n') return false;
            crlf_ = true;
            continue;
        }
        text += written[i];
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
        nodes_.push_back(Node{name, std::string(), {}, false, open.empty() ? kNoParent : open.back()});
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
                if (value.empty() || local == "xml" || local == "xmlns") return false;
                prefixes_.emplace_back(local, value);
            } else if (prefix.empty()) {
                if (local != "majorVersion" && local != "minorVersion") return false;
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
    std::string prefix;
    std::string local;
    splitName(nodes_[0].name, prefix, local);
    if (local == "security_session") return checkSessionShape();
    // The options file is written with LF only.
    if (crlf_) return false;
    // Root: at most one options element and no text; options: option
    // elements, each at most once, and no text; options have no children.
    if (local != "security_options" || nodes_[0].ownText || nodes_[0].children.size() > 1) return false;
    if (nodes_[0].children.empty()) return true;
    const Node& options = nodes_[nodes_[0].children[0]];
    splitName(options.name, prefix, local);
    if (local != "options" || options.ownText) return false;
    return childrenAreLeaves(options, kOptionNames, true);
}

bool bv_XmlQuickDocument::childrenAreLeaves(const Node& parent, std::span<const char* const> names,
                                            bool once) const {
    std::set<std::string> seen;
    std::string prefix;
    std::string local;
    for (std::size_t index : parent.children) {
        const Node& child = nodes_[index];
        splitName(child.name, prefix, local);
        if (!isOneOf(local, names) || !child.children.empty() || (once && !seen.insert(local).second)) return false;
    }
    return true;
}

bool bv_XmlQuickDocument::checkSessionShape() const {
    // As the schema has it: session_data holds the parameters in any order,
    // then at most one custom_parameters list, then at most one
    // permitted_tasks list; lists and their entries hold no text of their
    // own; values hold no elements.
    const Node& root = nodes_[0];
    if (root.ownText || root.children.size() > 1) return false;
    if (root.children.empty()) return true;
    std::string prefix;
    std::string local;
    const Node& data = nodes_[root.children[0]];
    splitName(data.name, prefix, local);
    if (local != "session_data" || data.ownText) return false;
    int stage = 0;  // 0 parameters, 1 after custom_parameters, 2 after permitted_tasks
    for (std::size_t index : data.children) {
        const Node& part = nodes_[index];
        splitName(part.name, prefix, local);
        if (local == "custom_parameters" && stage < 1) {
            stage = 1;
            if (part.ownText) return false;
            for (std::size_t p : part.children) {
                const Node& param = nodes_[p];
                splitName(param.name, prefix, local);
                if (local != "param" || param.ownText || !childrenAreLeaves(param, kParamParts, true)) return false;
            }
        } else if (local == "permitted_tasks" && stage < 2) {
            stage = 2;
            if (part.ownText) return false;
            for (std::size_t t : part.children) {
                const Node& task = nodes_[t];
                splitName(task.name, prefix, local);
                if (local != "task" || task.ownText) return false;
                std::set<std::string> seen;
                for (std::size_t f : task.children) {
                    const Node& field = nodes_[f];
                    splitName(field.name, prefix, local);
                    if (!seen.insert(local).second) return false;
                    if (local == "values_array") {
                        if (field.ownText || !childrenAreLeaves(field, kValueParts, false)) return false;
                        continue;
                    }
                    if (!isOneOf(local, kTaskParts) || !field.children.empty()) return false;
                }
            }
        } else {
            if (!isOneOf(local, kSessionParams) || stage != 0 || !part.children.empty()) return false;
        }
    }
    return true;
}

const bv_XmlQuickDocument::Node* bv_XmlQuickDocument::nodeOf(bv_XmlElement* element) const {
    return reinterpret_cast<const Node*>(element);
}

bv_XmlElement* bv_XmlQuickDocument::handleOf(std::size_t index) const {
    return reinterpret_cast<bv_XmlElement*>(const_cast<Node*>(&nodes_[index]));
}

bv_XmlElement* bv_XmlQuickDocument::root() const { return handleOf(0); }

bv_XmlElement* bv_XmlQuickDocument::child(bv_XmlElement* parent, const std::string& name, int index) const {
    if (parent == nullptr || index < 0) return nullptr;
    int seen = 0;
    for (std::size_t c : nodeOf(parent)->children) {
        if (!name.empty() && nodes_[c].name != name) continue;
        if (seen++ == index) return handleOf(c);
    }
    return nullptr;
}

int bv_XmlQuickDocument::countChildren(bv_XmlElement* parent, const std::string& name) const {
    if (parent == nullptr) return -1;
    int count = 0;
    for (std::size_t c : nodeOf(parent)->children)
        if (name.empty() || nodes_[c].name == name) ++count;
    return count;
}

bv_XmlElement* bv_XmlQuickDocument::nextSibling(bv_XmlElement* element, const std::string& name) const {
    if (element == nullptr) return nullptr;
    const Node* node = nodeOf(element);
    if (node->parent == kNoParent) return nullptr;
    const auto index = static_cast<std::size_t>(node - nodes_.data());
    const std::vector<std::size_t>& siblings = nodes_[node->parent].children;
    auto at = std::find(siblings.begin(), siblings.end(), index);
    for (++at; at != siblings.end(); ++at)
        if (name.empty() || nodes_[*at].name == name) return handleOf(*at);
    return nullptr;
}

std::string bv_XmlQuickDocument::text(bv_XmlElement* element) const {
    return element ? nodeOf(element)->text : std::string();
}

}  // namespace bvparser_internal
