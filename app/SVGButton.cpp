#include "SVGButton.h"

SVGButton::SVGButton (const juce::String& buttonName, const void* svgData, size_t svgDataSize,
                      juce::Colour offColourToUse, juce::Colour onColourToUse)
    : juce::ToggleButton (buttonName)
    , offColour (offColourToUse)
    , onColour (onColourToUse)
    , drawable (juce::Drawable::createFromImageData (svgData, svgDataSize))
{
    setClickingTogglesState (true);
}

SVGButton::~SVGButton() = default;

void SVGButton::paint (juce::Graphics& g)
{
    // Data that gave no icon gives a button that draws nothing, but still clicks.
    if (drawable == nullptr)
        return;

    if (getToggleState())
        drawable->replaceColour (offColour, onColour);
    else
        drawable->replaceColour (onColour, offColour);

    drawable->draw (g, 1.0f);
}

void SVGButton::resized()
{
    if (drawable == nullptr)
        return;

    const auto area = useCustomBounds ? customBounds.toFloat() : getLocalBounds().toFloat();
    drawable->setTransformToFit (area, juce::RectanglePlacement::fillDestination);
}
