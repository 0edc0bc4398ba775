#!/usr/bin/python3
"""Mail fetched per second from a local Dovecot through the whole road, against fetchmail.

2,000 messages of 4 KiB wait on the server. Ours fetches them with `check user`, filters each
header through a 20-rule regex rule set, downloads, flushes and files the message and deletes
it on the server. fetchmail fetches the same messages from the same server and hands each to a
trivial delivery command that writes it into a file.
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
from bench_spool import filed, make_user, write_config  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build-bench"))
BINARY = os.path.join(BUILD, "nerra-mail-filter")
COUNT = 2000


def message(i):
    header = ("Received: from relay%d.example.net by mx.example.com; Mon, 7 Dec 2026 10:00:00 +0000\r\n"
              "From: Sender <sender%d@host.example.com>\r\nTo: bob@example.com\r\nSubject: message %d\r\n"
              "Message-ID: <%d@example.com>\r\n\r\n" % (i % 50, i, i, i))
    line = "The quick brown fox jumps over the lazy dog and keeps on running far away.\r\n"
    return (header + line * 60)[:4096].encode()


def filled_server():
    server = dovecot.Dovecot()
    for i in range(COUNT):
        server.add_message(message(i))
    # The filling's write-back would otherwise land on whichever side runs next: every file
    # either side creates then waits behind it.
    os.sync()
    return server.start()


def ours():
    server = filled_server()
    root = tempfile.mkdtemp(prefix="nerra-bench-fetch-")
    try:
        user = make_user(root)
        with open(os.path.join(user, "user.xml"), "w") as f:
            f.write('<user><pop3-clients><pop3-client hostname="127.0.0.1" port="%d" username="%s" password="%s"/>'
                    '</pop3-clients></user>'
                    % (server.port, server.user, base64.b64encode(server.password.encode()).decode()))
        write_config(root, spool_interval_sec="3600", pop3_port=str(dovecot.free_port()),
                     pop3_messages_per_session=str(COUNT), pop3_messages_per_sync="50")
        proc = subprocess.Popen([BINARY, "config.xml"], cwd=root, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        start = time.time()
        proc.stdin.write(b"check user bench\n")
        proc.stdin.flush()
        while filed(user) < COUNT:
            time.sleep(0.02)
        elapsed = time.time() - start
        # The server drops what was deleted when the session quits.
        dovecot.wait_until(lambda: not server.messages(), 60, "the server to empty")
        proc.stdin.write(b"stop\n")
        proc.stdin.close()
        proc.wait(timeout=60)
        return COUNT / elapsed
    finally:
        server.close()
        shutil.rmtree(root, ignore_errors=True)


def fetchmail():
    server = filled_server()
    root = tempfile.mkdtemp(prefix="nerra-bench-fetchmail-")
    try:
        delivered = os.path.join(root, "delivered")
        os.makedirs(delivered)
        rc = os.path.join(root, "fetchmailrc")
        with open(rc, "w") as f:
            f.write('poll 127.0.0.1 protocol pop3 port %d\n  user "%s" password "%s"\n'
                    '  sslproto ""\n  mda "/bin/sh -c \'cat > %s/$$.msg\'"\n  fetchall nokeep\n'
                    % (server.port, server.user, server.password, delivered))
        os.chmod(rc, 0o600)
        start = time.time()
        subprocess.run(["fetchmail", "-f", rc, "--nosyslog", "--idfile", os.path.join(root, "ids"),
                        "--pidfile", os.path.join(root, "pid")], cwd=root, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, HOME=root, FETCHMAILHOME=root))
        elapsed = time.time() - start
        got = len(os.listdir(delivered))
        assert got == COUNT, "fetchmail delivered %d of %d" % (got, COUNT)
        return COUNT / elapsed
    finally:
        server.close()
        shutil.rmtree(root, ignore_errors=True)


def main():
    rate = ours()
    theirs = fetchmail()
    print("fetched and filed, ours (msg/s):  %8.0f" % rate)
    print("fetchmail with a cat MDA (msg/s): %8.0f" % theirs)
    print("ratio:                            %8.2f" % (rate / theirs))


if __name__ == "__main__":
    main()
