"""The application's window as a person meets it: where it opens, what it shows, and the ways
of closing it. Every test starts the real application on a screen of its own, without a manifest
so that nothing here can run the uninstall script."""

import os
import subprocess
import tempfile
import unittest

import xharness as xh

# With no window manager the user area is the whole 1440 by 900 screen, so centring a 490 by 354
# window puts it at ((1440 - 490) / 2, (900 - 354) / 2).
WINDOW = (475, 273, 490, 354)
CONTENT = (1, 27, 488, 326)
BACKGROUND = (0x30, 0x30, 0x33)
TITLE_BAR = (0x25, 0x25, 0x28)
LOGO_TARGET = (181, 63, 126, 126)  # in the content's coordinates
CLOSE_BUTTON_CENTRE = (14, 12)
LOGO_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "logo.png")


def window_pixel(shot, window_at, x, y):
    return shot.pixel(window_at[0] + x, window_at[1] + y)


def region(shot, x, y, width, height):
    """The raw RGB bytes of a screen rectangle, to compare two screenshots."""
    rows = []
    for row in range(y, y + height):
        start = (row * shot.width + x) * 3
        rows.append(shot.data[start:start + width * 3])
    return b"".join(rows)


def half_scale_logo():
    """The logo artwork as it should look drawn at half size on the background: each 2 by 2
    block of the 252 by 252 image, laid over the background colour, averaged."""
    ppm = subprocess.run(["convert", LOGO_FILE, "-background", "#303033", "-flatten", "-depth", "8", "ppm:-"],
                         capture_output=True, check=True).stdout
    art = xh.Image(ppm)
    size = art.width // 2
    return [[tuple(sum(art.pixel(2 * i + dx, 2 * j + dy)[c] for dx in (0, 1) for dy in (0, 1)) / 4.0
                   for c in range(3))
             for i in range(size)] for j in range(size)]


class WindowTestCase(unittest.TestCase):
    def setUp(self):
        self.screen = xh.Screen()
        self.addCleanup(self.screen.close)
        # Keep the pointer off the window, so nothing on it shows a hover look.
        self.screen.move(0, 0)
        self.bundle = xh.Bundle(manifest=None)
        self.addCleanup(self.bundle.remove)

    def start(self, args=()):
        app = xh.App(self.screen, self.bundle.executable, args=args)
        self.addCleanup(app.stop)
        app.find_window()
        return app

    def wait_shown(self, app):
        """The first screenshot with both the title bar and the content painted."""
        left, top, _, _ = app.geometry()

        # The bar is only asked to differ from the frame, which shows what lies behind the
        # window, so that a wrong shade fails the test about it rather than every test.
        def shown(shot):
            return (shot.pixel(left + 100, top + 4) != shot.pixel(left, top)
                    and shot.pixel(left + CONTENT[0] + 10, top + CONTENT[1] + 10) == BACKGROUND)
        shot = app.wait_screen(shown)
        self.assertIsNotNone(shot, "the window was never painted")
        return shot

    def assert_quits_cleanly(self, app):
        self.assertEqual(app.wait_exit(15), 0)
        self.assertFalse(app.has_window(), "the window is still on the screen")


