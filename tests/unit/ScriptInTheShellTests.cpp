#include "OSXMethods.h"
#include "UninstallScript.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace
{
using Command = std::vector<std::string>; // the program's name, then its arguments

// The shells the script meets: Debian's /bin/sh is dash, and macOS's is bash, which runs as
// "sh" in its POSIX mode and expands more than dash does ("~+", for one).
const char* const shells[] = { "/bin/sh", "bash --posix" };

// Stubs first on PATH record every call and run nothing: the composed script can then name
// any value at all without a real rm, pkill or launchctl ever seeing it. Each test runs in
// each of the shells.
class RecordingStubs : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override
    {
        folder = juce::File::createTempFile ("stubs");
        ASSERT_TRUE (folder.getChildFile ("bin").createDirectory());
        log = folder.getChildFile ("calls.log");

        for (const auto* name : { "sudo", "kextunload", "launchctl", "pkill", "pkgutil", "touch", "rm" })
        {
            const auto stub = folder.getChildFile ("bin").getChildFile (name);
            ASSERT_TRUE (stub.replaceWithText ("#!/bin/sh\n"
                                               "{ printf '%s\\0' \""
                                                   + juce::String (name) + "\" \"$#\"; for a in \"$@\"; do printf '%s\\0' \"$a\"; done; } >> '"
                                                   + log.getFullPathName() + "'\n",
                                               false, false, "\n"));
            ASSERT_TRUE (stub.setExecutePermission (true));
        }

        if (const auto* path = std::getenv ("PATH"))
            previousPath = path;

        ::setenv ("PATH", (folder.getChildFile ("bin").getFullPathName() + ":" + previousPath).toRawUTF8(), 1);

        // Should the quoting ever break, whatever a value makes of the script lands here.
        previousDirectory = juce::File::getCurrentWorkingDirectory();
        ASSERT_TRUE (folder.getChildFile ("cwd").createDirectory());
        ASSERT_TRUE (folder.getChildFile ("cwd").setAsCurrentWorkingDirectory());
    }

    void TearDown() override
    {
        ::setenv ("PATH", previousPath.toRawUTF8(), 1);
        previousDirectory.setAsCurrentWorkingDirectory();
        folder.deleteRecursively();
    }

    bool run (const juce::String& script)
    {
        log.deleteFile();
        const auto source = makeDoShellScriptSource (script);
        const juce::String shell (GetParam());

        // The runner itself runs /bin/sh; without root rights it would ask polkit, so it is
        // left out then.
        if (shell == "/bin/sh" && ::geteuid() == 0)
            return runAppleScriptSource (source);

        juce::String text;

        if (! readDoShellScriptSource (source, text))
            return false;

        auto command = juce::StringArray::fromTokens (shell, false);
        command.add ("-c");
        command.add (text);
        return runCommandToCompletion (command);
    }

    std::vector<Command> calls() const
    {
        juce::MemoryBlock data;
        log.loadFileAsData (data);

        std::vector<std::string> fields;
        std::string field;

        for (size_t i = 0; i < data.getSize(); ++i)
        {
            if (data[i] == 0)
                fields.push_back (std::exchange (field, {}));
            else
                field += data[i];
        }

        std::vector<Command> result;

        for (size_t i = 0; i + 1 < fields.size();)
        {
            Command command { fields[i] };
            const auto count = static_cast<size_t> (std::stoul (fields[i + 1]));
            command.insert (command.end(), fields.begin() + static_cast<std::ptrdiff_t> (i + 2),
                            fields.begin() + static_cast<std::ptrdiff_t> (std::min (fields.size(), i + 2 + count)));
            result.push_back (command);
            i += 2 + count;
        }

        return result;
    }

    juce::File folder, log, previousDirectory;
    juce::String previousPath;
};

