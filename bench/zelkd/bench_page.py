"""The page's latency: from a virtual printer's state change to the page's
DOM showing it, measured in headless chromium (prints the figure; asserts
nothing).

The printer does not announce its changes (as the real one does not):
zelkd's status poll finds each, publishes it on the event stream, and the
page renders it. The simulator's change is timed in this process right
before the control command (time.time()), the DOM's by a MutationObserver
(Date.now()): one clock, the machine's.

  ZELKD=... ZELK_SIM=... /usr/bin/python3 bench_page.py [CHANGES] [POLL_SECONDS]"""

import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../tests/tools/zelkd"))
from zelkdtest import Zelkd, browser  # noqa: E402

SERIAL = "ZK1-000101"
OBSERVE = """
window.changes = [];
const el = document.querySelector('[data-printer="%s"]');
new MutationObserver(() => window.changes.push([Date.now(), el.dataset.state]))
    .observe(el, {attributes: true, attributeFilter: ["data-state"]});
""" % SERIAL


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def main():
    changes = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    poll = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
    random.seed(1)
    with Zelkd(printers=("1:5,serial=" + SERIAL,), time_scale=1,
               options=["--poll-interval", str(poll)]) as z:
        d = browser(z.folder)
        try:
            d.get("http://127.0.0.1:%d/#key=%s" % (z.port, z.key))
            deadline = time.monotonic() + 30
            while d.execute_script("return document.querySelector('[data-printer=\"%s\"]')"
                                   "?.dataset.state" % SERIAL) != "Idle":
                assert time.monotonic() < deadline, "the page never showed the printer"
                time.sleep(0.1)
            d.execute_script(OBSERVE)
            latencies, commands = [], []
            for i in range(changes):
                # Unloading held in its first state, then aborted: two changes
                # the printer makes at once, neither announced.
                want = "UnloadHeating" if i % 2 == 0 else "Idle"
                if want == "UnloadHeating":
                    z.control("hold", "REMFIL_HEATING")
                # Anywhere in the poll's period, not in step with it.
                time.sleep(random.uniform(0.2, 0.2 + poll))
                seen = len(d.execute_script("return window.changes"))
                before = time.time() * 1000
                reply = z.control("unload" if want == "UnloadHeating" else "abort")
                commands.append(time.time() * 1000 - before)
                assert reply.startswith("ok"), reply
                deadline = time.monotonic() + 10
                while True:
                    new = d.execute_script("return window.changes.slice(arguments[0])", seen)
                    shown = [t for t, state in new if state == want]
                    if shown:
                        latencies.append(shown[0] - before)
                        break
                    assert time.monotonic() < deadline, "the page never showed " + want
                    time.sleep(0.02)
        finally:
            d.quit()
    load = os.getloadavg()
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "?")
    print("page latency, virtual printer's change (not announced) -> page's DOM, %d changes, "
          "poll every %.1f s:" % (len(latencies), poll))
    print("  p50 %.0f ms, p95 %.0f ms, max %.0f ms (limit: the poll interval + 200 ms = %.0f ms)"
          % (percentile(latencies, 50), percentile(latencies, 95), max(latencies),
             poll * 1000 + 200))
    print("  control command itself: median %.1f ms" % statistics.median(commands))
    print("  machine: %d cores, %s; load average %.2f %.2f %.2f at the end"
          % (os.cpu_count(), cpu, *load))


if __name__ == "__main__":
    main()
