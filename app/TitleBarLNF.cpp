#include "TitleBarLNF.h"

#include "BinaryData.h"
#include "SVGButton.h"

void TitleBarLNF::drawCornerResizer (juce::Graphics&, int, int, bool, bool)
{
}

void TitleBarLNF::drawDocumentWindowTitleBar (juce::DocumentWindow& window, juce::Graphics& g, int w, int h,
                                              int titleSpaceX, int titleSpaceW, const juce::Image*,
                                              bool drawTitleTextOnLeft)
{
    if (w * h == 0)
        return;

    g.setColour (juce::Colour (0xff252528));

    juce::Path bar;
    bar.addRoundedRectangle (0.0f, 0.0f, static_cast<float> (w), static_cast<float> (h),
                             6.0f, 6.0f, true, true, false, false);
    g.fillPath (bar);

    const auto font = getTitleFont();
    g.setFont (font);

    const auto title = window.getName();
    const auto textW = juce::jmin (titleSpaceW, static_cast<int> (std::ceil (font.getStringWidthFloat (title))));
    const auto textX = getTitleTextX (w, titleSpaceX, titleSpaceW, textW, drawTitleTextOnLeft);

    g.setColour (juce::Colour (0xffffffff));
    g.setOpacity (1.0f);
    g.drawText (title,
                juce::Rectangle<float> (static_cast<float> (textX), 0.0f, static_cast<float> (textW), static_cast<float> (h)),
                juce::Justification::centredLeft, true);
}

juce::Button* TitleBarLNF::createDocumentWindowButton (int buttonType)
{
    if (buttonType != juce::DocumentWindow::closeButton)
        return nullptr;

    auto* button = new SVGButton ("window_close_btn", BinaryData::close_button_svg,
                                  static_cast<size_t> (BinaryData::close_button_svgSize),
                                  juce::Colours::black, juce::Colours::black);
    button->setSize (11, 11);
    return button;
}

void TitleBarLNF::positionDocumentWindowButtons (juce::DocumentWindow&, int, int, int, int,
                                                 juce::Button*, juce::Button*, juce::Button* closeButton, bool)
{
    if (closeButton != nullptr)
        closeButton->setBounds (9, 7, 11, 11);
}

int TitleBarLNF::getTitleTextX (int barW, int titleSpaceX, int titleSpaceW, int textW, bool drawTitleTextOnLeft)
{
    auto textX = drawTitleTextOnLeft ? titleSpaceX : juce::jmax (titleSpaceX, (barW - textW) / 2);

    if (textX + textW > titleSpaceX + titleSpaceW)
        textX = titleSpaceX + titleSpaceW - textW;

    return textX;
}

juce::Font TitleBarLNF::getTitleFont()
{
    juce::Font font (juce::Typeface::createSystemTypefaceFor (BinaryData::roboto_regular_ttf,
                                                              static_cast<size_t> (BinaryData::roboto_regular_ttfSize)));
    font.setHeight (16.0f);
    return font;
}
