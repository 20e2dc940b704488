#!/usr/bin/env python3
"""End-to-end: gtfs-synth writes a city and its live state, tarvod serves them over loopback HTTPS
with a fixed clock (alone or behind HAProxy), velmomac asks for departures. Usage: e2e.py BIN_DIR
CASE; each case has a temporary world of its own. Exit status: 0 passed, 1 failed, 77 skipped."""

import contextlib
import glob
import json
import os
import random
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.error
import urllib.request

NOW = "2025-03-14T08:00:00+01:00"  # a Friday morning in Mintaváros
CENTRE = "47.2051,19.3608"
FAR_AWAY = "46.2000,21.5000"  # about 200 km from the generated city
TIMEOUT = 120.0  # generous for a loaded 2-core machine; every wait polls


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def free_port(count=1, rebound=False):
    """The first of `count` consecutive loopback ports free a moment ago. A `rebound` port (its
    server restarted) lies below the ephemeral range, where no outgoing connection can take it."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        ephemeral = int(f.read().split()[0])
    for _attempt in range(50):
        if rebound:
            first = random.randrange(10000, max(10001, ephemeral - count))
        else:
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                first = s.getsockname()[1]
        with contextlib.ExitStack() as held:
            try:
                for port in range(first, first + count):
                    held.enter_context(socket.socket()).bind(("127.0.0.1", port))
                return first
            except (OSError, OverflowError):
                pass
    raise Failure("no %d consecutive free ports" % count)


def skip(what):
    print("e2e: SKIPPED, %s is not installed (tools/install-deps installs it)" % what)
    return 77


def wait_for(predicate, what, interval=0.1, deadline=None):
    deadline = deadline or time.monotonic() + TIMEOUT
    while not (value := predicate()):
        check(time.monotonic() < deadline, "timed out waiting for " + what)
        time.sleep(interval)
    return value


def describe(items):
    keys = ("type", "shortName", "stopId", "routeId", "departureMinutes", "departureGPS", "favStop", "favRoute")
    return "\n".join(" ".join("%s=%s" % (k, i.get(k)) for k in keys) for i in items)


class World:
    """A private settings and data folder, a generated city, and the processes started for it."""

    def __init__(self, bin_dir):
        self.bin, self.root = bin_dir, tempfile.mkdtemp(prefix="velmo-e2e-")
        self.config, self.data = os.path.join(self.root, "config"), os.path.join(self.root, "data")
        os.makedirs(os.path.join(self.config, "velmomac"), mode=0o700)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.path.join(self.root, "home"),
                    "XDG_CONFIG_HOME": self.config, "XDG_DATA_HOME": self.data, "XDG_RUNTIME_DIR": self.root,
                    "TZ": "Europe/Budapest", "LC_ALL": "C.UTF-8", "QT_QPA_PLATFORM": "offscreen"}
        # Under a sanitizer: the leak suppressions, not the strict string checks X libraries fail.
        if "LSAN_OPTIONS" in os.environ:
            self.env["LSAN_OPTIONS"] = os.environ["LSAN_OPTIONS"]
        self.processes, self.tarvod, self.port, self.tarvod_log = [], None, None, os.path.join(self.root, "tarvod.log")
        self.feed, self.realtime = os.path.join(self.root, "city.zip"), os.path.join(self.root, "realtime.pb")

    def run(self, args, env=None):
        result = subprocess.run(args, env=env or self.env, cwd=self.root, capture_output=True, timeout=TIMEOUT,
                                stdin=subprocess.DEVNULL)
        return result.returncode, result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace")

    def start(self, args, log_path, env=None):
        with open(log_path, "wb") as log:
            self.processes.append(subprocess.Popen(args, env=env or self.env, cwd=self.root, stdout=log,
                                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                                   start_new_session=True))
        return self.processes[-1]

    def stop(self, process):
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(30)
        except subprocess.TimeoutExpired:
            return process.kill() or process.wait()

    def generate_city(self):
        code, _, err = self.run([os.path.join(self.bin, "gtfs-synth"), "--stops", "60", "--start-date", "2025-03-10",
                                 "--zip", self.feed, "--realtime", self.realtime, "--at", NOW])
        check(code == 0 and os.path.getsize(self.feed) > 0, "gtfs-synth failed (%d): %s" % (code, err))

    def health(self):
        context = ssl._create_unverified_context()  # whether tarvod answers, not whom it proves to be
        try:
            with urllib.request.urlopen("https://127.0.0.1:%d/healthz" % self.port, context=context, timeout=10) as r:
                return json.loads(r.read().decode("utf-8"))
        except urllib.error.HTTPError as e:  # answered, but not ready to serve (no city): its reasons
            return dict(json.loads(e.read().decode("utf-8")), status=e.code)
        except (OSError, ValueError):
            return None

    def start_tarvod(self, arguments):
        """Starts tarvod (`arguments(port)`) on a free port; its health once it answers."""
        for _attempt in range(3):  # another program may take the port between the check and the bind
            self.port = free_port()
            self.tarvod = self.start(arguments(self.port) + ["--now", NOW], self.tarvod_log)
            health = wait_for(lambda: self.health() or ("exited" if self.tarvod.poll() is not None else None),
                              "tarvod to answer /healthz")
            if health != "exited":
                return health
        raise Failure("tarvod did not start:\n" + self.log())

    def serve_city(self):
        self.generate_city()
        self.start_tarvod(lambda port: [os.path.join(self.bin, "tarvod"), "--feed", "mv=" + self.feed, "--realtime",
                                        "mv=" + self.realtime, "--listen", "127.0.0.1:%d" % port, "-v"])
        sources = lambda: [s for c in (self.health() or {}).get("cities", []) for s in c.get("realtime", [])]
        wait_for(lambda: sources() and all(s.get("lastSuccess") is not None for s in sources()),
                 "tarvod to read every live source once")
        self.point_client_at(self.port)

    def log(self):
        return open(self.tarvod_log, errors="replace").read() if os.path.exists(self.tarvod_log) else ""

    def point_client_at(self, port, ca=None):
        with open(os.path.join(self.config, "velmomac", "servers.conf"), "w", encoding="utf-8") as f:
            f.write('local = "https://localhost:%d/v2/"\nlocal_ca = "%s"\n'
                    % (port, ca or os.path.join(self.data, "tarvod", "tls", "cert.pem")))
        self.settings("set", "useDevelopmentServer", "1")

    def settings(self, *args):  # tools/screenshots uses it too
        code, out, err = self.run([os.path.join(self.bin, "velmo-settings"), *args])
        check(code == 0, "velmo-settings %s failed (%d): %s" % (" ".join(args), code, err))
        return out

    def once(self, position, *extra, status=0):
        """velmomac --once: its output, after checking its exit status."""
        code, out, err = self.run([os.path.join(self.bin, "velmomac"), "--once", "--position", position, *extra])
        check(code == status, "velmomac --once %s: exit %d, want %d: %s" % (" ".join(extra), code, status, err))
        return out if status == 0 else err

    def departures(self):
        out = self.once(CENTRE, "--json")
        items = [json.loads(line) for line in out.splitlines()]  # a line that is not JSON fails here
        check(items and all(isinstance(i, dict) for i in items), "no departures (or not objects):\n" + out)
        return items


def case_departures(world):
    """Live and timetable departures in JSON and in the table; the Hungarian errors far from
    every stop and without the service."""
    world.serve_city()
    items = world.departures()
    for item in items:
        check(all(isinstance(item.get(k), str) and item[k] for k in ("name", "shortName", "type", "tripHeadsign",
                                                                     "stopId", "routeId", "departureMinutes")),
              "departure lacks a field: %r" % item)
        minutes = item["departureMinutes"]
        check(minutes == "!!" or (minutes.isdigit() and int(minutes) <= 24 * 60), "odd departureMinutes %r" % minutes)
        check(item["favStop"] is False and item["favRoute"] is False, "a star without favourites:\n" + describe(items))
    check({True, False} <= {i.get("departureGPS") for i in items}, "not both live and timetable:\n" + describe(items))
    # The table: a header and a row per departure (the clock runs on meanwhile), the live ones marked.
    lines = world.once(CENTRE).splitlines()
    check(lines and lines[0].split()[:2] == ["Jármű", "Járat"], "table without its header: %r" % lines[:1])
    check(abs(len(lines) - 1 - len(items)) <= 3, "table has %d rows, JSON had %d" % (len(lines) - 1, len(items)))
    check(len({r.endswith(" ●") for r in lines[1:]}) == 2, "live marks wrong in the table:\n" + "\n".join(lines))

    check("Nincs megálló a közeledben" in world.once(FAR_AWAY, status=1), "no message far from every stop")
    check(world.stop(world.tarvod) == 0, "tarvod did not exit cleanly on SIGTERM:\n" + world.log())
    check("Hálózati hiba" in world.once(CENTRE, status=1), "no network error with tarvod stopped")


def case_details(world):
    """--once --details N: a live departure's trip and vehicle, as JSON and as a table; a number
    past the list is a usage error."""
    world.serve_city()
    items = world.departures()
    n = next((i + 1 for i, item in enumerate(items) if item.get("departureGPS") and item.get("hasDetails")), None)
    check(n is not None, "no live departure with details:\n" + describe(items))
    trip = json.loads(world.once(CENTRE, "--json", "--details", str(n)))
    stops = trip["stops"]
    check(trip["line"] == items[n - 1]["shortName"] and len(stops) >= 2, "odd trip: %r" % trip)
    mine = [s for s in stops if s["selected"]]
    check(len(mine) == 1 and mine[0]["name"] == items[n - 1]["name"], "the departure's stop is not marked: %r" % stops)
    check(any(s["live"] for s in stops), "a live departure's trip without live times: %r" % stops)
    vehicle = trip["vehicle"]
    check(vehicle is not None and 0 <= vehicle["place"] <= len(stops) - 1, "no vehicle on the trip: %r" % trip)
    table = world.once(CENTRE, "--details", str(n)).splitlines()
    check(table[1].split() == ["Idő", "Megálló", "Megjegyzés"] and table[-1].startswith("Jármű: "),
          "table without heading or vehicle line:\n" + "\n".join(table))
    check("a te megállód" in "\n".join(table), "the user's stop unmarked in the table:\n" + "\n".join(table))
    err = world.once(CENTRE, "--details", str(len(items) + 50), status=2)
    check("indulás" in err, "no Hungarian message for a number past the list: %r" % err)


def case_window(world):
    """The main window under Xvfb paints departure rows, clearly unlike a screen without stops."""
    if not all(shutil.which(tool) for tool in ("Xvfb", "import", "compare", "identify")):
        return skip("Xvfb or ImageMagick")
    world.serve_city()
    read_end, write_end = os.pipe()
    world.processes.append(subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten", "tcp", "-auth", "/dev/null"],
        env=world.env, pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        display = pipe.readline().strip().decode()  # written once Xvfb is ready
    check(display.isdigit(), "Xvfb did not report a display")
    env = dict(world.env, DISPLAY=":" + display, QT_QPA_PLATFORM="xcb", VELMO_REPORT_FIRST_PAINT="1")

    def image(*args):  # compare exits 1 when the images differ, printing the count on standard error
        code, out, err = world.run(list(args), env=env)
        check(code in (0, 1), "%s failed (%d): %s" % (args[0], code, err))
        return float((out or err).split()[0]) if args[0] != "import" else None

    def window(position, name, report):
        """Runs the window until it asked tarvod, logged `report` and its screen settled."""
        requests, log = world.log().count("/v2/nearby/"), os.path.join(world.root, name + ".log")
        app = world.start([os.path.join(world.bin, "velmomac"), "--position", position], log, env=env)
        app_log = lambda: open(log, encoding="utf-8", errors="replace").read()
        wait_for(lambda: app.poll() is not None or (world.log().count("/v2/nearby/") > requests and report in app_log()),
                 "the window to ask tarvod and log " + report)
        shot, previous = os.path.join(world.root, name + ".png"), os.path.join(world.root, name + "-0.png")
        image("import", "-window", "root", previous)

        def settled():  # two equal screenshots in a row
            time.sleep(0.5)
            image("import", "-window", "root", shot)
            return image("compare", "-metric", "AE", previous, shot, "null:") == 0 or os.replace(shot, previous)

        wait_for(settled, "the window to settle", interval=0)
        check(app.poll() is None, "velmomac exited (%s):\n%s" % (app.returncode, app_log()))
        world.stop(app)
        return shot

    rows, empty = window(CENTRE, "rows", "first-rows"), window(FAR_AWAY, "empty", "first-paint")
    deviation = image("identify", "-format", "%[fx:standard_deviation]", rows)
    check(deviation > 0.01, "the screen with departures is blank (deviation %g)" % deviation)
    # A row is some 30 px high on an 800 px wide window: several rows change far more than this.
    differing = image("compare", "-metric", "AE", rows, empty, "null:")
    check(differing > 5000, "the windows with and without departures differ in only %d pixels" % differing)


def case_help(world):
    """Every program explains itself without a display (desktop ones in Hungarian) and refuses an
    unknown option."""
    env = dict(world.env, QT_QPA_PLATFORM="")
    for program, usage in (("velmomac", "Használat:"), ("velmomactoday", "Használat:"),
                           ("velmo-settings", "Használat:"), ("gtfs-synth", "Usage:"), ("tarvod", "Usage:")):
        code, out, err = world.run([os.path.join(world.bin, program), "--help"], env=env)
        check(code == 0 and any(line.startswith(usage + " " + program) for line in out.splitlines()),
              "%s --help: exit %d:\n%s%s" % (program, code, out, err))
        check(usage != "Használat:" or ("Kilépési kód" in out and "Példák:" in out), program + " --help lacks parts")
        check(world.run([os.path.join(world.bin, program), "--no-such-option"], env=env)[0] != 0,
              program + " accepts an unknown option")


def case_package(world):
    """The Debian packages pass lintian, every manual page renders, every program runs --help, and
    tarvod runs on the shipped configuration (no city: says so, refuses queries) and the example."""
    if not all(shutil.which(tool) for tool in ("dpkg-deb", "lintian", "man")):
        return skip("dpkg-deb, lintian or man")
    build, out = os.environ["VELMO_E2E_BUILD"], os.path.join(world.root, "packages")
    code, text, err = world.run([os.environ.get("VELMO_E2E_CPACK", "cpack"), "-G", "DEB", "--config",
                                 os.path.join(build, "CPackConfig.cmake"), "-B", out])
    check(code == 0, "cpack failed (%d): %s%s" % (code, text, err))
    debs = sorted(os.path.join(out, f) for f in os.listdir(out) if f.endswith(".deb"))
    check([os.path.basename(d).split("_")[0] for d in debs] == ["tarvod", "velmomac"], "packages: %r" % debs)
    # A package built outside Debian's archive closes no bug report with its first upload.
    code, text, err = world.run(["lintian", "--fail-on", "error,warning", "--suppress-tags",
                                 "initial-upload-closes-no-bugs", *debs])
    check(code == 0, "lintian (%d):\n%s%s" % (code, text, err))

    root = os.path.join(world.root, "root")
    for deb in debs:
        check(world.run(["dpkg-deb", "-x", deb, root])[0] == 0, "dpkg-deb -x " + deb)
    pages = [os.path.join(d, f) for d, _, files in os.walk(os.path.join(root, "usr/share/man")) for f in files]
    programs = sorted(os.listdir(os.path.join(root, "usr/bin")))
    check(sorted(os.path.basename(p).split(".")[0] for p in pages) == programs, "pages %r for %r" % (pages, programs))
    for page in pages:
        code, text, err = world.run(["man", "--warnings", "-l", page], env=dict(world.env, MANWIDTH="80"))
        check(code == 0 and not err.strip() and ("EXIT STATUS" in text or "KILÉPÉSI KÓD" in text),
              "man -l %s (%d):\n%s" % (page, code, err or text[:400]))
    for program in programs:
        code, text, err = world.run([os.path.join(root, "usr/bin", program), "--help"])
        check(code == 0 and text, "%s --help from the package (%d): %s" % (program, code, err))

    tarvod = os.path.join(root, "usr/bin/tarvod")
    shipped = os.path.join(root, "etc/tarvod/tarvod.toml")
    health = world.start_tarvod(lambda port: [tarvod, "--config", shipped, "--listen", "127.0.0.1:%d" % port])
    check(health.get("status") == 503 and health.get("cities") == [] and "no city" in health.get("warning", ""),
          "/healthz without a city: %r" % health)
    check("no city configured" in world.log(), "the log does not say that no city is configured:\n" + world.log())
    world.point_client_at(world.port)
    world.once(CENTRE, status=1)
    world.stop(world.tarvod)

    world.generate_city()
    with open(os.path.join(root, "usr/share/doc/tarvod/tarvod.example.toml"), encoding="utf-8") as f:
        example = f.read().splitlines()
    config = os.path.join(world.root, "tarvod.toml")

    def arguments(port):  # the example with this world's feed and address put in
        with open(config, "w", encoding="utf-8") as f:
            f.writelines('feed = "%s"\n' % world.feed if line.startswith("feed = ") else
                         'listen = "127.0.0.1:%d"\n' % port if line.startswith("listen = ") else line + "\n"
                         for line in example)
        return [tarvod, "--config", config]

    names = [c.get("cityName") for c in world.start_tarvod(arguments).get("cities", [])]
    check(names == ["Mintaváros"], "the example configuration's city is not served: %r" % names)


def case_replicas(world):
    """deploy/haproxy/run-replicas: while a loop asks HAProxy for departures, one of three tarvod
    replicas is killed and started again. Every query gets departures; the replica serves again."""
    if shutil.which("haproxy") is None:
        return skip("haproxy")
    deadline, replicas = time.monotonic() + 40, 3
    world.generate_city()
    state, first, listen = os.path.join(world.root, "replicas"), free_port(replicas, rebound=True), free_port()
    cert, tarvod = os.path.join(state, "tls", "cert.pem"), os.path.join(world.bin, "tarvod")
    city = ["--feed", "mv=" + world.feed, "--realtime", "mv=" + world.realtime, "--now", NOW, "-v"]
    script = world.start([os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../deploy/haproxy/run-replicas"),
                          "-n", str(replicas), "--listen", "127.0.0.1:%d" % listen, "--first-port", str(first),
                          "--tarvod", tarvod, "--state", state, "--", *city], os.path.join(world.root, "run-replicas.log"))

    def servers():  # HAProxy's view of the replicas: name -> status ("UP", "DOWN", ...)
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(os.path.join(state, "haproxy.sock"))
                s.sendall(b"show stat\n")
                text = b"".join(iter(lambda: s.recv(65536), b"")).decode()
        except OSError:
            return {}
        rows = [line.split(",") for line in text.splitlines() if line.startswith("tarvod,replica-")]
        return {row[1]: row[17] for row in rows}

    lat, lon = (float(x) for x in CENTRE.split(","))
    body = json.dumps({"method": "TRIPSFORLOCATION", "lat": lat, "lon": lon, "fetchRadius": 500,
                       "realRadius": 500, "favRoutes": [], "favStops": [], "favSortMode": 3, "minutes": 30}).encode()
    headers = {"X-APILEVEL": "2", "X-APP": "velmomac", "X-APPVERSION": "1.0", "X-APPBUILD": "1"}
    wait_for(lambda: script.poll() is not None or list(servers().values()) == ["UP"] * replicas,
             "HAProxy to see the replicas up", deadline=deadline)
    check(script.poll() is None, "run-replicas exited")
    context = ssl.create_default_context(cafile=cert)  # the script made it
    answered, failures, stop = [0], [], threading.Event()

    def ask():  # departures through HAProxy, as the client asks for them
        while not stop.is_set():
            try:
                request = urllib.request.Request("https://localhost:%d/v2/nearby/" % listen, body, headers)
                with urllib.request.urlopen(request, context=context, timeout=10) as reply:
                    answer = json.loads(reply.read().decode("utf-8"))
                check(answer.get("error") is False and answer.get("stopDates"), "not departures: %.200s" % answer)
                answered[0] += 1
            except Exception as e:  # a cut reply (http.client.IncompleteRead) too, not only OSError
                failures.append("query %d: %r" % (answered[0] + len(failures) + 1, e))
            time.sleep(0.01)

    loop, victim = threading.Thread(target=ask), os.path.join(state, "replica-1")
    again = victim + "-again.log"
    served = lambda: open(again, errors="replace").read().count("/v2/nearby/") if os.path.exists(again) else 0
    loop.start()
    try:
        wait_for(lambda: answered[0] >= 20 or failures, "the first answers", deadline=deadline)
        with open(victim + ".pid") as f:
            os.kill(int(f.read()), signal.SIGKILL)
        killed_at = answered[0]
        wait_for(lambda: servers().get("replica-1") == "DOWN", "HAProxy to see the killed replica down",
                 deadline=deadline)
        check(answered[0] - killed_at >= 5, "too few queries before the replica was seen down")
        world.start([tarvod, "--listen", "127.0.0.1:%d" % first, "--tls-cert", cert, "--tls-key",
                     os.path.join(state, "tls", "key.pem"), *city], again, env=dict(world.env, XDG_DATA_HOME=victim))
        wait_for(lambda: servers().get("replica-1") == "UP", "the restarted replica to be up", deadline=deadline)
        wait_for(lambda: served() >= 5 or failures, "the restarted replica to answer queries", deadline=deadline)
    finally:
        stop.set()
        loop.join()
    check(not failures, "%d of %d queries failed:\n%s"
          % (len(failures), answered[0] + len(failures), "\n".join(failures[:5])))
    # The desktop client through the balancer: its certificate is the one local_ca names.
    world.point_client_at(listen, cert)
    check(world.departures(), "velmomac --once got no departures through HAProxy")
    check(world.stop(script) == 0, "run-replicas did not stop cleanly on SIGTERM")
    check(servers() == {}, "HAProxy still answers after run-replicas stopped")


CASES = {name[len("case_"):]: case for name, case in globals().items() if name.startswith("case_")}


def main(argv):
    check(len(argv) == 3 and argv[2] in CASES, "usage: e2e.py BIN_DIR {%s}" % ",".join(CASES))
    world, status = World(os.path.abspath(argv[1])), 1
    try:
        status = CASES[argv[2]](world) or 0
    except Exception as e:  # a broken test is a failed test too
        print("e2e: %s FAILED: %s" % (argv[2], e) if isinstance(e, Failure) else traceback.format_exc(), file=sys.stderr)
        for log in sorted(glob.glob(os.path.join(world.root, "**", "*.log"), recursive=True)):
            tail = "".join(open(log, errors="replace").readlines()[-30:])
            print("--- %s (last 30 lines)\n%s" % (os.path.basename(log), tail), file=sys.stderr)
    finally:
        for process in reversed(world.processes):
            if process.poll() is None:
                world.stop(process)
        if status == 1 and os.environ.get("VELMO_E2E_KEEP") == "1":
            print("e2e: kept the world in " + world.root, file=sys.stderr)
        else:
            shutil.rmtree(world.root, ignore_errors=True)
    print("e2e: %s %s" % (argv[2], {0: "passed", 77: "skipped"}.get(status, "failed")))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
