// The quick reader of the security options file: every file it takes is
// answered exactly as the XML module answers it (same elements, texts and
// messages), and every file outside its plain form is left to the module.
#include "security/bv_xmlquick.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bv_errs.h"
#include "security/bv_security_constants.h"
#include "security/bv_xmlhelper.h"
#include "support/session_files.h"
#include "support/temp_dir.h"

using bvparser_internal::bv_XmlElement;
using bvparser_internal::bv_XMLHelper;
using bvparser_internal::bv_XmlQuickDocument;

namespace {

const char* const kOptionNames[] = {
    "securityEnabled",   "sessionTimeout",         "defaultPasswordExpiryTime", "minimumPasswordLength",
    "useSessionCookies", "verifySessionIPAddress", "vostrelAppServerURL",       "vostrelDatabaseName",
    "vostrelOracleServerName", "logLevel",         "logFileName",               "noSuchOption",
};

// Everything a reader of the file can learn through the helper.
std::string answers(const std::string& path, bool createSchemaInfo) {
    brenvik::bv_errs errs;
    std::string out;
    {
        bv_XMLHelper helper(&errs, true, createSchemaInfo);
        out += "parsed=" + std::to_string(helper.parseFile(path, brenvik::securitySchemaLocation()));
        bv_XmlElement* root = helper.getRootElement();
        out += " root=" + std::to_string(root != nullptr);
        if (root != nullptr) {
            out += " rootChildren=" + std::to_string(helper.countChildElements(root, ""));
            for (const std::string prefix : {"bvs:", "x:"}) {
                bv_XmlElement* options = helper.getChildElement(root, prefix + "options", 0);
                if (options == nullptr) continue;
                out += "\n" + prefix + "options children=" + std::to_string(helper.countChildElements(options, "")) +
                       " text=[" + helper.getString(options) + "]";
                for (const char* name : kOptionNames) {
                    bv_XmlElement* e = helper.getChildElement(options, prefix + name, 0);
                    out += "\n  " + std::string(name) + (e ? "=[" + helper.getString(e) + "]" : " missing") +
                           " second=" + std::to_string(helper.hasChildElement(options, prefix + name, 1));
                    if (e) out += " bool=" + std::to_string(helper.getBool(e)) + " int=" + std::to_string(helper.getInt(e));
                }
            }
        }
        out += "\nok=" + std::to_string(helper.isOK());
    }
    for (int i = 1; i <= errs.getNumberOfErrors(); ++i)
        out += "\nmessage " + std::to_string(errs.getErrorNumber(i)) + ": " + errs.getErrorString(i);
    return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

TEST(XmlQuickReader, AnswersAsTheModuleDoesAndLeavesOtherFilesToIt) {
    tarvex_test::SecurityOptionsSpec spec;
    spec.securityEnabled = "false";
    const std::string plain = tarvex_test::securityOptionsXml(spec);
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    tarvex_test::SecurityOptionsSpec omitting = spec;
    omitting.omit = {"logLevel", "vostrelDatabaseName"};
    const std::string rootStart = plain.substr(declaration.size(), plain.find('>', declaration.size()) + 1 -
                                                                          declaration.size());
    const std::string bareRoot = rootStart + "\n</bvs:security_options>\n";

    struct Case {
        const char* name;
        std::string xml;
        bool quick;
        bool schemaChanged = false;
    };
    const std::vector<Case> cases = {
        {"as written", plain, true},
        {"no declaration", plain.substr(declaration.size()), true},
        {"options left out", tarvex_test::securityOptionsXml(omitting), true},
        {"empty element", replaced(plain, "<bvs:logLevel>3</bvs:logLevel>", "<bvs:logLevel/>"), true},
        {"another prefix", replaced(replaced(plain, "bvs:", "x:"), "xmlns:bvs", "xmlns:x"), true},
        {"spaces, tab and > in a value",
         replaced(plain, ">vostrel</bvs:vostrelDatabaseName>", "> a>b \t</bvs:vostrelDatabaseName>"), true},
        {"single quotes and spaces in tags",
         replaced(replaced(plain, "majorVersion=\"1\"", "majorVersion = '1'"), "</bvs:options>", "</bvs:options  >"),
         true},
        {"empty options", declaration + rootStart + "<bvs:options></bvs:options></bvs:security_options>", true},
        {"no options", declaration + bareRoot, true},
        // Left to the module.
        {"comment", replaced(plain, "<bvs:options>", "<bvs:options><!-- c -->"), false},
        {"entity", replaced(plain, "vostrel</bvs:vostrelDatabaseName>", "a&amp;b</bvs:vostrelDatabaseName>"), false},
        {"CR LF", replaced(plain, "\n", "\r\n"), false},
        {"non-ASCII value", replaced(plain, ">vostrel</bvs:vostrelDatabaseName>", ">v\xC3\xA9</bvs:vostrelDatabaseName>"),
         false},
        {"unknown element", replaced(plain, "<bvs:options>", "<bvs:options><bvs:colour>red</bvs:colour>"), false},
        {"option twice", replaced(plain, "<bvs:options>", "<bvs:options><bvs:logLevel>4</bvs:logLevel>"), false},
        {"other namespace", replaced(plain, "tarvex_security_1_0\" majorVersion", "other\" majorVersion"), false},
        {"text in options", replaced(plain, "<bvs:options>", "<bvs:options>stray"), false},
        {"element in a value", replaced(plain, ">3</bvs:logLevel>", "><bvs:logLevel>3</bvs:logLevel></bvs:logLevel>"),
         false},
        {"unclosed", replaced(plain, "</bvs:options>", ""), false},
        {"default namespace", replaced(plain, "majorVersion=", "xmlns=\"urn:x\" majorVersion="), false},
        {"other attribute", replaced(plain, "majorVersion=", "colour=\"red\" majorVersion="), false},
        {"declaration in another form", replaced(plain, "encoding=\"UTF-8\"", "encoding=\"utf-8\""), false},
        {"schema changed beside the file", plain, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tarvex_test::TempDir dir("xmlquick");
        tarvex_test::installSecuritySchema(dir.file("config"));
        if (c.schemaChanged)
            tarvex_test::writeFile(dir.file("config/tarvex_security_1_0.xsd"),
                                   tarvex_test::readFile(dir.file("config/tarvex_security_1_0.xsd")) + "\n");
        const std::string path = dir.file("config/security_options.xml");
        tarvex_test::writeFile(path, c.xml);

        EXPECT_EQ(bv_XmlQuickDocument::read(path, brenvik::securitySchemaLocation()) != nullptr, c.quick);
        // A helper that asks for schema information always goes to the module.
        EXPECT_EQ(answers(path, false), answers(path, true));
    }
}

}  // namespace
