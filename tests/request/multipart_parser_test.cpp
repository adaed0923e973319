#include "request/multipart_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/error_reporter.h"
#include "support/reporter_switches.h"

using brenvik::CFileUploadStream;

namespace {

struct NoEvents : brenvik::CBaseUploadStreamEvents {
    int noData = 0;
    int mismatch = 0;
    void onNoData() override { ++noData; }
    void onDataStart(const char*, int, int64_t) override {}
    void onData(const char*, int, int64_t) override {}
    void onLengthMismatch(int64_t, int64_t) override { ++mismatch; }
};

// One POST parse of a body, as the request frame runs it, with the XML
// errors it added and the parameters it filled.
struct Parse {
    request_params params;
    std::string xml;
    bool boundaryFound = false;
    bool parsed = false;
    std::string boundary;

    Parse(int toolKind, const std::string& body, const char* contentType) : params(toolKind) {
        // Request mode: errors become XML only, nothing ends the process.
        tarvex_test::ReporterSwitches saved;
        errorReporter.setRepeatCounting(true);
        errorReporter.toPage = false;
        errorReporter.exitOnFatal = false;
        char* buf = nullptr;
        size_t len = 0;
        std::FILE* out = open_memstream(&buf, &len);
        {
            xml_results_writer writer(0, out);
            multipart_target target{toolKind, -13, params, writer};
            NoEvents events;
            CFileUploadStream stream(&events);
            std::FILE* in = fmemopen(const_cast<char*>(body.data()), body.size(), "rb");
            if (body.empty()) in = std::fopen("/dev/null", "rb");
            stream.open(in, true);
            boundaryFound = findBoundary(stream, boundary, contentType, target);
            if (boundaryFound) parsed = parseParts(stream, boundary, target);
        }
        std::fclose(out);
        xml.assign(buf, len);
        std::free(buf);
    }

