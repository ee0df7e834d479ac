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
bool isAsciiLetter (char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "~" is not among these: only a leading one that names a home folder stands bare.
bool staysUnquoted (unsigned char c)
{
    return c >= 0x80
           || isAsciiLetter (static_cast<char> (c))
           || (c >= '0' && c <= '9')
           || std::strchr ("/._-+:,@%=^*?", c) != nullptr;
}

// A leading "~" that names a home folder: "~" alone or before "/", or before a user name that
// runs to the "/" or the end. bash also reads "~+", "~-" and "~N" (the working directory, the
// previous one and the directory stack), and ends a user name early at some characters ("~root:x"
// is /root:x to it), so any other leading "~" must reach the command as written.
bool isHomeTilde (const std::string& text)
{
    if (text.empty() || text[0] != '~')
        return false;

    const auto slash = text.find ('/');
    const auto name = text.substr (1, slash == std::string::npos ? std::string::npos : slash - 1);

    if (name.empty())
        return true;

    if (! isAsciiLetter (name[0]) && name[0] != '_')
        return false;

    return std::all_of (name.begin(), name.end(), [] (char c)
                        { return isAsciiLetter (c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-'; });
}

// A segment that the shell could expand to "." or "..": a "." and then only "*", with at most one
// "?" or "." among them. dash, and bash before 5.2, match those two with a pattern that starts
// with "."; before another segment, ".*" would reach the folder's parent and its other children.
bool couldNameADotFolder (const std::string& segment)
{
    if (segment.size() < 2 || segment[0] != '.')
        return false;

    auto wildcard = false;
    auto others = 0;

    for (size_t i = 1; i < segment.size(); ++i)
    {
        if (segment[i] == '?' || segment[i] == '.')
            ++others;
        else if (segment[i] != '*')
            return false;

        wildcard = wildcard || segment[i] != '.';
    }

    return wildcard && others <= 1;
}

/** Each character that needs it is quoted on its own, an apostrophe within double quotes. The
    bytes of a non-ASCII character stay bare. What follows them is a quote, which no multibyte
    locale takes into a character, or a bare character that means nothing to the shell even
    where a locale does. */
std::string quoted (const juce::String& value)
{
    const auto text = value.toStdString();
    std::string word;
    word.reserve (text.size() * 3);

    for (size_t start = 0; start <= text.size();)
    {
        const auto end = std::min (text.find ('/', start), text.size());
        const auto segment = text.substr (start, end - start);
        const auto wildcardsQuoted = couldNameADotFolder (segment) && text.find_first_not_of ('/', end) != std::string::npos;

        for (auto i = start; i < end; ++i)
        {
            const auto c = text[i];
            const auto isQuotedWildcard = wildcardsQuoted && (c == '*' || c == '?');

            if ((i == 0 && c == '~' && isHomeTilde (text)) || (staysUnquoted (static_cast<unsigned char> (c)) && ! isQuotedWildcard))
                word += c;
            else if (c == '\'')
                word += "\"'\""; // \' would join the byte before it in a GBK, Big5 or Shift_JIS locale
            else
                word.append ({ '\'', c, '\'' });
        }

        if (end < text.size())
            word += '/';

        start = end + 1;
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

/** The path's "/"-separated segments, in order, without the empty ones. */
std::vector<std::string> segmentsOf (const std::string& path)
{
    std::vector<std::string> segments;

    for (size_t start = 0; start <= path.size();)
    {
        const auto end = std::min (path.find ('/', start), path.size());

        if (end > start)
            segments.push_back (path.substr (start, end - start));

        start = end + 1;
    }

    return segments;
}

/** "." and ".." resolved as text; the file system is not asked. ".." at the root stays at the
    root, as it does for the kernel, so an absolute path never becomes relative. Doubled and
    trailing "/" go; a lone "/" stays.

    A last segment "." or ".." stays as written: the entry names that folder only as an ancestor,
    and rm refuses such an operand, where the resolved path would delete the ancestor.
*/
std::string resolveSegments (const std::string& head, const std::string& path)
{
    auto segments = segmentsOf (path);
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

/** A home folder's text, or empty where it names no home folder: where it is not absolute, or
    where it is the root once "." and ".." are resolved. "~/Library" must never become /Library. */
std::string homeFromText (const char* folder)
{
    if (! isAbsolute (folder))
        return {};

    size_t depth = 0;

    for (const auto& segment : segmentsOf (folder))
    {
        if (segment == "..")
            depth -= depth > 0 ? 1 : 0;
        else if (segment != ".")
            ++depth;
    }

    return depth > 0 ? std::string (folder) : std::string();
}

/** This user's home: HOME when it is an absolute path, else the password database's entry;
    empty when the one taken names no home folder. Its text is resolved with the rest of the entry. */
std::string homeFolder()
{
    if (const auto* home = std::getenv ("HOME"); isAbsolute (home))
        return homeFromText (home);

    if (const auto* account = ::getpwuid (::getuid()); account != nullptr)
        return homeFromText (account->pw_dir);

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
            const auto home = homeFromText (account->pw_dir);

            if (home.empty())
                return {};

            path = home + "/" + rest;
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
