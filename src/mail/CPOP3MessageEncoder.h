#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Nerra {

// The text of one message, read in pieces from wherever the mailbox keeps it.
class CPOP3MessageReader {
public:
    virtual ~CPOP3MessageReader() = default;
    // Up to `length` bytes into the buffer; 0 at the end. A read error throws.
    virtual uint32_t Read(char* buffer, uint32_t length) = 0;
};

// Turns message text into its form on the wire, one slice at a time: every line ends in
// CR LF (a lone CR is data), a line that starts with a dot gets another, a header without an
// empty line gets one, TOP's line limit cuts the body, and the final dot line ends it.
// Touched by one thread at a time.
class CPOP3MessageEncoder {
public:
    static constexpr uint32_t NO_LINE_LIMIT = 0xFFFFFFFFu;
    // The most file text one Encode reads: a long message never piles up in memory.
    static constexpr uint32_t SLICE = 65536;

    // `lineLimit` body lines at most (NO_LINE_LIMIT for the whole message).
    CPOP3MessageEncoder(std::unique_ptr<CPOP3MessageReader> reader, uint32_t lineLimit);

    // Appends the wire form of at most one slice of the message; true while more remains.
    bool Encode(std::string& output);

    // The message's size as RETR sends it: CR LF line ends, before dot-stuffing, without the
    // final dot line.
    static uint64_t WireSize(std::unique_ptr<CPOP3MessageReader> reader);

private:
    void ScanLines(const char* data, uint32_t length, std::string& output);
    void EmitLineText(const char* data, size_t length, std::string& output);
    // Ends the current line; false once the line limit has ended the message.
    bool EndLine(std::string& output);
    void Finish(std::string& output);

    std::unique_ptr<CPOP3MessageReader> m_Reader;  // empty once the message has been sent
    std::unique_ptr<char[]> m_Buffer;
    uint32_t m_LineLimit;
    bool m_Stuffing = true;
    bool m_InBody = false;
    bool m_AtLineStart = true;  // nothing of the current line has been sent yet
    bool m_PendingCR = false;   // a read ended in CR: a line end if the next read starts with LF
};

}  // namespace Nerra
