"""Mail fetched from a real POP3 server (a private Dovecot) through the whole process."""

import os
import re
import shutil
import unittest

from dovecot import Dovecot, PausingProxy, wait_until
from service import Service

SCHEMA = os.path.join(os.environ.get("NERRA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../..")),
                      "examples/mail/demo/ruleset.xsd")
TRACE_LINE = re.compile(rb"^Received: from \S+ \(\[127\.0\.0\.1\]\) by \S+; "
                        rb"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d [-+]\d{4}\r\n")


def rule(subject_pattern, mailbox):
    match = ('<match handler="regex" header-field-name="subject" match-mode="any">'
             '<regexes><regex pattern="%s"/></regexes></match>' % subject_pattern)
    return ('<rule description="r" expires="2037-12-31 23:59:59" apply-header="false" enabled="true" '
            'dispatched-messages="0" id="" trainable="false"><matches>%s</matches>'
            '<actions><action handler="dispatch" mailbox="%s"/></actions></rule>' % (match, mailbox))


RULES = rule("kill.*", "&lt;delete&gt;") + rule("work.*", "work") + rule(".*", "inbox")


def message(subject, body=b"body line\r\n"):
    return b"From: Sender <sender@example.com>\r\nTo: alice@example.com\r\nSubject: " + \
        subject.encode() + b"\r\n\r\n" + body


class FetchTest(unittest.TestCase):
    def setUp(self):
        self.server = Dovecot().start()
        self.addCleanup(self.server.close)
        self.service = None

    def tearDown(self):
        if self.service:
            self.service.close()

    def start_service(self, port=None, **settings):
        self.service = Service(settings=settings).start()
        self.user_dir = os.path.join(self.service.dir, "mail", "alice")
        for box in (".raw", ".spool", "spam", "mail", "inbox", "work"):
            os.makedirs(os.path.join(self.user_dir, box))
        shutil.copy(SCHEMA, os.path.join(self.user_dir, "ruleset.xsd"))
        with open(os.path.join(self.user_dir, "ruleset.xml"), "w") as f:
            f.write('<?xml version="1.0"?><ruleset dispatched-messages="0"><rules>%s</rules></ruleset>' % RULES)
        self.write_account(port or self.server.port)
        self.service.wait_for_log("started")
        return self.service

    def write_account(self, port):
        with open(os.path.join(self.user_dir, "user.xml"), "w") as f:
            f.write('<user><pop3-clients><pop3-client hostname="127.0.0.1" port="%d" username="bob" '
                    'password="c2VjcmV0"/></pop3-clients></user>' % port)

    def files(self, box):
        folder = os.path.join(self.user_dir, box)
        return sorted(os.path.join(folder, name) for name in os.listdir(folder))

    def filed(self, box):
        """The messages of a mailbox without their trace lines, each checked to have one."""
        texts = []
        for path in self.files(box):
            with open(path, "rb") as f:
                text = f.read()
            trace = TRACE_LINE.match(text)
            self.assertIsNotNone(trace, text[:200])
            texts.append(text[trace.end():])
        return sorted(texts)

    def check_user(self):
        self.assertEqual(self.service.command("check user alice"), "ok")

    def wait_for_fetch(self, inbox_count, left_on_server):
        wait_until(lambda: len(self.files("inbox")) == inbox_count and len(self.server.messages()) == left_on_server
                   and not self.files(".raw"), 60, "%d filed, %d left on the server" % (inbox_count, left_on_server))

    def test_every_message_is_filed_behind_a_trace_line_and_deleted_on_the_server(self):
        originals = [message("hello %d" % i) for i in range(8)]
        originals.append(message("dots", b"..two dots\r\n.\r\n.leading\r\n\r\nlast line\r\n"))
        work = message("work plan")
        for text in originals + [message("kill me"), work]:
            self.server.add_message(text)
        self.start_service()
        self.check_user()
        self.wait_for_fetch(len(originals), 0)
        self.assertEqual(self.filed("inbox"), sorted(originals))
        self.assertEqual(self.filed("work"), [work])
        self.assertEqual(self.files("mail") + self.files("spam"), [])
        self.assertEqual(self.service.stop(), 0)

    def test_server_killed_during_a_download_loses_and_duplicates_nothing(self):
        # The large message comes first: nothing is deleted before the server dies, so
        # deletions the server never committed cannot bring messages back twice.
        large = message("large", b"".join(b"%07d %s\r\n" % (i, b"x" * 70) for i in range(20 * 1024 * 1024 // 80)))
        originals = [large] + [message("small %d" % i) for i in range(3)]
        for text in originals:
            self.server.add_message(text)
        proxy = PausingProxy(self.server.port, pause_after=2 * 1024 * 1024)
        self.addCleanup(proxy.close)
        self.start_service(port=proxy.port)
        self.check_user()
        self.assertTrue(proxy.paused.wait(60), "the download never began")
        partial = wait_until(lambda: [p for p in self.files(".raw") if os.path.getsize(p) > 1024 * 1024], 60,
                             "a partial download in .raw")
        self.assertEqual(len(partial), 1)
        self.server.kill()
        proxy.resume()
        self.service.wait_for_log("exception caught when processing 'CPOP3ClientConnection(alice, bob@127.0.0.1:%d)'"
                                  % proxy.port, 60)
        wait_until(lambda: not self.files(".raw"), 30, "the partial download to go")
        self.assertEqual(self.files("inbox"), [])
        self.assertEqual(self.server.messages(), originals)

        self.server.start()
        self.check_user()
        self.wait_for_fetch(len(originals), 0)
        self.assertEqual(self.filed("inbox"), sorted(originals))
        self.assertEqual(self.service.stop(), 0)

    def test_a_download_cut_by_a_kill_is_discarded_at_start_and_fetched_again_whole(self):
        large = message("large", b"".join(b"%07d %s\r\n" % (i, b"x" * 70) for i in range(4 * 1024 * 1024 // 80)))
        originals = [large, message("small")]
        for text in originals:
            self.server.add_message(text)
        proxy = PausingProxy(self.server.port, pause_after=1024 * 1024)
        self.addCleanup(proxy.close)
        self.start_service(port=proxy.port)
        self.check_user()
        wait_until(lambda: [p for p in self.files(".raw") if os.path.getsize(p) > 512 * 1024], 60,
                   "a partial download in .raw")
        self.service.proc.kill()
        self.service.proc.wait()
        proxy.close()

        killed, self.service = self.service, Service(directory=self.service.dir)
        self.addCleanup(killed.close)
        self.write_account(self.server.port)
        self.service.start().wait_for_log("discarded the incomplete download")
        self.assertEqual(self.files(".raw") + self.files(".spool"), [])
        self.assertEqual(self.server.messages(), originals)
        self.check_user()
        self.wait_for_fetch(len(originals), 0)
        self.assertEqual(self.filed("inbox"), sorted(originals))
        self.assertEqual(self.service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
