"""The service under a service manager: no console, signals stop it and flush its rule sets."""

import os
import signal
import time
import unittest

from service import Service
from test_pipeline import ANY, MailStore, dispatch, message, rule


class ServiceModeTest(unittest.TestCase):
    def setUp(self):
        self.service = Service()
        self.addCleanup(self.service.close)
        self.store = MailStore(os.path.join(self.service.dir, "mail"))

    def start(self):
        self.service.start(args=["--no-console", self.service.config_path])
        self.service.wait_for_log("started")

    def wait_for_rules(self, text, timeout=30):
        deadline = time.time() + timeout
        while text not in self.store.rules_text():
            if time.time() > deadline:
                raise AssertionError("%r never in the rule set:\n%s" % (text, self.store.rules_text()))
            time.sleep(0.05)

    def test_stop_signals_save_the_rule_sets_and_exit_0(self):
        for number, name in ((signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT")):
            with self.subTest(name):
                self.service = Service(directory=self.service.dir)
                self.addCleanup(self.service.close)
                self.start()
                # Standard input is not read: neither a command nor its end stops the service.
                self.service.send("stop")
                self.service.proc.stdin.close()
                self.store.spool("m.eml", message("work item"))
                before = len(self.store.files("work"))
                self.store.wait_for("work", before + 1)
                self.assertIsNone(self.service.proc.poll())
                self.service.proc.send_signal(number)
                self.assertEqual(self.service.wait(), 0)
                self.service.no_reply(0.1)
                self.assertIn('<ruleset dispatched-messages="%d">' % (before + 1), self.store.rules_text())
                self.service.wait_for_log("WaitForStopSignal(): %s received" % name)
                self.service.wait_for_log("main(): shutting down...")

    def test_hangup_saves_and_unloads_the_rule_sets(self):
        self.start()
        self.store.spool("first.eml", message("hello"))
        self.store.wait_for("mail", 1)
        self.service.proc.send_signal(signal.SIGHUP)
        self.wait_for_rules('<ruleset dispatched-messages="1">')
        self.service.wait_for_log("WaitForStopSignal(): SIGHUP received, saving and unloading the cached rule sets")
        self.service.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.service.wait(), 0)

    def test_an_edit_made_while_the_rule_set_is_cached_wins(self):
        """SIGHUP and stop each keep the edit and give up the cached counters."""
        for way in ("SIGHUP", "stop"):
            with self.subTest(way):
                self.service = Service(directory=self.service.dir)
                self.addCleanup(self.service.close)
                self.store.write_rules(rule(ANY, dispatch("mail")))
                self.start()
                before = len(self.store.files("mail"))
                self.store.spool("first.eml", message("hello"))
                self.store.wait_for("mail", before + 1)
                edit = rule(ANY, dispatch("lists"), description="edited by hand")
                self.store.write_rules(edit, dispatched=7)
                edited = self.store.rules_text()
                if way == "SIGHUP":
                    self.service.proc.send_signal(signal.SIGHUP)
                elif way == "stop":
                    self.service.proc.send_signal(signal.SIGTERM)
                    self.assertEqual(self.service.wait(), 0)
                self.service.wait_for_log("was changed on disk since it was loaded, the edit is kept and "
                                          "1 counter updates are given up")
                self.assertEqual(self.store.rules_text(), edited)
                if way != "stop":
                    lists = len(self.store.files("lists"))
                    self.store.spool("second.eml", message("hello"))
                    self.store.wait_for("lists", lists + 1)
                    self.service.proc.send_signal(signal.SIGTERM)
                    self.assertEqual(self.service.wait(), 0)
                    self.assertIn('dispatched-messages="8"', self.store.rules_text())


if __name__ == "__main__":
    unittest.main()
