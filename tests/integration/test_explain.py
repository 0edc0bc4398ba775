"""explain decides as the service files, and changes nothing; check finds every problem."""

import json
import os
import random
import shutil
import subprocess
import tempfile
import time
import unittest

from service import BINARY, Service
from test_pipeline import ANY, SCHEMA, dispatch, rule, subject_is

BOXES = ("mail", "spam", "work", "lists")


def regex(fields, mode, pattern):
    return ('<match handler="regex" header-field-name="%s" match-mode="%s"><regexes><regex pattern="%s"/>'
            '</regexes></match>' % (fields, mode, pattern))


def python(kind, script):
    return '<%s handler="python"><script>%s</script></%s>' % (kind, script, kind)


def ruleset(method, template="", reference=None):
    ref = "" if reference is None else ' reference="%s"' % reference
    return '<action handler="ruleset" method="%s"%s>%s</action>' % (method, ref, template)


def expanded(text):
    """A rule whose macros are expanded against each message; an insert's template too."""
    return text.replace('apply-header="false"', 'apply-header="true"', 1)


def own_rule(actions):
    """A rule that takes only the message whose walk inserted it: the rule set stays the same for the others."""
    return expanded(rule(regex("x-nerra-message-id", "any", "{{x-nerra-message-id}}"), actions,
                         description="for {{x-nerra-message-id}}"))


# Every match kind (regex any and all, python, any) and action kind (dispatch, python, each
# rule-set method), disabled and expired rules, macros, a failing script and the walk's cap.
RULES = "".join([
    rule(ANY, dispatch("work"), "off", "disabled", enabled=False),
    rule(ANY, dispatch("work"), "old", "expired", expires="2001-01-01 00:00:00"),
    rule(regex("list-id;x-mailing-list", "any", ".+"), dispatch("lists"), "lists", "lists"),
    expanded(rule(subject_is("tmp.*"), ruleset("insert-after", own_rule(ruleset("delete-current") + dispatch("work")),
                                               ""), "tmp", "insert after, the inserted rule deletes itself")),
    expanded(rule(subject_is("mark-first.*"), ruleset("insert-first", own_rule(dispatch("work"))), "", "insert-first")),
    expanded(rule(subject_is("mark-before.*"), ruleset("insert-before", own_rule(dispatch("work")), "lists"), "",
                  "insert-before")),
    expanded(rule(subject_is("mark-last.*"), ruleset("insert-last", own_rule(dispatch("lists"))), "", "insert-last")),
    rule(python("match", "result = 'match' if 'urgent' in headers.get('subject', '').lower() else ''"),
         python("action", "result = 'work' if int(headers['x-nerra-message-size']) &gt; 400 else 'mail'"),
         "", "python"),
    expanded(rule(regex("to", "all", ".*@corp\\.example"), dispatch("{{x-nerra-user-folder}}"), "", "all to corp")),
    rule(subject_is("junk.*"), dispatch("&lt;delete&gt;"), "", "delete"),
    rule(subject_is("whole.*"), dispatch("&lt;contents&gt;"), "", "needs the whole message"),
    rule(subject_is("skip.*"), ruleset("move-next"), "", "move-next"),
    rule(subject_is("(skip|plain).*"), dispatch("lists"), "", "skipped by move-next"),
    rule(subject_is("stop.*"), ruleset("move-end"), "", "move-end"),
    rule(subject_is("loop.*"), ruleset("move-first"), "", "move-first"),
    rule(subject_is("crash.*"), python("action", "raise ValueError('boom')"), "", "failing script"),
    rule(python("match", "result = 'match' if headers.get('x-nerra-decoded-subject', '').startswith('Gr\u00fc\u00dfe') "
                         "else ''"), dispatch("work"), "", "decoded"),
    expanded(rule(subject_is("to-header.*"), dispatch("{{x-target}}"), "", "target from the header")),
    rule(ANY, dispatch("mail"), "rest", "everything else"),
])

SUBJECTS = ["tmp note", "mark-first a", "mark-before b", "mark-last c", "URGENT: now", "urgent", "junk offer",
            "whole thing", "skip me", "plain text", "stop here", "crash now", "hello", "=?UTF-8?B?R3LDvMOfZSBhdXMgQmVybGlu?=",
            "=?ISO-8859-1?Q?Gr=FC=DFe?=", "to-header x", "meeting", ""]


