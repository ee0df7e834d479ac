"""Drives the real application under Xvfb, as a person would: start it from a bundle, find its
window, move the pointer and click, read pixels off the screen, and wait for it to end.

Every Screen is an Xvfb server of its own, so tests can run side by side without seeing each
other's windows. Nothing here needs more than the standard library, Xvfb, xdotool and
ImageMagick's import, and xcompmgr for a screen with a compositing manager.
"""

import ctypes
import ctypes.util
import os
import shutil
import signal
import subprocess
import tempfile
import time

PRODUCT_NAME = "Orvanta Uninstaller"

# What a Debug build's framework assertion prints to standard error before it carries on.
ASSERTION_MARK = "JUCE Assertion failure"


def built_executable():
    """The executable inside the bundle the build made (CTest passes its path)."""
    path = os.environ.get("ORVANTA_APP")
    if not path or not os.path.isfile(path):
        raise RuntimeError("ORVANTA_APP does not name the built executable: %r" % path)
    return path


def wait_for(predicate, timeout, interval=0.05):
    """Polls until predicate() gives something true; returns it, or None on time-out."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


def terminate(process):
    """Asks the process to end, and kills it if it is still there five seconds later."""
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def close_enough(rgb, expected, tolerance):
    """Whether every channel is within the tolerance: antialiased edges come out a shade off."""
    return all(abs(a - b) <= tolerance for a, b in zip(rgb, expected))


class Image:
    """A screenshot: RGB pixels, read from a binary PPM."""

    def __init__(self, ppm):
        fields = []
        pos = 0
        while len(fields) < 4:
            while ppm[pos:pos + 1].isspace():
                pos += 1
            if ppm[pos:pos + 1] == b"#":
                pos = ppm.index(b"\n", pos) + 1
                continue
            end = pos
            while not ppm[end:end + 1].isspace():
                end += 1
            fields.append(ppm[pos:end])
            pos = end
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise ValueError("not an 8-bit binary PPM")
        self.width, self.height = int(fields[1]), int(fields[2])
        self.data = ppm[pos + 1:]
        self.ppm = ppm

    def pixel(self, x, y):
        """(red, green, blue) at screen position (x, y)."""
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise IndexError((x, y))
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def hex(self, x, y):
        return "%02X%02X%02X" % self.pixel(x, y)

    def save_png(self, path, crop=None):
        """Writes the screenshot (or the crop (x, y, w, h) of it) as a PNG for a person to look at."""
        args = ["convert", "ppm:-"]
        if crop:
            args += ["-crop", "%dx%d+%d+%d" % (crop[2], crop[3], crop[0], crop[1]), "+repage"]
        subprocess.run(args + [path], input=self.ppm, check=True)


def selection_owned(display, selection):
    """Whether a client on the display owns the selection: a compositing manager announces
    itself by owning _NET_WM_CM_S0, and that is what an application looks for."""
    xlib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XGetSelectionOwner.restype = ctypes.c_ulong
    xlib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = xlib.XOpenDisplay(display.encode())
    if not connection:
        raise RuntimeError("cannot open display %s" % display)
    try:
        return xlib.XGetSelectionOwner(connection, xlib.XInternAtom(connection, selection.encode(), 0)) != 0
    finally:
        xlib.XCloseDisplay(connection)


class Screen:
    """An Xvfb server of our own, 1440 by 900 by default, with no window manager. With
    compositor=True it has the Composite extension and xcompmgr running, so that a window with
    an alpha channel shows the desktop through its transparent pixels."""

    def __init__(self, width=1440, height=900, compositor=False):
        self.width, self.height = width, height
        self.compositor = None
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp", "-noreset"] + (["+extension", "Composite"] if compositor else []),
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as reader:
            number = reader.readline().strip()
        if not number:
            self.server.kill()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        if compositor:
            self.start_compositor()

    def start_compositor(self):
        """Starts xcompmgr and waits until it owns the compositing manager's selection: an
        application that starts before then takes the screen for one without."""
        with tempfile.TemporaryFile() as log:
            self.compositor = subprocess.Popen(["xcompmgr"], env=self.env(), stdout=subprocess.DEVNULL, stderr=log)
            owned = wait_for(lambda: self.compositor.poll() is not None
                             or selection_owned(self.display, "_NET_WM_CM_S0"), 10)
            if owned and self.compositor.poll() is None:
                return
            log.seek(0)
            error = log.read().decode("utf-8", "replace").strip()
        self.close()
        raise RuntimeError("xcompmgr is not running: %s" % (error or "it never took the selection"))

    def env(self, **extra):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env.update(extra)
        return env

    def run(self, *args):
        return subprocess.run(list(args), env=self.env(), capture_output=True, text=True)

    def screenshot(self):
        result = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.env(),
                                capture_output=True, check=True)
        return Image(result.stdout)

    def move(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y))

    def click(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y), "click", "1")

    def press(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y), "mousedown", "1")

    def release(self):
        self.run("xdotool", "mouseup", "1")

    def key(self, keys):
        self.run("xdotool", "key", keys)

    def close(self):
        if self.compositor is not None:
            terminate(self.compositor)
            self.compositor = None
        terminate(self.server)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Bundle:
    """A copy of the application's bundle in a folder of its own, with the manifest given (or
    none). The executable is a hard link or a copy, never a symbolic link: the application finds
    its bundle from its executable's real path."""

    def __init__(self, manifest=None, folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix="orvanta-bundle-")
        self.path = os.path.join(self.folder, PRODUCT_NAME + ".app")
        macos = os.path.join(self.path, "Contents", "MacOS")
        resources = os.path.join(self.path, "Contents", "Resources")
        os.makedirs(macos)
        os.makedirs(resources)
        self.executable = os.path.join(macos, PRODUCT_NAME)
        source = built_executable()
        try:
            os.link(source, self.executable)
        except OSError:
            shutil.copy2(source, self.executable)
        if manifest is not None:
            with open(os.path.join(resources, "uninstaller_info.xml"), "w", encoding="utf-8") as f:
                f.write(manifest)

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


