#include "BinaryData.h"
#include "SVGButton.h"
#include "TitleBarLNF.h"
#include "UninstallButtonLNF.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

namespace
{
const juce::uint32 barColour = 0xff252528;
const juce::uint32 outerGrey = 0xff7b7b88;
const juce::uint32 innerGrey = 0xff27272c;

using testsupport::isNear;

::testing::AssertionResult isFullyTransparent (const juce::Image& image)
{
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (image.getPixelAt (x, y).getAlpha() != 0)
                return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << image.getPixelAt (x, y).toString();

    return ::testing::AssertionSuccess();
}

juce::Image render (juce::Component& component)
{
    juce::Image image (juce::Image::ARGB, component.getWidth(), component.getHeight(), true);
    juce::Graphics g (image);
    component.paintEntireComponent (g, true);
    return image;
}

std::unique_ptr<SVGButton> makeCloseIconButton (juce::Colour offColour, juce::Colour onColour)
{
    auto button = std::make_unique<SVGButton> ("icon", BinaryData::close_button_svg,
                                               static_cast<size_t> (BinaryData::close_button_svgSize),
                                               offColour, onColour);
    button->setSize (11, 11);
    return button;
}

// A window that is never put on the desktop: the looks only read its name.
struct TitleBarLNFOnWindow : public ::testing::Test
{
    juce::DocumentWindow window { "Orvanta Uninstaller", juce::Colours::transparentBlack,
                                  juce::DocumentWindow::closeButton, false };
    TitleBarLNF lnf;

    juce::Image drawBar (int w, int h, int titleSpaceX, int titleSpaceW, const juce::Image* icon = nullptr)
    {
        juce::Image image (juce::Image::ARGB, 488, 26, true);
        juce::Graphics g (image);
        lnf.drawDocumentWindowTitleBar (window, g, w, h, titleSpaceX, titleSpaceW, icon, false);
        return image;
    }
};
} // namespace

