#include "UninstallManifest.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

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

std::string manifestWithFiles (const std::string& files)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<KestraneUninstallerInfo><name>N</name><files>"
           + files + "</files></KestraneUninstallerInfo>\n";
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
    // A million levels: no recursion may grow with the depth.
    std::string deep;
    deep.reserve (8 * 1000 * 1000);
    for (int i = 0; i < 1000 * 1000; ++i)
        deep += "<a>";
    deep += "/x/deep";
    for (int i = 0; i < 1000 * 1000; ++i)
        deep += "</a>";

    const auto deepFile = folder.getChildFile ("deep.xml");
    ASSERT_TRUE (deepFile.replaceWithText (manifestWithFiles (deep)));
    EXPECT_EQ (readFiles (deepFile), Items { "/x/deep" });

    // Well-formed, and a real manifest but for 17 MiB of comment: too big to be one.
    const auto bigFile = folder.getChildFile ("big.xml");
    ASSERT_TRUE (bigFile.replaceWithText (manifestWithFiles ("<i>/x/big</i><!--" + std::string (17 * 1024 * 1024, 'x') + "-->")));
    EXPECT_EQ (readFiles (bigFile), std::nullopt);

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
