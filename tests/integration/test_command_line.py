"""The binary's own sub-commands and options: --help, --version, usage errors, hash-password."""

import os
import pty
import select
import subprocess
import time
import unittest

from mailstore import RawClient, add_user, free_port
from service import BINARY, Service

READY = b"+OK Mailbox ready\r\n"
FAILED = b"-ERR [AUTH] Authentication failed\r\n"


def run(args, stdin=b""):
    return subprocess.run([BINARY] + args, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


class OptionsTest(unittest.TestCase):
    def test_help_and_version(self):
        for args in (["--help"], ["hash-password", "--help"]):
            done = run(args)
            self.assertEqual(done.returncode, 0)
            self.assertTrue(done.stdout.startswith(b"Usage: nerra-mail-filter [--no-console] [CONFIG]\n"), done.stdout)
            self.assertIn(b"hash-password [--method argon2id|sha1]", done.stdout)
        done = run(["--version"])
        self.assertEqual((done.returncode, done.stdout), (0, b"Nerra Mail Filter 1.4, built Sep 13 2005 13:05:54\n"))

    def test_usage_errors_exit_2_and_start_nothing(self):
        for args, error in [(["--bogus"], b"unknown option '--bogus'"),
                            (["a.xml", "b.xml"], b"unexpected argument 'b.xml'"),
                            (["hash-password", "--method", "md5"], b"unknown method 'md5'")]:
            done = run(args, b"pw\n")
            self.assertEqual(done.returncode, 2, args)
            self.assertEqual(done.stdout, b"")
            self.assertIn(error, done.stderr)
            self.assertIn(b"Usage: ", done.stderr)

    def test_hash_password_refuses_what_no_client_could_send(self):
        for stdin, error in [(b"", b"no password on standard input"),
                             (b"\n", b"a POP3 password is 1 to 32 printable characters"),
                             (b"x" * 33 + b"\n", b"a POP3 password is 1 to 32 printable characters")]:
            done = run(["hash-password"], stdin)
            self.assertEqual((done.returncode, done.stdout), (1, b""), stdin)
            self.assertIn(error, done.stderr)


class HashPasswordTerminalTest(unittest.TestCase):
    """On a terminal the password is asked twice and never echoed."""

    def converse(self, answers):
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(BINARY, [BINARY, "hash-password", "--method", "sha1"])
        output = b""

        def read_until(token):
            nonlocal output
            deadline = time.time() + 60
            while token not in output and time.time() < deadline:
                if select.select([fd], [], [], 0.5)[0]:
                    try:
                        output += os.read(fd, 4096)
                    except OSError:  # the terminal is gone with the process
                        return

        for prompt, answer in zip((b"Password: ", b"Again: "), answers):
            read_until(prompt)
            os.write(fd, answer)
        read_until(b"\x00")  # everything up to the end of the process
        deadline = time.time() + 60
        ended, status = os.waitpid(pid, os.WNOHANG)
        while not ended and time.time() < deadline:
            time.sleep(0.05)
            ended, status = os.waitpid(pid, os.WNOHANG)
        if not ended:  # still waiting for input it will never get
            os.kill(pid, 9)
            status = os.waitpid(pid, 0)[1]
        os.close(fd)
        return os.waitstatus_to_exitcode(status), output

    def test_password_is_not_echoed(self):
        status, output = self.converse([b"s3cret\n", b"s3cret\n"])
        self.assertEqual(status, 0, output)
        self.assertRegex(output, rb'<authentication handler="hash" method="sha1" salt="[0-9a-f]{16}" hash="[0-9a-f]{40}"/>')
        self.assertNotIn(b"s3cret", output)
        status, output = self.converse([b"s3cret\n", b"s3cre7\n"])
        self.assertEqual(status, 1, output)
        self.assertIn(b"the passwords differ", output)


class HashPasswordLoginTest(unittest.TestCase):
    """The printed element, pasted into user.xml, lets a mail client log in with that password only."""

    def test_pasted_element_logs_in(self):
        port = free_port()
        service = Service(settings={"pop3-port": str(port)})
        self.addCleanup(service.close)
        mail = os.path.join(service.dir, "mail")
        for user, method in (("argon", "argon2id"), ("sha", "sha1")):
            args = ["hash-password"] + (["--method", method] if method != "argon2id" else [])
            done = run(args, b"Pa55-word\r\n")
            self.assertEqual(done.returncode, 0, done.stderr)
            element = done.stdout.decode().strip()
            self.assertIn('method="%s"' % method, element)
            add_user(mail, user, element)
        service.start()
        service.wait_for_log("started")
        for user in ("argon", "sha"):
            client = RawClient(port)
            self.addCleanup(client.close)
            client.line()
            accepted = b'+OK Username "%s" accepted, accessing "mail" mailbox\r\n' % user.encode()
            for request, reply in [("USER " + user, accepted), ("PASS pa55-word", FAILED),
                                   ("USER " + user, accepted), ("PASS Pa55-word", READY)]:
                self.assertEqual(client.request(request), reply, (user, request))
        self.assertEqual(service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
