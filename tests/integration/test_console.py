"""The control console of the real process: start-up, replies, failures and shutdown."""

import unittest

from service import LOG_LINE, Service

VERSION = "1.4, built Sep 13 2005 13:05:54"


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.service = None

    def tearDown(self):
        if self.service:
            self.service.close()

    def start(self, **kwargs):
        self.service = Service(**kwargs).start()
        self.service.wait_for_log("main(): Nerra Mail Filter %s started" % VERSION)
        return self.service

    def test_start_up_line_noop_and_stop(self):
        service = self.start()
        first = service.wait_for_log("started")
        match = LOG_LINE.match(first)
        self.assertIsNotNone(match, first)
        self.assertEqual(match.group(2), "main(): Nerra Mail Filter %s started" % VERSION)
        self.assertEqual(service.command("noop"), "ok")
        self.assertEqual(service.command("noop "), "err")
        self.assertEqual(service.command("NOOP"), "err")
        self.assertEqual(service.stop(), 0)
        log = service.log()
        self.assertTrue(any(line.endswith("INFO main(): shutting down...") for line in log), log)
        for line in log:
            self.assertRegex(line, LOG_LINE)

    def test_get_config(self):
        service = self.start(settings={"version": "2.0", "pop3-port": "0"})
        self.assertEqual(service.command("get config version"), "ok " + VERSION)
        self.assertEqual(service.command("get config mail-directory"), "ok mail")
        service.send("get config mail_directory")
        self.assertEqual(service.command("noop"), "ok")  # no reply for the missing name, and still alive
        service.wait_for_log("ERROR SleepInControlLoop(): Value for name 'mail_directory' is not found in the map")
        self.assertEqual(service.stop(), 0)

    def test_a_line_break_in_a_value_is_escaped_so_the_reply_stays_one_line(self):
        service = self.start(settings={"motd": "one&#13;two&#10;three\\n"})
        self.assertEqual(service.command("get config motd"), "ok one\\rtwo\\nthree\\n")
        self.assertEqual(service.command("noop"), "ok")
        self.assertEqual(service.stop(), 0)

    def test_overlong_line_is_cut_and_refused(self):
        service = self.start()
        self.assertEqual(service.command("noop" + "x" * 2996), "err")
        service.wait_for_log("WARNING ValidateRegexedLine(): input line is too long, exceeds 2048 bytes")
        self.assertEqual(service.command("noop"), "ok")
        self.assertEqual(service.stop(), 0)

    def test_replies_come_in_order_of_the_commands(self):
        service = self.start()
        for line in ["noop", "bogus", "get config product-name", "noop"]:
            service.send(line)
        self.assertEqual([service.reply() for _ in range(4)], ["ok", "err", "ok Nerra Mail Filter", "ok"])
        self.assertEqual(service.stop(), 0)

    def test_end_of_input_shuts_down(self):
        service = self.start()
        service.proc.stdin.close()
        self.assertEqual(service.reply(), "ok")
        self.assertEqual(service.wait(), 0)
        service.wait_for_log("main(): shutting down...")

    def check_failed_start(self, service, expected):
        self.assertEqual(service.wait(), 0)
        service.no_reply(0.2)
        errors = [line for line in service.log() if " ERROR " in line]
        self.assertTrue(errors, service.log())
        self.assertIn("ERROR main(): " + expected, errors[-1])
        self.assertFalse(any("started" in line for line in service.log()))

    def test_missing_config_ends_the_process(self):
        self.service = Service(config_text=False).start()
        self.check_failed_start(self.service, "Failed to load XML file from '%s'" % self.service.config_path)

    def test_malformed_config_ends_the_process(self):
        self.service = Service(config_text="<config><params>").start()
        self.check_failed_start(self.service, "Failed to load XML file from")
        self.assertTrue(any("XMLError(): " in line for line in self.service.log()))

    def test_bad_setting_name_ends_the_process(self):
        self.service = Service(config_text='<config><params><param name="a b" value="1"/></params></config>').start()
        self.check_failed_start(self.service, "Invalid name for a configuration parameter: 'a b'")

    def test_default_config_path_is_config_xml_in_the_working_directory(self):
        self.service = Service().start(args=[])
        self.service.wait_for_log("started")
        self.assertEqual(self.service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
