#include "mail/CPOP3MessageEncoder.h"

#include <cstring>

namespace Nerra {

CPOP3MessageEncoder::CPOP3MessageEncoder(std::unique_ptr<CPOP3MessageReader> reader, uint32_t lineLimit)
    : m_Reader(std::move(reader)), m_Buffer(new char[SLICE]), m_LineLimit(lineLimit)
{
}

uint64_t CPOP3MessageEncoder::WireSize(std::unique_ptr<CPOP3MessageReader> reader)
{
    CPOP3MessageEncoder encoder(std::move(reader), NO_LINE_LIMIT);
    encoder.m_Stuffing = false;
    uint64_t size = 0;
    std::string output;
    for (bool more = true; more;) {
        output.clear();
        more = encoder.Encode(output);
        size += output.size();
    }
    return size - 3;  // the final ".\r\n"
}

// Reads at most one slice. A read that comes back short is followed by another at once, so
// the end of a short message leaves together with its text rather than in a piece of its own.
bool CPOP3MessageEncoder::Encode(std::string& output)
{
    uint32_t budget = SLICE;
    while (m_Reader && budget > 0) {
        const uint32_t length = m_Reader->Read(m_Buffer.get(), budget);
        if (length == 0) {
            Finish(output);
            break;
        }
        ScanLines(m_Buffer.get(), length, output);
        budget -= length;
    }
    return static_cast<bool>(m_Reader);
}

// Lines end at LF or CR LF. The bytes of a line go out as soon as they are read, so a line of
// any length costs no more memory than one slice; only a CR at the very end of a read waits,
// since the next read may begin with its LF.
void CPOP3MessageEncoder::ScanLines(const char* data, uint32_t length, std::string& output)
{
    const char* const end = data + length;
    if (m_PendingCR) {
        m_PendingCR = false;
        if (*data == '\n') {
            ++data;
            if (!EndLine(output))
                return;
        } else {
            EmitLineText("\r", 1, output);
        }
    }
    while (data < end) {
        const char* lineFeed = static_cast<const char*>(memchr(data, '\n', static_cast<size_t>(end - data)));
        if (!lineFeed) {
            const char* textEnd = end;
            if (end[-1] == '\r') {
                --textEnd;
                m_PendingCR = true;
            }
            EmitLineText(data, static_cast<size_t>(textEnd - data), output);
            break;
        }
        const char* textEnd = lineFeed > data && lineFeed[-1] == '\r' ? lineFeed - 1 : lineFeed;
        EmitLineText(data, static_cast<size_t>(textEnd - data), output);
        data = lineFeed + 1;
        if (!EndLine(output))
            return;
    }
}

void CPOP3MessageEncoder::EmitLineText(const char* data, size_t length, std::string& output)
{
    if (length == 0)
        return;
    // A line that starts with a dot gets another, so the client cannot take it for the end.
    if (m_Stuffing && m_AtLineStart && data[0] == '.')
        output += '.';
    output.append(data, length);
    m_AtLineStart = false;
}

bool CPOP3MessageEncoder::EndLine(std::string& output)
{
    const bool empty = m_AtLineStart;
    output += "\r\n";
    m_AtLineStart = true;
    if (!m_InBody && empty)
        m_InBody = true;
    if (!m_InBody)
        return true;
    if (m_LineLimit == 0) {
        output += ".\r\n";
        m_Reader.reset();
        return false;
    }
    --m_LineLimit;
    return true;
}

// A message without an empty line is all header: the header's trailing CR LF still goes out
// before the final dot.
void CPOP3MessageEncoder::Finish(std::string& output)
{
    if (m_PendingCR) {
        m_PendingCR = false;
        EmitLineText("\r", 1, output);
    }
    if (!m_AtLineStart)
        output += "\r\n";
    output += m_InBody ? ".\r\n" : "\r\n.\r\n";
    m_Reader.reset();
}

}  // namespace Nerra
