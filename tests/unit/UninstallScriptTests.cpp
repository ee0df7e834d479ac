#include "UninstallScript.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
UninstallManifest sampleSuite()
{
    UninstallManifest manifest;
    manifest.productName = "Sample Audio Suite";
    manifest.kextsToUnload.add ("/Library/Extensions/SampleAudio.kext");
    manifest.halDriversToDelete.add ("/Library/Audio/Plug-Ins/HAL/SampleAudio.driver");
    manifest.launchdPlists.emplace_back ("SampleAgent", "/Library/LaunchDaemons/SampleAgent.plist");
    manifest.processesToKill.add ("SampleMixer");
    manifest.filesToDelete.add ("/Applications/Sample Mixer.app");
    manifest.filesToDelete.add ("~/Library/Preferences/SampleMixer.plist");
    manifest.packagesToForget.add ("sample.audio.driver");
    return manifest;
}

std::string compose (const UninstallManifest& manifest, std::string* console = nullptr)
{
    std::ostringstream out;
    const auto script = composeUninstallScript (manifest, out).toStdString();

    if (console != nullptr)
        *console = out.str();

    return script;
}

std::string home()
{
    return juce::File::getSpecialLocation (juce::File::userHomeDirectory).getFullPathName().toStdString();
}
} // namespace

