"""What slicers send to a printer host, replayed byte for byte as their own
code sends it, and judged the way their code judges the answer:

- PrusaSlicer and OrcaSlicer (src/slic3r/Utils/OctoPrint.cpp, Http.cpp):
  libcurl; the connection test GET api/version, then the upload as a
  curl_formadd form, parts print, path, file; Expect: 100-continue on bodies
  above 1 MiB. Success is a status below 400; the version answer must carry
  "api", and "text", when present, must begin with "OctoPrint".
- Cura's OctoPrint plugin (OctoPrintOutputDevice.py, DiscoverOctoPrintAction.py):
  Qt's network access; app keys probe, settings with the key (accepted only
  on 200), version, passive login, printer profiles; polls of printer and
  job; the upload as a QHttpMultiPart (quoted boundary, a Content-Type on every
  part), parts path, file, select, print; the Location header names the file.

Each upload-and-print ends with the virtual printer holding the file (it
checks size and checksum) and printing it, for one printer and for each of
two."""

import base64
import json
import math
import os
import random
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))
import zelkdtest  # noqa: E402
from zelkdtest import Zelkd, gcode, send_with_continue  # noqa: E402

PRUSA_AGENT = "PrusaSlicer/2.8.1"
ORCA_AGENT = "OrcaSlicer/2.1.1"
CURA_AGENT = "Cura/5.7.2 OctoPrintPlugin/3.7.3"


# --- PrusaSlicer and OrcaSlicer: libcurl

def curl_form(parts):
    """A curl_formadd body: (name, value) fields and (name, filename, data)
    files, which curl sends with Content-Type application/octet-stream."""
    boundary = "-" * 24 + "%016x" % random.getrandbits(64)
    body = b""
    for part in parts:
        body += b"--" + boundary.encode() + b"\r\n"
        if len(part) == 2:
            body += b'Content-Disposition: form-data; name="%s"\r\n\r\n' % part[0].encode()
            body += part[1].encode() + b"\r\n"
        else:
            body += (b'Content-Disposition: form-data; name="%s"; filename="%s"\r\n'
                     % (part[0].encode(), part[1].encode()))
            body += b"Content-Type: application/octet-stream\r\n\r\n" + part[2] + b"\r\n"
    body += b"--" + boundary.encode() + b"--\r\n"
    return "multipart/form-data; boundary=" + boundary, body


def slicer_test(z, agent, prefix="", key=None):
    """OctoPrint::test(): GET api/version, judged as the slicer judges it.
    Returns (accepted, message)."""
    c = z.connection()
    c.putrequest("GET", prefix + "/api/version", skip_host=True, skip_accept_encoding=True)
    for name, value in [("Host", "127.0.0.1:%d" % z.port), ("User-Agent", agent),
                        ("Accept", "*/*"), ("X-Api-Key", key or z.key)]:
        c.putheader(name, value)
    c.endheaders()
    r = c.getresponse()
    body = r.read()
    c.close()
    if r.status >= 400:  # Http::priv::http_perform: on_error
        return False, "HTTP %d: %s" % (r.status, body.decode())
    try:
        tree = json.loads(body)
    except ValueError:
        return False, "Could not parse server response"
    if "api" not in tree:
        return False, "no api"
    text = tree.get("text")
    if text is not None and not text.startswith("OctoPrint"):
        return False, "Mismatched type of print host: %s" % text
    return True, ""


def slicer_upload(z, agent, data, upload_path, print_after, prefix=""):
    """OctoPrint::upload_inner_with_host(): the test, then the form. True
    when the slicer reports success."""
    ok, message = slicer_test(z, agent, prefix)
    assert ok, message
    folder, _, name = upload_path.rpartition("/")
    content_type, body = curl_form([("print", "true" if print_after else "false"),
                                    ("path", folder), ("file", name, data)])
    headers = [("Host", "127.0.0.1:%d" % z.port), ("User-Agent", agent), ("Accept", "*/*"),
               ("X-Api-Key", z.key), ("Content-Length", str(len(body))),
               ("Content-Type", content_type)]
    expect = len(body) > 1024 * 1024
    if expect:
        headers.append(("Expect", "100-continue"))
    c = z.connection()
    status, answer, saw_continue, _ = send_with_continue(c, "POST", prefix + "/api/files/local",
                                                         headers, body)
    c.close()
    if expect:
        assert saw_continue, "no 100 Continue for a body of %d bytes" % len(body)
    assert status < 400, "upload refused: %d %s" % (status, answer)
    return json.loads(answer)


# --- Cura's plugin: Qt's network access

