#!/usr/bin/env python3
"""desktop_session.py QVWEBSERVER: the program under Xvfb with openbox and trayer; exits 77 (skipped)
without them. The frame rectangle survives restarts to the pixel, Enter on a focused Cancel creates
nothing, a second start shows the running program's window."""
import os, re, shutil, signal, subprocess, sys, tempfile, time

WAIT_S = 60.0  # any one wait; a healthy session answers within a second or two, a loaded machine later
MAIN = "^QvWebServer.Windows"
children = []
env = {k: v for k, v in os.environ.items()
       if k not in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM", "QT_SCALE_FACTOR")}


def wait_for(what, condition):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    sys.exit("FAIL: timed out waiting for " + what)


def spawn(*args, **kwargs):
    children.append(subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True, **kwargs))
    return children[-1]


def xdo(*args):
    result = subprocess.run(("xdotool",) + args, env=env, capture_output=True, text=True, timeout=WAIT_S)
    return result.stdout.strip() if result.returncode == 0 else ""


def windows(*pattern):
    return xdo("search", "--onlyvisible", *pattern).split()


def start(exe):
    spawn(exe)
    return wait_for("the main window", lambda: windows("--name", MAIN))[0]


def exit_from_tray():
    # The tray icon's window is titled with the program's name alone; Exit is the menu's last item.
    icon = wait_for("the tray icon", lambda: [w for w in windows("--class", "qvwebserver")
                                              if xdo("getwindowname", w) == "QvWebServer"])[0]
    before = set(windows("--class", "qvwebserver"))
    xdo("mousemove", "--window", icon, "10", "10", "click", "3")
    wait_for("the tray menu", lambda: set(windows("--class", "qvwebserver")) - before)
    xdo("key", "Up", "Return")
    if children[-1].wait(timeout=WAIT_S) != 0:
        sys.exit("FAIL: the program ended with %d" % children[-1].returncode)


def stored_rect(folder):
    text = open(os.path.join(folder, "user", "env.ini"), encoding="utf-8").read()
    keys = ("startx", "starty", "width", "height")
    return tuple(int(re.search(r"^default_%s=(-?\d+)$" % k, text, re.M)[1]) for k in keys)


def run(exe, folder, site):
    # As it first comes up, once more, then moved and resized by the user, then three restarts.
    for step in range(6):
        window = start(exe)
        if step == 2:
            xdo("windowsize", window, "760", "190", "windowmove", window, "140", "130")
        for _ in range(50):  # settled: the window manager left it unchanged for 0.3 s
            before = xdo("getwindowgeometry", window)
            time.sleep(0.3)
            if before == xdo("getwindowgeometry", window):
                break
        exit_from_tray()
        rect = stored_rect(folder)
        if step > 0 and (rect == last) == (step == 2):  # only the moved one differs from the one before
            sys.exit("FAIL: start %d stored %s after %s" % (step, rect, last))
        last = rect

    # New Server filled as a valid server, Tab to Cancel (after Delete and Generate), Enter.
    window = start(exe)
    xdo("windowactivate", "--sync", window, "key", "alt+n")
    wait_for("the edit dialog", lambda: windows("--name", "^Local WebServer Generate$"))
    for text, tabs in (("e2e", 3), (site, 1), ("index.html", 3)):
        xdo("type", "--delay", "5", text)  # type takes every argument after it as text
        xdo("key", *["Tab"] * tabs)
    xdo("key", "Return")
    wait_for("the edit dialog to close", lambda: not windows("--name", "^Local WebServer Generate$"))

    # Only the tray icon left: a second start shows the main window again.
    xdo("windowactivate", "--sync", window, "key", "Escape")
    wait_for("the main window to close", lambda: not windows("--name", MAIN))
    second = subprocess.run([exe], env=env, capture_output=True, text=True, timeout=WAIT_S)
    if second.returncode != 0 or "QvWebServer is already running" not in second.stderr:
        sys.exit("FAIL: second start: rc %d, stderr %r" % (second.returncode, second.stderr))
    wait_for("the main window to come back", lambda: windows("--name", MAIN))
    exit_from_tray()
    stored = os.path.join(folder, "user", "session.ini")  # written once a server was ever added
    if os.path.exists(stored) and "e2e" in open(stored, encoding="utf-8").read():
        sys.exit("FAIL: Enter on the focused Cancel created the server")


def main():
    missing = [tool for tool in ("Xvfb", "openbox", "trayer", "xdotool") if shutil.which(tool) is None]
    if missing:
        print("SKIP: %s not installed (scripts/setup.sh --tests installs them)" % ", ".join(missing))
        return 77
    with tempfile.TemporaryDirectory(prefix="qvdesktop") as root:
        # Settings live beside the executable: a copy of the program of its own.
        folder, site = os.path.join(root, "app"), os.path.join(root, "www")
        built = os.path.dirname(os.path.abspath(sys.argv[1]))
        shutil.copytree(built, folder, ignore=lambda d, names: [
            n for n in names if d == built and n not in ("config", "res", "qvwebserver")])
        os.makedirs(site)
        open(os.path.join(site, "index.html"), "w").write("<p>hello</p>")
        env.update(XDG_RUNTIME_DIR=root, TMPDIR=root, HOME=root, XDG_CONFIG_HOME=root + "/cfg")
        unreachable = subprocess.run([os.path.join(folder, "qvwebserver")], env=dict(env, DISPLAY=":32000"),
                                     capture_output=True, text=True, timeout=WAIT_S)
        if unreachable.returncode != 1 or "display :32000 cannot be reached" not in unreachable.stderr:
            sys.exit("FAIL: unreachable display: rc %d, stderr %r" % (unreachable.returncode, unreachable.stderr))
        read_end, write_end = os.pipe()
        spawn("Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", pass_fds=(write_end,))
        os.close(write_end)
        try:
            with os.fdopen(read_end) as display:
                env["DISPLAY"] = ":" + wait_for("Xvfb's display", display.readline).strip()
            spawn("openbox", "--sm-disable")
            wait_for("openbox", lambda: xdo("get_num_desktops"))
            spawn("trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120")
            wait_for("trayer", lambda: xdo("search", "--class", "trayer"))
            run(os.path.join(folder, "qvwebserver"), folder, site)
        finally:
            for child in reversed(children):
                if child.poll() is None:
                    os.killpg(child.pid, signal.SIGKILL)
                child.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
