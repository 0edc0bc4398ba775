"""Local mail through the whole process: spooling, filtering, filing, training, recovery."""

import os
import re
import shutil
import time
import unittest

from service import DEFAULT_SETTINGS, LOG_LINE, Service, config_xml

ID_NAME = re.compile(r"^\d{17}-[0-9A-F]{16}-[0-9A-F]{8}\.msg$")
SCHEMA = os.path.join(os.environ.get("NERRA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../..")),
                      "examples/mail/demo/ruleset.xsd")


def rule(matches, actions, rule_id="", description="rule", trainable=False, expires="2037-12-31 23:59:59",
         enabled=True):
    return ('<rule description="%s" expires="%s" apply-header="false" enabled="%s" dispatched-messages="0" '
            'id="%s" trainable="%s"><matches>%s</matches><actions>%s</actions></rule>'
            % (description, expires, "true" if enabled else "false", rule_id, "true" if trainable else "false",
               matches, actions))


def field_is(name, pattern):
    return ('<match handler="regex" header-field-name="%s" match-mode="any">'
            '<regexes><regex pattern="%s"/></regexes></match>' % (name, pattern))


def subject_is(pattern):
    return field_is("subject", pattern)


def dispatch(mailbox):
    return '<action handler="dispatch" mailbox="%s"/>' % mailbox


def script(text):
    return '<match handler="python"><script>%s</script></match>' % text


ANY = '<match handler="any"/>'

DEFAULT_RULES = (rule(subject_is("work.*"), dispatch("work"), "work", "work mail", trainable=True)
                 + rule(subject_is("junk.*"), dispatch("&lt;delete&gt;"), "junk")
                 + rule(subject_is("lists.*"), dispatch("lists"), "lists", trainable=True)
                 + rule(ANY, dispatch("mail"), "rest", "everything else"))


def message(subject, body="body line\r\n", eol="\r\n", sender="Sender <sender@example.com>"):
    return eol.join(("From: " + sender, "To: alice@example.com", "Subject: " + subject, "", body)).encode()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


class MailStore:
    def __init__(self, root, user="alice", rules=DEFAULT_RULES):
        self.root, self.user, self.dir = root, user, os.path.join(root, user)
        for box in (".spool", ".raw", "mail", "spam", "work", "lists", "trained"):
            os.makedirs(os.path.join(self.dir, box), exist_ok=True)
        shutil.copy(SCHEMA, os.path.join(self.dir, "ruleset.xsd"))
        write(os.path.join(self.dir, "user.xml"),
              '<user><pop3-server><authentication handler="plaintext" password="pw"/></pop3-server></user>')
        self.write_rules(rules)

    def write_rules(self, rules, dispatched=0):
        write(os.path.join(self.dir, "ruleset.xml"),
              '<?xml version="1.0"?><ruleset dispatched-messages="%d"><rules>%s</rules></ruleset>' % (dispatched, rules))

    def rules_text(self):
        with open(os.path.join(self.dir, "ruleset.xml")) as f:
            return f.read()

    def spool(self, name, content):
        # Written beside the spool and renamed in, so the spool job never sees half a file.
        write(os.path.join(self.dir, name + ".part"), content)
        os.rename(os.path.join(self.dir, name + ".part"), os.path.join(self.dir, ".spool", name))

    def files(self, box):
        path = os.path.join(self.dir, box)
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def read(self, box, name):
        with open(os.path.join(self.dir, box, name), "rb") as f:
            return f.read()

    def wait_for(self, box, count, timeout=30, exactly=False):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if len(self.files(box)) == count or (len(self.files(box)) > count and not exactly):
                return self.files(box)
            time.sleep(0.05)
        raise AssertionError("%s holds %r, expected %d files" % (box, self.files(box), count))


