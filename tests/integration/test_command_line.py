"""The binary's own sub-commands and options: --help, --version, usage errors, hash-password."""

import os
import pty
import select
import subprocess
import time
import unittest

from mailstore import RawClient, add_user, free_port
from service import BINARY, Service


def run(args, stdin=b""):
    return subprocess.run([BINARY] + args, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


class CommandLineTest(unittest.TestCase):
    def test_options_and_what_they_refuse(self):
        usage = b"Usage: nerra-mail-filter [--no-console] [CONFIG]\n"
        short = b"a POP3 password is 1 to 32 printable characters"
        for args, stdin, status, output, error in [
                (["--help"], b"", 0, usage, b""), (["hash-password", "--help"], b"", 0, usage, b""),
                (["--version"], b"", 0, b"Nerra Mail Filter 1.4, built Sep 13 2005 13:05:54\n", b""),
                (["--bogus"], b"pw\n", 2, b"", b"unknown option '--bogus'"),
                (["a.xml", "b.xml"], b"pw\n", 2, b"", b"unexpected argument 'b.xml'"),
                (["hash-password", "--method", "md5"], b"pw\n", 2, b"", b"unknown method 'md5'"),
                (["hash-password"], b"", 1, b"", b"no password on standard input"),
                (["hash-password"], b"\n", 1, b"", short), (["hash-password"], b"x" * 33 + b"\n", 1, b"", short)]:
            done = run(args, stdin)
            self.assertEqual(done.returncode, status, args)
            self.assertTrue(done.stdout.startswith(output) if output else done.stdout == b"", done.stdout)
            self.assertIn(error, done.stderr)
            self.assertEqual(b"Usage: " in done.stderr, status == 2)
        self.assertIn(b"hash-password [--method argon2id|sha1]", run(["--help"]).stdout)

    def converse(self, answers):
        """Runs hash-password on a terminal, answering its prompts; returns its status and output."""
        master, slave = pty.openpty()
        process = subprocess.Popen([BINARY, "hash-password", "--method", "sha1"], stdin=slave, stdout=slave,
                                   stderr=slave)
        os.close(slave)
        output, deadline = b"", time.time() + 60
        for prompt in (b"Password: ", b"Again: ", None):
            while (prompt is None or prompt not in output) and time.time() < deadline:
                if select.select([master], [], [], 0.5)[0]:
                    try:
                        output += os.read(master, 4096)
                    except OSError:  # the terminal is gone with the process
                        break
            if prompt:
                os.write(master, answers.pop(0))
        os.close(master)
        return process.wait(60), output

    def test_on_a_terminal_the_password_is_asked_twice_and_never_echoed(self):
        status, output = self.converse([b"s3cret\n", b"s3cret\n"])
        self.assertEqual(status, 0, output)
        self.assertRegex(output, rb'<authentication handler="hash" method="sha1" salt="[0-9a-f]{16}" '
                                 rb'hash="[0-9a-f]{40}"/>')
        self.assertNotIn(b"s3cret", output)
        status, output = self.converse([b"s3cret\n", b"s3cre7\n"])
        self.assertEqual(status, 1, output)
        self.assertIn(b"the passwords differ", output)

    def test_the_printed_element_pasted_into_user_xml_lets_that_password_only_log_in(self):
        port = free_port()
        service = Service(settings={"pop3-port": str(port)})
        self.addCleanup(service.close)
        for user, method in (("argon", "argon2id"), ("sha", "sha1")):
            done = run(["hash-password"] + (["--method", "sha1"] if method == "sha1" else []), b"Pa55-word\r\n")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn(b'method="%s"' % method.encode(), done.stdout)
            add_user(os.path.join(service.dir, "mail"), user, done.stdout.decode().strip())
        service.start().wait_for_log("started")
        for user in ("argon", "sha"):
            client = RawClient(port)
            self.addCleanup(client.close)
            client.line()
            accepted = b'+OK Username "%s" accepted, accessing "mail" mailbox\r\n' % user.encode()
            for request, reply in [("USER " + user, accepted), ("PASS pa55-word", b"-ERR [AUTH] Authentication failed\r\n"),
                                   ("USER " + user, accepted), ("PASS Pa55-word", b"+OK Mailbox ready\r\n")]:
                self.assertEqual(client.request(request), reply, (user, request))
        self.assertEqual(service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
