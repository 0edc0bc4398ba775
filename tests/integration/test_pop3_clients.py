"""The POP3 server of the real process with real mail clients: poplib in plain text, with STLS
and over implicit TLS, curl, fetchmail and openssl s_client, each checked byte for byte."""

import os
import poplib
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

import tlscerts
from mailstore import RawClient, add_message, add_user, free_port
from service import Service

FIRST = b"From: a@example.org\r\nSubject: one\r\n\r\nfirst body\r\n.dot line\r\n"
SECOND = b"Subject: two\n\nbare line ends\n"
THIRD = b"Subject: three\r\n\r\nthird\r\n"
READY = b"+OK Mailbox ready"


def joined(lines):
    return b"\r\n".join(lines) + b"\r\n"


class ClientsCase(tlscerts.CertificatesOnce, unittest.TestCase):
    settings = {}

    def setUp(self):
        self.port, self.tls_port = free_port(), free_port()
        settings = {"pop3-port": str(self.port), "pop3s-port": str(self.tls_port),
                    "pop3-tls-certificate-file": self.certs.certificate_file,
                    "pop3-tls-key-file": self.certs.key_file}
        settings.update(self.settings)
        self.service = Service(settings=settings)
        self.addCleanup(self.service.close)
        self.mail = os.path.join(self.service.dir, "mail")
        add_user(self.mail, "alice", '<authentication handler="plaintext" password="secret"/>')
        self.paths = [add_message(self.mail, "alice", "mail", "%d.msg" % i, content, i)
                      for i, content in enumerate((FIRST, SECOND))]
        self.service.start()
        self.service.wait_for_log("main(): Nerra Mail Filter")
        self.context = ssl.create_default_context(cafile=self.certs.ca_file)

    def login(self, client, user="alice", password="secret"):
        self.addCleanup(client.close)
        client.user(user)
        self.assertEqual(client.pass_(password), READY)
        return client

    def curl(self, scheme, port, path="", *args):
        return subprocess.run(["curl", "-s", "-S", "--max-time", "30", "--cacert", self.certs.ca_file] + list(args) +
                              ["%s://alice:secret@localhost:%d/%s" % (scheme, port, path)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, check=True).stdout


class PoplibAndCurlTest(ClientsCase):
    def test_plain_sizes_as_sent(self):
        client = self.login(poplib.POP3("127.0.0.1", self.port, timeout=20))
        # LIST and RETR count what goes on the wire, bare line ends and all.
        for number, content in ((1, FIRST), (2, SECOND)):
            reply, lines, octets = client.retr(number)
            self.assertEqual(joined(lines), content.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))
            self.assertEqual(client.list(number), b"+OK %d %d" % (number, len(joined(lines))))
        client.quit()

    def test_stls_and_implicit_tls(self):
        starttls = poplib.POP3("127.0.0.1", self.port, timeout=20)
        starttls.stls(self.context)
        self.assertNotIn("STLS", starttls.capa())
        self.login(starttls)
        self.assertEqual(joined(starttls.retr(1)[1]), FIRST)
        starttls.quit()
        implicit = poplib.POP3_SSL("localhost", self.tls_port, context=self.context, timeout=20)
        self.assertTrue(implicit.getwelcome().startswith(b"+OK Nerra Mail Filter"))
        self.login(implicit)
        self.assertEqual(joined(implicit.retr(1)[1]), FIRST)
        implicit.quit()

    def test_curl_over_plain_stls_and_implicit_tls(self):
        # curl logs in with AUTH PLAIN, which CAPA offers.
        self.assertEqual(self.curl("pop3", self.port, "1"), FIRST)
        self.assertEqual(self.curl("pop3", self.port, "1", "--ssl-reqd"), FIRST)
        self.assertEqual(self.curl("pop3s", self.tls_port, "2"), SECOND.replace(b"\n", b"\r\n"))
        self.assertEqual(self.curl("pop3s", self.tls_port, "", "-X", "UIDL"), b"1 0\r\n2 1\r\n")

    def test_openssl_s_client_starttls(self):
        dialogue = b"USER alice\r\nPASS secret\r\nRETR 1\r\nQUIT\r\n"
        result = subprocess.run(["openssl", "s_client", "-starttls", "pop3", "-connect", "127.0.0.1:%d" % self.port,
                                 "-CAfile", self.certs.ca_file, "-verify_return_error", "-quiet", "-crlf"],
                                input=dialogue.replace(b"\r\n", b"\n"), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=60)
        self.assertIn(b"+OK Mailbox ready\r\n+OK %d octet(s)\r\n%s..dot line\r\n.\r\n+OK Closing connection\r\n"
                      % (len(FIRST), FIRST[:-11]), result.stdout)

    def test_a_failed_handshake_ends_that_connection_only(self):
        with socket.create_connection(("127.0.0.1", self.tls_port), timeout=20) as plain:
            plain.sendall(b"USER alice\r\n\r\n" * 100)
            try:
                while plain.recv(4096):
                    pass
            except ConnectionResetError:
                pass
        self.service.wait_for_log("WARNING CPOP3ServerConnection::Process(): TLS handshake with 127.0.0.1 failed: ")
        client = poplib.POP3_SSL("localhost", self.tls_port, context=self.context, timeout=20)
        self.login(client).quit()


