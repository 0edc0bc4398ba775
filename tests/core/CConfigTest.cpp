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

// The text of what the call throws.
std::string FailureOf(const std::function<void()>& action)
{
    std::string message = "(nothing thrown)";
    Quietly([&] {
        try {
            action();
        } catch (const CMessageException& e) {
            message = e.what();
        }
    });
    return message;
}

}  // namespace

TEST_F(CConfigTest, FixedValuesWinAndLaterParamsReplaceEarlier)
{
    Load("<param name=\"first\" value=\"1\"/>");
    Load("<param name=\"version\" value=\"9\"/><param name=\"pop3-port\" value=\"110\"/>"
         "<param name=\"pop3-port\" value=\"1110\"/><param name=\"empty\"/>"
         "<param name=\"text\" value=\"a&#13;&#10;b\"/>");
    EXPECT_FALSE(CConfig::Instance().HasValue("first"));  // loading clears earlier settings
    EXPECT_EQ(CConfig::Instance().GetValue("product-name"), "Nerra Mail Filter");
    EXPECT_EQ(CConfig::Instance().GetValue("version"), "1.4, built Sep 13 2005 13:05:54");
    EXPECT_EQ(CConfig::Instance().GetNumber("pop3-port"), 1110);
    EXPECT_EQ(CConfig::Instance().GetValue("empty"), "");
    EXPECT_EQ(CConfig::Instance().GetValue("text"), "a\nb");
}

TEST_F(CConfigTest, BadNamesAreRefused)
{
    for (const char* bad : {"a b", "-a", "a-", "a--b", ""})
        EXPECT_EQ(FailureOf([&] { Load(std::string("<param name=\"") + bad + "\" value=\"x\"/>"); }),
                  std::string("Invalid name for a configuration parameter: '") + bad + "'");
}

TEST_F(CConfigTest, NumbersMustBeWholeAndWithinTheirRange)
{
    CConfig& config = CConfig::Instance();
    for (auto [value, number] : {std::pair{"1", 1L}, {" 86400 ", 86400L}, {"+60", 60L}}) {
        config.SetValue("incoming-connection-timeout-sec", value);
        EXPECT_EQ(config.GetNumber("incoming-connection-timeout-sec"), number) << value;
    }
    for (const char* bad : {"0", "-1", "86401", "2147483648", "99999999999999999999", "60s", "", "1 0"}) {
        config.SetValue("incoming-connection-timeout-sec", bad);
        EXPECT_EQ(FailureOf([&] { config.GetNumber("incoming-connection-timeout-sec"); }),
                  std::string("Invalid value of incoming-connection-timeout-sec: '") + bad +
                      "', must be a whole number from 1 to 86400");
    }
}

TEST_F(CConfigTest, CheckSettingsNamesTheFirstMissingOrBadSetting)
{
    const std::string required =
        "<param name=\"mail-directory\" value=\"" + m_Dir.Path() + "\"/><param name=\"pop3-address\" value=\"x\"/>"
        "<param name=\"pop3-port\" value=\"0\"/>";
    std::string numbers;
    for (const char* name : {"mail-interval-sec", "spool-interval-sec", "flush-interval-sec", "worker-threads-per-pool",
                             "incoming-connection-timeout-sec", "outgoing-connection-timeout-sec",
                             "pop3-connection-attempt-timeout-sec", "pop3-messages-per-session",
                             "pop3-messages-per-sync", "parallel-worker-thread-work-ms",
                             "parallel-worker-thread-sleep-ms"})
        numbers += std::string("<param name=\"") + name + "\" value=\"1\"/>";
    const std::pair<std::string, std::string> cases[] = {
        {required + numbers, "(nothing thrown)"},
        {required + numbers + "<param name=\"worker-threads-per-pool\" value=\"0\"/>",
         "Invalid value of worker-threads-per-pool: '0', must be a whole number from 1 to 1024"},
        {required + numbers + "<param name=\"mail-directory\" value=\"" + (m_Dir / "missing") + "\"/>",
         "Invalid value of mail-directory: '" + (m_Dir / "missing") + "', must name a directory"},
        {required, "Missing value of mail-interval-sec, must be a whole number from 1 to 31536000"}};
    for (const auto& [params, message] : cases) {
        Load(params);
        EXPECT_EQ(FailureOf([] { CConfig::Instance().CheckSettings(); }), message);
    }
}

TEST(CNameValueMap, AbsentNamesThrowWithTheName)
{
    CNameValueMap map;
    EXPECT_EQ(FailureOf([&] { map.GetValue("x"); }), "Value for name 'x' is not found in the map");
    EXPECT_NE(FailureOf([&] { map.DelValue("x"); }), "(nothing thrown)");
    map.SetValue("x", "1");
    map.SetValue("x", "2");
    EXPECT_EQ(map.GetValue("x"), "2");
    map.DelValue("x");
    EXPECT_FALSE(map.HasValue("x"));
}
