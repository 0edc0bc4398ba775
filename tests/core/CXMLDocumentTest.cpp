#include <gtest/gtest.h>

#include <functional>

#include "TestUtil.h"
#include "core/CFile.h"
#include "core/CXMLDocument.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

// Runs a call that must throw; returns the exception text and hands back what it logged.
std::string Thrown(const std::function<void()>& action, std::string* log = nullptr)
{
    std::string message = "(nothing thrown)", ignored;
    testing::internal::CaptureStderr();
    try {
        action();
    } catch (const std::exception& e) {
        message = e.what();
    }
    (log ? *log : ignored) = testing::internal::GetCapturedStderr();
    return message;
}

}  // namespace

TEST(CXMLDocument, LoadFailuresNameThePathAndLogTheDiagnostics)
{
    std::string log;
    EXPECT_EQ(Thrown([] { CXMLDocument("/nonexistent/file.xml"); }, &log),
              "Failed to load XML file from '/nonexistent/file.xml'");
    TempDir dir;
    WriteFile(dir / "bad.xml", "<config><params></config>");
    EXPECT_EQ(Thrown([&] { CXMLDocument(dir / "bad.xml"); }, &log), "Failed to load XML file from '" + (dir / "bad.xml") + "'");
    EXPECT_NE(log.find("ERROR XMLError(): "), std::string::npos) << log;
}

TEST(CXPath, TextsAndNumbers)
{
    TempDir dir;
    WriteFile(dir / "a.xml", "<r a=\"0042\" b=\"12 \" c=\"-1\" d=\"12345678901\" e=\"x&#13;&#10;y\">"
                            "<p n=\"1\"/><p n=\"2\"/></r>");
    CXMLDocument document(dir / "a.xml");
    CXPathContext context(document);
    for (auto [attribute, number] : {std::pair{"@a", 42u}, {"@b", 0u}, {"@c", 0u}, {"@d", 0u}})
        EXPECT_EQ(context.Eval(attribute).GetNumber(), number) << attribute;
    EXPECT_EQ(context.Eval("@missing").GetText(), "");
    EXPECT_EQ(context.Eval("@e").GetText(), "x\ny");
    CXPathObject params = context.Eval("/r/%s", "p");
    ASSERT_EQ(params.GetNodeCount(), 2u);
    EXPECT_EQ(CXPathContext(params.GetNode(1)).Eval("@n").GetText(), "2");
    EXPECT_EQ(params.GetNode(2), nullptr);
    EXPECT_EQ(Thrown([&] { context.Eval("count(/r)"); }), "Result of evaluation is not a nodeset (type=3)");
}

TEST(ToXmlText, RepairsBytesLibxml2WouldRefuse)
{
    const std::pair<const char*, const char*> cases[] = {
        {"\xe9x", "?x"}, {"caf\xc3\xa9", "caf\xc3\xa9"}, {"\xe2\x82\xac!", "\xe2\x82\xac!"}, {"a\fb\x01", "a?b?"},
        {"\xe2(x", "?(x"}, {"\xf0\x9f\x98\x80", "????"}, {"a\r\nb\rc", "a\nb\nc"},       {"\xc3", "?"}};
    for (auto [input, expected] : cases)
        EXPECT_EQ(ToXmlText(input), expected) << input;
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
    WriteFile(dir / "s.xsd", R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"><xs:element name="ruleset">
        <xs:complexType><xs:attribute name="count" type="xs:int" use="required"/></xs:complexType>
        </xs:element></xs:schema>)");
    WriteFile(dir / "good.xml", "<ruleset count=\"3\"/>");
    WriteFile(dir / "bad.xml", "<ruleset count=\"x\"/>");
    CXMLDocument(dir / "good.xml").Validate(dir / "s.xsd");
    std::string log;
    EXPECT_EQ(Thrown([&] { CXMLDocument(dir / "bad.xml").Validate(dir / "s.xsd"); }, &log),
              "The document failed to validate against the XML schema at '" + (dir / "s.xsd") + "'");
    EXPECT_NE(log.find("XMLError(): "), std::string::npos);
    EXPECT_NE(Thrown([&] { CXMLDocument(dir / "good.xml").Validate(dir / "missing.xsd"); }), "(nothing thrown)");
}

TEST(CXMLDocument, SaveReplacesTheTargetOrOnFailureLeavesTheOldFile)
{
    TempDir dir;
    WriteFile(dir / "out.xml", "old content");
    CXMLDocument document("");
    EXPECT_EQ(document.GetRootNode(), nullptr);
    xmlNodePtr root = document.SetRootNode("ruleset");
    EXPECT_EQ(document.GetRootNode(), root);
    SetXmlAttribute(root, "count", "7");
    std::string caption = "caf\xe9";
    AddXmlChild(root, "note", &caption);
    document.SaveTo(dir / "out.xml");
    CXMLDocument reloaded(dir / "out.xml");
    CXPathContext context(reloaded);
    EXPECT_EQ(context.Eval("/ruleset/@count").GetNumber(), 7u);
    EXPECT_EQ(context.Eval("/ruleset/note").GetText(), "caf?");
    EXPECT_EQ(CFile::ListFiles(dir.Path(), "*").size(), 1u);

    // Cannot write the temporary file: nothing changes.
    EXPECT_EQ(Thrown([&] { document.SaveTo(dir / "missing-dir/out.xml"); })
                  .rfind("Failed to save XML file to '" + (dir / "missing-dir/out.xml."), 0), 0u);
    // The target cannot be replaced: the old one stays and the temporary copy is kept.
    std::filesystem::create_directory(dir / "target.xml");
    WriteFile(dir / "target.xml/keep", "precious");
    const std::string message = Thrown([&] { document.SaveTo(dir / "target.xml"); });
    const std::string prefix = "Unable to save XML file, temporary copy remains at ";
    ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_TRUE(Exists(message.substr(prefix.size())));
    EXPECT_EQ(ReadFile(dir / "target.xml/keep"), "precious");
}

TEST(CXMLDocument, SaveNeverWritesThroughALinkPlantedUnderATemporaryName)
{
    TempDir dir;
    WriteFile(dir / "outside", "untouched");
    for (int n = 0; n < 1000; ++n)
        std::filesystem::create_symlink(dir / "outside", dir / Format("out.xml.%03d", n));
    CXMLDocument document("");
    document.SetRootNode("ruleset");
    EXPECT_NE(Thrown([&] { document.SaveTo(dir / "out.xml"); }), "(nothing thrown)");
    EXPECT_EQ(ReadFile(dir / "outside"), "untouched");
}
