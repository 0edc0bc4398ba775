"""Rules on the decoded twins of encoded header fields, through the whole process."""

import os
import unittest

from service import Service
from test_pipeline import ANY, MailStore, dispatch, rule

# "Grüße aus Köln" and "Jörg" as encoded words; patterns reach the rule set as character references.
SUBJECT = "=?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?="
DECODED_SUBJECT_RULE = ('<match handler="regex" header-field-name="x-nerra-decoded-subject" match-mode="any">'
                        '<regexes><regex pattern="Gr&#xFC;&#xDF;e aus .*"/></regexes></match>')
DECODED_NAME_RULE = ('<match handler="regex" header-field-name="x-nerra-decoded-parsed-from" match-mode="any">'
                     '<regexes><regex pattern=".*display-name\\(J&#xF6;rg\\).*"/></regexes></match>')


def encoded_message(sender, subject):
    return ("From: %s\r\nTo: alice@example.com\r\nSubject: %s\r\n\r\nbody\r\n" % (sender, subject)).encode()


class DecodedHeadersTest(unittest.TestCase):
    def test_rules_on_decoded_twins_file_encoded_messages(self):
        service = Service()
        self.addCleanup(service.close)
        store = MailStore(os.path.join(service.dir, "mail"),
                          rules=rule(DECODED_SUBJECT_RULE, dispatch("work")) + rule(DECODED_NAME_RULE, dispatch("lists"))
                          + rule(ANY, dispatch("mail")))
        service.start()
        service.wait_for_log("started")
        store.spool("subject.eml", encoded_message("a@example.com", SUBJECT))
        store.spool("name.eml", encoded_message("=?ISO-8859-1?Q?J=F6rg?= <j@example.com>", "hi"))
        store.spool("plain.eml", encoded_message("a@example.com", "Gruesse aus Koeln"))
        store.wait_for("work", 1)
        store.wait_for("lists", 1)
        store.wait_for("mail", 1)
        self.assertEqual(service.stop(), 0)
        self.assertEqual([len(store.files(box)) for box in ("work", "lists", "mail", "spam")], [1, 1, 1, 0])


if __name__ == "__main__":
    unittest.main()
