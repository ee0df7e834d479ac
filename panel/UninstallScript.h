#pragma once

#include "UninstallManifest.h"

#include <ostream>

/** Turns a text into exactly one shell word that stands for that text, character for character.

    It quotes exactly what it is given and trims nothing: the composer trims each manifest value
    once, before anything else, and a blank at the end of a path made from a trimmed value
    belongs to that path. An empty text stays empty. ASCII letters and digits, the characters
    / . _ - + : , @ % ~ = ^ * ? and the bytes of non-ASCII characters stay as they are, so that
    "*" and "?" keep their wildcard meaning; an apostrophe becomes \' and every other character
    c becomes 'c', a blank thus ' '.
*/
juce::String quoteShellValue (const juce::String& value);

/** The path that the script deletes for a "files" entry: the trimmed entry made absolute, or
    empty for an empty entry.

    A leading "~" or "~/" is this user's home and "~name" that user's home, if the system knows
    the name; anything else that does not start with "/" is taken from the working directory.
    "." and ".." are resolved as text, ".." at the root staying at the root; doubled and
    trailing "/" are dropped. A lone "/" stays "/".
*/
juce::String absolutePathForFilesEntry (const juce::String& entry);

/** Composes the uninstall script from the manifest's lists, writing one console line per
    kernel extension to the given stream as it goes.
*/
juce::String composeUninstallScript (const UninstallManifest& manifest, std::ostream& console);
