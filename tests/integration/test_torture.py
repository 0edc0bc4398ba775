"""Kills the service at random moments while it files mail, restarts it after each kill, and
then checks every message: filed whole, once, into the mailbox its rules name, with nothing
left behind in .raw or .spool.

The tests here run a short version. `make torture` runs the long one:
    test_torture.py [--kills N] [--seed S]
"""

import argparse
import base64
import os
import random
import re
import shutil
import sys
import tempfile
import time
import unittest

from dovecot import Dovecot, PausingProxy
from service import Service
from test_fetch import TRACE_LINE
from test_pipeline import ANY, MailStore, dispatch, rule, subject_is

# A message goes to the mailbox its subject starts with; "mail" takes the rest.
BOXES = ("work", "lists", "archive", "mail")
RULES = "".join(rule(subject_is(box + " .*"), dispatch(box)) for box in BOXES[:-1]) + rule(ANY, dispatch("mail"))
SETTINGS = {"spool-interval-sec": "1", "pop3-messages-per-sync": "3", "pop3-messages-per-session": "1000"}
NUMBER = re.compile(rb"\nX-Torture-Id: (\d+)\r?\n")
FILED = " filed into "

# Where a kill lands; a run goes through them in turn, so even a short run meets each.
SPOOL_MODES = ("start-up", "spooling", "filing", "stop", "any time")
FETCH_MODES = ("start-up", "download", "filing", "stop", "any time")
# What must stay zero. A session cut after its DELEs leaves them undone on the server, which
# offers the messages again: the ids of stored messages, kept until QUIT, make the next
# session delete them instead of filing them twice.
SPOOL_FAULTS = ("lost", "truncated", "corrupt", "duplicated", "misfiled", "left", "crashes")
FETCH_FAULTS = SPOOL_FAULTS + ("left on the server",)


class Messages:
    """The messages of a run, made from its seed: from a few hundred bytes to several hundred
    kilobytes, with lines up to a few hundred bytes and some starting with a dot."""

    def __init__(self, rng):
        self.rng = rng
        self.texts = {}
        self.boxes = {}
        self.letters = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz .,:;-=0123456789") for _ in range(4096))

    def make(self, large=False, eol=b"\r\n"):
        rng, number = self.rng, len(self.texts) + 1
        box = rng.choice(BOXES)
        odds = rng.random()
        size = rng.randint(200000, 700000) if large or odds < 0.1 else \
            rng.randint(8000, 64000) if odds < 0.35 else rng.randint(200, 8000)
        lines = [b"From: Sender <sender@example.com>", b"To: alice@example.com",
                 b"Subject: %s %d" % (box.encode(), number), b"Message-ID: <%d@torture.example>" % number,
                 b"X-Torture-Id: %d" % number, b""]
        length = 0
        while length < size:
            start = rng.randrange(len(self.letters) - 300)
            line = (b"." if rng.random() < 0.05 else b"") + self.letters[start:start + rng.randint(0, 300)]
            lines.append(line)
            length += len(line) + len(eol)
        self.texts[number] = eol.join(lines) + eol
        self.boxes[number] = box
        return number

    def classify(self, text):
        """("whole" or "truncated", number) for a message or the start of one; ("corrupt", None)."""
        found = NUMBER.search(text)
        known = found and int(found.group(1)) in self.texts
        for number in [int(found.group(1))] if known else self.texts:
            if text == self.texts[number]:
                return "whole", number
            if self.texts[number].startswith(text):
                return "truncated", number
        return "corrupt", None


