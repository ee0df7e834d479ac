#include "UninstallScript.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <unordered_set>

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
// text. "*", "?" and a leading "~" that names a home folder keep their meaning on purpose.
bool mayStandBare (unsigned char c)
{
    return c >= 0x80 || std::isalnum (c) || std::strchr ("/._-+:,@%~=^*?", c) != nullptr;
}

// A bare "~" at the start of a word is read by bash as more than a home folder ("~+", "~-",
// "~N"): it may be followed only by the word's end, "/" or a user name.
bool mayFollowABareTilde (unsigned char c)
{
    return c == ';' || c == '/' || c == '_' || std::isalpha (c);
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
        std::string text;

        if (script.compare (pos, 1, "~") == 0)
            check (pos + 1 < script.size() && mayFollowABareTilde (static_cast<unsigned char> (script[pos + 1])),
                   "a bare tilde that names no home folder at " + std::to_string (pos));

        while (pos < script.size() && script[pos] != ';')
        {
            const auto c = static_cast<unsigned char> (script[pos]);

            if (c == '\'')
            {
                check (pos + 2 < script.size() && script[pos + 2] == '\'', "an open quote at " + std::to_string (pos));
                text += script[pos + 1];
                pos += 3;
            }
            else if (c == '\\')
            {
                check (pos + 1 < script.size() && script[pos + 1] == '\'', "a stray backslash at " + std::to_string (pos));
                text += '\'';
                pos += 2;
            }
            else
            {
                check (mayStandBare (c), "a bare special character at " + std::to_string (pos));
                text += script[pos++];
            }
        }

        check (text == value.toStdString(), "the word \"" + text + "\" is not the value \"" + value.toStdString() + "\"");
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

void checkNoDuplicates (const juce::StringArray& list)
{
    std::unordered_set<std::string> seen;

    for (const auto& item : list)
        check (seen.insert (item.toStdString()).second, "a duplicate: " + item.toStdString());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
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
        script.expectLine ("sudo rm -rf ", path);
    }

    for (const auto& package : manifest.packagesToForget)
        script.expectLine ("sudo pkgutil --forget ", package.trim());

    script.expect ("\n\nexit 0;");
    script.expectEnd();
    check (console.str() == expectedConsole, "the console lines");
    return 0;
}
