#include "UninstallManifest.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using Items = std::vector<std::string>;

const juce::File fixtures = juce::File (ORVANTA_TEST_SOURCE_DIR).getChildFile ("fixtures").getChildFile ("hostile");

bool isEmpty (const UninstallManifest& m)
{
    return m.productName.isEmpty() && m.filesToDelete.isEmpty() && m.processesToKill.isEmpty()
           && m.packagesToForget.isEmpty() && m.kextsToUnload.isEmpty() && m.halDriversToDelete.isEmpty()
           && m.launchdPlists.empty();
}

Items toItems (const juce::StringArray& list)
{
    Items items;
    for (const auto& item : list)
        items.push_back (item.toStdString());
    return items;
}

/** Reads the file as the panel does; "files" holds what was read, or nothing when the file is
    unusable (every list empty, nothing kept). */
std::optional<Items> readFiles (const juce::File& file)
{
    UninstallManifest manifest;
    EXPECT_TRUE (readUninstallManifest (file, manifest)) << "something exists there, so the panel repaints";

    if (isEmpty (manifest))
        return std::nullopt;

    EXPECT_EQ (manifest.productName, "N");
    EXPECT_TRUE (manifest.processesToKill.isEmpty() && manifest.launchdPlists.empty() && manifest.kextsToUnload.isEmpty());
    return toItems (manifest.filesToDelete);
}

/** A manifest named "N": its DOCTYPE holds the declarations, if any, and the body follows the name. */
std::string manifestWith (const std::string& declarations, const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           + (declarations.empty() ? std::string() : "<!DOCTYPE KestraneUninstallerInfo [" + declarations + "]>\n")
           + "<KestraneUninstallerInfo><name>N</name>" + body + "</KestraneUninstallerInfo>\n";
}

std::string manifestWithFiles (const std::string& files) { return manifestWith ({}, "<files>" + files + "</files>"); }

/** A manifest whose text comes to 64 MiB and the extra characters: "N", "/x/a" and, in an element
    that no list reads, 64 references to one entity and a few characters. The file is about 1 MiB,
    so expat's own limit (text a hundred times the file's) stays out of the way. */
std::string manifestWithEntityText (size_t extra)
{
    const size_t limit = 64 * 1024 * 1024, ownText = std::strlen ("N/x/a"), numReferences = 64;
    const auto entitySize = (limit - ownText) / numReferences;

    std::string references;
    for (size_t i = 0; i < numReferences; ++i)
        references += "&e;";

    return manifestWith ("<!ENTITY e \"" + std::string (entitySize, 'e') + "\">",
                         "<files>/x/a</files><unread>" + references
                             + std::string (limit - ownText - numReferences * entitySize + extra, 'x') + "</unread>");
}

/** "/x/deep" inside a million levels of elements. */
std::string deepManifest()
{
    std::string deep;
    deep.reserve (8 * 1000 * 1000);
    for (int i = 0; i < 1000 * 1000; ++i)
        deep += "<a>";
    deep += "/x/deep";
    for (int i = 0; i < 1000 * 1000; ++i)
        deep += "</a>";
    return manifestWithFiles (deep);
}

/** Entities e0 to e(length - 1), each but the first standing for the one before it; the last is
    an entry. */
std::string entityChainManifest (int length)
{
    std::string chain ("<!ENTITY e0 \"/x\">");
    for (int i = 1; i < length; ++i)
        chain += "<!ENTITY e" + std::to_string (i) + " \"&e" + std::to_string (i - 1) + ";\">";
    return manifestWith (chain, "<files><i>&e" + std::to_string (length - 1) + ";</i></files>");
}

using HostileFolder = testsupport::TemporaryFolder;
} // namespace

