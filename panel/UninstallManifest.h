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
    lists as they were. Only a regular file of up to 16 MiB, or a symbolic link to one, is read.
*/
bool readUninstallManifest (const juce::File& manifestFile, UninstallManifest& manifest);

/** Reads a manifest's bytes, as readUninstallManifest() reads a file's.

    The text is an XML 1.0 document in UTF-8, UTF-16 with its byte order mark, ISO-8859-1 or
    US-ASCII, as it declares. After a byte order mark the declaration may name only the mark's
    own encoding, in any letter case: "UTF-8", or "UTF-16" and "UTF-16LE" or "UTF-16BE" as the
    mark orders the bytes. Returns true and fills the manifest when the text is a well-formed
    document whose root is "KestraneUninstallerInfo". Otherwise it is unusable: the result is
    false and the manifest is left as it was.

    A document that names an external DTD is read without it, as any other. It is unusable,
    though, when it refers to an entity that it neither declares itself nor is predefined, where
    that changes what is read: in text, in the "name" of a "plists" entry, or in the default
    value of an attribute. Elsewhere, in an attribute that nothing reads, such a reference is
    dropped. (A document without an external DTD may not refer to an undeclared entity at all.)
    Entities stand for text only: a document is unusable when the replacement text of one of its
    entities holds "&" (it refers to another entity), and when it declares or refers to any
    parameter entity, whether it says it stands alone or not. And it is unusable when it holds
    more than a manifest needs: over 64 MiB of text (what entities make and the names of
    "plists" entries count too), or entities that make more than four times the document's own
    bytes once the two come to 64 MiB, in text or in attributes; a document of at most 16 MiB
    can thus not have them make more than 64 MiB.
*/
bool readUninstallManifestText (const char* text, size_t size, UninstallManifest& manifest);
