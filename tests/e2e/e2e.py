#!/usr/bin/env python3
"""End-to-end tests of the whole system: gtfs-synth writes a small city and its live
state, tarvod serves them over loopback HTTPS with a fixed clock, and the built
velmomac (console mode, or the window under Xvfb) asks it for departures.

Usage: e2e.py BIN_DIR CASE
(CASE: departures, favourites, nostops, unreachable, window, help, install)

Every case builds its own world in a temporary folder (XDG_CONFIG_HOME,
XDG_DATA_HOME, HOME), picks free loopback ports at run time and stops every
process it started. Exit status: 0 passed, 1 failed, 77 skipped.
"""

import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request

SKIP = 77

# The fixed world: a Friday morning in Mintaváros.
START_DATE = "2025-03-10"
NOW = "2025-03-14T08:00:00+01:00"
CENTRE = "47.2051,19.3608"
BETWEEN = "47.2060,19.3620"    # within reach of several stops and lines
FAR_AWAY = "46.2000,21.5000"   # about 200 km from the generated city
STOPS = "60"

# Generous limits for a loaded 2-core machine; every wait polls.
START_TIMEOUT = 120.0
QUERY_TIMEOUT = 120.0
WINDOW_TIMEOUT = 120.0


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, what, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


class World:
    """A private settings/data folder, a generated city, and the processes started for it."""

    def __init__(self, bin_dir):
        self.bin = bin_dir
        self.root = tempfile.mkdtemp(prefix="velmo-e2e-")
        self.config = os.path.join(self.root, "config")
        self.data = os.path.join(self.root, "data")
        self.home = os.path.join(self.root, "home")
        for d in (self.config, self.data, self.home, os.path.join(self.config, "velmomac")):
            os.makedirs(d, mode=0o700, exist_ok=True)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "XDG_CONFIG_HOME": self.config,
            "XDG_DATA_HOME": self.data,
            "XDG_RUNTIME_DIR": self.root,
            "TZ": "Europe/Budapest",
            "LC_ALL": "C.UTF-8",
            "QT_QPA_PLATFORM": "offscreen",
        }
        self.processes = []
        self.tarvod = None
        self.tarvod_log = os.path.join(self.root, "tarvod.log")
        self.port = None
        self.feed = os.path.join(self.root, "mintavaros.zip")
        self.realtime = os.path.join(self.root, "realtime.pb")

    # --- processes -------------------------------------------------------------------------

    def program(self, name):
        path = os.path.join(self.bin, name)
        check(os.access(path, os.X_OK), "program not built: " + path)
        return path

    def run(self, args, timeout=QUERY_TIMEOUT, env=None):
        result = subprocess.run(args, env=env or self.env, cwd=self.root, capture_output=True,
                                timeout=timeout, stdin=subprocess.DEVNULL)
        return result.returncode, result.stdout.decode("utf-8", "replace"), \
            result.stderr.decode("utf-8", "replace")

    def start(self, args, log_path, env=None):
        log = open(log_path, "wb")
        process = subprocess.Popen(args, env=env or self.env, cwd=self.root, stdout=log,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   start_new_session=True)
        log.close()
        self.processes.append(process)
        return process

    def stop(self, process, timeout=30.0):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return process.returncode

    def close(self, keep):
        for process in reversed(self.processes):
            self.stop(process)
        if keep:
            print("e2e: kept the world in " + self.root, file=sys.stderr)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    # --- the city and the service --------------------------------------------------------

    def generate_city(self):
        code, _, err = self.run([self.program("gtfs-synth"), "--stops", STOPS, "--start-date", START_DATE,
                                 "--zip", self.feed, "--realtime", self.realtime, "--at", NOW])
        check(code == 0, "gtfs-synth failed (%d): %s" % (code, err))
        check(os.path.getsize(self.feed) > 0 and os.path.getsize(self.realtime) > 0,
              "gtfs-synth wrote an empty feed or live file")

    def health(self):
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        try:
            with urllib.request.urlopen("https://127.0.0.1:%d/healthz" % self.port, context=context,
                                        timeout=10) as reply:
                return json.loads(reply.read().decode("utf-8"))
        except (OSError, ValueError):
            return None

    def start_tarvod(self):
        """Starts tarvod on a free port and waits until it answers and holds the live data."""
        for _attempt in range(3):
            self.port = free_port()
            self.tarvod = self.start([self.program("tarvod"), "--feed", "mv=" + self.feed,
                                      "--realtime", "mv=" + self.realtime,
                                      "--listen", "127.0.0.1:%d" % self.port, "--now", NOW, "-v"],
                                     self.tarvod_log)

            def ready():
                if self.tarvod.poll() is not None:
                    return "exited"
                h = self.health()
                if h is None:
                    return None
                sources = [s for c in h.get("cities", []) for s in c.get("realtime", [])]
                return "up" if sources and all(s.get("lastSuccess") is not None for s in sources) else None

            state = wait_for(ready, START_TIMEOUT, "tarvod to answer /healthz with its live data loaded")
            if state == "up":
                return
            # Another program may have taken the port between the check and the bind: try again.
            self.processes.remove(self.tarvod)
        raise Failure("tarvod did not start:\n" + self.log())

    def log(self):
        try:
            with open(self.tarvod_log, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def nearby_requests(self):
        return sum(1 for line in self.log().splitlines() if "/v2/nearby/" in line)

    # --- the client's settings -----------------------------------------------------------

    def point_client_at(self, port):
        with open(os.path.join(self.config, "velmomac", "servers.conf"), "w", encoding="utf-8") as f:
            f.write('local = "https://localhost:%d/v2/"\n' % port)
            f.write('local_ca = "%s"\n' % os.path.join(self.data, "tarvod", "tls", "cert.pem"))
        self.settings("set", "useDevelopmentServer", "1")

    def settings(self, *args):
        code, out, err = self.run([self.program("velmo-settings")] + list(args))
        check(code == 0, "velmo-settings %s failed (%d): %s" % (" ".join(args), code, err))
        return out

    def once(self, position, json_lines=True):
        args = [self.program("velmomac"), "--once", "--position", position]
        if json_lines:
            args.append("--json")
        return self.run(args)

    def departures(self, position=CENTRE):
        code, out, err = self.once(position)
        check(code == 0, "velmomac --once failed (%d): %s" % (code, err))
        items = []
        for line in out.splitlines():
            try:
                item = json.loads(line)
            except ValueError:
                raise Failure("velmomac --json printed a line that is not JSON: %r" % line)
            check(isinstance(item, dict), "velmomac --json printed a non-object: %r" % line)
            items.append(item)
        check(items, "no departures at the centre of the generated city; stderr: " + err)
        return items


def describe(items):
    return "\n".join("%s %s @%s %s GPS=%s favStop=%s favRoute=%s" % (
        i.get("type"), i.get("shortName"), i.get("stopId"), i.get("departureMinutes"),
        i.get("departureGPS"), i.get("favStop"), i.get("favRoute")) for i in items)


# --- cases -----------------------------------------------------------------------------------

def case_departures(world):
    """Live and timetable departures at the centre, in JSON and in the table."""
    items = world.departures()
    for item in items:
        for key in ("name", "shortName", "type", "tripHeadsign", "stopId", "routeId", "departureMinutes"):
            check(isinstance(item.get(key), str) and item[key] != "",
                  "departure without %s: %s" % (key, json.dumps(item, ensure_ascii=False)))
        minutes = item["departureMinutes"]
        check(minutes == "!!" or (minutes.isdigit() and int(minutes) <= 24 * 60),
              "odd departureMinutes %r" % minutes)
        check(item.get("favStop") is False and item.get("favRoute") is False,
              "a favourite flag is set while there are no favourites:\n" + describe(items))
    live = [i for i in items if i.get("departureGPS") is True]
    timetable = [i for i in items if i.get("departureGPS") is False]
    check(live, "no live (departureGPS) departure although tarvod holds live data:\n" + describe(items))
    check(timetable, "no timetable departure:\n" + describe(items))
    check(world.nearby_requests() >= 1, "tarvod logged no /v2/nearby/ request")

    # The table of the same query: a header and one row per departure, the live ones marked.
    code, out, err = world.once(CENTRE, json_lines=False)
    check(code == 0, "velmomac --once (table) failed (%d): %s" % (code, err))
    lines = out.splitlines()
    check(lines and lines[0].split()[:2] == ["Jármű", "Járat"], "table without its header: %r" % out[:200])
    rows = lines[1:]
    # The clock runs on between the two queries: a departure may leave or arrive meanwhile.
    check(abs(len(rows) - len(items)) <= 3, "table has %d rows, JSON had %d" % (len(rows), len(items)))
    check(any(r.endswith(" ●") for r in rows), "no live mark in the table:\n" + out)
    check(any(not r.endswith(" ●") for r in rows), "every table row is marked live:\n" + out)


def case_favourites(world):
    """Stars on a favourite stop and line, and the favourite line moved to the top."""
    before = world.departures(BETWEEN)
    stops = sorted({i["stopId"] for i in before})
    check(len(stops) >= 2, "departures of one stop only; cannot tell stars apart:\n" + describe(before))
    first_route = before[0]["routeId"]
    later = [i for i in before if i["routeId"] != first_route]
    check(later, "every departure is of one line; cannot test promotion:\n" + describe(before))
    route = later[-1]["routeId"]
    # A stop of the list that is not the first one's.
    stop = [i for i in before if i["stopId"] != before[0]["stopId"]][-1]["stopId"]

    world.settings("fav", "add", "stop", stop, "Kedvenc megálló")
    world.settings("fav", "add", "trip", route)
    listed = world.settings("fav", "list", "trip")
    check(route in listed, "velmo-settings fav list trip does not show %s: %r" % (route, listed))

    after = world.departures(BETWEEN)
    stars_stop = [i for i in after if i.get("favStop") is True]
    stars_route = [i for i in after if i.get("favRoute") is True]
    check(stars_stop, "no departure of favourite stop %s carries favStop:\n%s" % (stop, describe(after)))
    check(stars_route, "no departure of favourite line %s carries favRoute:\n%s" % (route, describe(after)))
    check(len(stars_stop) < len(after) and len(stars_route) < len(after),
          "every departure carries a star:\n" + describe(after))
    for item in after:
        check(item.get("favStop") is (item["stopId"] == stop),
              "favStop wrong on %s (favourite stop %s):\n%s" % (item["stopId"], stop, describe(after)))
        check(item.get("favRoute") is (item["routeId"] == route),
              "favRoute wrong on %s (favourite line %s):\n%s" % (item["routeId"], route, describe(after)))
    # By default the first departure of each direction of a favourite line leads the list.
    check(after[0]["routeId"] == route,
          "favourite line %s is not promoted to the top:\n%s" % (route, describe(after)))

    code, out, err = world.once(BETWEEN, json_lines=False)
    check(code == 0, "velmomac --once (table) failed (%d): %s" % (code, err))
    check("★ " in out and " ★" in out, "the table shows no stars:\n" + out)

    # Taken back, the stars go too.
    world.settings("fav", "remove", "stop", stop)
    world.settings("fav", "remove", "trip", route)
    again = world.departures(BETWEEN)
    check(all(i.get("favStop") is False and i.get("favRoute") is False for i in again),
          "stars stay after the favourites were removed:\n" + describe(again))


def case_nostops(world):
    """A position far from every stop: the Hungarian message and exit status 1."""
    code, out, err = world.once(FAR_AWAY)
    check(code == 1, "expected exit status 1 far away, got %d (stderr %r)" % (code, err))
    check("Nincs megálló a közeledben" in err, "message missing far away; stderr: %r" % err)
    check(out == "", "departures printed far away: %r" % out)
    check(world.nearby_requests() >= 1, "tarvod logged no /v2/nearby/ request")


def case_unreachable(world):
    """No service on the configured port, and a stopped tarvod: "Hálózati hiba", exit status 1."""
    # A port nothing listens on.
    world.point_client_at(free_port())
    code, out, err = world.once(CENTRE)
    check(code == 1, "expected exit status 1 with a wrong port, got %d (stderr %r)" % (code, err))
    check("Hálózati hiba" in err, "message missing with a wrong port; stderr: %r" % err)
    check(out == "", "departures printed with a wrong port: %r" % out)

    # The right port, the service answers; then it stops.
    world.point_client_at(world.port)
    world.departures()
    status = world.stop(world.tarvod)
    check(status == 0, "tarvod exited with %s on SIGTERM:\n%s" % (status, world.log()))
    code, out, err = world.once(CENTRE)
    check(code == 1, "expected exit status 1 with tarvod stopped, got %d (stderr %r)" % (code, err))
    check("Hálózati hiba" in err, "message missing with tarvod stopped; stderr: %r" % err)
    check(out == "", "departures printed with tarvod stopped: %r" % out)


def screenshot(world, env, path):
    code, _, err = world.run(["import", "-window", "root", path], env=env, timeout=60)
    check(code == 0, "import failed (%d): %s" % (code, err))


def image_number(world, env, fmt, path):
    code, out, err = world.run(["identify", "-format", fmt, path], env=env, timeout=60)
    check(code == 0, "identify failed (%d): %s" % (code, err))
    return float(out.strip())


def pixels_differing(world, env, a, b):
    # compare exits 1 when the images differ; the count goes to standard error.
    code, _, err = world.run(["compare", "-metric", "AE", a, b, "null:"], env=env, timeout=60)
    check(code in (0, 1), "compare failed (%d): %s" % (code, err))
    return float(err.strip().split()[0])


def start_xvfb(world):
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
                             "-nolisten", "tcp", "-auth", "/dev/null"],
                            env=world.env, cwd=world.root, pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    world.processes.append(xvfb)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + START_TIMEOUT
    with os.fdopen(read_end, "rb") as pipe:
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = pipe.read(1)
            if not chunk:
                break
            number += chunk
    check(number.strip().isdigit(), "Xvfb did not report a display")
    return ":" + number.strip().decode()


