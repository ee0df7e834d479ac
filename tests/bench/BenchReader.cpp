#include "UninstallScript.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <streambuf>

// Times the manifest reader and the script composer on generated manifests of growing size, in
// the build it is compiled in (the bench command builds Release). Prints one row per size.
namespace
{
struct NullBuffer final : std::streambuf
{
    int overflow (int c) override { return c; }
};

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

    std::string xml ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<KestraneUninstallerInfo>\n  <name>Sample Audio Suite</name>\n");

    for (size_t s = 0; s < 6; ++s)
        xml += std::string ("  <") + sections[s] + ">\n" + sectionText[s] + "  </" + sections[s] + ">\n";

    return xml + "</KestraneUninstallerInfo>\n";
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

    std::printf ("%10s %12s %14s %14s %14s\n", "entries", "file bytes", "read (s)", "compose (s)", "script bytes");

    for (const auto numEntries : { 1000, 20000, 200000 })
    {
        const auto file = folder.getChildFile ("uninstaller_info.xml");
        const auto xml = generateManifest (numEntries);
        file.replaceWithData (xml.data(), xml.size());

        UninstallManifest manifest;
        const auto readSeconds = bestOfSeconds (5, [&]
                                                {
                                                    manifest = {};
                                                    readUninstallManifest (file, manifest); });
        juce::String script;
        const auto composeSeconds = bestOfSeconds (5, [&]
                                                   { script = composeUninstallScript (manifest, console); });

        std::printf ("%10d %12zu %14.4f %14.4f %14zu\n", numEntries, xml.size(), readSeconds, composeSeconds,
                     script.getNumBytesAsUTF8());
    }

    folder.deleteRecursively();
    return 0;
}