//==============================================================================
TEST (TitleBarLNF, TitleTextXCentresOnBarWithinTitleSpace)
{
    struct Case
    {
        const char* name;
        int barW, titleSpaceX, titleSpaceW, textW;
        bool onLeft;
        int expectedX;
    };

    const std::vector<Case> cases {
        { "centred on the bar", 488, 78, 404, 140, false, 174 },
        { "odd remainder dropped", 488, 78, 404, 141, false, 173 },
        { "raised to the title space", 488, 78, 404, 340, false, 78 },
        { "moved left to end at the title space", 488, 6, 200, 150, false, 56 },
        { "cut to the title space", 488, 78, 404, 404, false, 78 },
        { "on the left", 488, 78, 404, 140, true, 78 },
        { "on the left, narrow space", 488, 6, 200, 50, true, 6 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        EXPECT_EQ (TitleBarLNF::getTitleTextX (c.barW, c.titleSpaceX, c.titleSpaceW, c.textW, c.onLeft), c.expectedX);
    }
}

TEST (TitleBarLNF, TitleFontIsRobotoAtSixteen)
{
    const auto font = TitleBarLNF::getTitleFont();

    EXPECT_EQ (font.getTypefaceName(), "Roboto");
    EXPECT_FLOAT_EQ (font.getHeight(), 16.0f);
}

TEST_F (TitleBarLNFOnWindow, DrawsDarkBarWithRoundedTopAndCentredWhiteTitle)
{
    const auto image = drawBar (488, 26, 78, 404);

    // Bar fill, away from the title; bottom corners square, top corners rounded off.
    EXPECT_TRUE (isNear (image.getPixelAt (30, 13), barColour, 0));
    EXPECT_TRUE (isNear (image.getPixelAt (480, 13), barColour, 0));
    // The rasteriser leaves a right edge on a pixel boundary a shade short of opaque.
    EXPECT_TRUE (isNear (image.getPixelAt (0, 25), barColour, 0));
    EXPECT_TRUE (isNear (image.getPixelAt (487, 25), barColour, 3));
    EXPECT_LE (image.getPixelAt (0, 0).getAlpha(), 8);
    EXPECT_LE (image.getPixelAt (487, 0).getAlpha(), 8);

    // The title is centred on the whole bar, not on the title space.
    const auto textW = static_cast<int> (std::ceil (TitleBarLNF::getTitleFont().getStringWidthFloat ("Orvanta Uninstaller")));
    ASSERT_LT (textW, 404);
    const auto textX = (488 - textW) / 2;
    SCOPED_TRACE ("title " + juce::String (textW) + " wide from " + juce::String (textX));

    const auto ink = testsupport::findWhiteInk (image, image.getBounds());
    const auto minX = ink.getX(), maxX = ink.getRight() - 1, minY = ink.getY(), maxY = ink.getBottom() - 1;

    ASSERT_FALSE (ink.isEmpty()) << "no title text drawn";
    EXPECT_GE (minX, textX);
    EXPECT_LE (minX, textX + 3);
    EXPECT_LE (maxX, textX + textW);
    EXPECT_GE (maxX, textX + textW - 6);

    // Vertically centred in the bar.
    EXPECT_NEAR ((minY + maxY) / 2.0, 13.0, 2.0);
}

TEST_F (TitleBarLNFOnWindow, IgnoresTheWindowIcon)
{
    juce::Image icon (juce::Image::ARGB, 16, 16, true);
    icon.clear (icon.getBounds(), juce::Colours::red);

    const auto withIcon = drawBar (488, 26, 78, 404, &icon);
    const auto withoutIcon = drawBar (488, 26, 78, 404);

    for (int y = 0; y < withIcon.getHeight(); ++y)
        for (int x = 0; x < withIcon.getWidth(); ++x)
            ASSERT_EQ (withIcon.getPixelAt (x, y), withoutIcon.getPixelAt (x, y)) << "at " << x << ", " << y;
}

TEST_F (TitleBarLNFOnWindow, EmptyBarDrawsNothing)
{
    struct Case
    {
        int w, h;
    };

    for (const auto& c : std::vector<Case> { { 0, 26 }, { 488, 0 }, { 0, 0 } })
    {
        SCOPED_TRACE (juce::String (c.w) + "x" + juce::String (c.h));
        EXPECT_TRUE (isFullyTransparent (drawBar (c.w, c.h, 78, 404)));
    }
}

TEST (TitleBarLNF, CornerResizerDrawsNothing)
{
    TitleBarLNF lnf;
    juce::Image image (juce::Image::ARGB, 18, 18, true);

    {
        juce::Graphics g (image);
        lnf.drawCornerResizer (g, 18, 18, true, true);
        lnf.drawCornerResizer (g, 18, 18, false, false);
    }

    EXPECT_TRUE (isFullyTransparent (image));
}

TEST (TitleBarLNF, CreatesOnlyTheCloseButton)
{
    TitleBarLNF lnf;

    for (const auto type : { juce::DocumentWindow::minimiseButton, juce::DocumentWindow::maximiseButton })
    {
        SCOPED_TRACE (type);
        std::unique_ptr<juce::Button> button (lnf.createDocumentWindowButton (type));
        EXPECT_EQ (button, nullptr);
    }

    std::unique_ptr<juce::Button> first (lnf.createDocumentWindowButton (juce::DocumentWindow::closeButton));
    std::unique_ptr<juce::Button> second (lnf.createDocumentWindowButton (juce::DocumentWindow::closeButton));

    ASSERT_NE (first, nullptr);
    ASSERT_NE (second, nullptr);
    EXPECT_NE (first.get(), second.get());

    auto* svgButton = dynamic_cast<SVGButton*> (first.get());
    ASSERT_NE (svgButton, nullptr);
    EXPECT_EQ (svgButton->getName(), "window_close_btn");
    EXPECT_EQ (svgButton->getBounds(), juce::Rectangle<int> (0, 0, 11, 11)) << svgButton->getBounds().toString();
    EXPECT_NE (svgButton->getDrawable(), nullptr);
    EXPECT_TRUE (svgButton->getClickingTogglesState());
}

TEST_F (TitleBarLNFOnWindow, PlacesCloseButtonAtFixedSpot)
{
    struct Case
    {
        int x, y, w, h;
        bool onLeft;
    };

    const std::vector<Case> cases {
        { 1, 1, 488, 26, true },
        { 1, 1, 488, 26, false },
        { 40, 50, 100, 10, true },
        { 0, 0, 0, 0, false },
    };

    juce::TextButton minimise, maximise;
    const juce::Rectangle<int> otherBounds (300, 2, 20, 20);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.x) + ", " + juce::String (c.y) + ", " + juce::String (c.w) + ", "
                      + juce::String (c.h) + (c.onLeft ? " left" : " right"));

        std::unique_ptr<juce::Button> close (lnf.createDocumentWindowButton (juce::DocumentWindow::closeButton));
        ASSERT_NE (close, nullptr);
        close->setBounds (100, 100, 30, 30);
        minimise.setBounds (otherBounds);
        maximise.setBounds (otherBounds);

        lnf.positionDocumentWindowButtons (window, c.x, c.y, c.w, c.h, &minimise, &maximise, close.get(), c.onLeft);

        EXPECT_EQ (close->getBounds(), juce::Rectangle<int> (9, 7, 11, 11)) << close->getBounds().toString();
        EXPECT_EQ (minimise.getBounds(), otherBounds);
        EXPECT_EQ (maximise.getBounds(), otherBounds);
    }

    // Without a close button there is nothing to place.
    lnf.positionDocumentWindowButtons (window, 1, 1, 488, 26, &minimise, &maximise, nullptr, true);
    EXPECT_EQ (minimise.getBounds(), otherBounds);
    EXPECT_EQ (maximise.getBounds(), otherBounds);
}

