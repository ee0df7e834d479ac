#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** A toggle button whose whole look is one SVG icon, recoloured by its toggle state. */
class SVGButton final : public juce::ToggleButton
{
public:
    SVGButton (const juce::String& buttonName, const void* svgData, size_t svgDataSize,
               juce::Colour offColourToUse, juce::Colour onColourToUse);
    ~SVGButton() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    /** The icon, or null when the data gave none. */
    const juce::Drawable* getDrawable() const noexcept { return drawable.get(); }

private:
    bool useCustomBounds = false;
    juce::Rectangle<int> customBounds;
    juce::Colour offColour, onColour;
    std::unique_ptr<juce::Drawable> drawable;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SVGButton)
};
