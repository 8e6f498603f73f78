"""zelkd's figures (they assert nothing; the limits are printed beside them):

- a 500 MB upload into the upload folder on disk, timed until the 201, and
  zelkd's resident memory sampled every 100 ms meanwhile;
- idle CPU with two printers attached;
- 256 concurrent status requests on distinct connections.

  ZELKD=... ZELK_SIM=... python3 bench_zelkd.py [UPLOAD_MB]"""

import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../tests/tools/zelkd"))
from zelkdtest import Zelkd, gcode  # noqa: E402

HZ = os.sysconf("SC_CLK_TCK")


def zelkd_pid(z):
    children = subprocess.run(["pgrep", "-P", str(z.process.pid)], capture_output=True,
                              text=True).stdout.split()
    return int(children[0])


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def upload(z, megabytes):
    pid = zelkd_pid(z)
    block = gcode(1024 * 1024)
    boundary = "bench-boundary-0123456789"
    head = ('--%s\r\nContent-Disposition: form-data; name="file"; filename="big.gcode"\r\n'
            "Content-Type: application/octet-stream\r\n\r\n" % boundary).encode()
    tail = ("\r\n--%s--\r\n" % boundary).encode()
    length = len(head) + megabytes * len(block) + len(tail)
    samples = []
    done = threading.Event()

    def sample():
        while not done.is_set():
            samples.append(rss_kib(pid))
            time.sleep(0.1)

    sampler = threading.Thread(target=sample)
    sampler.start()
    time.sleep(0.3)
    c = z.connection(timeout=600)
    start = time.monotonic()
    c.putrequest("POST", "/api/files/local")
    for name, value in (("X-Api-Key", z.key), ("Content-Length", str(length)),
                        ("Content-Type", "multipart/form-data; boundary=" + boundary)):
        c.putheader(name, value)
    c.endheaders()
    c.send(head)
    for _ in range(megabytes):
        c.send(block)
    c.send(tail)
    r = c.getresponse()
    r.read()
    elapsed = time.monotonic() - start
    done.set()
    sampler.join()
    size = megabytes * len(block)
    print("upload of %d MiB (%d MB) into %s (on disk): HTTP %d after %.2f s, %.1f MB/s "
          "(at least 50)" % (megabytes, size // 1000000, os.path.normpath(z.uploads), r.status,
                             elapsed, size / 1e6 / elapsed))
    print("  zelkd's RSS every 100 ms: %d samples, %.1f MiB at the start, %.1f MiB at most, "
          "growth %.1f MiB (at most 16)" % (len(samples), samples[0] / 1024,
                                             max(samples) / 1024,
                                             (max(samples) - samples[0]) / 1024))
    os.remove(os.path.join(z.uploads, "big.gcode"))


def idle_cpu(z, seconds=30):
    pid = zelkd_pid(z)
    time.sleep(5)  # settled
    t0, c0 = time.monotonic(), cpu_ticks(pid)
    time.sleep(seconds)
    t1, c1 = time.monotonic(), cpu_ticks(pid)
    threads = len(os.listdir("/proc/%d/task" % pid))
    print("idle with two printers attached (status poll every second): %.2f %% CPU over %d s, "
          "%d threads (at most 1 %%)" % (100.0 * (c1 - c0) / HZ / (t1 - t0), seconds, threads))


def concurrent_status(z, count=256):
    request = ("GET /printers/ZK1-000301/api/printer HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               "X-Api-Key: %s\r\nConnection: close\r\n\r\n" % z.key).encode()
    sockets = [socket.create_connection(("127.0.0.1", z.port)) for _ in range(count)]
    answers = [b""] * count
    barrier = threading.Barrier(count + 1)

    def one(i):
        barrier.wait()
        s = sockets[i]
        s.sendall(request)
        s.settimeout(30)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        answers[i] = data
        s.close()

    threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    start = time.monotonic()
    barrier.wait()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    ok = sum(1 for a in answers if a.startswith(b"HTTP/1.1 200"))
    print("%d concurrent status requests on distinct connections: %d answered 200 in %.2f s "
          "(all within 10 s)" % (count, ok, elapsed))


def main():
    megabytes = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    print("machine: %s, %d cores" % (
        [l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")][0],
        os.cpu_count()))
    # The upload folder on the machine's disk, not in memory.
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../build/bench-zelkd")
    os.makedirs(folder, exist_ok=True)
    with Zelkd(printers=["1:5,serial=ZK1-000301", "1:6,serial=ZK1-000302"],
               options=["--max-upload-size", "1G"], time_scale=1,
               upload_folder=os.path.abspath(folder)) as z:
        idle_cpu(z)
        concurrent_status(z)
        upload(z, megabytes)


if __name__ == "__main__":
    main()
