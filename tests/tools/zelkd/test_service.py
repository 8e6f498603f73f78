"""zelkd as a service: its settings (INI file, overridden by the command
line), its start-up, the API key file and --show-key, HTTPS, the print
history in SQLite (migrations, a damaged database set aside, zelkctl
history), the event stream a page reads, and zelkctl's printer commands
through a running zelkd."""

import atexit
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import zelkdtest  # noqa: E402
from zelkdtest import ZELKD, EventReader, Zelkd, gcode  # noqa: E402


FOLDERS = []


def folder_of_our_own(prefix):
    folder = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
    FOLDERS.append(folder)
    return folder


def run_zelkd(*args, env=None):
    folder = folder_of_our_own("zelkd-run-")
    e = dict(os.environ, HOME=folder, XDG_CONFIG_HOME=folder + "/config",
             XDG_DATA_HOME=folder + "/data", **(env or {}))
    return subprocess.run([ZELKD] + list(args), capture_output=True, text=True, env=e, timeout=60)


def test_settings_and_command_line():
    out = run_zelkd("--help")
    assert out.returncode == 0
    for option in ("--listen", "--port", "--tls-certificate", "--tls-key", "--api-key-file",
                   "--upload-folder", "--max-upload-size", "--poll-interval",
                   "--optimize-default", "--show-key", "--config"):
        assert option in out.stdout, option
    folder = folder_of_our_own("zelkd-ini-")
    config = os.path.join(folder, "zelkd.conf")
    bad = [("port = 0\n", "port"), ("poll_interval = fast\n", "poll_interval"),
           ("max_upload_size = lots\n", "max_upload_size"), ("listen_address = nowhere\n",
                                                            "listen_address"),
           ("colour = red\n", "colour"), ("tls_certificate = /c.pem\n", "HTTPS")]
    for text, named in bad:
        with open(config, "w") as f:
            f.write(text)
        out = run_zelkd("--user", "--config", config, "--data-folder", folder + "/d")
        assert out.returncode == 1 and named in out.stderr, (text, out.stderr)
    # The command line overrides the file: a bad port in the file, a good
    # one given. A line begun with # is a comment, as with ;.
    with open(config, "w") as f:
        f.write("port = 1\n#colour = red\n; port = 2\nmax_upload_size = 2M\npoll_interval = 0.5\n")
    with Zelkd(folder=folder) as z:  # its own --config and --port win
        pass
    assert run_zelkd("--user", "--bogus").returncode != 0
    assert run_zelkd("--user", "stray").returncode == 1


def test_key_file_and_show_key():
    with Zelkd() as z:
        key_file = os.path.join(z.data, "api-key")
        mode = stat.S_IMODE(os.stat(key_file).st_mode)
        assert mode == 0o600, oct(mode)
        assert re.fullmatch(r"[A-Za-z0-9]{32}", z.key)
        assert "API key in %s" % key_file in z.output()
        assert re.search(r"listening on http://127\.0\.0\.1:%d/" % z.port, z.output())
        assert "printer 1:5 ZK1-000101 (Zelk, firmware" in z.output()
        assert ("not announced on the local network: zelkd listens on 127.0.0.1, which only "
                "this machine reaches") in z.output()
        out = run_zelkd("--user", "--show-key", "--api-key-file", key_file)
        assert out.returncode == 0 and out.stdout.split("\n")[0] == z.key
        assert "\u2588" in out.stdout  # the QR code's blocks
        # The QR code opens the page with the key in the address's fragment,
        # which no browser sends; a loopback zelkd is said to be out of reach.
        assert "\nhttp://127.0.0.1:5000/#key=%s\n" % z.key in out.stdout, out.stdout
        assert "a phone cannot reach it" in out.stderr
        out = run_zelkd("--user", "--show-key", "--api-key-file", key_file, "--listen", "0.0.0.0",
                        "--port", "5123")
        assert re.search(r"\nhttp://[0-9.]+:5123/#key=%s\n" % z.key, out.stdout), out.stdout
        config = z.folder
    # A key that others can read is refused.
    folder = folder_of_our_own("zelkd-key-")
    with open(folder + "/api-key", "w") as f:
        f.write("K" * 32 + "\n")
    os.chmod(folder + "/api-key", 0o644)
    out = run_zelkd("--user", "--data-folder", folder, "--port", "1")
    assert out.returncode == 1 and "readable by others" in out.stderr, out.stderr
    del config