class Torture:
    """One mail store and its service, killed and restarted round after round."""

    def __init__(self, seed, fetching):
        self.seed, self.fetching = seed, fetching
        self.rng = random.Random(seed)
        self.messages = Messages(self.rng)
        self.dir = tempfile.mkdtemp(prefix="nerra-torture-")
        self.store = MailStore(os.path.join(self.dir, "mail"), rules=RULES)
        os.makedirs(os.path.join(self.store.dir, "archive"))
        self.figures = dict.fromkeys(("kills", "in flight", "in a download", "crashes"), 0)
        self.sizes = {}  # of the files in .raw when last looked at
        self.server = self.proxy = None
        self.last_log = []
        if fetching:
            self.server = Dovecot().start()
            # Slowed down, a download lasts long enough for a kill to land in the middle of it.
            self.proxy = PausingProxy(self.server.port, delay=0.02)
            with open(os.path.join(self.store.dir, "user.xml"), "w") as f:
                f.write('<user><pop3-server><authentication handler="plaintext" password="pw"/></pop3-server>'
                        '<pop3-clients><pop3-client hostname="127.0.0.1" port="%d" username="bob" password="%s"/>'
                        '</pop3-clients></user>' % (self.proxy.port, base64.b64encode(b"secret").decode()))

    def close(self, keep=False):
        if self.proxy:
            self.proxy.close()
        if self.server:
            self.server.close()
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def run(self, kills, batch):
        modes = FETCH_MODES if self.fetching else SPOOL_MODES
        first = self.rng.randrange(len(modes))
        round_number = 0
        while self.figures["kills"] < kills:
            self.add_batch(batch)
            self.kill_round(modes[(first + round_number) % len(modes)], batch)
            round_number += 1
        self.drain()
        return self.audit()

    def add_batch(self, batch):
        for i in range(batch):
            if self.fetching:
                # Every batch has a large message, so there is always a download to cut.
                self.server.add_message(self.messages.texts[self.messages.make(large=i == 0)])
            else:
                number = self.messages.make(eol=self.rng.choice((b"\r\n", b"\n")))
                self.store.spool("m%d.eml" % number, self.messages.texts[number])

    def start(self):
        return Service(directory=self.dir, settings=SETTINGS).start()

    def kill_round(self, mode, batch):
        service = self.start()
        try:
            if mode == "start-up":
                time.sleep(self.rng.uniform(0, 0.3))
            else:
                service.wait_for_log("started", 60)
                if self.fetching:
                    assert service.command("check user alice", 60) == "ok"
                self.wait_for_moment(service, mode, batch)
            if service.proc.poll() is None:
                self.figures["kills"] += 1
            elif mode != "stop" or service.proc.returncode != 0:
                self.figures["crashes"] += 1
        finally:
            service.close()
            self.last_log = service.log()
        if self.store.files(".raw"):
            self.figures["in flight"] += 1

    def wait_for_moment(self, service, mode, batch):
        deadline = time.time() + 60

        def until(condition):
            while time.time() < deadline and service.proc.poll() is None:
                if condition():
                    return True
                time.sleep(0.002)
            return False

        if mode == "spooling":
            threshold = self.rng.randrange(batch)
            until(lambda: len(self.store.files(".spool")) <= threshold)
        elif mode == "filing":
            filed = self.rng.randrange(batch)
            until(lambda: sum(FILED in line for line in service.log()) >= filed)
        elif mode == "download":
            self.sizes = {}
            self.figures["in a download"] += until(self.download_in_progress)
        elif mode == "stop":
            time.sleep(self.rng.uniform(0, 1.5))
            service.send("stop")
            time.sleep(self.rng.uniform(0, 0.05))
        else:
            time.sleep(self.rng.uniform(0, 2.5))

    def download_in_progress(self):
        """Whether a file in .raw has grown since the last look and does not hold all its message yet."""
        growing = False
        for name in self.store.files(".raw"):
            try:
                with open(os.path.join(self.store.dir, ".raw", name), "rb") as f:
                    text = f.read()
            except FileNotFoundError:
                continue
            grown, self.sizes[name] = len(text) > self.sizes.get(name, len(text)), len(text)
            trace = TRACE_LINE.match(text)
            growing |= grown and (not trace or self.messages.classify(text[trace.end():])[0] == "truncated")
        return growing

    def drain(self):
        """Restarts the service for good and waits until everything has been filed."""
        service = self.start()
        try:
            service.wait_for_log("started", 60)
            if self.fetching:
                assert service.command("check user alice", 60) == "ok"
            deadline = time.time() + 600
            # A message goes from the server to .spool or .raw and from there to a mailbox:
            # look in that order, so none slips past between two looks.
            while ((self.fetching and self.server.messages()) or self.store.files(".spool")
                   or self.store.files(".raw")) and time.time() < deadline:
                time.sleep(0.1)
            if service.stop(60) != 0:
                self.figures["crashes"] += 1
        finally:
            service.close()
            self.last_log = service.log()

    def audit(self):
        copies = {number: [] for number in self.messages.texts}
        figures = dict(self.figures, messages=len(copies), truncated=0, corrupt=0, misfiled=0, left=0)
        for box in sorted(os.listdir(self.store.dir)):
            folder = os.path.join(self.store.dir, box)
            if not os.path.isdir(folder):
                continue
            for name in os.listdir(folder):
                if box in (".raw", ".spool"):
                    figures["left"] += 1
                    continue
                with open(os.path.join(folder, name), "rb") as f:
                    text = f.read()
                trace = TRACE_LINE.match(text) if self.fetching else None
                kind, number = self.messages.classify(text[trace.end():] if trace else text)
                if self.fetching and not trace and text:
                    kind = "corrupt"  # every fetched message starts with its trace line
                if kind == "whole":
                    copies[number].append(box)
                    figures["misfiled"] += box != self.messages.boxes[number]
                else:
                    figures[kind] += 1
        figures["lost"] = sum(not boxes for boxes in copies.values())
        figures["left on the server"] = len(self.server.messages()) if self.fetching else 0
        figures["duplicated"] = sum(len(boxes) > 1 for boxes in copies.values())
        return figures

    def report(self, figures):
        what = "fetching" if self.fetching else "spooling"
        return ("%s (seed %d): %d kills (%d with mail in .raw, %d in a download), %d messages: %d lost, "
                "%d truncated, %d corrupt, %d duplicated, %d misfiled, %d left in .raw or .spool, %d left on the server, "
                "%d crashes"
                % (what, self.seed, figures["kills"], figures["in flight"], figures["in a download"],
                   figures["messages"], figures["lost"],
                   figures["truncated"], figures["corrupt"], figures["duplicated"], figures["misfiled"],
                   figures["left"], figures["left on the server"], figures["crashes"]))


