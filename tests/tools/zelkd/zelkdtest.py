"""What the zelkd tests share: zelkd started under the zelk-sim launcher
with virtual printers, on a loopback port of its own, and stopped again; an
HTTP client on http.client; the launcher's control socket; the event stream;
a mosquitto broker of the test's own (password file, ACL, TLS) and an MQTT
client to watch and command a farm; Debian's chromium, headless, for the
page."""

import http.client
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
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
                 folder=None, upload_folder=None, tls=False, config="", ready=True):
        self.owned = folder is None  # removed at the end; a given one is kept
        self.extra_config = config
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
        if ready:
            self.wait_until(lambda: len([p for p in self.printers() if ":" not in p["printer"]])
                            >= len(printers), 30, "the printers did not appear")

    def _config(self):
        path = os.path.join(self.folder, "zelkd.conf")
        with open(path, "w") as f:
            f.write("# written by the test\nlisten_address = 127.0.0.1\n" + self.extra_config)
        os.chmod(path, 0o600)
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

    def kill(self):
        """The host dies: no goodbye to anyone."""
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            os.killpg(self.process.pid, sig)
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

    def upload(self, name, data, print_after=False, prefix=""):
        body = (b"--bb\r\nContent-Disposition: form-data; name=\"print\"\r\n\r\n" +
                (b"true" if print_after else b"false") + b"\r\n--bb\r\n"
                b"Content-Disposition: form-data; name=\"file\"; filename=\"" + name.encode() +
                b"\"\r\n\r\n" + data + b"\r\n--bb--\r\n")
        status, answer, _ = self.request("POST", prefix + "/api/files/local", body,
                                         {"Content-Type": "multipart/form-data; boundary=bb"})
        assert status == 201, answer
        return json.loads(answer)

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


class EventReader(threading.Thread):
    """Reads a server-sent event stream into (event, data) pairs."""

    def __init__(self, z, path):
        super().__init__(daemon=True)
        self.events = []
        self.comments = 0
        self.c = z.connection(timeout=60)
        self.c.request("GET", path)
        self.r = self.c.getresponse()
        self.start()

    def run(self):
        event, data = None, []
        try:
            while True:
                line = self.r.readline().decode().rstrip("\n")
                if line.startswith(":"):
                    self.comments += 1
                elif line.startswith("event: "):
                    event = line[7:]
                elif line.startswith("data: "):
                    data.append(line[6:])
                elif line == "" and event:
                    self.events.append((event, json.loads("\n".join(data))))
                    event, data = None, []
        except Exception:
            pass

    def of(self, kind):
        return [d for e, d in self.events if e == kind]


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


# --- a farm: a mosquitto broker of the test's own, and MQTT clients

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


def make_certificates(folder):
    """A CA and a broker certificate for 127.0.0.1/localhost that it signed,
    made by openssl. Returns (ca, cert, key) paths."""
    run = lambda *a: subprocess.run(a, check=True, capture_output=True, cwd=folder)  # noqa: E731
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
        "-out", "ca.pem", "-days", "2", "-subj", "/CN=Zelk test CA")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "broker.key",
        "-out", "broker.csr", "-subj", "/CN=localhost")
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", "broker.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "broker.pem", "-days", "2", "-extfile", "san.ext")
    return tuple(os.path.join(folder, n) for n in ("ca.pem", "broker.pem", "broker.key"))


