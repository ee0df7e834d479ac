#include "UninstallScript.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <sstream>
#include <unordered_set>
#include <vector>

// Any bytes at all as a manifest: reading them and composing the script from what was read must
// never crash, and each value must come back out of its script line exactly as it went in.
namespace
{
[[noreturn]] void fail (const std::string& what)
{
    std::cerr << "ManifestFuzzer: " << what << std::endl;
    std::abort();
}

void check (bool condition, const std::string& what)
{
    if (! condition)
        fail (what);
}

// What may stand bare in a word: anything else has to be quoted for the shell to take it as
// text. "*" and "?" keep their meaning on purpose, and so does a leading "~" that names a home
// folder; no other "~" stands bare.
bool mayStandBare (unsigned char c)
{
    return c >= 0x80 || std::isalnum (c) || std::strchr ("/._-+:,@%=^*?", c) != nullptr;
}

// A leading "~" names a home folder, and may stand bare, where the text up to the first "/" is
// empty or a user name that both bash and dash read whole.
bool tildeMayStandBare (const std::string& value)
{
    const auto name = value.substr (1, value.find ('/') - 1);
    return name.empty()
           || ((std::isalpha (static_cast<unsigned char> (name[0])) || name[0] == '_')
               && name.find_first_not_of ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") == std::string::npos);
}

// A segment that dash or an older bash could expand to "." or "..".
bool mayMatchADotFolder (const std::string& segment)
{
    if (segment.size() < 2 || segment[0] != '.' || segment.find_first_not_of ("*?.", 1) != std::string::npos)
        return false;

    const auto fixed = std::count (segment.begin() + 1, segment.end(), '.') + std::count (segment.begin(), segment.end(), '?');
    return segment.find_first_of ("*?") != std::string::npos && fixed <= 1;
}

/** Walks the script in the order it has to be written, taking each word back to its text. */
class ScriptReader
{
public:
    explicit ScriptReader (std::string text)
        : script (std::move (text)) {}

    void expect (const std::string& fixed)
    {
        check (script.compare (pos, fixed.size(), fixed) == 0, "expected \"" + fixed + "\" at " + std::to_string (pos));
        pos += fixed.size();
    }

    void expectLine (const std::string& prefix, const juce::String& value)
    {
        expect (prefix);
        const auto start = pos;
        std::string text;
        std::vector<bool> bare; // for each character of the text, whether it stood unquoted

        while (pos < script.size() && script[pos] != ';')
        {
            const auto c = static_cast<unsigned char> (script[pos]);

            if (c == '\'')
            {
                // One ASCII character, never an apostrophe: three in a row would leave a quote open.
                check (pos + 2 < script.size() && script[pos + 2] == '\'' && script[pos + 1] != '\''
                           && static_cast<unsigned char> (script[pos + 1]) < 0x80,
                       "a quote that is not one character at " + std::to_string (pos));
                text += script[pos + 1];
                bare.push_back (false);
                pos += 3;
            }
            else if (c == '"')
            {
                // Only the apostrophe, and never with a backslash, which a multibyte locale can
                // join to the byte before it.
                check (script.compare (pos, 3, "\"'\"") == 0, "a double quote that is not \"'\" at " + std::to_string (pos));
                text += '\'';
                bare.push_back (false);
                pos += 3;
            }
            else
            {
                check (mayStandBare (c) || (c == '~' && pos == start), "a bare special character at " + std::to_string (pos));
                text += script[pos++];
                bare.push_back (true);
            }
        }

        const auto expected = value.toStdString();
        check (text == expected, "the word \"" + text + "\" is not the value \"" + expected + "\"");

        if (! text.empty() && text[0] == '~')
            check (bare[0] == tildeMayStandBare (text), "the leading tilde of \"" + text + "\"");

        // Every wildcard keeps its meaning, except in a segment that could match "." or ".."
        // and that another non-empty segment follows.
        for (size_t segmentStart = 0; segmentStart < text.size();)
        {
            const auto end = std::min (text.find ('/', segmentStart), text.size());
            const auto risky = mayMatchADotFolder (text.substr (segmentStart, end - segmentStart))
                               && text.find_first_not_of ('/', end) != std::string::npos;

            for (auto i = segmentStart; i < end; ++i)
                if (text[i] == '*' || text[i] == '?')
                    check (bare[i] != risky, "a wildcard of \"" + text + "\" at " + std::to_string (i));

            segmentStart = end + 1;
        }

        expect (";\n");
    }

    void expectEnd() { check (pos == script.size(), "text after the end"); }

private:
    std::string script;
    size_t pos = 0;
};

void checkAbsolute (const juce::String& path)
{
    const auto text = path.toStdString();

    if (text.empty())
        return;

    check (text[0] == '/' || text[0] == '~', "a relative path: " + text);
    check (text.find ("//") == std::string::npos, "a doubled separator: " + text);
    check (text == "/" || text.back() != '/', "a trailing separator: " + text);

    // Only the last segment may be "." or "..": there it stays, so that rm refuses the path.
    for (const auto* segment : { "/./", "/../" })
        check (text.find (segment) == std::string::npos, "an unresolved segment: " + text);
}

// An entry whose last segment is "." or ".." names its folder only as an ancestor: its path keeps
// that segment (or is empty), and so never deletes the ancestor.
void checkKeepsALastDotSegment (const juce::String& entry, const juce::String& path)
{
    auto text = entry.trim().toStdString();

    while (text.size() > 1 && text.back() == '/')
        text.pop_back();

    const auto last = text.substr (text.find_last_of ('/') + 1);

    if (last == "." || last == "..")
        check (path.isEmpty() || path.endsWith ("/" + last), "the entry " + text + " became " + path.toStdString());
}

// A home folder that is the root names none: "~" and "~/..." then name nothing.
void checkNamesNoHome (const juce::String& entry, const juce::String& path)
{
    const auto text = entry.trim();

    if (text == "~" || text.startsWith ("~/"))
        check (path.isEmpty(), "with a home of \"/\", the entry " + text.toStdString() + " became " + path.toStdString());
}

void checkNoDuplicates (const juce::StringArray& list)
{
    std::unordered_set<std::string> seen;

    for (const auto& item : list)
        check (seen.insert (item.toStdString()).second, "a duplicate: " + item.toStdString());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
    // The home folder goes with the input: an ordinary one, or one of those that are the root.
    static const char* const homes[] = { "/Users/someone", "/Users/some one", "/", "/x/.." };
    const auto home = size % std::size (homes);
    const auto homeIsTheRoot = home >= 2;
    ::setenv ("HOME", homes[home], 1);

    UninstallManifest manifest;

    if (! readUninstallManifestText (reinterpret_cast<const char*> (data), size, manifest))
    {
        check (manifest.productName.isEmpty() && manifest.filesToDelete.isEmpty() && manifest.launchdPlists.empty(),
               "an unusable manifest left something behind");
        return 0;
    }

    for (const auto* list : { &manifest.filesToDelete, &manifest.processesToKill, &manifest.packagesToForget,
                              &manifest.kextsToUnload, &manifest.halDriversToDelete })
        checkNoDuplicates (*list);

    std::ostringstream console;
    ScriptReader script (composeUninstallScript (manifest, console).toStdString());
    std::string expectedConsole;
    const std::string coreAudio ("/System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist");

    script.expect ("#!/bin/bash\n\n");

    for (const auto& kext : manifest.kextsToUnload)
    {
        expectedConsole += "Unloading and deleting " + kext.trim().toStdString() + "\n";
        script.expectLine ("sudo kextunload ", kext.trim());
        script.expectLine ("sudo rm -R ", kext.trim());
    }

    if (! manifest.kextsToUnload.isEmpty())
        script.expect ("sudo touch /Library/Extensions;\n");

    for (const auto& driver : manifest.halDriversToDelete)
        script.expectLine ("rm -R ", driver.trim());

    if (! manifest.halDriversToDelete.isEmpty())
        script.expect ("sudo launchctl unload " + coreAudio + ";\nsudo launchctl load " + coreAudio + ";\n");

    for (const auto& [name, path] : manifest.launchdPlists)
    {
        script.expectLine ("sudo pkill ", name.trim());
        script.expectLine ("launchctl stop -F ", path.trim());
        script.expectLine ("launchctl unload -F ", path.trim());
        script.expectLine ("sudo rm -rf ", path.trim());
    }

    for (const auto& process : manifest.processesToKill)
        script.expectLine ("sudo pkill ", process.trim());

    for (const auto& file : manifest.filesToDelete)
    {
        const auto path = absolutePathForFilesEntry (file);
        checkAbsolute (path);
        checkKeepsALastDotSegment (file, path);

        if (homeIsTheRoot)
            checkNamesNoHome (file, path);
        script.expectLine ("sudo rm -rf ", path);
    }

    for (const auto& package : manifest.packagesToForget)
        script.expectLine ("sudo pkgutil --forget ", package.trim());

    script.expect ("\n\nexit 0;");
    script.expectEnd();
    check (console.str() == expectedConsole, "the console lines");
    return 0;
}