def torture(seed, fetching, kills, batch, keep=False):
    """Runs one scenario and returns its figures, its report line and the faults seen. With
    `keep`, a run that saw faults leaves its mail directory behind for a look."""
    run = Torture(seed, fetching)
    faults = None
    try:
        figures = run.run(kills, batch)
        faults = {name: figures[name] for name in (FETCH_FAULTS if fetching else SPOOL_FAULTS) if figures[name]}
        report = run.report(figures)
        if faults and keep:
            report += "\n  mail directory kept in %s; last service log:\n    %s" % (
                run.dir, "\n    ".join(run.last_log[-20:]))
        return figures, report, faults
    finally:
        run.close(keep=keep and faults != {})


def seed_from_environment():
    return int(os.environ.get("NERRA_TORTURE_SEED") or random.randrange(1 << 31))


class SpoolingTortureTest(unittest.TestCase):
    def test_kills_while_spooling_lose_and_duplicate_nothing(self):
        _, report, faults = torture(seed_from_environment(), False, kills=5, batch=20)
        print(report, file=sys.stderr)
        self.assertEqual(faults, {}, report)


class FetchingTortureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.figures, cls.report, _ = torture(seed_from_environment(), True, kills=5, batch=4)
        print(cls.report, file=sys.stderr)

    def test_kills_while_fetching_lose_and_duplicate_nothing(self):
        for name in ("lost", "duplicated", "corrupt", "misfiled", "left", "left on the server", "crashes"):
            self.assertEqual(self.figures[name], 0, "%s: %s" % (name, self.report))
        self.assertGreater(self.figures["in a download"], 0, "no kill cut a download: " + self.report)

    def test_kills_while_fetching_file_nothing_truncated(self):
        self.assertEqual(self.figures["truncated"], 0, self.report)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=50, help="kills per scenario (default 50)")
    parser.add_argument("--seed", type=int, default=None, help="seed of messages and kill moments")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else seed_from_environment()
    failed = False
    for fetching, batch in ((False, 30), (True, 6)):
        _, report, faults = torture(seed, fetching, args.kills, batch, keep=True)
        print(report, flush=True)
        failed |= bool(faults)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
