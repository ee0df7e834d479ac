"""How the window is drawn: the title bar with its rounded top corners, the title, the close
icon and the "Uninstall" button in its three shades. Pixels are read off the real application's
window on a screen of its own, started without a manifest.

The "Uninstall" button is never released over: a click on it runs the uninstall script. Set
ORVANTA_SCREENSHOTS to a folder to keep PNG crops of the window for a person to look at."""

import os
import struct
import subprocess
import unittest

import xharness as xh

BACKGROUND = (0x30, 0x30, 0x33)
TITLE_BAR = (0x25, 0x25, 0x28)
BAR = (1, 1, 488, 26)            # in window coordinates
TITLE_SPACE_START = 78           # in the bar's coordinates
CLOSE_ICON = (9, 7, 11, 11)
ICON_RING = (0x7B, 0x7B, 0x88)
ICON_CENTRE = (0x27, 0x27, 0x2C)
BUTTON = (1 + 196, 27 + 250, 96, 30)
BUTTON_AT_REST = (0x6F, 0x6D, 0x73)
BUTTON_UNDER_POINTER = (0x91, 0x8E, 0x97)
BUTTON_PRESSED = (0xFF, 0x6F, 0x00)
# Near the button's left edge, clear of its rounded corners and of the caption.
BUTTON_SPOT = (BUTTON[0] + 5, BUTTON[1] + BUTTON[3] // 2)
TITLE = xh.PRODUCT_NAME
FONT_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources",
                         "roboto_regular.ttf")


def light_box(pixel, x, y, width, height, background):
    """(left, top, right, bottom), inclusive, of the pixels in the area that white text covers at
    least half-way over the background; None if there are none."""
    threshold = (min(background) + 255) / 2.0
    points = [(i, j) for j in range(y, y + height) for i in range(x, x + width)
              if min(pixel(i, j)) >= threshold]
    if not points:
        return None
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return min(xs), min(ys), max(xs), max(ys)


def font_pixel_size(height):
    """The em size in pixels of the embedded font at the framework's font height, which spans
    the font's ascent plus descent."""
    with open(FONT_FILE, "rb") as f:
        data = f.read()
    tables = {}
    for i in range(struct.unpack(">H", data[4:6])[0]):
        tag, _, offset, _ = struct.unpack(">4sIII", data[12 + 16 * i:28 + 16 * i])
        tables[tag] = offset
    units_per_em = struct.unpack(">H", data[tables[b"head"] + 18:tables[b"head"] + 20])[0]
    ascent, descent = struct.unpack(">hh", data[tables[b"hhea"] + 4:tables[b"hhea"] + 8])
    return height * units_per_em / (ascent - descent)


def ink_size(text, height, background):
    """Width and height of the light pixels of the text in the embedded font, drawn in white on
    the background colour by ImageMagick: what the window's text should measure."""
    ppm = subprocess.run(
        ["convert", "-size", "400x60", "xc:#%02X%02X%02X" % background, "-font", FONT_FILE,
         "-pointsize", "%.3f" % font_pixel_size(height), "-fill", "white", "-annotate", "+20+40", text,
         "-depth", "8", "ppm:-"], capture_output=True, check=True).stdout
    image = xh.Image(ppm)
    left, top, right, bottom = light_box(image.pixel, 0, 0, image.width, image.height, background)
    return right - left + 1, bottom - top + 1


def save_shot(app, shot, name):
    folder = os.environ.get("ORVANTA_SCREENSHOTS")
    if folder:
        os.makedirs(folder, exist_ok=True)
        shot.save_png(os.path.join(folder, name + ".png"), crop=app.geometry())


