#pragma once

#include "UninstallManifest.h"

#include <ostream>

/** Turns a text into exactly one shell word that gives the command that text, character for
    character, in dash and in bash, in POSIX mode or not, and in any locale.

    It quotes exactly what it is given and trims nothing: the composer trims each manifest value
    once, before anything else, and a blank at the end of a path made from a trimmed value
    belongs to that path. An empty text stays empty. ASCII letters and digits, the characters
    / . _ - + : , @ % = ^ * ? and the bytes of non-ASCII characters stay as they are, so that
    "*" and "?" keep their wildcard meaning; an apostrophe becomes "'" and every other character
    c becomes 'c', a blank thus ' '. Nothing is escaped with a backslash: in a GBK, Big5 or
    Shift_JIS locale the last byte of a UTF-8 character and a backslash after it can read as one
    character.

    The wildcards of a segment that the shell could expand to "." or ".." are quoted too, where
    another non-empty segment follows it: a "/"-separated segment of a "." and then only "*", with
    at most one "?" or "." among them (".*", ".?", "..*", ".*?"). dash, and bash before 5.2, match
    "." and ".." with such a pattern, and ".*" between "/a/" and "/b" would name "/b". As the last
    segment, ".*" keeps its meaning.

    Only a leading "~" that names a home folder stays bare: one that the text up to its first "/"
    (or its end) follows, when that is empty or a user name of ASCII letters, digits, ".", "_" and
    "-" that starts with a letter or "_". Every other "~" becomes '~', so that the command gets the
    text as written: bash reads "~+", "~-" and "~N" as the working directory, the previous one
    and the directory stack, ends a user name early at ":" ("~root:x"), and expands a "~" after
    "=" or ":" in an argument outside POSIX mode.
*/
juce::String quoteShellValue (const juce::String& value);

/** The path that the script deletes for a "files" entry: the trimmed entry made absolute, or
    empty for an empty entry.

    A leading "~" or "~/" is this user's home (HOME when that is an absolute path, else the
    password database's) and "~name" that user's home, if the system knows the name; anything
    else that does not start with "/" is taken from the working directory. Where there is no
    such home or working directory the path is empty, and so it is where the home folder is the
    root ("/", "//", "/x/.."): that names no home. "." and ".." are resolved as text, ".."
    at the root staying at the root, except in the last segment: an entry that ends in "." or
    ".." keeps it, so that it never names its parent folder, and rm refuses it. Doubled and
    trailing "/" are dropped; a lone "/" stays "/".
*/
juce::String absolutePathForFilesEntry (const juce::String& entry);

/** Composes the uninstall script from the manifest's lists, writing one console line per
    kernel extension to the given stream as it goes.
*/
juce::String composeUninstallScript (const UninstallManifest& manifest, std::ostream& console);
