"""The POP3 mailbox server of the real process, as mail clients see it."""

import hashlib
import os
import poplib
import random
import threading
import unittest

from mailstore import RawClient, add_message, add_user, free_port
from service import Service

GREETING = b"+OK Nerra Mail Filter 1.4, built Sep 13 2005 13:05:54"
ALICE = b'+OK Username "alice" accepted, accessing "mail" mailbox\r\n'
READY = b"+OK Mailbox ready\r\n"

# Numbered by age: B, C, A.
MESSAGE_A = b"From: a@example.org\r\nSubject: one\r\n\r\nfirst body\r\n.dot line\r\n"
MESSAGE_B = b"Subject: two\n\nline 1\nline 2\nline 3\n"
MESSAGE_C = b"Subject: three\r\nX: no body at all\r\n"
# Sizes as sent: B's line ends become CR LF, and C gets the empty line that ends a header.
SIZES = (len(MESSAGE_B) + MESSAGE_B.count(b"\n"), len(MESSAGE_C) + 2, len(MESSAGE_A))


def position(log, text):
    for index, line in enumerate(log):
        if text in line:
            return index
    raise AssertionError("%r missing from the log:\n%s" % (text, "\n".join(log)))


class POP3Case(unittest.TestCase):
    def setUp(self):
        self.port = free_port()
        self.service = Service(settings={"pop3-port": str(self.port)})
        self.addCleanup(self.service.close)
        self.mail = os.path.join(self.service.dir, "mail")
        add_user(self.mail, "alice", '<authentication handler="plaintext" password="secret"/>')
        self.paths = [add_message(self.mail, "alice", "mail", name, content, age)
                      for name, content, age in (("a.msg", MESSAGE_A, 3), ("b.msg", MESSAGE_B, 1),
                                                 ("c.msg", MESSAGE_C, 2))]

    def start(self):
        self.service.start()
        self.service.wait_for_log("main(): Nerra Mail Filter")

    def raw(self):
        client = RawClient(self.port)
        self.addCleanup(client.close)
        self.assertEqual(client.line(), GREETING + b"\r\n")
        return client

    def pop(self, user=None, password=None):
        client = poplib.POP3("127.0.0.1", self.port, timeout=20)
        self.addCleanup(client.close)
        if user:
            client.user(user)
            client.pass_(password)
        return client


class DialogueTest(POP3Case):
    # The replies themselves are the session tests' business; here the real process serves real files.
    def test_files_served_and_the_login_logged(self):
        self.start()
        client = self.raw()
        total = sum(SIZES)
        for request, reply in [
            ("user alice", ALICE),
            ("PASS secret", READY),
            ("LIST", b"+OK 3 message(s), %d octet(s)\r\n1 %d\r\n2 %d\r\n3 %d\r\n.\r\n" % ((total,) + SIZES)),
            ("RETR 2", b"+OK %d octet(s)\r\nSubject: three\r\nX: no body at all\r\n\r\n.\r\n" % SIZES[1]),
            ("RETR 3", b"+OK %d octet(s)\r\n%s..dot line\r\n.\r\n" % (SIZES[2], MESSAGE_A[:-11])),
            ("DELE 2", b"+OK Message deleted\r\n"),
            ("QUIT", b"+OK Closing connection\r\n"),
        ]:
            self.assertEqual(client.request(request, request.split()[0] in ("LIST", "RETR")), reply, request)
        self.assertTrue(client.closed_by_server())
        self.assertEqual([os.path.exists(path) for path in self.paths], [True, True, False])
        self.service.wait_for_log("INFO CPOP3ServerConnection::ProcessClientRequestAuthState: user alice logged in "
                                  "from 127.0.0.1")

    def test_salted_hash_account_and_a_wrong_password(self):
        digest = hashlib.sha1(b"NaClpa55wordNaCl").hexdigest().upper()
        add_user(self.mail, "carol", '<authentication handler="hash" method="sha1" salt="NaCl" hash="%s"/>' % digest)
        self.start()
        client = self.raw()
        client.request("USER carol")
        self.assertEqual(client.request("PASS Pa55word"), b"-ERR [AUTH] Authentication failed\r\n")
        client.request("USER carol")
        self.assertEqual(client.request("PASS pa55word"), READY)
        self.service.wait_for_log("WARNING CPOP3ServerConnection::AuthenticateLockMailBox(): authentication failed "
                                  "for user carol from 127.0.0.1")


class LoadTest(POP3Case):
    def test_garbage_gets_errors_while_others_are_served(self):
        self.start()
        junk = random.Random(20050913).randbytes(100000).replace(b"\n", b"\r\n") + b"\r\n"
        requests = b"X" * 10000 + b"\r\n" + b"USER " + b"a" * 10000 + b"\r\n" + junk
        garbage = self.raw()
        garbage.send(requests)
        client = self.pop("alice", "secret")
        self.assertEqual(b"\r\n".join(client.retr(3)[1]) + b"\r\n", MESSAGE_A)
        client.quit()
        replies = [garbage.line() for _ in range(requests.count(b"\n"))]
        self.assertEqual(replies[:2], [b"-ERR Will only accept USER and PASS in authorization state\r\n",
                                       b"-ERR Malformed username\r\n"])
        self.assertEqual([reply for reply in replies if not reply.startswith(b"-ERR ")], [])
        self.assertEqual(garbage.request("QUIT"), b"+OK Closing connection\r\n")

    def test_fifty_sessions_at_once(self):
        contents = {}
        for i in range(50):
            user = "user%02d" % i
            add_user(self.mail, user, '<authentication handler="plaintext" password="pw%02d"/>' % i)
            contents[user] = b"Subject: %s\r\n\r\n" % user.encode() + b"%s text\r\n" % user.encode() * 400
            add_message(self.mail, user, "mail", "1.msg", contents[user])
        self.start()
        # Opened one after another: the listening socket queues only a few connections, and a
        # burst beyond that waits for the clients' connection retries.
        clients = {user: self.pop() for user in contents}
        start = threading.Barrier(len(clients), timeout=30)
        results = {}

        def session(user, client):
            try:
                start.wait()
                client.user(user)
                client.pass_("pw" + user[-2:])
                results[user] = b"\r\n".join(client.retr(1)[1]) + b"\r\n"
                client.quit()
            except Exception as error:  # reported below with the user's name
                results[user] = error

        threads = [threading.Thread(target=session, args=item) for item in clients.items()]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        for user, content in contents.items():
            self.assertEqual(results.get(user), content, user)


class StopTest(POP3Case):
    def test_stop_with_clients_connected(self):
        self.start()
        holder = self.raw()
        for request in ("USER alice", "PASS secret", "DELE 1"):
            holder.request(request)
        idle = self.raw()
        self.assertEqual(self.service.stop(timeout=30), 0)
        self.assertTrue(holder.closed_by_server() and idle.closed_by_server())
        # Connections end with the pools, after the listener; an unfinished session deletes nothing.
        self.service.wait_for_log("user alice disconnected")
        log = self.service.log()
        self.assertLess(position(log, "main(): shutting down..."), position(log, "listener stopped"))
        self.assertLess(position(log, "listener stopped"), position(log, "user alice disconnected"))
        self.assertTrue(os.path.exists(self.paths[1]))
        self.assertFalse(os.path.exists(os.path.join(self.mail, "alice", "mail", ".lock")))


if __name__ == "__main__":
    unittest.main()
