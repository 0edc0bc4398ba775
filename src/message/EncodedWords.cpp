#include "message/EncodedWords.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <memory>
#include <optional>
#include <vector>

#include "core/TextUtils.h"

namespace Nerra {

namespace {

// One stretch of a value: plain text, or an encoded word with what it decodes to.
struct Piece {
    std::string raw;                   // as it stands in the value
    bool word = false;
    std::string charset;               // lower case, without a language suffix
    std::optional<std::string> bytes;  // the word's bytes in its charset; none when its encoding is broken
    std::optional<std::string> text;   // the word in UTF-8; none when it does not decode
};

struct IconvCloser {
    void operator()(void* handle) const { iconv_close(static_cast<iconv_t>(handle)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

// Printable ASCII except the characters that delimit a charset or encoding name.
bool IsTokenChar(unsigned char c)
{
    return c > ' ' && c < 127 && !std::strchr("()<>@,;:\"/[]?.=", c);
}

bool IsEncodedTextChar(unsigned char c) { return c > ' ' && c < 127 && c != '?'; }

bool IsBase64Char(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool IsWhiteSpace(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Mailers in the wild leave the padding off, so it is supplied; anything else that is not
// Base64 makes the word undecodable rather than silently shorter.
std::optional<std::string> DecodeB(std::string encoded)
{
    const size_t data = encoded.find_last_not_of('=') + 1;
    if (encoded.size() - data > 2)
        return std::nullopt;
    for (size_t i = 0; i < data; ++i) {
        if (!IsBase64Char(encoded[i]))
            return std::nullopt;
    }
    if (data % 4 == 1 || (encoded.size() > data && encoded.size() % 4 != 0))
        return std::nullopt;
    encoded.resize(data + (4 - data % 4) % 4, '=');
    return DecodeBASE64(encoded);
}

std::optional<std::string> DecodeQ(const std::string& encoded)
{
    std::string bytes;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '_') {
            bytes += ' ';
        } else if (encoded[i] == '=') {
            const int high = i + 2 < encoded.size() ? HexValue(encoded[i + 1]) : -1;
            const int low = high >= 0 ? HexValue(encoded[i + 2]) : -1;
            if (low < 0)
                return std::nullopt;
            bytes += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            bytes += encoded[i];
        }
    }
    return bytes;
}

// The encoded word that starts at `at` (on "=?"), or nothing when the text there is not one.
std::optional<Piece> ReadWord(const std::string& text, size_t at)
{
    size_t charsetEnd = at + 2;
    while (charsetEnd < text.size() && IsTokenChar(text[charsetEnd]))
        ++charsetEnd;
    if (charsetEnd == at + 2 || charsetEnd + 2 >= text.size() || text[charsetEnd] != '?' ||
        text[charsetEnd + 2] != '?')
        return std::nullopt;
    const char encoding = text[charsetEnd + 1];
    const bool base64 = encoding == 'B' || encoding == 'b';
    if (!base64 && encoding != 'Q' && encoding != 'q')
        return std::nullopt;
    const size_t textBegin = charsetEnd + 3;
    size_t textEnd = textBegin;
    while (textEnd < text.size() && IsEncodedTextChar(text[textEnd]))
        ++textEnd;
    if (textEnd + 1 >= text.size() || text[textEnd] != '?' || text[textEnd + 1] != '=')
        return std::nullopt;

    Piece piece;
    piece.word = true;
    piece.raw = text.substr(at, textEnd + 2 - at);
    const std::string charset = ToLower(text.substr(at + 2, charsetEnd - at - 2));
    piece.charset = charset.substr(0, charset.find('*'));  // "charset*language"
    const std::string encoded = text.substr(textBegin, textEnd - textBegin);
    piece.bytes = base64 ? DecodeB(encoded) : DecodeQ(encoded);
    return piece;
}

// Plain and word pieces alternate, starting and ending with plain text (maybe empty).
std::vector<Piece> Split(const std::string& text)
{
    std::vector<Piece> pieces(1);
    size_t copied = 0;
    for (size_t at = text.find("=?"); at != std::string::npos;) {
        std::optional<Piece> word = ReadWord(text, at);
        if (!word) {
            at = text.find("=?", at + 1);
            continue;
        }
        pieces.back().raw = text.substr(copied, at - copied);
        copied = at + word->raw.size();
        pieces.push_back(std::move(*word));
        pieces.emplace_back();
        at = text.find("=?", copied);
    }
    pieces.back().raw = text.substr(copied);
    return pieces;
}

void Grow(std::string& out, char*& cursor, size_t& left)
{
    const size_t used = static_cast<size_t>(cursor - out.data());
    out.resize(out.size() * 2);
    cursor = out.data() + used;
    left = out.size() - used;
}

std::optional<std::string> ToUtf8(const std::string& charset, const std::string& bytes)
{
    if (charset.empty())
        return std::nullopt;  // iconv would read an empty name as the locale's charset
    const iconv_t opened = iconv_open("UTF-8", charset.c_str());
    if (opened == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    IconvHandle handle(opened);
    std::string out(bytes.size() * 2 + 16, '\0');
    char* input = const_cast<char*>(bytes.data());
    size_t inputLeft = bytes.size();
    char* cursor = out.data();
    size_t left = out.size();
    // The last round, without input, ends a stateful charset's shift sequence.
    for (bool flushed = false; !flushed;) {
        const bool flushing = inputLeft == 0;
        if (iconv(opened, flushing ? nullptr : &input, flushing ? nullptr : &inputLeft, &cursor, &left) !=
            static_cast<size_t>(-1)) {
            flushed = flushing;
        } else if (errno == E2BIG) {
            Grow(out, cursor, left);
        } else {
            return std::nullopt;  // bytes the charset does not have, or a character cut short
        }
    }
    out.resize(static_cast<size_t>(cursor - out.data()));
    // A decoded value must stay one line of text like every other field value.
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < ' ')
            c = ' ';
    }
    return out;
}

// Words of one charset with only white space between them are converted together: a
// mailer may split a multi-byte character across two words.
void ConvertWords(std::vector<Piece>& pieces)
{
    for (size_t first = 1; first < pieces.size(); first += 2) {
        if (!pieces[first].bytes)
            continue;
        size_t last = first;
        std::string bytes = *pieces[first].bytes;
        while (last + 2 < pieces.size() && IsWhiteSpace(pieces[last + 1].raw) && pieces[last + 2].bytes &&
               pieces[last + 2].charset == pieces[first].charset) {
            last += 2;
            bytes += *pieces[last].bytes;
        }
        if (std::optional<std::string> text = ToUtf8(pieces[first].charset, bytes)) {
            pieces[first].text = std::move(text);
            for (size_t word = first + 2; word <= last; word += 2)
                pieces[word].text = std::string();
        } else {
            for (size_t word = first; word <= last; word += 2)
                pieces[word].text = ToUtf8(pieces[word].charset, *pieces[word].bytes);
        }
        first = last;
    }
}

}  // namespace

std::string DecodeEncodedWords(const std::string& text)
{
    if (text.find("=?") == std::string::npos)
        return text;
    std::vector<Piece> pieces = Split(text);
    ConvertWords(pieces);
    std::string result;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        if (piece.word) {
            result += piece.text ? *piece.text : piece.raw;
        } else {
            const bool betweenDecoded = i > 0 && i + 1 < pieces.size() && pieces[i - 1].text && pieces[i + 1].text;
            if (!(betweenDecoded && IsWhiteSpace(piece.raw)))
                result += piece.raw;
        }
    }
    return result;
}

}  // namespace Nerra
