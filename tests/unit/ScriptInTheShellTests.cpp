#include "OSXMethods.h"
#include "UninstallScript.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <iterator>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace
{
using Command = std::vector<std::string>; // the program's name, then its arguments

/** A shell the script meets, and the locale it runs in. Debian's /bin/sh is dash; macOS's is
    bash, which runs as "sh" in its POSIX mode and expands more than dash does ("~+", for one),
    and more again outside that mode ("a=~/x"). In a GBK, Big5 or Shift_JIS locale bash reads
    some ASCII bytes after a UTF-8 character as part of one of its own.
*/
struct Shell
{
    const char* name;
    const char* command;
    const char* locale = nullptr;
    const char* charmap = nullptr;
    const char* oneCharacter = nullptr; // two bytes that are one character there, as printf escapes
};

void PrintTo (const Shell& shell, std::ostream* out)
{
    *out << shell.command << (shell.locale != nullptr ? std::string (" in ") + shell.locale : std::string());
}

const Shell shells[] = {
    { "sh", "/bin/sh" },
    { "bashPosix", "bash --posix" },
    { "bash", "bash" },
    { "bashPosixGBK", "bash --posix", "zh_CN.GBK", "GBK", "\\304\\343" },
    { "bashPosixBig5", "bash --posix", "zh_TW.BIG5", "BIG5", "\\244\\244" },
    { "bashPosixShiftJIS", "bash --posix", "ja_JP.SJIS", "SHIFT_JIS", "\\202\\240" },
};

/** Runs composed scripts in the shell of the test's parameter, from a scratch folder, with
    stand-ins for the commands that a script names first on PATH.
*/
class ScriptInAShell : public ::testing::TestWithParam<Shell>
{
protected:
    void SetUp() override
    {
        folder = juce::File::createTempFile ("stubs");
        ASSERT_TRUE (folder.getChildFile ("bin").createDirectory());
        log = folder.getChildFile ("calls.log");

        if (const auto* path = std::getenv ("PATH"))
            previousPath = path;

        ::setenv ("PATH", (folder.getChildFile ("bin").getFullPathName() + ":" + previousPath).toRawUTF8(), 1);

        // Should the quoting ever break, whatever a value makes of the script lands here.
        previousDirectory = juce::File::getCurrentWorkingDirectory();
        ASSERT_TRUE (folder.getChildFile ("cwd").createDirectory());
        ASSERT_TRUE (folder.getChildFile ("cwd").setAsCurrentWorkingDirectory());

        // A locale that bash cannot load leaves it in "C", where every test here would pass.
        if (const auto& shell = GetParam(); shell.locale != nullptr)
        {
            const auto check = juce::String ("[ \"$(locale charmap)\" = ") + shell.charmap + " ] && x=$(printf '" + shell.oneCharacter + "') && [ ${#x} = 1 ]";
            ASSERT_TRUE (runCommandToCompletion (inTheShell (check)))
                << shell.locale << " is not there: the build generates it into " << ORVANTA_TEST_LOCALE_DIR;
        }
    }

    void TearDown() override
    {
        ::setenv ("PATH", previousPath.toRawUTF8(), 1);
        previousDirectory.setAsCurrentWorkingDirectory();
        folder.deleteRecursively();
    }

    /** Writes a stand-in: a shell script of the given body, run by /bin/sh. */
    void addCommand (const char* name, const juce::String& body)
    {
        const auto stub = folder.getChildFile ("bin").getChildFile (name);
        ASSERT_TRUE (stub.replaceWithText ("#!/bin/sh\n" + body, false, false, "\n"));
        ASSERT_TRUE (stub.setExecutePermission (true));
    }

    /** A command that records its name and arguments in the log, NUL-separated, and runs nothing. */
    static juce::String recordingBody (const char* name, const juce::File& log)
    {
        return "{ printf '%s\\0' \"" + juce::String (name) + "\" \"$#\"; for a in \"$@\"; do printf '%s\\0' \"$a\"; done; } >> '"
               + log.getFullPathName() + "'\n";
    }

    juce::StringArray inTheShell (const juce::String& text) const
    {
        juce::StringArray command;

        if (GetParam().locale != nullptr)
            command.addArray ({ "env", juce::String ("LOCPATH=") + ORVANTA_TEST_LOCALE_DIR, juce::String ("LC_ALL=") + GetParam().locale });

        command.addTokens (GetParam().command, false);
        command.add ("-c");
        command.add (text);
        return command;
    }

    bool run (const juce::String& script)
    {
        log.deleteFile();
        const auto source = makeDoShellScriptSource (script);

        // The runner itself runs /bin/sh; without root rights it would ask polkit, so it is
        // left out then.
        if (juce::String (GetParam().command) == "/bin/sh" && ::geteuid() == 0)
            return runAppleScriptSource (source);

        juce::String text;
        return readDoShellScriptSource (source, text) && runCommandToCompletion (inTheShell (text));
    }

    std::vector<Command> calls() const
    {
        juce::MemoryBlock data;
        log.loadFileAsData (data);

        std::vector<std::string> fields;
        std::string field;

        for (size_t i = 0; i < data.getSize(); ++i)
        {
            if (data[i] == 0)
                fields.push_back (std::exchange (field, {}));
            else
                field += data[i];
        }

        std::vector<Command> result;

        for (size_t i = 0; i + 1 < fields.size();)
        {
            Command command { fields[i] };
            const auto count = static_cast<size_t> (std::stoul (fields[i + 1]));
            command.insert (command.end(), fields.begin() + static_cast<std::ptrdiff_t> (i + 2),
                            fields.begin() + static_cast<std::ptrdiff_t> (std::min (fields.size(), i + 2 + count)));
            result.push_back (command);
            i += 2 + count;
        }

        return result;
    }

    juce::File folder, log, previousDirectory;
    juce::String previousPath;
};

// Stubs record every call and run nothing: the composed script can then name any value at all
// without a real rm, pkill or launchctl ever seeing it.
class RecordingStubs : public ScriptInAShell
{
protected:
    void SetUp() override
    {
        ScriptInAShell::SetUp();

        for (const auto* name : { "sudo", "kextunload", "launchctl", "pkill", "pkgutil", "touch", "rm" })
            addCommand (name, recordingBody (name, log));
    }
};

/** What the shell makes of a value that reaches it as one word: a leading "~" that names a home
    folder becomes that folder, a "~" alone or before "/" this user's (HOME), and "~name" that
    user's, for a name that bash and dash both read whole and that the system knows. Everything
    else stays as written. */
std::string asTheShellReadsIt (const std::string& value)
{
    if (value.empty() || value[0] != '~')
        return value;

    const auto slash = std::min (value.find ('/'), value.size());
    const auto name = value.substr (1, slash - 1);
    const auto rest = value.substr (slash);

    if (name.empty())
    {
        const auto* home = std::getenv ("HOME");
        return (home != nullptr ? std::string (home) : std::string (::getpwuid (::getuid())->pw_dir)) + rest;
    }

    if (! std::regex_match (name, std::regex ("[A-Za-z_][A-Za-z0-9._-]*")))
        return value;

    if (const auto* account = ::getpwnam (name.c_str()))
        return account->pw_dir + rest;

    return value;
}

// The commands the script should run, in its order, each value trimmed and whole.
std::vector<Command> expectedCalls (const UninstallManifest& m)
{
    std::vector<Command> calls;
    const std::string coreAudio ("/System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist");

    // Each value is trimmed once; a files entry is then made absolute, and nothing more.
    const auto with = [] (Command command, const juce::String& value)
    {
        if (value.isNotEmpty())
            command.push_back (asTheShellReadsIt (value.toStdString()));

        return command;
    };

    for (const auto& kext : m.kextsToUnload)
    {
        calls.push_back (with ({ "sudo", "kextunload" }, kext.trim()));
        calls.push_back (with ({ "sudo", "rm", "-R" }, kext.trim()));
    }

    if (! m.kextsToUnload.isEmpty())
        calls.push_back ({ "sudo", "touch", "/Library/Extensions" });

    for (const auto& driver : m.halDriversToDelete)
        calls.push_back (with ({ "rm", "-R" }, driver.trim()));

    if (! m.halDriversToDelete.isEmpty())
    {
        calls.push_back ({ "sudo", "launchctl", "unload", coreAudio });
        calls.push_back ({ "sudo", "launchctl", "load", coreAudio });
    }

    for (const auto& [name, path] : m.launchdPlists)
    {
        calls.push_back (with ({ "sudo", "pkill" }, name.trim()));
        calls.push_back (with ({ "launchctl", "stop", "-F" }, path.trim()));
        calls.push_back (with ({ "launchctl", "unload", "-F" }, path.trim()));
        calls.push_back (with ({ "sudo", "rm", "-rf" }, path.trim()));
    }

    for (const auto& process : m.processesToKill)
        calls.push_back (with ({ "sudo", "pkill" }, process.trim()));

    for (const auto& file : m.filesToDelete)
        calls.push_back (with ({ "sudo", "rm", "-rf" }, absolutePathForFilesEntry (file)));

    for (const auto& package : m.packagesToForget)
        calls.push_back (with ({ "sudo", "pkgutil", "--forget" }, package.trim()));

    return calls;
}

// UTF-8 characters, among them ones whose last byte a GBK, Big5 or Shift_JIS locale reads as the
// first of a character of its own ("\xe4\xb8\xad" and "\xe3\x81\x81"), and the characters that
// mean something to a shell.
const char* const multiByte[] = { "\xc3\xa9", "\xe9\x9f\xb3", "\xf0\x9f\x8e\xb5", "\xc2\xa0", "\xe4\xb8\xad", "\xe3\x81\x81" };
const char special[] = "\"'\\$`;&|()<>[]{}#! \t\n\r~+-0=:@^";

// Tilde forms that bash reads in ways of its own. "~root" is a user that the system knows, and
// bash outside POSIX mode expands a "~" after the "=" or ":" of a word that looks like an
// assignment.
const char* const tildeForms[] = { "~", "~/", "~root", "~root/", "~root:", "~root=", "~_x/", "~a.b-c", "=~", "=~/", ":~", "=~root" };
const char* const assignmentForms[] = { "a=~", "a=~/", "x=~root", "PATH=a:~/", "b=x:~root" };

// Wildcard segments that dash expands to ".." where nothing quotes them: the scratch folder has a
// "bin" beside the working directory.
const char* const dotWildcards[] = { ".*/bin", ".?/bin", "..*/bin", ".*?/bin" };

// Any character at all, wildcards only in segments that must not expand, and every form of "~".
juce::String randomValue (juce::Random& random)
{
    if (random.nextInt (10) == 0)
        return dotWildcards[random.nextInt (static_cast<int> (std::size (dotWildcards)))];

    const auto pick = [&random] (const auto& choices)
    { return choices[random.nextInt (static_cast<int> (std::size (choices)))]; };
    const auto pickSpecial = [&random]
    { return special[random.nextInt (static_cast<int> (sizeof (special) - 1))]; };

    std::string value;

    switch (random.nextInt (6))
    {
        case 0: value += pick (tildeForms); break;
        case 1: value += pick (assignmentForms); break;
        default: break;
    }

    for (auto length = random.nextInt (14); --length >= 0;)
    {
        switch (random.nextInt (7))
        {
            case 0: value += pickSpecial(); break;
            case 1: value += pick (multiByte); break;
            case 2: value += static_cast<char> (1 + random.nextInt (31)); break;
            case 3: (value += pick (multiByte)) += pickSpecial(); break;
            case 4: value += pick (tildeForms); break;
            default:
            {
                const auto c = static_cast<char> (32 + random.nextInt (95));
                value += (c == '*' || c == '?') ? '%' : c;
                break;
            }
        }
    }

    return juce::String::fromUTF8 (value.data(), static_cast<int> (value.size()));
}
} // namespace

