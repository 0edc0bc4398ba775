"""Hostile peers and odd mail stores against the whole process: nothing outside the mail
directory is read or written, no secret reaches the log, no client wears the service down."""

import base64
import concurrent.futures
import itertools
import os
import poplib
import random
import resource
import shutil
import socket
import struct
import tempfile
import threading
import time
import unittest

from mailstore import RawClient, add_message, add_user, free_port
from service import DEFAULT_SETTINGS, Service, config_xml, failed_start_up
from test_pipeline import ANY, MailStore, dispatch, message, rule, subject_is, write

GREETING = b"+OK Nerra Mail Filter 1.4, built Sep 13 2005 13:05:54\r\n"


def wait_until(condition, limit=20):
    deadline = time.time() + limit
    while not condition():
        if time.time() > deadline:
            return False
        time.sleep(0.05)
    return True


def lines_naming(service, text):
    return [line for line in service.log() if text in line]


def sanitized(pid):
    """Whether the process runs with a sanitizer, whose memory and descriptor use is its own."""
    with open("/proc/%d/maps" % pid) as f:
        maps = f.read()
    return any(name in maps for name in ("libasan", "libubsan", "libtsan"))


def usage(pid):
    """The process's resident memory (kB), threads and open descriptors."""
    with open("/proc/%d/status" % pid) as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    return {"rss_kb": int(status["VmRSS"].split()[0]), "threads": int(status["Threads"]),
            "descriptors": len(os.listdir("/proc/%d/fd" % pid))}


def login_reply(port, user, password="pw"):
    """The server's answer to USER and PASS, whatever it is."""
    client = poplib.POP3("127.0.0.1", port, timeout=30)
    try:
        client.user(user)
        return client.pass_(password)
    except poplib.error_proto as error:
        return error.args[0]
    finally:
        client.close()


def account(password_element, clients=()):
    """A user.xml with a POP3 password and remote mailboxes given as (port, user name, password bytes)."""
    entries = "".join('<pop3-client hostname="127.0.0.1" port="%d" username="%s" password="%s"/>'
                      % (port, user, base64.b64encode(password).decode()) for port, user, password in clients)
    return "<user><pop3-server>%s</pop3-server><pop3-clients>%s</pop3-clients></user>" % (password_element, entries)


