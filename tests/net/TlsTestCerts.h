#pragma once

// Throwaway certificates for the TLS tests, made with the openssl command on first use and
// removed with their folder when the test process ends.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "TestUtil.h"

namespace NerraTest {

struct TlsTestCerts {
    std::string caFile;           // the authority that signed the server's certificate
    std::string certificateFile;  // the server's, for 127.0.0.1 and localhost
    std::string keyFile;
    std::string fingerprint;      // of the server's certificate, as openssl prints it: "sha256:AB:CD:..."
    std::string otherCaFile;      // an authority that signed nothing here
    std::string otherCaKeyFile;   // a well-formed key that belongs to no server certificate
    std::string selfSignedFile;   // for another name, elsewhere.example, signed by itself
    std::string selfSignedKeyFile;
    std::string selfSignedFingerprint;
};

namespace TlsTestDetail {

// Extensions as a real authority and server certificate carry them, so that chain and name
// checks pass or fail for the reason a test means.
constexpr const char* OPENSSL_CONFIG = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[self]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:elsewhere.example
)";

inline void Openssl(const TempDir& dir, const std::string& arguments, const std::string& output = "/dev/null")
{
    const std::string line = "cd '" + dir.Path() + "' && openssl " + arguments + " >" + output + " 2>/dev/null";
    EXPECT_EQ(std::system(line.c_str()), 0) << arguments;
}

// "sha256 Fingerprint=AB:CD:...\n" becomes "sha256:AB:CD:...".
inline std::string Fingerprint(const TempDir& dir, const std::string& file)
{
    Openssl(dir, "x509 -noout -fingerprint -sha256 -in " + file, file + ".sha256");
    const std::string text = ReadFile(dir / (file + ".sha256"));
    return "sha256:" + text.substr(text.find('=') + 1, text.find_last_not_of("\r\n") - text.find('='));
}

inline const std::string NEW_KEY = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -config openssl.cnf";

inline std::unique_ptr<TlsTestCerts> Make(const TempDir& dir)
{
    WriteFile(dir / "openssl.cnf", OPENSSL_CONFIG);
    auto certs = std::make_unique<TlsTestCerts>();
    for (const char* ca : {"ca", "other-ca"})
        Openssl(dir, std::string("req -x509 -days 3650 -extensions ca -subj '/CN=Nerra test ") + ca + "'" + NEW_KEY +
                         " -keyout " + ca + ".key -out " + ca + ".pem");
    Openssl(dir, "req -new -subj /CN=localhost" + NEW_KEY + " -keyout server.key -out server.csr");
    Openssl(dir, "x509 -req -days 3650 -in server.csr -CA ca.pem -CAkey ca.key -set_serial 2 "
                 "-extfile openssl.cnf -extensions server -out server.pem");
    Openssl(dir, "req -x509 -days 3650 -extensions self -subj /CN=elsewhere.example" + NEW_KEY +
                     " -keyout self.key -out self.pem");
    certs->caFile = dir / "ca.pem";
    certs->certificateFile = dir / "server.pem";
    certs->keyFile = dir / "server.key";
    certs->fingerprint = Fingerprint(dir, "server.pem");
    certs->otherCaFile = dir / "other-ca.pem";
    certs->otherCaKeyFile = dir / "other-ca.key";
    certs->selfSignedFile = dir / "self.pem";
    certs->selfSignedKeyFile = dir / "self.key";
    certs->selfSignedFingerprint = Fingerprint(dir, "self.pem");
    return certs;
}

}  // namespace TlsTestDetail

// The certificates, made once per test process.
inline const TlsTestCerts& TestCerts()
{
    static const TempDir dir;
    static const std::unique_ptr<TlsTestCerts> certs = TlsTestDetail::Make(dir);
    return *certs;
}

}  // namespace NerraTest
