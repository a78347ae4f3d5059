#!/usr/bin/env python3
"""Figures of the whole product with the real engine, on the private network
of netlab.py: how long `helperctl activate` takes until the session is usable
(the first request through the tunnel answered), how long deactivation takes,
and the throughput of a large download through the tunnel against the same
download straight through the same proxy (curl --socks5), in one run.

usage: measure.py BUILD_DIR ENGINE_BINARY [RUNS]
"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import UPSTREAM_IP, WEB_IP  # noqa: E402


def stats(values):
    return "min %.0f ms, median %.0f ms, max %.0f ms" % (min(values) * 1000, statistics.median(values) * 1000,
                                                           max(values) * 1000)


def download_rate(lab, extra, chunks=8):
    r = subprocess.run([netlab.IP, "netns", "exec", lab.machine, "/usr/bin/curl", "-s", "-o", "/dev/null",
                        "-w", "%{speed_download} %{size_download}", "--max-time", "120"] + extra
                       + ["http://%s/big%d" % (WEB_IP, chunks)], capture_output=True, text=True, check=True)
    rate, size = r.stdout.split()
    assert int(float(size)) == chunks * 16 * 1024 * 1024, r.stdout
    return float(rate)


def main():
    build, engine = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    url = "socks5://bench:pw@%s:1080" % UPSTREAM_IP
    with netlab.Lab(build, engine) as lab:
        lab.start_web(WEB_IP, 80)
        lab.start_socks5(UPSTREAM_IP, 1080, "bench", "pw")
        lab.install()
        lab.start_helper()
        activations, deactivations = [], []
        for _ in range(runs):
            start = time.monotonic()
            token = lab.helperctl("activate", url, "--detach").stdout.strip()
            body, rc = lab.fetch("http://%s/" % WEB_IP)
            usable = time.monotonic()
            assert rc == 0 and body.startswith(b"hello"), (rc, body)
            activations.append(usable - start)
            start = time.monotonic()
            lab.helperctl("deactivate", token)
            deactivations.append(time.monotonic() - start)
        print("activate until usable (helperctl activate + first request through the tunnel), %d runs: %s"
              % (runs, stats(activations)))
        print("deactivate (helperctl deactivate until it returns), %d runs: %s" % (runs, stats(deactivations)))

        direct, tunnel = [], []
        token = lab.helperctl("activate", url, "--detach").stdout.strip()
        for _ in range(5):
            tunnel.append(download_rate(lab, []))
        lab.helperctl("deactivate", token)
        for _ in range(5):
            direct.append(download_rate(lab, ["--socks5", "%s:1080" % UPSTREAM_IP, "--proxy-user", "bench:pw"]))
        t, d = statistics.median(tunnel), statistics.median(direct)
        print("128 MiB download through the tunnel: median %.0f MiB/s; straight through the proxy: median %.0f MiB/s;"
              " ratio %.2fx" % (t / 2**20, d / 2**20, t / d))


if __name__ == "__main__":
    sys.exit(main())
