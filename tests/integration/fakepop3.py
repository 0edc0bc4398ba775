"""A scripted POP3 server for what a real one cannot be made to do: hang up after a given DELE,
or take XOAUTH2. It serves one mailbox on 127.0.0.1 and records every command line.
Deletions take effect only at QUIT, as on a real server.
"""

import socket
import ssl
import threading


class FakePOP3:
    def __init__(self, messages, hang_up_after_deles=None, xoauth2=None, certificates=None):
        """messages: (uid, bytes) pairs. hang_up_after_deles=n
        closes the connection after answering the n-th DELE of a session (once). xoauth2: the
        only SASL string (decoded) accepted by AUTH XOAUTH2. certificates: implicit TLS."""
        self.messages = list(messages)
        self.hang_up_after_deles = hang_up_after_deles
        self.xoauth2 = xoauth2
        self.commands = []       # of every session, in order
        self.auth_strings = []   # decoded AUTH XOAUTH2 arguments
        self.lock = threading.Lock()
        self.context = None
        if certificates:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(certificates.certificate_file, certificates.key_file)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.closed = True
        self.listener.close()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        try:
            if self.context:
                client = self.context.wrap_socket(client, server_side=True)
            with client:
                Session(self, client).run()
        except (OSError, ssl.SSLError):
            pass


class Session:
    def __init__(self, server, client):
        self.server, self.client = server, client
        self.buffer = b""
        self.deleted = set()
        self.deles = 0

    def send(self, *lines):
        self.client.sendall(b"".join(line + b"\r\n" for line in lines))

    def read_line(self):
        while b"\n" not in self.buffer:
            data = self.client.recv(65536)
            if not data:
                return None
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def run(self):
        server = self.server
        self.send(b"+OK fake ready")
        while True:
            line = self.read_line()
            if line is None:
                return
            with server.lock:
                server.commands.append(line)
                messages = list(server.messages)
            words = line.split(" ")
            verb = words[0].upper()
            number = int(words[1]) if len(words) > 1 and words[1].isdigit() else 0
            text = messages[number - 1][1] if 0 < number <= len(messages) else None
            if verb == "CAPA":
                self.send(b"+OK", b"TOP", b"UIDL", b"USER", b"PIPELINING", b".")
            elif verb in ("USER", "PASS", "NOOP", "UTF8"):
                self.send(b"+OK")
            elif verb == "AUTH" and len(words) == 3 and server.xoauth2 is not None:
                import base64
                decoded = base64.b64decode(words[2]).decode("latin-1")
                with server.lock:
                    server.auth_strings.append(decoded)
                if decoded == server.xoauth2:
                    self.send(b"+OK authenticated")
                else:
                    self.send(b"+ eyJzdGF0dXMiOiI0MDEifQ==")
                    self.read_line()
                    self.send(b"-ERR [AUTH] invalid credentials")
            elif verb == "STAT":
                self.send(b"+OK %d %d" % (len(messages), sum(len(m) for _, m in messages)))
            elif verb == "UIDL":
                self.send(b"+OK", *[b"%d %s" % (i + 1, uid.encode()) for i, (uid, _) in enumerate(messages)], b".")
            elif verb == "LIST" and text is not None:
                self.send(b"+OK %d %d" % (number, len(text)))
            elif verb in ("TOP", "RETR") and text is not None:
                body = text if verb == "RETR" else text.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
                lines = [b"." + l if l.startswith(b".") else l for l in body.split(b"\r\n")[:-1]]
                self.send(b"+OK", *lines, b".")
            elif verb == "DELE" and text is not None:
                self.deleted.add(number)
                self.deles += 1
                self.send(b"+OK deleted")
                if server.hang_up_after_deles == self.deles:
                    server.hang_up_after_deles = None
                    return
            elif verb == "QUIT":
                with server.lock:
                    server.messages = [m for i, m in enumerate(server.messages) if i + 1 not in self.deleted]
                self.send(b"+OK bye")
                return
            else:
                self.send(b"-ERR what")
