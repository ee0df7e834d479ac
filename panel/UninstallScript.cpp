#include "UninstallScript.h"

#include <cstring>

namespace
{
bool staysUnquoted (unsigned char c)
{
    return c >= 0x80
           || (c >= 'a' && c <= 'z')
           || (c >= 'A' && c <= 'Z')
           || (c >= '0' && c <= '9')
           || std::strchr ("/._-+:,@%~=^*?", c) != nullptr;
}

juce::String commandLine (const char* prefix, const juce::String& word)
{
    return juce::String (prefix) + word + ";\n";
}

const char* const coreAudioDaemon = "/System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist";
} // namespace

juce::String quoteShellValue (const juce::String& value)
{
    const auto trimmed = value.trim().toStdString();
    std::string quoted;
    quoted.reserve (trimmed.size() * 2);

    for (const auto c : trimmed)
    {
        const auto byte = static_cast<unsigned char> (c);

        if (staysUnquoted (byte))
            quoted += c;
        else if (c == '\'')
            quoted += "\\'";
        else
            quoted.append ({ '\'', c, '\'' });
    }

    return juce::String::fromUTF8 (quoted.data(), static_cast<int> (quoted.size()));
}

juce::String absolutePathForFilesEntry (const juce::String& entry)
{
    const auto trimmed = entry.trim();

    if (trimmed.isEmpty())
        return {};

    // getChildFile takes "/..." and "~..." as absolute and anything else from the working
    // directory, which is what File's own constructor does without asserting on relative text.
    return juce::File::getCurrentWorkingDirectory().getChildFile (trimmed).getFullPathName();
}

juce::String composeUninstallScript (const UninstallManifest& manifest, std::ostream& console)
{
    juce::String script ("#!/bin/bash\n\n");

    for (const auto& kext : manifest.kextsToUnload)
    {
        console << "Unloading and deleting " << kext.trim().toStdString() << std::endl;

        const auto path = quoteShellValue (kext);
        script += commandLine ("sudo kextunload ", path);
        script += commandLine ("sudo rm -R ", path);
    }

    if (! manifest.kextsToUnload.isEmpty())
        script += "sudo touch /Library/Extensions;\n";

    for (const auto& driver : manifest.halDriversToDelete)
        script += commandLine ("rm -R ", quoteShellValue (driver));

    if (! manifest.halDriversToDelete.isEmpty())
    {
        script += commandLine ("sudo launchctl unload ", coreAudioDaemon);
        script += commandLine ("sudo launchctl load ", coreAudioDaemon);
    }

    for (const auto& [processName, plistPath] : manifest.launchdPlists)
    {
        const auto path = quoteShellValue (plistPath);
        script += commandLine ("sudo pkill ", quoteShellValue (processName));
        script += commandLine ("launchctl stop -F ", path);
        script += commandLine ("launchctl unload -F ", path);
        script += commandLine ("sudo rm -rf ", path);
    }

    for (const auto& process : manifest.processesToKill)
        script += commandLine ("sudo pkill ", quoteShellValue (process));

    for (const auto& file : manifest.filesToDelete)
        script += commandLine ("sudo rm -rf ", quoteShellValue (absolutePathForFilesEntry (file)));

    for (const auto& package : manifest.packagesToForget)
        script += commandLine ("sudo pkgutil --forget ", quoteShellValue (package));

    script += "\n\nexit 0;";
    return script;
}
