#include "MainComponent.h"

#include "BinaryData.h"
#include "UninstallScript.h"

#include <iostream>

MainComponent::MainComponent()
    : logoImage (juce::ImageCache::getFromMemory (BinaryData::logo_png, BinaryData::logo_pngSize))
{
    UninstallManifest manifest;

    if (readUninstallManifest (getUninstallManifestFile (getApplicationBundle()), manifest))
    {
        productName = manifest.productName;
        filesToDelete = manifest.filesToDelete;
        processesToKill = manifest.processesToKill;
        packagesToForget = manifest.packagesToForget;
        kextsToUnload = manifest.kextsToUnload;
        halDriversToDelete = manifest.halDriversToDelete;
        launchdPlists = manifest.launchdPlists;
        repaint();
    }

    addAndMakeVisible (uninstallButton);
    uninstallButton.setLookAndFeel (&uninstallButtonLookAndFeel);
    uninstallButton.onClick = [this]
    { performUninstall(); };

    setSize (488, 326);

    osxMethods = std::make_unique<OSXMethodsHolder>();
    osxMethods->instance = createOSXMethods();
}

MainComponent::~MainComponent()
{
    if (osxMethods != nullptr)
    {
        disposeOSXMethods (osxMethods->instance);
        osxMethods.reset();
    }

    uninstallButton.setLookAndFeel (nullptr);
}

void MainComponent::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xff303033));

    if (logoImage.isValid())
        g.drawImage (logoImage, getLogoTarget (getWidth()), juce::RectanglePlacement::fillDestination);
}

void MainComponent::resized()
{
    auto area = getLocalBounds();
    uninstallButton.setBounds (area.removeFromBottom (122).withSizeKeepingCentre (96, 30));
}

juce::Rectangle<float> MainComponent::getLogoTarget (int width)
{
    return { static_cast<float> (width / 2 - 63), 63.0f, 126.0f, 126.0f };
}

UninstallManifest MainComponent::getManifest() const
{
    return { productName, filesToDelete, processesToKill, packagesToForget,
             kextsToUnload, halDriversToDelete, launchdPlists };
}

bool MainComponent::holdsOSXMethods() const
{
    return osxMethods != nullptr && osxMethods->instance != nullptr;
}

void MainComponent::performUninstall()
{
    const auto script = composeUninstallScript (getManifest(), std::cout);

    executeShellScript (osxMethods->instance, script.toRawUTF8());

    juce::Timer::callAfterDelay (500, []
                                 { juce::JUCEApplication::getInstance()->systemRequestedQuit(); });
}
