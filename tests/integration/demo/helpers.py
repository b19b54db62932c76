"""Shared pieces of the demo and sample-host tests: the capture server as a
child process with a bounded readiness wait, and the sample host's runs."""

import os
import queue
import subprocess
import threading

PYTHON = "/usr/bin/python3"
WAIT = 60  # seconds; every wait below is bounded by it


class CaptureServer:
    """The capture server of bin/, started on a free loopback port."""

    def __init__(self, bin_dir, mail_dir, *args):
        self.lines = queue.Queue()
        self.output = []
        self.proc = subprocess.Popen(
            [PYTHON, os.path.join(bin_dir, "capture-server.py"), "--dir", mail_dir] + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._pump, daemon=True).start()
        self.ca = None
        self.port = None
        while self.port is None:
            line = self.next_line()
            if "CA certificate " in line:
                self.ca = line.split("CA certificate ", 1)[1]
            elif "listening on " in line:
                self.port = int(line.rsplit(" ", 1)[1])

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def next_line(self, timeout=WAIT):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("capture server silent for %d s; output so far:\n%s"
                                 % (timeout, "\n".join(self.output)))
        if line is None:
            raise AssertionError("capture server ended; output:\n%s" % "\n".join(self.output))
        self.output.append(line)
        return line

    def next_message(self):
        """Path of the next stored message (its summary line comes after the file)."""
        while True:
            line = self.next_line()
            if " message " in line and " -> " in line:
                return line.rsplit(" -> ", 1)[1]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def close(self):
        """Stops the server and releases its pipe."""
        self.stop()
        self.proc.stdout.close()


def run(cmd, env=None, timeout=WAIT * 3):
    """Runs a command, returns (exit code, combined output)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", env=full_env, timeout=timeout)
    return p.returncode, p.stdout
