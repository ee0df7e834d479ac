#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The main window's own title bar: a dark bar with rounded top corners, the title in white
    Roboto, and one circular close button near its left end.
*/
class TitleBarLNF final : public juce::LookAndFeel_V4
{
public:
    TitleBarLNF() = default;
    ~TitleBarLNF() override = default;

    void drawCornerResizer (juce::Graphics&, int w, int h, bool isMouseOver, bool isMouseDragging) override;

    void drawDocumentWindowTitleBar (juce::DocumentWindow&, juce::Graphics&, int w, int h,
                                     int titleSpaceX, int titleSpaceW, const juce::Image* icon,
                                     bool drawTitleTextOnLeft) override;

    juce::Button* createDocumentWindowButton (int buttonType) override;

    void positionDocumentWindowButtons (juce::DocumentWindow&, int titleBarX, int titleBarY,
                                        int titleBarW, int titleBarH, juce::Button* minimiseButton,
                                        juce::Button* maximiseButton, juce::Button* closeButton,
                                        bool positionTitleBarButtonsOnLeft) override;

    /** Where the title starts, for a title `textW` wide (already cut to the title space):
        centred on the whole bar, then kept inside the title space.
    */
    static int getTitleTextX (int barW, int titleSpaceX, int titleSpaceW, int textW, bool drawTitleTextOnLeft);

    /** The title's font: the embedded Roboto at height 16. */
    static juce::Font getTitleFont();

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TitleBarLNF)
};
