#pragma once

#include "OSXMethods.h"
#include "UninstallButtonLNF.h"
#include "UninstallManifest.h"

/** The window's content: the logo, the "Uninstall" button, and the lists that the bundle's
    uninstall manifest gives it to remove.
*/
class MainComponent final : public juce::Component
{
public:
    MainComponent();
    ~MainComponent() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    /** What a click on "Uninstall" does: composes the script, runs it as root, then quits. */
    void performUninstall();

    /** Where paint() puts the logo for a given width. */
    static juce::Rectangle<float> getLogoTarget (int width);

    /** The lists as they were read, for the script. */
    UninstallManifest getManifest() const;

    /** Whether the panel holds the object that runs the script, as it does once it is built. */
    bool holdsOSXMethods() const;

private:
    juce::TextButton uninstallButton { "Uninstall" };
    juce::String productName;
    juce::StringArray filesToDelete;
    juce::StringArray processesToKill;
    juce::StringArray packagesToForget;
    juce::StringArray kextsToUnload;
    juce::StringArray halDriversToDelete;
    std::vector<LaunchdPlist> launchdPlists;
    std::unique_ptr<OSXMethodsHolder> osxMethods;
    UninstallButtonLNF uninstallButtonLookAndFeel;
    juce::Image logoImage;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
