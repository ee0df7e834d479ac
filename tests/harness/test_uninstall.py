"""End to end: a click on "Uninstall" in the real application, with the commands that the script
names replaced by recording stubs, and every path the manifest names inside a temporary tree.

The script runs as root here, so nothing may reach the real sudo, kextunload, launchctl, pkill,
pkgutil or touch: the stubs stand first on PATH. Only rm is real, and the sudo stub refuses to
run it on anything outside the temporary tree.
"""

import os
import shlex
import shutil
import tempfile
import time
import unittest
from xml.sax.saxutils import escape, quoteattr

import xharness

# Window coordinates: the content starts at (1, 27), the button stands at (196, 250, 96, 30) in it.
BUTTON_CENTRE = (1 + 196 + 48, 27 + 250 + 15)
BUTTON_EDGE = (1 + 196 + 4, 27 + 250 + 4)  # off the caption, inside the rounded corners
BUTTON_FILL = (0x6F, 0x6D, 0x73)

CORE_AUDIO = "/System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist"
STUBBED = ("sudo", "kextunload", "launchctl", "pkill", "pkgutil", "touch")

# The application quits half a second after its script's run returns, by a framework timer.
# The framework's timer thread counts the time the message thread stood blocked in the run against
# a timer started right after it, up to some 300 ms; so the full half second holds from the click,
# which comes before the script, and only some 0.2 s of it from the script's end. Runs end 0.2 to
# 0.5 s after the script, loaded machine or not; a second leaves room for scheduling yet fails a
# quit that waits far longer than it should.
QUIT_AFTER_CLICK_AT_LEAST = 0.4
QUIT_AFTER_SCRIPT_END = (0.1, 1.0)
# With no manifest the script has nothing to run and ends right after the click: half a second
# for the quit, and another second for xdotool's click and the shell's start on a loaded machine.
QUIT_AFTER_EMPTY_SCRIPT_CLICK = (QUIT_AFTER_CLICK_AT_LEAST, 1.5)


def setUpModule():
    # Without root rights the application asks polkit for them, and no one here answers.
    if os.geteuid() != 0:
        raise unittest.SkipTest("the uninstall run needs root here: it runs its script without a prompt only then")


class Stubs:
    """Recording stand-ins for the commands the script calls. Each call appends one record to a
    shared log: the argument count, the command's name and each argument, every field ended by a
    NUL, so that argument lists compare exactly, blanks and line feeds included."""

    def __init__(self, folder, tree, pkgutil_seconds=0):
        self.folder = os.path.join(folder, "bin")
        self.log = os.path.join(folder, "calls")
        self.stamp = os.path.join(folder, "pkgutil-stamp")
        os.makedirs(self.folder)
        record = "printf '%%s\\0' \"$#\" %s \"$@\" >> %s\n"
        for name in STUBBED:
            body = "#!/bin/sh\n" + record % (name, shlex.quote(self.log))
            if name == "pkgutil":
                # The script's last command: its time is when the script ended, near enough.
                if pkgutil_seconds:
                    body += "sleep %s\n" % pkgutil_seconds
                body += "date +%%s.%%N > %s\n" % shlex.quote(self.stamp)
            if name == "sudo":
                body += self._sudo_runs(tree)
            path = os.path.join(self.folder, name)
            with open(path, "w") as f:
                f.write(body)
            os.chmod(path, 0o755)

    @staticmethod
    def _sudo_runs(tree):
        # Runs what it was given, as sudo would, but only the stubs, and rm only on paths that
        # lie inside the tree once made canonical (relative ones from the working directory).
        return ("case \"$1\" in\n"
                "  kextunload|launchctl|pkill|pkgutil|touch) exec \"$@\" ;;\n"
                "  rm) shift\n"
                "      for a in \"$@\"; do\n"
                "        case \"$a\" in -*) continue ;; esac\n"
                "        case \"$(realpath -m -- \"$a\")\" in %s/*) ;; *) exit 99 ;; esac\n"
                "      done\n"
                "      exec rm \"$@\" ;;\n"
                "esac\n"
                "exit 98\n") % shlex.quote(tree)

    def calls(self):
        """Every recorded call, in order, as a tuple (name, argument, ...)."""
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            fields = f.read().split(b"\0")
        if fields[-1] != b"":
            raise AssertionError("the call log ends in the middle of a record: %r" % fields[-1])
        fields = [field.decode("utf-8", "surrogateescape") for field in fields[:-1]]
        calls, i = [], 0
        while i < len(fields):
            count = int(fields[i])
            calls.append(tuple(fields[i + 1:i + 2 + count]))
            i += 2 + count
        return calls

    def script_end(self):
        if not os.path.exists(self.stamp):
            raise AssertionError("the script never reached pkgutil")
        with open(self.stamp) as f:
            return float(f.read())


