#!/usr/bin/env python3
"""Soak test: the real helper, with the stand-in engine, in a private network
namespace, under many clients doing random operations (tests/soak/
soak_client.cc) while its engines are killed, clients vanish mid-request and
garbage packets arrive. At the end: every well-formed request got exactly
one reply, no engine process or tunnel is left, the helper's memory did not
grow, and it still answers.

usage: soak.py BUILD_DIR [SECONDS] [THREADS] [--no-memory-check]
       (root; default 60 s, 8 threads; the memory check is meaningless under
       AddressSanitizer, whose quarantine holds freed memory)
Exit status 0 when every check passed, 1 otherwise, 77 when it cannot run.
"""
import json
import os
import random
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
import netlab  # noqa: E402


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    memory_check = "--no-memory-check" not in sys.argv
    args = [a for a in sys.argv[1:] if a != "--no-memory-check"]
    build = os.path.abspath(args[0])
    seconds = float(args[1]) if len(args) > 1 else 60
    threads = int(args[2]) if len(args) > 2 else 8
    engine = os.path.join(build, "tests/engine/test_engine")
    client = os.path.join(build, "tests/soak/soak_client")
    if os.geteuid() != 0:
        print("skipped: needs root")
        return 77
    for prog in (engine, client, os.path.join(build, "helper/front/helper")):
        if not os.access(prog, os.X_OK):
            print("skipped: %s is not built" % prog)
            return 77

    with netlab.Lab(build, engine) as lab:
        lab.install()
        with open(lab.engine_path + ".knobs", "w") as f:
            f.write("add_routes=1\n")
        soak = os.path.join(lab.bin, "soak_client")
        with open(client, "rb") as src, open(soak, "wb") as dst:
            dst.write(src.read())
        os.chmod(soak, 0o755)
        lab.run(None, [os.path.join(build, "tools/helper-codesign/helper-codesign"), "sign", "--identifier",
                       "tarn.CorvalethApp", "--key", lab.key, soak])
        helper = lab.start_helper()

        # Engines die under the clients' feet, several times a second.
        stop = threading.Event()
        kills = [0]

        def killer():
            rng = random.Random(7)
            while not stop.wait(rng.uniform(0.05, 0.5)):
                for pid in lab.engine_pids()[:1]:
                    try:
                        os.kill(pid, signal.SIGKILL)
                        kills[0] += 1
                    except ProcessLookupError:
                        pass

        samples = []

        def sampler():
            while not stop.wait(1.0):
                samples.append(rss_kib(helper.pid))

        background = [threading.Thread(target=killer), threading.Thread(target=sampler)]
        for t in background:
            t.start()
        started = time.time()
        r = lab.run(lab.machine, [soak, str(seconds), str(threads), "socks5://%s:1080" % netlab.UPSTREAM_IP],
                    env=lab.env(), timeout=seconds + 300, check=False)
        stop.set()
        for t in background:
            t.join()
        took = time.time() - started
        counts = json.loads(r.stdout.strip().splitlines()[-1]) if r.stdout.strip() else {}

        leftover_engines = netlab.wait_until(lambda: not lab.engine_pids(), 10) or lab.engine_pids()
        devices = lab.utun_devices()
        ping = lab.helperctl("ping", check=False)
        warm = samples[len(samples) // 5:] or samples
        first, last, peak = (warm[0], warm[-1], max(warm)) if warm else (0, 0, 0)

        checks = [
            ("the client ran to its end", r.returncode == 0 and bool(counts), r.stderr.strip()[-300:]),
            ("every request got exactly one reply",
             counts.get("requests") == counts.get("replies") and counts.get("missing") == 0
             and counts.get("foreign") == 0, json.dumps(counts)),
            ("the helper is still running and answers", helper.poll() is None and ping.returncode == 0,
             ping.stdout.strip() or ping.stderr.strip()),
            ("no engine process is left", leftover_engines is True, str(leftover_engines)),
            ("no tunnel device is left", not devices, ", ".join(devices)),
            ("memory did not grow (after warm-up, at most 1 MiB)", last - first <= 1024 or not memory_check,
             "%d KiB -> %d KiB, peak %d KiB%s" % (first, last, peak, "" if memory_check else " (not checked)")),
        ]
        print("soak: %.0f s, %d client threads, %d engines killed, %s" % (took, threads, kills[0], json.dumps(counts)))
        for what, ok, detail in checks:
            print("  %-52s %s  %s" % (what, "ok" if ok else "FAILED", detail))
        if not all(ok for _, ok, _ in checks):
            print(lab.read(lab.helper_log)[-4000:])
            return 1
        return 0


if __name__ == "__main__":
    sys.exit(main())