def make_message(number, rng):
    subject = rng.choice(SUBJECTS)
    if number % 60 == 0:
        subject = "loop forever"  # a few walks that hit the cap
    headers = ["From: %s <s%d@%s>" % (rng.choice(["Ann", "=?UTF-8?Q?J=C3=B6rg?=", ""]), number,
                                       rng.choice(["example.com", "corp.example"])),
               "To: " + ", ".join("u%d@%s" % (k, rng.choice(["corp.example", "corp.example", "else.org"]))
                                  for k in range(rng.randint(1, 3))),
               "Subject: " + subject, "X-Seq: %d" % number]
    if rng.random() < 0.15:
        headers.append("List-Id: <list%d.example.org>" % rng.randint(1, 3))
    if subject.startswith("to-header"):
        headers.append("X-Target: " + rng.choice(["lists", "../escape", "nowhere", "work"]))
    if rng.random() < 0.1:
        headers.append("X-Nerra-Username: forged")
    eol = "\n" if rng.random() < 0.2 else "\r\n"
    body = ("line %d\r\n" % number) * rng.choice([1, 5, 40])
    return (eol.join(headers) + eol + eol + body).encode("utf-8")


def explain(directory, user, path, *options):
    return subprocess.run([BINARY, "explain", "--config", "config.xml"] + list(options) + [user, path],
                          cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


class ExplainTest(unittest.TestCase):
    def setUp(self):
        self.service = Service()
        self.addCleanup(self.service.close)
        self.user_dir = os.path.join(self.service.dir, "mail", "alice")
        for box in (".spool", ".raw") + BOXES:
            os.makedirs(os.path.join(self.user_dir, box))
        shutil.copy(SCHEMA, os.path.join(self.user_dir, "ruleset.xsd"))
        with open(os.path.join(self.user_dir, "user.xml"), "w") as f:
            f.write('<user><params><param name="folder" value="work"/></params><pop3-server>'
                    '<authentication handler="plaintext" password="pw"/></pop3-server></user>')
        with open(os.path.join(self.user_dir, "ruleset.xml"), "w") as f:
            f.write('<?xml version="1.0"?><ruleset dispatched-messages="0"><rules>%s</rules></ruleset>' % RULES)

    def test_explain_decides_as_the_service_files(self):
        rng = random.Random(16)
        corpus = os.path.join(self.service.dir, "corpus")
        os.makedirs(corpus)
        expected = {}
        with open(os.path.join(self.user_dir, "ruleset.xml"), "rb") as f:
            rules_before = f.read()
        for number in range(220):
            path = os.path.join(corpus, "m%03d.eml" % number)
            with open(path, "wb") as f:
                f.write(make_message(number, rng))
            done = explain(self.service.dir, "alice", path, "--json")
            self.assertEqual(done.returncode, 0, done.stderr)
            report = json.loads(done.stdout)
            expected[number] = report["filed-into"] or "deleted"
        with open(os.path.join(self.user_dir, "ruleset.xml"), "rb") as f:
            self.assertEqual(f.read(), rules_before)  # explain wrote nothing
        self.assertGreaterEqual(len(set(expected.values())), 5, expected)

        self.service.start()
        self.service.wait_for_log("started")
        for number in range(220):
            shutil.copy(os.path.join(corpus, "m%03d.eml" % number), os.path.join(self.user_dir, ".spool"))
        deadline = time.time() + 120
        while os.listdir(os.path.join(self.user_dir, ".spool")) or os.listdir(os.path.join(self.user_dir, ".raw")):
            self.assertLess(time.time(), deadline, "the service did not file the corpus")
            time.sleep(0.1)
        # explain runs beside the service and keeps no lock: the service still serves its console.
        self.assertEqual(explain(self.service.dir, "alice", os.path.join(corpus, "m000.eml")).returncode, 0)
        self.assertEqual(self.service.stop(), 0)

        filed = {number: "deleted" for number in range(220)}
        for box in BOXES:
            for name in os.listdir(os.path.join(self.user_dir, box)):
                with open(os.path.join(self.user_dir, box, name), "rb") as f:
                    number = int(f.read().split(b"X-Seq: ")[1].split(b"\n")[0].strip())
                filed[number] = box
        self.assertEqual(filed, expected)

    def test_the_trace_names_every_rule_and_what_decided(self):
        path = os.path.join(self.service.dir, "m.eml")
        with open(path, "wb") as f:
            f.write(b"From: a@corp.example\r\nTo: b@corp.example\r\nSubject: skip it\r\n\r\nbody\r\n")
        text = explain(self.service.dir, "alice", path)
        self.assertEqual(text.returncode, 0, text.stderr)
        lines = text.stdout.decode().splitlines()
        self.assertEqual(lines[0], 'rule 1 "disabled" (id off): skipped, disabled')
        self.assertEqual(lines[1], 'rule 2 "expired" (id old): skipped, expired')
        self.assertIn("  match 1 regex: accepted, every value of to matches every pattern", lines)
        self.assertIn("  action 1 dispatch: dispatch to 'work', names 'work'", lines)
        self.assertEqual(lines[-2:], ["decision: mailbox work", "filed into: work"])
        self.assertFalse(any("move-next" in line for line in lines))  # the all-to-corp rule decided first

        with open(path, "wb") as f:
            f.write(b"From: a@x.org\r\nTo: b@x.org\r\nSubject: whole thing\r\n\r\nbody\r\n")
        header_only = json.loads(explain(self.service.dir, "alice", path, "--json", "--header-only").stdout)
        self.assertEqual((header_only["decision"]["kind"], header_only["filed-into"]), ("needs-whole-message", ""))

        for args, error in ((["bob", path], b"No user 'bob'"), (["alice", path + ".none"], b"")):
            done = explain(self.service.dir, *args)
            self.assertEqual((done.returncode, done.stdout), (1, b""), args)
            self.assertIn(b"nerra-mail-filter explain: " + error, done.stderr)


class CheckTest(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(tempfile.mkdtemp(prefix="nerra-it-"), "demo")
        self.addCleanup(shutil.rmtree, os.path.dirname(self.dir), True)
        shutil.copytree(os.path.join(os.path.dirname(SCHEMA), "../.."), self.dir)

    def check(self):
        done = subprocess.run([BINARY, "check"], cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=120)
        return done.returncode, done.stdout.decode().splitlines()

    def edit(self, path, old, new):
        path = os.path.join(self.dir, path)
        with open(path) as f:
            text = f.read()
        self.assertIn(old, text)
        with open(path, "w") as f:
            f.write(text.replace(old, new, 1))

    def test_the_demo_is_clean(self):
        self.assertEqual(self.check(), (0, ["check: 1 user checked, 0 problems"]))

    def test_every_problem_of_a_broken_copy_is_reported(self):
        rules = "mail/demo/ruleset.xml"
        self.edit("config.xml", 'name="mail-interval-sec" value="300"', 'name="mail-interval-sec" value="soon"')
        self.edit(rules, 'pattern=".+"', 'pattern="(.+"')
        self.edit(rules, 'if "lottery" in subject', 'if "lottery" in subject)')
        self.edit(rules, '<action handler="dispatch" mailbox="work"/>',
                  '<action handler="dispatch" mailbox="nowhere"/><action handler="ruleset" method="insert-before" '
                  'reference="gone"><rule description="t" expires="2037-12-31 23:59:59" apply-header="false" '
                  'enabled="true" dispatched-messages="0" id="" trainable="false"><matches/><actions>'
                  '<action handler="dispatch" mailbox="work"/></actions></rule></action>')
        self.edit(rules, 'expires="2037-12-31 23:59:59"', 'expires="2037-12-31 23:59"')
        shutil.copytree(os.path.join(self.dir, "mail/demo"), os.path.join(self.dir, "mail/bob"))
        self.edit("mail/bob/user.xml", "</user>", "<user>")
        self.edit("mail/bob/ruleset.xml", "<rules>", "<rules><bogus/>")
        status, lines = self.check()
        self.assertEqual(status, 1)
        demo, bob = "mail/demo/ruleset.xml: ", "mail/bob/"
        self.assertEqual(lines[0], "config.xml: Invalid value of mail-interval-sec: 'soon', must be a whole number "
                                   "from 1 to 31536000")
        for expected in (bob + "user.xml: ", bob + "ruleset.xml: The document failed to validate",
                         demo + "rule 'Mailing lists go to lists': pattern '(.+' does not compile",
                         demo + "rule 'Colleagues at example.com go to work': unreadable expiry '2037-12-31 23:59'",
                         demo + "rule 'Colleagues at example.com go to work': mailbox 'nowhere' has no directory",
                         demo + "rule 'Colleagues at example.com go to work': insert-before refers to no rule with id "
                                "'gone'",
                         demo + "rule 'Subjects the script calls spam': script does not compile: Python exception "):
            self.assertEqual(len([line for line in lines if line.startswith(expected)]), 1, (expected, lines))
        self.assertEqual(lines[-1], "check: 2 users checked, 8 problems")
        self.assertEqual(len(lines), 9, lines)


if __name__ == "__main__":
    unittest.main()
