#include "UninstallScript.h"

#include <cstring>
#include <pwd.h>
#include <string>
#include <vector>

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

std::string quoted (const juce::String& value)
{
    const auto text = value.toStdString();
    std::string word;
    word.reserve (text.size() * 2);

    for (const auto c : text)
    {
        if (staysUnquoted (static_cast<unsigned char> (c)))
            word += c;
        else if (c == '\'')
            word += "\\'";
        else
            word.append ({ '\'', c, '\'' });
    }

    return word;
}

// A manifest value is trimmed once, here, before anything else is done with it.
std::string wordFor (const juce::String& value)
{
    return quoted (value.trim());
}

const char* const coreAudioDaemon = "/System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist";
} // namespace

juce::String quoteShellValue (const juce::String& value)
{
    const auto word = quoted (value);
    return juce::String::fromUTF8 (word.data(), static_cast<int> (word.size()));
}

juce::String absolutePathForFilesEntry (const juce::String& entry)
{
    auto path = entry.trim().toStdString();

    if (path.empty())
        return {};

    // "~" and "~/..." are this user's home, "~name/..." that user's home if the system knows
    // the name; an unknown name stays as written, and its "~name" then counts as the root.
    std::string head;

    if (path[0] == '~')
    {
        const auto slash = path.find ('/');
        const auto userName = path.substr (1, slash == std::string::npos ? std::string::npos : slash - 1);
        const auto rest = slash == std::string::npos ? std::string() : path.substr (slash);

        if (userName.empty())
        {
            const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getFullPathName();

            if (home.isEmpty())
                return {};

            path = home.toStdString() + rest;
        }
        else if (const auto* account = ::getpwnam (userName.c_str()))
        {
            path = std::string (account->pw_dir) + "/" + rest;
        }
        else
        {
            head = "~" + userName;
            path = rest;
        }
    }
    else if (path[0] != '/')
    {
        path = juce::File::getCurrentWorkingDirectory().getFullPathName().toStdString() + "/" + path;
    }

    // "." and ".." are resolved as text, the file system is not asked. ".." at the root stays
    // at the root, as it does for the kernel: an absolute entry never becomes relative, nor the
    // working directory. Doubled and trailing "/" go.
    std::vector<std::string> segments;
    size_t start = 0;

    while (start <= path.size())
    {
        const auto end = std::min (path.find ('/', start), path.size());
        const auto segment = path.substr (start, end - start);

        if (segment == "..")
        {
            if (! segments.empty())
                segments.pop_back();
        }
        else if (! segment.empty() && segment != ".")
        {
            segments.push_back (segment);
        }

        start = end + 1;
    }

    std::string resolved (head);

    for (const auto& segment : segments)
        resolved += "/" + segment;

    if (resolved.empty())
        resolved = "/";

    return juce::String::fromUTF8 (resolved.data(), static_cast<int> (resolved.size()));
}

juce::String composeUninstallScript (const UninstallManifest& manifest, std::ostream& console)
{
    // One growing buffer: appending to a juce::String copies the whole script every time.
    std::string script ("#!/bin/bash\n\n");

    const auto addLine = [&script] (const char* prefix, const std::string& word)
    {
        script.append (prefix).append (word).append (";\n");
    };

    for (const auto& kext : manifest.kextsToUnload)
    {
        console << "Unloading and deleting " << kext.trim().toStdString() << std::endl;

        const auto path = wordFor (kext);
        addLine ("sudo kextunload ", path);
        addLine ("sudo rm -R ", path);
    }

    if (! manifest.kextsToUnload.isEmpty())
        script += "sudo touch /Library/Extensions;\n";

    for (const auto& driver : manifest.halDriversToDelete)
        addLine ("rm -R ", wordFor (driver));

    if (! manifest.halDriversToDelete.isEmpty())
    {
        addLine ("sudo launchctl unload ", coreAudioDaemon);
        addLine ("sudo launchctl load ", coreAudioDaemon);
    }

    for (const auto& [processName, plistPath] : manifest.launchdPlists)
    {
        const auto path = wordFor (plistPath);
        addLine ("sudo pkill ", wordFor (processName));
        addLine ("launchctl stop -F ", path);
        addLine ("launchctl unload -F ", path);
        addLine ("sudo rm -rf ", path);
    }

    for (const auto& process : manifest.processesToKill)
        addLine ("sudo pkill ", wordFor (process));

    for (const auto& file : manifest.filesToDelete)
        addLine ("sudo rm -rf ", quoted (absolutePathForFilesEntry (file)));

    for (const auto& package : manifest.packagesToForget)
        addLine ("sudo pkgutil --forget ", wordFor (package));

    script += "\n\nexit 0;";
    return juce::String::fromUTF8 (script.data(), static_cast<int> (script.size()));
}