TEST_P (RecordingStubs, TheSampleSuiteRunsItsCommandsInOrder)
{
    UninstallManifest manifest;
    manifest.kextsToUnload.add ("/Library/Extensions/Sample Audio.kext");
    manifest.halDriversToDelete.add ("/Library/Audio/Plug-Ins/HAL/Sample Audio.driver");
    manifest.launchdPlists.emplace_back ("Sample Agent", "/Library/LaunchDaemons/Sample's Agent.plist");
    manifest.processesToKill.add ("Sample Mixer");
    manifest.filesToDelete.add ("/Applications/Sample Mixer & Co (Beta).app");
    manifest.packagesToForget.add ("sample.audio.driver");

    ASSERT_TRUE (run (composeUninstallScript (manifest, std::cout)));
    EXPECT_EQ (calls(), expectedCalls (manifest));
    EXPECT_EQ (calls().at (0), (Command { "sudo", "kextunload", "/Library/Extensions/Sample Audio.kext" }));
}

TEST_P (RecordingStubs, AnyValueReachesItsCommandAsOneArgument)
{
    const auto seed = static_cast<juce::int64> (20261210);
    juce::Random random (seed);
    std::ostringstream console;

    for (int round = 0; round < 40; ++round)
    {
        UninstallManifest manifest;

        for (auto* list : { &manifest.kextsToUnload, &manifest.halDriversToDelete, &manifest.processesToKill,
                            &manifest.filesToDelete, &manifest.packagesToForget })
            for (int i = random.nextInt (3); --i >= 0;)
                list->addIfNotAlreadyThere (randomValue (random));

        for (int i = random.nextInt (3); --i >= 0;)
            manifest.launchdPlists.emplace_back (randomValue (random), randomValue (random));

        const auto script = composeUninstallScript (manifest, console);
        SCOPED_TRACE ("seed " + std::to_string (seed) + ", round " + std::to_string (round) + ", script:\n" + script.toStdString());

        ASSERT_TRUE (run (script));
        ASSERT_EQ (calls(), expectedCalls (manifest));
    }
}