class Cura:
    def __init__(self, z, base="", key=None):
        self.z = z
        self.base = base  # "" or "/printers/<serial>"
        self.key = key or z.key
        self.c = z.connection()  # Qt keeps its connection alive

    def headers(self, content_type="application/json", key=True):
        h = [("Host", "127.0.0.1:%d" % self.z.port)]
        if content_type:
            h.append(("Content-Type", content_type))
        if key:
            h.append(("X-Api-Key", self.key))
        h += [("User-Agent", CURA_AGENT), ("Connection", "Keep-Alive"),
              ("Accept-Encoding", "gzip, deflate"), ("Accept-Language", "en-US,*")]
        return h

    def send(self, method, path, body=None, headers=None):
        c = self.c
        c.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        hs = list(headers if headers is not None else self.headers())
        if body is not None:
            hs.append(("Content-Length", str(len(body))))
        for name, value in hs:
            c.putheader(name, value)
        c.endheaders(body)
        r = c.getresponse()
        data = r.read()
        if r.getheader("Connection", "").lower() == "close":
            c.close()
        return r.status, data, r

    def get(self, endpoint):
        return self.send("GET", self.base + "/api/" + endpoint)

    def post(self, endpoint, obj):
        return self.send("POST", self.base + "/api/" + endpoint, json.dumps(obj).encode())

    # DiscoverOctoPrintAction.probeAppKeySupport / testApiKey
    def discover(self):
        status, _, _ = self.send("GET", self.base + "/plugin/appkeys/probe",
                                 headers=self.headers(content_type=None, key=False))
        supports_appkeys = status == 204
        status, data, _ = self.send("GET", self.base + "/api/settings",
                                    headers=self.headers(content_type=None))
        accepted = status == 200
        settings = json.loads(data) if accepted else {}
        return supports_appkeys, accepted, settings

    # OctoPrintOutputDevice.connect / getAdditionalData: judged as the
    # plugin's _onRequestFinished judges each answer.
    def connect(self):
        state = self.poll()
        status, data, _ = self.get("settings")
        assert status == 200
        settings = json.loads(data)
        assert settings["feature"]["sdSupport"] is False
        status, data, _ = self.get("version")
        assert status == 200 and "server" in json.loads(data)
        status, data, _ = self.post("login", {"passive": True})
        assert status in (200, 404), "login with a valid key: %d" % status
        if status == 200:
            assert "name" in json.loads(data)
        status, data, _ = self.get("printerprofiles")
        assert status == 200
        profiles = json.loads(data)["profiles"]
        current = [p for p in profiles.values() if p.get("current", False)]
        assert current and current[0]["name"]
        for axis in "xyze":
            assert "speed" in current[0]["axes"][axis]
        return state

    def poll(self):
        """One round of the update timer: printer, then job. Returns the
        printer's state and the job's as the plugin names them."""
        status, data, _ = self.get("printer")
        if status == 409:
            printer_state = "offline"
        else:
            assert status == 200, "printer: %d %s" % (status, data)
            j = json.loads(data)
            tool = j["temperature"]["tool0"]
            assert isinstance(tool["actual"], (int, float))
            assert tool["target"] is None or isinstance(tool["target"], (int, float))
            flags = j["state"]["flags"]  # a missing flag raises, as in the plugin
            if flags["error"] or flags["closedOrError"]:
                printer_state = "error"
            elif flags["paused"] or flags["pausing"]:
                printer_state = "paused"
            elif flags["printing"]:
                printer_state = "printing"
            elif flags["cancelling"]:
                printer_state = "aborted"
            elif flags["ready"] or flags["operational"]:
                printer_state = "idle"
            else:
                raise AssertionError("unexpected flags %r" % flags)
        status, data, _ = self.get("job")
        assert status == 200, "job: %d %s" % (status, data)
        j = json.loads(data)
        s = j["state"]
        if s.startswith("Error"):
            job_state = "error"
        elif s == "Pausing":
            job_state = "pausing"
        elif s == "Paused":
            job_state = "paused"
        elif s.startswith("Printing"):
            job_state = "printing"
        elif s == "Cancelling":
            job_state = "abort"
        elif s == "Operational":
            job_state = "ready"
        elif s.startswith("Starting") or s in ("Connecting", "Sending file to SD"):
            job_state = "pre_print"
        elif s.startswith("Offline"):
            job_state = "offline"
        else:
            raise AssertionError("unexpected job state %r" % s)
        progress = j["progress"]
        for member in ("printTime", "completion", "printTimeLeft"):
            assert member in progress
        assert "name" in j["job"]["file"]
        return printer_state, job_state, j

    def upload(self, name, data, select, print_after):
        """_sendPrintJob with the parts in the plugin's order, then
        _onUploadFinished's judgement. Returns the end point it polls."""
        boundary = "boundary_.oOo._" + "".join(
            base64.b64encode(str(random.getrandbits(64)).encode()).decode() for _ in range(3))

        def part(disposition, payload, content_type):
            return (b"--" + boundary.encode() + b"\r\n" +
                    b"Content-Disposition: form-data; " + disposition.encode() + b"\r\n" +
                    b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + payload + b"\r\n")

        body = part('name="path"', b"", "text/plain")
        body += part('name="file"; filename="%s"' % name, data, "application/octet-stream")
        if select or print_after:
            body += part('name="select"', b"true", "text/plain")
        if print_after:
            body += part('name="print"', b"true", "text/plain")
        body += b"--" + boundary.encode() + b"--\r\n"
        headers = self.headers(content_type='multipart/form-data; boundary="%s"' % boundary)
        headers.append(("MIME-Version", "1.0"))
        status, answer, r = self.send("POST", self.base + "/api/files/local", body, headers)
        assert status not in (401, 403, 409) and status < 400, "upload: %d %s" % (status, answer)
        location = r.getheader("Location")
        assert location, "no Location header"
        return location.split("api/", 1)[1]