// Each file either reads as exactly the text its XML means, or is unusable as a whole.
TEST (HostileManifests, ReadExactlyWhatTheXmlMeansOrNothing)
{
    const std::optional<Items> unusable;

    const std::vector<std::pair<const char*, std::optional<Items>>> cases {
        { "latin1-declared.xml", Items { "/x/Shared/\xc3\x89 " } },
        { "utf16-with-bom.xml", Items { "/x/\xf0\x9f\x8e\xb5/a" } },
        { "bom-utf8-declared-utf8.xml", Items { "/x/\xc3\xa9" } },
        { "bom-utf16le-declared-utf16le.xml", Items { "/x/\xc3\xa9" } },
        { "bom-utf16be-declared-utf16be.xml", Items { "/x/\xc3\xa9" } },
        { "bom-utf8-declared-latin1.xml", unusable },
        { "bom-utf16le-declared-utf16be.xml", unusable },
        { "bom-utf16be-declared-latin1.xml", unusable },
        { "overlong-dots-in-text.xml", unusable },
        { "overlong-dots-in-cdata.xml", unusable },
        { "overlong-markup-in-text.xml", unusable },
        { "overlong-markup-in-cdata.xml", unusable },
        { "truncated-in-text.xml", unusable },
        { "truncated-in-cdata.xml", unusable },
        { "lone-continuation-in-text.xml", unusable },
        { "lone-continuation-in-cdata.xml", unusable },
        { "entity-odd-spacing.xml", Items { "/x/Prod/old" } },
        { "entity-undefined.xml", unusable },
        { "entity-undefined-external-dtd.xml", unusable },
        { "entity-undefined-in-attribute-external-dtd.xml", unusable },
        { "entity-external.xml", unusable },
        { "entity-recursive.xml", unusable },
        { "entity-self.xml", unusable },
        { "entity-exponential.xml", unusable },
        { "entity-chain.xml", unusable },
        { "entity-parameter.xml", unusable },
        { "entity-parameter-standalone.xml", unusable },
        { "entity-parameter-unused-standalone.xml", unusable },
        { "entity-parameter-undeclared-standalone.xml", unusable },
        { "pi-in-entry.xml", Items { "/x/a" } },
        { "comment-in-entry.xml", Items { "/x/a" } },
        { "comment-between-text.xml", Items { "\n    /x/a", "/x/c\n  " } },
    };

    for (const auto& [name, expected] : cases)
    {
        SCOPED_TRACE (name);
        const auto file = fixtures.getChildFile (name);
        ASSERT_TRUE (file.existsAsFile());
        EXPECT_EQ (readFiles (file), expected);
    }
}

TEST_F (HostileFolder, DeepBigAndSpecialFiles)
{
    struct Generated
    {
        const char* what;
        std::string text;
        std::optional<Items> expected;
    };

    const std::vector<Generated> generated {
        { "a million levels: no recursion may grow with the depth", deepManifest(), Items { "/x/deep" } },
        { "well-formed, and a real manifest but for 17 MiB of comment: too big to be one",
          manifestWithFiles ("<i>/x/big</i><!--" + std::string (17 * 1024 * 1024, 'x') + "-->"), std::nullopt },
        { "a chain of 30,000 entities, each standing for the one before", entityChainManifest (30000), std::nullopt },
        { "64 MiB of text, most of it made by an entity, in an element that no list reads", manifestWithEntityText (0), Items { "/x/a" } },
        { "one character more", manifestWithEntityText (1), std::nullopt },
    };

    for (const auto& [what, text, expected] : generated)
    {
        SCOPED_TRACE (what);
        const auto file = folder.getChildFile ("generated.xml");
        ASSERT_TRUE (file.replaceWithData (text.data(), text.size()));
        EXPECT_EQ (readFiles (file), expected);
    }

    // Reading these would block or never end.
    const auto fifo = folder.getChildFile ("fifo.xml");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    EXPECT_EQ (readFiles (fifo), std::nullopt);

    const auto endless = folder.getChildFile ("zero.xml");
    ASSERT_EQ (::symlink ("/dev/zero", endless.getFullPathName().toRawUTF8()), 0);
    EXPECT_EQ (readFiles (endless), std::nullopt);

    // A link to a manifest is read as the manifest.
    const auto link = folder.getChildFile ("link.xml");
    ASSERT_EQ (::symlink (fixtures.getChildFile ("pi-in-entry.xml").getFullPathName().toRawUTF8(), link.getFullPathName().toRawUTF8()), 0);
    EXPECT_EQ (readFiles (link), Items { "/x/a" });
}
