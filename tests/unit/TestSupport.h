#pragma once

#include "UninstallManifest.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace testsupport
{
/** Passes when every channel of the pixel is within the tolerance of the expected ARGB value:
    antialiased edges come out a shade off. */
inline ::testing::AssertionResult isNear (juce::Colour actual, juce::uint32 expectedARGB, int tolerance = 2)
{
    const juce::Colour expected (expectedARGB);
    const auto near = [tolerance] (juce::uint8 a, juce::uint8 b)
    { return std::abs (int (a) - int (b)) <= tolerance; };

    if (near (actual.getAlpha(), expected.getAlpha()) && near (actual.getRed(), expected.getRed())
        && near (actual.getGreen(), expected.getGreen()) && near (actual.getBlue(), expected.getBlue()))
        return ::testing::AssertionSuccess();

    return ::testing::AssertionFailure() << "pixel is " << actual.toString() << ", expected " << expected.toString();
}

/** The smallest rectangle holding every near-white pixel of the area: where a title's ink
    lies. Empty when there is none. */
inline juce::Rectangle<int> findWhiteInk (const juce::Image& image, juce::Rectangle<int> area)
{
    int minX = area.getRight(), maxX = -1, minY = area.getBottom(), maxY = -1;

    for (int y = area.getY(); y < area.getBottom(); ++y)
    {
        for (int x = area.getX(); x < area.getRight(); ++x)
        {
            const auto c = image.getPixelAt (x, y);

            if (c.getAlpha() > 0xc0 && c.getRed() > 0xc0 && c.getGreen() > 0xc0 && c.getBlue() > 0xc0)
            {
                minX = juce::jmin (minX, x);
                maxX = juce::jmax (maxX, x);
                minY = juce::jmin (minY, y);
                maxY = juce::jmax (maxY, y);
            }
        }
    }

    return maxX < 0 ? juce::Rectangle<int>() : juce::Rectangle<int>::leftTopRightBottom (minX, minY, maxX + 1, maxY + 1);
}

/** A manifest's lists as plain strings, for comparing with expected values. */
using Items = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

inline Items toItems (const juce::StringArray& list)
{
    Items items;
    for (const auto& item : list)
        items.push_back (item.toStdString());
    return items;
}

inline Pairs toPairs (const std::vector<LaunchdPlist>& list)
{
    Pairs pairs;
    for (const auto& [name, path] : list)
        pairs.emplace_back (name.toStdString(), path.toStdString());
    return pairs;
}

/** A fresh folder for one test, deleted again after it. */
class TemporaryFolder : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = juce::File::createTempFile ("orvanta-test");
        ASSERT_TRUE (folder.createDirectory());
    }

    void TearDown() override { folder.deleteRecursively(); }

    juce::File folder;
};
} // namespace testsupport
