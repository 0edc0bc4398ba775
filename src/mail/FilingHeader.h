#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Nerra {

class CFile;
class CMessageHeader;
class CUserXML;

// The header block of a message file: up to and including the first empty line, in CR LF;
// `size` is set to the file's size. Throws when the first 64 KiB hold no complete header.
std::string ReadMessageHeaderText(const std::string& path, uint32_t& size);
std::string ReadMessageHeaderText(CFile& file, uint32_t& size);

// A new message id, "<local time>-<digest of the header>-<random>", which names the filed file.
std::string NewMessageId(const std::string& headerText);

// The header rules see: the message's own fields and the pseudo fields the system adds (size,
// id, user, random numbers, expiry dates, settings, the user's parameters). The filing unit
// and the tools that explain its decisions build it here alike, so they cannot differ.
std::shared_ptr<CMessageHeader> BuildFilingHeader(const std::string& headerText, uint32_t size,
                                                  const std::string& messageId, const std::string& userName,
                                                  const CUserXML* user);

}  // namespace Nerra