// The commands the script should run, in its order, each value trimmed and whole.
std::vector<Command> expectedCalls (const UninstallManifest& m)
{
    std::vector<Command> calls;
    const std::string coreAudio ("/System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist");

    // Each value is trimmed once; a files entry is then made absolute, and nothing more.
    const auto with = [] (Command command, const juce::String& value)
    {
        if (value.isNotEmpty())
            command.push_back (value.toStdString());

        return command;
    };

    for (const auto& kext : m.kextsToUnload)
    {
        calls.push_back (with ({ "sudo", "kextunload" }, kext.trim()));
        calls.push_back (with ({ "sudo", "rm", "-R" }, kext.trim()));
    }

    if (! m.kextsToUnload.isEmpty())
        calls.push_back ({ "sudo", "touch", "/Library/Extensions" });

    for (const auto& driver : m.halDriversToDelete)
        calls.push_back (with ({ "rm", "-R" }, driver.trim()));

    if (! m.halDriversToDelete.isEmpty())
    {
        calls.push_back ({ "sudo", "launchctl", "unload", coreAudio });
        calls.push_back ({ "sudo", "launchctl", "load", coreAudio });
    }

    for (const auto& [name, path] : m.launchdPlists)
    {
        calls.push_back (with ({ "sudo", "pkill" }, name.trim()));
        calls.push_back (with ({ "launchctl", "stop", "-F" }, path.trim()));
        calls.push_back (with ({ "launchctl", "unload", "-F" }, path.trim()));
        calls.push_back (with ({ "sudo", "rm", "-rf" }, path.trim()));
    }

    for (const auto& process : m.processesToKill)
        calls.push_back (with ({ "sudo", "pkill" }, process.trim()));

    for (const auto& file : m.filesToDelete)
        calls.push_back (with ({ "sudo", "rm", "-rf" }, absolutePathForFilesEntry (file)));

    for (const auto& package : m.packagesToForget)
        calls.push_back (with ({ "sudo", "pkgutil", "--forget" }, package.trim()));

    return calls;
}

// Any character at all but the two wildcards, and a tilde that names a home folder: those keep
// their meaning on purpose.
juce::String randomValue (juce::Random& random)
{
    static const char* const multiByte[] = { "\xc3\xa9", "\xe9\x9f\xb3", "\xf0\x9f\x8e\xb5", "\xc2\xa0" };
    static const char special[] = "\"'\\$`;&|()<>[]{}#! \t\n\r~+-0";

    std::string value;
    const auto length = random.nextInt (14);

    for (int i = 0; i < length; ++i)
    {
        switch (random.nextInt (4))
        {
            case 0:
                value += special[random.nextInt (static_cast<int> (sizeof (special) - 1))];
                break;
            case 1:
                value += multiByte[random.nextInt (4)];
                break;
            case 2:
                value += static_cast<char> (1 + random.nextInt (31));
                break;
            default:
            {
                auto c = static_cast<char> (32 + random.nextInt (95));
                value += (c == '*' || c == '?') ? '%' : c;
                break;
            }
        }
    }

    const auto text = juce::String::fromUTF8 (value.data(), static_cast<int> (value.size()));
    const auto trimmed = text.trimStart();
    const auto next = trimmed.length() > 1 ? trimmed[1] : juce::juce_wchar (0);

    // Trimmed, the value starts with the tilde of "~", "~/", "~user" or "~_user".
    if (trimmed.startsWithChar ('~') && (next == 0 || next == '/' || next == '_' || juce::CharacterFunctions::isLetter (next)))
        return text.replaceFirstOccurrenceOf ("~", "%");

    return text;
}
} // namespace

TEST_P (RecordingStubs, TheSampleSuiteRunsItsCommandsInOrder)
{
    UninstallManifest manifest;
    manifest.kextsToUnload.add ("/Library/Extensions/Sample Audio.kext");
    manifest.halDriversToDelete.add ("/Library/Audio/Plug-Ins/HAL/Sample Audio.driver");
    manifest.launchdPlists.emplace_back ("Sample Agent", "/Library/LaunchDaemons/Sample's Agent.plist");
    manifest.processesToKill.add ("Sample Mixer");
    manifest.filesToDelete.add ("/Applications/Sample Mixer & Co (Beta).app");
    manifest.packagesToForget.add ("sample.audio.driver");

    ASSERT_TRUE (run (composeUninstallScript (manifest, std::cout)));
    EXPECT_EQ (calls(), expectedCalls (manifest));
    EXPECT_EQ (calls().at (0), (Command { "sudo", "kextunload", "/Library/Extensions/Sample Audio.kext" }));
}

