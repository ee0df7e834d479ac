#pragma once

#include <juce_core/juce_core.h>

#include <tuple>
#include <vector>

/** One "plists" entry: the process name (its "name" attribute), then the plist path. */
using LaunchdPlist = std::tuple<juce::String, juce::String>;

/** What an uninstall manifest names, list by list, in manifest order. */
struct UninstallManifest
{
    juce::String productName;
    juce::StringArray filesToDelete;
    juce::StringArray processesToKill;
    juce::StringArray packagesToForget;
    juce::StringArray kextsToUnload;
    juce::StringArray halDriversToDelete;
    std::vector<LaunchdPlist> launchdPlists;
};

/** The application file that the manifest is looked up from.

    On macOS that is the bundle itself. Elsewhere there are no bundles, so the build lays the
    same folders out and this is the folder that holds "Contents/MacOS/<executable>"; an
    executable that lies anywhere else is returned as it is, and no manifest is found below it.
*/
juce::File getApplicationBundle();

/** <bundle>/Contents/Resources/uninstaller_info.xml */
juce::File getUninstallManifestFile (const juce::File& applicationBundle);

/** Reads the manifest at the given path into a manifest whose lists start empty.

    Returns true when anything exists at the path (even a folder, or a file that doesn't
    parse): the panel repaints then. Nothing is reported: whatever is unusable leaves the
    lists as they were.
*/
bool readUninstallManifest (const juce::File& manifestFile, UninstallManifest& manifest);