TEST_P (RecordingStubs, EachValueReachesItsCommandAsWritten)
{
    const auto* rootAccount = ::getpwnam ("root");
    ASSERT_NE (rootAccount, nullptr);
    const auto home = juce::SystemStats::getEnvironmentVariable ("HOME", {}).toStdString();
    ASSERT_EQ (home.substr (0, 1), "/");

    // The shell gives a home folder's tilde its meaning, and nothing else: "~+" and "~0" would be
    // the working directory, which the script, run by the platform, has in "/".
    std::vector<std::pair<std::string, std::string>> cases {
        { "Sample Mixer", "Sample Mixer" },
        { "Bob's", "Bob's" },
        { "a&b;c", "a&b;c" },
        { "$(x)`y`", "$(x)`y`" },
        { "a\"b\\c", "a\"b\\c" },
        { "|<>[]{}#!", "|<>[]{}#!" },
        { "a\nb\tc", "a\nb\tc" },
        { "~", home },
        { "~/Library", home + "/Library" },
        { "~root/x", std::string (rootAccount->pw_dir) + "/x" },
        { "~no-such-user-here/x", "~no-such-user-here/x" },
        { "~+/Library", "~+/Library" },
        { "~+", "~+" },
        { "~-", "~-" },
        { "~0/y", "~0/y" },
        { "~+0", "~+0" },
        { "~-0/y", "~-0/y" },
        { "~1", "~1" },
        { "a/~+/~", "a/~+/~" },
        { "~root:x", "~root:x" },
        { "~root=x", "~root=x" },
        { "a=~/x", "a=~/x" },
        { "x=~root", "x=~root" },
        { "PATH=a:~/b", "PATH=a:~/b" },
        // The last byte of these characters and a backslash after it are one character in some
        // multibyte locales: a quote after it would open instead of close.
        { "\xe4\xb8\xad';rm -rf x;'", "\xe4\xb8\xad';rm -rf x;'" },
        { "\xe3\x81\x81';rm -rf x;'", "\xe3\x81\x81';rm -rf x;'" },
        { "\xe3\x81\x81'y", "\xe3\x81\x81'y" },
        { "\xe3\x81\x81\\y", "\xe3\x81\x81\\y" },
        // A "bin" stands beside the working directory.
        { ".*/bin", ".*/bin" },
        { "..*/bin/", "..*/bin/" },
        { "/.?/tmp", "/.?/tmp" },
    };

    for (const auto* character : multiByte)
        for (const auto c : std::string (special))
            cases.push_back ({ std::string (character) + c + "x", std::string (character) + c + "x" });

    UninstallManifest manifest;
    std::vector<Command> expected;

    for (const auto& [value, argument] : cases)
    {
        manifest.processesToKill.add (juce::String::fromUTF8 (value.data(), static_cast<int> (value.size())));
        expected.push_back ({ "sudo", "pkill", argument });
    }

    // A files entry of that kind is kept as written, and reaches rm as written.
    manifest.filesToDelete.add ("~+/Library");
    expected.push_back ({ "sudo", "rm", "-rf", "~+/Library" });
    manifest.filesToDelete.add ("~root:x/y");
    expected.push_back ({ "sudo", "rm", "-rf", "~root:x/y" });
    manifest.filesToDelete.add ("/.*/tmp");
    expected.push_back ({ "sudo", "rm", "-rf", "/.*/tmp" });

    std::ostringstream console;
    ASSERT_TRUE (run (composeUninstallScript (manifest, console)));
    EXPECT_EQ (calls(), expected);
}

