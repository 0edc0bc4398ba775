"""A private Dovecot POP3 server for the fetch tests, and a proxy that can hold its data back.

Each server lives in its own temporary folder: configuration, passwd file, maildir, runtime
and state directories and log. It listens on 127.0.0.1 only, on a port picked for it, and is
stopped by its own process ids, never by name.

Given certificates (tlscerts.make_certificates), it also speaks TLS: implicit TLS on a second
port (`pop3s_port`) and STLS on the plain one, TLS 1.2 at least. Passwords are still accepted
in plaintext on the plain port, so the plain tests run against it unchanged.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

DOVECOT = "/usr/sbin/dovecot"
# Dovecot never opens mail as root; the mail belongs to "nobody".
MAIL_UID = 65534
MAIL_GID = 65534

CONFIG = """\
protocols = pop3
listen = 127.0.0.1
base_dir = {dir}/run
state_dir = {dir}/state
log_path = {dir}/dovecot.log
info_log_path = {dir}/dovecot.log
{ssl}disable_plaintext_auth = no
auth_mechanisms = plain
default_login_user = dovenull
default_internal_user = dovecot
first_valid_uid = {uid}
mail_location = maildir:{dir}/{home}/Maildir
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {dir}/passwd
}}
userdb {{
  driver = static
  args = uid={uid} gid={gid} home={dir}/{home}
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener pop3s {{
    address = 127.0.0.1
    port = {pop3s_port}
  }}
}}
"""

NO_TLS = "ssl = no\n"
# "<" makes Dovecot read the files, as root, when it starts.
TLS = """\
ssl = yes
ssl_cert = <{certificate_file}
ssl_key = <{key_file}
ssl_min_protocol = TLSv1.2
"""


def config_text(directory, port, certificates=None, pop3s_port=0, home="home"):
    """Dovecot's configuration for a server in directory. Without certificates there is no TLS
    and pop3s_port must be 0 (no listener). home is the users' home below directory; "home/%u"
    gives each user of the passwd file a home of its own."""
    ssl = NO_TLS if certificates is None else TLS.format(certificate_file=certificates.certificate_file,
                                                         key_file=certificates.key_file)
    return CONFIG.format(dir=directory, port=port, pop3s_port=pop3s_port, ssl=ssl, home=home,
                         uid=MAIL_UID, gid=MAIL_GID)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout=60, what="condition"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.05)
    raise AssertionError("timed out waiting for %s" % what)


def process_tree(root):
    """The process and all its descendants, parents first."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        # The command name may hold spaces and parentheses: the parent id follows the last ")".
        parent = int(stat[stat.rindex(")") + 2:].split()[1])
        children.setdefault(parent, []).append(int(entry))
    tree, pending = [], [root]
    while pending:
        pid = pending.pop(0)
        tree.append(pid)
        pending.extend(children.get(pid, []))
    return tree


class Dovecot:
    """One Dovecot instance serving one POP3 user's maildir; with certificates, also over TLS."""

    def __init__(self, user="bob", password="secret", certificates=None):
        self.dir = tempfile.mkdtemp(prefix="nerra-dovecot-")
        # The mail processes run as "nobody" and must reach the maildir inside.
        os.chmod(self.dir, 0o755)
        self.user, self.password = user, password
        self.port = free_port()
        self.pop3s_port = free_port() if certificates else None
        self.maildir = os.path.join(self.dir, "home", "Maildir")
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(self.maildir, sub))
        self._chown(os.path.join(self.dir, "home"))
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            f.write("%s:{PLAIN}%s\n" % (user, password))
        self.config = os.path.join(self.dir, "dovecot.conf")
        with open(self.config, "w") as f:
            f.write(config_text(self.dir, self.port, certificates, self.pop3s_port or 0))
        self.count = 0
        self.proc = None

    def _chown(self, top):
        for path, dirs, files in os.walk(top):
            os.chown(path, MAIL_UID, MAIL_GID)
            for name in files:
                os.chown(os.path.join(path, name), MAIL_UID, MAIL_GID)

    def add_message(self, data):
        """Delivers a message; messages are served in the order they were added."""
        self.count += 1
        name = "%d.M%dP1.nerra-test" % (1000000000 + self.count, self.count)
        temporary = os.path.join(self.maildir, "tmp", name)
        with open(temporary, "wb") as f:
            f.write(data)
        os.chown(temporary, MAIL_UID, MAIL_GID)
        os.rename(temporary, os.path.join(self.maildir, "new", name))

    def messages(self):
        """The messages still on the server, in delivery order."""
        while True:
            found = []
            for sub in ("new", "cur"):
                folder = os.path.join(self.maildir, sub)
                found.extend((name, os.path.join(folder, name)) for name in os.listdir(folder))
            try:
                contents = []
                for _, path in sorted(found):
                    with open(path, "rb") as f:
                        contents.append(f.read())
                return contents
            except FileNotFoundError:
                continue  # the server moved or expunged a file meanwhile: look again

    def start(self):
        log = open(os.path.join(self.dir, "stdout.log"), "ab")
        self.proc = subprocess.Popen([DOVECOT, "-F", "-c", self.config], stdout=log, stderr=log,
                                     stdin=subprocess.DEVNULL)
        log.close()

        def listening():
            if self.proc.poll() is not None:
                raise AssertionError("dovecot ended at once:\n" + self.log())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                    return s.recv(100).startswith(b"+OK")
            except OSError:
                return False

        wait_until(listening, 30, "dovecot to listen")
        return self

    def kill(self):
        """Kills the master and every process it started, at once, as a crash would."""
        for pid in process_tree(self.proc.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.proc.wait(timeout=30)
        # Orphans of the master are no longer its children: wait until they are gone too.
        time.sleep(0.2)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            tree = process_tree(self.proc.pid)
            self.proc.terminate()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                for pid in tree:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                self.proc.wait(timeout=20)

    def log(self):
        text = ""
        for name in ("stdout.log", "dovecot.log"):
            try:
                with open(os.path.join(self.dir, name), errors="replace") as f:
                    text += f.read()
            except OSError:
                pass
        return text

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class PausingProxy:
    """Relays POP3 connections to a server. Once more than `pause_after` bytes have come from
    the server, it holds the rest back until `resume` is called; a server that goes away
    meanwhile is then seen by the client as a connection closed in the middle of a reply.
    With a `delay`, it waits that many seconds after relaying each piece from the server, so
    a large message takes long enough to arrive to be caught half downloaded."""

    def __init__(self, target_port, pause_after=float("inf"), delay=0):
        self.target_port = target_port
        self.pause_after = pause_after
        self.delay = delay
        self.paused = threading.Event()
        self._resumed = threading.Event()
        self._forwarded = 0
        self._lock = threading.Lock()
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(8)
        self.port = self._listener.getsockname()[1]
        self._closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def resume(self):
        self._resumed.set()

    def close(self):
        self._closed = True
        self._resumed.set()
        self._listener.close()

    def _accept(self):
        while not self._closed:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(("127.0.0.1", self.target_port), timeout=10)
                server.settimeout(None)
            except OSError:
                client.close()
                continue
            threading.Thread(target=self._pump, args=(client, server, False), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, True), daemon=True).start()

    def _pump(self, source, sink, from_server):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
                if from_server:
                    with self._lock:
                        self._forwarded += len(data)
                        hold = self._forwarded > self.pause_after and not self._resumed.is_set()
                    if hold:
                        self.paused.set()
                        self._resumed.wait()
                    time.sleep(self.delay)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