# --- the tests

def printed(z, printer, data, serial):
    """The printer took the file whole (its size and checksum matched: a
    mismatch leaves it idle with an error) and prints it once the button is
    pressed."""
    z.wait_for_sim("JOB_QUEUED", printer)
    received = re.findall(r"File received: (\S+), (\d+) bytes", z.printer_log())
    assert received and int(received[-1][1]) == len(data), received
    z.sim("press-button", printer)
    z.wait_until(lambda: z.sim_state(printer) in ("BUILDING", "JOB_PREP", "IDLE"), 120,
                 "the print did not begin")


def test_prusaslicer_and_orcaslicer():
    with Zelkd() as z:
        for agent in (PRUSA_AGENT, ORCA_AGENT):
            assert slicer_test(z, agent) == (True, "")
            ok, message = slicer_test(z, agent, key="not-the-key-" + "x" * 20)
            assert not ok and "403" in message, message
        # Upload only (OrcaSlicer), into a folder the slicer names.
        small = gcode(20 * 1024)
        answer = slicer_upload(z, ORCA_AGENT, small, "prints/orca box.gcode", False)
        assert answer["done"] and not answer["effectivePrint"]
        assert z.sim_state() == "IDLE"
        files = z.json("GET", "/api/files")["files"]
        assert [f["name"] for f in files] == ["orca box.gcode"]
        assert files[0]["size"] == len(small) and files[0]["prints"]["success"] == 0
        # Its analysis follows: moves within 0..19 mm, E the count of moves
        # laid, 1.75 mm filament.
        a = z.analysis("orca box.gcode")
        length = int(re.findall(rb"E(\d+)", small)[-1])
        assert 0 < a["estimatedPrintTime"] < 3600, a
        assert a["filament"]["tool0"]["length"] == length, a
        assert abs(a["filament"]["tool0"]["volume"] - length * math.pi * 0.875**2 / 1000) < 1e-3
        assert a["dimensions"] == {"width": 19, "depth": 19, "height": 0}, a
        assert (a["printingArea"]["minX"], a["printingArea"]["maxY"]) == (0, 19), a
        # Above 1 MiB: Expect: 100-continue.
        big = gcode(1300 * 1024)
        answer = slicer_upload(z, PRUSA_AGENT, big, "big.gcode", False)
        assert answer["done"] and z.json("GET", "/api/files/local/big.gcode")["size"] == len(big)
        # Upload and print.
        data = gcode(30 * 1024)
        answer = slicer_upload(z, PRUSA_AGENT, data, "prusa.gcode", True)
        assert answer["effectivePrint"] and answer["effectiveSelect"]
        printed(z, "1:5", data, "ZK1-000101")
        job = z.json("GET", "/api/job")
        assert job["job"]["file"]["name"] == "prusa.gcode"
        assert job["state"] in ("Printing", "Starting"), job["state"]
        # While it prints, an upload is stored but not printed.
        answer = slicer_upload(z, PRUSA_AGENT, small, "second.gcode", True)
        assert not answer["effectivePrint"]
        assert z.json("GET", "/api/job")["job"]["file"]["name"] == "prusa.gcode"
        z.json("POST", "/api/job", {"command": "cancel"}, expect=204)
        z.wait_for_sim("IDLE")
        z.wait_until(lambda: z.json("GET", "/api/job")["zelk"]["phase"] == "cancelled", 20,
                     "the job was not reported cancelled")


