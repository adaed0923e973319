#include "request/post_request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "common/error_reporter.h"
#include "config/global_options.h"
#include "support/fixture_install.h"
#include "support/reporter_switches.h"
#include "support/scoped_environment.h"
#include "support/session_files.h"

using namespace tarvex_test;

namespace {

const char* kConfig =
    "Databases\nend\nPARSE\nend\nWWW\nend\nCluster\nend\nUniGene\nend\n"
    "Options\nErrorLogFile ../logs/errorlog.txt\nend\nCron\nend\n";

using Environment = tarvex_test::ScopedEnvironment;

// A tool whose work is only to write its results element, as both tools do.
class FakeTool : public post_request {
public:
    FakeTool(int kind, std::FILE* out, std::FILE* in) : post_request(kind ? -14 : -13, kind, out, in) {}
    bool called = false;
    bool sawOk = false;
    request_params& parameters() { return params; }

protected:
    void process(bool ok, brenvik::bv_session&) override {
        called = true;
        sawOk = ok;
        writer.endMessageList(false);
        if (toolKind) {
            writer.startResults(jobNumber);
            writer.endResults();
        } else {
            writer.startAllProteins(jobNumber);
            writer.endAllProteins();
        }
    }
};

struct PostRun {
    std::string output;
    bool called = false;
    bool ok = false;
    std::string dbName;
    size_t accessions = 0;
};

PostRun runPost(FixtureInstall& install, int kind, const std::string& body, bool securityOn = false) {
    install.write("config/tarvex.dat", kConfig);
    SecurityOptionsSpec security;
    security.securityEnabled = securityOn ? "true" : "false";
    writeSecurityOptions(install.configDir(), security);
    WorkingFolder cgi(install.cgiDir());
    char* buf = nullptr;
    size_t len = 0;
    std::FILE* out = open_memstream(&buf, &len);
    std::FILE* in = fmemopen(const_cast<char*>(body.data()), body.size() ? body.size() : 1, "rb");
    PostRun r;
    {
        FakeTool tool(kind, out, in);
        EXPECT_EQ(tool.run(), 0);
        r.called = tool.called;
        r.ok = tool.sawOk;
        r.dbName = tool.parameters().dbName;
        r.accessions = tool.parameters().accessions.size();
    }
    std::fclose(in);
    std::fclose(out);
    r.output.assign(buf, len);
    std::free(buf);
    return r;
}

std::string part(const std::string& name, const std::string& value) {
    return "--B\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

const std::string kSeqHead =
    "Content-type: text/xml\n\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
    "<bvsq:bv_seqfetch_out xmlns:bvsq=\"http://www.tarvex.example/xmlns/schema/bvseqfetch_1\"\n"
    "                    majorVersion=\"1\" minorVersion=\"0\"\n"
    "                    xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
    "                    xsi:schemaLocation=\"http://www.tarvex.example/xmlns/schema/bvseqfetch_1 "
    "bvseqfetch_1.xsd\">\n";

std::string seqError(int code, const std::string& description, const std::string& param = "",
                     const std::string& value = "") {
    std::string s = "    <bvsq:error code=\"" + std::to_string(code) + "\">\n      <bvsq:err_description>" +
                    description + "</bvsq:err_description>\n";
    if (!param.empty()) s += "      <bvsq:err_param name=\"" + param + "\">" + value + "</bvsq:err_param>\n";
    return s + "    </bvsq:error>\n";
}

const std::string kSeqTail =
    "  <bvsq:all_proteins jobid=\"-13\">\n  </bvsq:all_proteins>\n</bvsq:bv_seqfetch_out>\n";

}  // namespace

class PostRequestFrame : public ::testing::Test {
protected:
    void SetUp() override {
        env.set("CONTENT_TYPE", std::string("multipart/form-data; boundary=B"));
        env.set("CONTENT_LENGTH", std::nullopt);
        env.set("HTTP_COOKIE", std::nullopt);
        env.set("REMOTE_USER", std::nullopt);
        env.set("REMOTE_ADDR", std::string("127.0.0.1"));
    }
    // The frame publishes the Options it read as the process-wide ones.
    void TearDown() override { brenvik::resetGlobalOptions(); }
    // The frame switches the process-wide reporter to request mode.
    tarvex_test::ReporterSwitches switches;
    Environment env;
    FixtureInstall install{"post"};
};

TEST_F(PostRequestFrame, ZeroLengthMissingDatabaseAndAccessionsTogether) {
    env.set("CONTENT_LENGTH", std::string("0"));
    PostRun r = runPost(install, 0, part("DB", "db") + "--B--\r\n");
    EXPECT_TRUE(r.called);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.dbName, "");  // the body was not read
    EXPECT_EQ(r.output, kSeqHead + "  <bvsq:all_errors>\n" +
                            seqError(270, "A POST-request is submitted with zero content length") +
                            seqError(463, "&apos;db&apos; parameter is missing") +
                            seqError(464, "&apos;accession&apos; parameter is missing") + "  </bvsq:all_errors>\n" +
                            kSeqTail);
    // Text that is not a number reads as zero too.
    env.set("CONTENT_LENGTH", std::string("abc"));
    EXPECT_NE(runPost(install, 0, "").output.find("code=\"270\""), std::string::npos);
}

