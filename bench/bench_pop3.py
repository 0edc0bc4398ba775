#!/usr/bin/python3
"""POP3 mailbox server throughput against Dovecot's, with the same client and messages.

Workloads: one poplib session retrieving a mailbox of 2,000 messages of 4 KiB, and one of
200 messages of 100 KiB; eight sessions at once on eight mailboxes; and login + STAT + QUIT
sessions per second. Every figure is also given as a ratio to Dovecot's in the same run.
"""

import multiprocessing
import os
import poplib
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))
import dovecot  # noqa: E402

sys.path.insert(0, HERE)
from bench_spool import write_config  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build-bench"))
BINARY = os.path.join(BUILD, "nerra-mail-filter")
USERS = ["u%d" % i for i in range(9)]
PASSWORD = "secret"

DOVECOT_CONFIG = (dovecot.CONFIG.replace("home={dir}/home", "home={dir}/home/%u")
                  .replace("maildir:{dir}/home/Maildir", "maildir:{dir}/home/%u/Maildir"))


def message(index, size):
    header = ("From: Sender <sender%d@example.com>\r\nTo: user@example.com\r\nSubject: message %d\r\n"
              "Message-ID: <%d@example.com>\r\n\r\n" % (index, index, index))
    line = "The quick brown fox jumps over the lazy dog and keeps on running far away.\r\n"
    return (header + line * ((size - len(header)) // len(line) + 1))[:size].encode()


def mailboxes():
    """Each user's mailbox content: u0 holds the small messages, u1 the large ones, the rest
    small ones for the concurrent workload."""
    small = [message(i, 4096) for i in range(2000)]
    large = [message(i, 102400) for i in range(200)]
    return {user: (large if user == "u1" else small) for user in USERS}


class Ours:
    def __init__(self, contents):
        self.dir = tempfile.mkdtemp(prefix="nerra-bench-pop3-")
        self.port = dovecot.free_port()
        for user, messages in contents.items():
            home = os.path.join(self.dir, "mail", user)
            for sub in ("mail", "spam", ".spool", ".raw"):
                os.makedirs(os.path.join(home, sub))
            shutil.copy(os.path.join(SOURCE, "examples/mail/demo/ruleset.xsd"), home)
            shutil.copy(os.path.join(SOURCE, "examples/mail/demo/ruleset.xml"), home)
            with open(os.path.join(home, "user.xml"), "w") as f:
                f.write('<user><pop3-server><authentication handler="plaintext" password="%s"/></pop3-server>'
                        '</user>' % PASSWORD)
            for i, data in enumerate(messages):
                path = os.path.join(home, "mail", "2026010100000%04d-0000000000000000-00000000.msg" % i)
                with open(path, "wb") as f:
                    f.write(data)
                os.utime(path, (1700000000 + i, 1700000000 + i))
        write_config(self.dir, spool_interval_sec="60", pop3_port=str(self.port),
                     incoming_connection_timeout_sec="600")
        self.proc = subprocess.Popen([BINARY, "config.xml"], cwd=self.dir, stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        dovecot.wait_until(lambda: self._listening(), 30, "the service to listen")

    def _listening(self):
        try:
            poplib.POP3("127.0.0.1", self.port, timeout=5).quit()
            return True
        except OSError:
            return False

    def close(self):
        self.proc.stdin.write(b"stop\n")
        self.proc.stdin.close()
        self.proc.wait(timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)


class Theirs:
    def __init__(self, contents):
        self.dir = tempfile.mkdtemp(prefix="nerra-bench-dovecot-")
        os.chmod(self.dir, 0o755)
        self.port = dovecot.free_port()
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            for user in contents:
                f.write("%s:{PLAIN}%s\n" % (user, PASSWORD))
        for user, messages in contents.items():
            maildir = os.path.join(self.dir, "home", user, "Maildir")
            for sub in ("new", "cur", "tmp"):
                os.makedirs(os.path.join(maildir, sub))
            for i, data in enumerate(messages):
                with open(os.path.join(maildir, "cur", "%d.M%dP1.bench:2,S" % (1700000000 + i, i)), "wb") as f:
                    f.write(data)
        for path, dirs, files in os.walk(os.path.join(self.dir, "home")):
            os.chown(path, dovecot.MAIL_UID, dovecot.MAIL_GID)
            for name in files:
                os.chown(os.path.join(path, name), dovecot.MAIL_UID, dovecot.MAIL_GID)
        config = os.path.join(self.dir, "dovecot.conf")
        with open(config, "w") as f:
            f.write(DOVECOT_CONFIG.format(dir=self.dir, port=self.port, uid=dovecot.MAIL_UID, gid=dovecot.MAIL_GID))
        self.proc = subprocess.Popen([dovecot.DOVECOT, "-F", "-c", config], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        dovecot.wait_until(lambda: Ours._listening(self), 30, "dovecot to listen")
        # Dovecot indexes a mailbox on first access: do it before anything is timed.
        for user in contents:
            retrieve_all(self.port, user, count_only=True)

    def close(self):
        tree = dovecot.process_tree(self.proc.pid)
        self.proc.terminate()
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            for pid in tree:
                try:
                    os.kill(pid, 9)
                except ProcessLookupError:
                    pass
        shutil.rmtree(self.dir, ignore_errors=True)


def retrieve_all(port, user, count_only=False):
    client = poplib.POP3("127.0.0.1", port, timeout=60)
    client.user(user)
    client.pass_(PASSWORD)
    count, _ = client.stat()
    octets = 0
    if not count_only:
        for number in range(1, count + 1):
            _, lines, size = client.retr(number)
            octets += size
    client.quit()
    return count, octets


def timed_retrieval(port, user):
    start = time.time()
    count, octets = retrieve_all(port, user)
    elapsed = time.time() - start
    return count / elapsed, octets / elapsed / 1e6


def _retrieve(args):
    return retrieve_all(*args)


def concurrent_retrieval(port):
    users = [u for u in USERS if u != "u1"]
    with multiprocessing.Pool(8) as pool:
        start = time.time()
        results = pool.map(_retrieve, [(port, user) for user in users])
        elapsed = time.time() - start
    count = sum(r[0] for r in results)
    return count / elapsed, sum(r[1] for r in results) / elapsed / 1e6


def logins_per_second(port, seconds=5.0):
    done, start = 0, time.time()
    while time.time() - start < seconds:
        client = poplib.POP3("127.0.0.1", port, timeout=30)
        client.user("u0")
        client.pass_(PASSWORD)
        client.stat()
        client.quit()
        done += 1
    return done / (time.time() - start)


def measure(server):
    small = timed_retrieval(server.port, "u0")
    large = timed_retrieval(server.port, "u1")
    concurrent = concurrent_retrieval(server.port)
    logins = logins_per_second(server.port)
    return {"4 KiB messages, one session (msg/s)": small[0], "4 KiB messages, one session (MB/s)": small[1],
            "100 KiB messages, one session (msg/s)": large[0], "100 KiB messages, one session (MB/s)": large[1],
            "8 sessions at once (msg/s)": concurrent[0], "8 sessions at once (MB/s)": concurrent[1],
            "login + STAT + QUIT (sessions/s)": logins}


def main():
    contents = mailboxes()
    results = {}
    for name, kind in (("ours", Ours), ("dovecot", Theirs)):
        server = kind(contents)
        try:
            results[name] = measure(server)
        finally:
            server.close()
    print("%-40s %10s %10s %7s" % ("workload", "ours", "dovecot", "ratio"))
    for key in results["ours"]:
        ours, theirs = results["ours"][key], results["dovecot"][key]
        print("%-40s %10.1f %10.1f %7.2f" % (key, ours, theirs, ours / theirs if theirs else float("nan")))


if __name__ == "__main__":
    main()
