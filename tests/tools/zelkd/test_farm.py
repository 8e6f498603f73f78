"""zelkd in a farm, against a real mosquitto of the test's own with the
README's password-file accounts and ACL: what a host publishes (retained
state, events, Home Assistant's discovery configurations checked against a
schema written from Home Assistant's documentation), commands and their
answers (MQTT 5 and 3.1.1), commands refused (by zelkd, and by the broker's
ACL), the broker and the host failing in every way the farm must outlive,
TLS, zelkctl farm, and the README's walk-through run as it stands."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import jsonschema

sys.path.insert(0, os.path.dirname(__file__))
import zelkdtest  # noqa: E402
from zelkdtest import Broker, EventReader, Mqtt, Zelkd, gcode, retained  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "..", "..", "..", "README.md")
ZELKCTL = os.environ.get("ZELKCTL")
PASSWORDS = {"shop-a": "a-secret", "shop-b": "b-secret", "operator": "op-secret",
             "homeassistant": "ha-secret", "viewer": "view-secret"}
SCHEMA = json.load(open(os.path.join(HERE, "ha-mqtt-discovery.schema.json")))
STATE_KEYS = {"format", "host", "printer", "serial", "state", "status", "temperature", "progress",
              "minutes_left", "file", "error", "firmware", "time"}


def readme_section(heading):
    text = open(README).read()
    start = text.index("\n" + heading + "\n")
    end = text.find("\n### ", start + 1)
    return text[start:end if end > 0 else len(text)]


def readme_acl():
    """The ACL as the README writes it: every test's broker uses it."""
    block = readme_section("### A farm from scratch")
    return re.search(r"<<'END'\n(.*?)\nEND\n", block, re.S).group(1) + "\n"


def farm_broker(**kw):
    return Broker(users=PASSWORDS, acl=readme_acl(), **kw)


def host(broker, name="shop-a", printers=("1:5", "1:6"), **kw):
    keepalive = kw.pop("keepalive", None)
    return Zelkd(printers=printers, config=broker.zelkd_config(
        name, name, PASSWORDS[name], tls=kw.pop("tls_broker", False), keepalive=keepalive), **kw)


def serials(z):
    """The virtual printers' serials in the order of their addresses (1:5
    first): the serials are random, so sorting them says nothing of which
    printer is which."""
    return [p["printer"] for p in sorted(z.printers(), key=lambda p: p["address"])]


def zelkctl(broker, *args, user="operator", tls=False, timeout=60):
    env = dict(os.environ, ZELK_FARM_USER=user, ZELK_FARM_PASSWORD=PASSWORDS.get(user, "x"),
               ZELK_FARM_BROKER="%s://%s:%d" % ("mqtts" if tls else "mqtt",
                                                "localhost" if tls else "127.0.0.1",
                                                broker.tls_port if tls else broker.port),
               XDG_CONFIG_HOME=tempfile.mkdtemp(prefix="zelkctl-", dir="/tmp"))
    if tls:
        env["ZELK_FARM_CA"] = broker.ca
    return subprocess.run([ZELKCTL, "farm"] + list(args), capture_output=True, text=True,
                          env=env, timeout=timeout)


def farm_rows(broker, **kw):
    out = zelkctl(broker, "--json", **kw)
    assert out.returncode == 0, out.stderr
    return {"%s/%s" % (r["host"], r["printer"]): r for r in json.loads(out.stdout)}


def state(broker, name, serial):
    found = retained(broker, "zelk/%s/printer/%s/state" % (name, serial), user="viewer",
                     password=PASSWORDS["viewer"])
    return json.loads(next(iter(found.values()))) if found else None


