#include "OSXMethods.h"
#include "UninstallScript.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
bool runningAsRoot() { return ::geteuid() == 0; }

using ScratchFolder = testsupport::TemporaryFolder;

// Without root rights the runner asks polkit, which has no agent here; run the shell
// directly then, as the runner itself does for root.
bool runAsTheRunnerWould (const juce::String& source)
{
    if (runningAsRoot())
        return runAppleScriptSource (source);

    juce::String script;
    return readDoShellScriptSource (source, script) && runCommandToCompletion ({ "/bin/sh", "-c", script });
}
} // namespace

TEST (AppleScriptSource, WrapsTheScriptWithItsSpecialCharactersEscaped)
{
    EXPECT_EQ (makeDoShellScriptSource ("echo hi\nexit 0;"), "do shell script \"echo hi\nexit 0;\" with administrator privileges");
    EXPECT_EQ (makeDoShellScriptSource (""), "do shell script \"\" with administrator privileges");
    EXPECT_EQ (makeDoShellScriptSource ("a\"b\\c\\\"d"), "do shell script \"a\\\"b\\\\c\\\\\\\"d\" with administrator privileges");
}

TEST (AppleScriptSource, ReadsBackExactlyWhatWasWrapped)
{
    const juce::StringArray scripts { "", "plain", "a \"quoted\" word", "back\\slash", "\\\"", "\\n is not a line feed",
                                      "line\nfeeds\r\nand\ttabs", "it's 'quoted' ' '", juce::String::fromUTF8 ("caf\xc3\xa9 \xe9\x9f\xb3") };

    for (const auto& script : scripts)
    {
        SCOPED_TRACE (script);
        juce::String read;
        ASSERT_TRUE (readDoShellScriptSource (makeDoShellScriptSource (script), read));
        EXPECT_EQ (read, script);
    }
}

TEST (AppleScriptSource, ReadsTheLiteralAsAppleScriptDoes)
{
    struct Case
    {
        const char* source;
        bool compiles;
        const char* script;
    };

    const std::vector<Case> cases {
        { "do shell script \"a\\nb\\tc\\rd\" with administrator privileges", true, "a\nb\tc\rd" },
        { "do shell script \"say \\\"hi\\\" \\\\ bye\" with administrator privileges", true, "say \"hi\" \\ bye" },
        { "do shell script \"\" with administrator privileges", true, "" },
        { "do shell script \"x\"", false, "" },
        { "do shell script \"x\" with administrator privileges and more", false, "" },
        { "do shell script \"x\" with administrator privileges ", false, "" },
        { "do shell script \"ends \" early\" with administrator privileges", false, "" },
        { "do shell script \"unknown \\q escape\" with administrator privileges", false, "" },
        { "do shell script \"never closed with administrator privileges", false, "" },
        { "do shell script \"trailing backslash\\", false, "" },
        { "display dialog \"x\" with administrator privileges", false, "" },
        { " do shell script \"x\" with administrator privileges", false, "" },
        { "", false, "" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.source);
        juce::String script ("untouched");
        EXPECT_EQ (readDoShellScriptSource (c.source, script), c.compiles);

        if (c.compiles)
        {
            EXPECT_EQ (script, c.script);
        }
    }
}

TEST_F (ScratchFolder, ASourceOfAnyOtherFormRunsNothing)
{
    const auto marker = folder.getChildFile ("ran");
    const auto command = "touch '" + marker.getFullPathName() + "'";

    for (const auto& source : { "do shell script \"" + command + "\"",
                                "do shell script \"" + command + "\" with administrator privileges; beep",
                                "run script \"" + command + "\" with administrator privileges" })
    {
        SCOPED_TRACE (source);
        EXPECT_FALSE (runAppleScriptSource (source));
        EXPECT_FALSE (marker.exists());
    }
}

TEST_F (ScratchFolder, TheResultIsTheShellsExitStatus)
{
    const auto marker = folder.getChildFile ("after failure");

    EXPECT_TRUE (runAsTheRunnerWould (makeDoShellScriptSource ("exit 0")));
    EXPECT_TRUE (runAsTheRunnerWould (makeDoShellScriptSource ("")));
    EXPECT_FALSE (runAsTheRunnerWould (makeDoShellScriptSource ("false")));
    EXPECT_FALSE (runAsTheRunnerWould (makeDoShellScriptSource ("exit 3")));
    EXPECT_FALSE (runAsTheRunnerWould (makeDoShellScriptSource ("kill -9 $$")));
    EXPECT_FALSE (runCommandToCompletion ({ "/nonexistent/program" }));

    // The uninstall script's commands don't stop it: only its last status counts.
    EXPECT_TRUE (runAsTheRunnerWould (makeDoShellScriptSource ("false;\ntouch '" + marker.getFullPathName() + "';\nexit 0;")));
    EXPECT_TRUE (marker.existsAsFile());
}

