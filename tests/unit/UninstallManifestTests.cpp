#include "UninstallManifest.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace
{
using testsupport::Items;
using testsupport::Pairs;
using testsupport::toItems;
using testsupport::toPairs;

struct ManifestCase
{
    const char* what;
    const char* xml;
    std::string productName;
    Items files, kill, pkgremove, kexts, haldrivers;
    Pairs plists;
};

const char* const header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string wrap (const std::string& body)
{
    return std::string (header) + "<KestraneUninstallerInfo>" + body + "</KestraneUninstallerInfo>";
}

class ManifestFolder : public testsupport::TemporaryFolder
{
protected:
    juce::File write (const std::string& text)
    {
        auto file = folder.getChildFile ("uninstaller_info.xml");
        file.deleteFile();
        EXPECT_TRUE (file.create());
        EXPECT_TRUE (file.appendData (text.data(), text.size()) || text.empty());
        return file;
    }
};
} // namespace

TEST_F (ManifestFolder, EntriesFollowTheReadingRules)
{
    const std::vector<ManifestCase> cases {
        { "the example manifest",
          "<name>Sample Audio Suite</name>"
          "<kexts><item>/Library/Extensions/SampleAudio.kext</item></kexts>"
          "<haldrivers><item>/Library/Audio/Plug-Ins/HAL/SampleAudio.driver</item></haldrivers>"
          "<plists><item name=\"SampleAgent\"><path>/Library/LaunchDaemons/SampleAgent.plist</path></item></plists>"
          "<kill><item>SampleMixer</item><item>SampleMixer</item></kill>"
          "<files><item>/Applications/Sample Mixer.app</item><item>~/Library/Preferences/SampleMixer.plist</item></files>"
          "<pkgremove><item>sample.audio.driver</item></pkgremove>",
          "Sample Audio Suite",
          { "/Applications/Sample Mixer.app", "~/Library/Preferences/SampleMixer.plist" },
          { "SampleMixer" },
          { "sample.audio.driver" },
          { "/Library/Extensions/SampleAudio.kext" },
          { "/Library/Audio/Plug-Ins/HAL/SampleAudio.driver" },
          { { "SampleAgent", "/Library/LaunchDaemons/SampleAgent.plist" } } },

        { "sections and path in other letter case; the attribute is exact",
          "<NAME>P</NAME><FILES><item>/a</item></FILES><Kill><x>k</x></Kill>"
          "<PlIsTs><item name=\"n1\"><Path>/p1</Path></item><item Name=\"n2\"><PATH>/p2</PATH></item></PlIsTs>",
          "P",
          { "/a" },
          { "k" },
          {},
          {},
          {},
          { { "n1", "/p1" }, { "", "/p2" } } },

        { "any entry tag; nested text joined; untrimmed",
          "<name>N</name><kexts><kext>/k</kext><file>/f</file><x><a>/nest</a>ed<b>/x</b></x></kexts>"
          "<files><item>\n      /indented\n    </item><item> two  blanks </item></files>",
          "N",
          { "\n      /indented\n    ", " two  blanks " },
          {},
          {},
          { "/k", "/f", "/nested/x" },
          {},
          {} },

        { "indented with tabs: whitespace between entries is no entry",
          "\n\t<name>N</name>\n\t<files>\n\t\t<item>/a</item>\n\t\t<item>/b</item>\n\t</files>\n"
          "\t<plists>\n\t\t<item name=\"n\">\n\t\t\t<path>/p</path>\n\t\t</item>\n\t</plists>\n",
          "N",
          { "/a", "/b" },
          {},
          {},
          {},
          {},
          { { "n", "/p" } } },

        { "text standing in a section is an entry; whitespace between entries is not",
          "<name>N</name><kill>\n  <item>a</item>\n  loose text  <item>b</item>\n</kill>",
          "N",
          {},
          { "a", "\n  loose text  ", "b" },
          {},
          {},
          {},
          {} },

        { "exact duplicates dropped, case-different kept, other sections unaffected",
          "<name>N</name><files><i>/a</i><i>/A</i><i>/a</i><i></i><i></i></files>"
          "<pkgremove><i>/a</i></pkgremove>"
          "<plists><i name=\"d\"><path>/p</path></i><i name=\"d\"><path>/p</path></i></plists>",
          "N",
          { "/a", "/A", "" },
          {},
          { "/a" },
          {},
          {},
          { { "d", "/p" }, { "d", "/p" } } },

        { "only the first section and the first name count",
          "<name>first</name><name>second</name><kill><i>1</i></kill><KILL><i>2</i></KILL>"
          "<plists><i name=\"n\"><path>/one</path><path>/two</path></i></plists>",
          "first",
          {},
          { "1" },
          {},
          {},
          {},
          { { "n", "/one" } } },

        { "a missing name, a plists entry without path, and text in plists",
          "<plists><i name=\"lonely\"/>stray</plists><kexts/>",
          "",
          {},
          {},
          {},
          {},
          {},
          { { "lonely", "" }, { "", "" } } },

        { "sections nested below the root are not found",
          "<name>N</name><group><files><i>/deep</i></files></group>",
          "N",
          {},
          {},
          {},
          {},
          {},
          {} },

        { "comments are no entries",
          "<name>N</name><files><!-- /commented --><i>/kept</i></files>",
          "N",
          { "/kept" },
          {},
          {},
          {},
          {},
          {} },

        { "a processing instruction ends a text run",
          "<name>N</name><files>/x/a<?p?>/x/b</files>",
          "N",
          { "/x/a", "/x/b" },
          {},
          {},
          {},
          {},
          {} },

        { "a path below another child of a plists entry is not its path",
          "<name>N</name><plists><i name=\"n\"><x><path>/nested</path></x><path>/p</path></i></plists>",
          "N",
          {},
          {},
          {},
          {},
          {},
          { { "n", "/p" } } },

        { "a repeated plists section in another letter case is ignored with all it holds",
          "<name>N</name><plists><i name=\"a\"><path>/a</path></i></plists>"
          "<PLISTS><i name=\"b\"><path>/b</path></i>stray</PLISTS>",
          "N",
          {},
          {},
          {},
          {},
          {},
          { { "a", "/a" } } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);

        UninstallManifest manifest;
        ASSERT_TRUE (readUninstallManifest (write (wrap (c.xml)), manifest));

        EXPECT_EQ (manifest.productName.toStdString(), c.productName);
        EXPECT_EQ (toItems (manifest.filesToDelete), c.files);
        EXPECT_EQ (toItems (manifest.processesToKill), c.kill);
        EXPECT_EQ (toItems (manifest.packagesToForget), c.pkgremove);
        EXPECT_EQ (toItems (manifest.kextsToUnload), c.kexts);
        EXPECT_EQ (toItems (manifest.halDriversToDelete), c.haldrivers);
        EXPECT_EQ (toPairs (manifest.launchdPlists), c.plists);
    }
}