def case_window(world):
    """The main window under Xvfb lists the departures: its rows are painted, and its
    screen differs clearly from the one of a position without stops."""
    for tool in ("Xvfb", "import", "compare", "identify"):
        if shutil.which(tool) is None:
            print("e2e: SKIPPED, %s is not installed (tools/install-deps installs xvfb and imagemagick)"
                  % tool)
            return SKIP
    display = start_xvfb(world)
    env = dict(world.env, DISPLAY=display, QT_QPA_PLATFORM="xcb", VELMO_REPORT_FIRST_PAINT="1")

    def window(position, name):
        """Runs the window at position until its reply is on screen; returns the screenshot."""
        log = os.path.join(world.root, name + ".log")
        requests = world.nearby_requests()
        app = world.start([world.program("velmomac"), "--position", position], log, env=env)

        def app_log():
            with open(log, encoding="utf-8", errors="replace") as f:
                return f.read()

        wait_for(lambda: app.poll() is not None or (world.nearby_requests() > requests
                                                    and "first-paint" in app_log()),
                 WINDOW_TIMEOUT, "the window to paint and ask tarvod for departures")
        check(app.poll() is None, "velmomac exited (%s):\n%s" % (app.returncode, app_log()))
        shot = os.path.join(world.root, name + ".png")
        if position == CENTRE:
            wait_for(lambda: app.poll() is not None or "first-rows" in app_log(), WINDOW_TIMEOUT,
                     "departure rows in the window")
            check(app.poll() is None, "velmomac exited (%s):\n%s" % (app.returncode, app_log()))
        # The screen settles once the reply is shown: two equal screenshots in a row.
        previous = os.path.join(world.root, name + "-previous.png")
        screenshot(world, env, previous)

        def settled():
            time.sleep(0.5)
            screenshot(world, env, shot)
            if pixels_differing(world, env, previous, shot) == 0:
                return True
            os.replace(shot, previous)
            return False

        wait_for(settled, WINDOW_TIMEOUT, "the window to settle", interval=0)
        check(app.poll() is None, "velmomac exited (%s):\n%s" % (app.returncode, app_log()))
        world.stop(app)
        world.processes.remove(app)
        return shot

    rows = window(CENTRE, "rows")
    empty = window(FAR_AWAY, "empty")
    deviation = image_number(world, env, "%[fx:standard_deviation]", rows)
    check(deviation > 0.01, "the screen with departures is blank (deviation %g)" % deviation)
    differing = pixels_differing(world, env, rows, empty)
    # A row is some 30 px high on an 800 px wide window: several rows change far more than this.
    check(differing > 5000, "the window with departures differs from the one without stops in only "
                            "%d pixels" % differing)
    return 0


