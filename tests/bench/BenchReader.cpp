#include "UninstallScript.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

// Times the manifest reader and the script composer, in the build it is compiled in (the bench
// command builds Release): generated manifests of growing size, then three of just under the
// reader's 16 MiB limit whose bulk is one token: an attribute, a comment, and an attribute that
// names a 4 MiB entity again and again. Prints one row per manifest, with the peak memory of a
// process that reads it.
//
// Each manifest is read once by each of five processes, started afresh from this executable,
// as a start-up reads it: the allocator has nothing of an earlier read at hand. A process
// reports its peak resident memory (ru_maxrss) right after its read, before it composes
// anything, so that the peak is that of a start-up that reads this one manifest. The row gives
// the best of the five times and the highest of the peaks.
namespace
{
struct NullBuffer final : std::streambuf
{
    int overflow (int c) override { return c; }
};

const std::string xmlDeclaration ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
const std::string xmlRoot ("<KestraneUninstallerInfo>\n  <name>Sample Audio Suite</name>\n");
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

    auto xml = xmlDeclaration + xmlRoot;

    for (size_t s = 0; s < 6; ++s)
        xml += std::string ("  <") + sections[s] + ">\n" + sectionText[s] + "  </" + sections[s] + ">\n";

    return xml + xmlFooter;
}

/** A manifest of 16 MiB less one byte, whose bulk is one token: the text between the two parts
    is the filler repeated, then padded with "x" to that size. The prolog stands before the root. */
std::string generateOneTokenManifest (const std::string& prolog, const std::string& before, const std::string& after,
                                      const std::string& filler = "x")
{
    const size_t size = 16 * 1024 * 1024 - 1;
    const auto frame = xmlDeclaration + prolog + xmlRoot + before + after + xmlFooter;
    const auto bulk = size - frame.size();

    std::string xml;
    xml.reserve (size);
    xml += xmlDeclaration + prolog + xmlRoot + before;

    for (size_t i = 0; i < bulk / filler.size(); ++i)
        xml += filler;

    xml.append (bulk % filler.size(), 'x');
    return xml + after + xmlFooter;
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

double megabytes (long maxResidentSetSize)
{
#if JUCE_MAC
    return static_cast<double> (maxResidentSetSize) / (1024.0 * 1024.0);
#else
    return static_cast<double> (maxResidentSetSize) / 1024.0;
#endif
}

/** What one process measured of one manifest. */
struct Figures
{
    bool usable = false;
    double readSeconds = 0, readPeak = 0, composeSeconds = 0;
    size_t scriptBytes = 0;
};

/** Reads the manifest file once, as a start-up does, then composes its script, and writes the
    figures to the standard output. */
int measure (const char* path)
{
    const juce::File file (juce::String::fromUTF8 (path));

    UninstallManifest manifest;
    const auto start = std::chrono::steady_clock::now();
    readUninstallManifest (file, manifest);
    const auto readSeconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();

    struct rusage usage;
    ::getrusage (RUSAGE_SELF, &usage);

    NullBuffer nullBuffer;
    std::ostream console (&nullBuffer);
    juce::String script;
    const auto composeSeconds = bestOfSeconds (5, [&]
                                               { script = composeUninstallScript (manifest, console); });

    std::printf ("%d %.6f %.3f %.6f %zu\n", manifest.productName.isEmpty() ? 0 : 1, readSeconds,
                 megabytes (usage.ru_maxrss), composeSeconds, script.getNumBytesAsUTF8());
    return 0;
}

/** Runs this executable on the file in a process of its own, and reads back its figures. */
std::optional<Figures> measureInOwnProcess (const juce::File& file)
{
    const auto executable = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFullPathName();
    const auto path = file.getFullPathName();

    int output[2];

    if (::pipe (output) != 0)
        return {};

    std::fflush (stdout);
    const auto child = ::fork();

    if (child == 0)
    {
        ::dup2 (output[1], STDOUT_FILENO);
        ::close (output[0]);
        ::close (output[1]);
        ::execl (executable.toRawUTF8(), executable.toRawUTF8(), "--measure", path.toRawUTF8(), static_cast<char*> (nullptr));
        ::_exit (127);
    }

    ::close (output[1]);

    std::string line;
    char buffer[256];
    ssize_t numRead = 0;

    while ((numRead = ::read (output[0], buffer, sizeof (buffer))) > 0)
        line.append (buffer, static_cast<size_t> (numRead));

    ::close (output[0]);

    int status = 0;

    if (child < 0 || ::waitpid (child, &status, 0) != child || ! WIFEXITED (status) || WEXITSTATUS (status) != 0)
        return {};

    Figures figures;
    int usable = 0;

    if (std::sscanf (line.c_str(), "%d %lf %lf %lf %zu", &usable, &figures.readSeconds, &figures.readPeak,
                     &figures.composeSeconds, &figures.scriptBytes)
        != 5)
        return {};

    figures.usable = usable != 0;
    return figures;
}

/** The best times and the highest peak of a few processes that each read the file once. */
std::optional<Figures> measureInProcesses (const juce::File& file, int numProcesses)
{
    std::optional<Figures> best;

    for (int i = 0; i < numProcesses; ++i)
    {
        const auto figures = measureInOwnProcess (file);

        if (! figures.has_value())
            return {};

        if (! best.has_value())
        {
            best = figures;
            continue;
        }

        best->readSeconds = std::min (best->readSeconds, figures->readSeconds);
        best->readPeak = std::max (best->readPeak, figures->readPeak);
        best->composeSeconds = std::min (best->composeSeconds, figures->composeSeconds);
    }

    return best;
}
} // namespace