def manifest_xml(kexts=(), haldrivers=(), plists=(), kill=(), files=(), pkgremove=()):
    """A manifest; each entry is written as given, so that it may carry whitespace around it."""
    def section(tag, entries):
        items = "".join("    <item>%s</item>\n" % escape(entry) for entry in entries)
        return "  <%s>\n%s  </%s>\n" % (tag, items, tag)
    plist_items = "".join("    <item name=%s><path>%s</path></item>\n" % (quoteattr(name), escape(path))
                          for name, path in plists)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<KestraneUninstallerInfo>\n'
            "  <name>Sample Audio Suite</name>\n"
            + section("kexts", kexts) + section("haldrivers", haldrivers)
            + "  <plists>\n" + plist_items + "  </plists>\n"
            + section("kill", kill) + section("files", files) + section("pkgremove", pkgremove)
            + "</KestraneUninstallerInfo>\n")


def make_dir(path, with_content=True):
    os.makedirs(path)
    if with_content:
        os.makedirs(os.path.join(path, "Contents", "Resources"))
        make_file(os.path.join(path, "Contents", "Info.plist"))
        make_file(os.path.join(path, "Contents", "Resources", "data.bin"))


def make_file(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("x\n")


class Run:
    """One run of the application from a bundle of its own, on a screen of its own, with the stubs
    first on PATH, and its working directory and home folder inside the temporary tree."""

    def __init__(self, test, manifest_for, pkgutil_seconds=0):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="orvanta-e2e-"))
        test.addCleanup(shutil.rmtree, self.root, True)
        self.tree = os.path.join(self.root, "tree")
        self.cwd = os.path.join(self.tree, "cwd")
        self.home = os.path.join(self.tree, "home", "someone")
        os.makedirs(self.cwd)
        make_dir(self.home)
        self.stubs = Stubs(self.root, self.tree, pkgutil_seconds)
        manifest = manifest_for(self.tree)
        self.bundle = xharness.Bundle(manifest=manifest)
        test.addCleanup(self.bundle.remove)
        self.screen = xharness.Screen()
        test.addCleanup(self.screen.close)
        self.app = xharness.App(self.screen, self.bundle.executable, path_prefix=self.stubs.folder,
                                cwd=self.cwd, home=self.home)
        test.addCleanup(self.app.stop)

    def click_uninstall(self):
        """Clicks the button once it is painted; the time of the click."""
        self.app.find_window()
        if self.app.wait_painted(*BUTTON_EDGE, BUTTON_FILL) is None:
            raise AssertionError("the Uninstall button was never painted")
        clicked = time.time()
        self.app.click(*BUTTON_CENTRE)
        return clicked

    def wait_exit(self, timeout=20):
        """(exit status, time of exit); the status is None when the process did not end."""
        def ended():
            return self.app.process.poll() is not None
        xharness.wait_for(ended, timeout, interval=0.01)
        return self.app.process.poll(), time.time()

    def stderr(self):
        with open(self.app.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def assert_quit_after_script(self, test, exited):
        """Checks that the application ended within QUIT_AFTER_SCRIPT_END of the script's end."""
        earliest, latest = QUIT_AFTER_SCRIPT_END
        after_end = exited - self.stubs.script_end()
        test.assertGreaterEqual(after_end, earliest, "quit %.3f s after the script ended" % after_end)
        test.assertLessEqual(after_end, latest, "quit %.3f s after the script ended" % after_end)


class UninstallWithManifest(unittest.TestCase):
    """One click with a manifest that names something in every section; the tests below look at
    what that one run did."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        run = Run(_ClassCleanups(cls), cls._manifest)
        cls.run_ = run
        cls.calls_before_click = run.stubs.calls()
        cls.running_before_click = run.app.process.poll() is None
        cls.clicked = run.click_uninstall()
        cls.status, cls.exited = run.wait_exit()
        cls.stdout = run.app.stdout() if cls.status is not None else None
        cls.calls = run.stubs.calls()

    @classmethod
    def _manifest(cls, tree):
        t = lambda *parts: os.path.join(tree, *parts)
        cls.kexts = [t("Extensions", "SampleAudio.kext"), t("Extensions", "Sample Driver.kext")]
        cls.hal = t("HAL", "Sample Audio.driver")
        cls.plist = t("LaunchDaemons", "com.sample.agent.plist")
        cls.files = [t("Applications", "Sample Mixer.app"),
                     t("Presets", "Bob's Presets"),
                     t("Prefs", "com.sample.mixer.plist"),
                     t("Docs", "Notes $HOME & (old).txt"),
                     t("Docs", 'Say "Hi"; then `leave`.txt'),
                     t("apps", "trail blank "),
                     # A folder named ".*": dash would also match "." and ".." with it.
                     t("dotted", "Sample", ".*", "Library")]
        # Entries whose last segment is "." or "..": each names its folder only as an ancestor,
        # and rm refuses what the script gives it, so every folder here stays.
        cls.refused = [(t("apps", "keep", "x", ".."), t("apps", "keep", "x", "..")),
                       (t("apps", "keep2", "."), t("apps", "keep2", ".")),
                       (t("apps", "deep", "x", "..", ".."), t("apps", "deep", "..")),
                       ("~/..", t("home", "someone", ".."))]
        cls.processes = ["SampleMixer", "Sample Helper"]
        cls.packages = ["com.sample.audio.driver", "com.sample.mixer"]

        for kext in cls.kexts:
            make_dir(kext)
        make_dir(cls.hal)
        make_file(cls.plist)
        make_dir(cls.files[0])
        make_dir(cls.files[1], with_content=False)
        make_file(os.path.join(cls.files[1], "Warm Pad.preset"))
        for path in cls.files[2:5]:
            make_file(path)
        make_dir(cls.files[5])
        make_dir(cls.files[6])

        # What a value split at its blanks, or cut at its apostrophe, would hit instead; relative
        # pieces land in the working directory, which must itself survive.
        cls.siblings = [t("Extensions", "Other.kext"), t("Extensions", "Sample"), t("cwd", "Driver.kext"),
                        t("HAL", "Sample"), t("cwd", "Audio.driver"),
                        t("LaunchDaemons", "com.sample.other.plist"),
                        t("Applications", "Sample"), t("Applications", "Sample Mixer Pro.app"),
                        t("cwd", "Mixer.app"), t("Presets", "Bob"), t("Presets", "Bob's"),
                        t("cwd", "Presets"), t("Prefs", "other.plist"), t("Docs", "Notes"),
                        t("cwd", "sentinel"), t("apps", "trail blank"),
                        t("dotted", "Library", "data"), t("dotted", "Sample", "Library", "data"),
                        t("dotted", "Sample", ".hidden", "Library", "data")]
        for path in cls.siblings:
            make_file(path)
        for folder in [t("apps", "keep", "x"), t("apps", "keep2"), t("apps", "deep", "x")]:
            make_dir(folder)
        cls.siblings += [t("apps"), t("apps", "keep"), t("apps", "keep", "x", "Contents"), t("apps", "keep2", "Contents"),
                         t("apps", "deep", "x", "Contents"), t("home"), t("home", "someone", "Contents")]

        return manifest_xml(
            # The second kext and the third file stand on indented lines of their own; the last
            # file ends in a blank before its "/", and only its trimmed text loses that "/".
            kexts=[cls.kexts[0], "\n      %s\n    " % cls.kexts[1]],
            haldrivers=[cls.hal],
            plists=[("Sample Agent", cls.plist)],
            kill=cls.processes,
            files=cls.files[:2] + ["\n      %s\n    " % cls.files[2]] + cls.files[3:5] + [cls.files[5] + "/", cls.files[6]]
            + [entry for entry, _ in cls.refused],
            pkgremove=cls.packages)

    def test_nothing_runs_before_the_click(self):
        self.assertTrue(self.running_before_click)
        self.assertEqual(self.calls_before_click, [])

    def test_exits_with_status_0_about_500_ms_after_the_script_ended(self):
        self.assertEqual(self.status, 0, "stderr:\n" + self.run_.stderr())
        # See QUIT_AFTER_SCRIPT_END on the framework's timer thread.
        self.assertGreaterEqual(self.exited - self.clicked, QUIT_AFTER_CLICK_AT_LEAST)
        self.run_.assert_quit_after_script(self, self.exited)

    def test_listed_paths_are_gone_and_the_others_stay(self):
        self.assertEqual(self.status, 0)
        listed = self.kexts + [self.hal, self.plist] + self.files
        left = [p for p in listed if os.path.lexists(p)]
        lost = [p for p in self.siblings if not os.path.lexists(p)]
        self.assertEqual({"listed, still there": left, "unlisted, gone": lost},
                         {"listed, still there": [], "unlisted, gone": []})

    def test_commands_get_each_value_as_one_argument_in_script_order(self):
        expected = []
        for kext in self.kexts:
            expected += [("sudo", "kextunload", kext), ("kextunload", kext), ("sudo", "rm", "-R", kext)]
        expected += [("sudo", "touch", "/Library/Extensions"), ("touch", "/Library/Extensions"),
                     ("sudo", "launchctl", "unload", CORE_AUDIO), ("launchctl", "unload", CORE_AUDIO),
                     ("sudo", "launchctl", "load", CORE_AUDIO), ("launchctl", "load", CORE_AUDIO),
                     ("sudo", "pkill", "Sample Agent"), ("pkill", "Sample Agent"),
                     ("launchctl", "stop", "-F", self.plist), ("launchctl", "unload", "-F", self.plist),
                     ("sudo", "rm", "-rf", self.plist)]
        for process in self.processes:
            expected += [("sudo", "pkill", process), ("pkill", process)]
        for path in self.files + [path for _, path in self.refused]:
            expected += [("sudo", "rm", "-rf", path)]
        for package in self.packages:
            expected += [("sudo", "pkgutil", "--forget", package), ("pkgutil", "--forget", package)]
        self.assertEqual(self.calls, expected)

    def test_one_console_line_per_kext(self):
        self.assertEqual(self.status, 0)
        self.assertEqual(self.stdout, "".join("Unloading and deleting %s\n" % k for k in self.kexts))


class UninstallWithoutManifest(unittest.TestCase):

    def test_the_fixed_lines_only_run_and_the_app_still_quits(self):
        run = Run(self, lambda tree: None)
        make_file(os.path.join(run.cwd, "sentinel"))
        clicked = run.click_uninstall()
        status, exited = run.wait_exit()
        self.assertEqual(status, 0, "stderr:\n" + run.stderr())
        # The script ran and returned before the deferred quit began counting.
        earliest, latest = QUIT_AFTER_EMPTY_SCRIPT_CLICK
        after_click = exited - clicked
        self.assertGreaterEqual(after_click, earliest, "quit %.3f s after the click" % after_click)
        self.assertLessEqual(after_click, latest, "quit %.3f s after the click" % after_click)
        self.assertEqual(run.stubs.calls(), [])
        self.assertEqual(run.app.stdout(), "")
        self.assertTrue(os.path.exists(os.path.join(run.cwd, "sentinel")))


class UninstallWaitsForTheScript(unittest.TestCase):

    def test_quit_follows_the_end_of_a_slow_script(self):
        # A last command that takes well over the half second: had the run not waited for the
        # script, the application would end before the script does.
        run = Run(self, lambda tree: manifest_xml(pkgremove=["com.sample.slow"]), pkgutil_seconds=1.5)
        run.click_uninstall()
        status, exited = run.wait_exit()
        self.assertEqual(status, 0, "stderr:\n" + run.stderr())
        self.assertEqual(run.stubs.calls(), [("sudo", "pkgutil", "--forget", "com.sample.slow"),
                                             ("pkgutil", "--forget", "com.sample.slow")])
        # After so long a run the timer thread takes up to some 300 ms off the half second (see
        # QUIT_AFTER_SCRIPT_END), so only a part of it is sure from the script's end.
        run.assert_quit_after_script(self, exited)


class _ClassCleanups:
    """Lets Run register its cleanups on a test class, for a run that several tests share."""

    def __init__(self, cls):
        self.cls = cls

    def addCleanup(self, function, *args):
        self.cls.addClassCleanup(function, *args)


if __name__ == "__main__":
    unittest.main()