class App:
    """One running copy of the application on a screen. Standard output and error go to files,
    so that a test can read them once the process has ended. Register stop() as a clean-up: it
    fails the test if the framework reported an assertion during the run."""

    def __init__(self, screen, executable, args=(), path_prefix=None, cwd=None, home=None):
        self.screen = screen
        self.logs = tempfile.mkdtemp(prefix="orvanta-app-")
        self.stdout_path = os.path.join(self.logs, "stdout")
        self.stderr_path = os.path.join(self.logs, "stderr")
        env = screen.env()
        if path_prefix:
            env["PATH"] = path_prefix + os.pathsep + env.get("PATH", "")
        if home:
            env["HOME"] = home
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen([executable] + list(args), env=env, cwd=cwd,
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.window = None

    def find_window(self, timeout=15):
        """The id of the application's visible window, waiting for it to appear."""
        def search():
            # --all: by default xdotool takes a window that meets any one of the conditions, and
            # so the first window of that name, whichever copy of the application it belongs to.
            result = self.screen.run("xdotool", "search", "--all", "--onlyvisible", "--pid",
                                     str(self.process.pid), "--name", "^" + PRODUCT_NAME + "$")
            ids = result.stdout.split()
            return ids[0] if ids else None
        self.window = wait_for(search, timeout)
        if self.window is None:
            raise AssertionError("no window of process %d appeared" % self.process.pid)
        return self.window

    def has_window(self):
        result = self.screen.run("xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid))
        return bool(result.stdout.split())

    def geometry(self):
        """(x, y, width, height) of the window on the screen."""
        result = self.screen.run("xdotool", "getwindowgeometry", "--shell", self.window or self.find_window())
        values = dict(line.split("=", 1) for line in result.stdout.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def at(self, x, y):
        """Screen position of the point (x, y) in window coordinates."""
        left, top, _, _ = self.geometry()
        return left + x, top + y

    def click(self, x, y):
        self.screen.click(*self.at(x, y))

    def move(self, x, y):
        """Moves the pointer to the window's point (x, y)."""
        self.screen.move(*self.at(x, y))

    def press(self, x, y):
        """Moves the pointer to the window's point (x, y) and holds the first mouse button down."""
        self.screen.press(*self.at(x, y))

    def focus(self):
        """Gives the window the keyboard focus: with no window manager nothing else would."""
        self.screen.run("xdotool", "windowfocus", "--sync", self.window or self.find_window())

    def key(self, keys):
        """Types the xdotool key sequence (e.g. "alt+F4") into the window."""
        self.focus()
        self.screen.key(keys)

    def wait_screen(self, predicate, timeout=10):
        """Waits until predicate(screenshot) is true; that screenshot, or None on time-out."""
        def check():
            shot = self.screen.screenshot()
            return shot if predicate(shot) else None
        return wait_for(check, timeout, interval=0.1)

    def wait_painted(self, x, y, rgb, timeout=10):
        """Waits until the window's point (x, y) shows the colour; the last screenshot, or None."""
        sx, sy = self.at(x, y)

        def painted():
            shot = self.screen.screenshot()
            return shot if shot.pixel(sx, sy) == rgb else None
        return wait_for(painted, timeout, interval=0.1)

    def wait_exit(self, timeout=15):
        """The exit status, or None if the process is still running after the time-out."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def assertions(self):
        """The framework's assertion lines that the run has written to standard error so far."""
        with open(self.stderr_path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
        return [line for line in lines if ASSERTION_MARK in line]

    def stop(self):
        """Ends the run if it is still going, and raises AssertionError with the framework's
        assertion lines if it printed any."""
        if self.process.poll() is None:
            # The framework quits on SIGINT as it does on the close button, so the shutdown runs
            # too: that is where a look-and-feel let go of in the wrong order shows.
            self.process.send_signal(signal.SIGINT)
            if self.wait_exit(5) is None:
                self.process.kill()
                self.process.wait()
        try:
            assertions = self.assertions()
        finally:
            shutil.rmtree(self.logs, ignore_errors=True)
        if assertions:
            raise AssertionError("the application (process %d) reported framework assertions:\n%s"
                                 % (self.process.pid, "\n".join(assertions)))