def test_https():
    folder = folder_of_our_own("zelkd-tls-")
    cert, key = folder + "/cert.pem", folder + "/key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "1", "-subj", "/CN=localhost"],
                   check=True, capture_output=True)
    with Zelkd(options=["--tls-certificate", cert, "--tls-key", key], tls=True) as z:
        assert z.get("/api/version")[0] == 200
        body = (b'--bb\r\nContent-Disposition: form-data; name="file"; filename="t.gcode"\r\n'
                b'\r\n' + gcode(500) + b"\r\n--bb--\r\n")
        status, _, r = z.request("POST", "/api/files/local", body,
                                 {"Content-Type": "multipart/form-data; boundary=bb"})
        assert status == 201 and r.getheader("Location").startswith("https://")
        # Plain HTTP on the HTTPS port gets nowhere.
        s = socket.create_connection(("127.0.0.1", z.port))
        s.sendall(b"GET /api/version HTTP/1.1\r\nHost: x\r\nX-Api-Key: " + z.key.encode() +
                  b"\r\n\r\n")
        s.settimeout(10)
        try:
            assert b"201" not in s.recv(100) and b"200 OK" not in s.recv(100)
        except (ConnectionError, socket.timeout):
            pass
        s.close()


V1_SCHEMA = ("CREATE TABLE prints (id INTEGER PRIMARY KEY, file TEXT NOT NULL, checksum TEXT,"
             " printer TEXT NOT NULL, started INTEGER NOT NULL, ended INTEGER, outcome TEXT,"
             " reason TEXT, filament_mm REAL)")


