"""zelkd announced on the local network as printer hosts are, found as a
slicer's "Browse" finds them: an mDNS question for _octoprint._tcp sent to
the multicast group from a port of its own (as PrusaSlicer's lookup does),
answered by a real avahi-daemon.

Nothing leaves the machine: the test runs in a network namespace of its own
(root, as CI runs), where the only interface is the loopback, with its own
D-Bus system bus and an avahi-daemon allowed on "lo" alone."""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

if os.environ.get("ZELKD_TEST_NETNS") != "1":
    # A new network namespace (only "lo") and mount namespace (avahi-daemon's
    # fixed /run/avahi-daemon on a tmpfs of its own).
    os.environ["ZELKD_TEST_NETNS"] = "1"
    os.execvp("unshare", ["unshare", "--net", "--mount", sys.executable] + sys.argv)

sys.path.insert(0, os.path.dirname(__file__))
import zelkdtest  # noqa: E402
from zelkdtest import Zelkd  # noqa: E402

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
"""

AVAHI_CONFIG = """[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
"""

GROUP = ("224.0.0.251", 5353)
PTR, TXT, SRV, A = 12, 16, 33, 1


class Avahi:
    """A D-Bus system bus and avahi-daemon of the test's own."""

    def __init__(self, folder):
        self.folder = folder
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        subprocess.run(["ip", "link", "set", "lo", "multicast", "on"], check=True)
        os.makedirs("/run/avahi-daemon", exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run/avahi-daemon"], check=True)
        bus = os.path.join(folder, "system_bus_socket")
        with open(os.path.join(folder, "bus.conf"), "w") as f:
            f.write(BUS_CONFIG % bus)
        with open(os.path.join(folder, "avahi.conf"), "w") as f:
            f.write(AVAHI_CONFIG)
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + bus
        self.bus = subprocess.Popen(["dbus-daemon", "--nofork", "--config-file",
                                     os.path.join(folder, "bus.conf")],
                                    stderr=open(os.path.join(folder, "dbus.log"), "w"))
        deadline = time.monotonic() + 10
        while not os.path.exists(bus):
            assert time.monotonic() < deadline, "no D-Bus"
            time.sleep(0.05)
        self.daemon = None

    def start(self):
        self.log = os.path.join(self.folder, "avahi-%d.log" % time.monotonic_ns())
        self.daemon = subprocess.Popen(["avahi-daemon", "-f", os.path.join(self.folder, "avahi.conf"),
                                        "--no-drop-root", "--no-chroot", "--no-rlimits"],
                                       stdout=open(self.log, "w"), stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while "Server startup complete" not in open(self.log).read():
            assert self.daemon.poll() is None, open(self.log).read()
            assert time.monotonic() < deadline, open(self.log).read()
            time.sleep(0.05)

    def stop(self):
        if self.daemon and self.daemon.poll() is None:
            self.daemon.terminate()
            self.daemon.wait(20)

    def close(self):
        self.stop()
        self.bus.terminate()
        self.bus.wait(20)


def encode(name):
    return b"".join(bytes([len(p)]) + p for p in (x.encode() for x in name.split("."))) + b"\0"


def decode(data, at):
    """A name at `at` (compression followed); the name and the offset after it."""
    labels, end = [], None
    while data[at]:
        if data[at] & 0xC0 == 0xC0:
            end = end or at + 2
            at = struct.unpack("!H", data[at:at + 2])[0] & 0x3FFF
            continue
        labels.append(data[at + 1:at + 1 + data[at]].decode())
        at += 1 + data[at]
    return ".".join(labels), end or at + 1


def ask(name, qtype, seconds=2.0):
    """One mDNS question to the group on lo from a port of our own: the
    answers ("legacy unicast") as (name, type, value) records."""
    question = struct.pack("!6H", 0x5a17, 0, 1, 0, 0, 0) + encode(name) + struct.pack("!2H", qtype, 1)
    records = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        s.sendto(question, GROUP)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data = s.recv(9000)
            except socket.timeout:
                break
            records += parse(data)
            deadline = min(deadline, time.monotonic() + 0.2)  # the stragglers
    return records


def parse(data):
    counts = struct.unpack("!6H", data[:12])
    at = 12
    for _ in range(counts[2]):
        at = decode(data, at)[1] + 4
    out = []
    for _ in range(sum(counts[3:])):
        name, at = decode(data, at)
        rtype, _, _, length = struct.unpack("!HHIH", data[at:at + 10])
        at += 10
        rdata = data[at:at + length]
        if rtype == PTR:
            value = decode(data, at)[0]
        elif rtype == SRV:
            value = (struct.unpack("!H", rdata[4:6])[0], decode(data, at + 6)[0])
        elif rtype == TXT:
            value, i = {}, 0
            while i < len(rdata):
                key, _, v = rdata[i + 1:i + 1 + rdata[i]].decode().partition("=")
                value[key] = v
                i += 1 + rdata[i]
        elif rtype == A:
            value = socket.inet_ntoa(rdata)
        else:
            value = rdata
        out.append((name, rtype, value))
        at += length
    return out


def browse():
    """What a slicer's Browse lists: {instance: (host, port, TXT)}."""
    found = {}
    for _, _, instance in (r for r in ask("_octoprint._tcp.local", PTR) if r[1] == PTR):
        srv = [v for n, t, v in ask(instance, SRV) if t == SRV]
        txt = [v for n, t, v in ask(instance, TXT) if t == TXT]
        if srv and txt:
            found[instance.split("._octoprint")[0]] = (srv[0][1], srv[0][0], txt[0])
    return found


def test_announced_and_found():
    folder = tempfile.mkdtemp(prefix="zelkd-mdns-", dir="/tmp")
    avahi = Avahi(folder)
    host = socket.gethostname()
    try:
        # zelkd first: it waits for the daemon, then announces.
        with Zelkd(printers=("1:5,serial=ZK1-000101",),
                   options=["--listen", "0.0.0.0"]) as z:
            z.wait_until(lambda: "avahi-daemon is not running" in z.output(), 10,
                         "no word of the missing daemon")
            avahi.start()
            name = "zelkd on " + host
            wanted = {name: "/", name + ": ZK1-000101": "/printers/ZK1-000101/"}

            def all_found():
                found = browse()
                return all(n in found and found[n][2].get("path") == p for n, p in wanted.items())

            z.wait_until(all_found, 30, "not found: %r" % (browse(),))
            found = browse()
            target, port, txt = found[name]
            assert port == z.port, found
            assert (txt["version"], txt["api"], txt["model"]) == (
                z.json("GET", "/api/version")["server"], "0.1", "Zelk"), txt
            # The address it resolves to answers as the host it claims to be.
            address = [v for n, t, v in ask(target, A) if t == A][0]
            c = socket.create_connection((address, port), timeout=10)
            c.sendall(b"GET /api/version HTTP/1.0\r\nX-Api-Key: " + z.key.encode() + b"\r\n\r\n")
            assert b'"text":"OctoPrint (zelkd' in c.makefile("rb").read()
            c.close()
            # The daemon restarts: announced again.
            avahi.stop()
            avahi.start()
            z.wait_until(all_found, 30, "not announced again after avahi-daemon restarted")
            assert "avahi-daemon went away" in z.output()
        # Gone with zelkd; and off by a setting.
        z.wait_until(lambda: name not in browse(), 10, "still announced after zelkd stopped")
        with Zelkd(options=["--listen", "0.0.0.0", "--announce", "false"]) as z:
            assert "not announced on the local network: turned off" in z.output(), z.output()
            time.sleep(1)
            assert name not in browse()
    finally:
        avahi.close()
        subprocess.run(["rm", "-rf", folder])


if __name__ == "__main__":
    zelkdtest.run([test_announced_and_found])