class FetchmailTest(ClientsCase):
    def fetch(self, keep):
        with open(self.rc, "w") as f:
            f.write('poll localhost protocol pop3 port %d timeout 30 uidl\n  user "alice" password "secret"\n'
                    '  sslcertck sslcertfile "%s"\n  mda "/bin/sh -c \'cat > %s/$$.msg\'"\n  %s\n'
                    % (self.port, self.certs.ca_file, self.delivered, "keep" if keep else "fetchall nokeep"))
        os.chmod(self.rc, 0o600)
        result = subprocess.run(["fetchmail", "-f", self.rc, "--nosyslog", "--idfile", os.path.join(self.root, "ids"),
                                 "--pidfile", os.path.join(self.root, "pid")], cwd=self.root, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120,
                                env=dict(os.environ, HOME=self.root, FETCHMAILHOME=self.root))
        self.assertIn(result.returncode, (0, 1), result.stdout.decode("latin-1"))  # 1: no new mail
        bodies = []
        for name in sorted(os.listdir(self.delivered)):
            with open(os.path.join(self.delivered, name), "rb") as f:
                bodies.append(f.read())
            os.remove(os.path.join(self.delivered, name))
        return bodies

    def test_keep_with_ids_then_nokeep(self):
        self.root = tempfile.mkdtemp(prefix="nerra-it-fetchmail-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.rc, self.delivered = os.path.join(self.root, "fetchmailrc"), os.path.join(self.root, "delivered")
        os.makedirs(self.delivered)
        # fetchmail upgrades to TLS with STLS, as it does by default when offered, and adds
        # its own header to what it delivers.
        first = self.fetch(keep=True)
        self.assertEqual(len(first), 2)
        self.assertTrue(any(body.endswith(FIRST.split(b"\r\n\r\n", 1)[1].replace(b"\r\n", b"\n")) for body in first))
        self.assertEqual(self.fetch(keep=True), [])
        add_message(self.mail, "alice", "mail", "2.msg", THIRD, 5)
        third = self.fetch(keep=True)
        self.assertEqual(len(third), 1)
        self.assertTrue(third[0].endswith(b"\nthird\n"))
        self.assertTrue(all(os.path.exists(path) for path in self.paths))
        # Without keep, every message fetched is deleted, and QUIT has removed its file.
        self.assertEqual(len(self.fetch(keep=False)), 3)
        self.assertEqual(os.listdir(os.path.join(self.mail, "alice", "mail")), [])


class QuitAndLoginTest(ClientsCase):
    def test_a_thousand_quits_each_followed_by_a_login(self):
        refused = 0
        for _ in range(1000):
            client = RawClient(self.port)
            client.line()
            client.request("USER alice")
            if not client.request("PASS secret").startswith(b"+OK"):
                refused += 1
            client.request("QUIT")
            client.close()
        self.assertEqual(refused, 0)


class WaitingLoginTest(ClientsCase):
    settings = {"worker-threads-per-pool": "1"}

    def test_a_locked_account_holds_up_only_its_own_login(self):
        add_user(self.mail, "bob", '<authentication handler="plaintext" password="pw"/>')
        self.assertEqual(self.service.command("lock user bob"), "ok")
        waiting = RawClient(self.port)
        self.addCleanup(waiting.close)
        waiting.line()
        waiting.request("USER bob")
        waiting.send(b"PASS pw\r\n")
        asked = time.monotonic()
        # The only network worker serves alice meanwhile.
        client = poplib.POP3("127.0.0.1", self.port, timeout=20)
        self.login(client)
        self.assertEqual(joined(client.retr(1)[1]), FIRST)
        client.quit()
        unlocked_after = time.monotonic() - asked
        self.assertEqual(self.service.command("unlock user bob"), "ok")
        reply = waiting.line()
        # On a machine slow enough that alice took the whole bound, bob's wait has ended first.
        if unlocked_after < 9:
            self.assertEqual(reply, b"+OK Mailbox ready\r\n")
        else:
            self.assertIn(reply, (b"+OK Mailbox ready\r\n", b"-ERR [SYS/TEMP] Account is being updated, try again\r\n"))

    def test_an_account_locked_for_long_is_refused_for_now(self):
        self.assertEqual(self.service.command("lock user alice"), "ok")
        client = RawClient(self.port)
        self.addCleanup(client.close)
        client.line()
        client.request("USER alice")
        self.assertEqual(client.request("PASS secret"), b"-ERR [SYS/TEMP] Account is being updated, try again\r\n")
        self.assertEqual(self.service.command("unlock user alice"), "ok")
        self.assertEqual(client.request("USER alice")[:3], b"+OK")
        self.assertEqual(client.request("PASS secret"), b"+OK Mailbox ready\r\n")


if __name__ == "__main__":
    unittest.main()
