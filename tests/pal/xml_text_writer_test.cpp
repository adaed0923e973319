#include "pal/xml_text_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <streambuf>

#include "pal/exceptions.h"

using NARROW_CHAR_PAL::AssertFailure;
using NARROW_CHAR_PAL::Writer;

namespace {

TEST(XmlTextWriter, NestedDocumentLayout) {
    std::ostringstream out;
    Writer w(out);
    w.startElement("a");
    w.startElement("b");
    w.text("x");
    w.endElement();
    w.endElement();
    EXPECT_EQ(out.str(), "<a>\n  <b>x</b>\n</a>\n");
    EXPECT_EQ(w.state(), 1);
}

TEST(XmlTextWriter, EmptyElementsAttributesAndEscaping) {
    std::ostringstream out;
    Writer w(out);
    w.startElement(std::string("root"));
    w.attribute("q", "say \"<hi>\" & go");
    w.startElement("empty");
    w.attribute(std::string("n"), "1");
    w.endElement();
    w.element("t", "a \"quoted\" <b> & c");
    w.endElement();
    EXPECT_EQ(out.str(),
              "<root q=\"say &quot;&lt;hi&gt;&quot; &amp; go\">\n"
              "  <empty n=\"1\"/>\n"
              "  <t>a \"quoted\" &lt;b&gt; &amp; c</t>\n"
              "</root>\n");
}

TEST(XmlTextWriter, TextAfterChildGoesOnItsOwnLine) {
    std::ostringstream out;
    Writer w(out, 4096, 1, '\t');
    w.startElement("a");
    w.text("lead");
    w.element("b", "x");
    w.text("tail");
    w.endElement();
    EXPECT_EQ(out.str(), "<a>lead\n\t<b>x</b>\n\ttail\n</a>\n");
}

TEST(XmlTextWriter, BufferReachesSinkOnlyWhenDocumentCompletes) {
    std::ostringstream out;
    Writer w(out, 1 << 20);
    w.startElement("a");
    for (int i = 0; i < 100; ++i) w.element("b", "value");
    EXPECT_EQ(out.str(), "");
    w.endElement();
    EXPECT_EQ(out.str().size(), 4u + 100u * 15u + 5u);
}

TEST(XmlTextWriter, SmallThresholdFlushesAfterEachEndTag) {
    std::ostringstream out;
    Writer w(out, 0);
    w.startElement("a");
    w.element("b", "1");
    EXPECT_EQ(out.str(), "<a>\n  <b>1</b>\n");
    w.flush(true);
    w.close();
    EXPECT_EQ(out.str(), "<a>\n  <b>1</b>\n");
}

// A stream whose every write fails, and which throws on failure.
struct FailingBuf : std::streambuf {
    int_type overflow(int_type) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(XmlTextWriter, CloseWritesUnfinishedBufferAndSwallowsSinkFailure) {
    std::ostringstream out;
    {
        Writer w(out);
        w.startElement("a");
        w.text("x");
    }
    EXPECT_EQ(out.str(), "<a>x");

    FailingBuf buf;
    std::ostream bad(&buf);
    bad.exceptions(std::ios::badbit);
    Writer w(bad, 1 << 20);
    w.startElement("a");
    EXPECT_THROW(w.flush(true), std::ios_base::failure);
    bad.clear();
    w.startElement("b");
    EXPECT_NO_THROW(w.close());
}

TEST(XmlTextWriter, CallsOutOfOrderThrowWithTheirPositions) {
    struct Case {
        const char* what;
        std::function<void(Writer&)> setup;
        std::function<void(Writer&)> call;
        const char* text;
        int line;
    };
    auto none = [](Writer&) {};
    auto complete = [](Writer& w) { w.startElement("a"); w.endElement(); };
    auto inContent = [](Writer& w) { w.startElement("a"); w.closeStartTag(); };
    const Case cases[] = {
        {"null tag", none, [](Writer& w) { w.startElement(static_cast<const char*>(nullptr)); },
         "tag_name is NULL", 62},
        {"second document", complete, [](Writer& w) { w.startElement("b"); },
         "Invalid xml state/transition", 76},
        {"end before start", none, [](Writer& w) { w.endElement(); }, "Invalid xml state/transition", 110},
        {"end after document", complete, [](Writer& w) { w.endElement(); },
         "Invalid xml state/transition", 110},
        {"null attribute", inContent, [](Writer& w) { w.attribute(static_cast<const char*>(nullptr), "v"); },
         "attr_nm is NULL", 252},
        {"attribute in content", inContent, [](Writer& w) { w.attribute("n", "v"); },
         "Invalid xml state/transition", 260},
        {"attribute before start", none, [](Writer& w) { w.attribute("n", "v"); },
         "Invalid xml state/transition", 260},
        {"text before start", none, [](Writer& w) { w.text("x"); }, "Invalid xml state/transition", 323},
        {"text after document", complete, [](Writer& w) { w.text("x"); },
         "Invalid xml state/transition", 323},
        {"close tag not open", inContent, [](Writer& w) { w.closeStartTag(); },
         "Invalid xml state/transition", 483},
        {"use after close", [](Writer& w) { w.startElement("a"); w.close(); },
         [](Writer& w) { w.endElement(); }, "Invalid xml state/transition", 110},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ostringstream out;
        Writer w(out, 1 << 20);
        c.setup(w);
        std::string before = out.str();
        int stateBefore = w.state();
        try {
            c.call(w);
            ADD_FAILURE() << "no throw";
        } catch (const AssertFailure& e) {
            EXPECT_EQ(e.message(), std::string("Assert Failure: ") + c.text);
            EXPECT_EQ(e.line, c.line);
            EXPECT_EQ(e.file, "writer");
        }
        EXPECT_EQ(w.state(), stateBefore);
        w.flush(true);
        EXPECT_EQ(out.str().substr(0, before.size()), before);
    }
}

}  // namespace
