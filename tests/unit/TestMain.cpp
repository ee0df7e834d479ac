#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);

    // Components, images and timers need the framework's GUI support and a message thread.
    juce::ScopedJuceInitialiser_GUI gui;
    return RUN_ALL_TESTS();
}