def test_cura_connection_polls_upload_and_print():
    with Zelkd() as z:
        cura = Cura(z)
        appkeys, accepted, settings = cura.discover()
        assert not appkeys and accepted
        assert settings["webcam"]["streamUrl"] == ""
        assert not Cura(z, key="wrong" * 8).discover()[1]
        assert cura.connect()[:2] == ("idle", "ready")

        data = gcode(8 * 1024, celsius=215)
        end_point = cura.upload("cura_part.gcode", data, select=True, print_after=True)
        assert end_point == "files/local/cura_part.gcode", end_point
        # While the printer holds the file and waits for its button: the
        # plugin sees a print starting; "start" asks for the button.
        z.wait_for_sim("JOB_QUEUED")
        printer_state, job_state, job = cura.poll()
        assert (printer_state, job_state) == ("printing", "pre_print"), (printer_state, job_state)
        status, data2, _ = cura.post("job", {"command": "start"})
        assert status == 409 and b"press the printer's button" in data2
        printer = json.loads(cura.get("printer")[1])
        assert printer["state"]["waitingForButton"] is True
        printed(z, "1:5", data, "ZK1-000101")
        z.wait_until(lambda: json.loads(cura.get("printer")[1])["state"]["zelk"]["state"]
                     == "Building", 60, "zelkd never saw the printer build")
        printer_state, job_state, job = cura.poll()
        assert (printer_state, job_state) == ("printing", "printing")
        printer = json.loads(cura.get("printer")[1])
        assert printer["temperature"]["tool0"]["target"] == 215
        # Pause and resume as the plugin's buttons do.
        status, answer, _ = cura.post("job", {"command": "pause"})
        assert status == 204, answer
        # The plugin resumes a job whose state reads "Paused" (not "Pausing").
        z.wait_until(lambda: cura.poll()[1] == "paused", 30, "did not pause")
        assert cura.post("job", {"command": "pause"})[0] == 204
        z.wait_until(lambda: cura.poll()[1] in ("printing", "ready"), 30, "did not resume")
        z.wait_until(lambda: cura.poll()[1] == "ready", 120, "the print did not finish")
        job = json.loads(cura.get("job")[1])
        assert job["zelk"]["phase"] == "finished" and job["progress"]["completion"] == 100
        files = z.json("GET", "/api/files")["files"]
        assert files[0]["prints"]["success"] == 1 and files[0]["prints"]["last"]["success"]

        # Upload, then select and print as a second request (the plugin's
        # way when it waits for an analysis).
        end_point = cura.upload("later.gcode", gcode(4096), select=False, print_after=False)
        assert z.sim_state() == "IDLE"
        status, _, _ = cura.post(end_point, {"command": "select", "print": True})
        assert status == 204
        z.wait_for_sim("JOB_QUEUED")
        # A second select while that job waits: refused, the job undisturbed.
        status, _, _ = cura.post(end_point, {"command": "select", "print": True})
        assert status == 409
        assert cura.post("job", {"command": "cancel"})[0] == 204
        z.wait_for_sim("IDLE")


def test_two_printers():
    printers = {"1:5": "ZK1-000201", "1:6": "ZK1-000202"}
    with Zelkd(printers=["%s,serial=%s" % kv for kv in printers.items()]) as z:
        # Plain /api names no printer now: 409 with the URLs that exist;
        # what is not about a printer still answers.
        status, data, _ = z.get("/api/printer")
        assert status == 409
        urls = sorted(p["url"] for p in json.loads(data)["printers"])
        assert urls == ["http://127.0.0.1:%d/printers/%s/" % (z.port, s)
                        for s in sorted(printers.values())], urls
        assert z.get("/api/version")[0] == 200 and z.get("/api/files")[0] == 200
        # One printer gets PrusaSlicer's upload-and-print, the other Cura's,
        # each at its own base URL.
        for n, (address, serial) in enumerate(printers.items()):
            prefix = "/printers/" + serial
            other = [a for a in printers if a != address][0]
            data = gcode(6000 + n * 1000)
            cura = Cura(z, base=prefix)
            if n == 0:
                assert slicer_test(z, PRUSA_AGENT, prefix) == (True, "")
                answer = slicer_upload(z, PRUSA_AGENT, data, serial + ".gcode", True, prefix)
                assert answer["effectivePrint"]
            else:
                assert cura.discover()[1] and cura.connect()[:2] == ("idle", "ready")
                end_point = cura.upload(serial + ".gcode", data, select=True, print_after=True)
                assert end_point == "files/local/%s.gcode" % serial
            printed(z, address, data, serial)
            assert z.sim_state(other) == "IDLE"
            assert cura.poll()[0] == "printing"
            # The address names the same printer.
            assert z.json("GET", "/printers/%s/api/job" % address)["job"]["file"]["name"] \
                == serial + ".gcode"
            assert cura.post("job", {"command": "cancel"})[0] == 204
            z.wait_for_sim("IDLE", address)
        # The upload folder is shared.
        names = sorted(f["name"] for f in z.json("GET", "/printers/ZK1-000202/api/files")["files"])
        assert names == sorted(s + ".gcode" for s in printers.values())
        assert z.get("/printers/ZK9-999999/api/job")[0] == 404


if __name__ == "__main__":
    zelkdtest.run([test_prusaslicer_and_orcaslicer, test_cura_connection_polls_upload_and_print,
                   test_two_printers])