INSTANTIATE_TEST_SUITE_P (Shells, RecordingStubs, ::testing::ValuesIn (shells),
                          [] (const ::testing::TestParamInfo<Shell>& shell)
                          { return std::string (shell.param.name); });

namespace
{
// The real rm, on a throw-away tree only: dash, and bash before 5.2 (macOS's), expand ".*" to
// "." and ".." as well, which bash 5.2 does only with globskipdots off.
const Shell shellsThatGlobDotFolders[] = {
    { "sh", "/bin/sh" },
    { "bashPosixWithDotFolders", "bash --posix +O globskipdots" },
};

/** rm is real here, behind a guard that refuses any operand outside the scratch folder; sudo
    runs what it is given, and every other command only records its call. */
class RealRemoval : public ScriptInAShell
{
protected:
    void SetUp() override
    {
        ScriptInAShell::SetUp();
        tree = folder.getChildFile ("tree");
        ASSERT_TRUE (tree.createDirectory());

        addCommand ("rm", "tree=$(realpath -m '" + tree.getFullPathName() + "')\n"
                                                                            "for a in \"$@\"; do\n"
                                                                            "  case \"$a\" in -*) continue ;; esac\n"
                                                                            "  case \"$(realpath -m -- \"$a\")\" in \"$tree\"/*) ;; *) exit 99 ;; esac\n"
                                                                            "done\n"
                                                                            "exec /bin/rm \"$@\"\n");
        addCommand ("sudo", "case \"$1\" in rm|kextunload|launchctl|pkill|pkgutil|touch) exec \"$@\" ;; esac\nexit 98\n");

        for (const auto* name : { "kextunload", "launchctl", "pkill", "pkgutil", "touch" })
            addCommand (name, recordingBody (name, log));
    }

