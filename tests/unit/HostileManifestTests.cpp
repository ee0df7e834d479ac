#include "UninstallManifest.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using testsupport::Items;
using testsupport::Pairs;
using testsupport::toItems;
using testsupport::toPairs;

const size_t mebibyte = 1024 * 1024;

const juce::File fixtures = juce::File (ORVANTA_TEST_SOURCE_DIR).getChildFile ("fixtures").getChildFile ("hostile");

bool isEmpty (const UninstallManifest& m)
{
    return m.productName.isEmpty() && m.filesToDelete.isEmpty() && m.processesToKill.isEmpty()
           && m.packagesToForget.isEmpty() && m.kextsToUnload.isEmpty() && m.halDriversToDelete.isEmpty()
           && m.launchdPlists.empty();
}

/** Reads the file as the panel does. A regular file's bytes, read from memory, must give the
    same manifest. */
UninstallManifest readAsThePanelDoes (const juce::File& file)
{
    UninstallManifest manifest;
    EXPECT_TRUE (readUninstallManifest (file, manifest)) << "something exists there, so the panel repaints";

    struct stat info;

    if (::stat (file.getFullPathName().toRawUTF8(), &info) == 0 && S_ISREG (info.st_mode))
    {
        juce::MemoryBlock bytes;
        juce::FileInputStream (file).readIntoMemoryBlock (bytes);

        UninstallManifest fromMemory;
        EXPECT_EQ (readUninstallManifestText (static_cast<const char*> (bytes.getData()), bytes.getSize(), fromMemory),
                   ! isEmpty (manifest));
        EXPECT_EQ (fromMemory.productName, manifest.productName);
        EXPECT_EQ (toItems (fromMemory.filesToDelete), toItems (manifest.filesToDelete));
        EXPECT_EQ (toPairs (fromMemory.launchdPlists), toPairs (manifest.launchdPlists));
    }

    return manifest;
}

/** Reads the file as the panel does; "files" holds what was read, or nothing when the file is
    unusable (every list empty, nothing kept). */
std::optional<Items> readFiles (const juce::File& file)
{
    const auto manifest = readAsThePanelDoes (file);

    if (isEmpty (manifest))
        return std::nullopt;

    EXPECT_EQ (manifest.productName, "N");
    EXPECT_TRUE (manifest.processesToKill.isEmpty() && manifest.launchdPlists.empty() && manifest.kextsToUnload.isEmpty());
    return toItems (manifest.filesToDelete);
}

/** What a manifest named "N" gives in "files" and "plists". */
struct FilesAndPlists
{
    Items files;
    Pairs plists;

    bool operator== (const FilesAndPlists& other) const { return files == other.files && plists == other.plists; }
};

void PrintTo (const FilesAndPlists& read, std::ostream* stream)
{
    *stream << testing::PrintToString (read.files) << " and " << testing::PrintToString (read.plists);
}