TEST_P (RecordingStubs, AnyValueReachesItsCommandAsOneArgument)
{
    const auto seed = static_cast<juce::int64> (20261210);
    juce::Random random (seed);
    std::ostringstream console;

    for (int round = 0; round < 40; ++round)
    {
        UninstallManifest manifest;

        for (auto* list : { &manifest.kextsToUnload, &manifest.halDriversToDelete, &manifest.processesToKill,
                            &manifest.filesToDelete, &manifest.packagesToForget })
            for (int i = random.nextInt (3); --i >= 0;)
                list->addIfNotAlreadyThere (randomValue (random));

        for (int i = random.nextInt (3); --i >= 0;)
            manifest.launchdPlists.emplace_back (randomValue (random), randomValue (random));

        const auto script = composeUninstallScript (manifest, console);
        SCOPED_TRACE ("seed " + std::to_string (seed) + ", round " + std::to_string (round) + ", script:\n" + script.toStdString());

        ASSERT_TRUE (run (script));
        ASSERT_EQ (calls(), expectedCalls (manifest));
    }
}

TEST_P (RecordingStubs, EachValueReachesItsCommandAsWritten)
{
    const auto* rootAccount = ::getpwnam ("root");
    ASSERT_NE (rootAccount, nullptr);
    const auto home = juce::SystemStats::getEnvironmentVariable ("HOME", {}).toStdString();
    ASSERT_EQ (home.substr (0, 1), "/");

    // The shell gives a home folder's tilde its meaning, and nothing else: "~+" and "~0" would be
    // the working directory, which the script, run by the platform, has in "/".
    const std::vector<std::pair<const char*, std::string>> cases {
        { "Sample Mixer", "Sample Mixer" },
        { "Bob's", "Bob's" },
        { "a&b;c", "a&b;c" },
        { "$(x)`y`", "$(x)`y`" },
        { "a\"b\\c", "a\"b\\c" },
        { "|<>[]{}#!", "|<>[]{}#!" },
        { "a\nb\tc", "a\nb\tc" },
        { "~", home },
        { "~/Library", home + "/Library" },
        { "~root/x", std::string (rootAccount->pw_dir) + "/x" },
        { "~no-such-user-here/x", "~no-such-user-here/x" },
        { "~+/Library", "~+/Library" },
        { "~+", "~+" },
        { "~-", "~-" },
        { "~0/y", "~0/y" },
        { "~+0", "~+0" },
        { "~-0/y", "~-0/y" },
        { "~1", "~1" },
        { "a/~+/~", "a/~+/~" },
    };

    UninstallManifest manifest;
    std::vector<Command> expected;

    for (const auto& [value, argument] : cases)
    {
        manifest.processesToKill.add (juce::String::fromUTF8 (value));
        expected.push_back ({ "sudo", "pkill", argument });
    }

    // A files entry of that kind is kept as written, and reaches rm as written.
    manifest.filesToDelete.add ("~+/Library");
    expected.push_back ({ "sudo", "rm", "-rf", "~+/Library" });

    std::ostringstream console;
    ASSERT_TRUE (run (composeUninstallScript (manifest, console)));
    EXPECT_EQ (calls(), expected);
}

INSTANTIATE_TEST_SUITE_P (Shells, RecordingStubs, ::testing::ValuesIn (shells),
                          [] (const ::testing::TestParamInfo<const char*>& shell)
                          { return juce::String (shell.param).retainCharacters ("abcdefghijklmnopqrstuvwxyz").toStdString(); });