int main (int argc, char** argv)
{
    if (argc == 3 && std::strcmp (argv[1], "--measure") == 0)
        return measure (argv[2]);

    const auto folder = juce::File::createTempFile ("bench-reader");
    folder.createDirectory();

    const std::string plistsEntry ("\"><path>/Library/LaunchDaemons/agent.plist</path></item></plists>\n");

    const std::vector<std::pair<std::string, std::function<std::string()>>> manifests {
        { "1000 entries", []
          { return generateManifest (1000); } },
        { "20000 entries", []
          { return generateManifest (20000); } },
        { "200000 entries", []
          { return generateManifest (200000); } },
        { "16 MiB attribute", [&]
          { return generateOneTokenManifest ({}, "  <plists><item name=\"", plistsEntry); } },
        { "16 MiB comment", []
          { return generateOneTokenManifest ({}, "  <files><item>/Applications/Sample.app</item></files>\n  <!--", "-->\n"); } },
        // A 4 MiB entity, named in one attribute as often as 16 MiB allows.
        { "16 MiB of entity refs", [&]
          { return generateOneTokenManifest ("<!DOCTYPE KestraneUninstallerInfo [<!ENTITY e \"" + std::string (4 * 1024 * 1024, 'e') + "\">]>\n",
                                             "  <plists><item name=\"", plistsEntry, "&e;"); } },
    };

    std::printf ("%22s %12s %10s %10s %10s %12s %14s\n", "manifest", "file bytes", "read as", "read (s)",
                 "peak (MiB)", "compose (s)", "script bytes");

    auto allMeasured = true;

    for (const auto& [what, generate] : manifests)
    {
        const auto file = folder.getChildFile ("uninstaller_info.xml");
        size_t size = 0;

        {
            const auto xml = generate();
            size = xml.size();
            file.replaceWithData (xml.data(), xml.size());
        }

        const auto figures = measureInProcesses (file, 5);

        if (! figures.has_value())
        {
            std::printf ("%22s %12zu: not measured\n", what.c_str(), size);
            allMeasured = false;
            continue;
        }

        std::printf ("%22s %12zu %10s %10.4f %10.1f %12.4f %14zu\n", what.c_str(), size, figures->usable ? "read" : "unusable",
                     figures->readSeconds, figures->readPeak, figures->composeSeconds, figures->scriptBytes);
    }

    folder.deleteRecursively();
    return allMeasured ? 0 : 1;
}
