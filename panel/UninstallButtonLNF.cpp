#include "UninstallButtonLNF.h"

#include "BinaryData.h"

void UninstallButtonLNF::drawButtonBackground (juce::Graphics& g, juce::Button& button, const juce::Colour&,
                                               bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown)
{
    g.setColour (getFillColour (shouldDrawButtonAsHighlighted, shouldDrawButtonAsDown));
    g.fillRoundedRectangle (button.getLocalBounds().toFloat(), 2.0f);
}

juce::Font UninstallButtonLNF::getTextButtonFont (juce::TextButton&, int buttonHeight)
{
    juce::Font font (juce::Typeface::createSystemTypefaceFor (BinaryData::roboto_regular_ttf,
                                                              static_cast<size_t> (BinaryData::roboto_regular_ttfSize)));
    font.setHeight (getCaptionHeight (buttonHeight));
    return font;
}

juce::Colour UninstallButtonLNF::getFillColour (bool isHighlighted, bool isDown)
{
    if (isDown)
        return juce::Colour (0xffff6f00);

    return isHighlighted ? juce::Colour (0xff918e97) : juce::Colour (0xff6f6d73);
}

float UninstallButtonLNF::getCaptionHeight (int buttonHeight)
{
    return juce::jmin (16.0f, static_cast<float> (buttonHeight) * 0.6f);
}
