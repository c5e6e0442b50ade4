#!/usr/bin/env python3
"""The desktop program under a real X session: Xvfb, the openbox window manager and the trayer
notification area. Checks that the main window's frame rectangle survives restarts to the pixel,
that Enter on a focused Cancel creates nothing, and that a second start brings the window of the
running program back. Exits 77 (skipped) when the session's programs are missing.

    desktop_session.py <qvwebserver executable>
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
STEP_S = 0.05      # polling interval while waiting for the session
WAIT_S = 15.0      # any single wait; a healthy session answers within a second or two
SETTLE_S = 0.3     # a window's geometry counts as settled after this long unchanged
TOOLS = ("Xvfb", "openbox", "trayer", "xdotool")


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def wait_for(what, condition, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(STEP_S)
    fail("timed out waiting for " + what)


class Session:
    def __init__(self, root):
        self.root = root
        self.children = []
        self.env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM", "QT_SCALE_FACTOR"):
            self.env.pop(name, None)  # the X tray (XEmbed), not a status-notifier bus
        runtime = os.path.join(root, "runtime")
        os.mkdir(runtime, 0o700)
        self.env.update(XDG_RUNTIME_DIR=runtime, TMPDIR=runtime, HOME=root,
                        XDG_CONFIG_HOME=os.path.join(root, "cfg"), XDG_STATE_HOME=os.path.join(root, "state"),
                        XDG_CACHE_HOME=os.path.join(root, "cache"))

    def spawn(self, args, **kwargs):
        child = subprocess.Popen(args, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 start_new_session=True, **kwargs)
        self.children.append(child)
        return child

    def start(self):
        read_end, write_end = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                   pass_fds=(write_end,))
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + WAIT_S
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            fail("Xvfb reported no display")
        self.env["DISPLAY"] = ":" + number.strip().decode()
        self.spawn(["openbox", "--sm-disable"])
        wait_for("openbox", lambda: self.xdotool("get_num_desktops", check=False))
        self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                    "--height", "24", "--SetDockType", "true", "--expand", "false"])
        wait_for("trayer", lambda: self.xdotool("search", "--class", "trayer", check=False))

    def stop(self):
        for child in reversed(self.children):
            if child.poll() is None:
                os.killpg(child.pid, signal.SIGKILL)
            child.wait()

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=WAIT_S)
        if check and result.returncode != 0:
            fail("xdotool %s: %s" % (" ".join(args), result.stderr.strip()))
        return result.stdout.strip() if result.returncode == 0 else ""

    def window(self, title):
        return self.xdotool("search", "--onlyvisible", "--name", title, check=False).split("\n")[0]

    def geometry(self, window):
        text = self.xdotool("getwindowgeometry", "--shell", window, check=False)
        return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


class Program:
    MAIN = "^QvWebServer.Windows"

    def __init__(self, session, exe):
        self.session = session
        self.exe = exe
        self.process = None

    def start(self):
        self.process = self.session.spawn([self.exe])
        return wait_for("the main window", lambda: self.session.window(self.MAIN))

    def exit_from_tray(self):
        """Right-click the tray icon and choose the menu's last item, "Exit"."""
        s = self.session
        # The icon's window is titled with the program's name alone (the main window's title goes on).
        icon = wait_for("the tray icon", lambda: [w for w in self._windows()
                                                  if s.xdotool("getwindowname", w, check=False) == "QvWebServer"])[0]
        before = set(self._windows())
        s.xdotool("mousemove", "--window", icon, "10", "10")
        s.xdotool("click", "3")
        wait_for("the tray menu", lambda: set(self._windows()) - before)
        s.xdotool("key", "Up", "Return")
        try:
            self.process.wait(timeout=WAIT_S)
        except subprocess.TimeoutExpired:
            fail("the program did not end after Exit")
        if self.process.returncode != 0:
            fail("the program ended with %d" % self.process.returncode)

    def _windows(self):
        return self.session.xdotool("search", "--onlyvisible", "--class", "qvwebserver", check=False).split()


