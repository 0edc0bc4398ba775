"""The control console of the real process: start-up, replies, failures and shutdown."""

import unittest

from service import LOG_LINE, Service, failed_start_up

VERSION = "1.4, built Sep 13 2005 13:05:54"


class ConsoleTest(unittest.TestCase):
    def test_replies_come_one_line_each_in_the_order_of_the_commands(self):
        service = Service(settings={"version": "2.0", "motd": "one&#13;two&#10;three\\n"}).start()
        self.addCleanup(service.close)
        started = service.wait_for_log("started")
        self.assertEqual(LOG_LINE.match(started).group(2), "main(): Nerra Mail Filter %s started" % VERSION)
        # A reply starting "err " is checked up to its message.
        exchanges = [
            ("noop", "ok"), ("bogus", "err"), ("get config version", "ok " + VERSION),
            ("get config product-name", "ok Nerra Mail Filter"), ("get config mail-directory", "ok mail"),
            ("get config motd", "ok one\\rtwo\\nthree\\n"), ("reload users", "ok"),
            ("lock user alice", "ok"), ("lock user alice", "ok"), ("unlock user alice", "ok"),
            ("unlock user alice", "ok"), ("unlock user nobody", "ok"), ("unlock ruleset alice", "ok"),
            ("validate regex a|b", "ok"), ("validate regex a(b", "err "),
            ("validate python x = 1{{x-nerra-crlf}}result = x", "ok"),
            ("validate python if x{{x-nerra-crlf}}", "err Python exception <class 'SyntaxError'>"), ("noop", "ok")]
        for command, _ in exchanges:
            service.send(command)
        for command, expected in exchanges:
            reply = service.reply()
            self.assertTrue(reply == expected or expected.startswith("err ") and reply.startswith(expected),
                            (command, reply))
        service.no_reply()
        service.wait_for_log("WARNING Regular expression a(b is invalid: ")
        self.assertEqual(service.stop(), 0)
        self.assertTrue(any(line.endswith("INFO main(): shutting down...") for line in service.log()))
        for line in service.log():
            self.assertRegex(line, LOG_LINE)

    def test_end_of_input_stops_a_service_started_on_the_default_config(self):
        service = Service().start(args=[])
        self.addCleanup(service.close)
        service.wait_for_log("started")
        service.proc.stdin.close()
        self.assertEqual(service.reply(), "ok")
        self.assertEqual(service.wait(), 0)
        service.wait_for_log("main(): shutting down...")

    def test_a_config_that_does_not_load_ends_the_process(self):
        unreadable = "Failed to load XML file from 'DIR/config.xml'"
        for config_text, error, cause in [
                (False, unreadable, ""), ("<config><params>", unreadable, "XMLError(): "),
                ('<config><params><param name="a b" value="1"/></params></config>',
                 "Invalid name for a configuration parameter: 'a b'", "")]:
            errors = failed_start_up(config_text)
            self.assertIn("ERROR main(): " + error, errors[-1])
            self.assertIn(cause, "\n".join(errors[:-1]))


if __name__ == "__main__":
    unittest.main()
