// Headers per second through a user's rule set of 50 regex rules over raw and parsed
// fields, with and without one script rule, on one core.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/CConfig.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "message/CMessageHeader.h"
#include "rules/CPython.h"
#include "rules/CRuleSet.h"

using namespace Nerra;

namespace {

const char* const FIELDS[] = {"subject", "x-nerra-parsed-from-mailbox", "to", "x-nerra-parsed-to-mailbox",
                              "list-id", "x-mailer"};

std::string RegexRule(int i)
{
    // Patterns in the style of real filters: anchored words, alternations, address tails.
    std::string pattern;
    switch (i % 5) {
    case 0: pattern = Format(".*(offer|deal|discount)%d.*", i); break;
    case 1: pattern = Format("[^@]+@(mail\\.)?sender%d\\.example", i); break;
    case 2: pattern = Format("&lt;list%d\\.lists\\.example\\.org&gt;", i); break;
    case 3: pattern = Format("(Re: |Fwd: )*project-%d .*", i); break;
    default: pattern = Format("Mailer-%d/[0-9.]+", i); break;
    }
    return Format("<rule description=\"rule %d\" expires=\"2037-12-31 23:59:59\" apply-header=\"false\" "
                  "enabled=\"true\" dispatched-messages=\"0\" id=\"r%d\" trainable=\"false\"><matches>"
                  "<match handler=\"regex\" header-field-name=\"%s\" match-mode=\"any\"><regexes>"
                  "<regex pattern=\"%s\"/></regexes></match></matches><actions>"
                  "<action handler=\"dispatch\" mailbox=\"box%d\"/></actions></rule>",
                  i, i, FIELDS[i % 6], pattern.c_str(), i);
}

const char* const SCRIPT_RULE =
    "<rule description=\"script\" expires=\"2037-12-31 23:59:59\" apply-header=\"false\" enabled=\"true\" "
    "dispatched-messages=\"0\" id=\"py\" trainable=\"false\"><matches><match handler=\"python\"><script>"
    "subject = headers.get('subject', '').lower()\n"
    "if 'lottery' in subject and headers['x-nerra-message-size'] != '0':\n"
    "    result = 'match'</script></match></matches><actions>"
    "<action handler=\"dispatch\" mailbox=\"spam\"/></actions></rule>";

const char* const CATCH_ALL =
    "<rule description=\"rest\" expires=\"2037-12-31 23:59:59\" apply-header=\"false\" enabled=\"true\" "
    "dispatched-messages=\"0\" id=\"rest\" trainable=\"false\"><matches><match handler=\"any\"/></matches>"
    "<actions><action handler=\"dispatch\" mailbox=\"mail\"/></actions></rule>";

std::string MakeMailDirectory(bool withScript)
{
    char pattern[] = "/tmp/nerra-bench-XXXXXX";
    std::string root = mkdtemp(pattern);
    std::filesystem::create_directories(root + "/bench");
    std::filesystem::copy_file(std::string(NERRA_SOURCE_DIR) + "/examples/mail/demo/ruleset.xsd",
                               root + "/bench/ruleset.xsd");
    std::string rules;
    for (int i = 0; i < 50; ++i) {
        if (withScript && i == 25)
            rules += SCRIPT_RULE;
        rules += RegexRule(i);
    }
    rules += CATCH_ALL;
    std::ofstream(root + "/bench/ruleset.xml")
        << "<?xml version=\"1.0\"?><ruleset dispatched-messages=\"0\"><rules>" << rules << "</rules></ruleset>";
    return root;
}

// A few thousand varied headers with the pseudo fields message processing adds.
std::vector<std::shared_ptr<CMessageHeader>> MakeHeaders(size_t count)
{
    std::vector<std::shared_ptr<CMessageHeader>> headers;
    for (size_t i = 0; i < count; ++i) {
        std::string text = Format(
            "Received: from relay%zu.example.net (relay%zu.example.net [10.0.%zu.%zu]) by mx.example.com; "
            "Mon, 7 Dec 2026 10:%02zu:00 +0000\r\n"
            "From: \"Sender %zu\" <user%zu@host%zu.example.com>\r\n"
            "To: Someone <someone@example.com>, other%zu@example.org\r\n"
            "Subject: %s message number %zu about things\r\n"
            "Date: Mon, 7 Dec 2026 10:%02zu:00 +0000\r\n"
            "Message-ID: <%zu.%zu@host%zu.example.com>\r\n"
            "X-Mailer: Client %zu\r\n"
            "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n",
            i % 97, i % 97, i % 13, i % 251, i % 60, i, i, i % 31, i % 17,
            i % 7 == 0 ? "Re: hello" : (i % 11 == 0 ? "Lottery winner" : "Weekly"), i, i % 60, i, i * 7, i % 31, i % 5);
        auto header = std::make_shared<CMessageHeader>(text);
        header->AddValue("x-nerra-message-size", Format("%zu", 4096 + i));
        header->AddValue("x-nerra-username", "bench");
        header->AddValue("x-nerra-expires-never", "2037-12-31 23:59:59");
        for (const auto& [name, value] : CConfig::Instance().GetValues())
            header->AddValue("x-nerra-" + name, value);
        headers.push_back(header);
    }
    return headers;
}

void Dispatch(benchmark::State& state, bool withScript)
{
    const std::string root = MakeMailDirectory(withScript);
    CConfig::Instance().SetValue("mail-directory", root);
    auto headers = MakeHeaders(4000);
    try {
        CRuleSet ruleSet("bench", root + "/bench/ruleset.xml", root + "/bench/ruleset.xsd");
        size_t next = 0;
        for (auto _ : state) {
            benchmark::DoNotOptimize(ruleSet.DispatchMessage(headers[next], nullptr));
            next = (next + 1) % headers.size();
        }
        state.counters["headers/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
    std::filesystem::remove_all(root);
}

void BM_Dispatch50RegexRules(benchmark::State& state) { Dispatch(state, false); }
void BM_Dispatch50RegexRulesAndScript(benchmark::State& state) { Dispatch(state, true); }

BENCHMARK(BM_Dispatch50RegexRules)->MinTime(3.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Dispatch50RegexRulesAndScript)->MinTime(3.0)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    XMLInit();
    CPython::Instance();
    // Dispatch logs a line per hundred messages; keep the figures readable.
    std::freopen("/dev/null", "w", stderr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