def test_history_migration_damage_and_zelkctl():
    folder = folder_of_our_own("zelkd-hist-")
    data = folder + "/data"
    os.makedirs(data + "/uploads")
    with open(data + "/uploads/old.gcode", "wb") as f:
        f.write(gcode(400))
    # A database of schema 1, as a first release wrote it, with a job that
    # was running when that zelkd stopped.
    db = sqlite3.connect(data + "/history.sqlite")
    db.execute(V1_SCHEMA)
    rows = [("old.gcode", "ZK1-000101", 100, 200, "success", None),
            ("old.gcode", "ZK1-000101", 300, 400, "failed", "printer error"),
            ("old.gcode", "ZK1-000101", 500, 600, "success", None),
            ("old.gcode", "ZK1-000101", 700, None, None, None)]
    db.executemany("INSERT INTO prints (file, printer, started, ended, outcome, reason)"
                   " VALUES (?, ?, ?, ?, ?, ?)", rows)
    db.execute("PRAGMA user_version=1")
    db.commit()
    db.close()
    sidecar = data + "/uploads/.analysis/old.gcode.json"
    with Zelkd(folder=folder) as z:
        prints = z.json("GET", "/api/files/local/old.gcode")["prints"]
        assert (prints["success"], prints["failure"]) == (2, 2), prints
        # A file found at the start is analysed once; its analysis is kept.
        analysis = z.analysis("old.gcode")
        assert os.path.exists(sidecar) and "analysed old.gcode" in z.output()
        assert prints["last"]["success"] is False  # the job zelkd never saw end
        history = z.json("GET", "/api/zelkd/history")["prints"]
        assert history[0]["reason"] == "zelkd stopped during the job"
        # A closed terminal (SIGHUP) ends zelkd as SIGTERM does: through its
        # teardown, the history closed.
        assert z.stop(signal.SIGHUP) == 0 and "stopping" in z.output(), z.output()
        db = sqlite3.connect(data + "/history.sqlite")
        assert db.execute("PRAGMA user_version").fetchone()[0] == 2
        assert db.execute("SELECT count(*) FROM sqlite_master WHERE name='prints_by_file'"
                          ).fetchone()[0] == 1
        db.close()
        # zelkctl history reads it.
        out = subprocess.run([os.environ["ZELKCTL"], "history", "--json", "--database",
                              data + "/history.sqlite"], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        listed = json.loads(out.stdout)
        assert [r["outcome"] for r in listed] == ["failed", "success", "failed", "success"]
        out = subprocess.run([os.environ["ZELKCTL"], "history", "--database",
                              data + "/history.sqlite"], capture_output=True, text=True)
        assert out.returncode == 0 and "old.gcode" in out.stdout and "printer error" in out.stdout
        out = subprocess.run([os.environ["ZELKCTL"], "history", "--database", folder + "/none"],
                             capture_output=True, text=True)
        assert out.returncode == 4
    # A damaged database is set aside with a log line; a new one begins.
    with open(data + "/history.sqlite", "wb") as f:
        f.write(b"this is no database " * 500)
    for extra in ("-wal", "-shm"):
        if os.path.exists(data + "/history.sqlite" + extra):
            os.remove(data + "/history.sqlite" + extra)
    with Zelkd(folder=folder) as z:
        aside = [n for n in os.listdir(data) if n.startswith("history.sqlite.damaged-")]
        assert len(aside) == 1, os.listdir(data)
        assert "damaged" in z.output() and aside[0] in z.output()
        assert z.json("GET", "/api/zelkd/history")["prints"] == []
        old = z.json("GET", "/api/files/local/old.gcode")
        assert old["prints"]["success"] == 0
        # The analysis survived the restart, not made again; it goes with
        # the file.
        assert old["gcodeAnalysis"] == analysis and "analysed old.gcode" not in z.output()
        assert z.request("DELETE", "/api/files/local/old.gcode")[0] == 204
        assert not os.path.exists(sidecar)


def test_event_stream():
    with Zelkd() as z:
        assert z.request("GET", "/api/zelkd/events", key=False)[0] == 401
        time.sleep(2.5)  # a few temperature samples
        reader = EventReader(z, "/api/zelkd/events?apikey=" + z.key)
        assert reader.r.getheader("Content-Type") == "text/event-stream"
        z.wait_until(lambda: reader.of("logs"), 10, "no replay")
        assert reader.of("printer")[0]["printer"] == "ZK1-000101"
        samples = reader.of("temperatures")[0]["samples"]
        assert len(samples) >= 2 and all(len(s) == 3 for s in samples)
        body = (b'--bb\r\nContent-Disposition: form-data; name="file"; filename="e.gcode"\r\n'
                b'\r\n' + gcode(200 * 1024, celsius=199) + b"\r\n--bb\r\n"
                b'Content-Disposition: form-data; name="print"\r\n\r\ntrue\r\n--bb--\r\n')
        assert z.request("POST", "/api/files/local", body,
                         {"Content-Type": "multipart/form-data; boundary=bb"})[0] == 201
        z.wait_for_sim("JOB_QUEUED")
        z.wait_until(lambda: any(e["event"] == "queued" for e in reader.of("event")), 10,
                     "no queued event")
        phases = [u["phase"] for u in reader.of("upload")]
        assert "stored" in phases and "sending" in phases, phases
        z.wait_until(lambda: any("File received" in l["text"] for l in reader.of("log")), 10,
                     "no printer log line")
        states = [p["state"]["text"] for p in reader.of("printer")]
        assert "Starting" in states, states
        assert any(p["state"]["waitingForButton"] for p in reader.of("printer"))
        z.sim("press-button")
        z.wait_until(lambda: any(t["target"] == 199 for t in reader.of("temperature")), 30,
                     "the job's temperature never showed as the target")
        # A quiet stream carries heartbeats.
        z.wait_until(lambda: reader.comments >= 1, 20, "no heartbeat")
        # A page opened later gets today's log and the temperatures so far.
        late = EventReader(z, "/api/zelkd/events?apikey=" + z.key)
        z.wait_until(lambda: late.of("logs"), 10, "no replay")
        assert any("File received" in l["text"] for l in late.of("logs")[0]["lines"])
        assert len(late.of("temperatures")[0]["samples"]) > len(samples)
        z.json("POST", "/api/job", {"command": "cancel"}, expect=204)


def test_zelkctl_through_zelkd():
    with Zelkd() as z:
        env = dict(os.environ, ZELKD_URL="http://127.0.0.1:%d" % z.port, ZELKD_API_KEY=z.key)

        def zelkctl(*args, key=None):
            e = dict(env, ZELKD_API_KEY=key) if key else env
            return subprocess.run([os.environ["ZELKCTL"]] + list(args), capture_output=True,
                                   text=True, env=e, timeout=300)

        out = zelkctl("status")
        assert (out.returncode, out.stdout) == (0, "Idle\n"), out
        status = json.loads(zelkctl("status", "--json").stdout)
        assert status["printer"] == "1:5" and status["state"] == "Idle"
        assert zelkctl("serial").stdout == "ZK1-000101\n"
        assert "ZK1-000101" in zelkctl("list").stdout
        assert zelkctl("status", "--printer", "1:9").returncode == 3  # not zelkd's: USB says
        assert zelkctl("status", key="W" * 32).returncode == 3
        # The filament procedures, followed to their end; a refusal is said.
        out = zelkctl("unload")
        assert out.returncode == 0 and out.stdout.endswith("Filament unloaded.\n"), out
        out = zelkctl("unload")
        assert out.returncode == 1 and "no filament is loaded" in out.stderr, out
        loading = subprocess.Popen([os.environ["ZELKCTL"], "load"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, env=env)
        z.wait_for_sim("LOADFIL_EXTRUDING")
        z.sim("press-button")
        stdout, stderr = loading.communicate(timeout=120)
        assert loading.returncode == 0 and stdout.endswith("Filament loaded.\n"), (stdout, stderr)
        # Nothing to pause: the printer-side failure, as over USB.
        out = zelkctl("pause")
        assert out.returncode == 1 and "no print job" in out.stderr, out
        path, small = os.path.join(z.folder, "via.gcode"), os.path.join(z.folder, "small.gcode")
        with open(path, "wb") as f:
            f.write(gcode(400 * 1024))  # prints long enough to pause it
        with open(small, "wb") as f:
            f.write(gcode(3000))
        out = zelkctl("print", path)
        assert out.returncode == 0 and "Press button to start printing" in out.stdout, out
        z.wait_for_sim("JOB_QUEUED")
        assert zelkctl("print", path).returncode == 1  # busy
        z.sim("press-button")
        z.wait_until(lambda: json.loads(zelkctl("status", "--json").stdout)["state"]
                     == "Building", 60, "not building")
        out = zelkctl("pause")
        assert out.returncode == 0 and out.stdout.strip() in ("Pausing", "Paused"), out
        z.wait_for_sim("PAUSED")
        out = zelkctl("abort")
        assert out.returncode == 0 and out.stdout == "Idle\n", out
        # Followed to its end.
        waiting = subprocess.Popen([os.environ["ZELKCTL"], "print", "--wait", small],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env=env)
        z.wait_for_sim("JOB_QUEUED")
        z.sim("press-button")
        stdout, stderr = waiting.communicate(timeout=180)
        assert waiting.returncode == 0 and stdout.endswith("Print finished.\n"), (stdout, stderr)


if __name__ == "__main__":
    atexit.register(lambda: [shutil.rmtree(f, ignore_errors=True) for f in FOLDERS])
    zelkdtest.run([test_settings_and_command_line, test_key_file_and_show_key, test_https,
                   test_history_migration_damage_and_zelkctl, test_event_stream,
                   test_zelkctl_through_zelkd])
