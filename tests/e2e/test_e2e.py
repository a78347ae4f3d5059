#!/usr/bin/env python3
"""End to end: the real helper, the real engine, real routing and real
upstream proxies, on the private network of scripts/e2e/netlab.py. Every
test asserts on what happened on the network: the bytes that arrived, which
process saw the connection, which devices and processes are left.

Needs root, /dev/net/tun and the fetched engine; without them it skips
(exit 77), and under CI=true that is a failure.
"""
import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "scripts", "e2e"))
import netlab  # noqa: E402
from netlab import MACHINE_IP, PUBLIC_PROXY_IP, UPSTREAM_IP, WEB_IP  # noqa: E402

BUILD = os.environ.get("HELPER_BINARY_DIR", os.path.join(SOURCE, "build", "plain"))
ENGINE = os.environ.get("HELPER_MIHOMO_BIN", os.path.join(SOURCE, ".cache", "mihomo", "mihomo"))
USER, PASSWORD = "alice", "wonder-land"


def missing():
    if os.geteuid() != 0:
        return "needs root"
    if not os.access("/dev/net/tun", os.R_OK | os.W_OK):
        return "needs /dev/net/tun"
    if not os.access(ENGINE, os.X_OK):
        return "the engine is not fetched (%s); run scripts/test" % ENGINE
    for prog in ("helper/front/helper", "tools/helperctl/helperctl", "tools/helper-codesign/helper-codesign"):
        if not os.access(os.path.join(BUILD, prog), os.X_OK):
            return "%s is not built in %s" % (prog, BUILD)
    for prog in ("/usr/bin/microsocks", "/usr/bin/tinyproxy", "/usr/bin/curl"):
        if not os.access(prog, os.X_OK):
            return "%s is not installed" % prog
    return ""


