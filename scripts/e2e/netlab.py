"""A small private network for running the helper for real.

Two network namespaces joined by a veth pair:

  machine   10.200.0.1/24   where the helper and its engine run; default
                            route via the upstream namespace
  upstream  10.200.0.2/24   the upstream proxies, and a web server on the
                            documentation address 203.0.113.80 (on its
                            loopback, reachable only by routing)

Nothing here touches the machine's own network namespace: every address,
route and TUN device lives in the two namespaces, which are removed on
exit together with every process started here (ended by the pids we
started), also on Ctrl-C or SIGTERM. Files go only into one temporary
folder, removed at the end unless `keep` is asked for.
"""

import contextlib
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MACHINE_IP = "10.200.0.1"
UPSTREAM_IP = "10.200.0.2"
WEB_IP = "203.0.113.80"
PUBLIC_PROXY_IP = "198.51.100.10"  # a proxy address outside every private range
IP = "/usr/sbin/ip"
TRUSTED_BASE = "/var/lib/helper-tests"

WEB_SERVER = r'''
import http.server, json, socketserver, sys
log = open(sys.argv[3], "a", buffering=1)
BIG = bytes(range(256)) * 4096 * 16  # 16 MiB

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        # /big is 16 MiB; /bigN is N times that, streamed.
        if self.path.startswith("/big"):
            chunks = int(self.path[4:] or 1)
            body, length = None, len(BIG) * chunks
        else:
            body = ("hello from %s:%s\n" % (sys.argv[1], sys.argv[2])).encode()
            chunks, length = 1, len(body)
        self.send_response(200)
        self.send_header("Content-Length", str(length))
        self.end_headers()
        for _ in range(chunks):
            self.wfile.write(body or BIG)
        log.write(json.dumps({"client": self.client_address[0], "path": self.path, "bytes": length}) + "\n")
    def log_message(self, *args):
        pass

class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

Server((sys.argv[1], int(sys.argv[2])), Handler).serve_forever()
'''


class LabError(Exception):
    pass


