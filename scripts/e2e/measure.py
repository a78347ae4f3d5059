#!/usr/bin/env python3
"""Figures of the whole product with the real engine, on the private network
of netlab.py, each against a floor measured in the same run:

- the bare engine, spawned directly with the configuration the helper
  writes: from the spawn to its TUN device, and from SIGTERM to its exit;
- `helperctl activate --detach` and `helperctl deactivate`, whole processes;
- a whole `helperctl ping` process against `helperctl parse-url`, which
  needs no helper;
all interleaved run by run, from one process inside the machine's namespace
so that every command costs the same to start. Then: activate until the
first request through the tunnel is answered, and the throughput of a large
download through the tunnel against the same download straight through the
proxy.

usage: measure.py BUILD_DIR ENGINE_BINARY [RUNS]
Exit status: 0 when every goal was met, 1 otherwise.
"""
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import UPSTREAM_IP, WEB_IP  # noqa: E402

URL = "socks5://bench:pw@%s:1080" % UPSTREAM_IP


def stats(values):
    return "median %.1f ms (min %.1f, max %.1f)" % (statistics.median(values) * 1000, min(values) * 1000,
                                                     max(values) * 1000)


def timed(argv, **kwargs):
    start = time.monotonic()
    r = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    took = time.monotonic() - start
    if r.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(argv), r.stderr))
    return took, r.stdout


def bare_engine(engine, config, data, device):
    """Spawn to device, and SIGTERM to exit, of the engine on its own."""
    with open(os.devnull, "wb") as null:
        start = time.monotonic()
        p = subprocess.Popen([engine, "-d", data, "-f", config], stdout=null, stderr=null)
        while not os.path.exists("/sys/class/net/" + device):
            if p.poll() is not None:
                raise RuntimeError("the bare engine exited with %d" % p.returncode)
        up = time.monotonic() - start
        time.sleep(0.05)
        start = time.monotonic()
        p.send_signal(signal.SIGTERM)
        p.wait()
        return up, time.monotonic() - start


def inside(helperctl, engine, config, data, runs):
    """Runs in the machine's namespace; prints the figures as JSON."""
    device = [line.split(": ")[1] for line in open(config).read().splitlines() if line.startswith("  device: ")][0]
    figures = {k: [] for k in ("spawn", "sigterm", "activate", "deactivate", "ping", "parse")}
    for _ in range(runs):
        spawn, sigterm = bare_engine(engine, config, data, device)
        figures["spawn"].append(spawn)
        figures["sigterm"].append(sigterm)
        took, token = timed([helperctl, "activate", "-", "--detach"], input=URL + "\n")
        figures["activate"].append(took)
        figures["deactivate"].append(timed([helperctl, "deactivate", "-"], input=token.strip() + "\n")[0])
        figures["ping"].append(timed([helperctl, "ping"])[0])
        figures["parse"].append(timed([helperctl, "parse-url", "-"], input=URL + "\n")[0])
    print(json.dumps(figures))


def download_rate(lab, extra, chunks=8):
    r = subprocess.run([netlab.IP, "netns", "exec", lab.machine, "/usr/bin/curl", "-s", "-o", "/dev/null",
                        "-w", "%{speed_download} %{size_download}", "--max-time", "120"] + extra
                       + ["http://%s/big%d" % (WEB_IP, chunks)], capture_output=True, text=True, check=True)
    rate, size = r.stdout.split()
    assert int(float(size)) == chunks * 16 * 1024 * 1024, r.stdout
    return float(rate)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        return inside(*sys.argv[2:6], int(sys.argv[6]))
    build, engine = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    with netlab.Lab(build, engine) as lab:
        lab.start_web(WEB_IP, 80)
        lab.start_socks5(UPSTREAM_IP, 1080, "bench", "pw")
        lab.install()
        lab.start_helper()
        # The bare engine gets the configuration the helper writes, in a
        # folder of its own.
        token = lab.helperctl("activate", "-", "--detach", input=URL + "\n").stdout.strip()
        bare = lab.path("bare")
        os.makedirs(bare)
        shutil.copy(os.path.join(lab.root, "var/lib/tarn.CorvalethApp/mihomo/config.yaml"), bare + "/config.yaml")
        lab.helperctl("deactivate", "-", input=token + "\n")
        r = lab.run(lab.machine, [sys.executable, os.path.abspath(__file__), "--inside", os.path.join(lab.bin, "helperctl"),
                                  lab.engine_path, bare + "/config.yaml", bare, str(runs)], env=lab.env(), timeout=600)
        f = json.loads(r.stdout)
        med = {k: statistics.median(v) for k, v in f.items()}
        budget = 1.3 * med["spawn"] + med["ping"]
        goals = [
            ("activate --detach at most 1.3x the bare engine's spawn-to-device plus one ping process",
             med["activate"] <= budget),
            ("deactivate under 100 ms", med["deactivate"] < 0.1),
            ("a ping process within 2 ms of parse-url", med["ping"] - med["parse"] <= 0.002),
        ]
        print("%d runs each, interleaved:" % runs)
        print("  bare engine, spawn to device:          " + stats(f["spawn"]))
        print("  helperctl activate --detach:           " + stats(f["activate"]) +
              "   ratio %.2fx to the bare engine; budget %.1f ms" % (med["activate"] / med["spawn"], budget * 1000))
        print("  bare engine, SIGTERM to exit:          " + stats(f["sigterm"]))
        print("  helperctl deactivate:                  " + stats(f["deactivate"]) +
              "   ratio %.2fx to the bare engine's exit" % (med["deactivate"] / med["sigterm"]))
        print("  helperctl parse-url (no helper):       " + stats(f["parse"]))
        print("  helperctl ping:                        " + stats(f["ping"]) +
              "   %+.2f ms" % ((med["ping"] - med["parse"]) * 1000))

        usable = []
        for _ in range(runs):
            start = time.monotonic()
            token = lab.helperctl("activate", "-", "--detach", input=URL + "\n").stdout.strip()
            body, rc = lab.fetch("http://%s/" % WEB_IP)
            assert rc == 0 and body.startswith(b"hello"), (rc, body)
            usable.append(time.monotonic() - start)
            lab.helperctl("deactivate", "-", input=token + "\n")
        print("  activate until the first request through the tunnel is answered (with ip netns exec and curl): "
              + stats(usable))

        direct, tunnel = [], []
        token = lab.helperctl("activate", "-", "--detach", input=URL + "\n").stdout.strip()
        for _ in range(5):
            tunnel.append(download_rate(lab, []))
        lab.helperctl("deactivate", "-", input=token + "\n")
        for _ in range(5):
            direct.append(download_rate(lab, ["--socks5", "%s:1080" % UPSTREAM_IP, "--proxy-user", "bench:pw"]))
        t, d = statistics.median(tunnel), statistics.median(direct)
        print("  128 MiB download through the tunnel: median %.0f MiB/s; straight through the proxy: median %.0f MiB/s;"
              " ratio %.2fx" % (t / 2**20, d / 2**20, t / d))
        for text, met in goals:
            print("goal: %s: %s" % (text, "met" if met else "NOT MET"))
        return 0 if all(met for _, met in goals) else 1


if __name__ == "__main__":
    sys.exit(main())