TEST_F (ScratchFolder, AScriptThatWritesMegabytesDoesNotStallNorReachOurOutput)
{
    const auto marker = folder.getChildFile ("done");
    const auto script = "echo said on stdout; echo said on stderr >&2; head -c 6000000 /dev/zero; head -c 3000000 /dev/zero >&2; touch '"
                        + marker.getFullPathName() + "'";

    // The capture redirects our descriptors 1 and 2, so it also catches what the shell would inherit.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE (runAsTheRunnerWould (makeDoShellScriptSource (script)));
    const auto stderrText = testing::internal::GetCapturedStderr();
    const auto stdoutText = testing::internal::GetCapturedStdout();

    EXPECT_TRUE (marker.existsAsFile());
    EXPECT_TRUE (stdoutText.empty()) << stdoutText.size() << " bytes reached our stdout: " << stdoutText.substr (0, 40);
    EXPECT_TRUE (stderrText.empty()) << stderrText.size() << " bytes reached our stderr: " << stderrText.substr (0, 40);
}

TEST_F (ScratchFolder, TheShellGetsTheScriptAsComposed)
{
    const auto out = folder.getChildFile ("out");
    const juce::String text ("a \"quoted\" back\\slash $HOME `x` it's");
    const auto script = "printf '%s' " + quoteShellValue (text) + " > " + quoteShellValue (out.getFullPathName());

    if (runningAsRoot())
    {
        auto* methods = createOSXMethods();
        EXPECT_TRUE (executeShellScript (methods, script.toRawUTF8()));
        disposeOSXMethods (methods);
    }
    else
    {
        EXPECT_TRUE (runAsTheRunnerWould (makeDoShellScriptSource (script)));
    }

    EXPECT_EQ (out.loadFileAsString(), text);
}

TEST_F (ScratchFolder, TheRunEndsWithTheShellNotWithWhatItLeftRunning)
{
    const auto release = folder.getChildFile ("release");
    const auto ended = folder.getChildFile ("ended");

    // The holder inherits the shell's output and keeps it open until the test lets it go (or
    // half a minute has passed), and writes its marker as it ends; the shell leaves it running and
    // ends a moment later. A runner that waits for the end of the output returns after the marker.
    const auto script = "( i=0; while [ ! -e " + quoteShellValue (release.getFullPathName()) + " ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done; touch "
                        + quoteShellValue (ended.getFullPathName()) + " ) &\nsleep 0.2\nexit 0";

    EXPECT_TRUE (runAsTheRunnerWould (makeDoShellScriptSource (script)));
    const auto holderStillRan = ! ended.exists();

    // Let the holder go and see it end: it really was there, holding the output.
    ASSERT_TRUE (release.create());

    for (int i = 0; i < 600 && ! ended.exists(); ++i)
        juce::Thread::sleep (50);

    EXPECT_TRUE (holderStillRan) << "the run waited for what the shell left running";
    EXPECT_TRUE (ended.exists()) << "the holder never ended";
}

TEST_F (ScratchFolder, TheShellGetsNoDescriptorOfOursBeyondTheStandardThree)
{
    const auto listing = folder.getChildFile ("fds");
    EXPECT_TRUE (runAsTheRunnerWould (makeDoShellScriptSource ("ls /proc/self/fd > '" + listing.getFullPathName() + "'")));

    auto descriptors = juce::StringArray::fromLines (listing.loadFileAsString().trim());
    descriptors.removeString ("0");
    descriptors.removeString ("1");
    descriptors.removeString ("2");
    descriptors.removeString ("3"); // the folder that ls itself reads
    EXPECT_TRUE (descriptors.isEmpty()) << descriptors.joinIntoString (" ");
}

namespace
{
// Runs the real runner as a user without administrator rights, with a recording pkexec first on
// PATH. The stub appends its arguments, NUL-separated, to a log, then does what the case says:
// run them (rights granted) or answer as polkit does when they are not.
class AskingForRights : public ScratchFolder
{
protected:
    static constexpr int couldNotDropRights = 90;

    void SetUp() override
    {
        ScratchFolder::SetUp();
        stubFolder = folder.getChildFile ("bin");
        argumentLog = folder.getChildFile ("pkexec-arguments");
        ASSERT_TRUE (stubFolder.createDirectory());

        // Under root the run drops to nobody, who must be able to write the log and the marker.
        if (runningAsRoot())
        {
            ASSERT_EQ (::chown (folder.getFullPathName().toRawUTF8(), nobody, nobody), 0);
        }
    }

    void installPkexec (const juce::String& afterRecording)
    {
        const auto stub = stubFolder.getChildFile ("pkexec");
        ASSERT_TRUE (stub.replaceWithText ("#!/bin/sh\nprintf '%s\\0' \"$@\" >> " + quoteShellValue (argumentLog.getFullPathName())
                                               + "\n" + afterRecording + "\n",
                                           false, false, "\n"));
        ASSERT_EQ (::chmod (stub.getFullPathName().toRawUTF8(), 0755), 0);
    }

