"""A farm's figures (they assert nothing but that the farm is whole; the
limits are printed beside them): HOSTS zelkd processes with PRINTERS virtual
printers each against one mosquitto on this machine, every printer printing:

- the farm as `zelkctl farm --json` and a host's page (/api/zelkd/farm) see
  it: every printer there;
- from a printer's state change in the simulator (pause, resume) to
  `zelkctl farm --watch --json` showing it: p50, p95 (at most the poll
  interval plus 250 ms p95);
- messages per second at the broker, from its $SYS counters;
- zelkd's CPU and resident memory, per host and per printer.

  ZELKD=... ZELK_SIM=... ZELKCTL=... python3 bench_farm.py [--short]
  (--short: 2 hosts of 4 printers, fewer samples: CI's form)"""

import json
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../tests/tools/zelkd"))
from zelkdtest import Broker, Mqtt, Zelkd, gcode  # noqa: E402
from bench_zelkd import cpu_ticks, rss_kib, zelkd_pid, HZ  # noqa: E402

SHORT = "--short" in sys.argv
HOSTS, PRINTERS = (2, 4) if SHORT else (8, 8)
SAMPLES = 8 if SHORT else 40
WINDOW_S = 15 if SHORT else 60
POLL_S = 1.0


class Watch(threading.Thread):
    """zelkctl farm --watch --json: every line with the time it came."""

    def __init__(self, broker):
        super().__init__(daemon=True)
        env = dict(os.environ, ZELK_FARM_BROKER="mqtt://127.0.0.1:%d" % broker.port,
                   XDG_CONFIG_HOME="/nonexistent")
        self.p = subprocess.Popen([os.environ["ZELKCTL"], "farm", "--watch", "--json"],
                                  stdout=subprocess.PIPE, text=True, env=env)
        self.rows = []  # (time, row)
        self.lock = threading.Lock()
        self.start()

    def run(self):
        for line in self.p.stdout:
            t = time.monotonic()
            with self.lock:
                self.rows.append((t, json.loads(line)))

    def since(self, t0, key, states):
        with self.lock:
            for t, r in self.rows:
                if t >= t0 and "%s/%s" % (r["host"], r["printer"]) == key and \
                        r["state"] in states:
                    return t
        return None

    def close(self):
        self.p.terminate()
        self.p.wait(10)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    broker = Broker(extra="sys_interval 1\n")
    hosts = []
    try:
        started = time.monotonic()
        for h in range(HOSTS):
            printers = ["1:%d" % (5 + i) for i in range(PRINTERS)]
            hosts.append(Zelkd(printers=printers, time_scale=5, config=(
                "mqtt_host = 127.0.0.1\nmqtt_port = %d\nfarm_name = host-%d\n"
                % (broker.port, h))))
        print("%d hosts of %d printers up in %.1f s" % (HOSTS, PRINTERS,
                                                       time.monotonic() - started), flush=True)

        # Every printer prints (long enough for the whole run).
        job = gcode(400000)
        names = {}
        for h, z in enumerate(hosts):
            for p in z.printers():
                names[p["printer"]] = (h, p["address"])
                z.upload("job-%s.gcode" % p["printer"], job, print_after=True,
                         prefix="/printers/" + p["printer"])
        for serial, (h, address) in names.items():
            hosts[h].wait_for_sim("JOB_QUEUED", address, 120)
            hosts[h].sim("press-button", address)
        for serial, (h, address) in names.items():
            hosts[h].wait_for_sim("BUILDING", address, 180)

        # The farm, whole, as zelkctl and a host's page see it.
        env = dict(os.environ, ZELK_FARM_BROKER="mqtt://127.0.0.1:%d" % broker.port,
                   XDG_CONFIG_HOME="/nonexistent")
        deadline = time.monotonic() + 60
        while True:
            out = subprocess.run([os.environ["ZELKCTL"], "farm", "--json"], env=env,
                                 capture_output=True, text=True)
            rows = json.loads(out.stdout or "[]")
            printing = [r for r in rows if r["online"] and r["state"] == "Building"]
            if len(printing) == HOSTS * PRINTERS or time.monotonic() > deadline:
                break
            time.sleep(1)
        page = hosts[0].json("GET", "/api/zelkd/farm")["printers"]
        print("farm view: zelkctl %d of %d printers online and printing, host-0's page %d"
              % (len(printing), HOSTS * PRINTERS, len(page)), flush=True)
        whole = len(printing) == HOSTS * PRINTERS and len(page) == HOSTS * PRINTERS

        # The window: broker counters, zelkd's CPU, latencies meanwhile.
        sys_client = Mqtt(broker, subscribe=("$SYS/broker/messages/+",
                                             "$SYS/broker/load/messages/+/1min"))
        time.sleep(2)
        pids = [zelkd_pid(z) for z in hosts]
        ticks0 = [cpu_ticks(p) for p in pids]

        def counter(name):
            value = sys_client.last("$SYS/broker/messages/" + name)
            return int(value) if value else 0

        received0, sent0, t_start = counter("received"), counter("sent"), time.monotonic()
        watch = Watch(broker)
        time.sleep(3)
        latencies = []
        serial_list = sorted(names)
        for n in range(SAMPLES):
            serial = serial_list[n % len(serial_list)]
            h, address = names[serial]
            key = "host-%d/%s" % (h, serial)
            for wanted in (("Pausing", "Paused"), ("Unpaused", "Building")):
                t0 = time.monotonic()
                hosts[h].sim("pause", address)
                while time.monotonic() - t0 < 10:
                    t = watch.since(t0, key, wanted)
                    if t:
                        latencies.append(t - t0)
                        break
                    time.sleep(0.01)
                hosts[h].wait_for_sim("PAUSED" if wanted[0] == "Pausing" else "BUILDING",
                                      address, 60)
                time.sleep(0.3)
        remaining = WINDOW_S - (time.monotonic() - t_start)
        if remaining > 0:
            time.sleep(remaining)
        elapsed = time.monotonic() - t_start
        time.sleep(1.5)  # the counters' next publication
        received = (counter("received") - received0) / elapsed
        sent = (counter("sent") - sent0) / elapsed
        cpu = [(cpu_ticks(p) - t) / HZ / elapsed * 100 for p, t in zip(pids, ticks0)]
        rss = [rss_kib(p) / 1024 for p in pids]
        watch.close()
        sys_client.close()

        missing = SAMPLES * 2 - len(latencies)
        print("\n| figure | measured | limit |\n|---|---|---|")
        print("| farm view | %d of %d printers (zelkctl), %d (a host's page) | all |"
              % (len(printing), HOSTS * PRINTERS, len(page)))
        if latencies:
            print("| state change in the simulator to zelkctl farm --watch --json, %d samples "
                  "(poll every %.0f s) | p50 %.0f ms, p95 %.0f ms%s | p95 at most %.0f ms |"
                  % (len(latencies), POLL_S, percentile(latencies, 50) * 1000,
                     percentile(latencies, 95) * 1000,
                     ", %d not seen in 10 s" % missing if missing else "",
                     (POLL_S + 0.25) * 1000))
        print("| messages at the broker | %.0f/s received, %.0f/s sent | |" % (received, sent))
        print("| zelkd's CPU, per host (%d printers) | mean %.1f %%, max %.1f %% (%.2f %% per "
              "printer) | |" % (PRINTERS, sum(cpu) / len(cpu), max(cpu),
                                sum(cpu) / len(cpu) / PRINTERS))
        print("| zelkd's resident memory, per host | mean %.1f MiB, max %.1f MiB (%.1f MiB per "
              "printer) | |" % (sum(rss) / len(rss), max(rss), sum(rss) / len(rss) / PRINTERS))
        print("machine: %s, %d cores" % (cpu_model(), os.cpu_count()), flush=True)
        return 0 if whole else 1
    finally:
        for z in hosts:
            z.close()
        broker.close()


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "?"


if __name__ == "__main__":
    sys.exit(main())
