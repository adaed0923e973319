#include "request/xml_results_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

// Runs the calls against a writer on a memory stream and returns the bytes written.
std::string capture(unsigned char kind, const std::function<void(xml_results_writer&)>& calls) {
    char* buf = nullptr;
    size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    {
        xml_results_writer w(kind, f);
        calls(w);
    }
    std::fclose(f);
    std::string out(buf, len);
    std::free(buf);
    return out;
}

const char* kTaxRoot =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
    "<bvtx:bv_taxfetch_out xmlns:bvtx=\"http://www.tarvex.example/xmlns/schema/bvtaxfetch_1\"\n"
    "                    majorVersion=\"1\" minorVersion=\"0\"\n"
    "                    xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
    "                    xsi:schemaLocation=\"http://www.tarvex.example/xmlns/schema/bvtaxfetch_1 "
    "bvtaxfetch_1.xsd\">\n";

const char* kSeqRoot =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
    "<bvsq:bv_seqfetch_out xmlns:bvsq=\"http://www.tarvex.example/xmlns/schema/bvseqfetch_1\"\n"
    "                    majorVersion=\"1\" minorVersion=\"0\"\n"
    "                    xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
    "                    xsi:schemaLocation=\"http://www.tarvex.example/xmlns/schema/bvseqfetch_1 "
    "bvseqfetch_1.xsd\">\n";

}  // namespace

TEST(XmlResultsWriter, TaxonomyDocumentNestsByDepth) {
    int depthAfterEntry = -1;
    std::string out = capture(1, [&](xml_results_writer& w) {
        w.startDocument();
        w.addMessage(false, 461, "Accession <x> not found", "accession", "P1&2", "", 0);
        w.endMessageList(false);
        w.startResults(-14);
        w.startDbEntry(true, "SwissProt", "P12345");
        w.startTitle();
        w.writeTitleLine(true, "first \"title\"");
        w.writeTitleLine(false, "second's");
        w.endTitle();
        w.startAllAccessions();
        w.startAccession("Q1");
        w.startTaxonomy("SwissProt", 9606, "Homo sapiens", 1);
        w.startCommonNames();
        w.writeSynonym("human");
        w.endCommonNames();
        w.startTree();
        w.writeNode(1, "Homo");
        w.endTree();
        w.endTaxonomy();
        w.endAccession();
        w.endAllAccessions();
        w.endDbEntry();
        depthAfterEntry = w.depth();
        w.startTaxFromId(false);
        w.endTaxFromId();
        w.endResults();
        w.addMessage(true, 0, "", "", "", "", 0);
        w.addMessage(true, 400, "Some warning", "", "", "taxid", 7);
        w.endMessageList(true);
        w.endDocument();
    });
    EXPECT_EQ(depthAfterEntry, 1);
    std::string expected = std::string(kTaxRoot) +
        "  <bvtx:all_errors>\n"
        "    <bvtx:error code=\"461\">\n"
        "      <bvtx:err_description>Accession &lt;x&gt; not found</bvtx:err_description>\n"
        "      <bvtx:err_param name=\"accession\">P1&amp;2</bvtx:err_param>\n"
        "    </bvtx:error>\n"
        "  </bvtx:all_errors>\n"
        "  <bvtx:results jobid=\"-14\">\n"
        "    <bvtx:db_entry warnings=\"yes\">\n"
        "      <bvtx:db>SwissProt</bvtx:db>\n"
        "      <bvtx:accession_str>P12345</bvtx:accession_str>\n"
        "      <bvtx:title>first &quot;title&quot;\n"
        "second&apos;s</bvtx:title>\n"
        "      <bvtx:all_accessions>\n"
        "        <bvtx:accession>\n"
        "          <bvtx:accession_str>Q1</bvtx:accession_str>\n"
        "          <bvtx:taxonomy>\n"
        "            <bvtx:db>SwissProt</bvtx:db>\n"
        "            <bvtx:taxonomy_id>9606</bvtx:taxonomy_id>\n"
        "            <bvtx:scientific_name>Homo sapiens</bvtx:scientific_name>\n"
        "            <bvtx:translation_table_id>1</bvtx:translation_table_id>\n"
        "            <bvtx:common_names>\n"
        "              <bvtx:synonym>human</bvtx:synonym>\n"
        "            </bvtx:common_names>\n"
        "            <bvtx:tree>\n"
        "              <bvtx:node level=\"1\">Homo</bvtx:node>\n"
        "            </bvtx:tree>\n"
        "          </bvtx:taxonomy>\n"
        "        </bvtx:accession>\n"
        "      </bvtx:all_accessions>\n"
        "    </bvtx:db_entry>\n"
        "    <bvtx:tax_from_id>\n"
        "    </bvtx:tax_from_id>\n"
        "  </bvtx:results>\n"
        "  <bvtx:all_warnings>\n"
        "    <bvtx:error code=\"400\">\n"
        "      <bvtx:err_description>Some warning</bvtx:err_description>\n"
        "      <bvtx:err_param name=\"taxid\">7</bvtx:err_param>\n"
        "    </bvtx:error>\n"
        "  </bvtx:all_warnings>\n"
        "</bvtx:bv_taxfetch_out>\n";
    EXPECT_EQ(out, expected);
}