    /** The child's exit status: 0 when runAppleScriptSource() returned true, 1 when false. */
    int runAppleScriptSourceUnprivileged (const juce::String& source)
    {
        return runUnprivileged ([&]
                                { return runAppleScriptSource (source); });
    }

    /** Runs the function in a child without administrator rights, with the stubs first on PATH;
        the child's exit status: 0 when the function returned true, 1 when false.
    */
    int runUnprivileged (const std::function<bool()>& function)
    {
        const auto path = stubFolder.getFullPathName() + ":" + juce::SystemStats::getEnvironmentVariable ("PATH", "/usr/bin:/bin");
        const auto child = ::fork();

        if (child == 0)
        {
            if (runningAsRoot())
            {
                if (::setgroups (0, nullptr) != 0 || ::setgid (nobody) != 0 || ::setuid (nobody) != 0)
                    ::_exit (couldNotDropRights);

                if (::getuid() != nobody || ::geteuid() != nobody || ::getgid() != nobody || ::getegid() != nobody
                    || ::getgroups (0, nullptr) != 0 || ::setuid (0) == 0)
                    ::_exit (couldNotDropRights);
            }

            ::setenv ("PATH", path.toRawUTF8(), 1);
            ::_exit (function() ? 0 : 1);
        }

        int status = 0;

        if (child < 0 || ::waitpid (child, &status, 0) != child || ! WIFEXITED (status))
            return -1;

        return WEXITSTATUS (status);
    }

    static uid_t unprivilegedUser() { return runningAsRoot() ? nobody : ::getuid(); }

    static constexpr uid_t nobody = 65534;
    juce::File stubFolder, argumentLog;
};
} // namespace

TEST_F (AskingForRights, TheShellRunsThroughPkexecOnlyWhenItGrantsThem)
{
    struct Case
    {
        const char* polkit;
        const char* stubEnding;
        bool granted;
    };

    const std::vector<Case> cases {
        { "grants", "exec \"$@\"", true },
        { "denies", "exit 127", false },
        { "is dismissed", "exit 126", false },
    };

    const auto marker = folder.getChildFile ("ran as");
    const auto script = juce::String::fromUTF8 ("# it's a \"quoted\" back\\slash,\ttabbed, caf\xc3\xa9\nid -u > ")
                        + quoteShellValue (marker.getFullPathName());

    const auto utf8 = script.toStdString();
    const auto expectedArguments = std::string ("/bin/sh") + '\0' + "-c" + '\0' + utf8 + '\0';

    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::string ("polkit ") + c.polkit);
        argumentLog.deleteFile();
        marker.deleteFile();
        installPkexec (c.stubEnding);

        const auto exitStatus = runAppleScriptSourceUnprivileged (makeDoShellScriptSource (script));
        ASSERT_NE (exitStatus, couldNotDropRights) << "the child could not become uid " << nobody;
        EXPECT_EQ (exitStatus, c.granted ? 0 : 1);

        juce::MemoryBlock logged;
        argumentLog.loadFileAsData (logged);
        EXPECT_EQ (std::string (static_cast<const char*> (logged.getData()), logged.getSize()), expectedArguments);

        if (c.granted)
        {
            EXPECT_EQ (marker.loadFileAsString().trim(), juce::String (unprivilegedUser()));
        }
        else
        {
            EXPECT_FALSE (marker.exists());
        }
    }
}

namespace
{
// As the panel runs its script: through the object it made, or through none if it made none.
bool executeAsThePanelDoes (bool withObject, const juce::String& script)
{
    auto* methods = withObject ? createOSXMethods() : nullptr;
    const auto succeeded = executeShellScript (methods, script.toRawUTF8());
    disposeOSXMethods (methods);
    return succeeded;
}
} // namespace

TEST_F (AskingForRights, WithoutAnObjectNothingRuns)
{
    installPkexec ("exec \"$@\"");
    const auto marker = folder.getChildFile ("ran");
    const auto script = "touch " + quoteShellValue (marker.getFullPathName());

    for (const auto withObject : { true, false })
    {
        SCOPED_TRACE (withObject ? "an object" : "none");
        argumentLog.deleteFile();
        marker.deleteFile();

        const auto exitStatus = runUnprivileged ([&]
                                                 { return executeAsThePanelDoes (withObject, script); });

        ASSERT_NE (exitStatus, couldNotDropRights) << "the child could not become uid " << nobody;
        EXPECT_EQ (exitStatus, withObject ? 0 : 1);
        EXPECT_EQ (marker.exists(), withObject);
        EXPECT_EQ (argumentLog.exists(), withObject) << "pkexec was asked";
    }
}
