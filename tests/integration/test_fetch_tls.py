"""Fetching over TLS from a private Dovecot, and the dialogue against a scripted server for
what Dovecot cannot be made to do (a session cut after its DELEs, XOAUTH2), through the whole process."""

import base64
import os
import shutil
import subprocess
import tempfile
import unittest

import tlscerts
from dovecot import Dovecot, wait_until
from fakepop3 import FakePOP3
import test_fetch
from test_fetch import message


def own_tests_only(cls):
    """Leaves out the tests a subclass of FetchTest would inherit."""
    for name in [n for n in dir(test_fetch.FetchTest) if n.startswith("test_")]:
        setattr(cls, name, None)
    return cls


@own_tests_only
class TlsFetchTest(tlscerts.CertificatesOnce, test_fetch.FetchTest):
    def setUp(self):
        self.server = Dovecot(certificates=self.certs).start()
        self.addCleanup(self.server.close)
        self.service = None
        self.attributes = ""

    def write_account(self, port):
        with open(os.path.join(self.user_dir, "user.xml"), "w") as f:
            f.write('<user><pop3-clients><pop3-client hostname="127.0.0.1" port="%d" username="bob" '
                    'password="c2VjcmV0" %s/></pop3-clients></user>' % (port, self.attributes))

    def fetch(self, port, attributes):
        self.attributes = attributes
        self.originals = [message("hello %d" % i) for i in range(3)]
        for text in self.originals:
            self.server.add_message(text)
        self.start_service(port=port)
        self.check_user()

    def assert_fetched(self):
        self.wait_for_fetch(len(self.originals), 0)
        self.assertEqual(self.filed("inbox"), sorted(self.originals))
        self.assertEqual(self.service.stop(), 0)

    def assert_refused(self, reason):
        self.service.wait_for_log("TLS with POP3 server at 127.0.0.1:", 60)
        self.assertTrue(any("ERROR" in l and reason in l for l in self.service.log()), reason)
        self.assertEqual(self.server.messages(), self.originals)
        self.assertEqual(self.files("inbox") + self.files(".raw"), [])
        self.assertEqual(self.service.stop(), 0)
        # No login was even tried.
        self.assertNotIn("user=<bob>", self.server.log().replace("user=<>", ""))

    def test_implicit_tls_checked_against_the_given_authority(self):
        self.fetch(self.server.pop3s_port, 'tls="implicit" ca-file="%s"' % self.certs.ca_file)
        self.assert_fetched()

    def test_starttls_on_the_plain_port(self):
        self.fetch(self.server.port, 'tls="starttls" ca-file="%s"' % self.certs.ca_file)
        self.assert_fetched()

    def test_a_pinned_certificate_needs_no_authority(self):
        self.fetch(self.server.pop3s_port, 'tls="implicit" fingerprint="%s"' % self.certs.fingerprint.upper()
                   .replace("SHA256:", "sha256:"))
        self.assert_fetched()

    def test_a_wrong_authority_is_refused_and_nothing_is_sent(self):
        self.fetch(self.server.pop3s_port, 'tls="implicit" ca-file="%s"' % self.certs.other_ca_file)
        self.assert_refused("certificate verify failed")

    def test_a_wrong_pin_is_refused(self):
        self.fetch(self.server.pop3s_port, 'tls="implicit" fingerprint="sha256:%s"' % ("ab" * 32))
        self.assert_refused("is not the pinned")

    def test_a_host_name_the_certificate_does_not_name_is_refused(self):
        # The same authority signs a certificate for another name only.
        run = lambda *args: subprocess.run(["openssl", *args], cwd=self.certs_dir, check=True,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run("req", "-new", "-subj", "/CN=mail.example", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-noenc", "-config", "openssl.cnf", "-keyout", "other.key", "-out", "other.csr")
        with open(os.path.join(self.certs_dir, "other.ext"), "w") as f:
            f.write("subjectAltName = DNS:mail.example\n")
        run("x509", "-req", "-days", "30", "-in", "other.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-set_serial", "3", "-extfile", "other.ext", "-out", "other.pem")
        self.server.close()
        self.server = Dovecot(certificates=self.certs._replace(
            certificate_file=os.path.join(self.certs_dir, "other.pem"),
            key_file=os.path.join(self.certs_dir, "other.key"))).start()
        self.addCleanup(self.server.close)
        self.fetch(self.server.pop3s_port, 'tls="implicit" ca-file="%s"' % self.certs.ca_file)
        self.assert_refused("mismatch")


@own_tests_only
class StartTlsRefusedTest(test_fetch.FetchTest):
    """tls="starttls" against a server that offers no STLS: nothing after CAPA."""

    def test_starttls_without_stls_on_offer_sends_no_password(self):
        originals = [message("one")]
        self.server.add_message(originals[0])
        self.start_service()
        with open(os.path.join(self.user_dir, "user.xml"), "w") as f:
            f.write('<user><pop3-clients><pop3-client hostname="127.0.0.1" port="%d" username="bob" '
                    'password="c2VjcmV0" tls="starttls"/></pop3-clients></user>' % self.server.port)
        self.check_user()
        self.service.wait_for_log("does not offer STLS, the mailbox is not fetched", 60)
        self.assertEqual(self.server.messages(), originals)
        self.assertEqual(self.service.stop(), 0)
        wait_until(lambda: "no auth attempts" in self.server.log(), 30, "Dovecot to log the session's end")


@own_tests_only
class ScriptedServerTest(test_fetch.FetchTest):
    """The dialogue against a scripted server."""

    def setUp(self):
        self.server = None
        self.service = None

    def start_fake(self, count=4, attributes="", **options):
        self.originals = [message("fake %d" % i) for i in range(count)]
        self.fake = FakePOP3([("uid-%d" % i, text) for i, text in enumerate(self.originals)], **options)
        self.addCleanup(self.fake.close)
        self.start_service(port=self.fake.port, **{"pop3-messages-per-sync": "2"})
        with open(os.path.join(self.user_dir, "user.xml"), "w") as f:
            f.write('<user><pop3-clients><pop3-client hostname="127.0.0.1" port="%d" username="bob" '
                    'password="c2VjcmV0" %s/></pop3-clients></user>' % (self.fake.port, attributes))
        self.check_user()

    def wait_until_empty(self):
        wait_until(lambda: not self.fake.messages and len(self.files("inbox")) == len(self.originals)
                   and not self.files(".raw"), 60, "the fake server to be emptied")
        self.assertEqual(self.filed("inbox"), sorted(self.originals))

    def test_a_session_cut_after_two_deles_files_nothing_twice(self):
        self.start_fake(hang_up_after_deles=2)
        self.service.wait_for_log("exception caught when processing 'CPOP3ClientConnection(alice, bob@127.0.0.1:%d)'"
                                  % self.fake.port, 60)
        self.assertEqual(len(self.fake.messages), 4)
        first = len(self.fake.commands)
        self.check_user()
        self.wait_until_empty()
        second = self.fake.commands[first:]
        self.assertEqual(second[:7], ["CAPA", "USER bob", "PASS secret", "STAT", "UIDL", "DELE 1", "DELE 2"])
        self.assertNotIn("RETR 1", second)
        self.assertNotIn("TOP 2 0", second)
        self.assertFalse([n for n in os.listdir(self.user_dir) if n.endswith(".uidl")])

    def test_xoauth2_sends_the_exact_sasl_string_from_the_password_command(self):
        certs_dir = tempfile.mkdtemp(prefix="nerra-certs-")
        self.addCleanup(shutil.rmtree, certs_dir, True)
        certs = tlscerts.make_certificates(certs_dir)
        expected = "user=bob\x01auth=Bearer ya29.token-of-the-day\x01\x01"
        self.start_fake(xoauth2=expected, certificates=certs,
                        attributes='tls="implicit" auth="xoauth2" ca-file="%s" '
                                   'password-command="echo ya29.token-of-the-day; echo ignored"' % certs.ca_file)
        self.wait_until_empty()
        self.assertEqual(self.fake.auth_strings, [expected])
        self.assertFalse(any("ya29" in line or base64.b64encode(expected.encode()).decode() in line
                             for line in self.service.log()))


if __name__ == "__main__":
    unittest.main()
