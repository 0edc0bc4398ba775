"""Hostile peers and odd mail stores against the whole process: nothing outside the mail
directory is read or written, no secret reaches the log, no client wears the service down."""

import os
import poplib
import shutil
import tempfile
import time
import unittest

from mailstore import free_port
from service import Service
from test_pipeline import ANY, MailStore, dispatch, message, rule, subject_is


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def lines_naming(service, text):
    return [line for line in service.log() if text in line]


def login_reply(port, user, password):
    """The server's answer to USER and PASS, whatever it is."""
    client = poplib.POP3("127.0.0.1", port, timeout=30)
    try:
        client.user(user)
        return client.pass_(password)
    except poplib.error_proto as error:
        return error.args[0]
    finally:
        client.close()


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


class OddFilesTest(StoreCase):
    def test_only_regular_files_are_spooled_and_served(self):
        alice = MailStore(self.root)
        bob = MailStore(self.root, "bob")
        bob_account = os.path.join(bob.dir, "user.xml")
        os.remove(bob_account)
        os.mkfifo(bob_account)
        spool = os.path.join(alice.dir, ".spool")
        os.symlink(self.secret, os.path.join(spool, "link.eml"))
        os.symlink("/dev/zero", os.path.join(spool, "zero.eml"))
        os.mkfifo(os.path.join(spool, "pipe.eml"))
        os.symlink(self.secret, os.path.join(alice.dir, "mail", "link.msg"))
        self.start()
        alice.spool("good.eml", message("hello"))
        bob.spool("m.eml", message("hello"))
        alice.wait_for("mail", 2)
        time.sleep(3)  # a few more spooling runs, which must not log the odd files again
        self.assertEqual(alice.files(".spool"), ["link.eml", "pipe.eml", "zero.eml"])
        self.assertEqual(bob.files(".spool"), ["m.eml"])
        client = poplib.POP3("127.0.0.1", self.port, timeout=30)
        client.user("alice")
        client.pass_("pw")
        self.assertEqual(client.stat(), (1, len(message("hello"))))  # the link is not served
        client.quit()
        for name in ("link.eml", "zero.eml", "pipe.eml", "link.msg", "mail/bob/user.xml"):
            self.assertEqual(len(lines_naming(self.service, name)), 1, name)
        self.assertEqual(self.service.stop(), 0)

    def test_links_out_of_the_mail_directory_are_refused(self):
        alice = MailStore(self.root, rules=rule(subject_is("work.*"), dispatch("work")) + rule(ANY, dispatch("mail")))
        work = os.path.join(alice.dir, "work")
        os.rmdir(work)
        os.symlink(self.outside, work)
        eve = MailStore(self.outside, "eve")
        os.symlink(eve.dir, os.path.join(self.root, "eve"))
        eve.spool("m.eml", message("hello"))
        self.start()
        alice.spool("w.eml", message("work plan"))
        self.service.wait_for_log("failed to move file")
        self.assertEqual(sorted(os.listdir(self.outside)), ["eve", "secret.txt"])
        self.assertEqual(login_reply(self.port, "eve", "pw"), b"-ERR Authentication failed")
        self.assertEqual(login_reply(self.port, "alice/work", "pw"), b"-ERR Unable to lock mailbox")
        self.assertEqual(eve.files(".spool") + eve.files("mail"), ["m.eml"])
        self.service.wait_for_log("'mail/alice/work' leads outside the mail directory")
        self.assertEqual(self.service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