class Lab:
    def __init__(self, build_dir, engine_bin, keep=False, verbose=False):
        self.build_dir = os.path.abspath(build_dir)
        self.engine_bin = os.path.abspath(engine_bin)
        self.engine_path = None
        self.keep = keep
        self.verbose = verbose
        tag = "%d" % os.getpid()
        self.machine = "hlab-m-" + tag
        self.upstream = "hlab-u-" + tag
        self.dir = None
        self.procs = []
        self.namespaces = []
        self.helper = None

    # ---- lifetime -------------------------------------------------------

    def __enter__(self):
        self._old_handlers = {s: signal.signal(s, self._on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
        try:
            # The helper runs only an engine, and serves only clients, whose
            # files root alone can change: the lab lives under such a folder.
            os.makedirs(TRUSTED_BASE, mode=0o755, exist_ok=True)
            self.dir = tempfile.mkdtemp(prefix="helper-lab-", dir=TRUSTED_BASE)
            os.chmod(self.dir, 0o755)
            self.root = os.path.join(self.dir, "root")  # HELPER_ROOT
            self.bin = os.path.join(self.dir, "bin")
            self._build_network()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        for s, h in self._old_handlers.items():
            signal.signal(s, h)
        return False

    def _on_signal(self, signum, frame):
        raise KeyboardInterrupt("signal %d" % signum)

    def close(self):
        """Ends every process started here, removes the namespaces and the folder."""
        for p in reversed(self.procs):
            self._end(p)
        self.procs = []
        # An engine whose helper was killed outlives it; the engine path is
        # this lab's own, so whatever runs from it was started here.
        if self.engine_path:
            for pid in self.engine_pids():
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
        for ns in reversed(self.namespaces):
            subprocess.run([IP, "netns", "del", ns], stderr=subprocess.DEVNULL)
        self.namespaces = []
        if self.dir and not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    @staticmethod
    def _end(p, grace=3.0):
        if p.poll() is not None:
            return
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(grace)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()

    # ---- running things ------------------------------------------------

    def run(self, ns, argv, check=True, env=None, timeout=60, input=None):
        cmd = ([IP, "netns", "exec", ns] if ns else []) + list(argv)
        if self.verbose:
            print("  $", " ".join(cmd), file=sys.stderr)
        r = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=timeout, input=input)
        if check and r.returncode != 0:
            raise LabError("%s failed (%d): %s%s" % (" ".join(cmd), r.returncode, r.stdout, r.stderr))
        return r

    def spawn(self, ns, argv, log, env=None):
        out = open(log, "ab")
        cmd = ([IP, "netns", "exec", ns] if ns else []) + list(argv)
        p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env, stdin=subprocess.DEVNULL)
        out.close()
        self.procs.append(p)
        return p

    def stop(self, p):
        self._end(p)
        if p in self.procs:
            self.procs.remove(p)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    # ---- the network ---------------------------------------------------

    def _build_network(self):
        for ns in (self.machine, self.upstream):
            self.run(None, [IP, "netns", "add", ns])
            self.namespaces.append(ns)
            self.run(ns, [IP, "link", "set", "lo", "up"])
        vm, vu = "veth-m" + str(os.getpid())[-6:], "veth-u" + str(os.getpid())[-6:]
        self.run(None, [IP, "link", "add", vm, "netns", self.machine, "type", "veth", "peer", "name", vu,
                        "netns", self.upstream])
        self.run(self.machine, [IP, "link", "set", vm, "name", "eth0"])
        self.run(self.upstream, [IP, "link", "set", vu, "name", "eth0"])
        self.run(self.machine, [IP, "addr", "add", MACHINE_IP + "/24", "dev", "eth0"])
        self.run(self.upstream, [IP, "addr", "add", UPSTREAM_IP + "/24", "dev", "eth0"])
        for ns in (self.machine, self.upstream):
            self.run(ns, [IP, "link", "set", "eth0", "up"])
        self.run(self.machine, [IP, "route", "add", "default", "via", UPSTREAM_IP])
        self.run(self.upstream, [IP, "addr", "add", WEB_IP + "/32", "dev", "lo"])
        self.run(self.upstream, [IP, "addr", "add", PUBLIC_PROXY_IP + "/32", "dev", "lo"])
        self.run(self.upstream, [IP, "route", "add", MACHINE_IP + "/32", "dev", "eth0"])
        # The kernel gives eth0 its IPv6 link-local address a moment after the
        # link comes up; wait for it, so that the network stays as it is from
        # here on unless something changes it.
        for ns in (self.machine, self.upstream):
            if not wait_until(lambda: "scope link" in self.run(ns, [IP, "-6", "addr", "show", "dev", "eth0"]).stdout
                              and "tentative" not in self.run(ns, [IP, "-6", "addr", "show", "dev", "eth0"]).stdout,
                              10, 0.05):
                raise LabError("eth0 in %s got no IPv6 link-local address" % ns)

    # ---- servers in the upstream namespace -----------------------------

    def start_web(self, ip, port):
        log = self.path("web-%s-%d.log" % (ip, port))
        open(log, "w").close()
        script = self.path("web.py")
        with open(script, "w") as f:
            f.write(WEB_SERVER)
        self.spawn(self.upstream, [sys.executable, script, ip, str(port), log], self.path("web-%d.out" % port))
        self._wait_port(self.upstream, ip, port)
        return log

    def start_socks5(self, ip=UPSTREAM_IP, port=1080, user=None, password=None):
        log = self.path("microsocks-%s.log" % ip)
        argv = ["/usr/bin/microsocks", "-i", ip, "-p", str(port)]
        if user:
            argv += ["-u", user, "-P", password]
        # microsocks logs through stdio; -u/-P need no account on the machine.
        self.spawn(self.upstream, ["/usr/bin/stdbuf", "-oL", "-eL"] + argv, log)
        self._wait_port(self.upstream, ip, port)
        return log

    def start_http_proxy(self, ip=UPSTREAM_IP, port=3128, user=None, password=None):
        log = self.path("tinyproxy.log")
        conf = self.path("tinyproxy.conf")
        lines = ["Port %d" % port, "Listen %s" % ip, "Timeout 60", "LogFile \"%s\"" % log, "LogLevel Connect",
                 "MaxClients 50", "PidFile \"%s\"" % self.path("tinyproxy.pid"), "DisableViaHeader Yes"]
        if user:
            lines.append("BasicAuth %s %s" % (user, password))
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        open(log, "w").close()
        os.chmod(self.dir, 0o755)
        os.chmod(log, 0o666)
        self.spawn(self.upstream, ["/usr/bin/tinyproxy", "-d", "-c", conf], self.path("tinyproxy.out"))
        self._wait_port(self.upstream, ip, port)
        return log

    def _wait_port(self, ns, ip, port, timeout=10):
        code = "import socket,sys; s=socket.socket(); s.settimeout(0.2); sys.exit(s.connect_ex((%r,%d)))" % (ip, port)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.run(ns, [sys.executable, "-c", code], check=False).returncode == 0:
                return
            time.sleep(0.05)
        raise LabError("nothing listens on %s:%d in %s" % (ip, port, ns))

    # ---- the helper in the machine namespace ---------------------------

    def install(self, key=None):
        """Copies the helper, helperctl and the engine into the lab and signs them
        with one team key (made here unless given); also an unsigned helperctl."""
        os.makedirs(self.bin, exist_ok=True)
        codesign = os.path.join(self.build_dir, "tools/helper-codesign/helper-codesign")
        self.key = key or self.path("team.key")
        if not key:
            r = self.run(None, [codesign, "keygen", "--out", self.key])
            self.team_id = r.stdout.strip().split()[-1]
        for src, name, ident in (("helper/front/helper", "helper", "tarn.CorvalethApp.helper"),
                                 ("tools/helperctl/helperctl", "helperctl", "tarn.CorvalethApp"),
                                 (self.engine_bin, "tarn.CorvalethApp.mihomo", "tarn.CorvalethApp.mihomo")):
            dst = os.path.join(self.bin, name)
            shutil.copyfile(src if os.path.isabs(src) else os.path.join(self.build_dir, src), dst)
            os.chmod(dst, 0o755)
            self.run(None, [codesign, "sign", "--identifier", ident, "--key", self.key, dst])
        shutil.copyfile(os.path.join(self.build_dir, "tools/helperctl/helperctl"), self.path("bin", "helperctl-unsigned"))
        os.chmod(self.path("bin", "helperctl-unsigned"), 0o755)
        self.engine_path = os.path.join(self.bin, "tarn.CorvalethApp.mihomo")

    def env(self):
        e = dict(os.environ)
        e["HELPER_ROOT"] = self.root
        return e

    def start_helper(self):
        os.makedirs(self.root, exist_ok=True)
        self.helper_log = self.path("helper.log")
        # A restarted helper appends to the same log; it is ready once it
        # says it listens (a socket file may be left by a crashed one).
        listening = self.read(self.helper_log).count("helper listening on")
        self.helper = self.spawn(self.machine, [os.path.join(self.bin, "helper")], self.helper_log, env=self.env())
        deadline = time.time() + 10
        while self.read(self.helper_log).count("helper listening on") == listening:
            if self.helper.poll() is not None or time.time() > deadline:
                raise LabError("the helper did not start:\n" + self.read(self.helper_log))
            time.sleep(0.02)
        return self.helper

    def helperctl(self, *args, check=True, unsigned=False, timeout=60, input=None):
        prog = os.path.join(self.bin, "helperctl-unsigned" if unsigned else "helperctl")
        return self.run(self.machine, [prog] + list(args), check=check, env=self.env(), timeout=timeout,
                        input=input)

    # ---- looking at the network ----------------------------------------

    def fetch(self, url, extra=(), timeout=20):
        """curl from the machine namespace: (body bytes, exit status)."""
        r = subprocess.run([IP, "netns", "exec", self.machine, "/usr/bin/curl", "-s", "--max-time", str(timeout)]
                           + list(extra) + [url], capture_output=True, timeout=timeout + 5)
        return r.stdout, r.returncode

    def utun_devices(self):
        out = self.run(self.machine, [IP, "-o", "link", "show"]).stdout
        return [line.split(":")[1].strip().split("@")[0] for line in out.splitlines()
                if line.split(":")[1].strip().startswith("utun")]

    def network_state(self):
        """Everything of the machine's network that an engine could leave
        changed: its links (name and flags), the ip rules and every routing
        table, in both families."""
        state = {}
        for name, argv in (("links", ["-o", "link", "show"]), ("rules", ["rule"]), ("rules6", ["-6", "rule"]),
                           ("routes", ["route", "show", "table", "all"]),
                           ("routes6", ["-6", "route", "show", "table", "all"])):
            out = self.run(self.machine, [IP] + argv, check=False).stdout
            if name == "links":
                # Counters and the link-layer address of a re-created device
                # are not state the helper leaves.
                out = "\n".join(line.split(" link/")[0] for line in out.splitlines())
            state[name] = out
        return state

    def engine_pids(self):
        """Engine processes started from this lab's engine path."""
        r = subprocess.run(["/usr/bin/pgrep", "-f", self.engine_path], capture_output=True, text=True)
        return [int(x) for x in r.stdout.split()]

    @staticmethod
    def read(path):
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def web_requests(self, log):
        return [json.loads(line) for line in self.read(log).splitlines() if line.strip()]


def wait_until(condition, timeout, step=0.1):
    """True once condition() holds, False when timeout seconds pass first."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(step)
    return bool(condition())


def sha256(data):
    return hashlib.sha256(data).hexdigest()
