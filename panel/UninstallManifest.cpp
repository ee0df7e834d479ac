#include "UninstallManifest.h"

namespace
{
// XmlElement::getChildByName also ignores case, but asserts whenever the case differs,
// and manifests in the wild do write "Files" or "PATH".
const juce::XmlElement* findChildIgnoringCase (const juce::XmlElement& parent, const juce::String& tagName)
{
    for (auto* child : parent.getChildIterator())
        if (child->getTagName().equalsIgnoreCase (tagName))
            return child;

    return nullptr;
}

void readPlainSection (const juce::XmlElement& root, const char* sectionName, juce::StringArray& list)
{
    if (auto* section = findChildIgnoringCase (root, sectionName))
        for (int i = 0; i < section->getNumChildElements(); ++i)
            list.addIfNotAlreadyThere (section->getChildElement (i)->getAllSubText());
}

void readPlistsSection (const juce::XmlElement& root, std::vector<LaunchdPlist>& list)
{
    if (auto* section = findChildIgnoringCase (root, "plists"))
    {
        for (int i = 0; i < section->getNumChildElements(); ++i)
        {
            auto* entry = section->getChildElement (i);
            auto* path = findChildIgnoringCase (*entry, "path");

            // An entry without a "path", or text standing directly in the section, still
            // gives a pair: its missing parts are empty.
            list.emplace_back (entry->getStringAttribute ("name"),
                               path != nullptr ? path->getAllSubText() : juce::String());
        }
    }
}
} // namespace

juce::File getApplicationBundle()
{
#if JUCE_MAC
    return juce::File::getSpecialLocation (juce::File::currentApplicationFile);
#else
    const auto executable = juce::File::getSpecialLocation (juce::File::currentExecutableFile);
    const auto macOSFolder = executable.getParentDirectory();
    const auto contentsFolder = macOSFolder.getParentDirectory();

    if (macOSFolder.getFileName() == "MacOS" && contentsFolder.getFileName() == "Contents")
        return contentsFolder.getParentDirectory();

    return executable;
#endif
}

juce::File getUninstallManifestFile (const juce::File& applicationBundle)
{
    return applicationBundle.getChildFile ("Contents")
        .getChildFile ("Resources")
        .getChildFile ("uninstaller_info.xml");
}

bool readUninstallManifest (const juce::File& manifestFile, UninstallManifest& manifest)
{
    if (! manifestFile.exists())
        return false;

    juce::XmlDocument document (manifestFile);
    const auto root = document.getDocumentElement();

    if (root == nullptr || root->getTagName() != "KestraneUninstallerInfo")
        return true;

    if (auto* name = findChildIgnoringCase (*root, "name"))
        manifest.productName = name->getAllSubText();

    readPlainSection (*root, "files", manifest.filesToDelete);
    readPlistsSection (*root, manifest.launchdPlists);
    readPlainSection (*root, "kill", manifest.processesToKill);
    readPlainSection (*root, "pkgremove", manifest.packagesToForget);
    readPlainSection (*root, "kexts", manifest.kextsToUnload);
    readPlainSection (*root, "haldrivers", manifest.halDriversToDelete);

    return true;
}
