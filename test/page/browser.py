"""Debian's headless chromium, driven over its DevTools pipe in real time.

The page's timeouts and its time to the counts are real time here: under
--virtual-time-budget, chromium jumps its clock ahead whenever it looks idle,
which can fire a fetch's timeout before the fetch has gone out, and stops the
clock while a listing is on the wire.
"""

import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync"]


class Browser:
    """One chromium with one page; use it in a with statement."""

    def __init__(self, work):
        self.profile = tempfile.mkdtemp(dir=work)
        commands, self.commands = os.pipe()
        self.answers, answers = os.pipe()
        # chromium reads commands on fd 3 and answers on fd 4.
        self.process = subprocess.Popen(
            ["bash", "-c", 'exec "$@" 3<&%d 4>&%d' % (commands, answers), "bash"] + CHROMIUM +
            ["--remote-debugging-pipe", "--user-data-dir=" + self.profile, "about:blank"], pass_fds=(commands, answers), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(commands)
        os.close(answers)
        self.next_id, self.pending, self.session = 0, b"", None

    def __enter__(self):
        return self

    def __exit__(self, *_):
        os.close(self.commands)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.answers)
        shutil.rmtree(self.profile, ignore_errors=True)

    def call(self, method, timeout=30, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session is not None and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self.pending:
                raw, self.pending = self.pending.split(b"\0", 1)
                answer = json.loads(raw)
                if answer.get("id") == self.next_id:
                    if "error" in answer:
                        raise RuntimeError("%s: %s" % (method, answer["error"]))
                    return answer["result"]
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.answers], [], [], left)[0]:
                raise TimeoutError("chromium did not answer " + method)
            chunk = os.read(self.answers, 1 << 20)
            if not chunk:
                raise RuntimeError("chromium ended")
            self.pending += chunk

    def open(self, url):
        target = self.call("Target.createTarget", url=url)["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait(self, expression, timeout=60):
        """Polls until expression is true; the timeout only guards against a hang."""
        deadline = time.monotonic() + timeout
        while not self.evaluate(expression):
            if time.monotonic() > deadline:
                raise TimeoutError("the page never got to " + expression)
            time.sleep(0.05)

    def dom(self):
        return self.evaluate("document.documentElement.outerHTML")

    def screenshot(self, path, width=1200, height=700):
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=False)
        with open(path, "wb") as out:
            out.write(base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"]))


# The page has drawn its rows for the day it shows (or said what went wrong).
DRAWN = ("(document.querySelector('#runs tbody')?.getAttribute('data-day') === %s"
         " && / updated /.test(document.getElementById('status').textContent))"
         " || document.getElementById('status')?.className === 'trouble'")


def drawn(day):
    return DRAWN % json.dumps(day)