class OpeningTest(WindowTestCase):
    def test_opens_centred_at_its_fixed_size(self):
        app = self.start()
        self.assertEqual(app.geometry(), WINDOW)
        shot = self.wait_shown(app)
        # Where the screen itself shows the content's edges: each inside pixel is background,
        # the one beside it outside the content is not.
        left, top = WINDOW[0] + CONTENT[0], WINDOW[1] + CONTENT[1]
        right, bottom = left + CONTENT[2] - 1, top + CONTENT[3] - 1
        middle_x, middle_y = left + 100, top + 150
        for inside, outside in [((left, middle_y), (left - 1, middle_y)),
                                ((right, middle_y), (right + 1, middle_y)),
                                ((middle_x, bottom), (middle_x, bottom + 1))]:
            with self.subTest(inside=inside, outside=outside):
                self.assertEqual(shot.pixel(*inside), BACKGROUND)
                self.assertNotEqual(shot.pixel(*outside), BACKGROUND)
        # The content's top edge meets the title bar.
        self.assertEqual(shot.pixel(middle_x, top), BACKGROUND)
        self.assertEqual(shot.pixel(middle_x, top - 1), TITLE_BAR)

    def test_shows_the_logo_at_half_size_in_its_place(self):
        app = self.start()
        shot = self.wait_shown(app)
        at = app.at(CONTENT[0], CONTENT[1])
        x0, y0, size, _ = LOGO_TARGET

        # The orange ring lies 54 pixels out from the logo's centre, in the middle of its width;
        # inside it and just outside the target there is only background.
        centre_x, centre_y = x0 + size // 2, y0 + size // 2
        for dx, dy in [(-54, 0), (54, 0), (0, -54), (0, 54)]:
            with self.subTest(ring=(dx, dy)):
                self.assertTrue(xh.close_enough(window_pixel(shot, at, centre_x + dx, centre_y + dy),
                                             (0xFF, 0x6F, 0x00), 8))
        for x, y in [(centre_x - 35, centre_y), (x0 - 1, centre_y), (x0 + size, centre_y),
                     (centre_x, y0 - 1), (centre_x, y0 + size), (x0 - 1, y0 - 1), (x0 + size, y0 + size)]:
            with self.subTest(background=(x, y)):
                self.assertEqual(window_pixel(shot, at, x, y), BACKGROUND)

        # Pixel by pixel against the artwork: anything placed or scaled even one pixel off
        # disagrees along every edge of the ring and the bars (several hundred pixels).
        expected = half_scale_logo()
        self.assertEqual(len(expected), size)
        wrong = 0
        for j in range(size):
            for i in range(size):
                if not xh.close_enough(window_pixel(shot, at, x0 + i, y0 + j), expected[j][i], 40):
                    wrong += 1
        self.assertLess(wrong, size * size // 100, "%d logo pixels differ from the artwork" % wrong)


class ClosingTest(WindowTestCase):
    def test_close_button_click_quits(self):
        app = self.start()
        self.wait_shown(app)
        app.click(*CLOSE_BUTTON_CENTRE)
        self.assert_quits_cleanly(app)

    def test_alt_f4_quits(self):
        # Alt+F4 is the close button's keyboard shortcut off macOS; with no window manager the
        # window has to be given the focus first.
        app = self.start()
        self.wait_shown(app)
        app.key("alt+F4")
        self.assert_quits_cleanly(app)


class CommandLineTest(WindowTestCase):
    def test_arguments_change_nothing(self):
        plain = self.start()
        baseline = region(self.wait_shown(plain), *WINDOW)
        plain.click(*CLOSE_BUTTON_CENTRE)
        self.assert_quits_cleanly(plain)

        with tempfile.NamedTemporaryFile(suffix=".xml") as some_file:
            for args in [("--foo",), (some_file.name,), ("--foo", some_file.name, "-x", "bar"),
                         ("--help",), ("--version",)]:
                with self.subTest(args=args):
                    self.screen.move(0, 0)
                    app = self.start(args)
                    self.assertEqual(app.geometry(), WINDOW)
                    # Poll: the first paint may still be on its way.
                    same = app.wait_screen(lambda shot: region(shot, *WINDOW) == baseline)
                    self.assertIsNotNone(same, "the window looks different with %r" % (args,))
                    app.click(*CLOSE_BUTTON_CENTRE)
                    self.assert_quits_cleanly(app)


class TwoCopiesTest(WindowTestCase):
    def test_two_copies_run_side_by_side(self):
        first = self.start()
        second = self.start()
        self.assertNotEqual(first.window, second.window)
        for app in (first, second):
            self.assertEqual(app.geometry(), WINDOW)
        self.wait_shown(second)

        # Both open at the same place; the click closes whichever is on top, and only that one.
        second.click(*CLOSE_BUTTON_CENTRE)
        ended = xh.wait_for(lambda: [app for app in (first, second) if app.process.poll() is not None], 15)
        self.assertEqual(len(ended or []), 1, "not exactly one copy quit")
        closed = ended[0]
        survivor = second if closed is first else first
        self.assertEqual(closed.process.returncode, 0)
        self.assertFalse(closed.has_window())

        self.assertTrue(survivor.has_window())
        self.wait_shown(survivor)
        survivor.click(*CLOSE_BUTTON_CENTRE)
        self.assert_quits_cleanly(survivor)


if __name__ == "__main__":
    unittest.main()
