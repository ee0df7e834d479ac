#include "OSXMethods.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace
{
const char* const sourceStart = "do shell script \"";
const char* const sourceEnd = " with administrator privileges";

// A process can hold its own pipe open across the spawn, so every descriptor that we make
// is close-on-exec and only the duplicates in the child stay open.
struct Pipe
{
    Pipe() { valid = ::pipe2 (ends, O_CLOEXEC) == 0; }
    ~Pipe()
    {
        closeEnd (0);
        closeEnd (1);
    }

    void closeEnd (int index)
    {
        if (valid && ends[index] >= 0)
            ::close (ends[index]);

        ends[index] = -1;
    }

    int ends[2] { -1, -1 };
    bool valid = false;
};

class OSXMethods final
{
public:
    OSXMethods() = default;

    bool executeShellScript (const juce::String& script)
    {
        return runAppleScriptSource (makeDoShellScriptSource (script));
    }

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OSXMethods)
};
} // namespace

void* createOSXMethods()
{
    return new OSXMethods();
}

void disposeOSXMethods (void* osxMethods)
{
    delete static_cast<OSXMethods*> (osxMethods);
}

bool executeShellScript (void* osxMethods, const char* utf8Script)
{
    // As a message to nil is on macOS: nothing runs, and the answer is no.
    if (osxMethods == nullptr)
        return false;

    return static_cast<OSXMethods*> (osxMethods)->executeShellScript (juce::String::fromUTF8 (utf8Script));
}

bool readDoShellScriptSource (const juce::String& source, juce::String& script)
{
    const auto text = source.toStdString();
    const std::string start (sourceStart);

    if (text.compare (0, start.size(), start) != 0)
        return false;

    std::string literal;

    for (auto i = start.size(); i < text.size(); ++i)
    {
        const auto c = text[i];

        if (c == '"')
        {
            if (text.compare (i + 1, std::string::npos, sourceEnd) != 0)
                return false;

            script = juce::String::fromUTF8 (literal.data(), static_cast<int> (literal.size()));
            return true;
        }

        if (c != '\\')
        {
            literal += c;
            continue;
        }

        if (++i == text.size())
            return false;

        switch (text[i])
        {
            case '\\':
                literal += '\\';
                break;
            case '"':
                literal += '"';
                break;
            case 'n':
                literal += '\n';
                break;
            case 't':
                literal += '\t';
                break;
            case 'r':
                literal += '\r';
                break;
            default:
                return false; // AppleScript knows no other escape
        }
    }

    return false; // the string literal never ends
}

bool runCommandToCompletion (const juce::StringArray& arguments)
{
    if (arguments.isEmpty())
        return false;

    std::vector<std::string> storage;
    for (const auto& argument : arguments)
        storage.push_back (argument.toStdString());

    std::vector<char*> argv;
    for (auto& argument : storage)
        argv.push_back (argument.data());

    argv.push_back (nullptr);

    Pipe output;

    if (! output.valid)
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2 (&actions, output.ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2 (&actions, output.ends[1], STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
    // The script runs as root: it gets nothing of ours but these three.
    posix_spawn_file_actions_addclosefrom_np (&actions, STDERR_FILENO + 1);
#endif

    pid_t child = 0;
    const auto spawned = posix_spawnp (&child, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy (&actions);
    output.closeEnd (1);

    if (! spawned)
        return false;

    // Drain the output while the shell runs, so that a chatty script never blocks on a full
    // pipe; stop when the shell has ended, even if something it started keeps the pipe open.
    char buffer[8192];
    int status = 0;
    bool outputOpen = true, exited = false;

    while (outputOpen && ! exited)
    {
        const auto ended = ::waitpid (child, &status, WNOHANG);

        if (ended < 0 && errno != EINTR)
            return false;

        exited = ended == child;

        pollfd readable { output.ends[0], POLLIN, 0 };

        if (! exited && ::poll (&readable, 1, 50) > 0)
        {
            const auto numRead = ::read (output.ends[0], buffer, sizeof (buffer));
            outputOpen = numRead > 0 || (numRead < 0 && errno == EINTR);
        }
    }

    while (! exited && ::waitpid (child, &status, 0) < 0)
        if (errno != EINTR)
            return false;

    return WIFEXITED (status) && WEXITSTATUS (status) == 0;
}

bool runAppleScriptSource (const juce::String& source)
{
    juce::String script;

    if (! readDoShellScriptSource (source, script))
        return false;

    // As "do shell script" does: /bin/sh -c with the text as one argument. Administrator rights
    // come from polkit's prompt, unless this process already has them.
    juce::StringArray arguments { "/bin/sh", "-c", script };

    if (::geteuid() != 0)
        arguments.insert (0, "pkexec");

    return runCommandToCompletion (arguments);
}
