#pragma once

#include "UninstallManifest.h"

#include <ostream>

/** Turns one manifest value into exactly one shell word.

    Surrounding whitespace is dropped first, and an empty value stays empty. ASCII letters and
    digits, the characters / . _ - + : , @ % ~ = ^ * ? and the bytes of non-ASCII characters
    stay as they are, so that "*" and "?" keep their wildcard meaning; an apostrophe becomes \'
    and every other character c becomes 'c', a blank thus ' '.
*/
juce::String quoteShellValue (const juce::String& value);

/** The path that the script deletes for a "files" entry: the trimmed entry made absolute by
    the framework's rules (a leading "~" is this user's home, anything relative is taken from
    the working directory), or empty for an empty entry.
*/
juce::String absolutePathForFilesEntry (const juce::String& entry);

/** Composes the uninstall script from the manifest's lists, writing one console line per
    kernel extension to the given stream as it goes.
*/
juce::String composeUninstallScript (const UninstallManifest& manifest, std::ostream& console);
