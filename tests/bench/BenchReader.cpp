#include "UninstallScript.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

// Times the manifest reader and the script composer, in the build it is compiled in (the bench
// command builds Release): generated manifests of growing size, then two of just under the
// reader's 16 MiB limit whose bulk is one token. Prints one row per manifest.
namespace
{
struct NullBuffer final : std::streambuf
{
    int overflow (int c) override { return c; }
};

const std::string xmlHeader ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<KestraneUninstallerInfo>\n  <name>Sample Audio Suite</name>\n");
const std::string xmlFooter ("</KestraneUninstallerInfo>\n");

std::string generateManifest (int numEntries)
{
    static const char* const sections[] = { "files", "kill", "pkgremove", "kexts", "haldrivers", "plists" };
    std::string sectionText[6];

    for (int i = 0; i < numEntries; ++i)
    {
        const auto section = static_cast<size_t> (i % 6);
        const auto number = std::to_string (i);

        if (section == 5)
            sectionText[section] += "    <item name=\"Sample Agent " + number + "\"><path>/Library/LaunchDaemons/com.sample.agent" + number + ".plist</path></item>\n";
        else if (section == 0)
            sectionText[section] += "    <item>~/Library/Application Support/Sample Suite/Preset " + number + ".preset</item>\n";
        else
            sectionText[section] += "    <item>/Library/Sample Suite/component" + number + "</item>\n";
    }

    auto xml = xmlHeader;

    for (size_t s = 0; s < 6; ++s)
        xml += std::string ("  <") + sections[s] + ">\n" + sectionText[s] + "  </" + sections[s] + ">\n";

    return xml + xmlFooter;
}

/** A manifest of 16 MiB less one byte, whose bulk is one token: the text between the two
    parts is padded with "x" to that size. */
std::string generateOneTokenManifest (const std::string& before, const std::string& after)
{
    const size_t size = 16 * 1024 * 1024 - 1;
    const auto frame = xmlHeader + before + after + xmlFooter;
    return xmlHeader + before + std::string (size - frame.size(), 'x') + after + xmlFooter;
}

template <typename Function>
double bestOfSeconds (int runs, Function&& function)
{
    auto best = 1.0e9;

    for (int i = 0; i < runs; ++i)
    {
        const auto start = std::chrono::steady_clock::now();
        function();
        best = std::min (best, std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count());
    }

    return best;
}
} // namespace

int main()
{
    NullBuffer nullBuffer;
    std::ostream console (&nullBuffer);
    const auto folder = juce::File::createTempFile ("bench-reader");
    folder.createDirectory();

    const std::vector<std::pair<std::string, std::string>> manifests {
        { "1000 entries", generateManifest (1000) },
        { "20000 entries", generateManifest (20000) },
        { "200000 entries", generateManifest (200000) },
        { "16 MiB attribute", generateOneTokenManifest ("  <plists><item name=\"", "\"><path>/Library/LaunchDaemons/agent.plist</path></item></plists>\n") },
        { "16 MiB comment", generateOneTokenManifest ("  <files><item>/Applications/Sample.app</item></files>\n  <!--", "-->\n") },
    };

    std::printf ("%18s %12s %14s %14s %14s\n", "manifest", "file bytes", "read (s)", "compose (s)", "script bytes");

    for (const auto& [what, xml] : manifests)
    {
        const auto file = folder.getChildFile ("uninstaller_info.xml");
        file.replaceWithData (xml.data(), xml.size());

        UninstallManifest manifest;
        const auto readSeconds = bestOfSeconds (5, [&]
                                                {
                                                    manifest = {};
                                                    readUninstallManifest (file, manifest); });
        juce::String script;
        const auto composeSeconds = bestOfSeconds (5, [&]
                                                   { script = composeUninstallScript (manifest, console); });

        std::printf ("%18s %12zu %14.4f %14.4f %14zu\n", what.c_str(), xml.size(), readSeconds, composeSeconds,
                     script.getNumBytesAsUTF8());
    }

    folder.deleteRecursively();
    return 0;
}