class EchoingPOP3Server:
    """A remote POP3 server that notes every line it gets and repeats a password in its refusal."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sessions = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.sessions.append([])
            threading.Thread(target=self._serve, args=(connection, self.sessions[-1]), daemon=True).start()

    def _serve(self, connection, lines):
        with connection:
            connection.sendall(b"+OK ready\r\n")
            for line in connection.makefile("rb"):
                lines.append(line.rstrip(b"\r\n"))
                if line.upper().startswith(b"PASS "):
                    return connection.sendall(b"-ERR no such password: " + line[5:])
                connection.sendall(b"-ERR\r\n" if line.upper().startswith(b"CAPA") else b"+OK\r\n")


class StoreCase(unittest.TestCase):
    """A service with a POP3 port of its own, and a directory outside its mail directory."""

    settings = {}

    def setUp(self):
        self.port = free_port()
        self.service = Service(settings=dict(self.settings, **{"pop3-port": str(self.port)}))
        self.addCleanup(self.service.close)
        self.root = os.path.join(self.service.dir, "mail")
        self.outside = tempfile.mkdtemp(prefix="nerra-outside-")
        self.addCleanup(shutil.rmtree, self.outside, True)
        self.secret = os.path.join(self.outside, "secret.txt")
        write(self.secret, b"Subject: secret\r\n\r\nnot for mail clients\r\n")

    def start(self):
        self.service.start()
        self.service.wait_for_log("started")


class MailStoreTest(StoreCase):
    def test_only_regular_files_inside_the_mail_directory_are_read_and_whole_values_matched(self):
        # Rules see whole header values: "a+" must not match 5,000 "a" and a "!".
        alice = MailStore(self.root, rules=rule(subject_is("work.*"), dispatch("work"))
                          + rule(subject_is("a+"), dispatch("lists")) + rule(ANY, dispatch("mail")))
        spool = os.path.join(alice.dir, ".spool")
        os.symlink(self.secret, os.path.join(spool, "link.eml"))
        os.symlink("/dev/zero", os.path.join(spool, "zero.eml"))
        os.mkfifo(os.path.join(spool, "pipe.eml"))
        os.symlink(self.secret, os.path.join(alice.dir, "mail", "link.msg"))
        os.rmdir(os.path.join(alice.dir, "work"))
        os.symlink(self.outside, os.path.join(alice.dir, "work"))
        bob = MailStore(self.root, "bob")
        os.remove(os.path.join(bob.dir, "user.xml"))
        os.mkfifo(os.path.join(bob.dir, "user.xml"))
        eve = MailStore(self.outside, "eve")  # a user directory that leads out
        os.symlink(eve.dir, os.path.join(self.root, "eve"))
        eve.spool("m.eml", message("hello"))
        self.start()
        good = [message("hello"), message("a" * 5000 + "!")]
        for i, content in enumerate(good):
            alice.spool("good%d.eml" % i, content)
        alice.spool("w.eml", message("work plan"))
        bob.spool("m.eml", message("hello"))
        alice.wait_for("mail", 3)
        self.service.wait_for_log("failed to move file")
        time.sleep(3)  # a few more spooling runs, which must not log the odd files again
        self.assertEqual(alice.files(".spool"), ["link.eml", "pipe.eml", "zero.eml"])
        self.assertEqual(alice.files("lists") + bob.files(".spool"), ["m.eml"])
        self.assertEqual(eve.files(".spool") + eve.files("mail"), ["m.eml"])
        self.assertEqual(sorted(os.listdir(self.outside)), ["eve", "secret.txt"])
        client = poplib.POP3("127.0.0.1", self.port, timeout=30)
        client.user("alice")
        client.pass_("pw")
        self.assertEqual(client.stat(), (2, sum(map(len, good))))  # the link is not served
        client.quit()
        self.assertEqual(login_reply(self.port, "eve"), b"-ERR [AUTH] Authentication failed")
        self.assertEqual(login_reply(self.port, "alice/work"), b"-ERR [SYS/PERM] Unable to lock mailbox")
        for name in ("link.eml", "zero.eml", "pipe.eml", "link.msg", "mail/bob/user.xml"):
            self.assertEqual(len(lines_naming(self.service, name)), 1, name)
        self.service.wait_for_log("'mail/alice/work' leads outside the mail directory")
        self.assertEqual(self.service.stop(), 0)


class SecretsTest(StoreCase):
    def test_no_password_reaches_the_log_nor_a_command_a_remote_server(self):
        remote = EchoingPOP3Server()
        self.addCleanup(remote.listener.close)
        write(os.path.join(MailStore(self.root, "mallory").dir, "user.xml"),
              account('<authentication handler="plaintext" password="Xml-Secret-1"/><broken>'))
        write(os.path.join(MailStore(self.root, "trent").dir, "user.xml"), account('<authentication handler="bogus"/>'))
        # Remote credentials with a line break are refused; a refusal that echoes the password is masked.
        write(os.path.join(MailStore(self.root).dir, "user.xml"), account(
            '<authentication handler="plaintext" password="pw"/>',
            [(remote.port, "bob", b"pw\r\nDELE 1\r\nQUIT"), (remote.port, "bob&#10;DELE 1", b"pw"),
             (remote.port, "bob", b"Remote-Secret-6")]))
        self.start()
        self.assertEqual(login_reply(self.port, "mallory"), b"-ERR [AUTH] Authentication failed")
        # A broken handler fails the login, and the log says why.
        for request in [b"PASS\tTab-Secret-2", b"pass\x0bVt-Secret-3", b" \x0cPASS  Ff-Secret-4"]:
            client = RawClient(self.port)
            client.line()
            client.request("USER trent")
            client.send(request + b"\r\n")
            self.assertEqual(client.line(), b"-ERR [SYS/PERM] Unable to check the password\r\n", request)
            client.close()
        self.service.wait_for_log("CheckPOP3Login('trent'): login from 127.0.0.1 failed")
        self.assertEqual(self.service.command("check user alice"), "ok")
        self.service.wait_for_log("replied with '-ERR no such password: ********'")
        self.assertEqual(remote.sessions, [[b"CAPA", b"USER bob", b"PASS Remote-Secret-6"]])
        self.assertEqual(len(lines_naming(self.service, "is skipped: The user name or password for")), 2)
        self.assertEqual(self.service.stop(), 0)
        for secret in ("Xml-Secret-1", "Tab-Secret-2", "Vt-Secret-3", "Ff-Secret-4", "Remote-Secret-6"):
            self.assertFalse(lines_naming(self.service, secret), secret)


class ConnectionLimitTest(StoreCase):
    settings = {"pop3-max-connections": "3"}

    def greeted(self):
        client = RawClient(self.port)
        try:
            return client.line() == GREETING
        finally:
            client.close()

    def test_clients_past_the_limit_are_told_to_come_back_later(self):
        MailStore(self.root)
        self.start()
        held = [RawClient(self.port) for _ in range(4)]
        for client in held:
            self.addCleanup(client.close)
        self.assertEqual([client.line() for client in held],
                         [GREETING] * 3 + [b"-ERR [SYS/TEMP] Too many connections\r\n"])
        self.assertTrue(held[3].closed_by_server())
        self.assertEqual(held[0].request("QUIT"), b"+OK Closing connection\r\n")
        self.assertTrue(wait_until(self.greeted))
        self.assertEqual(self.service.stop(), 0)


class DescriptorShortageTest(StoreCase):
    def test_running_out_of_descriptors_pauses_accepting_but_keeps_the_port_open(self):
        MailStore(self.root)
        self.start()
        pid = self.service.proc.pid
        if sanitized(pid):  # UBSan checks memory through a pipe: without a descriptor free, it reports errors
            self.skipTest("the sanitizer runtime needs descriptors of its own")
        limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        used = {int(name) for name in os.listdir("/proc/%d/fd" % pid)}
        # Descriptors are numbered from the lowest free one: below that number, none is free.
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (next(n for n in itertools.count() if n not in used), limits[1]))
        try:
            waiting = [socket.create_connection(("127.0.0.1", self.port), timeout=20)]
            self.service.wait_for_log("accept() failed with WSAGetLastError=24")
            waiting.append(socket.create_connection(("127.0.0.1", self.port), timeout=20))
        finally:
            resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
        for client in waiting:
            with client:
                self.assertEqual(client.makefile("rb").readline(), GREETING)
        self.assertEqual(self.service.stop(), 0)


class FailedLoginTest(StoreCase):
    settings = {"worker-threads-per-pool": "1"}

    def test_refusals_come_late_without_holding_the_thread_and_unknown_names_are_not_loaded(self):
        MailStore(self.root)
        self.start()
        clients = [RawClient(self.port) for _ in range(10)]
        for i, client in enumerate(clients):
            self.addCleanup(client.close)
            client.line()
            client.request("USER " + ("alice" if i % 2 else "ghost%d" % i))
        started = time.time()
        for client in clients:
            client.send(b"PASS wrong\r\n")
        for client in clients:
            self.assertEqual(client.line(), b"-ERR [AUTH] Authentication failed\r\n")
            self.assertGreaterEqual(time.time() - started, 1.5)
        # The one network thread would need 20 s if each refusal held it for its delay.
        self.assertLess(time.time() - started, 10)
        self.assertFalse(lines_naming(self.service, "ghost0/user.xml"))
        self.assertEqual(self.service.stop(), 0)


class SettingsTest(unittest.TestCase):
    def test_a_bad_number_ends_start_up_naming_the_setting_its_value_and_the_range(self):
        timeout, work, sleep = "incoming-connection-timeout-sec", "parallel-worker-thread-work-ms", \
            "parallel-worker-thread-sleep-ms"
        for name, value, top in [(timeout, "-1", 86400), (timeout, "2147483648", 86400), (timeout, None, 86400),
                                 (timeout, "99999999999999999999", 86400), (work, "-5", 60000), (sleep, "1e3", 60000)]:
            settings = {key: text for key, text in dict(DEFAULT_SETTINGS, **{name: value}).items() if text is not None}
            error = "Missing value of %s" % name if value is None else "Invalid value of %s: '%s'" % (name, value)
            self.assertIn("ERROR main(): %s, must be a whole number from 1 to %d" % (error, top),
                          failed_start_up(config_xml(settings))[-1])


class HostileSessions:
    """The kinds of session a hostile or broken client holds, a few hundred in all. A session may
    be cut off at any point, but not left waiting: every reply or close comes in time."""

    def __init__(self, port, seed):
        self.port, self.rng = port, random.Random(seed)

    @staticmethod
    def replies(client, *requests):
        """Sends each request and checks that its one-line reply is a POP3 status."""
        for request in requests:
            client.send(request + b"\r\n")
            assert client.line().startswith((b"+OK", b"-ERR ")), request

    def garbage(self, client):
        data = bytes(self.rng.randrange(256) for _ in range(self.rng.randrange(1000, 20000)))
        client.send(data.replace(b"\n", b"\r\n") + b"\r\n")

    def overlong_lines(self, client):
        self.replies(client, b"USER " + b"a" * 100000, b"X" * 5000)
        client.send(b"B" * (2 * 1024 * 1024))  # no line end: beyond what the server buffers

    def trickle(self, client):
        for byte in b"USER victim1\r\n":  # each byte is activity, but the line takes longer than the time-out
            client.send(bytes([byte]))
            time.sleep(0.4)
        assert client.sock.recv(100) == b"", "a trickled line was served"

    def idle(self, client):
        while client.sock.recv(100):
            pass

    def reset(self, client):
        client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def burst(self, client):
        client.send(b"NOOP\r\n" * 2000 + b"USER x\r\n" * 100 + b"RETR 1\r\n" * 100)

    def half_close(self, client):
        client.send(b"USER victim2\r\nPASS pw\r\nSTAT\r\nLIST\r\n")
        client.sock.shutdown(socket.SHUT_WR)
        self.idle(client)

    def plan(self):
        victim = lambda: b"USER victim%d" % self.rng.randrange(4)  # noqa: E731
        counts = {
            self.garbage: 40, self.overlong_lines: 20, self.trickle: 15, self.idle: 15, self.reset: 40,
            self.burst: 20, self.half_close: 20,
            # NUL bytes; commands out of their state; huge numbers; wrong passwords; a retrieval dropped midway.
            lambda c: self.replies(c, b"\0", b"USER \0", b"USER vic\0tim0", b"PASS \0\0", b"\0QUIT",
                                   b"US\0ER victim0"): 30,
            lambda c: self.replies(c, b"RETR 1", b"STAT", b"DELE 1", b"PASS pw", b"USER victim0", b"USER victim0",
                                   b"PASS x", b"TOP 1 1", b"NOOP", b"LAST", b"RSET"): 40,
            lambda c: self.replies(c, victim(), b"PASS pw", b"RETR 99999999999999999999", b"TOP 1 99999999999999999999",
                                   b"LIST 4294967297", b"DELE -1", b"TOP 1 -5", b"RETR 0", b"LIST 00000001",
                                   b"TOP 99999999 0", b"DELE 1 2", b"RSET x", b"QUIT"): 30,
            lambda c: self.replies(c, b"USER victim3", b"PASS wrong", b"USER nobody%d" % self.rng.randrange(10 ** 6),
                                   b"PASS wrong"): 20,
            lambda c: self.replies(c, victim(), b"PASS pw", b"RETR 1"): 10}
        sessions = [kind for kind, count in counts.items() for _ in range(count)]
        self.rng.shuffle(sessions)
        return sessions

    def run(self, kind):
        client = RawClient(self.port)
        try:
            client.sock.settimeout(15)
            if kind != self.reset:
                assert client.line().startswith(b"+OK ")
            kind(client)
        except socket.timeout:
            raise
        except (OSError, EOFError):
            pass  # the server may cut a hostile client off at any point
        finally:
            client.close()


class HostileSessionTest(StoreCase):
    # Short, so that trickling and idle clients are cut off while the test runs.
    settings = {"incoming-connection-timeout-sec": "3"}

    def serve(self, user, done):
        """Logs in as a good client and retrieves every message, round after round until done is set."""
        for rounds in itertools.count(1):
            # The mailbox is free once the previous session has gone, just after QUIT.
            wait_until(lambda: not os.path.exists(os.path.join(self.root, user, "mail", ".lock")))
            client = poplib.POP3("127.0.0.1", self.port, timeout=30)
            client.user(user)
            client.pass_("pw")
            self.assertEqual(client.stat()[0], len(self.texts[user]), user)
            for number, text in enumerate(self.texts[user], 1):
                self.assertEqual(b"\r\n".join(client.retr(number)[1]) + b"\r\n", text, user)
            client.quit()
            if done.is_set():
                return rounds

    def test_good_clients_are_served_throughout_and_resources_stay_flat(self):
        self.texts = {}
        for user in ["%s%d" % (prefix, i) for i in range(4) for prefix in ("good", "victim")]:
            add_user(self.root, user, '<authentication handler="plaintext" password="pw"/>')
            self.texts[user] = [b"Subject: %s %d\r\n\r\n.dot\r\n" % (user.encode(), n)
                                + b"".join(b"%s line %05d\r\n" % (user.encode(), k) for k in range(n * 1000))
                                for n in range(1, 4)]
            for number, text in enumerate(self.texts[user], 1):
                add_message(self.root, user, "mail", "%d.msg" % number, text, number)
        self.start()
        pid = self.service.proc.pid
        once, done, good = threading.Event(), threading.Event(), ["good%d" % i for i in range(4)]
        once.set()
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            list(pool.map(self.serve, good, [once] * 4))  # a round before measuring
            before = usage(pid)
            served = [pool.submit(self.serve, user, done) for user in good]
            hostile = HostileSessions(self.port, 20051213)
            started = time.time()
            try:
                with concurrent.futures.ThreadPoolExecutor(24) as hostile_pool:
                    sessions = list(hostile_pool.map(hostile.run, hostile.plan()))
            finally:
                done.set()  # a hostile session that fails the test must not leave the good ones running
            took = time.time() - started
            rounds = sum(future.result() for future in served)
        self.service.wait_for_log("Request line not completed within 3 seconds")
        wait_until(lambda: usage(pid)["descriptors"] <= before["descriptors"], 30)
        after = usage(pid)
        print("\n%d hostile sessions in %.1f s beside %d good ones; RSS %d -> %d kB, threads %d -> %d, "
              "descriptors %d -> %d" % (len(sessions), took, rounds, before["rss_kb"], after["rss_kb"],
                                        before["threads"], after["threads"], before["descriptors"],
                                        after["descriptors"]))
        self.assertEqual(after["threads"], before["threads"])
        self.assertLessEqual(after["descriptors"], before["descriptors"])
        if not sanitized(pid):  # a sanitizer keeps freed memory in quarantine
            self.assertLess(after["rss_kb"] - before["rss_kb"], 64 * 1024)
        self.assertEqual(self.service.command("noop"), "ok")
        self.assertEqual(self.service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