    juce::File tree;
};
} // namespace

TEST_P (RealRemoval, AWildcardSegmentNeverReachesTheFoldersBesideIt)
{
    const auto at = [this] (const char* path)
    { return tree.getChildFile (path); };
    const auto path = [this] (const char* relative)
    { return tree.getFullPathName() + "/" + relative; };

    // Each list names a "Library" under a folder whose name is the pattern itself; the
    // folders that the pattern would also match, "." and ".." among them, hold one each.
    for (const auto* folderName : { "files/Sample/.*", "kexts/Sample/.?", "hal/Sample/..*", "plists/Sample/.*?" })
    {
        const auto named = at (folderName);
        const auto top = named.getParentDirectory().getParentDirectory();
        for (const auto& library : { named, named.getSiblingFile (".hidden"), named.getParentDirectory(), top })
            ASSERT_TRUE (library.getChildFile ("Library").getChildFile ("data").create());
    }

    // Wildcards that keep their meaning: names after a dot, and the hidden entries of a folder.
    for (const auto* file : { "caches/com.sample.one", "caches/com.sample.two", "caches/com.other",
                              "dots/Sample/.one", "dots/Sample/.two", "dots/Sample/visible" })
        ASSERT_TRUE (at (file).create());

    UninstallManifest manifest;
    manifest.kextsToUnload.add (path ("kexts/Sample/.?/Library"));
    manifest.halDriversToDelete.add (path ("hal/Sample/..*/Library"));
    manifest.launchdPlists.emplace_back ("Agent", path ("plists/Sample/.*?/Library"));
    manifest.filesToDelete.add (path ("files/Sample/.*/Library"));
    manifest.filesToDelete.add (path ("caches/com.sample.*"));
    manifest.filesToDelete.add (path ("dots/Sample/.*"));

    std::ostringstream console;
    ASSERT_TRUE (run (composeUninstallScript (manifest, console)));

    juce::StringArray left;

    for (const auto& file : tree.findChildFiles (juce::File::findFiles, true, "*"))
        left.add (file.getRelativePathFrom (tree));

    left.sort (false);
    EXPECT_EQ (left.joinIntoString ("\n").toStdString(), juce::StringArray ({ "caches/com.other",
                                                                              "dots/Sample/visible",
                                                                              "files/Library/data",
                                                                              "files/Sample/.hidden/Library/data",
                                                                              "files/Sample/Library/data",
                                                                              "hal/Library/data",
                                                                              "hal/Sample/.hidden/Library/data",
                                                                              "hal/Sample/Library/data",
                                                                              "kexts/Library/data",
                                                                              "kexts/Sample/.hidden/Library/data",
                                                                              "kexts/Sample/Library/data",
                                                                              "plists/Library/data",
                                                                              "plists/Sample/.hidden/Library/data",
                                                                              "plists/Sample/Library/data" })
                                                             .joinIntoString ("\n")
                                                             .toStdString());
}

INSTANTIATE_TEST_SUITE_P (Shells, RealRemoval, ::testing::ValuesIn (shellsThatGlobDotFolders),
                          [] (const ::testing::TestParamInfo<Shell>& shell)
                          { return std::string (shell.param.name); });
