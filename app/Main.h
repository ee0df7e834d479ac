#pragma once

#include "TitleBarLNF.h"

#if JUCE_LINUX
    #include "QueuedXEventPump.h"
#endif

/** The application's one window: the uninstall panel under a title bar of its own. */
class MainWindow final : public juce::DocumentWindow
{
public:
    explicit MainWindow (const juce::String& name);
    ~MainWindow() override;

    void closeButtonPressed() override;

private:
    TitleBarLNF titleBarLookAndFeel;
#if JUCE_LINUX
    QueuedXEventPump queuedXEventPump;
#endif

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
};

class KestraneUninstallerApplication final : public juce::JUCEApplication
{
public:
    KestraneUninstallerApplication() = default;

    const juce::String getApplicationName() override { return "Orvanta Uninstaller"; }
    const juce::String getApplicationVersion() override { return "1.0.0"; }
    bool moreThanOneInstanceAllowed() override { return true; }

    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;
    void systemRequestedQuit() override;

private:
    std::unique_ptr<MainWindow> mainWindow;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KestraneUninstallerApplication)
};
