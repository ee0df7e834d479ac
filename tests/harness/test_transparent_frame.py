"""The window's transparent frame under a compositing manager: the window asks for a fully
transparent background and paints only its title bar, with rounded top corners, and its content,
so the desktop shows through the one-pixel frame and outside the bar's rounding while everything
the window draws keeps its colour. Read off one screenshot of the real application, started
without a manifest, on a screen with xcompmgr running and a desktop of a known colour.

The "Uninstall" button is never clicked. Set ORVANTA_SCREENSHOTS to a folder to keep a PNG crop
of the window for a person to look at."""

import ctypes
import ctypes.util
import os
import unittest

import xharness as xh

# Unlike anything the window draws, and unlike xcompmgr's grey for a desktop it cannot read.
DESKTOP = (0x2E, 0x8B, 0x57)
BLACK = (0, 0, 0)
WIDTH, HEIGHT = 490, 354
TITLE_BAR = (0x25, 0x25, 0x28)
BAR = (1, 1, 488, 26)            # in window coordinates, as all positions here
BACKGROUND = (0x30, 0x30, 0x33)
CONTENT = (1, 27, 488, 326)
CLOSE_ICON = (9, 7, 11, 11)
ICON_RING = (0x7B, 0x7B, 0x88)
ICON_CENTRE = (0x27, 0x27, 0x2C)
BUTTON = (197, 277, 96, 30)
BUTTON_AT_REST = (0x6F, 0x6D, 0x73)
BUTTON_SPOT = (BUTTON[0] + 5, BUTTON[1] + BUTTON[3] // 2)


def show_desktop(display, rgb):
    """Makes the desktop one colour the way desktop setters do, as the root window's pixmap named
    by _XROOTPMAP_ID, which is what a compositing manager paints behind the windows; the root's
    own background stays as it is. The pixmap outlives this connection."""
    xlib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XDefaultScreen.argtypes = [ctypes.c_void_p]
    xlib.XRootWindow.restype = ctypes.c_ulong
    xlib.XRootWindow.argtypes = [ctypes.c_void_p, ctypes.c_int]
    xlib.XDefaultDepth.argtypes = [ctypes.c_void_p, ctypes.c_int]
    xlib.XCreatePixmap.restype = ctypes.c_ulong
    xlib.XCreatePixmap.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_uint, ctypes.c_uint, ctypes.c_uint]
    xlib.XCreateGC.restype = ctypes.c_void_p
    xlib.XCreateGC.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_void_p]
    xlib.XSetForeground.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong]
    xlib.XFillRectangle.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                    ctypes.c_uint, ctypes.c_uint]
    xlib.XFreeGC.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int,
                                     ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    xlib.XClearArea.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                ctypes.c_uint, ctypes.c_int]
    xlib.XSetCloseDownMode.argtypes = [ctypes.c_void_p, ctypes.c_int]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xa_pixmap, prop_mode_replace, retain_permanent = 20, 0, 1

    connection = xlib.XOpenDisplay(display.encode())
    if not connection:
        raise RuntimeError("cannot open display %s" % display)
    screen = xlib.XDefaultScreen(connection)
    root = xlib.XRootWindow(connection, screen)
    pixmap = xlib.XCreatePixmap(connection, root, 1, 1, xlib.XDefaultDepth(connection, screen))
    gc = xlib.XCreateGC(connection, pixmap, 0, None)
    # A 24-bit TrueColor screen, as Xvfb's: the pixel value is the colour itself.
    xlib.XSetForeground(connection, gc, (rgb[0] << 16) | (rgb[1] << 8) | rgb[2])
    xlib.XFillRectangle(connection, pixmap, gc, 0, 0, 1, 1)
    xlib.XFreeGC(connection, gc)
    value = ctypes.c_long(pixmap)
    xlib.XChangeProperty(connection, root, xlib.XInternAtom(connection, b"_XROOTPMAP_ID", 0), xa_pixmap, 32,
                         prop_mode_replace, ctypes.byref(value), 1)
    # The exposure has the compositing manager paint the desktop again, with the new pixmap.
    xlib.XClearArea(connection, root, 0, 0, 0, 0, 1)
    xlib.XSetCloseDownMode(connection, retain_permanent)
    xlib.XCloseDisplay(connection)


def frame():
    """Every pixel of the window's one-pixel frame, by side."""
    return {"top": [(x, 0) for x in range(WIDTH)],
            "bottom": [(x, HEIGHT - 1) for x in range(WIDTH)],
            "left": [(0, y) for y in range(HEIGHT)],
            "right": [(WIDTH - 1, y) for y in range(HEIGHT)]}


class TransparentFrameTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        screen = xh.Screen(compositor=True)
        cls.addClassCleanup(screen.close)
        screen.move(0, 0)
        show_desktop(screen.display, DESKTOP)
        # Only the compositing manager paints that colour: the root window itself stays black.
        middle = (screen.width // 2, screen.height // 2)
        if xh.wait_for(lambda: screen.screenshot().pixel(*middle) == DESKTOP, 10) is None:
            raise AssertionError("the compositing manager never painted the desktop")

        bundle = xh.Bundle(manifest=None)
        cls.addClassCleanup(bundle.remove)
        cls.app = xh.App(screen, bundle.executable)
        cls.addClassCleanup(cls.app.stop)
        cls.app.find_window()
        cls.left, cls.top, width, height = cls.app.geometry()
        if (width, height) != (WIDTH, HEIGHT):
            raise AssertionError("the window is %dx%d" % (width, height))

        # Unpainted, a window shows the desktop (with an alpha channel) or black (without); only
        # "something is drawn" is asked of the bar and the button, so that a wrong shade fails
        # the test about it.
        def painted(shot):
            return (shot.pixel(cls.left + 100, cls.top + 4) not in (DESKTOP, BLACK)
                    and shot.pixel(cls.left + 11, cls.top + 37) == BACKGROUND
                    and shot.pixel(cls.left + BUTTON_SPOT[0], cls.top + BUTTON_SPOT[1]) not in (BACKGROUND, BLACK))
        cls.shot = cls.app.wait_screen(painted)
        if cls.shot is None:
            raise AssertionError("the window was never painted")

        folder = os.environ.get("ORVANTA_SCREENSHOTS")
        if folder:
            os.makedirs(folder, exist_ok=True)
            cls.shot.save_png(os.path.join(folder, "composited.png"),
                              crop=(cls.left - 10, cls.top - 10, WIDTH + 20, HEIGHT + 20))

    def pixel(self, x, y):
        """The screenshot's pixel at the window's point (x, y)."""
        return self.shot.pixel(self.left + x, self.top + y)

    def test_desktop_shows_through_the_frame(self):
        for side, points in frame().items():
            with self.subTest(side=side):
                wrong = [(point, self.pixel(*point)) for point in points if self.pixel(*point) != DESKTOP]
                self.assertEqual(len(wrong), 0, "of %d frame pixels these hide the desktop, first %s"
                                 % (len(points), wrong[:3]))

    def test_desktop_shows_outside_the_rounded_corners(self):
        x, y, width, _ = BAR
        right = x + width - 1
        # A radius of 6 leaves the bar's corner pixel and its two neighbours along the edges
        # uncovered; one pixel further along, the edge is straight and the bar fully covers it.
        for point, colour in [((x, y), DESKTOP), ((x + 1, y), DESKTOP), ((x, y + 1), DESKTOP),
                              ((right, y), DESKTOP), ((right - 1, y), DESKTOP), ((right, y + 1), DESKTOP),
                              ((x, y + 6), TITLE_BAR), ((x + 6, y), TITLE_BAR),
                              ((right, y + 6), TITLE_BAR), ((right - 6, y), TITLE_BAR)]:
            with self.subTest(point=point):
                self.assertTrue(xh.close_enough(self.pixel(*point), colour, 2), self.pixel(*point))
        # Where the rounding crosses a pixel, the bar's antialiased edge is blended over the
        # desktop: each channel lies between the two colours, not between the bar's and black.
        for point in [(x + 3, y), (x, y + 3), (right - 3, y), (right, y + 3)]:
            with self.subTest(edge=point):
                pixel = self.pixel(*point)
                self.assertTrue(all(min(d, b) < p < max(d, b) for p, d, b in zip(pixel, DESKTOP, TITLE_BAR)),
                                pixel)

    def test_what_the_window_draws_keeps_its_colours(self):
        bar_x, bar_y, bar_width, bar_height = BAR
        bar_right, bar_bottom = bar_x + bar_width - 1, bar_y + bar_height - 1
        x, y, width, height = CONTENT
        right, bottom = x + width - 1, y + height - 1
        icon_x, icon_y = CLOSE_ICON[0] + CLOSE_ICON[2] // 2, CLOSE_ICON[1] + CLOSE_ICON[3] // 2
        button_right, button_middle = BUTTON[0] + BUTTON[2] - 1, BUTTON[1] + BUTTON[3] // 2
        # (what, point, colour, tolerance): the bar right up to the frame, the content's four
        # corners against the frame, the close icon's ring and centre, the button's fill. Edge
        # pixels of antialiased shapes may come out a shade short of full cover.
        cases = [("bar", (bar_x + 40, bar_y + 12), TITLE_BAR, 0),
                 ("bar", (bar_x + 9, bar_y), TITLE_BAR, 2),
                 ("bar", (bar_right - 9, bar_y), TITLE_BAR, 2),
                 ("bar", (bar_x, bar_y + 12), TITLE_BAR, 2),
                 ("bar", (bar_right, bar_y + 12), TITLE_BAR, 2),
                 ("bar", (bar_x, bar_bottom), TITLE_BAR, 2),
                 ("bar", (bar_right, bar_bottom), TITLE_BAR, 2),
                 ("content", (x, y), BACKGROUND, 0),
                 ("content", (right, y), BACKGROUND, 0),
                 ("content", (x, bottom), BACKGROUND, 0),
                 ("content", (right, bottom), BACKGROUND, 0),
                 ("content", (x + width // 2, y + 150), BACKGROUND, 0),
                 ("icon ring", (icon_x - 4, icon_y), ICON_RING, 0),
                 ("icon ring", (icon_x + 4, icon_y), ICON_RING, 0),
                 ("icon ring", (icon_x, icon_y - 4), ICON_RING, 0),
                 ("icon ring", (icon_x, icon_y + 4), ICON_RING, 0),
                 ("icon centre", (icon_x, icon_y), ICON_CENTRE, 0),
                 ("button", BUTTON_SPOT, BUTTON_AT_REST, 0),
                 ("button", (BUTTON[0], button_middle), BUTTON_AT_REST, 2),
                 ("button", (button_right, button_middle), BUTTON_AT_REST, 2)]
        for what, point, colour, tolerance in cases:
            with self.subTest(what=what, point=point):
                self.assertTrue(xh.close_enough(self.pixel(*point), colour, tolerance), self.pixel(*point))


if __name__ == "__main__":
    unittest.main()
