#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include <cstdlib>

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
