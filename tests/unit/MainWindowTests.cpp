#include "Main.h"
#include "MainComponent.h"
#include "SVGButton.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include <dlfcn.h>

// Last: its macros (None, Bool, ...) would clash with the headers above.
#include <X11/Xlib.h>

namespace
{
using testsupport::isNear;

int ignoreXError (Display*, XErrorEvent*)
{
    return 0;
}

// The framework gives an application an X error handler that ignores errors, and relies on it:
// without a window manager, placing a window asks for a property of an atom that doesn't exist
// yet. The test process is no application to the framework, so it keeps Xlib's handler, which
// exits. Install the same one, once, for the rest of the process.
void ignoreXErrorsLikeAnApplication()
{
    static const auto installed = []
    {
        auto* xlib = ::dlopen ("libX11.so.6", RTLD_NOW | RTLD_GLOBAL);

        if (xlib == nullptr)
            return false;

        using SetErrorHandler = XErrorHandler (*) (XErrorHandler);
        auto* symbol = ::dlsym (xlib, "XSetErrorHandler");

        if (symbol == nullptr)
            return false;

        reinterpret_cast<SetErrorHandler> (symbol) (ignoreXError);
        return true;
    }();

    ASSERT_TRUE (installed) << "could not reach Xlib to install an X error handler";
}

// Transparent black, which the framework makes opaque where the desktop can't show a window
// that isn't (an X server without a compositing window manager, as under CI).
juce::Colour expectedBackground()
{
    return juce::Desktop::canUseSemiTransparentWindows() ? juce::Colours::transparentBlack
                                                         : juce::Colours::transparentBlack.withAlpha (1.0f);
}

// The window goes on the desktop, so it needs a display; closeButtonPressed() is never called
// here, since it reaches for an application object that the tests don't have.
class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto* display = std::getenv ("DISPLAY");

        if (display == nullptr || *display == '\0')
            GTEST_SKIP() << "MainWindow needs a desktop: DISPLAY is not set";

        ignoreXErrorsLikeAnApplication();
        ASSERT_FALSE (HasFatalFailure());

        window = std::make_unique<MainWindow> ("Orvanta Uninstaller");
    }

    void TearDown() override
    {
        window.reset();
    }

    std::unique_ptr<MainWindow> window;
};
} // namespace

TEST_F (MainWindowTest, OpensVisibleFixedSizeWithPanelAsContent)
{
    EXPECT_EQ (window->getName(), "Orvanta Uninstaller");
    EXPECT_TRUE (window->isVisible());
    EXPECT_TRUE (window->isOnDesktop());
    EXPECT_EQ (window->getWidth(), 490);
    EXPECT_EQ (window->getHeight(), 354);
    EXPECT_FALSE (window->isResizable());
    EXPECT_FALSE (window->isUsingNativeTitleBar());
    EXPECT_EQ (window->getBackgroundColour().toString(), expectedBackground().toString());
    EXPECT_NE (dynamic_cast<TitleBarLNF*> (&window->getLookAndFeel()), nullptr);

    auto* content = window->getContentComponent();
    ASSERT_NE (content, nullptr);
    EXPECT_NE (dynamic_cast<MainComponent*> (content), nullptr);
    EXPECT_EQ (content->getBounds(), juce::Rectangle<int> (1, 27, 488, 326)) << content->getBounds().toString();

    EXPECT_EQ (window->getTitleBarArea(), juce::Rectangle<int> (1, 1, 488, 26)) << window->getTitleBarArea().toString();
}

TEST_F (MainWindowTest, HasOnlyTheIconCloseButtonNearTheLeft)
{
    EXPECT_EQ (window->getMinimiseButton(), nullptr);
    EXPECT_EQ (window->getMaximiseButton(), nullptr);

    auto* close = dynamic_cast<SVGButton*> (window->getCloseButton());
    ASSERT_NE (close, nullptr);
    EXPECT_EQ (close->getName(), "window_close_btn");
    EXPECT_EQ (close->getParentComponent(), window.get());
    EXPECT_EQ (close->getBounds(), juce::Rectangle<int> (9, 7, 11, 11)) << close->getBounds().toString();
    EXPECT_TRUE (close->isVisible());
}

TEST_F (MainWindowTest, IsCentredInTheMainDisplaysUserArea)
{
    const auto* display = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay();
    ASSERT_NE (display, nullptr);

    const auto area = display->userArea;
    const juce::Point<int> expected (area.getX() + area.getWidth() / 2 - 245, area.getY() + area.getHeight() / 2 - 177);

    SCOPED_TRACE ("user area " + area.toString());
    EXPECT_EQ (window->getPosition(), expected) << window->getPosition().toString();
}

TEST_F (MainWindowTest, PaintsTitleBarCloseButtonAndPanelInsideTransparentFrame)
{
    juce::Image image (juce::Image::ARGB, window->getWidth(), window->getHeight(), true);
    {
        juce::Graphics g (image);
        window->paintEntireComponent (g, true);
    }

    // The one-pixel frame has only the background fill: see-through where the desktop allows it.
    const auto frame = expectedBackground().getARGB();
    const auto right = image.getWidth() - 1, bottom = image.getHeight() - 1;

    for (int x = 0; x <= right; ++x)
    {
        ASSERT_TRUE (isNear (image.getPixelAt (x, 0), frame, 0)) << "top edge at " << x;
        ASSERT_TRUE (isNear (image.getPixelAt (x, bottom), frame, 0)) << "bottom edge at " << x;
    }

    for (int y = 0; y <= bottom; ++y)
    {
        ASSERT_TRUE (isNear (image.getPixelAt (0, y), frame, 0)) << "left edge at " << y;
        ASSERT_TRUE (isNear (image.getPixelAt (right, y), frame, 0)) << "right edge at " << y;
    }

    struct Probe
    {
        const char* what;
        int x, y;
        juce::uint32 colour;
    };

    const std::vector<Probe> probes {
        { "title bar", 40, 14, 0xff252528 },
        { "title bar, right end", 480, 14, 0xff252528 },
        { "outside the rounded top-left corner", 1, 1, frame },
        { "outside the rounded top-right corner", 488, 1, frame },
        { "close button centre", 14, 12, 0xff27272c },
        { "close button ring", 14, 8, 0xff7b7b88 },
        { "panel background", 6, 32, 0xff303033 },
        { "uninstall button", 1 + 199, 27 + 253, 0xff6f6d73 },
    };

    for (const auto& p : probes)
    {
        SCOPED_TRACE (p.what);
        EXPECT_TRUE (isNear (image.getPixelAt (p.x, p.y), p.colour, 8));
    }

    // The title is centred on the bar, which it can only be if the close button counts as placed
    // at the left end: the title space then runs from 78 of the bar, 404 wide; with the button
    // counted on the right it would be a few pixels at the bar's start.
    const auto textW = static_cast<int> (std::ceil (TitleBarLNF::getTitleFont().getStringWidthFloat ("Orvanta Uninstaller")));
    const auto textX = 1 + (488 - textW) / 2;
    SCOPED_TRACE ("title " + juce::String (textW) + " wide from " + juce::String (textX));

    const auto ink = testsupport::findWhiteInk (image, { 1, 1, image.getWidth() - 2, 26 });
    const auto minX = ink.getX(), maxX = ink.getRight() - 1;

    ASSERT_FALSE (ink.isEmpty()) << "no title text drawn";
    EXPECT_GE (minX, textX);
    EXPECT_LE (minX, textX + 3);
    EXPECT_LE (maxX, textX + textW);
    EXPECT_GE (maxX, textX + textW - 6);
}
