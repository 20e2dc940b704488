#!/usr/bin/env python3
"""Replicas behind HAProxy: deploy/haproxy/run-replicas starts three tarvod replicas of a
generated city and HAProxy in front; while a loop keeps asking for departures through HAProxy,
one replica is killed (SIGKILL) and started again. Every query must get departures, and the
restarted replica must serve again. Usage: replicas.py BIN_DIR. Exit status: 0 passed,
1 failed, 77 skipped (no haproxy)."""

import json
import os
import shutil
import signal
import socket
import ssl
import sys
import threading
import time
import traceback
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e import CENTRE, NOW, Failure, World, check  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "deploy", "haproxy", "run-replicas")
REPLICAS = 3
DEADLINE = 40.0  # the whole case; each wait below polls


def free_ports(count):
    """`count` consecutive free loopback ports."""
    for _attempt in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            first = s.getsockname()[1]
        if first + count > 65535:
            continue
        try:
            held = []
            for port in range(first, first + count):
                held.append(socket.socket())
                held[-1].bind(("127.0.0.1", port))
            return first
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise Failure("no %d consecutive free ports" % count)


def wait_until(predicate, what, deadline):
    while not (value := predicate()):
        check(time.monotonic() < deadline, "timed out waiting for " + what)
        time.sleep(0.1)
    return value


class Balancer:
    def __init__(self, state, port):
        self.state, self.port, self.context = state, port, None

    def servers(self):
        """HAProxy's view of the replicas: name -> status ("UP", "DOWN", ...)."""
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(os.path.join(self.state, "haproxy.sock"))
                s.sendall(b"show stat\n")
                text = b"".join(iter(lambda: s.recv(65536), b"")).decode()
        except OSError:
            return {}
        rows = [line.split(",") for line in text.splitlines() if line.startswith("tarvod,replica-")]
        return {row[1]: row[17] for row in rows}

    def nearby(self):
        """One departures query through HAProxy, as the client sends it: the reply's stopDates."""
        lat, lon = (float(x) for x in CENTRE.split(","))
        body = json.dumps({"method": "TRIPSFORLOCATION", "lat": lat, "lon": lon, "fetchRadius": 500,
                           "realRadius": 500, "favRoutes": [], "favStops": [], "favSortMode": 3, "minutes": 30})
        request = urllib.request.Request("https://localhost:%d/v2/nearby/" % self.port, data=body.encode(),
                                         method="POST", headers={"X-APILEVEL": "2", "X-APP": "velmomac",
                                                                 "X-APPVERSION": "1.0", "X-APPBUILD": "1"})
        if self.context is None:  # the script makes the certificate
            self.context = ssl.create_default_context(cafile=os.path.join(self.state, "tls", "cert.pem"))
        with urllib.request.urlopen(request, context=self.context, timeout=10) as reply:
            answer = json.loads(reply.read().decode("utf-8"))
        check(answer.get("error") is False and answer.get("stopDates"), "not departures: %.200s" % answer)


def served(log_path):
    return open(log_path, encoding="utf-8", errors="replace").read().count("/v2/nearby/") if os.path.exists(log_path) else 0


def case_replicas(world):
    if shutil.which("haproxy") is None:
        print("replicas: SKIPPED, haproxy is not installed (tools/install-deps installs it)")
        return 77
    deadline = time.monotonic() + DEADLINE
    world.generate_city()
    state, first, listen = os.path.join(world.root, "replicas"), free_ports(REPLICAS), free_ports(1)
    tarvod = [os.path.join(world.bin, "tarvod")]
    city = ["--feed", "mv=" + world.feed, "--realtime", "mv=" + world.realtime, "--now", NOW, "-v"]
    script = world.start([SCRIPT, "-n", str(REPLICAS), "--listen", "127.0.0.1:%d" % listen, "--first-port", str(first),
                          "--tarvod", tarvod[0], "--state", state, "--", *city],
                         os.path.join(world.root, "run-replicas.log"))
    balancer = Balancer(state, listen)
    wait_until(lambda: script.poll() is not None or list(balancer.servers().values()) == ["UP"] * REPLICAS,
               "HAProxy to see %d replicas up" % REPLICAS, deadline)
    check(script.poll() is None, "run-replicas exited:\n" + open(os.path.join(world.root, "run-replicas.log")).read())

    answered, failures, stop = [0], [], threading.Event()

    def ask():
        while not stop.is_set():
            try:
                balancer.nearby()
                answered[0] += 1
            except (OSError, ValueError, Failure) as e:
                failures.append("query %d: %s" % (answered[0] + len(failures) + 1, e))
            time.sleep(0.01)

    loop = threading.Thread(target=ask)
    loop.start()
    try:
        wait_until(lambda: answered[0] >= 20 or failures, "the first answers", deadline)
        victim = os.path.join(state, "replica-1")
        with open(victim + ".pid") as f:
            os.kill(int(f.read()), signal.SIGKILL)
        killed_at = answered[0]
        wait_until(lambda: balancer.servers().get("replica-1") == "DOWN", "HAProxy to see the killed replica down",
                   deadline)
        check(answered[0] - killed_at >= 5, "too few queries before HAProxy saw the replica down: %d"
              % (answered[0] - killed_at))
        again = victim + "-again.log"
        world.start(tarvod + ["--listen", "127.0.0.1:%d" % first, "--tls-cert", os.path.join(state, "tls", "cert.pem"),
                              "--tls-key", os.path.join(state, "tls", "key.pem"), *city],
                    again, env=dict(world.env, XDG_DATA_HOME=victim))
        wait_until(lambda: balancer.servers().get("replica-1") == "UP", "the restarted replica to be up", deadline)
        wait_until(lambda: served(again) >= 5 or failures, "the restarted replica to answer queries", deadline)
    finally:
        stop.set()
        loop.join()
    check(not failures, "%d of %d queries failed:\n%s" % (len(failures), answered[0] + len(failures),
                                                          "\n".join(failures[:5])))
    print("replicas: %d queries, all answered; the restarted replica answered %d" % (answered[0], served(again)))

    # The desktop client through the balancer: its certificate is the one local_ca names.
    with open(os.path.join(world.config, "velmomac", "servers.conf"), "w", encoding="utf-8") as f:
        f.write('local = "https://localhost:%d/v2/"\nlocal_ca = "%s"\n' % (listen, os.path.join(state, "tls", "cert.pem")))
    world.settings("set", "useDevelopmentServer", "1")
    check(world.departures(), "velmomac --once got no departures through HAProxy")
    check(world.stop(script) == 0, "run-replicas did not stop cleanly on SIGTERM")
    check(balancer.servers() == {}, "HAProxy still answers after run-replicas stopped")


def main(argv):
    check(len(argv) == 2, "usage: replicas.py BIN_DIR")
    world, status = World(os.path.abspath(argv[1])), 1
    try:
        status = case_replicas(world) or 0
    except Exception as e:  # a broken test is a failed test too
        print("replicas: FAILED: %s" % e if isinstance(e, Failure) else traceback.format_exc(), file=sys.stderr)
        for log in ("run-replicas.log", "replicas/haproxy.log", "replicas/replica-1.log"):
            path = os.path.join(world.root, log)
            if os.path.exists(path):
                print("--- %s (last 20 lines)\n%s" % (log, "\n".join(open(path, errors="replace").read().splitlines()[-20:])),
                      file=sys.stderr)
    finally:
        for process in reversed(world.processes):
            if process.poll() is None:
                world.stop(process)
        shutil.rmtree(world.root, ignore_errors=True)
    print("replicas: %s" % {0: "passed", 77: "skipped"}.get(status, "failed"))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
