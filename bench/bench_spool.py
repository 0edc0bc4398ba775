#!/usr/bin/python3
"""Spooled mail per second through the whole process, against the disk's cost floor.

N messages with realistic headers and 4 KiB bodies wait in one user's .spool under a 20-rule
regex rule set; the rate runs from the first spooling run until the last message is filed.
Peak resident memory is read for two sizes of N to show it does not grow with N.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build-bench"))
BINARY = os.path.join(BUILD, "nerra-mail-filter")
FLOOR = os.path.join(BUILD, "bench", "bench_spool_floor")


def rule(i):
    field, pattern = [("subject", ".*(offer|deal)%d.*" % i), ("x-nerra-parsed-from-mailbox", "[^@]+@spam%d\\.example" % i),
                      ("to", "list%d@lists\\.example\\.org" % i), ("x-mailer", "Mailer-%d/.*" % i)][i % 4]
    return ('<rule description="rule %d" expires="2037-12-31 23:59:59" apply-header="false" enabled="true" '
            'dispatched-messages="0" id="r%d" trainable="false"><matches><match handler="regex" '
            'header-field-name="%s" match-mode="any"><regexes><regex pattern="%s"/></regexes></match></matches>'
            '<actions><action handler="dispatch" mailbox="box%d"/></actions></rule>' % (i, i, field, pattern, i % 4))


SETTINGS = {"mail-directory": "mail", "mail-interval-sec": "3600", "spool-interval-sec": "1",
            "flush-interval-sec": "3600", "pop3-address": "127.0.0.1", "pop3-port": "0",
            "worker-threads-per-pool": "2", "incoming-connection-timeout-sec": "60",
            "outgoing-connection-timeout-sec": "60", "pop3-connection-attempt-timeout-sec": "10",
            "pop3-messages-per-session": "100", "pop3-messages-per-sync": "10",
            "parallel-worker-thread-work-ms": "50", "parallel-worker-thread-sleep-ms": "10"}


def write_config(root, **overrides):
    """The service's config.xml in root: the benchmarks' settings with the given changes."""
    settings = dict(SETTINGS, **{name.replace("_", "-"): value for name, value in overrides.items()})
    with open(os.path.join(root, "config.xml"), "w") as f:
        f.write("<config><params>%s</params></config>" % "".join(
            '<param name="%s" value="%s"/>' % item for item in settings.items()))


BOXES = ("mail", "spam", "box0", "box1", "box2", "box3")


def make_user(root):
    """The benchmark user's directory under root: its folders and the 20-rule rule set."""
    user = os.path.join(root, "mail", "bench")
    for sub in (".spool", ".raw") + BOXES:
        os.makedirs(os.path.join(user, sub))
    shutil.copy(os.path.join(SOURCE, "examples/mail/demo/ruleset.xsd"), user)
    rules = "".join(rule(i) for i in range(19)) + (
        '<rule description="rest" expires="2037-12-31 23:59:59" apply-header="false" enabled="true" '
        'dispatched-messages="0" id="rest" trainable="false"><matches><match handler="any"/></matches>'
        '<actions><action handler="dispatch" mailbox="mail"/></actions></rule>')
    with open(os.path.join(user, "ruleset.xml"), "w") as f:
        f.write('<?xml version="1.0"?><ruleset dispatched-messages="0"><rules>%s</rules></ruleset>' % rules)
    return user


def setup(root, count):
    user = make_user(root)
    with open(os.path.join(user, "user.xml"), "w") as f:
        f.write("<user/>")
    write_config(root)
    body = ("Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.\r\n" * 52)[:4096]
    spool = os.path.join(user, ".spool")
    for i in range(count):
        with open(os.path.join(spool, "m%06d.eml" % i), "w", newline="") as f:
            f.write("Received: from relay%d.example.net (relay%d.example.net [192.0.2.%d]) by mx.example.com;"
                    " Mon, 7 Dec 2026 10:00:%02d +0000\r\n"
                    "From: \"Sender %d\" <sender%d@host%d.example.com>\r\nTo: alice@example.com\r\n"
                    "Subject: message %d about the weekly things\r\nDate: Mon, 7 Dec 2026 10:00:%02d +0000\r\n"
                    "Message-ID: <%d@host.example.com>\r\nX-Mailer: Client %d\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: text/plain; charset=us-ascii\r\n\r\n%s"
                    % (i % 50, i % 50, i % 250, i % 60, i, i, i % 40, i, i % 60, i, i % 7, body))
    return user


def filed(user):
    return sum(len(os.listdir(os.path.join(user, box))) for box in BOXES)


def cpu_seconds(pid):
    """User and system CPU time of the process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(count):
    root = tempfile.mkdtemp(prefix="nerra-bench-spool-")
    try:
        user = setup(root, count)
        os.sync()  # the files just written are not flushed while the service is measured
        proc = subprocess.Popen([BINARY, "config.xml"], cwd=root, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        spool = os.path.join(user, ".spool")
        while len(os.listdir(spool)) == count:
            time.sleep(0.005)
        start, cpu_start = time.time(), cpu_seconds(proc.pid)
        # Done once both queues are empty; the spool is listed first, so a message moving on
        # to .raw in between is still seen. Listing the queues, not the filled mailboxes, keeps
        # the watcher from taking the service's processor time.
        raw = os.path.join(user, ".raw")
        while os.listdir(spool) or os.listdir(raw):
            time.sleep(0.005)
        elapsed, cpu = time.time() - start, cpu_seconds(proc.pid) - cpu_start
        assert filed(user) == count
        with open("/proc/%d/status" % proc.pid) as f:
            peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
        proc.stdin.write(b"stop\n")
        proc.stdin.close()
        proc.wait(timeout=60)
        return count / elapsed, peak, cpu * 1000 / count
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    # A short run can meet a journal commit of the file system: take the median of three.
    runs = sorted(run(5000) for _ in range(3))
    rate, peak, cpu = runs[1]
    floor = int(subprocess.check_output([FLOOR, tempfile.mkdtemp(prefix="nerra-bench-floor-"), "5000", "4400"]))
    _, peak_large, _ = run(20000)
    print("spooled messages/s (N=5000):      %8.0f  (runs: %s)" % (rate, ", ".join("%.0f" % r for r, _, _ in runs)))
    print("floor, renames and read only:     %8d" % floor)
    print("rate / floor:                     %8.2f" % (rate / floor))
    print("CPU-seconds per 1,000 messages:   %8.3f" % cpu)
    print("peak RSS N=5000:                  %8d KiB" % peak)
    print("peak RSS N=20000:                 %8d KiB" % peak_large)


if __name__ == "__main__":
    main()
