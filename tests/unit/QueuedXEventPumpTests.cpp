// First: the X11 headers' macros (None, Bool, ...) would clash with it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__

    // The framework's own opt-in to its X11 classes: the test works on the connection it opened.
    #define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
    #include <juce_events/native/juce_linux_EventLoopInternal.h>
    #include <juce_gui_basics/juce_gui_basics.h>

    #include "Main.h"
    #include "QueuedXEventPump.h"

extern char** environ;

namespace juce
{
// One turn of the framework's own message loop: MessageManager runs one only where modal loops
// are allowed, and this build allows none.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
} // namespace juce

namespace
{
// Set, to the display's name, in the child process that runs a test on a display of its own.
const char* const ownDisplayVariable = "ORVANTA_TEST_OWN_DISPLAY";

int ignoreXError (::Display*, XErrorEvent*)
{
    return 0;
}

/** An Xvfb server of our own, which no other client knows of; stopped when this goes. */
class PrivateXServer final
{
public:
    PrivateXServer()
    {
        int ends[2] {};

        if (::pipe2 (ends, O_CLOEXEC) != 0)
            return;

        // The server writes its display number to the one descriptor that it inherits.
        ::fcntl (ends[1], F_SETFD, 0);
        const auto numberOut = std::to_string (ends[1]);
        std::vector<const char*> arguments { "Xvfb", "-displayfd", numberOut.c_str(), "-screen", "0", "640x480x24",
                                             "-nolisten", "tcp", "-noreset", nullptr };
        const auto parent = ::getpid();
        server = ::fork();

        if (server == 0)
        {
            // Ends with this process, even one that a time limit kills.
            if (::prctl (PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
                ::_exit (127);

            const auto nowhere = ::open ("/dev/null", O_WRONLY);
            ::dup2 (nowhere, STDOUT_FILENO);
            ::dup2 (nowhere, STDERR_FILENO);
            ::execvp (arguments[0], const_cast<char**> (arguments.data()));
            ::_exit (127);
        }

        ::close (ends[1]);
        const auto spawned = server > 0;

        std::string number;
        char c = 0;
        pollfd readable { ends[0], POLLIN, 0 };

        while (spawned && ::poll (&readable, 1, 30000) > 0 && ::read (ends[0], &c, 1) == 1 && c != '\n')
            number += c;

        ::close (ends[0]);

        if (! number.empty() && c == '\n')
            display = ":" + number;
    }

    ~PrivateXServer()
    {
        if (server > 0)
        {
            ::kill (server, SIGTERM);
            ::waitpid (server, nullptr, 0);
        }
    }

    std::string display; // empty when the server did not start

private:
    pid_t server = 0;

    JUCE_DECLARE_NON_COPYABLE (PrivateXServer)
};

/** Whether this process is the one to run the test's body: the child that runs it on an X
    server that no other client uses, where nothing sends an event that would hand a stranded one
    on in the pump's place. Elsewhere it starts that server and that child, this same test alone
    with DISPLAY set before the framework connects, and reports the child's result: run with the
    rest of the binary, this process may already be connected to a shared display.
*/
bool onADisplayOfItsOwn()
{
    if (const auto* own = std::getenv (ownDisplayVariable))
    {
        EXPECT_STREQ (std::getenv ("DISPLAY"), own);
        return true;
    }

    PrivateXServer server;

    if (server.display.empty())
    {
        ADD_FAILURE() << "Xvfb did not start";
        return false;
    }

    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const auto filter = std::string ("--gtest_filter=") + test->test_suite_name() + "." + test->name();

    // The child runs this one test as it is, whatever sharding or output this run was given.
    std::vector<std::string> environment { "DISPLAY=" + server.display, std::string (ownDisplayVariable) + "=" + server.display };

    for (auto** variable = environ; *variable != nullptr; ++variable)
        if (std::strncmp (*variable, "DISPLAY=", 8) != 0 && std::strncmp (*variable, "GTEST_", 6) != 0)
            environment.push_back (*variable);

    std::vector<char*> childEnvironment;

    for (auto& variable : environment)
        childEnvironment.push_back (variable.data());

    childEnvironment.push_back (nullptr);

    const std::string self ("/proc/self/exe");
    std::vector<const char*> arguments { self.c_str(), filter.c_str(), nullptr };
    pid_t child = 0;
    int status = 0;

    if (::posix_spawn (&child, self.c_str(), nullptr, nullptr, const_cast<char**> (arguments.data()), childEnvironment.data()) != 0
        || ::waitpid (child, &status, 0) != child)
    {
        ADD_FAILURE() << "could not run the test in a process of its own";
        return false;
    }

    EXPECT_TRUE (WIFEXITED (status) && WEXITSTATUS (status) == 0)
        << "the test failed on display " << server.display << " of its own: its output is above";
    return false;
}

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

class KeyCount final : public juce::KeyListener
{
public:
    bool keyPressed (const juce::KeyPress& key, juce::Component*) override
    {
        if (key.getKeyCode() == 'a')
            ++presses;

        return true;
    }

    int presses = 0;
};

int eventsInXlibsQueue (::Display* display)
{
    juce::XWindowSystemUtilities::ScopedXLock xLock;

    // QueuedAlready only counts what Xlib holds: it neither reads nor waits.
    return juce::X11Symbols::getInstance()->xEventsQueued (display, QueuedAlready);
}

/** Strands one key for the window in Xlib's queue, as a reply that arrives after it does, and
    expects the message loop to hand it on to the window.
*/
void expectAStrandedKeyHandled (::Display* display, juce::Component& window)
{
    auto* x11 = juce::X11Symbols::getInstance();
    const auto windowHandle = reinterpret_cast<::Window> (window.getWindowHandle());
    ASSERT_NE (windowHandle, 0u);

    KeyCount keys;
    window.addKeyListener (&keys);

    // What making the window set off: the framework's own handler takes what waits in the queue,
    // until the queue has stayed empty for a while. Then the key is the only event there.
    const auto never = []
    { return false; };
    auto quietTurns = 0;

    for (auto turn = 0; turn < 200 && quietTurns < 4; ++turn)
    {
        runMessageLoopUntil (never, 50);

        if (eventsInXlibsQueue (display) == 0)
        {
            ++quietTurns;
        }
        else
        {
            quietTurns = 0;
            juce::LinuxEventLoopInternal::invokeEventLoopCallbackForFd (x11->xConnectionNumber (display));
        }
    }

    ASSERT_EQ (quietTurns, 4) << "the window's events never stopped coming";

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
    }

    ASSERT_EQ (eventsInXlibsQueue (display), 1);
    EXPECT_EQ (keys.presses, 0);

    const auto handled = [&]
    { return keys.presses > 0; };
    EXPECT_TRUE (runMessageLoopUntil (handled, 10000)) << "the key was never handled";
    EXPECT_EQ (keys.presses, 1);

    window.removeKeyListener (&keys);
}

/** The framework's connection, set up as an application's is. */
::Display* connectLikeAnApplication()
{
    // Handling a key fills Xlib's keyboard and locale tables, which only its own globals hold.
    // The framework unloads Xlib at exit, after which the leak checker would count them as
    // lost: keep it loaded for the rest of the process.
    if (::dlopen ("libX11.so.6", RTLD_NOW | RTLD_NODELETE) == nullptr)
        return nullptr;

    // Opening it loads the Xlib functions that the test calls.
    auto* display = juce::XWindowSystem::getInstance()->getDisplay();

    // As an application's does: without a window manager, placing a window asks for a property
    // of an atom that doesn't exist yet.
    if (display != nullptr)
        juce::X11Symbols::getInstance()->xSetErrorHandler (ignoreXError);

    return display;
}
} // namespace

TEST (QueuedXEventPump, HandsOnAKeyThatAReplyLeftInXlibsQueue)
{
    if (! onADisplayOfItsOwn())
        return;

    auto* display = connectLikeAnApplication();
    ASSERT_NE (display, nullptr);

    // Never shown, so that nothing paints.
    juce::Component window;
    window.setSize (100, 100);
    window.addToDesktop (0);

    QueuedXEventPump pump;
    expectAStrandedKeyHandled (display, window);
}

TEST (QueuedXEventPump, TheApplicationsWindowRunsOne)
{
    if (! onADisplayOfItsOwn())
        return;

    auto* display = connectLikeAnApplication();
    ASSERT_NE (display, nullptr);

    MainWindow window ("Orvanta Uninstaller");
    expectAStrandedKeyHandled (display, window);
}

#endif
