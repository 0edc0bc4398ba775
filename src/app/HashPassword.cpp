#include "app/HashPassword.h"

#include <argon2.h>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sys/random.h>
#include <termios.h>
#include <unistd.h>

#include "core/TextUtils.h"

namespace Nerra {

namespace {

// The cost of one login; an administrator may raise it in the element, the service reads
// whatever the element says.
constexpr uint32_t ARGON2_PASSES = 3;
constexpr uint32_t ARGON2_MEMORY_KIB = 64 * 1024;
constexpr uint32_t ARGON2_LANES = 1;
constexpr size_t ARGON2_SALT_BYTES = 16;
constexpr size_t ARGON2_HASH_BYTES = 32;
constexpr size_t SHA1_SALT_BYTES = 8;

// Turns echo off on a terminal for as long as it lives.
class CEchoOff {
public:
    explicit CEchoOff(int fd) : m_Fd(fd)
    {
        if (tcgetattr(fd, &m_Saved) != 0)
            return;
        termios quiet = m_Saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        m_Active = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~CEchoOff()
    {
        if (m_Active)
            tcsetattr(m_Fd, TCSAFLUSH, &m_Saved);
    }
    CEchoOff(const CEchoOff&) = delete;
    CEchoOff& operator=(const CEchoOff&) = delete;

private:
    int m_Fd;
    termios m_Saved{};
    bool m_Active = false;
};

std::string SystemRandomBytes(size_t count)
{
    std::string bytes(count, '\0');
    for (size_t filled = 0; filled < count;) {
        const ssize_t got = getrandom(bytes.data() + filled, count - filled, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw CMessageException("getrandom: %s", strerror(errno));
        filled += static_cast<size_t>(got);
    }
    return bytes;
}

std::string Argon2Element(const std::string& password)
{
    const std::string salt = SystemRandomBytes(ARGON2_SALT_BYTES);
    std::string encoded(argon2_encodedlen(ARGON2_PASSES, ARGON2_MEMORY_KIB, ARGON2_LANES, ARGON2_SALT_BYTES,
                                          ARGON2_HASH_BYTES, Argon2_id),
                        '\0');
    const int status = argon2id_hash_encoded(ARGON2_PASSES, ARGON2_MEMORY_KIB, ARGON2_LANES, password.data(),
                                             password.size(), salt.data(), salt.size(), ARGON2_HASH_BYTES,
                                             encoded.data(), encoded.size());
    if (status != ARGON2_OK)
        throw CMessageException("argon2id_hash_encoded: %s", argon2_error_message(status));
    encoded.resize(strlen(encoded.c_str()));
    return "<authentication handler=\"hash\" method=\"argon2id\" hash=\"" + encoded + "\"/>";
}

// The salt is written as hex: it is used as text, and must survive being pasted into XML.
std::string Sha1Element(const std::string& password)
{
    std::string salt;
    for (unsigned char byte : SystemRandomBytes(SHA1_SALT_BYTES))
        salt += Format("%02x", byte);
    const std::string salted = salt + password + salt;
    return "<authentication handler=\"hash\" method=\"sha1\" salt=\"" + salt + "\" hash=\"" +
           Sha1Hex(salted.data(), salted.size()) + "\"/>";
}

// One line of standard input without its line end; false at the end of input.
bool ReadLine(const char* prompt, bool terminal, std::string& line)
{
    if (terminal) {
        // Echo goes off before the prompt shows: turning it off discards what was typed
        // ahead, and must not catch an answer to the prompt.
        CEchoOff echoOff(STDIN_FILENO);
        std::cerr << prompt << std::flush;
        const bool read = static_cast<bool>(std::getline(std::cin, line));
        std::cerr << std::endl;  // the typed line end was not echoed either
        if (!read)
            return false;
    } else if (!std::getline(std::cin, line)) {
        return false;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// The password, or an empty text after telling why there is none.
std::string ReadPassword()
{
    const bool terminal = isatty(STDIN_FILENO) == 1;
    std::string password, again;
    if (!ReadLine("Password: ", terminal, password)) {
        std::cerr << "hash-password: no password on standard input" << std::endl;
        return std::string();
    }
    if (!MatchesWhole(password, PrintablePattern)) {
        std::cerr << "hash-password: a POP3 password is 1 to 32 printable characters" << std::endl;
        return std::string();
    }
    if (terminal && (!ReadLine("Again: ", terminal, again) || again != password)) {
        std::cerr << "hash-password: the passwords differ" << std::endl;
        return std::string();
    }
    return password;
}

}  // namespace

std::string AuthenticationElement(const std::string& method, const std::string& password)
{
    if (method == "argon2id")
        return Argon2Element(password);
    if (method == "sha1")
        return Sha1Element(password);
    throw CMessageException("Unknown hash method: '%s'", method.c_str());
}

int RunHashPassword(const std::string& method)
{
    try {
        const std::string password = ReadPassword();
        if (password.empty())
            return 1;
        std::cout << AuthenticationElement(method, password) << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "hash-password: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace Nerra