class Broker:
    """mosquitto on loopback ports of its own. `users` {name: pass phrase}
    make a password file (none: anonymous clients welcome); `acl` is an
    acl_file's text; `tls` adds a TLS listener (tls_port) with certificates
    the test makes. Stopped, killed, paused (SIGSTOP) and started again on
    the same ports as a test wants."""

    def __init__(self, users=None, acl=None, tls=False, folder=None, extra=""):
        self.folder = folder or tempfile.mkdtemp(prefix="broker-", dir="/tmp")
        self.port = free_port()
        self.tls_port = free_port() if tls else None
        self.ca = None
        lines = ["per_listener_settings false", "persistence false",
                 "log_dest file " + os.path.join(self.folder, "mosquitto.log"),
                 "log_type error", "log_type warning", "log_type notice", "log_type information",
                 "listener %d 127.0.0.1" % self.port]
        if os.geteuid() == 0:
            lines.append("user root")  # else it drops to the account mosquitto
        if tls:
            self.ca, cert, key = make_certificates(self.folder)
            lines += ["listener %d 127.0.0.1" % self.tls_port, "cafile " + self.ca,
                      "certfile " + cert, "keyfile " + key]
        if users:
            path = os.path.join(self.folder, "passwd")
            with open(path, "w") as f:
                f.writelines("%s:%s\n" % kv for kv in users.items())
            subprocess.run(["mosquitto_passwd", "-U", path], check=True)
            lines += ["allow_anonymous false", "password_file " + path]
        else:
            lines.append("allow_anonymous true")
        if acl:
            with open(os.path.join(self.folder, "acl"), "w") as f:
                f.write(acl)
            lines.append("acl_file " + os.path.join(self.folder, "acl"))
        self.config = os.path.join(self.folder, "mosquitto.conf")
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n" + extra)
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), 1).close()
                return
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise AssertionError("mosquitto did not start:\n" + self.log())
                time.sleep(0.05)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            self.process.wait(20)

    def pause(self):
        self.process.send_signal(signal.SIGSTOP)

    def resume(self):
        self.process.send_signal(signal.SIGCONT)

    def log(self):
        try:
            with open(os.path.join(self.folder, "mosquitto.log")) as f:
                return f.read()
        except OSError:
            return ""

    def zelkd_config(self, name, user=None, password=None, tls=False, keepalive=None):
        """zelkd.conf lines for a host `name` on this broker."""
        text = "mqtt_host = %s\nmqtt_port = %d\nfarm_name = %s\n" % (
            "localhost" if tls else "127.0.0.1", self.tls_port if tls else self.port, name)
        if tls:
            text += "mqtt_tls_ca = %s\n" % self.ca
        if user:
            text += "mqtt_user = %s\nmqtt_password = %s\n" % (user, password)
        if keepalive:
            text += "mqtt_keepalive = %d\n" % keepalive
        return text

    def close(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if exc[0] is not None:
            sys.stderr.write("--- mosquitto's log\n" + self.log()[-4000:] + "\n")
        self.close()


class Mqtt:
    """An MQTT client (paho) that keeps every message it gets:
    `messages` [(topic, payload bytes, retained, properties)]."""

    def __init__(self, broker, user=None, password=None, version=5, subscribe=("#",),
                 tls=False):
        import paho.mqtt.client as paho
        self.paho = paho
        self.messages = []
        self.acks = {}  # mid -> reason code of a QoS 1 publication
        self.lock = threading.Lock()
        protocol = paho.MQTTv5 if version == 5 else paho.MQTTv311
        self.client = paho.Client(client_id="test-%d" % random.getrandbits(32), protocol=protocol)
        if user:
            self.client.username_pw_set(user, password)
        if tls:
            self.client.tls_set(ca_certs=broker.ca)
        self.client.on_message = self._message
        self.connected = threading.Event()
        self.client.on_connect = lambda c, u, f, rc, *p: self.connected.set()
        self.client.connect("127.0.0.1", broker.tls_port if tls else broker.port, 30)
        self.client.loop_start()
        assert self.connected.wait(20), "no connection to the broker"
        for topic in subscribe:
            self.client.subscribe(topic, qos=1)
        time.sleep(0.3)  # the retained messages

    def _message(self, client, userdata, m):
        with self.lock:
            self.messages.append((m.topic, m.payload, bool(m.retain),
                                  getattr(m, "properties", None)))

    def publish(self, topic, payload, qos=1, retain=False, response_topic=None,
                correlation=None):
        properties = None
        if response_topic or correlation:
            from paho.mqtt.packettypes import PacketTypes
            from paho.mqtt.properties import Properties
            properties = Properties(PacketTypes.PUBLISH)
            if response_topic:
                properties.ResponseTopic = response_topic
            if correlation:
                properties.CorrelationData = correlation
        info = self.client.publish(topic, payload, qos=qos, retain=retain, properties=properties)
        info.wait_for_publish(10)
        return info

    def of(self, topic_filter):
        """The messages on topics matching `topic_filter` so far."""
        with self.lock:
            return [m for m in self.messages if self.paho.topic_matches_sub(topic_filter, m[0])]

    def last(self, topic):
        found = self.of(topic)
        return found[-1][1] if found else None

    def wait_for(self, condition, seconds, what):
        deadline = time.monotonic() + seconds
        while not condition():
            if time.monotonic() > deadline:
                raise AssertionError(what)
            time.sleep(0.05)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def retained(broker, topic_filter="#", **kw):
    """{topic: payload} of what the broker keeps now, as a new client sees it."""
    client = Mqtt(broker, subscribe=(topic_filter,), **kw)
    time.sleep(0.5)
    found = {t: p for t, p, r, _ in client.messages if r}
    client.close()
    return found
