#include "UninstallScript.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>
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

// A leading "~" that names a home folder: "~" alone, before "/", or before a user name. bash
// also reads "~+", "~-" and "~N" (the working directory, the previous one and the directory
// stack), which name no home folder and must reach the command as written.
bool isHomeTilde (const std::string& text)
{
    if (text.empty() || text[0] != '~')
        return false;

    const auto next = text.size() > 1 ? static_cast<unsigned char> (text[1]) : '/';
    return next == '/' || next == '_' || (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z');
}

std::string quoted (const juce::String& value)
{
    const auto text = value.toStdString();
    std::string word;
    word.reserve (text.size() * 2);

    for (size_t i = 0; i < text.size(); ++i)
    {
        const auto c = text[i];

        if (i == 0 && c == '~' && ! isHomeTilde (text))
            word += "'~'";
        else if (staysUnquoted (static_cast<unsigned char> (c)))
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

juce::String fromUTF8 (const std::string& text)
{
    return juce::String::fromUTF8 (text.data(), static_cast<int> (text.size()));
}

bool isAbsolute (const char* path)
{
    return path != nullptr && path[0] == '/';
}

/** "." and ".." resolved as text; the file system is not asked. ".." at the root stays at the
    root, as it does for the kernel, so an absolute path never becomes relative. Doubled and
    trailing "/" go; a lone "/" stays.

    A last segment "." or ".." stays as written: the entry names that folder only as an ancestor,
    and rm refuses such an operand, where the resolved path would delete the ancestor.
*/
std::string resolveSegments (const std::string& head, const std::string& path)
{
    std::vector<std::string> segments;

    for (size_t start = 0; start <= path.size();)
    {
        const auto end = std::min (path.find ('/', start), path.size());

        if (end > start)
            segments.push_back (path.substr (start, end - start));

        start = end + 1;
    }

    std::string last;

    if (! segments.empty() && (segments.back() == "." || segments.back() == ".."))
    {
        last = "/" + segments.back();
        segments.pop_back();
    }

    std::vector<std::string> resolved;

    for (const auto& segment : segments)
    {
        if (segment == "..")
        {
            if (! resolved.empty())
                resolved.pop_back();
        }
        else if (segment != ".")
        {
            resolved.push_back (segment);
        }
    }

    auto result = head;

    for (const auto& segment : resolved)
        result += "/" + segment;

    if (result.empty() && last.empty())
        return "/";

    return result + last;
}

/** This user's home: HOME when it is an absolute path, else the password database's entry;
    empty when neither gives one. Its text is resolved with the rest of the entry. */
std::string homeFolder()
{
    if (const auto* home = std::getenv ("HOME"); isAbsolute (home))
        return home;

    if (const auto* account = ::getpwuid (::getuid()); account != nullptr && isAbsolute (account->pw_dir))
        return account->pw_dir;

    return {};
}

/** Empty when it cannot be read, e.g. when the folder has been deleted. */
std::string workingDirectory()
{
    std::vector<char> buffer (4096);

    while (::getcwd (buffer.data(), buffer.size()) == nullptr)
    {
        if (errno != ERANGE)
            return {};

        buffer.resize (buffer.size() * 2);
    }

    // Linux has named an unreachable folder "(unreachable)/...": not a path to delete under.
    return isAbsolute (buffer.data()) ? std::string (buffer.data()) : std::string();
}
} // namespace

juce::String quoteShellValue (const juce::String& value)
{
    return fromUTF8 (quoted (value));
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
            const auto home = homeFolder();

            if (home.empty())
                return {};

            path = home + rest;
        }
        else if (const auto* account = ::getpwnam (userName.c_str()))
        {
            if (! isAbsolute (account->pw_dir))
                return {};

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
        // Without a working directory a relative entry names nothing, never the root.
        const auto cwd = workingDirectory();

        if (cwd.empty())
            return {};

        path = cwd + "/" + path;
    }

    return fromUTF8 (resolveSegments (head, path));
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
    return fromUTF8 (script);
}
