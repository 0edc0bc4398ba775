#!/usr/bin/python3
"""Mail fetched per second from a local Dovecot through the whole road, against fetchmail.

2,000 messages of 4 KiB wait on the server. Ours fetches them with `check user`, filters each
header through a 20-rule regex rule set, downloads, flushes and files the message and deletes
it on the server. fetchmail fetches the same messages from the same server and hands each to a
trivial delivery command that writes it into a file.

Each side runs twice: in plain text, then over implicit TLS from a Dovecot with a certificate
of a test authority that both clients are given to check it against. The cost of TLS is the
plain rate over the TLS rate. Ours is given tls="implicit" and the authority as ca-file;
fetchmail "ssl sslcertck" and the same authority. A side that stops filing for a while is
reported as failed; ours over TLS reads "n/a" when it filed nothing at all (its log then says
why the handshake or the check failed).
"""

import base64
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))
sys.path.insert(0, HERE)
import dovecot  # noqa: E402
import tlscerts  # noqa: E402
from bench_spool import filed, make_user, write_config  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build-bench"))
BINARY = os.path.join(BUILD, "nerra-mail-filter")
COUNT = 2000
STALL = 20  # seconds without a new message filed before a side is given up
TARGET = 3  # ours over fetchmail's rate, on both rows


class NotOffered(Exception):
    """The client did not fetch anything: it does not (yet) speak what the row needs."""


class Stalled(Exception):
    """Fewer messages arrived than were sent: `seen` of them."""

    def __init__(self, seen, text):
        super().__init__(text)
        self.seen = seen


def message(i):
    header = ("Received: from relay%d.example.net by mx.example.com; Mon, 7 Dec 2026 10:00:00 +0000\r\n"
              "From: Sender <sender%d@host.example.com>\r\nTo: bob@example.com\r\nSubject: message %d\r\n"
              "Message-ID: <%d@example.com>\r\n\r\n" % (i % 50, i, i, i))
    line = "The quick brown fox jumps over the lazy dog and keeps on running far away.\r\n"
    return (header + line * 60)[:4096].encode()


def filled_server(certificates):
    server = dovecot.Dovecot(certificates=certificates)
    for i in range(COUNT):
        server.add_message(message(i))
    # The filling's write-back would otherwise land on whichever side runs next: every file
    # either side creates then waits behind it.
    os.sync()
    return server.start()


def wait_for(count, what, proc):
    """Waits until count() reaches COUNT; gives up when proc ends first or count() stays the
    same for STALL seconds."""
    seen, since = 0, time.time()
    while seen < COUNT:
        time.sleep(0.02)
        ended = proc.poll() is not None
        now = count()
        if now != seen:
            seen, since = now, time.time()
        elif ended or time.time() - since > STALL:
            raise Stalled(seen, "%d of %d messages %s, then %s" % (
                seen, COUNT, what, "the process ended" if ended else "none for %d s" % STALL))


