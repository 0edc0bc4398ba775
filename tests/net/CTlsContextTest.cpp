#include <gtest/gtest.h>

#include "net/CTlsContext.h"
#include "net/NetTestUtil.h"
#include "net/TlsTestCerts.h"

using namespace Nerra;

TEST(CTlsContext, FilesThatCannotServeOrBeTrusted)
{
    const NerraTest::TlsTestCerts& certs = NerraTest::TestCerts();
    const NerraTest::TempDir dir;
    const std::string garbage = dir / "garbage.pem", missing = dir / "missing.pem";
    NerraTest::WriteFile(garbage, "not PEM at all\n");
    const std::string certificateUse = "SSL_CTX_use_certificate_chain_file('", keyUse = "SSL_CTX_use_PrivateKey_file('";
    const struct {
        std::string certificate, key, failure;
    } cases[] = {
        {missing, certs.keyFile, certificateUse + missing + "') failed: No such file or directory"},
        {garbage, certs.keyFile, certificateUse + garbage + "') failed: no start line"},
        {certs.certificateFile, missing, keyUse + missing + "') failed: No such file or directory"},
        {certs.certificateFile, garbage, keyUse + garbage + "') failed: "},  // the reason varies
        {certs.certificateFile, certs.otherCaKeyFile, keyUse + certs.otherCaKeyFile + "') failed: key values mismatch"},
    };
    for (const auto& c : cases)
        ExpectFailure([&] { CTlsContext::ForServer(c.certificate, c.key); }, c.failure, c.key == garbage);
    EXPECT_TRUE(CTlsContext::ForServer(certs.certificateFile, certs.keyFile)->IsServer());

    ExpectFailure([&] { CTlsContext::ForClient(missing); },
                  "SSL_CTX_load_verify_locations('" + missing + "') failed: No such file or directory");
    ExpectFailure([&] { CTlsContext::ForClient(garbage); },
                  "SSL_CTX_load_verify_locations('" + garbage + "') failed: no certificate or crl found");
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
