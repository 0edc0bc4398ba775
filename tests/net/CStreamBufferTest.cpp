#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/CStreamBuffer.h"
#include "net/NetTestUtil.h"

using namespace Nerra;

namespace {

void Put(CStreamBuffer& buffer, const std::string& text)
{
    buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
}

std::string Take(CStreamBuffer& buffer, uint32_t length)
{
    std::string text(length, '\0');
    text.resize(buffer.Read(&text[0], length));
    return text;
}

std::string Pattern(size_t length, unsigned seed)
{
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>((i * 31 + seed) & 0xFF);
    return text;
}

}  // namespace

TEST(CStreamBuffer, LineEndsAndLoneCarriageReturns)
{
    struct Case {
        const char* input;
        uint32_t result;
        const char* line;
        const char* rest;
    } cases[] = {
        {"USER bob\nrest", 9, "USER bob", "rest"},
        {"USER bob\r\nrest", 9, "USER bob", "rest"},
        {"\n", 1, "", ""},
        {"\r\n", 1, "", ""},
        {"a\rb\nc", 4, "a\rb", "c"},    // a CR inside a line is data
        {"abc\r\r\n", 5, "abc\r", ""},  // only the CR right before LF belongs to the end
        {"no end yet", 0, "", "no end yet"},
        {"abc\r", 0, "", "abc\r"},  // CR as the last pending byte: wait, it may be a CR LF
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        CStreamBuffer buffer;
        Put(buffer, c.input);
        std::string line;
        EXPECT_EQ(buffer.ReadLine(&line), c.result);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetSize()), c.rest);
    }

    // Every split point of the stream occurs once, a CR LF torn in two included.
    const std::string stream = "USER bob\r\nPASS a\rb\n\r\nNOOP\r\nQU";
    CStreamBuffer buffer;
    std::vector<std::string> lines;
    for (char c : stream) {
        buffer.Write(&c, 1);
        for (std::string line; buffer.ReadLine(&line) > 0;)
            lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"USER bob", "PASS a\rb", "", "NOOP"}));
    EXPECT_EQ(buffer.GetSize(), 2u);
}

TEST(CStreamBuffer, PartialReadsCompactionAndGrowthKeepTheQueueInOrder)
{
    CStreamBuffer buffer;
    const std::string first = Pattern(1000, 1), second = Pattern(900, 2), third = Pattern(3000, 3);
    Put(buffer, first);
    EXPECT_EQ(Take(buffer, 800), first.substr(0, 800));
    EXPECT_EQ(buffer.Read(nullptr, 100), 100u);  // discarded
    Put(buffer, second);  // fits only once the 100 pending bytes move to the front
    Put(buffer, third);   // needs a larger array while the front is consumed
    EXPECT_EQ(Take(buffer, 100000), first.substr(900) + second + third);
    EXPECT_EQ(Take(buffer, 10), "");
}

TEST(CStreamBuffer, OneMebibyteLimitKeepsEarlierBytes)
{
    CStreamBuffer buffer;
    const std::string early = Pattern(CStreamBuffer::MAX_CAPACITY - 10, 4);
    Put(buffer, early);
    const std::string tooMuch(11, 'z');
    ExpectFailure([&] { Put(buffer, tooMuch); }, "Buffer size may not exceed 1048576");
    EXPECT_EQ(buffer.GetSize(), early.size());
    Put(buffer, std::string(10, 'y'));  // exactly full is allowed
    EXPECT_EQ(Take(buffer, CStreamBuffer::MAX_CAPACITY), early + std::string(10, 'y'));

    // A length near 4 GiB must not wrap around when added to the pending count.
    Put(buffer, "abc");
    ExpectFailure([&] { buffer.Write(tooMuch.data(), 0xFFFFFFFFu); }, "Buffer size may not exceed 1048576");
    EXPECT_EQ(buffer.GetSize(), 3u);
}