def stop(proc):
    try:
        proc.stdin.write(b"stop\n")
        proc.stdin.close()
        proc.wait(timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        proc.kill()
        proc.wait()


def log_tail(path, lines=5):
    with open(path, errors="replace") as f:
        return "".join(f.readlines()[-lines:])


def ours(certificates, tls):
    server = filled_server(certificates if tls else None)
    root = tempfile.mkdtemp(prefix="nerra-bench-fetch-")
    proc = None
    try:
        user = make_user(root)
        with open(os.path.join(user, "user.xml"), "w") as f:
            f.write('<user><pop3-clients><pop3-client hostname="127.0.0.1" port="%d" username="%s" password="%s"%s/>'
                    '</pop3-clients></user>'
                    % (server.pop3s_port if tls else server.port, server.user,
                       base64.b64encode(server.password.encode()).decode(),
                       ' tls="implicit" ca-file="%s"' % certificates.ca_file if tls else ""))
        write_config(root, spool_interval_sec="3600", pop3_port=str(dovecot.free_port()),
                     pop3_messages_per_session=str(COUNT), pop3_messages_per_sync="50")
        log = os.path.join(root, "service.log")
        with open(log, "wb") as stderr:
            proc = subprocess.Popen([BINARY, "config.xml"], cwd=root, stdin=subprocess.PIPE,
                                    stdout=subprocess.DEVNULL, stderr=stderr)
        time.sleep(1)
        start = time.time()
        proc.stdin.write(b"check user bench\n")
        proc.stdin.flush()
        try:
            wait_for(lambda: filed(user), "filed", proc)
        except Stalled as stall:
            print("the service's last log lines:\n" + log_tail(log), file=sys.stderr, end="")
            if tls and stall.seen == 0:
                raise NotOffered(stall)
            raise
        elapsed = time.time() - start
        # The server drops what was deleted when the session quits.
        dovecot.wait_until(lambda: not server.messages(), 60, "the server to empty")
        return COUNT / elapsed
    finally:
        if proc:
            stop(proc)
        server.close()
        shutil.rmtree(root, ignore_errors=True)


def fetchmail(certificates, tls):
    server = filled_server(certificates if tls else None)
    root = tempfile.mkdtemp(prefix="nerra-bench-fetchmail-")
    try:
        delivered = os.path.join(root, "delivered")
        os.makedirs(delivered)
        rc = os.path.join(root, "fetchmailrc")
        with open(rc, "w") as f:
            # fetchmail checks the certificate's names against the poll name, and knows no
            # address names: the certificate names localhost too.
            f.write('poll %s protocol pop3 port %d timeout %d\n  user "%s" password "%s"\n  %s\n'
                    '  mda "/bin/sh -c \'cat > %s/$$.msg\'"\n  fetchall nokeep\n'
                    % ("localhost" if tls else "127.0.0.1",
                       server.pop3s_port if tls else server.port, STALL, server.user, server.password,
                       'ssl sslcertck sslcertfile "%s"' % certificates.ca_file if tls else 'sslproto ""',
                       delivered))
        os.chmod(rc, 0o600)
        log = os.path.join(root, "fetchmail.log")
        start = time.time()
        with open(log, "wb") as output:
            proc = subprocess.Popen(["fetchmail", "-f", rc, "--nosyslog", "--idfile", os.path.join(root, "ids"),
                                     "--pidfile", os.path.join(root, "pid")], cwd=root,
                                    stdout=output, stderr=output, env=dict(os.environ, HOME=root, FETCHMAILHOME=root))
        try:
            wait_for(lambda: len(os.listdir(delivered)), "delivered", proc)
            proc.wait(timeout=60)
            elapsed = time.time() - start
        except Exception:
            print("fetchmail's last lines:\n" + log_tail(log), file=sys.stderr, end="")
            raise
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        return COUNT / elapsed
    finally:
        server.close()
        shutil.rmtree(root, ignore_errors=True)


def attempt(name, run, certificates, tls):
    """A side's rate, or "n/a" / "failed"."""
    try:
        return run(certificates, tls)
    except NotOffered as error:
        print("%s: %s" % (name, error), file=sys.stderr)
        return "n/a"
    except Exception as error:  # a failing side is reported; the others still run
        print("%s: %s: %s" % (name, type(error).__name__, error), file=sys.stderr)
        return "failed"


def show(value, width=10, decimals=0):
    return "%*s" % (width, value) if isinstance(value, str) else "%*.*f" % (width, decimals, value)


def divide(a, b):
    return "n/a" if isinstance(a, str) or isinstance(b, str) else a / b


def main():
    certificates_dir = tempfile.mkdtemp(prefix="nerra-bench-certs-")
    try:
        certificates = tlscerts.make_certificates(certificates_dir)
        rates = {(side, tls): attempt("%s%s" % (side, " over TLS" if tls else ""), run, certificates, tls)
                 for tls in (False, True) for side, run in (("ours", ours), ("fetchmail", fetchmail))}
    finally:
        shutil.rmtree(certificates_dir, ignore_errors=True)
    print("%-40s %10s %10s %7s" % ("fetched and filed (msg/s)", "ours", "fetchmail", "ratio"))
    for tls, row in ((False, "plain"), (True, "implicit TLS, certificate checked")):
        r = divide(rates["ours", tls], rates["fetchmail", tls])
        print("%-40s %s %s %s%s" % (row, show(rates["ours", tls]), show(rates["fetchmail", tls]), show(r, 7, 2),
                                    "  below %d" % TARGET if not isinstance(r, str) and r < TARGET else ""))
    print("%-40s %s %s" % ("cost of TLS (plain rate over TLS rate)",
                           show(divide(rates["ours", False], rates["ours", True]), decimals=2),
                           show(divide(rates["fetchmail", False], rates["fetchmail", True]), decimals=2)))


if __name__ == "__main__":
    main()