    std::vector<std::string> accessions() const {
        std::vector<std::string> a;
        for (const char* p : params.accessions) a.emplace_back(p);
        return a;
    }
};

std::string part(const std::string& name, const std::string& value, const std::string& b = "XyZ") {
    return "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}
std::string closing(const std::string& b = "XyZ") { return "--" + b + "--\r\n"; }
const char* kType = "multipart/form-data; boundary=XyZ";

std::string errorElement(int code, const std::string& description) {
    return "    <bvsq:error code=\"" + std::to_string(code) + "\">\n      <bvsq:err_description>" + description +
           "</bvsq:err_description>\n    </bvsq:error>\n";
}

}  // namespace

TEST(MultipartParser, ReadsTheFieldsOfBothTools) {
    Parse tax(1,
              part("db", "SwissProt") + part("SESSIONID", "'abc123'") + part("ShowTitle", "1") +
                  part("SHOWSYNONYMS", "off") + part("SHOWTAXTREE", "no") + part("DBX", "ignored") +
                  part("ACCESSION", "\"P1\",\"P2\"") + part("TAXID", "9606, 10090") + part("ACCESSION", "\"\"") +
                  closing() + part("DB", "after the end"),
              kType);
    EXPECT_TRUE(tax.parsed);
    EXPECT_EQ(tax.xml, "");
    EXPECT_EQ(tax.params.dbName, "SwissProt");
    EXPECT_EQ(tax.params.sessionId, "abc123");
    EXPECT_TRUE(tax.params.showTitle);
    EXPECT_FALSE(tax.params.showSynonyms);
    EXPECT_TRUE(tax.params.showTaxTree);
    EXPECT_EQ(tax.accessions(), (std::vector<std::string>{"P1", "P2", ""}));
    EXPECT_EQ(tax.params.taxIds, (std::vector<int32_t>{9606, 10090}));
    EXPECT_EQ(tax.params.itemKinds, (std::vector<bool>{true, true, false, false, true}));

    Parse seq(0,
              part("DB", "NCBInt") + part("SHOWPI", "") + part("SHOWLEN", "OFF") + part("SHOWSEQUENCE", "yes") +
                  part("SHOWREFERENCE", "\"true\"") + part("TAXID", "123") +
                  part("ACCESSION", "\"A1\":3 \"A2\"\r\n\"A3\":0") + closing(),
              kType);
    EXPECT_TRUE(seq.parsed);
    EXPECT_EQ(seq.xml, "");
    EXPECT_FALSE(seq.params.showPI);
    EXPECT_FALSE(seq.params.showLen);
    EXPECT_TRUE(seq.params.showSequence);
    EXPECT_TRUE(seq.params.showReference);
    EXPECT_TRUE(seq.params.taxIds.empty());  // not a field of the sequence tool
    EXPECT_EQ(seq.accessions(), (std::vector<std::string>{"A1", "A2", "A3"}));
    EXPECT_EQ(seq.params.frames, (std::vector<int16_t>{3, 0, 0}));
}

TEST(MultipartParser, BoundaryFromTheContentType) {
    const std::string longType = "multipart/form-data; boundary=" + std::string(254, 'b');
    struct Case {
        const char* contentType;
        std::string body;
        bool found;
        std::string boundary;
        std::string xml;
    } cases[] = {
        {"multipart/form-data; boundary=old; boundary=XyZ", part("DB", "d") + closing(), true, "--XyZ", ""},
        {"multipart/form-data; boundary=\"XyZ\"", part("DB", "d") + closing(), true, "--XyZ", ""},
        {"multipart/form-data; boundary=XyZ   ", part("DB", "d") + closing(), true, "--XyZ", ""},
        {"multipart/form-data; boundary=XyZ; charset=utf-8", part("DB", "d") + closing(), true, "--XyZ", ""},
        {nullptr, part("DB", "d") + closing(), true, "--XyZ", ""},
        {kType, "\xEF\xBB\xBF" + part("DB", "d") + closing(), true, "--XyZ", ""},
        {"multipart/form-data; boundary=\"", part("DB", "d"), false, "",
         "  <bvsq:all_errors>\n" + errorElement(55, "Cannot find boundary string")},
        {longType.c_str(), part("DB", "d"), false, "",
         "  <bvsq:all_errors>\n" + errorElement(55, "Cannot find boundary string")},
        {"multipart/form-data; boundary=Other", part("DB", "d") + closing(), true, "--XyZ",
         "  <bvsq:all_errors>\n" + errorElement(56, "First line was not a boundary")},
        // A preamble before the named boundary is skipped; 56 stays as a note.
        {kType, "\r\n" + part("DB", "d") + closing(), true, "--XyZ",
         "  <bvsq:all_errors>\n" + errorElement(56, "First line was not a boundary")},
        {kType, "This is a preamble.\r\n--XyZzy\r\n\r\n" + part("DB", "d") + closing(), true, "--XyZ",
         "  <bvsq:all_errors>\n" + errorElement(56, "First line was not a boundary")},
        {nullptr, "--XyZ without a line end", false, "",
         "  <bvsq:all_errors>\n" + errorElement(55, "cannot find a boundary")},
        {nullptr, std::string(300, '-') + "\r\n", false, "",
         "  <bvsq:all_errors>\n" + errorElement(55, "cannot find a boundary")},
    };
    for (const auto& c : cases) {
        Parse p(0, c.body, c.contentType);
        SCOPED_TRACE(c.contentType ? c.contentType : "(no content type)");
        EXPECT_EQ(p.boundaryFound, c.found);
        EXPECT_EQ(p.xml, c.xml);
        if (c.found) {
            EXPECT_EQ(p.boundary, c.boundary);
            EXPECT_EQ(p.params.dbName, "d");
        }
    }
}

TEST(MultipartParser, RefusedAccessionsEndTheParse) {
    const std::string seqPrefix = "Invalid accession format for bv-seqfetch.exe, ";
    struct Case {
        int tool;
        std::string value;
        int code;
        std::string reason;
        std::vector<std::string> kept;
    } cases[] = {
        {0, "P1", 458, "expecting double quote at start", {}},
        {0, "\"P1\",\"P2\":7", 458, "expecting double quote at end", {"P1"}},
        {0, "\"P1\"3", 458, "expecting colon for a frame", {}},
        {0, "\":3", 458, "expecting double quote at end", {}},
        {0, "\"", 458, "expecting double quote at end", {}},
        {0, "\"" + std::string(1022, 'a') + "\"", 458, "cannot be empty or too long", {}},
        {1, "\"P1", 466, "expecting double quote at end", {}},
        {1, "\"A\" x", 466, "expecting double quote at start", {"A"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.substr(0, 40));
        Parse p(c.tool, part("ACCESSION", c.value) + part("DB", "late") + closing(), kType);
        EXPECT_FALSE(p.parsed);
        EXPECT_EQ(p.accessions(), c.kept);
        EXPECT_EQ(p.params.dbName, "");
        const std::string prefix = c.tool ? "Invalid accession format for bv-taxfetch.exe, " : seqPrefix;
        EXPECT_NE(p.xml.find("<bvsq:err_description>" + prefix + c.reason + "</bvsq:err_description>"),
                  std::string::npos)
            << p.xml;
        EXPECT_NE(p.xml.find("code=\"" + std::to_string(c.code) + "\""), std::string::npos);
    }
    // The longest accession that fits is accepted.
    Parse ok(1, part("ACCESSION", "\"" + std::string(1021, 'a') + "\"") + closing(), kType);
    EXPECT_TRUE(ok.parsed);
    ASSERT_EQ(ok.accessions().size(), 1u);
}

TEST(MultipartParser, TaxonomyIdsSkipBadItemsAndStopOnEmptyLists) {
    Parse p(1, part("TAXID", "12, abc -5 99999999999 7") + closing(), kType);
    EXPECT_TRUE(p.parsed);
    EXPECT_EQ(p.params.taxIds, (std::vector<int32_t>{12, 7}));
    EXPECT_NE(p.xml.find("Invalid taxID format for bv-taxfetch.exe"), std::string::npos);
    EXPECT_NE(p.xml.find("Negative taxID -5 is not valid for bv-taxfetch.exe"), std::string::npos);

    Parse empty(1, part("TAXID", "") + part("DB", "late") + closing(), kType);
    EXPECT_FALSE(empty.parsed);
    EXPECT_EQ(empty.params.dbName, "");
    Parse tooLong(1, part("TAXID", std::string(63, '1')) + closing(), kType);
    EXPECT_FALSE(tooLong.parsed);
}

TEST(MultipartParser, CorruptBodiesNeverCrashOrLoop) {
    // A NUL inside a read field refuses the request.
    Parse nul(0, part("DB", std::string("ab\0cd", 5)) + closing(), kType);
    EXPECT_FALSE(nul.parsed);
    EXPECT_NE(nul.xml.find("code=\"259\""), std::string::npos);
    // An ignored field may hold anything.
    Parse ignored(0, part("FILE", std::string("\0\x01\xff", 3)) + part("DB", "d") + closing(), kType);
    EXPECT_TRUE(ignored.parsed);
    EXPECT_EQ(ignored.params.dbName, "d");
    // A value without a following boundary: binary or not.
    Parse binary(0, "--XyZ\r\nContent-Disposition: form-data; name=\"DB\"\r\n\r\n\x01\x02garbage", kType);
    EXPECT_FALSE(binary.parsed);
    EXPECT_NE(binary.xml.find("code=\"259\""), std::string::npos);
    Parse text(0, "--XyZ\r\nContent-Disposition: form-data; name=\"DB\"\r\n\r\nplain text", kType);
    EXPECT_FALSE(text.parsed);
    EXPECT_NE(text.xml.find("code=\"72\""), std::string::npos);
    // A part without a name in its headers is skipped; the name of a later part is not borrowed.
    Parse unnamed(0, "--XyZ\r\nContent-Type: text/plain\r\n\r\nname=\"DB\"\r\n" + part("DB", "real") + closing(), kType);
    EXPECT_TRUE(unnamed.parsed);
    EXPECT_EQ(unnamed.params.dbName, "real");
    // Megabytes of bare line ends end quickly: no value ends in a boundary.
    Parse lines(0, "--XyZ\r\n" + std::string(4 << 20, '\n'), kType);
    EXPECT_FALSE(lines.parsed);
    EXPECT_NE(lines.xml.find("code=\"72\""), std::string::npos);
    // Values over 255 bytes are cut.
    Parse longValue(0, part("DB", std::string(300, 'd')) + closing(), kType);
    EXPECT_EQ(longValue.params.dbName, std::string(255, 'd'));
}

TEST(MultipartParser, ItemLimitIsTooLargeRequest) {
    std::string many;
    for (int i = 0; i < 100001; ++i) many += std::to_string(i % 1000 + 1) + ",";
    Parse p(1, part("TAXID", many) + closing(), kType);
    EXPECT_FALSE(p.parsed);
    EXPECT_EQ(p.params.taxIds.size(), 100000u);
    EXPECT_NE(p.xml.find("Too large POST-request"), std::string::npos);

    // The sequence tool's limits, at their edges: 100,000 items, and
    // 10,423 accessions of 1,000 characters (1,006 bytes each).
    const std::string tooLarge = "  <bvsq:all_errors>\n" + errorElement(459, "Too large POST-request");
    struct Case {
        int items;
        size_t length;
        bool parsed;
    } cases[] = {{100000, 1, true}, {100001, 1, false}, {10423, 1000, true}, {10424, 1000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.items) + " x " + std::to_string(c.length));
        const std::string item = "\"" + std::string(c.length, 'a') + "\"\n";
        std::string value;
        value.reserve(item.size() * static_cast<size_t>(c.items));
        for (int i = 0; i < c.items; ++i) value += item;
        Parse seq(0, part("ACCESSION", value) + closing(), kType);
        EXPECT_EQ(seq.parsed, c.parsed);
        EXPECT_EQ(seq.params.accessions.size(), static_cast<size_t>(c.parsed ? c.items : c.items - 1));
        EXPECT_EQ(seq.xml, c.parsed ? "" : tooLarge);
    }
}

TEST(UploadStream, EndsAndShortBodies) {
    NoEvents events;
    {
        CFileUploadStream s(&events);
        s.open(std::fopen("/dev/null", "rb"), true);
        EXPECT_TRUE(s.atEnd());
        EXPECT_EQ(events.noData, 1);
    }
    const std::string body = "line one\r\nline two\n\rline three";
    {
        NoEvents e;
        CFileUploadStream s(&e);
        s.setExpectedLength(100);
        s.open(fmemopen(const_cast<char*>(body.data()), body.size(), "rb"), true);
        EXPECT_EQ(e.mismatch, 1);
        EXPECT_TRUE(s.skipLine());
        EXPECT_EQ(std::string(s.current(), 8), "line two");
        EXPECT_TRUE(s.skipLine());
        EXPECT_EQ(std::string(s.current()), "line three");
        EXPECT_FALSE(s.skipLine());
        EXPECT_TRUE(s.atEnd());
    }
    {
        // Bodies larger than the window are read on as the window drains.
        NoEvents e;
        std::string big(CFileUploadStream::kWindowSize + 100000, 'x');
        big += "\nEND";
        CFileUploadStream s(&e);
        s.open(fmemopen(big.data(), big.size(), "rb"), true);
        EXPECT_TRUE(s.skipLine());
        EXPECT_EQ(std::string(s.current()), "END");
        EXPECT_EQ(e.noData + e.mismatch, 0);
    }
}

TEST(UploadStream, DataNotificationsAreOffUnlessSwitchedOn) {
    // Records every block the refill announces, with the bytes it points at.
    struct Recorder : NoEvents {
        struct Block {
            bool start;
            std::string bytes;
            int64_t total;
        };
        std::vector<Block> blocks;
        void onDataStart(const char* p, int n, int64_t total) override { blocks.push_back({true, {p, size_t(n)}, total}); }
        void onData(const char* p, int n, int64_t total) override { blocks.push_back({false, {p, size_t(n)}, total}); }
    };
    std::string body;
    for (int i = 0; body.size() < 200000; ++i) body += std::to_string(i) + ",";
    const struct {
        bool start;
        bool data;
    } switches[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (const auto& sw : switches) {
        SCOPED_TRACE(::testing::Message() << "start " << sw.start << ", data " << sw.data);
        Recorder r;
        CFileUploadStream s(&r, 65536);
        s.setNotifyDataStart(sw.start);
        s.setNotifyData(sw.data);
        s.open(fmemopen(body.data(), body.size(), "rb"), true);
        std::string seen(s.current(), static_cast<size_t>(s.unread()));
        while (s.skip(s.unread())) seen.append(s.current(), static_cast<size_t>(s.unread()));
        EXPECT_EQ(seen, body);
        // Each block is the body's bytes that end at its total; only the
        // first block is the start; with both on, the blocks tile the body.
        int starts = 0, later = 0;
        size_t tiled = 0;
        for (const auto& b : r.blocks) {
            ASSERT_LE(b.bytes.size(), static_cast<size_t>(b.total));
            EXPECT_EQ(b.bytes, body.substr(static_cast<size_t>(b.total) - b.bytes.size(), b.bytes.size()));
            EXPECT_EQ(b.start, static_cast<size_t>(b.total) == b.bytes.size());
            (b.start ? starts : later) += 1;
            tiled += b.bytes.size();
        }
        EXPECT_EQ(starts, sw.start ? 1 : 0);
        EXPECT_EQ(later > 0, sw.data);
        if (sw.start && sw.data) {
            EXPECT_EQ(tiled, body.size());
        }
        if (!sw.start && !sw.data) {
            EXPECT_TRUE(r.blocks.empty());
        }
    }
}
