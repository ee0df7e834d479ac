#pragma once

#include <juce_events/juce_events.h>

/** Hands on the X events that wait in Xlib's queue while the framework's Linux message loop
    watches only the connection's socket.

    Any request that waits for the server's reply, made outside the loop's handler for that
    socket (a repaint looking for its shared-memory completion event makes one), reads every
    event that has arrived into Xlib's queue. The socket is then empty, so the loop sleeps on
    with those events unhandled until another one comes in: after the last key of a shortcut,
    that can be never. This looks at the queue every 50 ms and has the framework's own handler
    for the socket take what waits there. */
class QueuedXEventPump final : private juce::Timer
{
public:
    QueuedXEventPump();
    ~QueuedXEventPump() override;

private:
    void timerCallback() override;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QueuedXEventPump)
};
