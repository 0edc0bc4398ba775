"""Local mail through the whole process: spooling, filtering, filing, training, recovery."""

import os
import re
import shutil
import signal
import time
import unittest

from service import DEFAULT_SETTINGS, LOG_LINE, Service, config_xml

ID_NAME = re.compile(r"^\d{17}-[0-9A-F]{16}-[0-9A-F]{8}\.msg$")
SCHEMA = os.path.join(os.environ.get("NERRA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../..")),
                      "examples/mail/demo/ruleset.xsd")


def rule(matches, actions, rule_id="", description="rule", trainable=False, enabled=True,
         expires="2037-12-31 23:59:59"):
    return ('<rule description="%s" expires="%s" apply-header="false" enabled="%s" '
            'dispatched-messages="0" id="%s" trainable="%s"><matches>%s</matches><actions>%s</actions></rule>'
            % (description, expires, "true" if enabled else "false", rule_id, "true" if trainable else "false",
               matches, actions))


def subject_is(pattern):
    return ('<match handler="regex" header-field-name="subject" match-mode="any">'
            '<regexes><regex pattern="%s"/></regexes></match>' % pattern)


def dispatch(mailbox):
    return '<action handler="dispatch" mailbox="%s"/>' % mailbox


ANY = '<match handler="any"/>'

DEFAULT_RULES = (rule(subject_is("work.*"), dispatch("work"), "work", "work mail", trainable=True)
                 + rule(subject_is("junk.*"), dispatch("&lt;delete&gt;"), "junk")
                 + rule(subject_is("lists.*"), dispatch("lists"), "lists", trainable=True)
                 + rule(ANY, dispatch("mail"), "rest", "everything else"))


def message(subject, body="body line\r\n", eol="\r\n"):
    return ("From: Sender <sender@example.com>%sTo: alice@example.com%sSubject: %s%s%s%s"
            % (eol, eol, subject, eol, eol, body)).encode()