HELP = {
    # program: (usage line start, words the help must hold)
    "velmomac": ("Használat: velmomac", ["--once", "--position", "--json", "-h, --help", "Kilépési kód", "Példák:"]),
    "velmomactoday": ("Használat: velmomactoday", ["--position", "-h, --help", "Kilépési kód", "Példák:"]),
    "velmo-settings": ("Használat: velmo-settings", ["fav add", "-h, --help", "Kilépési kód", "Példák:"]),
    "gtfs-synth": ("Usage: gtfs-synth", ["--stops", "--start-date", "--realtime", "--at", "-h, --help",
                                         "Exit status", "Examples:"]),
    "tarvod": ("Usage: tarvod", ["--feed", "--realtime", "--listen", "--now", "-h,--help", "Exit status",
                                 "Examples:"]),
}


def case_help(world):
    """Every program explains itself: a usage line, its options, exit status and examples."""
    for program, (usage, words) in HELP.items():
        # No display: --help must not need one.
        env = dict(world.env, QT_QPA_PLATFORM="")
        env.pop("DISPLAY", None)
        code, out, err = world.run([world.program(program), "--help"], env=env)
        check(code == 0, "%s --help exited with %d: %s" % (program, code, err))
        check(any(line.startswith(usage) for line in out.splitlines()),
              "%s --help has no line starting %r:\n%s" % (program, usage, out))
        for word in words:
            check(word in out, "%s --help does not mention %r:\n%s" % (program, word, out))
        code, out, err = world.run([world.program(program), "--no-such-option"], env=env)
        check(code != 0, "%s accepts an unknown option" % program)


