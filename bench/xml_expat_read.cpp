// The same reading as xml_quick_read, with libexpat (Debian's shared
// library, as a program linking it would load it): the whole file read
// through one descriptor, parsed, and every element kept with its name and
// text, as the quick reader keeps them. No schema check: that part of the
// quick reader's work is left out here.
#include <expat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Node {
    std::string name;
    std::string text;
    std::size_t parent;
};

struct Tree {
    std::vector<Node> nodes;
    std::vector<std::size_t> open;
};

void onStart(void* data, const XML_Char* name, const XML_Char**) {
    Tree& tree = *static_cast<Tree*>(data);
    tree.nodes.push_back({name, std::string(), tree.open.empty() ? static_cast<std::size_t>(-1) : tree.open.back()});
    tree.open.push_back(tree.nodes.size() - 1);
}

void onEnd(void* data, const XML_Char*) {
    Tree& tree = *static_cast<Tree*>(data);
    const std::size_t done = tree.open.back();
    tree.open.pop_back();
    // A parent's text holds every text below it, as the quick reader's does.
    if (!tree.open.empty()) tree.nodes[tree.open.back()].text += tree.nodes[done].text;
}

void onText(void* data, const XML_Char* text, int length) {
    Tree& tree = *static_cast<Tree*>(data);
    if (!tree.open.empty()) tree.nodes[tree.open.back()].text.append(text, static_cast<std::size_t>(length));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: xml_expat_read <file>\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);

    Tree tree;
    XML_Parser parser = XML_ParserCreateNS(nullptr, ' ');
    XML_SetUserData(parser, &tree);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetCharacterDataHandler(parser, onText);
    const bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    if (!ok) {
        std::fprintf(stderr, "%s: not well-formed\n", argv[1]);
        return 1;
    }
    std::printf("%zu elements\n", tree.nodes.size());
    return 0;
}
