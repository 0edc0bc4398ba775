"""Runs the real service binary in a scratch mail directory and talks to its console."""

import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import time

BINARY = os.environ.get("NERRA_BINARY", os.path.join(os.path.dirname(__file__), "../../build/nerra-mail-filter"))

LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9a-f]{8}\] (INFO|WARNING|ERROR|CRITICAL) (.*)$")

DEFAULT_SETTINGS = {
    "mail-directory": "mail",
    "mail-interval-sec": "3600",
    "spool-interval-sec": "1",
    "flush-interval-sec": "3600",
    "pop3-address": "127.0.0.1",
    "pop3-port": "0",
    "worker-threads-per-pool": "2",
    "incoming-connection-timeout-sec": "60",
    "outgoing-connection-timeout-sec": "60",
    "pop3-connection-attempt-timeout-sec": "10",
    "pop3-messages-per-session": "100",
    "pop3-messages-per-sync": "10",
    "parallel-worker-thread-work-ms": "50",
    "parallel-worker-thread-sleep-ms": "10",
}


def config_xml(settings):
    params = "".join('<param name="%s" value="%s"/>' % (name, value) for name, value in settings.items())
    return '<?xml version="1.0"?>\n<config><params>%s</params></config>\n' % params


class Service:
    """One service process with its own directory; lines of stdout and stderr are collected."""

    def __init__(self, settings=None, config_text=None, directory=None):
        self.dir = directory or tempfile.mkdtemp(prefix="nerra-it-")
        self.owns_dir = directory is None
        self.config_path = os.path.join(self.dir, "config.xml")
        if config_text is None:
            config_text = config_xml(dict(DEFAULT_SETTINGS, **(settings or {})))
        if config_text is not False:
            with open(self.config_path, "w") as f:
                f.write(config_text)
        os.makedirs(os.path.join(self.dir, "mail"), exist_ok=True)
        self.replies = queue.Queue()
        self.log_lines = []  # appended to by one thread only, read as a copy
        self.proc = None

    def start(self, args=None):
        self.proc = subprocess.Popen(
            [BINARY] + (args if args is not None else [self.config_path]),
            cwd=self.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for stream, store in ((self.proc.stdout, self.replies.put), (self.proc.stderr, self.log_lines.append)):
            threading.Thread(target=self._read, args=(stream, store), daemon=True).start()
        return self

    @staticmethod
    def _read(stream, store):
        for line in stream:
            store(line.decode("latin-1").rstrip("\n"))

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode("latin-1"))
        self.proc.stdin.flush()

    def command(self, line, timeout=20):
        self.send(line)
        return self.reply(timeout)

    def reply(self, timeout=20):
        return self.replies.get(timeout=timeout)

    def no_reply(self, wait=0.5):
        try:
            extra = self.replies.get(timeout=wait)
        except queue.Empty:
            return True
        raise AssertionError("unexpected reply %r" % extra)

    def log(self):
        return list(self.log_lines)

    def wait_for_log(self, text, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            for line in self.log():
                if text in line:
                    return line
            time.sleep(0.05)
        raise AssertionError("log never showed %r; log:\n%s" % (text, "\n".join(self.log())))

    def wait(self, timeout=30):
        return self.proc.wait(timeout=timeout)

    def stop(self, timeout=30):
        """Sends stop, checks the reply and returns the exit status."""
        reply = self.command("stop", timeout)
        assert reply == "ok", reply
        return self.wait(timeout)

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.owns_dir:
            shutil.rmtree(self.dir, ignore_errors=True)


def failed_start_up(config_text):
    """Runs a process that must end (status 0) without starting; returns its ERROR lines, with the
    process's directory written as DIR."""
    service = Service(config_text=config_text).start()
    try:
        assert service.wait(20) == 0
        service.no_reply(0.2)
        log = service.log()
        assert not any("started" in line for line in log), log
        errors = [line.replace(service.dir, "DIR") for line in log if " ERROR " in line]
        assert errors, log
        return errors
    finally:
        service.close()
