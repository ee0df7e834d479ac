"""tools/run, the command that builds the application and opens its window, run from a copy in a
scratch tree: the installer and cmake are stubs that record their calls, and the bundle's
executable is a stub that records its start. Without a display the real application would crash
as it starts, so the command has to stop before it, with a word of why."""

import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import unittest

import xharness as xh

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "run")
PRESETS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakePresets.json")
EXECUTABLE = os.path.join("build-release", xh.PRODUCT_NAME + ".app", "Contents", "MacOS", xh.PRODUCT_NAME)


def write_script(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def unused_display_number():
    """A local display number with no server, nor the lock or socket of one, nor anything on its
    TCP port, which the client library tries when the socket is not there."""
    for number in range(600, 800):
        if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            if probe.connect_ex(("127.0.0.1", 6000 + number)) != 0:
                return number
    raise RuntimeError("no free display number")


class RunCommandTest(unittest.TestCase):
    def setUp(self):
        self.tree = tempfile.mkdtemp(prefix="orvanta-run-")
        self.addCleanup(shutil.rmtree, self.tree, ignore_errors=True)
        self.run_path = os.path.join(self.tree, "tools", "run")
        os.makedirs(os.path.dirname(self.run_path))
        shutil.copy2(RUN, self.run_path)

        self.installed = os.path.join(self.tree, "installed")
        self.cmake_log = os.path.join(self.tree, "cmake-calls")
        self.started = os.path.join(self.tree, "started")
        write_script(os.path.join(self.tree, "tools", "install-deps"), "#!/bin/sh\ntouch '%s'\n" % self.installed)
        self.bin = os.path.join(self.tree, "bin")
        write_script(os.path.join(self.bin, "cmake"), "#!/bin/sh\necho \"$*\" >> '%s'\n" % self.cmake_log)
        write_script(os.path.join(self.tree, EXECUTABLE),
                     "#!/bin/sh\necho \"$$ $DISPLAY\" > '%s'\n" % self.started)

    def run_command(self, display):
        """(status, standard error, pid) of tools/run with DISPLAY as given (None: unset)."""
        env = dict(os.environ)
        env["PATH"] = self.bin + os.pathsep + env.get("PATH", "")
        env.pop("DISPLAY", None)
        if display is not None:
            env["DISPLAY"] = display
        process = subprocess.Popen([self.run_path], env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                   start_new_session=True)
        try:
            _, stderr = process.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            self.fail("tools/run with DISPLAY=%r never ended" % display)
        return process.returncode, stderr, process.pid

    def assert_built(self):
        self.assertTrue(os.path.exists(self.installed), "tools/install-deps did not run")
        with open(self.cmake_log) as f:
            calls = f.read().splitlines()
        self.assertIn("--preset release", calls)
        self.assertTrue(any(call.startswith("--build --preset release") for call in calls), calls)

    def test_the_release_preset_builds_the_application_where_it_is_started_from(self):
        with open(PRESETS) as f:
            presets = json.load(f)
        configure = {preset["name"]: preset for preset in presets["configurePresets"]}["release"]
        build = {preset["name"]: preset for preset in presets["buildPresets"]}["release"]
        self.assertEqual(configure["binaryDir"], "${sourceDir}/" + EXECUTABLE.split(os.sep)[0])
        self.assertEqual(configure["cacheVariables"]["CMAKE_BUILD_TYPE"], "Release")
        self.assertEqual(build["configurePreset"], "release")
        self.assertIn("OrvantaUninstaller", build.get("targets", ["OrvantaUninstaller"]))

    def test_without_a_display_it_builds_then_says_so_and_fails(self):
        # A server that takes the connection and never answers stands for a display over the
        # network that is gone: the check must not hang on it.
        silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(silent.close)
        for number in range(800, 1000):
            try:
                silent.bind(("127.0.0.1", 6000 + number))
                break
            except OSError:
                continue
        silent.listen(4)
        silent_display = "127.0.0.1:%d" % (silent.getsockname()[1] - 6000)

        for display in [None, "", ":%d" % unused_display_number(), silent_display]:
            with self.subTest(DISPLAY=display):
                for path in (self.installed, self.cmake_log):
                    if os.path.exists(path):
                        os.remove(path)
                status, stderr, _ = self.run_command(display)
                self.assertNotEqual(status, 0)
                self.assert_built()
                self.assertFalse(os.path.exists(self.started), "the application was started")
                lines = stderr.strip().splitlines()
                self.assertEqual(len(lines), 1, stderr)
                self.assertIn("display", lines[0])
                self.assertIn("xvfb-run -a ", lines[0])

    def test_with_a_display_it_builds_and_becomes_the_application(self):
        with xh.Screen() as screen:
            status, stderr, pid = self.run_command(screen.display)
        self.assertEqual(status, 0, stderr)
        self.assert_built()
        with open(self.started) as f:
            # The same process: the command hands over to the application rather than wait for it.
            self.assertEqual(f.read().split(), [str(pid), screen.display])


if __name__ == "__main__":
    unittest.main()