//==============================================================================
TEST (UninstallButtonLNF, CaptionFontIsRobotoFollowingButtonHeight)
{
    struct Case
    {
        int buttonHeight;
        float captionHeight;
    };

    const std::vector<Case> cases {
        { 0, 0.0f },
        { 20, 12.0f },
        { 26, 26.0f * 0.6f }, // single precision, as the look computes it
        { 27, 16.0f },
        { 30, 16.0f }, // the panel's button
    };

    UninstallButtonLNF lnf;
    juce::TextButton button ("Uninstall");

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.buttonHeight);
        EXPECT_FLOAT_EQ (UninstallButtonLNF::getCaptionHeight (c.buttonHeight), c.captionHeight);

        const auto font = lnf.getTextButtonFont (button, c.buttonHeight);
        EXPECT_EQ (font.getTypefaceName(), "Roboto");

        if (c.captionHeight > 0.0f)
        {
            EXPECT_FLOAT_EQ (font.getHeight(), c.captionHeight);
        }
        else
        {
            // The font raises a zero height to its smallest one.
            EXPECT_GT (font.getHeight(), 0.0f);
            EXPECT_LE (font.getHeight(), 0.1f);
        }
    }
}

TEST (UninstallButtonLNF, FillFollowsPressedThenHighlighted)
{
    struct Case
    {
        bool highlighted, down, enabled;
        juce::uint32 fill;
    };

    const std::vector<Case> cases {
        { false, false, true, 0xff6f6d73 },
        { true, false, true, 0xff918e97 },
        { false, true, true, 0xffff6f00 },
        { true, true, true, 0xffff6f00 },
        { true, false, false, 0xff918e97 }, // the enabled state plays no part
    };

    UninstallButtonLNF lnf;
    juce::TextButton button ("Uninstall");
    button.setSize (96, 30);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String ("highlighted ") + (c.highlighted ? "yes" : "no") + ", down " + (c.down ? "yes" : "no")
                      + ", enabled " + (c.enabled ? "yes" : "no"));
        button.setEnabled (c.enabled);

        juce::Image image (juce::Image::ARGB, 96, 30, true);
        {
            juce::Graphics g (image);
            // The colour argument is not the fill.
            lnf.drawButtonBackground (g, button, juce::Colours::green, c.highlighted, c.down);
        }

        EXPECT_TRUE (isNear (image.getPixelAt (48, 15), c.fill, 0));

        // The whole button is filled, edge to edge, with slightly rounded corners; the rasteriser
        // leaves right and bottom edges on a pixel boundary a shade short of opaque.
        EXPECT_TRUE (isNear (image.getPixelAt (0, 15), c.fill, 0));
        EXPECT_TRUE (isNear (image.getPixelAt (95, 15), c.fill, 3));
        EXPECT_TRUE (isNear (image.getPixelAt (48, 0), c.fill, 0));
        EXPECT_TRUE (isNear (image.getPixelAt (48, 29), c.fill, 3));
        EXPECT_LT (image.getPixelAt (0, 0).getAlpha(), 0xff);
        EXPECT_GT (image.getPixelAt (0, 0).getAlpha(), 0);
    }
}