TEST_F (ManifestFolder, UnusableFilesLeaveEverythingEmpty)
{
    struct Case
    {
        const char* what;
        std::string text;
    };

    const std::vector<Case> cases {
        { "not XML", "this is not xml at all" },
        { "not well-formed", wrap ("<name>N</name><files><i>/a</i></files").substr (0, 60) },
        { "cut off before the root's end tag", std::string (header) + "<KestraneUninstallerInfo><name>N</name><files><i>/a</i></files>" },
        { "empty file", "" },
        { "root in small letters", std::string (header) + "<kestraneuninstallerinfo><name>N</name><files><i>/a</i></files></kestraneuninstallerinfo>" },
        { "another root", std::string (header) + "<Manifest><name>N</name><files><i>/a</i></files></Manifest>" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);

        UninstallManifest manifest;
        EXPECT_TRUE (readUninstallManifest (write (c.text), manifest)) << "a file exists, so the panel repaints";
        EXPECT_TRUE (manifest.productName.isEmpty());
        EXPECT_TRUE (manifest.filesToDelete.isEmpty());
        EXPECT_TRUE (manifest.launchdPlists.empty());
    }
}

TEST_F (ManifestFolder, NothingOrAFolderAtThePath)
{
    UninstallManifest manifest;
    const auto path = folder.getChildFile ("uninstaller_info.xml");

    EXPECT_FALSE (readUninstallManifest (path, manifest)) << "nothing there: no repaint";

    ASSERT_TRUE (path.createDirectory());
    EXPECT_TRUE (readUninstallManifest (path, manifest)) << "a folder passes the existence test";
    EXPECT_TRUE (manifest.productName.isEmpty());
    EXPECT_TRUE (manifest.kextsToUnload.isEmpty());
}

TEST_F (ManifestFolder, TheManifestLiesInTheBundlesResources)
{
    const auto bundle = folder.getChildFile ("Orvanta Uninstaller.app");
    EXPECT_EQ (getUninstallManifestFile (bundle).getFullPathName(),
               bundle.getFullPathName() + "/Contents/Resources/uninstaller_info.xml");
}

TEST (ShippedManifest, ReadsAsTheSampleSuite)
{
    const auto shipped = juce::File (ORVANTA_TEST_SOURCE_DIR).getSiblingFile ("resources").getChildFile ("uninstaller_info.xml");

    UninstallManifest manifest;
    ASSERT_TRUE (readUninstallManifest (shipped, manifest));
    EXPECT_EQ (manifest.productName, "Sample Audio Suite");
    EXPECT_EQ (toItems (manifest.processesToKill), Items { "SampleMixer" });
    EXPECT_EQ (manifest.filesToDelete.size(), 2);
    EXPECT_EQ (toPairs (manifest.launchdPlists), (Pairs { { "SampleAgent", "/Library/LaunchDaemons/SampleAgent.plist" } }));
}
