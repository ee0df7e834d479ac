#include "QueuedXEventPump.h"

// The framework's own opt-in to its X11 classes, for this file alone.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_events/native/juce_linux_EventLoopInternal.h>
#include <juce_gui_basics/juce_gui_basics.h>

QueuedXEventPump::QueuedXEventPump()
{
    startTimer (50);
}

QueuedXEventPump::~QueuedXEventPump()
{
    stopTimer();
}

void QueuedXEventPump::timerCallback()
{
    auto* windowSystem = juce::XWindowSystem::getInstanceWithoutCreating();
    auto* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;

    if (display == nullptr)
        return;

    auto* x11 = juce::X11Symbols::getInstance();
    int connection = -1;

    {
        juce::XWindowSystemUtilities::ScopedXLock xLock;

        // QueuedAlready only counts what Xlib holds: it neither reads nor waits.
        if (x11->xEventsQueued (display, QueuedAlready) > 0)
            connection = x11->xConnectionNumber (display);
    }

    if (connection >= 0)
        juce::LinuxEventLoopInternal::invokeEventLoopCallbackForFd (connection);
}
