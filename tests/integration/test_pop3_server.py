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
    def test_exact_replies(self):
        self.start()
        client = self.raw()
        total = sum(SIZES)
        listing = b"+OK 3 message(s), %d octet(s)\r\n1 %d\r\n2 %d\r\n3 %d\r\n.\r\n" % ((total,) + SIZES)
        for request, reply in [
            ("user alice", ALICE),
            ("PASS secret", READY),
            ("STAT", b"+OK 3 %d\r\n" % total),
            ("LIST", listing),
            ("LIST 3", b"+OK 3 %d\r\n" % SIZES[2]),
            ("TOP 1 0", b"+OK Message header up to and including the trailing CRLF\r\nSubject: two\r\n\r\n.\r\n"),
            ("top 1 2", b"+OK Message header followed by the trailing CRLF and at most 2 body line(s)\r\n"
                        b"Subject: two\r\n\r\nline 1\r\nline 2\r\n.\r\n"),
            ("RETR 2", b"+OK %d octet(s)\r\nSubject: three\r\nX: no body at all\r\n\r\n.\r\n" % SIZES[1]),
            ("RETR 3", b"+OK %d octet(s)\r\n%s..dot line\r\n.\r\n" % (SIZES[2], MESSAGE_A[:-11])),
            ("LAST", b"+OK 3\r\n"),
            ("DELE 2", b"+OK Message deleted\r\n"),
            ("RETR 2", b"-ERR No such message\r\n"),
            ("RETR 9", b"-ERR No such message\r\n"),
            ("RETR 1x", b"-ERR Malformed message ID\r\n"),
            ("LIST", b"+OK 2 message(s), %d octet(s)\r\n1 %d\r\n3 %d\r\n.\r\n" % (
                SIZES[0] + SIZES[2], SIZES[0], SIZES[2])),
            ("STAT", b"+OK 2 %d\r\n" % (SIZES[0] + SIZES[2])),
            ("RSET", b"+OK Mailbox reset\r\n"),
            ("LAST", b"+OK 0\r\n"),
            ("LIST", listing),
            ("NOOP", b"+OK\r\n"),
            ("noop now", b"-ERR Argument is unexpected\r\n"),
            ("USER alice", b"-ERR Will only accept STAT, LIST, TOP, RETR, DELE, RSET, LAST and NOOP in "
                           b"transaction state\r\n"),
            ("QUIT", b"+OK Closing connection\r\n"),
        ]:
            multiline = request.split()[0].upper() in ("TOP", "RETR") or request == "LIST"
            self.assertEqual(client.request(request, multiline), reply, request)
        self.assertTrue(client.closed_by_server())
        self.assertTrue(all(os.path.exists(path) for path in self.paths))
        self.service.wait_for_log("INFO CPOP3ServerConnection::ProcessClientRequestAuthState: user alice logged in "
                                  "from 127.0.0.1")

    def test_salted_hash_account_and_a_wrong_password(self):
        digest = hashlib.sha1(b"NaClpa55wordNaCl").hexdigest().upper()
        add_user(self.mail, "carol", '<authentication handler="hash" method="sha1" salt="NaCl" hash="%s"/>' % digest)
        self.start()
        client = self.raw()
        carol = b'+OK Username "carol" accepted, accessing "mail" mailbox\r\n'
        for request, reply in [("USER carol", carol), ("PASS Pa55word", b"-ERR [AUTH] Authentication failed\r\n"),
                               ("PASS pa55word", b"-ERR PASS was unexpected\r\n"), ("USER carol", carol),
                               ("PASS pa55word", READY), ("STAT", b"+OK 0 0\r\n")]:
            self.assertEqual(client.request(request), reply, request)
        self.service.wait_for_log("WARNING CPOP3ServerConnection::AuthenticateLockMailBox(): authentication failed "
                                  "for user carol from 127.0.0.1")

    def test_mailbox_is_locked_while_a_session_holds_it(self):
        self.start()
        first = self.pop("alice", "secret")
        second = self.pop()
        second.user("alice")
        with self.assertRaises(poplib.error_proto) as refused:
            second.pass_("secret")
        self.assertEqual(refused.exception.args[0], b"-ERR [IN-USE] Unable to lock mailbox")
        first.quit()
        # QUIT lets the mailbox go before it replies: the next login finds it free at once.
        self.pop("alice", "secret").quit()

    def test_deletions_need_quit(self):
        self.start()
        dropped = self.raw()
        for request in ("USER alice", "PASS secret", "DELE 1"):
            dropped.request(request)
        dropped.close()
        self.service.wait_for_log("user alice disconnected")
        self.assertTrue(os.path.exists(self.paths[1]))
        client = self.pop("alice", "secret")
        client.dele(1)
        client.dele(3)
        client.quit()
        self.assertFalse(os.path.exists(self.paths[0]) or os.path.exists(self.paths[1]))
        self.assertTrue(os.path.exists(self.paths[2]))
        self.assertFalse(os.path.exists(os.path.join(self.mail, "alice", "mail", ".lock")))


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
        self.service.wait_for_log("WARNING ValidateRegexedLine(): input line is too long, exceeds 2048 bytes")

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
    def test_stop_without_clients(self):
        self.start()
        self.assertEqual(self.service.stop(timeout=30), 0)
        self.service.wait_for_log("INFO CListenerThreadBase::Execute(): listener stopped")
        log = self.service.log()
        self.assertLess(position(log, "main(): shutting down..."), position(log, "listener stopped"))

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
