#pragma once
// Writer of the XML documents that both tools return for a CGI POST request.
// Each call composes its text in one reused buffer and hands it to the
// stream (standard output by default) in one piece before it returns, so
// the stream holds everything written so far; the writer never flushes the
// stream: its owner does, once at the end. Single-threaded; the stream
// belongs to the caller.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class xml_results_writer {
public:
    // kind non-zero: the taxonomy tool's document (indentation follows the
    // nesting depth, prefix "bvtx"); zero: the sequence tool's (fixed
    // indentation, prefix "bvsq").
    explicit xml_results_writer(unsigned char kind, std::FILE* out = stdout);

    void startDocument();
    void endDocument();

    void addMessage(bool warning, int code, std::string_view description, std::string_view paramName,
                    std::string_view paramValue, std::string_view intParamName, int intValue);
    void startError(int code, std::string_view description);
    void writeErrParam(std::string_view name, std::string_view value);
    void writeErrParamInt(std::string_view name, int value);
    void endError();
    void endMessageList(bool warning);

    void startResults(int jobId);
    void endResults();
    void startDbEntry(bool warnings, std::string_view database, std::string_view accession);
    void endDbEntry();
    void startTitle();
    void writeTitleLine(bool first, std::string_view text);
    void endTitle();
    void startAllAccessions();
    void endAllAccessions();
    void startAccession(std::string_view accession);
    void endAccession();
    void startTaxonomy(std::string_view database, int taxonomyId, std::string_view scientificName,
                       int translationTableId);
    void endTaxonomy();
    void startCommonNames();
    void endCommonNames();
    void writeSynonym(std::string_view name);
    void startTree();
    void endTree();
    void writeNode(int level, std::string_view name);
    void startTaxFromId(bool warnings);
    void endTaxFromId();

    void startAllProteins(int jobId);
    void endAllProteins();
    void startProtein(bool warnings, std::string_view accession, std::string_view database, int frame);
    void endProtein();
    void writeProtTitle(std::string_view text);
    void writeProtLen(int length);
    void writeProtPi(double value);
    void writeProtSequence(std::string_view text);
    void writeProtReference(std::string_view text);

    // The text with the five XML escapes; C0 control bytes other than TAB,
    // LF and CR are dropped, since they make the document unreadable; valid
    // UTF-8 passes unchanged and every other byte is read as Latin-1.
    void writeEscaped(std::string_view text);

    int depth() const { return depth_; }

private:
    // Hands the composed text to the stream when the outermost public call
    // returns (public calls nest: addMessage writes an error).
    class Emit {
    public:
        explicit Emit(xml_results_writer& w) : w_(w) { ++w_.nesting_; }
        ~Emit() {
            if (--w_.nesting_ == 0) w_.emit();
        }
        Emit(const Emit&) = delete;
        Emit& operator=(const Emit&) = delete;

    private:
        xml_results_writer& w_;
    };

    void emit();
    void raw(std::string_view text) { pending_.append(text); }
    void escapeInto(std::string_view text);
    void indent(int levels);
    void spaces(int count);
    void lineEnd();
    void startTag(std::string_view name, std::string_view attrs = {});
    void endTag(std::string_view name);
    // One-line element (start tag, content, end tag, line end); the caller indents.
    void textElement(std::string_view name, std::string_view content, bool escape = true,
                     std::string_view attrs = {});
    // A one-line child of the element at the current depth (taxonomy kind).
    void child(std::string_view name, std::string_view content, bool escape = true, std::string_view attrs = {});
    // A one-line child of a protein: 6 spaces in the sequence kind.
    void proteinChild(std::string_view name, std::string_view content, bool escape = true);
    // Indentation for the fixed-indentation elements of the sequence kind:
    // in the taxonomy kind they follow the depth instead.
    void fixedOrDepth(int seqSpaces, int depthLevels);
    // Opening / closing line of an element with children in the taxonomy kind.
    void openLine(std::string_view name, std::string_view attrs = {});
    void closeLine(std::string_view name);
    std::string namespaceUri() const;

    unsigned char kind_;
    std::string prefix_;
    bool errorsOpen_ = false;
    bool warningsOpen_ = false;
    bool proteinsOpen_ = false;
    int depth_ = 0;
    bool resultsOpen_ = false;
    std::FILE* out_;
    std::string pending_;  // composed, not yet handed to the stream
    int nesting_ = 0;
};