std::optional<FilesAndPlists> readFilesAndPlists (const juce::File& file)
{
    const auto manifest = readAsThePanelDoes (file);

    if (isEmpty (manifest))
        return std::nullopt;

    EXPECT_EQ (manifest.productName, "N");
    return FilesAndPlists { toItems (manifest.filesToDelete), toPairs (manifest.launchdPlists) };
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
    that no list reads, 14 MiB of characters, then 50 references to a 1 MiB entity. Entities may
    make at most four times what the document holds before them, so the text limit is met by a
    file of about 15 MiB, whose characters come first. */
std::string manifestWithEntityText (size_t extra)
{
    const size_t limit = 64 * mebibyte, ownText = std::strlen ("N/x/a"), numReferences = 50;

    std::string references;
    for (size_t i = 0; i < numReferences; ++i)
        references += "&e;";

    return manifestWith ("<!ENTITY e \"" + std::string (mebibyte, 'e') + "\">",
                         "<files>/x/a</files><unread>" + std::string (limit - ownText - numReferences * mebibyte + extra, 'x')
                             + references + "</unread>");
}

/** A manifest whose entity, of the given size, is named the given number of times in one
    attribute: the "name" of a "plists" entry, or an attribute of a "files" entry that no list
    reads. A comment of the given size stands before it. */
std::string manifestWithEntityInAttribute (size_t entitySize, size_t numReferences, bool inPlistsName, size_t commentSize = 0)
{
    std::string references;
    for (size_t i = 0; i < numReferences; ++i)
        references += "&e;";

    return manifestWith ("<!ENTITY e \"" + std::string (entitySize, 'e') + "\">",
                         (commentSize > 0 ? "<!--" + std::string (commentSize, 'x') + "-->" : std::string())
                             + (inPlistsName ? "<plists><i name=\"" + references + "\"><path>/x/p</path></i></plists>"
                                             : "<files><i unread=\"" + references + "\">/x/a</i></files>"));
}

/** "plists" entries that take a name of the given size from the attribute's default. */
std::string manifestWithDefaultNames (size_t nameSize, size_t numEntries)
{
    std::string entries;
    for (size_t i = 0; i < numEntries; ++i)
        entries += "<i><path>/x/p</path></i>";

    return manifestWith ("<!ATTLIST i name CDATA \"" + std::string (nameSize, 'n') + "\">", "<plists>" + entries + "</plists>");
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
        { "entity-parameter-undeclared-external-dtd.xml", unusable },
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

// Read without the DTD, unless expat would skip an entity that only the DTD could declare where
// the reader would then read something else than the document means.
TEST_F (HostileFolder, AnExternalDtdIsReadUnlessItCouldChangeWhatIsRead)
{
    const std::optional<FilesAndPlists> unusable;
    const Pairs agent { { "SampleAgent", "/x/SampleAgent.plist" } };

    const std::vector<std::pair<const char*, std::optional<FilesAndPlists>>> cases {
        { "external-dtd.xml", FilesAndPlists { { "/x/a" }, agent } },
        { "external-dtd-entity-declared.xml", FilesAndPlists { { "/x/Prod/a" }, { { "SampleAgent-&&<>\"'", "/x/Prod/agent.plist" } } } },
        { "external-dtd-entity-undefined-in-other-attributes.xml", FilesAndPlists { { "/x/a" }, agent } },
        { "external-dtd-entity-undefined-in-name-quoted-apart.xml", unusable },
        { "external-dtd-attribute-default.xml", FilesAndPlists { {}, agent } },
        { "external-dtd-attribute-default-undefined.xml", unusable },
    };

    for (const auto& [name, expected] : cases)
    {
        SCOPED_TRACE (name);
        const auto file = fixtures.getChildFile (name);
        ASSERT_TRUE (file.existsAsFile());
        EXPECT_EQ (readFilesAndPlists (file), expected);
    }

    // expat converts a document that is not UTF-8 1,024 bytes at a time, so that a long start tag
    // comes in pieces; here a reference in the name spans two of them, wherever it is cut.
    const auto latin1WithName = [] (const std::string& name)
    {
        return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
               "<!DOCTYPE KestraneUninstallerInfo SYSTEM \"uninstaller.dtd\" [<!ENTITY agent \"Agent\">]>\n"
               "<KestraneUninstallerInfo><name>N</name><plists>\n"
               "<i name=\""
               + name + "\"><path>/x/p</path></i></plists></KestraneUninstallerInfo>\n";
    };

    const auto file = folder.getChildFile ("latin1.xml");

    for (size_t before = 1024 - 16; before < 1024; ++before)
    {
        const std::string padding (before - std::strlen ("<i name=\""), 'a');
        SCOPED_TRACE (before);

        ASSERT_TRUE (file.replaceWithText (latin1WithName (padding + "&agent;")));
        EXPECT_EQ (readFilesAndPlists (file), (FilesAndPlists { {}, { { padding + "Agent", "/x/p" } } }));

        ASSERT_TRUE (file.replaceWithText (latin1WithName (padding + "&x;")));
        EXPECT_EQ (readFilesAndPlists (file), unusable);
    }

    // A piece of a comment is no declaration, whatever it starts with.
    const std::string comment ("<!--" + std::string (1024 - 4, 'c') + "<!ATTLIST i name CDATA " + std::string (1024 - 23, 'c') + "'&x;' -->");
    ASSERT_TRUE (file.replaceWithText ("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                                       "<!DOCTYPE KestraneUninstallerInfo SYSTEM \"uninstaller.dtd\" [\n"
                                       + comment + "\n]>\n<KestraneUninstallerInfo><name>N</name><files><i>/x/a</i></files></KestraneUninstallerInfo>\n"));
    EXPECT_EQ (readFilesAndPlists (file), (FilesAndPlists { { "/x/a" }, {} }));
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
        { "16 MiB: a 4 MiB entity, named in a plists entry's name as often as there is room",
          manifestWithEntityInAttribute (4 * mebibyte, (12 * mebibyte - 256) / 3, true), std::nullopt },
        { "16 MiB: a 4 MiB entity named 17 times in an attribute that no list reads, after a comment",
          manifestWithEntityInAttribute (4 * mebibyte, 17, false, 12 * mebibyte - 512), std::nullopt },
        { "a small file whose 1 MiB entity, named 60 times in an attribute that no list reads, makes less than 64 MiB in all",
          manifestWithEntityInAttribute (mebibyte, 60, false), Items { "/x/a" } },
        { "the names of plists entries count as text: 65 that take 1 MiB each from the attribute's default",
          manifestWithDefaultNames (mebibyte, 65), std::nullopt },
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

    // Its size says nothing of what it holds: it is read until it ends.
    const auto procFile = folder.getChildFile ("status.xml");
    ASSERT_EQ (::symlink ("/proc/self/status", procFile.getFullPathName().toRawUTF8()), 0);
    EXPECT_EQ (readFiles (procFile), std::nullopt);

    // A link to a manifest is read as the manifest.
    const auto link = folder.getChildFile ("link.xml");
    ASSERT_EQ (::symlink (fixtures.getChildFile ("pi-in-entry.xml").getFullPathName().toRawUTF8(), link.getFullPathName().toRawUTF8()), 0);
    EXPECT_EQ (readFiles (link), Items { "/x/a" });
}