def stored_rect(folder):
    with open(os.path.join(folder, "user", "env.ini"), encoding="utf-8") as f:
        text = f.read()
    keys = ("default_startx", "default_starty", "default_width", "default_height")
    values = {}
    for key in keys:
        match = re.search(r"^%s=(-?\d+)\s*$" % key, text, re.MULTILINE)
        if not match:
            fail("env.ini has no %s:\n%s" % (key, text))
        values[key] = int(match.group(1))
    return tuple(values[k] for k in keys)


def settled(session, window):
    last = None
    since = time.monotonic()
    deadline = since + WAIT_S
    while time.monotonic() < deadline:
        now = session.geometry(window)
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= SETTLE_S:
            return now
        time.sleep(STEP_S)
    fail("the window did not settle")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        print("SKIP: %s not installed (scripts/setup.sh --tests installs them)" % ", ".join(missing))
        return SKIP
    built = os.path.dirname(os.path.abspath(sys.argv[1]))
    with tempfile.TemporaryDirectory(prefix="qvdesktop") as root:
        # The program keeps its settings beside itself: a copy of its own in the temporary folder.
        folder = os.path.join(root, "app")
        os.mkdir(folder)
        exe = os.path.join(folder, "qvwebserver")
        shutil.copy2(sys.argv[1], exe)
        for data in ("config", "res"):
            shutil.copytree(os.path.join(built, data), os.path.join(folder, data))
        site = os.path.join(root, "www")
        os.mkdir(site)
        with open(os.path.join(site, "index.html"), "w") as f:
            f.write("<p>hello</p>")
        session = Session(root)
        try:
            session.start()
            run(session, Program(session, exe), folder, site)
        finally:
            session.stop()
    print("PASS")
    return 0


def run(session, program, folder, site):
    # The window as it first comes up, then moved and resized by the user.
    program.start()
    program.exit_from_tray()
    first = stored_rect(folder)
    program.start()
    program.exit_from_tray()
    if stored_rect(folder) != first:
        fail("the first rectangle %s came back as %s" % (first, stored_rect(folder)))
    window = program.start()
    session.xdotool("windowsize", window, "760", "190")
    session.xdotool("windowmove", window, "140", "130")
    settled(session, window)
    program.exit_from_tray()
    moved = stored_rect(folder)
    print("template rect %s, moved rect %s" % (first, moved))
    if moved == first:
        fail("moving and resizing the window changed nothing stored")
    for restart in range(1, 4):
        window = program.start()
        settled(session, window)
        program.exit_from_tray()
        again = stored_rect(folder)
        print("restart %d: %s" % (restart, again))
        if again != moved:
            fail("restart %d stored %s instead of %s" % (restart, again, moved))

    # New Server, the fields filled as for a valid server, Tab to Cancel, Enter: nothing is created.
    window = program.start()
    session.xdotool("windowactivate", "--sync", window)
    session.xdotool("key", "alt+n")
    wait_for("the edit dialog", lambda: session.window("^Local WebServer Generate$"))
    session.xdotool("type", "--delay", "5", "e2e")
    session.xdotool("key", "Tab", "Tab", "Tab")
    session.xdotool("type", "--delay", "5", site)
    session.xdotool("key", "Tab")
    session.xdotool("type", "--delay", "5", "index.html")
    session.xdotool("key", "Tab", "Tab", "Tab", "Return")  # Delete, Generate, Cancel
    wait_for("the edit dialog to close", lambda: not session.window("^Local WebServer Generate$"))

    # The main window closed, only the tray icon is left: a second start shows the window again.
    session.xdotool("windowactivate", "--sync", window)
    session.xdotool("key", "Escape")
    wait_for("the main window to close", lambda: not session.window(Program.MAIN))
    second = subprocess.run([program.exe], env=session.env, capture_output=True, text=True, timeout=WAIT_S)
    if second.returncode != 0 or "QvWebServer is already running" not in second.stderr:
        fail("second start: rc %d, stderr %r" % (second.returncode, second.stderr))
    wait_for("the main window to come back", lambda: session.window(Program.MAIN))
    program.exit_from_tray()
    stored = os.path.join(folder, "user", "session.ini")
    if os.path.exists(stored) and "e2e" in open(stored, encoding="utf-8").read():
        fail("Enter on the focused Cancel created the server")


if __name__ == "__main__":
    sys.exit(main())
