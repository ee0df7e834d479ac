// First: the X11 headers' macros (None, Bool, ...) would clash with it.
#include <gtest/gtest.h>

#include <cstdlib>

#include <dlfcn.h>

#ifdef __linux__

    // The framework's own opt-in to its X11 classes: the test works on the connection it opened.
    #define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
    #include <juce_gui_basics/juce_gui_basics.h>

    #include "QueuedXEventPump.h"

namespace juce
{
// One turn of the framework's own message loop: MessageManager runs one only where modal loops
// are allowed, and this build allows none.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
} // namespace juce

namespace
{
int ignoreXError (::Display*, XErrorEvent*)
{
    return 0;
}

class KeyCounter final : public juce::Component
{
public:
    bool keyPressed (const juce::KeyPress& key) override
    {
        if (key.getKeyCode() == 'a')
            ++presses;

        return true;
    }

    int presses = 0;
};

template <typename Condition>
bool runMessageLoopUntil (Condition condition, int timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (timeoutMs);

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > end)
            return false;

        if (! juce::dispatchNextMessageOnSystemQueue (true))
            juce::Thread::sleep (5);
    }

    return true;
}
} // namespace

TEST (QueuedXEventPump, HandsOnAKeyThatAReplyLeftInXlibsQueue)
{
    const auto* displayName = std::getenv ("DISPLAY");

    if (displayName == nullptr || *displayName == '\0')
        GTEST_SKIP() << "needs an X display: DISPLAY is not set";

    // Handling a key fills Xlib's keyboard and locale tables, which only its own globals hold.
    // The framework unloads Xlib at exit, after which the leak checker would count them as
    // lost: keep it loaded for the rest of the process.
    ASSERT_NE (::dlopen ("libX11.so.6", RTLD_NOW | RTLD_NODELETE), nullptr);

    // The framework's connection; opening it loads the Xlib functions that the test calls.
    auto* display = juce::XWindowSystem::getInstance()->getDisplay();
    ASSERT_NE (display, nullptr);
    auto* x11 = juce::X11Symbols::getInstance();

    // As an application's does: without a window manager, placing a window asks for a property
    // of an atom that doesn't exist yet.
    x11->xSetErrorHandler (ignoreXError);

    // Never shown, so that nothing paints and no other event comes in to hand this one on. With
    // nothing focused, a key goes to the window's own component.
    KeyCounter window;
    window.setSize (100, 100);
    window.addToDesktop (0);
    const auto windowHandle = reinterpret_cast<::Window> (window.getWindowHandle());
    ASSERT_NE (windowHandle, 0u);
    // Let what making the window set off pass first.
    const auto never = []
    { return false; };
    runMessageLoopUntil (never, 200);
    ASSERT_EQ (juce::Component::getCurrentlyFocusedComponent(), nullptr);

    // Another client sends the window a key, and the server has passed it on...
    auto* other = x11->xOpenDisplay (nullptr);
    ASSERT_NE (other, nullptr);
    XEvent key {};
    key.xkey.type = 2; // KeyPress, a name that the framework takes back for its own class
    key.xkey.window = windowHandle;
    key.xkey.root = x11->xDefaultRootWindow (other);
    key.xkey.same_screen = True;
    key.xkey.keycode = x11->xKeysymToKeycode (other, XK_a);
    x11->xSendEvent (other, windowHandle, False, KeyPressMask, &key);
    x11->xCloseDisplay (other);

    // ...before the reply to a request that the application makes outside the loop's handler for
    // its connection, as a repaint does: waiting for that reply reads the key into Xlib's queue
    // and leaves the socket empty.
    {
        juce::XWindowSystemUtilities::ScopedXLock xLock;
        x11->xSync (display, False);
        ASSERT_GT (x11->xEventsQueued (display, QueuedAlready), 0);
    }

    EXPECT_EQ (window.presses, 0);

    QueuedXEventPump pump;
    const auto handled = [&]
    { return window.presses > 0; };
    EXPECT_TRUE (runMessageLoopUntil (handled, 10000)) << "the key was never handled";
    EXPECT_EQ (window.presses, 1);
}

#endif