//==============================================================================
TEST (SVGButton, CloseIconLooksTheSameInBothStates)
{
    struct Probe
    {
        int x, y;
        juce::uint32 colour;
    };

    const std::vector<Probe> probes {
        { 5, 5, innerGrey },
        { 5, 1, outerGrey },
        { 1, 5, outerGrey },
        { 9, 5, outerGrey },
        { 0, 0, 0x00000000 }, // outside the disc
    };

    auto button = makeCloseIconButton (juce::Colours::black, juce::Colours::black);

    for (const auto toggled : { false, true, false })
    {
        button->setToggleState (toggled, juce::dontSendNotification);
        const auto image = render (*button);

        for (const auto& p : probes)
        {
            SCOPED_TRACE (juce::String (p.x) + ", " + juce::String (p.y) + (toggled ? " on" : " off"));
            EXPECT_TRUE (isNear (image.getPixelAt (p.x, p.y), p.colour));
        }
    }
}

TEST (SVGButton, RecoloursOffColourWhileOn)
{
    // With the icon's outer grey as the off colour, the outer disc shows the on colour while on.
    auto button = makeCloseIconButton (juce::Colour (outerGrey), juce::Colours::red);

    struct Step
    {
        bool toggled;
        juce::uint32 ring;
    };

    for (const auto& step : std::vector<Step> { { false, outerGrey }, { true, 0xffff0000 }, { false, outerGrey } })
    {
        SCOPED_TRACE (step.toggled ? "on" : "off");
        button->setToggleState (step.toggled, juce::dontSendNotification);
        const auto image = render (*button);

        EXPECT_TRUE (isNear (image.getPixelAt (5, 1), step.ring));
        EXPECT_TRUE (isNear (image.getPixelAt (5, 5), innerGrey));
    }
}

TEST (SVGButton, FitsIconToItsBounds)
{
    struct Case
    {
        int w, h;
        float scale, translateX, translateY;
    };

    const std::vector<Case> cases {
        { 11, 11, 1.0f, 0.0f, 0.0f },
        { 22, 11, 2.0f, 0.0f, -5.5f },
        { 11, 22, 2.0f, -5.5f, 0.0f },
        { 33, 33, 3.0f, 0.0f, 0.0f },
    };

    auto button = makeCloseIconButton (juce::Colours::black, juce::Colours::black);
    ASSERT_NE (button->getDrawable(), nullptr);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.w) + "x" + juce::String (c.h));
        button->setSize (c.w, c.h);

        const auto t = button->getDrawable()->getTransform();
        EXPECT_NEAR (t.mat00, c.scale, 1.0e-4f);
        EXPECT_NEAR (t.mat11, c.scale, 1.0e-4f);
        EXPECT_NEAR (t.mat01, 0.0f, 1.0e-4f);
        EXPECT_NEAR (t.mat10, 0.0f, 1.0e-4f);
        EXPECT_NEAR (t.mat02, c.translateX, 1.0e-4f);
        EXPECT_NEAR (t.mat12, c.translateY, 1.0e-4f);
    }
}

TEST (SVGButton, EmptySizeKeepsLastTransform)
{
    auto button = makeCloseIconButton (juce::Colours::black, juce::Colours::black);
    button->setSize (22, 11);
    const auto fitted = button->getDrawable()->getTransform();

    for (const auto& size : { juce::Point<int> (0, 0), { 22, 0 }, { 0, 11 } })
    {
        SCOPED_TRACE (size.toString());
        button->setSize (size.x, size.y);
        EXPECT_EQ (button->getDrawable()->getTransform(), fitted);
    }
}

TEST (SVGButton, DataWithoutDrawableGivesButtonThatDrawsNothing)
{
    const char notAnImage[] = "not an image";
    SVGButton button ("broken", notAnImage, sizeof (notAnImage) - 1, juce::Colours::black, juce::Colours::black);

    EXPECT_EQ (button.getDrawable(), nullptr);

    button.setSize (11, 11);
    button.setToggleState (true, juce::dontSendNotification);
    EXPECT_TRUE (isFullyTransparent (render (button)));

    button.setSize (22, 11);
    button.setSize (0, 0);
    EXPECT_EQ (button.getDrawable(), nullptr);
}