TEST (UninstallScript, TheSampleSuiteComesOutByteForByte)
{
    ASSERT_EQ (home().find_first_not_of ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-"), std::string::npos)
        << "the expected text below assumes a home path that needs no quoting";

    std::string console;
    const auto script = compose (sampleSuite(), &console);

    const std::string expected = "#!/bin/bash\n"
                                 "\n"
                                 "sudo kextunload /Library/Extensions/SampleAudio.kext;\n"
                                 "sudo rm -R /Library/Extensions/SampleAudio.kext;\n"
                                 "sudo touch /Library/Extensions;\n"
                                 "rm -R /Library/Audio/Plug-Ins/HAL/SampleAudio.driver;\n"
                                 "sudo launchctl unload /System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist;\n"
                                 "sudo launchctl load /System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist;\n"
                                 "sudo pkill SampleAgent;\n"
                                 "launchctl stop -F /Library/LaunchDaemons/SampleAgent.plist;\n"
                                 "launchctl unload -F /Library/LaunchDaemons/SampleAgent.plist;\n"
                                 "sudo rm -rf /Library/LaunchDaemons/SampleAgent.plist;\n"
                                 "sudo pkill SampleMixer;\n"
                                 "sudo rm -rf /Applications/Sample' 'Mixer.app;\n"
                                 "sudo rm -rf "
                                 + home() + "/Library/Preferences/SampleMixer.plist;\n"
                                            "sudo pkgutil --forget sample.audio.driver;\n"
                                            "\n"
                                            "\n"
                                            "exit 0;";

    EXPECT_EQ (script, expected);
    EXPECT_EQ (console, "Unloading and deleting /Library/Extensions/SampleAudio.kext\n");
}

TEST (UninstallScript, EmptyListsGiveHeadAndTailOnly)
{
    std::string console;
    EXPECT_EQ (compose ({}, &console), "#!/bin/bash\n\n\n\nexit 0;");
    EXPECT_TRUE (console.empty());
}

TEST (UninstallScript, OnceOnlyLinesFollowTheLastEntry)
{
    UninstallManifest manifest;
    for (int i = 0; i < 20; ++i)
        manifest.kextsToUnload.add ("/k" + juce::String (i) + ".kext");

    manifest.halDriversToDelete.add ("/h1.driver");
    manifest.halDriversToDelete.add ("/h2.driver");

    std::string console;
    const juce::String script (compose (manifest, &console));

    const auto touch = script.indexOf ("sudo touch /Library/Extensions;\n");
    EXPECT_GT (touch, script.lastIndexOf ("/k19.kext;\n"));
    EXPECT_EQ (touch, script.lastIndexOf ("sudo touch /Library/Extensions;\n"));

    const auto unload = script.indexOf ("sudo launchctl unload /System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist;\n"
                                        "sudo launchctl load /System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist;\n");
    EXPECT_GT (unload, script.indexOf ("rm -R /h2.driver;\n"));
    EXPECT_EQ (unload, script.lastIndexOf ("sudo launchctl unload"));

    EXPECT_EQ (juce::StringArray::fromLines (console.c_str()).size(), 21) << "one line per kext, then the final line feed";
    EXPECT_TRUE (juce::String (console).startsWith ("Unloading and deleting /k0.kext\nUnloading and deleting /k1.kext\n"));
}

TEST (UninstallScript, EveryValueBecomesOneShellWord)
{
    struct Case
    {
        const char* what;
        const char* value;
        const char* word;
    };

    const std::vector<Case> cases {
        { "plain", "/Library/Extensions/Sample-Audio_2.kext", "/Library/Extensions/Sample-Audio_2.kext" },
        { "a blank", "Sample Mixer", "Sample' 'Mixer" },
        { "two blanks", "a  b", "a' '' 'b" },
        { "an apostrophe, in double quotes", "Bob's", "Bob\"'\"s" },
        { "ampersand and semicolon", "a&b;c", "a'&'b';'c" },
        { "dollar and backtick", "$(x)`y`", "'$''('x')''`'y'`'" },
        { "a line feed inside", "a\nb", "a'\n'b" },
        { "a tab inside", "a\tb", "a'\t'b" },
        { "double quote and backslash", "a\"b\\c", "a'\"'b'\\'c" },
        { "pipes, redirections, brackets, hash, bang", "|<>[]{}#!", "'|''<''>''['']''{''}''#''!'" },
        { "wildcards and other kept punctuation", "/x/com.s*?+:,@%=^", "/x/com.s*?+:,@%=^" },
        { "a home folder's tilde", "~/Library", "~/Library" },
        { "a tilde alone", "~", "~" },
        { "a user's tilde", "~root/x", "~root/x" },
        { "a user name may start with an underscore", "~_daemon/x", "~_daemon/x" },
        { "a user name of letters, digits, dots, underscores and dashes", "~a.b-c_9/x", "~a.b-c_9/x" },
        { "a user name that ends at a colon in bash", "~root:x", "'~'root:x" },
        { "a user name before an equals sign", "~root=x/y", "'~'root=x/y" },
        { "a user name with a wildcard", "~ro*t/x", "'~'ro*t/x" },
        { "a user name with a blank", "~a b/x", "'~'a' 'b/x" },
        { "the working directory's tilde", "~+/Library", "'~'+/Library" },
        { "the previous working directory's tilde", "~-", "'~'-" },
        { "a directory stack entry's tilde", "~0/y", "'~'0/y" },
        { "signed stack entries", "~+1", "'~'+1" },
        { "a tilde before anything else", "~./x", "'~'./x" },
        { "a tilde before a non-ASCII letter", "~\xc3\xa9", "'~'\xc3\xa9" },
        { "a tilde later in the word", "a~+/~-", "a'~'+/'~'-" },
        { "a tilde after an equals sign", "a=~/x", "a='~'/x" },
        { "a tilde after a colon", "PATH=a:~root", "PATH=a:'~'root" },
        { "whitespace around is quoted, never dropped", " /a \n", "' '/a' ''\n'" },
        { "empty stays empty", "", "" },
        { "non-ASCII passes as it is", "/Library/Caf\xc3\xa9 \xe9\x9f\xb3", "/Library/Caf\xc3\xa9' '\xe9\x9f\xb3" },
        { "an apostrophe after a multibyte character", "\xe4\xb8\xad';x", "\xe4\xb8\xad\"'\"';'x" },
        { "a backslash after a multibyte character", "\xe3\x81\x81\\y", "\xe3\x81\x81'\\'y" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        EXPECT_EQ (quoteShellValue (juce::String::fromUTF8 (c.value)).toStdString(), c.word);
    }
}

TEST (UninstallScript, OnlyWildcardsThatCannotReachADotFolderKeepTheirMeaning)
{
    // dash, and bash before 5.2, expand a pattern that starts with "." to "." and ".." as well.
    const std::vector<std::pair<const char*, const char*>> cases {
        { "/Applications/Sample/.*/Library", "/Applications/Sample/.'*'/Library" },
        { ".?/x", ".'?'/x" },
        { "/a/..*/b", "/a/..'*'/b" },
        { "/a/.*?/b", "/a/.'*''?'/b" },
        { "/a/.**/b", "/a/.'*''*'/b" },
        { "/a/.*.*/b", "/a/.'*'.'*'/b" },
        { "/a/.*//b", "/a/.'*'//b" },
        { "~/.*/x/.?/y", "~/.'*'/x/.'?'/y" },
        // These match neither "." nor "..", or stand last.
        { "~/.Sample*", "~/.Sample*" },
        { "/Library/Caches/com.sample.*", "/Library/Caches/com.sample.*" },
        { "/a/.*", "/a/.*" },
        { "/a/.*/", "/a/.*/" },
        { "/a/.*//", "/a/.*//" },
        { "/a/.?\?/b", "/a/.?\?/b" },
        { "/a/.?./b", "/a/.?./b" },
        { "/a/..?/b", "/a/..?/b" },
        { "/a/*/b", "/a/*/b" },
        { "/a/x.*/b", "/a/x.*/b" },
        { "/a/../b", "/a/../b" },
    };

    for (const auto& [value, word] : cases)
        EXPECT_EQ (quoteShellValue (value).toStdString(), word) << value;
}

TEST (UninstallScript, FilesEntriesAreMadeAbsoluteInTheApplication)
{
    const auto cwd = juce::File::getCurrentWorkingDirectory().getFullPathName().toStdString();
    const auto* rootAccount = ::getpwnam ("root");
    ASSERT_NE (rootAccount, nullptr);
    const std::string rootHome (rootAccount->pw_dir);
    ASSERT_EQ (::getpwnam ("no-such-user-here"), nullptr);

    struct Case
    {
        const char* entry;
        std::string path;
        const char* line = nullptr; // the script line, where the quoting is what the row shows
    };

    const std::vector<Case> cases {
        { "~", home() },
        { "~/Library/Prefs", home() + "/Library/Prefs" },
        { "~root/Library", rootHome + "/Library" },
        { "~no-such-user-here/a/../b", "~no-such-user-here/b" },
        { "~no-such-user-here/../..", "~no-such-user-here/.." },
        { "~+/Library", "~+/Library", "sudo rm -rf '~'+/Library;\n" },
        { "~\\x", "~\\x", "sudo rm -rf '~''\\'x;\n" },
        { "~root:x/y", "~root:x/y", "sudo rm -rf '~'root:x/y;\n" },
        { "~/..", home() + "/.." },
        { "~/../", home() + "/.." },
        { "~/Library/..", home() + "/Library/.." },
        { "~/.config/SampleMixer", home() + "/.config/SampleMixer" },
        { "relative/thing", cwd + "/relative/thing" },
        { "./relative/../thing", cwd + "/thing" },
        { ".", cwd + "/." },
        { "..", cwd + "/.." },
        { "/trailing/slash/", "/trailing/slash" },
        { "//doubled//slashes//", "/doubled/slashes" },
        { "/", "/" },
        { "", "" },
        { "   ", "" },
        { "  /padded  ", "/padded" },
        { "/a/./b/../c", "/a/c" },
        { "/x/../../", "/..", "sudo rm -rf /..;\n" },
        { "/x/../..", "/.." },
        { "/Applications/Foo.app/..", "/Applications/Foo.app/..", "sudo rm -rf /Applications/Foo.app/..;\n" },
        { "/Applications/Foo.app/.", "/Applications/Foo.app/." },
        { "/Applications/Foo.app/./", "/Applications/Foo.app/." },
        { "/a/../b/..", "/b/.." },
        { "/apps/deep/x/../..", "/apps/deep/.." },
        { "/.", "/." },
        { "/..", "/.." },
        { "/Applications/.Sample Cache/data", "/Applications/.Sample Cache/data", "sudo rm -rf /Applications/.Sample' 'Cache/data;\n" },
        { "/Applications/Sample/./.*/Library", "/Applications/Sample/.*/Library", "sudo rm -rf /Applications/Sample/.'*'/Library;\n" },
        { "/Applications/Sample/.*", "/Applications/Sample/.*", "sudo rm -rf /Applications/Sample/.*;\n" },
        { "/a/.../b", "/a/.../b" },
        { "/../Library/x", "/Library/x", "sudo rm -rf /Library/x;\n" },
        { "/a//../b", "/b" },
        { "../../../../../../../../../../../../../../../x", "/x" },
        { "/Applications/Sample Folder /", "/Applications/Sample Folder ", "sudo rm -rf /Applications/Sample' 'Folder' ';\n" },
        { " /Applications/Sample Folder / ", "/Applications/Sample Folder " },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.entry);
        EXPECT_EQ (absolutePathForFilesEntry (c.entry).toStdString(), c.path);

        if (c.line != nullptr)
        {
            UninstallManifest manifest;
            manifest.filesToDelete.add (c.entry);
            EXPECT_EQ (compose (manifest), std::string ("#!/bin/bash\n\n") + c.line + "\n\nexit 0;");
        }
    }
}

TEST (UninstallScript, EmptyAndPaddedEntriesInEveryStep)
{
    UninstallManifest manifest;
    manifest.kextsToUnload.add ("\n   /k.kext\n  ");
    manifest.halDriversToDelete.add ("");
    manifest.launchdPlists.emplace_back ("", " /p.plist ");
    manifest.processesToKill.add ("  ");
    manifest.filesToDelete.add ("");
    manifest.packagesToForget.add ("\tpkg.id\n");

    std::string console;
    const auto script = compose (manifest, &console);

    EXPECT_EQ (console, "Unloading and deleting /k.kext\n");
    EXPECT_EQ (script, "#!/bin/bash\n\n"
                       "sudo kextunload /k.kext;\n"
                       "sudo rm -R /k.kext;\n"
                       "sudo touch /Library/Extensions;\n"
                       "rm -R ;\n"
                       "sudo launchctl unload /System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist;\n"
                       "sudo launchctl load /System/Library/LaunchDaemons/com.apple.audio.coreaudiod.plist;\n"
                       "sudo pkill ;\n"
                       "launchctl stop -F /p.plist;\n"
                       "launchctl unload -F /p.plist;\n"
                       "sudo rm -rf /p.plist;\n"
                       "sudo pkill ;\n"
                       "sudo rm -rf ;\n"
                       "sudo pkgutil --forget pkg.id;\n"
                       "\n\nexit 0;");
}

TEST (UninstallScript, DuplicatePairsAndSharedNamesRepeatTheirLines)
{
    UninstallManifest manifest;
    manifest.launchdPlists.emplace_back ("Agent", "/a.plist");
    manifest.launchdPlists.emplace_back ("Agent", "/a.plist");
    manifest.processesToKill.add ("Agent");

    const juce::String script (compose (manifest));

    EXPECT_EQ (script.length() - script.replace ("sudo pkill Agent;\n", {}).length(), 3 * juce::String ("sudo pkill Agent;\n").length());
    EXPECT_EQ (script.length() - script.replace ("launchctl stop -F /a.plist;\n", {}).length(), 2 * juce::String ("launchctl stop -F /a.plist;\n").length());
}

namespace
{
/** Sets an environment variable (or unsets it, for null) for one scope. */
class ScopedEnvironment final
{
public:
    ScopedEnvironment (const char* variableName, const char* value)
        : name (variableName)
    {
        if (const auto* previous = std::getenv (name))
            saved = previous;

        set (value);
    }

    ~ScopedEnvironment() { set (saved ? saved->c_str() : nullptr); }

    void set (const char* value)
    {
        if (value != nullptr)
            ::setenv (name, value, 1);
        else
            ::unsetenv (name);
    }

private:
    const char* name;
    std::optional<std::string> saved;

    JUCE_DECLARE_NON_COPYABLE (ScopedEnvironment)
};
} // namespace

TEST (UninstallScript, TheHomeFolderComesFromAnAbsoluteHomeOrThePasswordDatabase)
{
    const auto* account = ::getpwuid (::getuid());
    ASSERT_NE (account, nullptr);
    const std::string fromDatabase (account->pw_dir);
    ASSERT_EQ (fromDatabase.substr (0, 1), "/");

    struct Case
    {
        const char* home;
        std::string tilde, library;
    };

    // A HOME that is not an absolute path is not a home folder. The framework read "~" and
    // "~/sub" as paths that start at the home folder again, and recursed until it crashed. One
    // that is the root names no home folder either: "~/Library" would be /Library.
    const std::vector<Case> cases {
        { "/Users/someone", "/Users/someone", "/Users/someone/Library" },
        { "/Users/someone/", "/Users/someone", "/Users/someone/Library" },
        { "/Users//someone/./x/..", "/Users/someone/x/..", "/Users/someone/Library" },
        { "/x/../../", "", "" },
        { "/", "", "" },
        { "//", "", "" },
        { "/x/..", "", "" },
        { "/./", "", "" },
        { "/..", "", "" },
        { "~", fromDatabase, fromDatabase + "/Library" },
        { "~/sub", fromDatabase, fromDatabase + "/Library" },
        { "relative/home", fromDatabase, fromDatabase + "/Library" },
        { "", fromDatabase, fromDatabase + "/Library" },
        { nullptr, fromDatabase, fromDatabase + "/Library" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.home != nullptr ? std::string ("HOME=") + c.home : std::string ("no HOME"));
        const ScopedEnvironment home ("HOME", c.home);
        EXPECT_EQ (absolutePathForFilesEntry ("~").toStdString(), c.tilde);
        EXPECT_EQ (absolutePathForFilesEntry ("~/Library").toStdString(), c.library);
    }

    const ScopedEnvironment rootHome ("HOME", "/");
    UninstallManifest manifest;
    manifest.filesToDelete.add ("~");
    manifest.filesToDelete.add ("~/Library/Preferences/SampleMixer.plist");
    EXPECT_EQ (compose (manifest), "#!/bin/bash\n\nsudo rm -rf ;\nsudo rm -rf ;\n\n\nexit 0;");
}

namespace
{
/** Runs the check in a child process whose password database is the real one with the given
    lines in place of, or after, its own: in a mount namespace of its own, a copy with them is
    bound over /etc/passwd. The check runs as root without HOME, and its text comes back. */
std::optional<std::string> withPasswordDatabase (const std::vector<std::string>& lines, std::string (*check)())
{
    const auto copy = juce::File::createTempFile ("passwd");
    const auto removeCopy = juce::ScopeGuard { [&copy]
                                               { copy.deleteFile(); } };
    juce::StringArray database;
    database.addLines (juce::File ("/etc/passwd").loadFileAsString());

    for (const auto& line : lines)
    {
        const auto name = juce::String (line).upToFirstOccurrenceOf (":", true, false);

        for (int i = database.size(); --i >= 0;)
            if (database[i].startsWith (name))
                database.remove (i);

        database.add (line);
    }

    database.removeEmptyStrings();

    if (! copy.replaceWithText (database.joinIntoString ("\n") + "\n"))
        return std::nullopt;

    int pipeEnds[2];

    if (::pipe (pipeEnds) != 0)
        return std::nullopt;

    const auto child = ::fork();

    if (child == 0)
    {
        ::close (pipeEnds[0]);

        if (::unshare (CLONE_NEWNS) != 0
            || ::mount (nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount (copy.getFullPathName().toRawUTF8(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
            ::_exit (2);

        ::unsetenv ("HOME");
        const auto text = check();
        const auto written = ::write (pipeEnds[1], text.data(), text.size());
        ::_exit (written == static_cast<ssize_t> (text.size()) ? 0 : 3);
    }

    ::close (pipeEnds[1]);
    std::string text;
    char buffer[4096];

    for (ssize_t n; (n = ::read (pipeEnds[0], buffer, sizeof (buffer))) != 0;)
        if (n > 0)
            text.append (buffer, static_cast<size_t> (n));
        else if (errno != EINTR)
            break;

    ::close (pipeEnds[0]);
    int status = 0;

    if (child < 0 || ::waitpid (child, &status, 0) != child || ! WIFEXITED (status) || WEXITSTATUS (status) != 0)
        return std::nullopt;

    return text;
}
} // namespace

std::string pathsOfHomeEntries()
{
    std::string text;

    for (const auto* entry : { "~", "~/Library", "~orvanta-root", "~orvanta-root/Library", "~orvanta-slashes/Library",
                               "~orvanta-parent/Library", "~orvanta-plain/Library" })
        text += absolutePathForFilesEntry (entry).toStdString() + "\n";

    return text;
}

TEST (UninstallScript, AHomeFolderThatIsTheRootNamesNoHomeWhereverItComesFrom)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "binding a password database of its own needs root";

    // The running user is root; its home and the others' come from the bound database.
    const auto paths = withPasswordDatabase ({ "root:x:0:0:root:/x/../:/bin/sh",
                                               "orvanta-root:x:61001:61001::/:/bin/sh",
                                               "orvanta-slashes:x:61002:61002:://:/bin/sh",
                                               "orvanta-parent:x:61003:61003::/x/..:/bin/sh",
                                               "orvanta-plain:x:61004:61004::/srv/plain:/bin/sh" },
                                             &pathsOfHomeEntries);

    ASSERT_TRUE (paths.has_value()) << "the child with a password database of its own failed";
    EXPECT_EQ (*paths, "\n\n\n\n\n\n/srv/plain/Library\n");
}

TEST (UninstallScript, WithoutAWorkingDirectoryARelativeEntryNamesNothing)
{
    // The process's working directory is deleted under it, and given back at the end.
    struct BackToThePreviousDirectory
    {
        ~BackToThePreviousDirectory() { previous.setAsCurrentWorkingDirectory(); }
        juce::File previous = juce::File::getCurrentWorkingDirectory();
    } restore;

    const auto gone = juce::File::createTempFile ("deleted-cwd");
    ASSERT_TRUE (gone.createDirectory());
    ASSERT_EQ (::chdir (gone.getFullPathName().toRawUTF8()), 0);
    ASSERT_EQ (::rmdir (gone.getFullPathName().toRawUTF8()), 0);

    const std::vector<std::pair<const char*, const char*>> cases {
        { "Library", "" },
        { ".", "" },
        { "..", "" },
        { "./x/../..", "" },
        { "/Library/x", "/Library/x" },
    };

    for (const auto& [entry, path] : cases)
        EXPECT_EQ (absolutePathForFilesEntry (entry).toStdString(), path) << entry;

    UninstallManifest manifest;
    manifest.filesToDelete.add ("Library");
    EXPECT_EQ (compose (manifest), "#!/bin/bash\n\nsudo rm -rf ;\n\n\nexit 0;");
}