class PipelineTest(unittest.TestCase):
    def setUp(self):
        self.service = Service()
        self.addCleanup(shutil.rmtree, self.service.dir, True)
        self.addCleanup(lambda: self.service.close())
        self.store = MailStore(os.path.join(self.service.dir, "mail"))

    def start(self, **settings):
        write(self.service.config_path, config_xml(dict(DEFAULT_SETTINGS, **settings)))
        self.service.start()
        self.service.wait_for_log("started")
        return self.service

    def test_spooled_messages_are_filed_by_the_rule_set(self):
        # Rules on the decoded twins of encoded fields; patterns reach the rule set as character references.
        self.store.write_rules(rule(field_is("x-nerra-decoded-subject", "Gr&#xFC;&#xDF;e aus .*"), dispatch("trained"))
                               + rule(field_is("x-nerra-decoded-parsed-from", ".*display-name\\(J&#xF6;rg\\).*"),
                                      dispatch("trained")) + DEFAULT_RULES)
        expected = {"work": [message("work plan")], "lists": [message("lists in lf", "one\ntwo\n", "\n")],
                    "mail": [message("Gruesse aus Koeln"), message("hello")],
                    "trained": [message("=?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?="),
                                message("hi", sender="=?ISO-8859-1?Q?J=F6rg?= <j@example.com>")]}
        self.start()
        for i, content in enumerate(sum(expected.values(), []) + [message("junk offer")]):
            self.store.spool("m%d.eml" % i, content)
        self.store.spool("broken.eml", b"Subject: no end\r\n" + b"x" * 70000)
        self.store.wait_for("spam", 1)
        for box, contents in expected.items():
            names = self.store.wait_for(box, len(contents), exactly=True)
            self.assertTrue(all(ID_NAME.match(name) for name in names), names)
            self.assertEqual(sorted(self.store.read(box, name) for name in names), sorted(contents), box)
        self.store.wait_for(".spool", 0, exactly=True)
        self.store.wait_for(".raw", 0, exactly=True)
        self.assertEqual(self.store.files("spam"), ["broken.eml"])  # under its spool name; the junk is deleted
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

    def test_start_up_respools_raw_messages_and_removes_what_was_cut_short(self):
        raw = os.path.join(self.store.dir, ".raw")
        write(os.path.join(raw, "20260101000000000123.msg"), message("work left over"))
        write(os.path.join(raw, "20260101000000000124.part"), message("work cut short"))  # a download
        write(os.path.join(raw, "not-a-message.tmp"), "partial")
        temporaries = ["ruleset.xml.042", "ruleset.xml.917", "ruleset.xml.bak"]  # of interrupted saves
        for name in temporaries:
            write(os.path.join(self.store.dir, name), "<ruleset")
        self.start()
        self.store.wait_for("work", 1)
        self.assertEqual(self.store.files(".raw"), ["not-a-message.tmp"])
        self.assertEqual([name for name in temporaries if os.path.exists(os.path.join(self.store.dir, name))],
                         ["ruleset.xml.bak"])
        self.assertEqual(self.service.stop(), 0)

    def test_an_expired_template_is_saved_and_the_rule_set_loads_again(self):
        template = rule(ANY, dispatch("work"), description="old template", expires="2001-01-01 00:00:00")
        inserter = rule(subject_is("never"), '<action handler="ruleset" method="insert-last">%s</action>' % template)
        self.store.write_rules(inserter + rule(ANY, dispatch("mail")))
        self.start()
        self.store.spool("first.eml", message("hello"))
        self.store.wait_for("mail", 1)
        self.assertEqual(self.service.stop(), 0)
        self.assertIn('description="old template"', self.store.rules_text())
        self.service = Service(directory=self.service.dir)
        self.start()
        self.store.spool("second.eml", message("hello"))
        self.store.wait_for("mail", 2)
        self.assertEqual(self.store.files("spam"), [])
        self.assertEqual(self.service.stop(), 0)

    def test_one_users_trouble_holds_up_no_other(self):
        # alice's mailbox has no directory, nor has bob's spam, and aaa_broken's account does not load.
        self.store.write_rules(rule(ANY, dispatch("nonexistent")))
        bob = MailStore(self.store.root, "bob", rule(ANY, dispatch("nonexistent")))
        os.rmdir(os.path.join(bob.dir, "spam"))
        write(os.path.join(MailStore(self.store.root, "aaa_broken").dir, "user.xml"), "<user>")
        zed = MailStore(self.store.root, "zed")
        self.start()
        for store in (self.store, bob, zed):
            store.spool("m.eml", message("work"))
        zed.wait_for("work", 1)
        self.store.wait_for("spam", 1)
        self.service.wait_for_log("of user alice filed into spam instead of nonexistent")
        self.service.wait_for_log("of user bob returned to the spool as ")
        self.service.wait_for_log("unable to load the account of user aaa_broken")
        self.assertEqual(self.service.stop(), 0)
        self.assertEqual([bob.read(box, name) for box in (".spool", ".raw") for name in bob.files(box)],
                         [message("work")])

    def test_flushes_during_slow_dispatches_lose_no_update(self):
        insert = '<action handler="ruleset" method="insert-last">%s</action>' % rule(
            subject_is("never"), dispatch("work"), description="added")
        slow = script('import time\ntime.sleep(0.25)\nresult = "match"')
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

    def test_console_locks_outlast_flushes_and_never_hold_up_stop(self):
        bob = MailStore(self.store.root, "bob")
        service = self.start(**{"flush-interval-sec": "1"})
        self.store.spool("first.eml", message("hello"))
        self.store.wait_for("mail", 1)
        self.assertEqual(service.command("lock ruleset alice"), "ok")
        self.store.write_rules(rule(ANY, dispatch("lists")))
        self.store.spool("second.eml", message("hello"))
        time.sleep(2)  # flushes go by
        self.assertEqual(self.store.files("lists"), [])  # held back while the rule set is locked
        self.assertEqual(service.command("unlock ruleset alice"), "ok")
        self.store.wait_for("lists", 1)
        # A job waits for each lock the console holds when it stops.
        self.assertEqual(service.command("lock ruleset alice"), "ok")
        self.store.spool("held.eml", message("hello"))
        self.store.wait_for(".spool", 0, exactly=True)
        self.assertEqual(service.command("lock user %s" % bob.user), "ok")
        time.sleep(1.5)  # the next spooling run now waits for bob's account
        self.assertEqual(service.stop(), 0)
        self.assertEqual((len(self.store.files("mail")), len(self.store.files("lists"))), (1, 2))

    def test_scripts_print_into_log_lines_and_are_cut_off_past_their_budget(self):
        printing = script('import sys\nprint("first\\nsecond")\nsys.__stdout__.write("third\\n")\nresult = "match"')
        endless = script("while True:\n    pass")
        self.store.write_rules(rule(subject_is("print.*") + printing, dispatch("work"))
                               + rule(subject_is("loop.*") + endless, dispatch("work"), description="endless")
                               + DEFAULT_RULES)
        service = self.start()
        self.store.spool("p.eml", message("print it"))
        self.store.wait_for("work", 1)
        self.assertEqual(service.command("noop"), "ok")  # nothing the script wrote came first
        service.wait_for_log("INFO CPython::Execute(): script output: third")
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
        for line in service.log():
            self.assertRegex(line, LOG_LINE)
        self.assertIn("INFO CPython::Execute(): script output: second", "\n".join(service.log()))


if __name__ == "__main__":
    unittest.main()