TEST_F(PostRequestFrame, TaxonomyToolNamesItsOwnEmptyRequest) {
    PostRun r = runPost(install, 1, part("DB", "db") + "--B--\r\n");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.output.find("<bvtx:err_description>POST-request to bv-taxfetch is empty</bvtx:err_description>"),
              std::string::npos);
    EXPECT_NE(r.output.find("<bvtx:results jobid=\"-14\">"), std::string::npos);
    const std::string tail = "</bvtx:bv_taxfetch_out>\n";
    EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail);
}

TEST_F(PostRequestFrame, InvalidConfigurationIsNotReadFurther) {
        // The server's status page in place of the configuration.
    install.write("config/tarvex.dat", "<BODY><H1>Tarvex search status page</H1>\n");
    WorkingFolder cgi(install.cgiDir());
    char* buf = nullptr;
    size_t len = 0;
    std::FILE* out = open_memstream(&buf, &len);
    const std::string body = part("DB", "db") + part("ACCESSION", "\"P1\"") + "--B--\r\n";
    std::FILE* in = fmemopen(const_cast<char*>(body.data()), body.size(), "rb");
    bool ok = true;
    {
        FakeTool tool(0, out, in);
        tool.run();
        ok = tool.sawOk;
        EXPECT_EQ(tool.parameters().dbName, "");
    }
    EXPECT_EQ(std::ftell(in), 0);
    std::fclose(in);
    std::fclose(out);
    const std::string output(buf, len);
    std::free(buf);
    EXPECT_FALSE(ok);
    EXPECT_NE(output.find("<bvsq:error code=\"403\">\n      <bvsq:err_description>Error while reading "
                          "tarvex.dat</bvsq:err_description>\n      <bvsq:err_param name=\"errstring\">"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find(kSeqTail), std::string::npos);
}

TEST_F(PostRequestFrame, ValidRequestReachesTheToolWithItsParameters) {
    PostRun r = runPost(install, 0, part("DB", "SwissProt") + part("ACCESSION", "\"P1\" \"P2\":0") + "--B--\r\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.dbName, "SwissProt");
    EXPECT_EQ(r.accessions, 2u);
    EXPECT_EQ(r.output, kSeqHead + kSeqTail);
}

TEST_F(PostRequestFrame, InvalidSessionIsRefusedWhenSecurityIsOn) {
    installSecuritySchema(install.configDir());
    PostRun r = runPost(install, 0, part("DB", "SwissProt") + part("SESSIONID", "nosuchsession") +
                                    part("ACCESSION", "\"P1\"") + "--B--\r\n",
                    true);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.output.find("<bvsq:error code=\"440\">\n      <bvsq:err_description>Invalid session or session "
                            "ID</bvsq:err_description>\n      <bvsq:err_param name=\"errstring\">"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(kSeqTail), std::string::npos);
}

namespace {

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

}  // namespace

// The remaining early failures: each gives a whole document that holds its
// error, one all_proteins element with the tool ID, and nothing else.
TEST_F(PostRequestFrame, EarlyFailuresAreWholeDocuments) {
    // A user who may search no database.
    installSecuritySchema(install.configDir());
    writeSessionFile(install.sessionsDir(), "carol", userSession(8));
    PostRun notPermitted = runPost(install, 0,
                                   part("DB", "SwissProt") + part("SESSIONID", "carol") +
                                       part("ACCESSION", "\"P1\"") + "--B--\r\n",
                                   true);
    EXPECT_TRUE(notPermitted.called);
    EXPECT_FALSE(notPermitted.ok);
    EXPECT_EQ(notPermitted.output, kSeqHead + "  <bvsq:all_errors>\n" +
                                       seqError(443, "Not allowed to search the database", "db", "SwissProt") +
                                       "  </bvsq:all_errors>\n" + kSeqTail);

    EXPECT_EQ(count(notPermitted.output, "<bvsq:all_proteins "), 1u);
    EXPECT_EQ(count(notPermitted.output, "</bvsq:bv_seqfetch_out>\n"), 1u);

    // A body that stops before its announced length; a length beyond the
    // 32-bit range shows as the largest kilobyte figure, never a wrapped one.
    const std::string body = part("DB", "SwissProt") + part("ACCESSION", "\"P1\"") + "--B--\r\n";
    const struct {
        std::string contentLength;
        const char* lengthKb;
    } shortCases[] = {{std::to_string(body.size() + 4096), "4"}, {"99999999999999999", "2147483647"}};
    for (const auto& c : shortCases) {
        SCOPED_TRACE(c.contentLength);
        env.set("CONTENT_LENGTH", c.contentLength);
        PostRun shortBody = runPost(install, 0, body);
        EXPECT_FALSE(shortBody.ok);
        EXPECT_EQ(shortBody.output,
                  kSeqHead + "  <bvsq:all_errors>\n    <bvsq:error code=\"54\">\n" +
                      "      <bvsq:err_description>Standard input stream error</bvsq:err_description>\n" +
                      "      <bvsq:err_param name=\"bytesread\">0</bvsq:err_param>\n" +
                      "      <bvsq:err_param name=\"lengthofdata\">" + c.lengthKb +
                      "</bvsq:err_param>\n    </bvsq:error>\n" + seqError(463, "&apos;db&apos; parameter is missing") +
                      seqError(464, "&apos;accession&apos; parameter is missing") + "  </bvsq:all_errors>\n" +
                      kSeqTail);
        EXPECT_EQ(count(shortBody.output, "<bvsq:all_proteins "), 1u);
        EXPECT_EQ(count(shortBody.output, "</bvsq:bv_seqfetch_out>\n"), 1u);
    }
}
