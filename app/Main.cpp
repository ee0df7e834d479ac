#include "Main.h"

#include "../panel/MainComponent.h"

MainWindow::MainWindow (const juce::String& name)
    : juce::DocumentWindow (name, juce::Colours::transparentBlack, juce::DocumentWindow::closeButton, true)
{
#if ! JUCE_MAC
    // The title space, and so the title's place, assumes the buttons are counted from the left,
    // which is the framework's default on macOS only.
    setTitleBarButtonsRequired (juce::DocumentWindow::closeButton, true);
#endif

    setUsingNativeTitleBar (false);
    setLookAndFeel (&titleBarLookAndFeel);
    setContentOwned (new MainComponent(), true);
    setResizable (false, false);
    centreWithSize (getWidth(), getHeight());
    setVisible (true);
}

MainWindow::~MainWindow()
{
    // Let the framework swap in its own title-bar buttons before the look that made ours goes.
    setLookAndFeel (nullptr);
}

void MainWindow::closeButtonPressed()
{
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}

void KestraneUninstallerApplication::initialise (const juce::String&)
{
    mainWindow = std::make_unique<MainWindow> (getApplicationName());
}

void KestraneUninstallerApplication::shutdown()
{
    mainWindow = nullptr;
}

void KestraneUninstallerApplication::anotherInstanceStarted (const juce::String&)
{
}

void KestraneUninstallerApplication::systemRequestedQuit()
{
    juce::MessageManager::getInstance()->stopDispatchLoop();
}
