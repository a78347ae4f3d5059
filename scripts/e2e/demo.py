#!/usr/bin/env python3
"""The helper at work, end to end, on a private network built for the
occasion (see netlab.py): the real helper and the real engine route a
"machine"'s traffic through a SOCKS5 proxy with a user name and password,
and give the network back when the session ends.

usage: demo.py BUILD_DIR ENGINE_BINARY [--keep]
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import MACHINE_IP, UPSTREAM_IP, WEB_IP  # noqa: E402

BOLD, DIM, GREEN, RED, RESET = "\033[1m", "\033[2m", "\033[32m", "\033[31m", "\033[0m"
if not sys.stdout.isatty():
    BOLD = DIM = GREEN = RED = RESET = ""

checks = []
t0 = time.time()


def step(text):
    print("\n%s[%5.1fs] %s%s" % (BOLD, time.time() - t0, text, RESET), flush=True)


def show(text):
    for line in text.rstrip("\n").splitlines():
        print("    " + DIM + line + RESET, flush=True)


def check(what, ok, detail=""):
    checks.append((what, ok, detail))
    print("    %s%s%s %s%s" % (GREEN if ok else RED, "ok  " if ok else "FAIL", RESET, what,
                               (" — " + detail) if detail else ""), flush=True)


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 64
    build, engine = sys.argv[1], sys.argv[2]
    keep = "--keep" in sys.argv[3:]
    user, password = "demo", "s3cret-Pa55"
    with netlab.Lab(build, engine, keep=keep) as lab:
        step("A private network: namespace 'machine' (%s) and namespace 'upstream' (%s)" % (MACHINE_IP, UPSTREAM_IP))
        show("machine  %s  eth0 %s, default route via %s" % (lab.machine, MACHINE_IP, UPSTREAM_IP))
        show("upstream %s  eth0 %s; web server %s:80 (a public address), LAN web server %s:8080"
             % (lab.upstream, UPSTREAM_IP, WEB_IP, UPSTREAM_IP))
        web = lab.start_web(WEB_IP, 80)
        lan = lab.start_web(UPSTREAM_IP, 8080)
        socks = lab.start_socks5(UPSTREAM_IP, 1080, user, password)
        show("SOCKS5 proxy (microsocks) on %s:1080, user '%s'" % (UPSTREAM_IP, user))

        step("Signing helper, helperctl and the engine with a fresh team key")
        lab.install()
        show("Team ID %s; helper = tarn.CorvalethApp.helper, helperctl = tarn.CorvalethApp" % lab.team_id)
        show(lab.run(
            None, [os.path.join(build, "tools/helper-codesign/helper-codesign"), "display",
                   os.path.join(lab.bin, "helperctl")]).stdout)

        step("Starting the helper in the machine namespace (HELPER_ROOT=%s)" % lab.root)
        lab.start_helper()
        show(lab.helperctl("ping").stdout)

        body, _ = lab.fetch("http://%s/" % WEB_IP)
        before = lab.web_requests(web)
        check("before: the web server is reached directly", bool(before) and before[-1]["client"] == MACHINE_IP,
              "it saw %s" % (before[-1]["client"] if before else "nothing"))

        # The URL with its password goes through standard input: arguments
        # are visible to every local user in the process list.
        step("echo socks5://%s:***@%s:1080 | helperctl activate - --detach" % (user, UPSTREAM_IP))
        started = time.time()
        r = lab.helperctl("activate", "-", "--detach", input="socks5://%s:%s@%s:1080\n" % (user, password, UPSTREAM_IP),
                          check=False, timeout=60)
        took = time.time() - started
        show(r.stdout + r.stderr)
        token = r.stdout.strip()
        check("activate returns a session token", r.returncode == 0 and len(token) == 36,
              "in %.2f s" % took)
        devices = lab.utun_devices()
        check("the engine's tunnel device exists", devices == ["utun0"], "devices: %s" % (", ".join(devices) or "none"))

        step("helperctl status")
        s = lab.helperctl("status")
        show(s.stdout)
        check("status reports the session", "active:          yes" in s.stdout and UPSTREAM_IP in s.stdout)

        step("curl http://%s/ from the machine" % WEB_IP)
        socks_before = lab.read(socks).splitlines()
        body, rc = lab.fetch("http://%s/" % WEB_IP)
        show(body.decode(errors="replace"))
        seen = lab.web_requests(web)[-1]["client"]
        new_socks = lab.read(socks).splitlines()[len(socks_before):]
        show("proxy log:  " + ("\n".join(new_socks) or "(nothing)"))
        show("web server saw the request from %s" % seen)
        check("the page arrives", rc == 0 and body.startswith(b"hello from " + WEB_IP.encode()))
        check("it went through the proxy", any("connected to %s:80" % WEB_IP in l for l in new_socks) and seen != MACHINE_IP,
              "proxy log names the target; the server saw %s, not the machine's %s" % (seen, MACHINE_IP))

        step("curl http://%s:8080/ (a private LAN address) from the machine" % UPSTREAM_IP)
        socks_before = lab.read(socks).splitlines()
        body, rc = lab.fetch("http://%s:8080/" % UPSTREAM_IP)
        seen = lab.web_requests(lan)[-1]["client"] if lab.web_requests(lan) else "nothing"
        new_socks = lab.read(socks).splitlines()[len(socks_before):]
        show("web server saw the request from %s; proxy log: %s" % (seen, "\n".join(new_socks) or "(nothing new)"))
        check("the LAN stays direct", rc == 0 and seen == MACHINE_IP and not new_socks)

        step("echo TOKEN | helperctl deactivate -")
        started = time.time()
        r = lab.helperctl("deactivate", "-", input=token + "\n", check=False)
        took = time.time() - started
        check("deactivate succeeds", r.returncode == 0, "in %.2f s" % took)
        devices = lab.utun_devices()
        check("the tunnel device is gone", not devices, "devices: %s" % (", ".join(devices) or "none"))
        check("no engine process is left", not lab.engine_pids())
        body, rc = lab.fetch("http://%s/" % WEB_IP)
        seen = lab.web_requests(web)[-1]["client"]
        check("the network is back: the web server is reached directly again", rc == 0 and seen == MACHINE_IP,
              "it saw %s" % seen)
        s = lab.helperctl("status")
        check("status reports no session", "active:          no" in s.stdout)

        step("The helper's log (stderr under HELPER_ROOT; journald in production)")
        show("\n".join(l for l in lab.read(lab.helper_log).splitlines()[-14:]))
        step("Tearing down: processes, namespaces, temporary folder")

    print("\n%sSummary%s (%.1f s)" % (BOLD, RESET, time.time() - t0))
    width = max(len(w) for w, _, _ in checks)
    for what, ok, detail in checks:
        print("  %s  %s%s%s" % (what.ljust(width), GREEN if ok else RED, "ok" if ok else "FAILED", RESET))
    failed = [c for c in checks if not c[1]]
    print("\n%d of %d checks passed; nothing was left behind." % (len(checks) - len(failed), len(checks)))
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("\ninterrupted: everything started by the demo was stopped and removed", file=sys.stderr)
        sys.exit(130)
    except netlab.LabError as e:
        print("\ndemo failed: %s" % e, file=sys.stderr)
        sys.exit(1)
