#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The "Uninstall" button's look: a flat, slightly rounded fill by state, and the caption in
    the embedded Roboto at a height that follows the button's.
*/
class UninstallButtonLNF final : public juce::LookAndFeel_V4
{
public:
    UninstallButtonLNF() = default;
    ~UninstallButtonLNF() override = default;

    void drawButtonBackground (juce::Graphics&, juce::Button&, const juce::Colour& backgroundColour,
                               bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown) override;

    juce::Font getTextButtonFont (juce::TextButton&, int buttonHeight) override;

    /** The fill for a state; pressed wins over highlighted, as a pressed button is both. */
    static juce::Colour getFillColour (bool isHighlighted, bool isDown);

    /** The caption height for a button height: the smaller of 16 and 0.6 times it. */
    static float getCaptionHeight (int buttonHeight);

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UninstallButtonLNF)
};
