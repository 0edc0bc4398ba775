#include <gtest/gtest.h>

#include "net/CTlsContext.h"
#include "net/NetTestUtil.h"
#include "net/TlsTestCerts.h"

using namespace Nerra;

// A failure names the call and the file; the reason after it is OpenSSL's.
TEST(CTlsContext, FilesThatCannotServeOrBeTrusted)
{
    const NerraTest::TlsTestCerts& certs = NerraTest::TestCerts();
    const NerraTest::TempDir dir;
    const std::string missing = dir / "missing.pem";
    ExpectFailure([&] { CTlsContext::ForServer(missing, certs.keyFile); },
                  "SSL_CTX_use_certificate_chain_file('" + missing + "') failed: No such file or directory");
    ExpectFailure([&] { CTlsContext::ForServer(certs.certificateFile, certs.otherCaKeyFile); },
                  "SSL_CTX_use_PrivateKey_file('" + certs.otherCaKeyFile + "') failed: key values mismatch");
    EXPECT_TRUE(CTlsContext::ForServer(certs.certificateFile, certs.keyFile)->IsServer());
    ExpectFailure([&] { CTlsContext::ForClient(missing); },
                  "SSL_CTX_load_verify_locations('" + missing + "') failed: No such file or directory");
    EXPECT_FALSE(CTlsContext::ForClient(certs.caFile)->IsServer());
    EXPECT_FALSE(CTlsContext::ForClient()->IsServer());  // the system's store
}

TEST(CTlsContext, FingerprintForms)
{
    const std::string hex = "b6c3c9c1e0f60c0e180e1ccfe33df40282eef7ef658aa44660945ea604ea9bd7";
    const std::string normal = "sha256:" + hex;
    std::string colons = "SHA256:";
    for (size_t i = 0; i < hex.size(); i += 2)
        colons += (i ? ":" : "") + hex.substr(i, 2);
    for (char& c : colons)
        c = static_cast<char>(toupper(c));
    for (const std::string& form : {normal, colons, "Sha256:" + hex.substr(0, 10) + ":" + hex.substr(10)})
        EXPECT_EQ(CTlsContext::NormalizeFingerprint(form), normal) << form;

    for (const std::string& bad : {std::string(), std::string("sha256:"), hex, "sha1:" + hex.substr(0, 40),
                                   "sha256:" + hex.substr(1), "sha256:" + hex + "0", "sha256:" + hex.substr(1) + "g",
                                   "sha256::" + hex, "sha256:" + hex + ":", "sha256:" + hex.substr(0, 2) + "::" +
                                   hex.substr(2), "sha256:" + hex + "\n"})
        ExpectFailure([&] { CTlsContext::NormalizeFingerprint(bad); },
                      "Invalid certificate fingerprint '" + bad + "': expected \"sha256:\" and 64 hex digits");
}