def start_app(cleanup):
    """A running application with its window painted, the pointer kept off the window; cleanup
    registers what ends it."""
    screen = xh.Screen()
    bundle = xh.Bundle(manifest=None)
    app = xh.App(screen, bundle.executable)
    cleanup(screen.close)
    cleanup(bundle.remove)
    cleanup(app.stop)
    screen.move(0, 0)
    app.find_window()
    left, top, _, _ = app.geometry()

    # Only "something is drawn there" for the bar and the button, so that a wrong shade fails
    # the test about it rather than every test.
    def painted(shot):
        return (shot.pixel(left + 100, top + 4) != shot.pixel(left, top)
                and shot.pixel(left + 11, top + 37) == BACKGROUND
                and shot.pixel(left + BUTTON_SPOT[0], top + BUTTON_SPOT[1]) != BACKGROUND)
    shot = app.wait_screen(painted)
    if shot is None:
        raise AssertionError("the window was never painted")
    return app, shot


class AtRestTest(unittest.TestCase):
    """One window, left alone, read from one screenshot."""

    @classmethod
    def setUpClass(cls):
        cls.app, cls.shot = start_app(cls.addClassCleanup)
        save_shot(cls.app, cls.shot, "at_rest")
        cls.left, cls.top, _, _ = cls.app.geometry()

    def pixel(self, x, y):
        """The screenshot's pixel at the window's point (x, y)."""
        return self.shot.pixel(self.left + x, self.top + y)

    def test_title_bar_fill(self):
        x, y, width, height = BAR
        right, bottom = x + width - 1, y + height - 1
        # Along the top just past the rounded corners, down both sides, and the square
        # bottom corners; all clear of the title and the close icon. The rasteriser may leave an
        # edge pixel a shade short of full cover.
        for point in [(x + 9, y), (x + width // 2, y), (right - 9, y), (x, y + 12), (right, y + 12),
                      (x, bottom), (right, bottom), (x + 40, bottom), (right - 40, y + 12)]:
            with self.subTest(point=point):
                self.assertTrue(xh.close_enough(self.pixel(*point), TITLE_BAR, 2), self.pixel(*point))
        self.assertEqual(self.pixel(x + 40, y + 12), TITLE_BAR)

    def test_top_corners_and_frame_are_not_painted(self):
        # Outside the bar's rounded corners and in the one-pixel frame the window paints
        # nothing of its own: neither the bar nor the content shows there.
        x, y, width, _ = BAR
        for point in [(x, y), (x + width - 1, y), (0, 100), (489, 100), (245, 0), (245, 353), (0, 0)]:
            with self.subTest(point=point):
                self.assertNotIn(self.pixel(*point), (TITLE_BAR, BACKGROUND))

    def test_title_is_white_and_centred_on_the_bar(self):
        x, y, width, height = BAR
        box = light_box(self.pixel, x, y, width, height, TITLE_BAR)
        self.assertIsNotNone(box, "no title text on the bar")
        left, top, right, bottom = box
        self.assertIn((0xFF, 0xFF, 0xFF), {self.pixel(i, j) for i in range(left, right + 1)
                                           for j in range(top, bottom + 1)}, "the title is not white")
        self.assertLessEqual(abs((left + right + 1) / 2.0 - (x + width / 2.0)), 2, box)
        self.assertGreaterEqual(left, x + TITLE_SPACE_START, box)
        self.assertLessEqual(abs((top + bottom + 1) / 2.0 - (y + height / 2.0)), 2, box)
        # Roboto at height 16: another font or size would not measure the same.
        ink_width, ink_height = ink_size(TITLE, 16, TITLE_BAR)
        self.assertLessEqual(abs(right - left + 1 - ink_width), 2, (box, ink_width))
        self.assertLessEqual(abs(bottom - top + 1 - ink_height), 1, (box, ink_height))

    def test_close_icon(self):
        x, y, size, _ = CLOSE_ICON
        cx, cy = x + size // 2, y + size // 2   # the pixel at the icon's centre
        # Pixels well inside the ring (4 from the centre), inside the inner disc (at most 1 from
        # it) and in the icon's square corners, beyond the ring.
        cases = [((cx - 4, cy), ICON_RING), ((cx + 4, cy), ICON_RING),
                 ((cx, cy - 4), ICON_RING), ((cx, cy + 4), ICON_RING),
                 ((cx, cy), ICON_CENTRE), ((cx - 1, cy), ICON_CENTRE), ((cx + 1, cy), ICON_CENTRE),
                 ((cx, cy - 1), ICON_CENTRE), ((cx, cy + 1), ICON_CENTRE),
                 ((x, y), TITLE_BAR), ((x + size - 1, y), TITLE_BAR),
                 ((x, y + size - 1), TITLE_BAR), ((x + size - 1, y + size - 1), TITLE_BAR)]
        for point, colour in cases:
            with self.subTest(point=point):
                self.assertEqual(self.pixel(*point), colour)

    def test_uninstall_button_at_rest(self):
        x, y, width, height = BUTTON
        right, bottom = x + width - 1, y + height - 1
        middle = y + height // 2
        # Fill right up to its edges (short of the rounded corners, and allowing an edge pixel a
        # shade short of full cover), background just beyond.
        for point, colour in [((x, middle), BUTTON_AT_REST), ((right, middle), BUTTON_AT_REST),
                              ((x + 10, y), BUTTON_AT_REST), ((x + 10, bottom), BUTTON_AT_REST),
                              ((x - 1, middle), BACKGROUND), ((right + 1, middle), BACKGROUND),
                              ((x + 10, y - 1), BACKGROUND), ((x + 10, bottom + 1), BACKGROUND)]:
            with self.subTest(point=point):
                self.assertTrue(xh.close_enough(self.pixel(*point), colour, 2), self.pixel(*point))
        self.assertEqual(self.pixel(*BUTTON_SPOT), BUTTON_AT_REST)
        # The caption, white Roboto at height 16, centred on the button.
        box = light_box(self.pixel, x, y, width, height, BUTTON_AT_REST)
        self.assertIsNotNone(box, "no caption on the button")
        left, top, cap_right, cap_bottom = box
        self.assertLessEqual(abs((left + cap_right + 1) / 2.0 - (x + width / 2.0)), 2, box)
        self.assertLessEqual(abs((top + cap_bottom + 1) / 2.0 - (y + height / 2.0)), 2, box)
        ink_width, ink_height = ink_size("Uninstall", 16, BUTTON_AT_REST)
        self.assertLessEqual(abs(cap_right - left + 1 - ink_width), 2, (box, ink_width))
        self.assertLessEqual(abs(cap_bottom - top + 1 - ink_height), 1, (box, ink_height))


class PointerTest(unittest.TestCase):
    """The button's shade follows the pointer."""

    def test_highlight_while_the_pointer_is_over_the_button(self):
        app, _ = start_app(self.addCleanup)
        app.move(*BUTTON_SPOT)
        shot = app.wait_painted(*BUTTON_SPOT, BUTTON_UNDER_POINTER)
        self.assertIsNotNone(shot, "no highlight under the pointer")
        save_shot(app, shot, "under_pointer")
        app.move(BUTTON[0] - 40, BUTTON_SPOT[1])
        self.assertIsNotNone(app.wait_painted(*BUTTON_SPOT, BUTTON_AT_REST), "the highlight stayed")

    def test_pressed_colour_while_held_down(self):
        app, _ = start_app(self.addCleanup)
        app.move(*BUTTON_SPOT)
        self.assertIsNotNone(app.wait_painted(*BUTTON_SPOT, BUTTON_UNDER_POINTER))
        app.press(*BUTTON_SPOT)
        shot = app.wait_painted(*BUTTON_SPOT, BUTTON_PRESSED)
        self.assertIsNotNone(shot, "no pressed colour while held down")
        save_shot(app, shot, "pressed")
        # The button is never let go of: the clean-up ends the application first.


if __name__ == "__main__":
    unittest.main()