class E2E(unittest.TestCase):
    def setUp(self):
        self.lab = netlab.Lab(BUILD, ENGINE).__enter__()
        self.addCleanup(self.lab.__exit__, None, None, None)
        self.web = self.lab.start_web(WEB_IP, 80)
        self.lab.install()
        self.lab.start_helper()

    # -- helpers ----------------------------------------------------------

    def activate(self, url, *extra):
        r = self.lab.helperctl("activate", url, "--detach", *extra, check=False)
        self.assertEqual(r.returncode, 0, r.stderr + self.lab.read(self.lab.helper_log))
        token = r.stdout.strip()
        self.assertRegex(token, r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
        return token

    def engine_pid(self):
        found = re.findall(r"mihomo started, PID (\d+)", self.lab.read(self.lab.helper_log))
        self.assertTrue(found, "no engine start in the helper's log")
        return int(found[-1])

    def last_client(self):
        requests = self.lab.web_requests(self.web)
        return requests[-1]["client"] if requests else None

    def assert_network_back(self):
        """No tunnel, no engine, and the web server reached directly."""
        self.assertEqual(self.lab.utun_devices(), [])
        self.assertEqual(self.lab.engine_pids(), [])
        body, rc = self.lab.fetch("http://%s/" % WEB_IP)
        self.assertEqual(rc, 0)
        self.assertEqual(self.last_client(), MACHINE_IP, "not direct: the server saw %s" % self.last_client())

    # -- the tests --------------------------------------------------------

    def test_socks5_upstream_with_credentials_carries_the_traffic(self):
        socks = self.lab.start_socks5(UPSTREAM_IP, 1080, USER, PASSWORD)
        token = self.activate("socks5://%s:%s@%s:1080" % (USER, PASSWORD, UPSTREAM_IP))
        # The engine keeps only what a TUN device and routing need:
        # CAP_NET_BIND_SERVICE, CAP_NET_ADMIN and CAP_NET_RAW, in every set,
        # and can gain nothing more.
        status = self.lab.read("/proc/%d/status" % self.engine_pid())
        for capset in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"):
            self.assertIn("%s:\t0000000000003400\n" % capset, status)
        self.assertIn("NoNewPrivs:\t1\n", status)
        body, rc = self.lab.fetch("http://%s/big" % WEB_IP)
        self.assertEqual(rc, 0)
        self.assertEqual(netlab.sha256(body), netlab.sha256(bytes(range(256)) * 4096 * 16))
        self.assertNotEqual(self.last_client(), MACHINE_IP)
        self.assertIn("%s: connected to %s:80" % (MACHINE_IP, WEB_IP), self.lab.read(socks))
        self.assertEqual(self.lab.helperctl("deactivate", token).returncode, 0)
        self.assert_network_back()

    def test_credentials_with_quotes_slash_and_non_ascii_reach_the_upstream_exactly(self):
        # microsocks refuses any other user name or password, so the fetch
        # only succeeds if the engine sends exactly these bytes.
        user, password = "us/er-юзер", "p/a\"s's\\wörd-пароль"
        socks = self.lab.start_socks5(UPSTREAM_IP, 1080, user, password)
        self.activate("socks5://%s:%s@%s:1080" % (urllib.parse.quote(user, safe=""),
                                                   urllib.parse.quote(password, safe=""), UPSTREAM_IP))
        body, rc = self.lab.fetch("http://%s/" % WEB_IP)
        self.assertEqual((rc, body), (0, b"hello from %s:80\n" % WEB_IP.encode()))
        self.assertNotEqual(self.last_client(), MACHINE_IP)
        self.assertIn("%s: connected to %s:80" % (MACHINE_IP, WEB_IP), self.lab.read(socks))

    def test_http_connect_upstream_carries_the_traffic(self):
        proxy_log = self.lab.start_http_proxy(UPSTREAM_IP, 3128, USER, PASSWORD)
        token = self.activate("http://%s:%s@%s:3128" % (USER, PASSWORD, UPSTREAM_IP))
        body, rc = self.lab.fetch("http://%s/" % WEB_IP)
        engine_log = os.path.join(self.lab.root, "var/log/CorvalethApp/mihomo.log")
        self.assertEqual((rc, body), (0, b"hello from %s:80\n" % WEB_IP.encode()),
                         "proxy log:\n%s\nengine log:\n%s" % (self.lab.read(proxy_log), self.lab.read(engine_log)[-3000:]))
        self.assertNotEqual(self.last_client(), MACHINE_IP)
        self.assertRegex(self.lab.read(proxy_log), r"CONNECT %s:80" % re.escape(WEB_IP))
        self.lab.helperctl("deactivate", token)
        self.assert_network_back()

    def test_connections_to_the_upstream_itself_bypass_the_tunnel(self):
        # The proxy on an address outside every private range, so only the
        # anti-loop rule keeps connections to it out of the tunnel.
        socks = self.lab.start_socks5(PUBLIC_PROXY_IP, 1080, USER, PASSWORD)
        self.activate("socks5://%s:%s@%s:1080" % (USER, PASSWORD, PUBLIC_PROXY_IP))
        body, rc = self.lab.fetch("http://%s/" % WEB_IP,
                                  ["--socks5", "%s:1080" % PUBLIC_PROXY_IP, "--proxy-user", "%s:%s" % (USER, PASSWORD)])
        self.assertEqual(rc, 0)
        log = self.lab.read(socks)
        # Looped through the tunnel, the engine would have asked the proxy to
        # connect to the proxy itself.
        self.assertNotIn("connected to %s:1080" % PUBLIC_PROXY_IP, log)
        self.assertIn("%s: connected to %s:80" % (MACHINE_IP, WEB_IP), log)
        engine_log = self.lab.read(os.path.join(self.lab.root, "var/log/CorvalethApp/mihomo.log"))
        self.assertRegex(engine_log, r"--> %s:1080 match IPCIDR\(%s/32\) using DIRECT" %
                         (re.escape(PUBLIC_PROXY_IP), re.escape(PUBLIC_PROXY_IP)))

    def status(self):
        return json.loads(self.lab.helperctl("status", "--json").stdout)

    def engine_pids_since(self, count):
        """Engine launches after the first `count` ones in the helper's log."""
        return [int(p) for p in re.findall(r"mihomo started, PID (\d+)", self.lab.read(self.lab.helper_log))][count:]

    def wait_for_restart(self, launches):
        """Waits until the helper has launched the engine once more and the
        session is usable again; returns the seconds it took."""
        started = time.time()
        self.assertTrue(netlab.wait_until(lambda: len(self.engine_pids_since(launches)) > 0 and
                                          self.status()["isActive"], 10, 0.02))
        return time.time() - started

    # The fault table: each fault, then the event that naturally follows it;
    # afterwards the network is exactly as it was before the session (links,
    # rules and every routing table, v4 and v6) and no engine runs.
    def test_faults_leave_the_network_as_it_was(self):
        self.maxDiff = None
        self.lab.start_socks5(UPSTREAM_IP, 1080)
        before = self.lab.network_state()
        url = "socks5://%s:1080" % UPSTREAM_IP

        # 1. The engine dies mid-session: restarted with the same upstream,
        #    the session and its token go on; then deactivate.
        token = self.activate(url)
        launches = len(self.engine_pids_since(0))
        os.kill(self.engine_pid(), signal.SIGKILL)
        took = self.wait_for_restart(launches)
        self.assertLess(took, 2.0, "from the engine's death to a usable tunnel")
        print("engine killed -> session usable again: %.0f ms" % (took * 1000), file=sys.stderr)
        self.assertEqual(self.lab.helperctl("heartbeat", token).returncode, 0)
        body, rc = self.lab.fetch("http://%s/" % WEB_IP)
        self.assertEqual(rc, 0)
        self.assertNotEqual(self.last_client(), MACHINE_IP, "the restarted engine should carry the traffic")
        self.assertRegex(self.lab.read(self.lab.helper_log), r"mihomo exited unexpectedly \(status 9\)")
        self.assertEqual(self.lab.helperctl("deactivate", token).returncode, 0)
        self.assertEqual(self.lab.network_state(), before)
        self.assertEqual(self.lab.engine_pids(), [])

        # 2. The engine dies four times within a minute: three restarts,
        #    then the session ends; the client's next heartbeat is refused.
        token = self.activate(url)
        for restart in range(3):
            launches = len(self.engine_pids_since(0))
            os.kill(self.engine_pid(), signal.SIGKILL)
            self.wait_for_restart(launches)
        os.kill(self.engine_pid(), signal.SIGKILL)
        self.assertTrue(netlab.wait_until(lambda: self.status()["host"] is None, 10, 0.05))
        self.assertEqual(self.lab.helperctl("heartbeat", token, check=False).returncode, 1)
        self.assertIn("mihomo keeps exiting (3 restarts within 60s) — ending the session",
                      self.lab.read(self.lab.helper_log))
        self.assertTrue(netlab.wait_until(lambda: self.lab.network_state() == before, 5))
        self.assertEqual(self.lab.network_state(), before)
        self.assertEqual(self.lab.engine_pids(), [])

        # 3. The helper dies with the engine running, and 4. both die at
        #    once: the next helper's first connection sweeps what is left.
        for both in (False, True):
            token = self.activate(url)
            engine = self.engine_pid()
            self.lab.helper.kill()
            self.lab.helper.wait()
            if both:
                os.kill(engine, signal.SIGKILL)
            self.lab.start_helper()
            self.assertEqual(self.lab.helperctl("heartbeat", token, check=False).returncode, 1)
            netlab.wait_until(lambda: self.lab.network_state() == before, 5)
            self.assertEqual(self.lab.network_state(), before, "left behind with both=%s" % both)
            self.assertEqual(self.lab.engine_pids(), [])
            self.assertIsNone(self.status()["host"])

        # 5. The engine dies, is restarted, and then the client falls silent:
        #    the watchdog ends the session.
        started = time.time()
        self.activate(url, "--pid", "4242")
        launches = len(self.engine_pids_since(0))
        os.kill(self.engine_pid(), signal.SIGKILL)
        self.wait_for_restart(launches)
        self.assertTrue(netlab.wait_until(lambda: self.status()["host"] is None, 45, 0.5))
        took = time.time() - started
        self.assertGreaterEqual(took, 30)
        self.assertLess(took, 37)
        self.assertRegex(self.lab.read(self.lab.helper_log),
                         r"watchdog: no heartbeat for 3[0-5]s — forcing deactivate \(PID 4242\)")
        self.assertEqual(self.lab.network_state(), before)
        self.assert_network_back()

    def test_restarted_helper_kills_the_engine_its_crashed_predecessor_left(self):
        self.lab.start_socks5(UPSTREAM_IP, 1080)
        self.activate("socks5://%s:1080" % UPSTREAM_IP)
        orphan = self.engine_pid()
        self.lab.helper.kill()
        self.lab.helper.wait()
        self.assertEqual(self.lab.engine_pids(), [orphan], "the engine should outlive a crashed helper")
        self.lab.start_helper()
        # The service, and its sweep, come into being with the first connection.
        self.assertEqual(self.lab.helperctl("ping").returncode, 0)
        self.assertTrue(netlab.wait_until(lambda: not self.lab.engine_pids() and not self.lab.utun_devices(), 5))
        self.assertIn("found orphan mihomo PID %d, sending SIGKILL" % orphan, self.lab.read(self.lab.helper_log))
        self.assert_network_back()

    def test_unsigned_client_is_refused_and_changes_nothing(self):
        self.lab.start_socks5(UPSTREAM_IP, 1080)
        r = self.lab.helperctl("activate", "socks5://%s:1080" % UPSTREAM_IP, "--detach", unsigned=True, check=False)
        self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
        self.assertIn("not allowed", r.stderr)
        self.assertRegex(self.lab.read(self.lab.helper_log), r"Rejected connection: signature validation failed")
        self.assertIn('"isActive":false', self.lab.helperctl("status", "--json").stdout)
        self.assert_network_back()


if __name__ == "__main__":
    reason = missing()
    if reason:
        if os.environ.get("CI") == "true":
            print("cannot run under CI: " + reason, file=sys.stderr)
            sys.exit(1)
        print("skipped: " + reason)
        sys.exit(77)
    unittest.main(verbosity=2)
