#include "OSXMethods.h"
#include "UninstallScript.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <unistd.h>

namespace
{
using Command = std::vector<std::string>; // the program's name, then its arguments

// Stubs first on PATH record every call and run nothing: the composed script can then name
// any value at all without a real rm, pkill or launchctl ever seeing it.
class RecordingStubs : public ::testing::Test
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

        if (::geteuid() == 0)
            return runAppleScriptSource (source);

        juce::String text;
        return readDoShellScriptSource (source, text) && runCommandToCompletion ({ "/bin/sh", "-c", text });
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

// Any character at all but the two wildcards and the tilde, which keep their meaning on purpose.
juce::String randomValue (juce::Random& random)
{
    static const char* const multiByte[] = { "\xc3\xa9", "\xe9\x9f\xb3", "\xf0\x9f\x8e\xb5", "\xc2\xa0" };
    static const char special[] = "\"'\\$`;&|()<>[]{}#! \t\n\r";

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
                value += (c == '*' || c == '?' || c == '~') ? '%' : c;
                break;
            }
        }
    }

    return juce::String::fromUTF8 (value.data(), static_cast<int> (value.size()));
}
} // namespace

TEST_F (RecordingStubs, TheSampleSuiteRunsItsCommandsInOrder)
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

TEST_F (RecordingStubs, AnyValueReachesItsCommandAsOneArgument)
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
