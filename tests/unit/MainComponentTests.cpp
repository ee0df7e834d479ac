#include "MainComponent.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace
{
const juce::Colour background (0xff303033);

using testsupport::isNear;

juce::TextButton* findUninstallButton (juce::Component& panel)
{
    for (auto* child : panel.getChildren())
        if (auto* button = dynamic_cast<juce::TextButton*> (child))
            return button;

    return nullptr;
}

juce::Image renderPanel (MainComponent& panel)
{
    juce::Image image (juce::Image::ARGB, panel.getWidth(), panel.getHeight(), true);
    juce::Graphics g (image);
    panel.paintEntireComponent (g, true);
    return image;
}
} // namespace

TEST (MainComponent, ConstructedWithoutManifestHasPanelSizeAndOneStyledButton)
{
    MainComponent panel;

    EXPECT_EQ (panel.getWidth(), 488);
    EXPECT_EQ (panel.getHeight(), 326);
    ASSERT_EQ (panel.getNumChildComponents(), 1);

    auto* button = findUninstallButton (panel);
    ASSERT_NE (button, nullptr);
    EXPECT_EQ (button->getName(), "Uninstall");
    EXPECT_EQ (button->getButtonText(), "Uninstall");
    EXPECT_TRUE (button->isVisible());
    EXPECT_EQ (button->getBounds(), juce::Rectangle<int> (196, 250, 96, 30)) << button->getBounds().toString();
    EXPECT_NE (dynamic_cast<UninstallButtonLNF*> (&button->getLookAndFeel()), nullptr);
    EXPECT_TRUE (static_cast<bool> (button->onClick)); // wired, but never clicked here: it runs a root script
    EXPECT_TRUE (panel.holdsOSXMethods());
}

TEST (MainComponent, ResizedCentresButtonInBottomStrip)
{
    struct Case
    {
        int width, height;
        juce::Rectangle<int> button;
    };

    const std::vector<Case> cases {
        { 488, 326, { 196, 250, 96, 30 } },
        { 489, 326, { 196, 250, 96, 30 } }, // odd remainder dropped
        { 488, 400, { 196, 324, 96, 30 } }, // the strip follows the bottom edge
        { 200, 100, { 52, 35, 96, 30 } }, // lower than the strip: the whole panel is the strip
    };

    MainComponent panel;
    auto* button = findUninstallButton (panel);
    ASSERT_NE (button, nullptr);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.width) + "x" + juce::String (c.height));
        panel.setSize (c.width, c.height);
        EXPECT_EQ (button->getBounds(), c.button) << button->getBounds().toString();
    }
}

TEST (MainComponent, LogoTargetIsCentredHorizontallyAtFixedTop)
{
    struct Case
    {
        int width;
        juce::Rectangle<float> target;
    };

    const std::vector<Case> cases {
        { 488, { 181.0f, 63.0f, 126.0f, 126.0f } },
        { 489, { 181.0f, 63.0f, 126.0f, 126.0f } }, // 489 / 2 is 244
        { 126, { 0.0f, 63.0f, 126.0f, 126.0f } },
        { 100, { -13.0f, 63.0f, 126.0f, 126.0f } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.width);
        const auto target = MainComponent::getLogoTarget (c.width);
        EXPECT_EQ (target, c.target) << target.toString();
    }
}

TEST (MainComponent, PaintsBackgroundLogoAndStyledButton)
{
    MainComponent panel;
    const auto image = renderPanel (panel);

    for (const auto& corner : { juce::Point<int> (0, 0), { 487, 0 }, { 0, 325 }, { 487, 325 } })
    {
        SCOPED_TRACE (corner.toString());
        EXPECT_TRUE (isNear (image.getPixelAt (corner.x, corner.y), background.getARGB(), 0));
    }

    // Between the logo and the button nothing but the background is drawn.
    EXPECT_TRUE (isNear (image.getPixelAt (244, 220), background.getARGB(), 0));

    // The artwork (an orange ring around light marks) scaled by half onto the target.
    struct Probe
    {
        int x, y;
        juce::uint32 colour;
    };

    const std::vector<Probe> logoProbes {
        { 244, 72, 0xffff6f00 }, // ring, top
        { 190, 126, 0xffff6f00 }, // ring, left
        { 298, 126, 0xffff6f00 }, // ring, right
        { 244, 180, 0xffff6f00 }, // ring, bottom
        { 240, 116, 0xffe6e4ea }, // a light mark inside the ring
        { 244, 126, background.getARGB() }, // the artwork's centre is transparent
    };

    for (const auto& p : logoProbes)
    {
        SCOPED_TRACE (juce::String (p.x) + ", " + juce::String (p.y));
        EXPECT_TRUE (isNear (image.getPixelAt (p.x, p.y), p.colour));
    }

    // The button is drawn by its own look: the resting fill, away from the caption.
    EXPECT_TRUE (isNear (image.getPixelAt (199, 253), 0xff6f6d73));
}

TEST (MainComponent, LogoCoversOnlyItsTarget)
{
    MainComponent panel;
    const auto image = renderPanel (panel);
    const auto buttonArea = juce::Rectangle<int> (196, 250, 96, 30);

    // The artwork's opaque part spans 10..242 of its 252 pixels, so at half scale on the target
    // it spans 186..302 across and 68..184 down; everything else outside the button is background.
    juce::Rectangle<int> painted;
    auto first = true;

    for (int y = 0; y < image.getHeight(); ++y)
    {
        for (int x = 0; x < image.getWidth(); ++x)
        {
            if (buttonArea.contains (x, y) || image.getPixelAt (x, y) == background)
                continue;

            const juce::Rectangle<int> pixel (x, y, 1, 1);
            painted = first ? pixel : painted.getUnion (pixel);
            first = false;
        }
    }

    ASSERT_FALSE (first) << "no logo pixel drawn";
    SCOPED_TRACE (painted.toString());
    EXPECT_NEAR (painted.getX(), 186, 1);
    EXPECT_NEAR (painted.getY(), 68, 1);
    EXPECT_NEAR (painted.getRight() - 1, 302, 1);
    EXPECT_NEAR (painted.getBottom() - 1, 184, 1);
    EXPECT_TRUE (MainComponent::getLogoTarget (488).toNearestInt().contains (painted));
}
