#include <gtest/gtest.h>

#include <functional>

#include "TestUtil.h"
#include "core/CConfig.h"
#include "core/CMessageException.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

std::string ConfigWith(const std::string& params)
{
    return "<?xml version=\"1.0\"?><config><params>" + params + "</params></config>";
}

class CConfigTest : public testing::Test {
protected:
    void Load(const std::string& params)
    {
        WriteFile(m_Dir / "config.xml", ConfigWith(params));
        CConfig::Instance().LoadFromXml(m_Dir / "config.xml");
    }
    TempDir m_Dir;
};

}  // namespace

TEST_F(CConfigTest, EmptyParamsGiveTheTwoFixedSettings)
{
    Load("");
    EXPECT_EQ(CConfig::Instance().GetValue("product-name"), "Nerra Mail Filter");
    EXPECT_EQ(CConfig::Instance().GetValue("version"), "1.4, built Sep 13 2005 13:05:54");
    EXPECT_FALSE(CConfig::Instance().HasValue("mail-directory"));
}

TEST_F(CConfigTest, FixedValuesWinAndLaterParamsReplaceEarlier)
{
    Load("<param name=\"version\" value=\"9\"/><param name=\"pop3-port\" value=\"110\"/>"
         "<param name=\"pop3-port\" value=\"1110\"/><param name=\"empty\"/>"
         "<param name=\"text\" value=\"a&#13;&#10;b\"/>");
    EXPECT_EQ(CConfig::Instance().GetValue("version"), "1.4, built Sep 13 2005 13:05:54");
    EXPECT_EQ(CConfig::Instance().GetValue("pop3-port"), "1110");
    EXPECT_EQ(CConfig::Instance().GetNumber("pop3-port"), 1110);
    EXPECT_EQ(CConfig::Instance().GetValue("empty"), "");
    EXPECT_EQ(CConfig::Instance().GetValue("text"), "a\nb");
}

TEST_F(CConfigTest, LoadingClearsEarlierSettings)
{
    Load("<param name=\"first\" value=\"1\"/>");
    Load("<param name=\"second\" value=\"2\"/>");
    EXPECT_FALSE(CConfig::Instance().HasValue("first"));
}

TEST_F(CConfigTest, BadNamesAreRefused)
{
    for (const char* bad : {"a b", "-a", "a-", "a--b", ""}) {
        std::string log = Quietly([&] {
            try {
                Load(std::string("<param name=\"") + bad + "\" value=\"x\"/>");
                FAIL() << bad;
            } catch (const CMessageException& e) {
                EXPECT_EQ(std::string(e.what()), std::string("Invalid name for a configuration parameter: '") + bad + "'");
            }
        });
        EXPECT_NE(log.find("CConfig::LoadFromXml('"), std::string::npos);
    }
}

TEST(CNameValueMap, AbsentNamesThrowWithTheName)
{
    CNameValueMap map;
    EXPECT_FALSE(map.HasValue("x"));
    Quietly([&] {
        try {
            map.GetValue("x");
            FAIL();
        } catch (const CMessageException& e) {
            EXPECT_EQ(std::string(e.what()), "Value for name 'x' is not found in the map");
        }
        EXPECT_THROW(map.DelValue("x"), CMessageException);
    });
    map.SetValue("x", "1");
    map.SetValue("x", "2");
    EXPECT_EQ(map.GetValue("x"), "2");
    map.DelValue("x");
    EXPECT_FALSE(map.HasValue("x"));
}