def wait(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(what)
        time.sleep(0.1)


def check_discovery(configs, name, printer_serials):
    """Every configuration valid by Home Assistant's documented tables, and
    the device, availability and topics as the farm has them."""
    assert len(configs) == 7 * len(printer_serials), sorted(configs)
    validator = jsonschema.Draft202012Validator(SCHEMA)
    for topic, payload in configs.items():
        component = topic.split("/")[1]
        config = json.loads(payload)
        errors = list(jsonschema.Draft202012Validator(
            {"$ref": "#/$defs/" + component, "$defs": SCHEMA["$defs"]}).iter_errors(config))
        assert not errors and validator.is_valid(config), (topic, [e.message for e in errors])
        serial = config["device"]["identifiers"][0]
        assert serial in printer_serials
        assert config["availability_mode"] == "all"
        assert [a["topic"] for a in config["availability"]] == [
            "zelk/%s/status" % name, "zelk/%s/printer/%s/status" % (name, serial)]
        key = "command_topic" if component == "button" else "state_topic"
        assert config[key] == "zelk/%s/printer/%s/%s" % (
            name, serial, "command" if component == "button" else "state")


def test_host_publishes_and_obeys():
    with farm_broker() as b, host(b) as z:
        ha = Mqtt(b, "homeassistant", PASSWORDS["homeassistant"],
                  subscribe=("zelk/#", "homeassistant/#"))
        # Virtual printers given no serial: distinct, and the farm sees them.
        s1, s2 = serials(z)
        assert s1 != s2 and all(re.fullmatch(r"ZK1-\d{6}", s) for s in (s1, s2))
        ha.wait_for(lambda: ha.last("zelk/shop-a/status") == b"online", 30, "host not online")
        for s in (s1, s2):
            ha.wait_for(lambda: ha.last("zelk/shop-a/printer/%s/status" % s) == b"online", 30,
                        "printer not online")
        first = state(b, "shop-a", s1)
        assert set(first) == STATE_KEYS and first["format"] == 1, first
        assert (first["state"], first["status"], first["file"], first["error"]) == (
            "Idle", "Idle", None, "NoError")
        assert isinstance(first["temperature"], int) and first["minutes_left"] is None

        # Home Assistant's configurations, under the ACL, and again when it
        # announces itself.
        configs = retained(b, "homeassistant/#", user="homeassistant",
                           password=PASSWORDS["homeassistant"])
        configs.pop("homeassistant/status", None)
        check_discovery(configs, "shop-a", {s1, s2})
        before = len(ha.of("homeassistant/+/+/+/config"))
        ha.publish("homeassistant/status", "online")
        ha.wait_for(lambda: len(ha.of("homeassistant/+/+/+/config")) >= before + 14, 30,
                    "the configurations were not sent again")

        # A print, paused by the operator over MQTT 5 (response topic and
        # correlation data), resumed by a 3.1.1 client (request id).
        base = "zelk/shop-a/printer/%s/" % s1
        z.upload("cube.gcode", gcode(60000), print_after=True, prefix="/printers/" + s1)
        z.wait_for_sim("JOB_QUEUED", "1:5")
        z.sim("press-button", "1:5")
        ha.wait_for(lambda: ha.of(base + "event/print_started"), 60, "no print_started")
        ha.wait_for(lambda: (state(b, "shop-a", s1) or {}).get("file") == "cube.gcode", 30,
                    "the state does not name the job's file")
        wait(lambda: (state(b, "shop-a", s1) or {}).get("state") == "Building", 60,
             "not printing")
        op5 = Mqtt(b, "operator", PASSWORDS["operator"], subscribe=(base + "reply/#",))
        op5.publish(base + "command", json.dumps({"command": "pause"}),
                    response_topic=base + "reply/op5", correlation=b"c-1")
        op5.wait_for(lambda: op5.of(base + "reply/op5"), 30, "no answer on the response topic")
        _, payload, _, props = op5.of(base + "reply/op5")[0]
        answer = json.loads(payload)
        assert answer["ok"] and answer["outcome"] == "success", answer
        assert props.CorrelationData == b"c-1"
        ha.wait_for(lambda: ha.of(base + "event/print_paused"), 60, "no print_paused")
        op3 = Mqtt(b, "operator", PASSWORDS["operator"], version=3, subscribe=(base + "reply",))
        op3.publish(base + "command", json.dumps({"command": "resume", "request_id": "r-2"}))
        op3.wait_for(lambda: any(json.loads(p)["request_id"] == "r-2"
                                 for _, p, _, _ in op3.of(base + "reply")), 30, "no 3.1.1 answer")
        ha.wait_for(lambda: ha.of(base + "event/print_resumed"), 60, "no print_resumed")
        z.sim("filament-out", "1:5")
        ha.wait_for(lambda: ha.of(base + "event/filament_out"), 60, "no filament_out")
        op5.publish(base + "command", json.dumps({"command": "abort"}))
        ha.wait_for(lambda: ha.of(base + "event/print_cancelled"), 60, "no print_cancelled")
        event = json.loads(ha.of(base + "event/print_cancelled")[0][1])
        assert (event["event"], event["host"], event["printer"], event["file"]) == (
            "print_cancelled", "shop-a", s1, "cube.gcode") and not ha.of(base + "event/+")[0][2]

        # A print to its end.
        other = "zelk/shop-a/printer/%s/" % s2
        z.upload("small.gcode", gcode(3000), print_after=True, prefix="/printers/" + s2)
        z.wait_for_sim("JOB_QUEUED", "1:6")
        z.sim("press-button", "1:6")
        ha.wait_for(lambda: ha.of(other + "event/print_finished"), 120, "no print_finished")

        # Unplugged: offline, retained; back with new firmware: the same
        # serial, online, and the update told.
        z.sim("unplug", "1:6")
        ha.wait_for(lambda: ha.last(other + "status") == b"offline", 30, "not offline")
        ha.wait_for(lambda: ha.of(other + "event/printer_unplugged"), 30, "no unplugged event")
        z.sim("firmware", "1:6", "1.3.0")
        z.sim("plug", "1:6")
        ha.wait_for(lambda: ha.of(other + "event/firmware_updated"), 60, "no firmware_updated")
        assert json.loads(ha.of(other + "event/firmware_updated")[0][1])["detail"] == \
            "1.2.0 -> 1.3.0"
        ha.wait_for(lambda: ha.last(other + "status") == b"online", 30, "not back online")
        assert serials(z) == [s1, s2]

        # The host's page reads the farm from its own connection.
        farm = z.json("GET", "/api/zelkd/farm")
        assert farm["enabled"] and farm["connected"] and farm["host"] == "shop-a"
        assert sorted(r["printer"] for r in farm["printers"]) == sorted([s1, s2])
        reader = EventReader(z, "/api/zelkd/events?apikey=" + z.key)
        wait(lambda: reader.of("farm"), 10, "no farm on the event stream")
        assert reader.of("farm")[0]["enabled"]
        z.sim("unplug", "1:6")
        wait(lambda: any(r["printer"] == s2 and not r["online"]
                         for e in reader.of("farm")[1:] for r in e.get("printers", [])),
             30, "the page was not told of the unplug")
        for client in (ha, op5, op3):
            client.close()


def test_refused_commands():
    with farm_broker() as b, host(b, printers=("1:5,serial=ZK1-000501",)) as z:
        op = Mqtt(b, "operator", PASSWORDS["operator"], subscribe=("zelk/shop-a/#",))
        base = "zelk/shop-a/printer/ZK1-000501/"
        op.wait_for(lambda: op.last(base + "status") == b"online", 30, "not online")
        cases = [
            # (printer, payload, response topic, outcome, answered on)
            ("ZK1-000501", b"garbage", None, "malformed", base + "reply/t"),
            ("ZK1-000501", b"[1, 2]", None, "malformed", base + "reply/t"),
            ("ZK1-000501", b'{"command":"pause","request_id":{"a":1}}', None, "malformed",
             base + "reply/t"),
            ("ZK1-000501", b'{"command":"pause","x":"' + b"y" * 100000 + b'"}', None,
             "too_large", base + "reply/t"),
            ("ZK1-000501", b'{"command":"dance"}', None, "unknown_command", base + "reply/t"),
            ("ZK1-000501", b'{"request_id":1}', None, "unknown_command", base + "reply/t"),
            ("ZK1-000501", b'{"command":"print","file":"nope.gcode"}', None, "no_file",
             base + "reply/t"),
            ("ZK1-000501", b'{"command":"pause"}', None, "conflict", base + "reply/t"),
            ("NOPE", b'{"command":"pause"}', None, "unknown_printer",
             "zelk/shop-a/printer/NOPE/reply/t"),
            # An answer wanted outside the host's topics comes on its own.
            ("ZK1-000501", b'{"command":"dance"}', "elsewhere/x", "unknown_command",
             base + "reply"),
        ]
        for n, (printer, payload, response, outcome, answered_on) in enumerate(cases):
            topic = "zelk/shop-a/printer/%s/command" % printer
            op.publish(topic, payload, response_topic=response or answered_on,
                       correlation=b"%d" % n)
            op.wait_for(lambda: any(p[3] and p[3].CorrelationData == b"%d" % n
                                    for p in op.of(answered_on)), 30,
                        "no answer to case %d" % n)
            answer = [json.loads(p[1]) for p in op.of(answered_on)
                      if p[3].CorrelationData == b"%d" % n][0]
            assert not answer["ok"] and answer["outcome"] == outcome, (n, answer)
            assert answer["reason"], answer
            assert re.search("refused: " + outcome, z.output()), (n, z.output()[-2000:])
        assert "outside zelk/shop-a/" in z.output()
        assert z.process.poll() is None and z.get("/api/version")[0] == 200

        # Printing; an account without the right to command: the broker
        # refuses it, nothing happens, nobody answers.
        z.upload("cube.gcode", gcode(60000), print_after=True)
        z.wait_for_sim("JOB_QUEUED")
        z.sim("press-button")
        wait(lambda: (state(b, "shop-a", "ZK1-000501") or {}).get("state") == "Building", 60,
             "not printing")
        answers = len(op.of(base + "reply/#"))
        out = zelkctl(b, "pause", "shop-a/ZK1-000501", user="viewer")
        assert out.returncode == 1 and "the broker refused it" in out.stderr, out.stderr
        viewer = Mqtt(b, "viewer", PASSWORDS["viewer"], subscribe=())
        viewer.publish(base + "command", '{"command":"pause"}', response_topic=base + "reply/v")
        # (the host itself may not command its printers either)
        hostclient = Mqtt(b, "shop-a", PASSWORDS["shop-a"], subscribe=())
        hostclient.publish(base + "command", '{"command":"abort"}')
        time.sleep(3)
        assert z.sim_state() == "BUILDING" and len(op.of(base + "reply/#")) == answers
        assert not op.of(base + "event/print_paused")
        # The operator may, through zelkctl.
        out = zelkctl(b, "pause", "shop-a/ZK1-000501")
        assert out.returncode == 0 and "pause done" in out.stdout, out.stderr
        # Paused, nothing changes: the state is said again all the same.
        op.wait_for(lambda: json.loads(op.last(base + "state"))["state"] == "Paused", 60,
                    "not paused")
        seen = len(op.of(base + "state"))
        op.wait_for(lambda: len(op.of(base + "state")) > seen, 35, "no repeat within 30 s")
        again = json.loads(op.of(base + "state")[-1][1])
        assert again["state"] == "Paused" and again["time"] > json.loads(
            op.of(base + "state")[seen - 1][1])["time"]
        out = zelkctl(b, "resume", "shop-a/NOPE")
        assert out.returncode == 3 and "no printer shop-a/NOPE" in out.stderr, out.stderr
        for client in (op, viewer, hostclient):
            client.close()


def test_broker_and_host_faults():
    b = farm_broker()
    b.stop()
    try:
        # No broker when zelkd starts: it serves its printers, and joins the
        # farm when the broker comes.
        with host(b, printers=("1:5,serial=ZK1-000601", "1:6,serial=ZK1-000602"),
                  keepalive=5, time_scale=5) as z:
            assert z.get("/api/printer", headers={}, key=True)[0] in (200, 409)
            wait(lambda: "cannot reach the broker" in z.output(), 30, "no log of the broker")
            b.start()
            watcher = Mqtt(b, "viewer", PASSWORDS["viewer"], subscribe=("zelk/#",))
            watcher.wait_for(lambda: watcher.last("zelk/shop-a/status") == b"online", 60,
                             "not online once the broker came")
            z.upload("cube.gcode", gcode(400000), print_after=True,
                     prefix="/printers/ZK1-000601")
            z.wait_for_sim("JOB_QUEUED")
            z.sim("press-button")
            z.wait_for_sim("BUILDING")
            watcher.close()

            # Restarted (nothing kept): every printer's state again, right.
            b.stop()
            b.start()
            wait(lambda: (state(b, "shop-a", "ZK1-000601") or {}).get("state") == "Building",
                 60, "the printing state not back after a broker restart")
            found = retained(b, "zelk/#", user="viewer", password=PASSWORDS["viewer"])
            assert found["zelk/shop-a/status"] == b"online"
            assert json.loads(found["zelk/shop-a/printer/ZK1-000602/state"])["state"] == "Idle"
            assert found["zelk/shop-a/printer/ZK1-000602/status"] == b"online"

            # Stopped (SIGSTOP) past the keep-alive: zelkd prints on and
            # answers; resumed, it reconnects and says what is now.
            connects = z.output().count("connected to the broker")
            b.pause()
            try:
                for _ in range(4):
                    time.sleep(4)
                    t = time.monotonic()
                    status, body, _ = z.get("/printers/ZK1-000601/api/job")
                    assert status == 200 and time.monotonic() - t < 5
                    assert json.loads(body)["state"] == "Printing"
            finally:
                b.resume()
            wait(lambda: z.output().count("connected to the broker") > connects, 90,
                 "no reconnect after the broker was stopped")
            progress = json.loads(z.get("/printers/ZK1-000601/api/job")[1])["progress"]
            wait(lambda: (state(b, "shop-a", "ZK1-000601") or {}).get("progress", -1) >=
                 int(progress["completion"] or 0), 30, "the state is not the current one")
            assert z.sim_state() == "BUILDING"

            # Killed: its printers offline at once (its will).
            z.kill()
            wait(lambda: retained(b, "zelk/shop-a/status", user="viewer",
                                  password=PASSWORDS["viewer"]).get("zelk/shop-a/status")
                 == b"offline", 30, "the host's will was not published")
            rows = farm_rows(b)
            assert not rows["shop-a/ZK1-000601"]["online"]
            assert not rows["shop-a/ZK1-000602"]["online"]
    finally:
        b.close()


def test_tls_watch_forget_and_the_3_1_1_fallback():
    with farm_broker(tls=True) as b, host(b, printers=("1:5,serial=ZK1-000701",
                                                        "1:6,serial=ZK1-000702"),
                                           tls_broker=True) as z:
        wait(lambda: "(MQTT 5)" in z.output(), 30, "no TLS connection")
        rows = farm_rows(b, tls=True)
        assert sorted(rows) == ["shop-a/ZK1-000701", "shop-a/ZK1-000702"]
        assert all(r["online"] for r in rows.values())
        # Followed: an unplug shows as a line.
        env = dict(os.environ, ZELK_FARM_USER="operator",
                   ZELK_FARM_PASSWORD=PASSWORDS["operator"], ZELK_FARM_CA=b.ca,
                   XDG_CONFIG_HOME="/nonexistent")
        watch = subprocess.Popen([ZELKCTL, "farm", "--watch", "--broker",
                                  "mqtts://localhost:%d" % b.tls_port], stdout=subprocess.PIPE,
                                 text=True, env=env)
        lines = []
        threading.Thread(target=lambda: lines.extend(watch.stdout), daemon=True).start()
        wait(lambda: len(lines) >= 3, 30, "no table")
        z.sim("unplug", "1:6")
        wait(lambda: any(re.search(r"ZK1-000702 .* offline$", line) for line in lines[3:]), 30,
             "the unplug was not followed: %r" % lines)
        watch.send_signal(signal.SIGINT)
        assert watch.wait(20) == 0

        # Forgotten: refused while online, then cleared for good (the host
        # does not bring it back when it publishes everything again).
        out = zelkctl(b, "forget", "shop-a/ZK1-000701", tls=True)
        assert out.returncode == 1 and "is online" in out.stderr, out.stderr
        out = zelkctl(b, "forget", "shop-a/ZK1-000702", tls=True)
        assert out.returncode == 0 and "forgotten" in out.stdout, out.stderr
        b.stop()
        b.start()
        wait(lambda: "zelk/shop-a/printer/ZK1-000701/state" in retained(
            b, "#", user="homeassistant", password=PASSWORDS["homeassistant"]), 60,
             "not republished")
        time.sleep(1)
        left = retained(b, "#", user="homeassistant", password=PASSWORDS["homeassistant"])
        assert not [t for t in left if "ZK1-000702" in t], left

    # A CA that did not sign the broker's certificate: no connection.
    with farm_broker(tls=True) as b:
        other = tempfile.mkdtemp(prefix="ca-", dir="/tmp")
        wrong_ca = zelkdtest.make_certificates(other)[0]
        config = b.zelkd_config("shop-a", "shop-a", PASSWORDS["shop-a"], tls=True)
        with Zelkd(printers=("1:5",), config=config.replace(b.ca, wrong_ca)) as z:
            wait(lambda: "cannot reach the broker" in z.output(), 30, "no refusal logged")
            time.sleep(2)
            assert "connected to the broker" not in z.output()
        shutil.rmtree(other, ignore_errors=True)

    # A broker that speaks 3.1.1 only answers a 5 CONNECT with its own
    # refusal: zelkd connects again in 3.1.1.
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(5)
    levels, published = [], []

    def broker_3_1_1():
        for _ in range(2):
            conn, _ = server.accept()
            conn.settimeout(20)
            packet = conn.recv(4096)
            i = 1
            while packet[i] & 0x80:  # the remaining length, 1 to 4 bytes
                i += 1
            level = packet[i + 7]  # after the length: "MQTT" with its own length
            levels.append(level)
            if level != 4:
                conn.sendall(b"\x20\x02\x00\x01")  # unacceptable protocol version
                conn.close()
                continue
            conn.sendall(b"\x20\x02\x00\x00")
            try:
                while True:
                    data = conn.recv(4096)
                    if not data:
                        break
                    published.append(data)
            except OSError:
                pass

    threading.Thread(target=broker_3_1_1, daemon=True).start()
    port = server.getsockname()[1]
    with Zelkd(printers=("1:5",), config="mqtt_host = 127.0.0.1\nmqtt_port = %d\n"
               "farm_name = old\n" % port) as z:
        wait(lambda: "(MQTT 3.1.1)" in z.output(), 30, "no 3.1.1 connection")
        wait(lambda: b"zelk/old/status" in b"".join(published), 10, "nothing published")
        assert levels == [5, 4], levels
    server.close()


def test_readme_walk_through():
    """The README's farm from scratch, its blocks as they stand, on fresh
    folders; ports and paths only through the variables it defines."""
    block = readme_section("### A farm from scratch")
    script = "\n".join(re.findall(r"```sh\n(.*?)```", block, re.S))
    home = tempfile.mkdtemp(prefix="farm-readme-", dir="/tmp")
    build = os.path.dirname(os.path.dirname(ZELKCTL))
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/config",
               XDG_DATA_HOME=home + "/data", BIN=build + "/bin",
               BROKER_PORT=str(zelkdtest.free_port()), HOST_A_PORT=str(zelkdtest.free_port()),
               HOST_B_PORT=str(zelkdtest.free_port()), TMPDIR="/tmp")
    run = subprocess.Popen(["bash", "-euo", "pipefail", "-c", script], cwd=home, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           start_new_session=True)
    farm = os.path.join(home, "zelk-farm")
    try:
        out, _ = run.communicate(timeout=120)
        assert run.returncode == 0, out
        rows = [line.split() for line in out.splitlines() if line.startswith("shop-")]
        assert len(rows) == 4 and all(r[-1] == "online" for r in rows), out
        assert {r[0] for r in rows} == {"shop-a", "shop-b"} and len({r[1] for r in rows}) == 4
        assert not os.path.exists(os.path.join(farm, "passwd.plain"))
        for h in ("shop-a", "shop-b"):
            log = open(os.path.join(farm, h, "zelkd.log")).read()
            assert "connected to the broker" in log, log
    finally:
        try:
            os.killpg(run.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            os.kill(int(open(os.path.join(farm, "mosquitto.pid")).read()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
        time.sleep(1)
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    zelkdtest.run([test_host_publishes_and_obeys, test_refused_commands,
                   test_broker_and_host_faults, test_tls_watch_forget_and_the_3_1_1_fallback,
                   test_readme_walk_through])