class MailStore:
    def __init__(self, root, user="alice", rules=DEFAULT_RULES):
        self.root = root
        self.user = user
        self.dir = os.path.join(root, user)
        for box in (".spool", ".raw", "mail", "spam", "work", "lists", "trained"):
            os.makedirs(os.path.join(self.dir, box), exist_ok=True)
        shutil.copy(SCHEMA, os.path.join(self.dir, "ruleset.xsd"))
        with open(os.path.join(self.dir, "user.xml"), "w") as f:
            f.write('<user><pop3-server><authentication handler="plaintext" password="pw"/></pop3-server></user>')
        self.write_rules(rules)

    def write_rules(self, rules, dispatched=0):
        with open(os.path.join(self.dir, "ruleset.xml"), "w") as f:
            f.write('<?xml version="1.0"?><ruleset dispatched-messages="%d"><rules>%s</rules></ruleset>'
                    % (dispatched, rules))

    def rules_text(self):
        with open(os.path.join(self.dir, "ruleset.xml")) as f:
            return f.read()

    def spool(self, name, content):
        # Written beside the spool and renamed in, so the spool job never sees half a file.
        temporary = os.path.join(self.dir, name + ".part")
        with open(temporary, "wb") as f:
            f.write(content)
        os.rename(temporary, os.path.join(self.dir, ".spool", name))

    def files(self, box):
        path = os.path.join(self.dir, box)
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def read(self, box, name):
        with open(os.path.join(self.dir, box, name), "rb") as f:
            return f.read()

    def wait_for(self, box, count, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if len(self.files(box)) >= count:
                return self.files(box)
            time.sleep(0.05)
        raise AssertionError("%s holds %r, expected %d files" % (box, self.files(box), count))


class PipelineTest(unittest.TestCase):
    def setUp(self):
        self.service = Service()
        self.store = MailStore(os.path.join(self.service.dir, "mail"))

    def tearDown(self):
        self.service.close()

    def start(self, **settings):
        if settings:
            with open(self.service.config_path, "w") as f:
                f.write(config_xml(dict(DEFAULT_SETTINGS, **settings)))
        self.service.start()
        self.service.wait_for_log("started")
        return self.service

    def restart(self):
        """Stops the service and starts a new process on the same mail store."""
        self.assertEqual(self.service.stop(), 0)
        self.service.owns_dir = False
        self.addCleanup(shutil.rmtree, self.service.dir, True)
        self.service = Service(directory=self.service.dir)
        return self.start()

    def test_spooled_messages_are_filed_by_the_rule_set(self):
        self.start()
        contents = {"work": message("work plan"), "lists": message("lists digest"), "mail": message("hello")}
        for box, content in contents.items():
            self.store.spool(box + ".eml", content)
        self.store.spool("junk.eml", message("junk offer"))
        for box, content in contents.items():
            names = self.store.wait_for(box, 1)
            self.assertEqual(len(names), 1)
            self.assertRegex(names[0], ID_NAME)
            self.assertEqual(self.store.read(box, names[0]), content)
        deadline = time.time() + 20
        while (self.store.files(".spool") or self.store.files(".raw")) and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.store.files(".spool"), [])
        self.assertEqual(self.store.files(".raw"), [])
        self.assertEqual(self.store.files("spam"), [])  # the junk message was deleted
        self.assertEqual(self.service.stop(), 0)

    def test_lf_only_file_is_filtered_and_left_byte_identical(self):
        self.start()
        content = message("work in lf", body="line one\nline two\n", eol="\n")
        self.store.spool("lf.eml", content)
        names = self.store.wait_for("work", 1)
        self.assertEqual(self.store.read("work", names[0]), content)
        self.assertEqual(self.service.stop(), 0)

    def test_file_without_header_end_goes_to_spam_under_its_spool_name(self):
        self.start()
        self.store.spool("broken.eml", b"Subject: no end\r\n" + b"x" * 70000)
        self.store.wait_for("spam", 1)
        self.assertEqual(self.store.files("spam"), ["broken.eml"])
        self.service.wait_for_log("The message is broken, the first 65536 bytes don't contain the message header")
        self.assertEqual(self.service.stop(), 0)

    def test_train_file_files_into_the_trained_mailbox_once(self):
        service = self.start()
        self.assertEqual(service.command("train file Msg-2005.MSG trained"), "ok")
        self.assertEqual(service.command("train file a.b.msg spam"), "err")
        self.store.spool("msg-2005.msg", message("hello"))
        self.store.wait_for("trained", 1)
        self.store.spool("msg-2005.msg", message("hello again"))
        self.store.wait_for("mail", 1)
        self.assertEqual(len(self.store.files("trained")), 1)
        self.assertEqual(service.stop(), 0)

    def test_raw_leftovers_are_recovered_at_start(self):
        with open(os.path.join(self.store.dir, ".raw", "20260101000000000123.msg"), "wb") as f:
            f.write(message("work left over"))
        with open(os.path.join(self.store.dir, ".raw", "not-a-message.tmp"), "wb") as f:
            f.write(b"partial")
        self.start()
        self.store.wait_for("work", 1)
        self.assertEqual(self.store.files(".raw"), ["not-a-message.tmp"])
        self.assertEqual(self.service.stop(), 0)

    def test_start_up_removes_what_an_interrupted_rule_set_save_left(self):
        names = ["ruleset.xml.042", "ruleset.xml.917", "ruleset.xml.bak"]
        for name in names:
            with open(os.path.join(self.store.dir, name), "w") as f:
                f.write("<ruleset")
        self.start()
        self.assertEqual([name for name in names if os.path.exists(os.path.join(self.store.dir, name))],
                         ["ruleset.xml.bak"])
        self.assertEqual(self.service.stop(), 0)

    def test_stop_saves_the_counters(self):
        self.start()
        for i in range(3):
            self.store.spool("m%d.eml" % i, message("work %d" % i))
        self.store.wait_for("work", 3)
        self.assertEqual(self.service.stop(), 0)
        text = self.store.rules_text()
        self.assertIn('<ruleset dispatched-messages="3">', text)
        self.assertRegex(text, r'<rule description="work mail"[^>]*dispatched-messages="3"')

    def test_an_expired_template_is_saved_and_the_rule_set_loads_again(self):
        template = rule(ANY, dispatch("work"), description="old template", expires="2001-01-01 00:00:00")
        inserter = rule(subject_is("never"), '<action handler="ruleset" method="insert-last">%s</action>' % template)
        self.store.write_rules(inserter + rule(ANY, dispatch("mail")))
        self.start()
        self.store.spool("first.eml", message("hello"))
        self.store.wait_for("mail", 1)
        self.restart()
        self.assertIn('description="old template"', self.store.rules_text())
        self.store.spool("second.eml", message("hello"))
        self.store.wait_for("mail", 2)
        self.assertEqual(self.store.files("spam"), [])
        self.assertEqual(self.service.stop(), 0)

    def test_a_mailbox_without_a_directory_files_into_spam_or_back_into_the_spool(self):
        self.store.write_rules(rule(ANY, dispatch("nonexistent")))
        bob = MailStore(self.store.root, "bob", rule(ANY, dispatch("nonexistent")))
        os.rmdir(os.path.join(bob.dir, "spam"))
        self.start()
        self.store.spool("a.eml", message("hello"))
        bob.spool("b.eml", message("hello bob"))
        self.store.wait_for("spam", 1)
        self.service.wait_for_log("of user alice filed into spam instead of nonexistent")
        self.service.wait_for_log("of user bob returned to the spool as ")
        self.assertEqual(self.service.stop(), 0)
        self.assertEqual([bob.read(box, name) for box in (".spool", ".raw") for name in bob.files(box)],
                         [message("hello bob")])

    def test_flushes_during_slow_dispatches_lose_no_update(self):
        slow = '<match handler="python"><script>import time\ntime.sleep(0.25)\nresult = "match"</script></match>'
        insert = '<action handler="ruleset" method="insert-last">%s</action>' % rule(
            subject_is("never"), dispatch("work"), description="added")
        self.store.write_rules(rule(slow, insert + dispatch("mail"), description="slow"))
        self.start(**{"flush-interval-sec": "1"})
        count = 8
        for i in range(count):
            self.store.spool("m%d.eml" % i, message("hello %d" % i))
        self.store.wait_for("mail", count)
        self.assertEqual(self.service.stop(), 0)
        text = self.store.rules_text()
        self.assertIn('<ruleset dispatched-messages="%d">' % count, text)
        self.assertRegex(text, r'<rule description="slow"[^>]*dispatched-messages="%d"' % count)
        self.assertEqual(text.count('<rule description="added"'), count + 1)  # the template too

    def test_locked_rule_set_survives_flushes_and_is_read_again_after_unlock(self):
        service = self.start(**{"flush-interval-sec": "1"})
        self.store.spool("first.eml", message("hello"))
        self.store.wait_for("mail", 1)
        self.assertEqual(service.command("lock ruleset alice"), "ok")
        self.store.write_rules(rule(ANY, dispatch("lists")))
        self.store.spool("second.eml", message("hello"))
        time.sleep(2)
        self.assertEqual(self.store.files("lists"), [])  # held back while the rule set is locked
        self.assertEqual(service.command("unlock ruleset alice"), "ok")
        self.store.wait_for("lists", 1)
        self.assertEqual(len(self.store.files("mail")), 1)
        self.assertEqual(service.stop(), 0)

    def test_stop_while_the_console_holds_locks_ends_the_process(self):
        bob = MailStore(self.store.root, "bob")
        service = self.start()
        self.assertEqual(service.command("lock ruleset alice"), "ok")
        self.store.spool("held.eml", message("hello"))
        deadline = time.time() + 20
        while self.store.files(".spool") and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(service.command("lock user %s" % bob.user), "ok")
        time.sleep(1.5)  # the next spooling run now waits for bob's account
        self.assertEqual(service.stop(), 0)
        self.assertEqual(len(self.store.files("mail")), 1)

    def test_what_a_script_prints_is_logged_in_log_lines(self):
        printing = ('<match handler="python"><script>import sys\nprint("first\\nsecond")\n'
                    'sys.__stdout__.write("third\\n")\nresult = "match"</script></match>')
        self.store.write_rules(rule(printing, dispatch("work")))
        service = self.start()
        self.store.spool("p.eml", message("hello"))
        self.store.wait_for("work", 1)
        self.assertEqual(service.command("noop"), "ok")
        service.wait_for_log("INFO CPython::Execute(): script output: third")
        self.assertEqual(service.stop(), 0)
        for line in service.log():
            self.assertRegex(line, LOG_LINE)
        self.assertIn("INFO CPython::Execute(): script output: second", "\n".join(service.log()))

    def test_an_endless_script_is_interrupted_and_its_message_goes_to_spam(self):
        endless = '<match handler="python"><script>while True:\n    pass</script></match>'
        self.store.write_rules(rule(subject_is("loop.*") + endless, dispatch("work"), description="endless")
                               + DEFAULT_RULES)
        service = self.start()
        self.store.spool("loop.eml", message("loop once"))
        self.store.wait_for(".raw", 1)
        self.assertEqual(service.command("validate python result = 1", timeout=60), "ok")
        self.store.spool("hello.eml", message("hello"))
        self.store.wait_for("mail", 1)
        self.store.wait_for("spam", 1)
        service.wait_for_log("The script ran past its time budget of 10 seconds")
        service.wait_for_log("exception caught when passing message to rule 'endless'")
        self.store.spool("again.eml", message("loop again"))
        self.store.wait_for(".raw", 1)
        self.assertEqual(service.stop(timeout=60), 0)
        self.assertEqual(len(self.store.files("spam") + self.store.files(".raw")), 2)

    def test_console_commands(self):
        service = self.start()
        self.assertEqual(service.command("reload users"), "ok")
        self.assertEqual(service.command("lock user alice"), "ok")
        self.assertEqual(service.command("lock user alice"), "ok")
        self.assertEqual(service.command("unlock user alice"), "ok")
        self.assertEqual(service.command("unlock user alice"), "ok")
        self.assertEqual(service.command("unlock user nobody"), "ok")  # not held: no effect
        self.assertEqual(service.command("unlock ruleset alice"), "ok")
        self.assertEqual(service.command("validate regex a|b"), "ok")
        reply = service.command("validate regex a(b")
        self.assertTrue(reply.startswith("err "), reply)
        service.wait_for_log("WARNING Regular expression a(b is invalid: ")
        self.assertEqual(service.command("validate python x = 1{{x-nerra-crlf}}result = x"), "ok")
        reply = service.command("validate python if x{{x-nerra-crlf}}")
        self.assertTrue(reply.startswith("err Python exception <class 'SyntaxError'>"), reply)
        self.assertEqual(service.command("noop"), "ok")
        self.assertEqual(service.stop(), 0)

    def test_a_broken_account_does_not_hold_up_other_users(self):
        broken = MailStore(self.store.root, "aaa_broken")
        with open(os.path.join(broken.dir, "user.xml"), "w") as f:
            f.write("<user>")
        others = [MailStore(self.store.root, name) for name in ("bob", "zed")]
        self.start()
        for store in others + [self.store]:
            store.spool("m.eml", message("work"))
        for store in others + [self.store]:
            store.wait_for("work", 1)
        self.service.wait_for_log("unable to load the account of user aaa_broken")
        self.assertEqual(self.service.stop(), 0)

    def test_nothing_is_lost_when_the_process_is_killed_mid_run(self):
        count = 400
        for i in range(count):
            self.store.spool("m%03d.eml" % i, message("%s %d" % (("work", "lists", "hello")[i % 3], i)))
        self.start()
        self.store.wait_for("work", 5)
        self.service.proc.send_signal(signal.SIGKILL)
        self.service.proc.wait()

        restarted = Service(directory=self.service.dir)
        try:
            restarted.start()
            restarted.wait_for_log("started")
            deadline = time.time() + 60
            while (self.store.files(".spool") or self.store.files(".raw")) and time.time() < deadline:
                time.sleep(0.1)
            self.assertEqual(restarted.stop(), 0)
        finally:
            restarted.close()
        filed = {}
        for box in ("work", "lists", "mail", "spam", ".spool", ".raw"):
            for name in self.store.files(box):
                body = self.store.read(box, name)
                number = int(re.search(rb"Subject: \w+ (\d+)", body).group(1))
                self.assertNotIn(number, filed, "message %d is in %s and %s" % (number, filed.get(number), box))
                filed[number] = box
        self.assertEqual(sorted(filed), list(range(count)))
        self.assertEqual(set(filed.values()) - {"work", "lists", "mail"}, set())


if __name__ == "__main__":
    unittest.main()
