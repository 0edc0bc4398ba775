#include <gtest/gtest.h>

#include "app/Explain.h"
#include "rules/CDispatchTrace.h"

using namespace Nerra;

TEST(Explain, TheJsonStaysValidWhateverTheMessageHeld)
{
    CDispatchTrace trace;
    trace.rules.push_back({"say \"hi\"\\", "", "disabled"});
    trace.rules[0].matches.push_back({"regex", false, "subject: 'a\tb\x01' \xC3\xA9 \xFF\xC3"});
    trace.decision = CDispatchDecision::Delete();
    const std::string json = TraceJson(trace, "alice", "m.eml", false, "", "");
    EXPECT_NE(json.find("\"description\":\"say \\\"hi\\\"\\\\\""), std::string::npos) << json;
    // Control bytes are escaped, UTF-8 passes, and stray bytes become U+FFFD.
    EXPECT_NE(json.find("\"detail\":\"subject: 'a\\u0009b\\u0001' \xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"decision\":{\"kind\":\"delete\",\"mailbox\":\"\""), std::string::npos) << json;
    EXPECT_EQ(TraceText(trace, "", ""), "rule 1 \"say \"hi\"\\\": skipped, disabled\n"
                                        "  match 1 regex: refused, subject: 'a\tb\x01' \xC3\xA9 \xFF\xC3\n"
                                        "decision: delete\n");
}
