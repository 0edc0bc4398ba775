"""Mail directories for whole-process POP3 tests, and a bare POP3 client that shows every byte."""

import os
import socket


def free_port():
    """A loopback TCP port that nothing listens on at the moment."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def add_user(mail_dir, name, authentication):
    for box in ("mail", "spam"):
        os.makedirs(os.path.join(mail_dir, name, box), exist_ok=True)
    with open(os.path.join(mail_dir, name, "user.xml"), "w") as f:
        f.write("<user><pop3-server>%s</pop3-server><pop3-clients/></user>\n" % authentication)


def add_message(mail_dir, user, mailbox, name, content, age=0):
    """Writes a message file last modified `age` seconds after a fixed moment; returns its path."""
    path = os.path.join(mail_dir, user, mailbox, name)
    with open(path, "wb") as f:
        f.write(content)
    os.utime(path, (1126000000 + age, 1126000000 + age))
    return path


class RawClient:
    """A POP3 client that returns replies byte for byte, as the server sent them."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.pending = b""

    def line(self):
        while b"\r\n" not in self.pending:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed after %r" % self.pending)
            self.pending += data
        line, self.pending = self.pending.split(b"\r\n", 1)
        return line + b"\r\n"

    def send(self, data):
        self.sock.sendall(data)

    def request(self, text, multiline=False):
        """The reply to one command; with `multiline`, a +OK reply runs up to the "." line."""
        self.send(text.encode("latin-1") + b"\r\n")
        reply = [self.line()]
        while multiline and reply[0].startswith(b"+OK") and reply[-1] != b".\r\n":
            reply.append(self.line())
        return b"".join(reply)

    def closed_by_server(self):
        try:
            while self.sock.recv(65536):
                pass
            return True
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()