TEST(XmlResultsWriter, SequenceDocumentUsesFixedIndentation) {
    std::string out = capture(0, [](xml_results_writer& w) {
        w.startDocument();
        w.addMessage(false, 461, "Not found", "accession", "X9", "frame", 2);
        w.endMessageList(false);
        w.startAllProteins(17);
        w.startAllProteins(18);
        w.startProtein(true, "P1", "db<1>", 3);
        w.writeProtTitle("P1 a 'protein'");
        w.writeProtTitle(">P1 already marked");
        w.writeProtTitle("");
        w.writeProtLen(120);
        w.writeProtPi(6.045);
        w.writeProtSequence("MK&");
        w.writeProtReference("ref");
        w.endProtein();
        w.startProtein(false, "P2", "db", -1);
        w.endProtein();
        w.endAllProteins();
        w.endAllProteins();
        w.endMessageList(true);
        w.endDocument();
    });
    std::string expected = std::string(kSeqRoot) +
        "  <bvsq:all_errors>\n"
        "    <bvsq:error code=\"461\">\n"
        "      <bvsq:err_description>Not found</bvsq:err_description>\n"
        "      <bvsq:err_param name=\"accession\">X9</bvsq:err_param>\n"
        "      <bvsq:err_param name=\"frame\">2</bvsq:err_param>\n"
        "    </bvsq:error>\n"
        "  </bvsq:all_errors>\n"
        "  <bvsq:all_proteins jobid=\"17\">\n"
        "    <bvsq:protein warnings=\"yes\">\n"
        "      <bvsq:accession>P1</bvsq:accession>\n"
        "      <bvsq:db>db&lt;1&gt;</bvsq:db>\n"
        "      <bvsq:frame>3</bvsq:frame>\n"
        "      <bvsq:prot_title>&gt;P1 a &apos;protein&apos;</bvsq:prot_title>\n"
        "      <bvsq:prot_title>&gt;P1 already marked</bvsq:prot_title>\n"
        "      <bvsq:prot_len>120</bvsq:prot_len>\n"
        "      <bvsq:prot_pi>6.04</bvsq:prot_pi>\n"
        "      <bvsq:prot_sequence>MK&amp;</bvsq:prot_sequence>\n"
        "      <bvsq:prot_reference>ref</bvsq:prot_reference>\n"
        "    </bvsq:protein>\n"
        "    <bvsq:protein>\n"
        "      <bvsq:accession>P2</bvsq:accession>\n"
        "      <bvsq:db>db</bvsq:db>\n"
        "    </bvsq:protein>\n"
        "  </bvsq:all_proteins>\n"
        "</bvsq:bv_seqfetch_out>\n";
    EXPECT_EQ(out, expected);
}

TEST(XmlResultsWriter, ResultsOpenAndCloseAtMostOnce) {
    EXPECT_EQ(capture(1, [](xml_results_writer& w) { w.endResults(); }), "");
    EXPECT_EQ(capture(1, [](xml_results_writer& w) {
                  w.startResults(5);
                  w.startResults(6);
                  w.endResults();
                  w.endResults();
              }),
              "  <bvtx:results jobid=\"5\">\n  </bvtx:results>\n");
    // The sequence kind writes the results element without indentation.
    EXPECT_EQ(capture(0, [](xml_results_writer& w) {
                  w.startResults(-13);
                  w.endResults();
              }),
              "<bvsq:results jobid=\"-13\">\n</bvsq:results>\n");
}

TEST(XmlResultsWriter, EscapingPassesUtf8AndReadsOtherBytesAsLatin1) {
    struct Case {
        const char* what;
        std::string in, out;
    } cases[] = {
        {"escapes", "a<b>&\"'", "a&lt;b&gt;&amp;&quot;&apos;"},
        {"C0 bytes dropped", std::string("x\0y\x01z\x1f", 6), "xyz"},
        {"TAB CR LF kept", "tab\tcr\rlf\n", "tab\tcr\rlf\n"},
        {"DEL kept", "a\x7f", "a\x7f"},
        {"2-byte", "caf\xc3\xa9", "caf\xc3\xa9"},
        {"3-byte", "\xe2\x82\xac 5", "\xe2\x82\xac 5"},
        {"4-byte", "\xf0\x9f\x98\x80!", "\xf0\x9f\x98\x80!"},
        {"highest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"Latin-1 e acute", "caf\xe9", "caf\xc3\xa9"},
        {"Latin-1 y diaeresis", "P\xffX", "P\xc3\xbfX"},
        {"C1 byte", "\x85", "\xc2\x85"},
        {"overlong 2-byte slash", "\xc0\xaf", "\xc3\x80\xc2\xaf"},
        {"overlong 3-byte", "\xe0\x80\xaf", "\xc3\xa0\xc2\x80\xc2\xaf"},
        {"overlong 4-byte", "\xf0\x80\x80\xaf", "\xc3\xb0\xc2\x80\xc2\x80\xc2\xaf"},
        {"truncated at end", "ab\xe2\x82", "ab\xc3\xa2\xc2\x82"},
        {"truncated before ASCII", "\xc3<", "\xc3\x83&lt;"},
        {"surrogate", "\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},
        {"U+FFFE not an XML character", "\xef\xbf\xbe", "\xc3\xaf\xc2\xbf\xc2\xbe"},
        {"lone continuation bytes", "\x80\xbf", "\xc2\x80\xc2\xbf"},
        {"valid after invalid", "\xe9\xc3\xa9", "\xc3\xa9\xc3\xa9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(capture(0, [&](xml_results_writer& w) { w.writeEscaped(c.in); }), c.out) << c.what;
    }
}
