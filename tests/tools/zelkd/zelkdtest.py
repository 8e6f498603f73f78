"""What the zelkd tests share: zelkd started under the zelk-sim launcher
with virtual printers, on a loopback port of its own, and stopped again; an
HTTP client on http.client; the launcher's control socket; Debian's
chromium, headless, for the page."""

import http.client
import json
import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import traceback

ZELKD = os.environ.get("ZELKD")
ZELK_SIM = os.environ.get("ZELK_SIM")
SIM_DATA = os.environ.get("SIM_DATA")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Zelkd:
    """zelkd on virtual printers. `printers` are zelk-sim --printer specs."""

    def __init__(self, printers=("1:5,serial=ZK1-000101",), time_scale=50, options=(),
                 folder=None, upload_folder=None, tls=False):
        self.owned = folder is None  # removed at the end; a given one is kept
        self.folder = folder or tempfile.mkdtemp(prefix="zelkd-", dir="/tmp")
        self.tls = tls
        self.port = free_port()
        self.socket = os.path.join(self.folder, "sim.sock")
        self.data = os.path.join(self.folder, "data")
        self.uploads = upload_folder or os.path.join(self.data, "uploads")
        self.log_path = os.path.join(self.folder, "zelkd.log")
        args = [ZELK_SIM, "--control", self.socket, "--time-scale", str(time_scale)]
        if not printers:
            args.append("--no-printer")
        for p in printers:
            args += ["--printer", p]
        args += ["--", ZELKD, "--user", "--config", self._config(), "--data-folder", self.data,
                 "--port", str(self.port)]
        if upload_folder:
            args += ["--upload-folder", upload_folder]
        args += list(options)
        env = dict(os.environ, TMPDIR="/tmp", HOME=self.folder,
                   XDG_CONFIG_HOME=os.path.join(self.folder, "config"),
                   XDG_DATA_HOME=os.path.join(self.folder, "xdg-data"))
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, env=env,
                                        start_new_session=True)
        self.key = None
        self.wait_until(self._ready, 30, "zelkd did not start")
        self.wait_until(lambda: len([p for p in self.printers() if ":" not in p["printer"]])
                        >= len(printers), 30, "the printers did not appear")

    def _config(self):
        path = os.path.join(self.folder, "zelkd.conf")
        with open(path, "w") as f:
            f.write("# written by the test\nlisten_address = 127.0.0.1\n")
        return path

    def _ready(self):
        if self.process.poll() is not None:
            raise AssertionError("zelkd ended early:\n" + self.output())
        try:
            with open(os.path.join(self.data, "api-key")) as f:
                self.key = f.read().strip()
            return self.get("/api/version")[0] == 200
        except (OSError, ConnectionError, http.client.HTTPException):
            return False

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.log.close()
        return self.process.returncode

    def close(self):
        self.stop()
        if self.owned:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if exc[0] is not None:
            sys.stderr.write("--- zelkd's output\n" + self.output()[-6000:] + "\n")
        self.close()

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    # --- HTTP

    def connection(self, timeout=30):
        if self.tls:
            return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout,
                                               context=ssl._create_unverified_context())
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None, key=True):
        h = dict(headers or {})
        if key and "X-Api-Key" not in h:
            h["X-Api-Key"] = self.key
        c = self.connection()
        try:
            c.request(method, path, body=body, headers=h)
            r = c.getresponse()
            data = r.read()
            return r.status, data, r
        finally:
            c.close()

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def json(self, method, path, body=None, expect=200):
        status, data, _ = self.request(method, path,
                                       None if body is None else json.dumps(body),
                                       {"Content-Type": "application/json"})
        assert status == expect, "%s %s: %d %r" % (method, path, status, data)
        return json.loads(data) if data else None

    def analysis(self, name, seconds=30):
        """The file's gcodeAnalysis in the file list, once zelkd has made it."""
        def found():
            files = self.json("GET", "/api/files")["files"]
            return next((f.get("gcodeAnalysis") for f in files if f["name"] == name), None)
        self.wait_until(found, seconds, "no analysis of " + name)
        return found()

    def printers(self):
        status, data, _ = self.get("/api/zelkd/printers")
        return json.loads(data)["printers"] if status == 200 else []

    # --- the launcher's control socket

    def sim(self, *words):
        out = subprocess.run([ZELK_SIM, "--send", self.socket] + list(words),
                             capture_output=True, text=True, timeout=30)
        return out.stdout.strip()

    def control(self, *words):
        """One command straight on the control socket, with no process in
        between (for timing): the reply line."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(30)
            s.connect(self.socket)
            s.sendall((" ".join(words) + "\n").encode())
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        return reply.decode().strip()

    def sim_state(self, printer="1:5"):
        m = re.search(re.escape(printer) + r"=([A-Za-z_]+)", self.sim("list"))
        return m.group(1) if m else None

    def wait_until(self, condition, seconds, what):
        deadline = time.monotonic() + seconds
        while True:
            if condition():
                return
            if time.monotonic() > deadline:
                raise AssertionError(what)
            time.sleep(0.05)

    def wait_for_sim(self, state, printer="1:5", seconds=60):
        self.wait_until(lambda: self.sim_state(printer) == state, seconds,
                        "%s never reached %s (it is %s)" % (printer, state,
                                                             self.sim_state(printer)))

    def printer_log(self):
        try:
            with open(os.path.join(self.data, "log", "RMPrinter.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def app_log(self):
        try:
            with open(os.path.join(self.data, "log", "RMConfig.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""


def gcode(size, celsius=205):
    """A G-code file of about `size` bytes that the virtual printer prints: a
    temperature, then short moves."""
    lines = ["; test file", "M104 S%d" % celsius, "G28", "M109 S%d" % celsius, "G90"]
    length = sum(len(line) + 1 for line in lines)
    i = 0
    while length < size:
        lines.append("G1 X%d Y%d E%d F1800" % (i % 20, (i * 7) % 20, i))
        length += len(lines[-1]) + 1
        i += 1
    return ("\n".join(lines) + "\n").encode()


# The machine's network is closed: nothing the browser starts on its own may
# try to reach out.
CHROMIUM_FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync")


def browser(folder, width=1280, height=900):
    """Debian's chromium, headless, driven by python3-selenium through
    chromium-driver, with a fresh profile in `folder`."""
    from selenium import webdriver  # only the page's tests need it
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + ("--user-data-dir=" + os.path.join(folder, "chromium-profile"),
                                  "--window-size=%d,%d" % (width, height)):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def phone(driver, on=True):
    """Shows the page as a phone of 390x844 CSS pixels does (headless
    chromium's window cannot be that narrow)."""
    if on:
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 390, "height": 844, "deviceScaleFactor": 2,
                                "mobile": True})
    else:
        driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def send_with_continue(conn, method, path, headers, body):
    """Sends the headers, waits for the interim 100 Continue as curl does
    (a final answer instead means the body is not wanted), then the body.
    Returns (status, data, saw_continue)."""
    conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    for name, value in headers:
        conn.putheader(name, value)
    conn.endheaders()
    expect = any(name.lower() == "expect" for name, _ in headers)
    saw_continue = False
    if expect:
        ready, _, _ = select.select([conn.sock], [], [], 10)
        interim = conn.sock.recv(64, socket.MSG_PEEK) if ready else b""
        saw_continue = interim.startswith(b"HTTP/1.1 100")
    if saw_continue or not expect:
        # http.client's response reader skips interim answers itself.
        conn.sock.sendall(body)
    r = conn.getresponse()
    return r.status, r.read(), saw_continue, r


def run(tests):
    """Runs test functions (named test_*), each reported; exit status 1 if
    any failed."""
    failed = 0
    for t in tests:
        start = time.monotonic()
        try:
            t()
            print("PASS %s (%.1f s)" % (t.__name__, time.monotonic() - start), flush=True)
        except Exception:
            failed += 1
            print("FAIL %s" % t.__name__, flush=True)
            traceback.print_exc()
    sys.exit(1 if failed else 0)
