#include <gtest/gtest.h>

#include <functional>

#include "TestUtil.h"
#include "core/CFile.h"
#include "core/CXMLDocument.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

std::string Quietly(const std::function<void()>& action)
{
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

const char* const SCHEMA = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="ruleset">
    <xs:complexType>
      <xs:attribute name="count" type="xs:int" use="required"/>
    </xs:complexType>
  </xs:element>
</xs:schema>
)";

}  // namespace

TEST(CXMLDocument, MissingFileFailsWithThePath)
{
    std::string log = Quietly([] {
        try {
            CXMLDocument document("/nonexistent/file.xml");
            FAIL();
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), "Failed to load XML file from '/nonexistent/file.xml'");
        }
    });
    EXPECT_NE(log.find("ERROR CXMLDocument::CXMLDocument('/nonexistent/file.xml'): Failed to load"), std::string::npos);
}

TEST(CXMLDocument, MalformedFileLogsTheLibraryDiagnostics)
{
    TempDir dir;
    WriteFile(dir / "bad.xml", "<config><params></config>");
    std::string log = Quietly([&] { EXPECT_THROW(CXMLDocument(dir / "bad.xml"), CMessageException); });
    EXPECT_NE(log.find("ERROR XMLError(): "), std::string::npos) << log;
}

TEST(CXMLDocument, EmptyDocumentGetsARoot)
{
    CXMLDocument document("");
    EXPECT_EQ(document.GetRootNode(), nullptr);
    xmlNodePtr root = document.SetRootNode("ruleset");
    EXPECT_EQ(document.GetRootNode(), root);
    EXPECT_STREQ(reinterpret_cast<const char*>(root->name), "ruleset");
}

TEST(CXPath, TextsAndNumbers)
{
    TempDir dir;
    WriteFile(dir / "a.xml", "<r a=\"0042\" b=\"12 \" c=\"-1\" d=\"12345678901\" e=\"x&#13;&#10;y\">"
                            "<p n=\"1\"/><p n=\"2\"/></r>");
    CXMLDocument document(dir / "a.xml");
    CXPathContext context(document);
    EXPECT_EQ(context.Eval("@a").GetNumber(), 42u);
    EXPECT_EQ(context.Eval("@b").GetNumber(), 0u);
    EXPECT_EQ(context.Eval("@c").GetNumber(), 0u);
    EXPECT_EQ(context.Eval("@d").GetNumber(), 0u);
    EXPECT_EQ(context.Eval("@missing").GetText(), "");
    EXPECT_EQ(context.Eval("@e").GetText(), "x\ny");

    CXPathObject params = context.Eval("/r/%s", "p");
    ASSERT_EQ(params.GetNodeCount(), 2u);
    EXPECT_EQ(CXPathContext(params.GetNode(1)).Eval("@n").GetText(), "2");
    EXPECT_EQ(params.GetNode(2), nullptr);
}

TEST(CXPath, NonNodeSetResultIsRefused)
{
    CXMLDocument document("");
    document.SetRootNode("config");
    CXPathContext context(document);
    std::string log = Quietly([&] {
        try {
            context.Eval("count(/config)");
            FAIL();
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), "Result of evaluation is not a nodeset (type=3)");
        }
    });
    EXPECT_NE(log.find("CXPathContext::Eval('count(/config)')"), std::string::npos);
}

TEST(ToXmlText, RepairsBytesLibxml2WouldRefuse)
{
    EXPECT_EQ(ToXmlText("\xe9x"), "?x");
    EXPECT_EQ(ToXmlText("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(ToXmlText("\xe2\x82\xac!"), "\xe2\x82\xac!");
    EXPECT_EQ(ToXmlText("a\fb\x01"), "a?b?");
    EXPECT_EQ(ToXmlText("\xe2(x"), "?(x");
    EXPECT_EQ(ToXmlText("\xf0\x9f\x98\x80"), "????");
    EXPECT_EQ(ToXmlText("a\r\nb\rc"), "a\nb\nc");
    EXPECT_EQ(ToXmlText("\xc3"), "?");
}

TEST(ParseBoolean, TrueOrOneInAnyCase)
{
    for (const char* yes : {"TRUE", "True", "true", "1"})
        EXPECT_TRUE(ParseBoolean(yes)) << yes;
    for (const char* no : {"yes", "0", "", "true "})
        EXPECT_FALSE(ParseBoolean(no)) << no;
}

TEST(CXMLDocument, ValidatesAgainstASchema)
{
    TempDir dir;
    WriteFile(dir / "s.xsd", SCHEMA);
    WriteFile(dir / "good.xml", "<ruleset count=\"3\"/>");
    WriteFile(dir / "bad.xml", "<ruleset count=\"x\"/>");
    CXMLDocument(dir / "good.xml").Validate(dir / "s.xsd");
    std::string log = Quietly([&] {
        try {
            CXMLDocument(dir / "bad.xml").Validate(dir / "s.xsd");
            FAIL();
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()),
                      "The document failed to validate against the XML schema at '" + (dir / "s.xsd") + "'");
        }
        EXPECT_THROW(CXMLDocument(dir / "good.xml").Validate(dir / "missing.xsd"), CMessageException);
    });
    EXPECT_NE(log.find("XMLError(): "), std::string::npos);
}

TEST(CXMLDocument, SaveReplacesTheTargetAndLeavesNoTemporary)
{
    TempDir dir;
    WriteFile(dir / "out.xml", "old content");
    CXMLDocument document("");
    xmlNodePtr root = document.SetRootNode("ruleset");
    SetXmlAttribute(root, "count", "7");
    std::string caption = "caf\xe9";
    AddXmlChild(root, "note", &caption);
    document.SaveTo(dir / "out.xml");

    CXMLDocument reloaded(dir / "out.xml");
    CXPathContext context(reloaded);
    EXPECT_EQ(context.Eval("/ruleset/@count").GetNumber(), 7u);
    EXPECT_EQ(context.Eval("/ruleset/note").GetText(), "caf?");
    auto files = CFile::EnumerateFiles(dir.Path(), "*");
    EXPECT_EQ(files->size(), 1u);
}

TEST(CXMLDocument, FailedSaveLeavesTheOldFile)
{
    TempDir dir;
    CXMLDocument document("");
    document.SetRootNode("ruleset");

    // Cannot write the temporary file: nothing changes.
    Quietly([&] {
        try {
            document.SaveTo(dir / "missing-dir/out.xml");
            FAIL();
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find("Failed to save XML file to '" + (dir / "missing-dir/out.xml.")),
                      std::string::npos);
        }
    });

    // The target cannot be replaced: the old one stays and the temporary copy is kept.
    std::filesystem::create_directory(dir / "target.xml");
    WriteFile(dir / "target.xml/keep", "precious");
    Quietly([&] {
        try {
            document.SaveTo(dir / "target.xml");
            FAIL();
        } catch (const std::exception& e) {
            std::string message = e.what();
            const std::string prefix = "Unable to save XML file, temporary copy remains at ";
            ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
            EXPECT_TRUE(Exists(message.substr(prefix.size())));
        }
    });
    EXPECT_EQ(ReadFile(dir / "target.xml/keep"), "precious");
}