def installed(world, component):
    """Installs one component of the build into a staging folder (DESTDIR, prefix /usr)."""
    build = os.environ.get("VELMO_E2E_BUILD")
    cmake = os.environ.get("VELMO_E2E_CMAKE", "cmake")
    check(build, "VELMO_E2E_BUILD (the build folder) is not set")
    stage = os.path.join(world.root, "stage-" + component)
    env = dict(world.env, DESTDIR=stage)
    code, out, err = world.run([cmake, "--install", build, "--prefix", "/usr", "--component", component], env=env)
    check(code == 0, "cmake --install --component %s failed (%d): %s%s" % (component, code, out, err))
    files = set()
    for folder, _dirs, names in os.walk(stage):
        for name in names:
            files.add(os.path.relpath(os.path.join(folder, name), stage))
    return stage, files


def case_install(world):
    """The install layout of the two packages, and the service unit's safeguards."""
    stage, desktop = installed(world, "desktop")
    for path in ("usr/bin/velmomac", "usr/bin/velmomactoday", "usr/bin/velmo-settings",
                 "usr/share/applications/velmomac.desktop", "usr/share/applications/velmomactoday.desktop",
                 "usr/share/icons/hicolor/scalable/apps/velmomac.svg",
                 "usr/share/icons/hicolor/scalable/apps/velmomactoday.svg"):
        check(path in desktop, "desktop component lacks %s; it holds %s" % (path, sorted(desktop)))
    check(any(p.endswith("etc/xdg/autostart/velmomactoday.desktop") and not p.startswith("usr/etc")
              for p in desktop), "no autostart entry outside /usr: %s" % sorted(desktop))
    check(not any("tarvod" in p or "gtfs-synth" in p for p in desktop),
          "service files in the desktop component: %s" % sorted(desktop))
    if shutil.which("desktop-file-validate"):
        for name in ("velmomac.desktop", "velmomactoday.desktop"):
            code, out, err = world.run(["desktop-file-validate",
                                        os.path.join(stage, "usr/share/applications", name)])
            check(code == 0 and "error" not in (out + err), "%s does not validate: %s%s" % (name, out, err))

    stage, service = installed(world, "tarvod")
    for path in ("usr/bin/tarvod", "usr/bin/gtfs-synth", "usr/lib/systemd/system/tarvod.service",
                 "usr/share/doc/tarvod/tarvod.example.toml"):
        check(path in service, "tarvod component lacks %s; it holds %s" % (path, sorted(service)))
    check(not any("velmomac" in p for p in service), "desktop files in the tarvod component: %s" % sorted(service))
    with open(os.path.join(stage, "usr/lib/systemd/system/tarvod.service"), encoding="utf-8") as f:
        unit = {}
        for line in f:
            line = line.strip()
            if line and not line.startswith(("#", "[")) and "=" in line:
                key, value = line.split("=", 1)
                unit[key] = value
    for key, value in (("DynamicUser", "yes"), ("ProtectSystem", "strict"), ("ProtectHome", "yes"),
                       ("PrivateTmp", "yes"), ("NoNewPrivileges", "yes"), ("Restart", "on-failure"),
                       ("ExecReload", "/bin/kill -HUP $MAINPID"), ("StateDirectory", "tarvod"),
                       ("Environment", "XDG_DATA_HOME=/var/lib/tarvod")):
        check(unit.get(key) == value, "tarvod.service: %s=%r, want %r" % (key, unit.get(key), value))
    check(unit.get("ExecStart", "").startswith("/usr/bin/tarvod "), "ExecStart: %r" % unit.get("ExecStart"))

    # The installed tarvod runs on the installed example configuration, with the feed and
    # the address of this world put in.
    with open(os.path.join(stage, "usr/share/doc/tarvod/tarvod.example.toml"), encoding="utf-8") as f:
        example = f.read()
    world.generate_city()
    world.port = free_port()
    lines = []
    for line in example.splitlines():
        if line.startswith("feed = "):
            line = 'feed = "%s"' % world.feed
        elif line.startswith("listen = "):
            line = 'listen = "127.0.0.1:%d"' % world.port
        lines.append(line)
    config = os.path.join(world.root, "tarvod.toml")
    with open(config, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    world.tarvod = world.start([os.path.join(stage, "usr/bin/tarvod"), "--config", config, "--now", NOW],
                               world.tarvod_log)
    health = wait_for(lambda: world.tarvod.poll() is not None or world.health(), START_TIMEOUT,
                      "the installed tarvod to answer")
    check(world.tarvod.poll() is None, "the installed tarvod exited on the example configuration:\n" + world.log())
    names = [c.get("cityName") for c in health.get("cities", [])]
    check(names == ["Mintaváros"], "the example configuration's city is not served: %r" % names)


CASES = {
    "departures": case_departures,
    "favourites": case_favourites,
    "nostops": case_nostops,
    "unreachable": case_unreachable,
    "window": case_window,
    "help": case_help,
    "install": case_install,
}
# Cases that need no city and no service.
STANDALONE = {"help", "install"}


def main(argv):
    if len(argv) != 3 or argv[2] not in CASES:
        print("usage: e2e.py BIN_DIR {%s}" % ",".join(CASES), file=sys.stderr)
        return 2
    world = World(os.path.abspath(argv[1]))
    failed = True
    try:
        if argv[2] not in STANDALONE:
            world.generate_city()
            world.start_tarvod()
            world.point_client_at(world.port)
        status = CASES[argv[2]](world) or 0
        failed = False
        if status == 0:
            print("e2e: %s passed" % argv[2])
        return status
    except Failure as e:
        print("e2e: %s FAILED: %s" % (argv[2], e), file=sys.stderr)
        return 1
    except Exception:  # a broken test is a failed test, with its traceback
        traceback.print_exc()
        return 1
    finally:
        if failed:
            print("--- tarvod log (last 40 lines)\n" + "\n".join(world.log().splitlines()[-40:]),
                  file=sys.stderr)
        world.close(keep=failed and os.environ.get("VELMO_E2E_KEEP") == "1")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
