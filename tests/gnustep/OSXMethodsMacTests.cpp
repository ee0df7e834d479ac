#include "AppleScriptDouble.h"
#include "OSXMethods.h"

#include <gtest/gtest.h>

#include <string>

namespace applescriptdouble
{
bool operator== (const InstanceCount& a, const InstanceCount& b)
{
    return a.allocated == b.allocated && a.deallocated == b.deallocated && a.messagedAfterDealloc == b.messagedAfterDealloc;
}

void PrintTo (const InstanceCount& count, std::ostream* stream)
{
    *stream << "{ allocated " << count.allocated << ", deallocated " << count.deallocated
            << ", messaged after dealloc " << count.messagedAfterDealloc << " }";
}
} // namespace applescriptdouble

namespace
{
using applescriptdouble::inAutoreleasePool;
using applescriptdouble::InstanceCount;

// Made once, freed once, and left alone after that.
const InstanceCount freedOnce { 1, 1, 0 };

struct PanelRun
{
    bool succeeded = false;
    InstanceCount appleScriptsOnReturn;
    InstanceCount osxMethodsBeforeDispose;
};

// As the panel does it, each step in an event of its own: the runner made with the panel, the
// script run on a click, the runner disposed of with the panel.
PanelRun runAsThePanelDoes (const juce::String& script)
{
    PanelRun run;
    void* runner = nullptr;

    const auto make = [&]
    { runner = createOSXMethods(); };
    const auto click = [&]
    {
        run.succeeded = executeShellScript (runner, script.toRawUTF8());
        // Before the event's pool drains: an autoreleased script is not yet freed.
        run.appleScriptsOnReturn = applescriptdouble::appleScripts();
    };
    const auto dispose = [&]
    { disposeOSXMethods (runner); };

    inAutoreleasePool (make);
    inAutoreleasePool (click);
    run.osxMethodsBeforeDispose = applescriptdouble::osxMethodsObjects();
    inAutoreleasePool (dispose);
    return run;
}

// A 200 KB source printed whole on a failure helps no one: this shows where it parts.
::testing::AssertionResult sameBytes (const std::string& expected, const std::string& actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();

    size_t at = 0;

    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;

    const auto from = at < 20 ? 0 : at - 20;
    return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got " << actual.size()
                                         << "; they part at byte " << at << ":\n  expected ..."
                                         << expected.substr (from, 60) << "\n  got      ..." << actual.substr (from, 60);
}

// A quote, a backslash, a tab, a line feed, an accented letter and a character outside the
// Basic Multilingual Plane.
const std::string awkwardScript = R"(printf '%s\n' "say \"hi\"" 'C:\\Temp')"
                                  "\tdone\n"
                                  R"(rm -f "/Users/Shared/Caf)"
                                  "\xc3\xa9 \xf0\x9f\x8e\xb5"
                                  R"(.txt")"
                                  "\n";

// The same text as it must stand inside AppleScript's string literal: each quote and backslash
// escaped, every other byte as it was.
const std::string awkwardScriptInTheLiteral = R"(printf '%s\\n' \"say \\\"hi\\\"\" 'C:\\\\Temp')"
                                              "\tdone\n"
                                              R"(rm -f \"/Users/Shared/Caf)"
                                              "\xc3\xa9 \xf0\x9f\x8e\xb5"
                                              R"(.txt\")"
                                              "\n";

const std::string sourceStart = R"(do shell script ")";
const std::string sourceEnd = R"(" with administrator privileges)";

struct SourceCase
{
    std::string script, source;
};

SourceCase awkwardCase()
{
    return { awkwardScript, sourceStart + awkwardScriptInTheLiteral + sourceEnd };
}

// 200 KB of commands, the awkward ones among them all the way through.
SourceCase largeCase()
{
    SourceCase c { {}, sourceStart };

    for (int i = 0; c.script.size() < 200 * 1024; ++i)
    {
        if (i % 2 == 0)
        {
            c.script += awkwardScript;
            c.source += awkwardScriptInTheLiteral;
        }
        else
        {
            const auto line = "rm -rf /Library/Audio/Plug-Ins/HAL/Driver" + std::to_string (i) + ".driver\n";
            c.script += line;
            c.source += line;
        }
    }

    c.source += sourceEnd;
    return c;
}

class MacRunner : public ::testing::Test
{
protected:
    void SetUp() override { applescriptdouble::reset(); }
};
} // namespace

TEST_F (MacRunner, HandsAppleScriptTheEscapedSourceByteForByte)
{
    for (const auto& c : { awkwardCase(), largeCase() })
    {
        SCOPED_TRACE (std::to_string (c.script.size()) + "-byte script");
        applescriptdouble::reset();

        runAsThePanelDoes (juce::String::fromUTF8 (c.script.data(), (int) c.script.size()));

        const auto sources = applescriptdouble::sourcesRun();
        ASSERT_EQ (sources.size(), 1u);
        EXPECT_TRUE (sameBytes (c.source, sources.front()));
    }
}

TEST_F (MacRunner, ReportsWhetherTheRunSucceeded)
{
    for (const auto succeeds : { true, false })
    {
        SCOPED_TRACE (succeeds ? "a descriptor" : "nil");
        applescriptdouble::reset();
        applescriptdouble::setRunsSucceed (succeeds);

        EXPECT_EQ (runAsThePanelDoes ("true").succeeded, succeeds);
        EXPECT_EQ (applescriptdouble::sourcesRun().size(), 1u);
    }
}

TEST_F (MacRunner, FreesItsAppleScriptOnceBeforeTheCallReturns)
{
    for (const auto succeeds : { true, false })
    {
        SCOPED_TRACE (succeeds ? "a descriptor" : "nil");
        applescriptdouble::reset();
        applescriptdouble::setRunsSucceed (succeeds);

        EXPECT_EQ (runAsThePanelDoes ("true").appleScriptsOnReturn, freedOnce);
        EXPECT_EQ (applescriptdouble::appleScripts(), freedOnce) << "after every pool has drained";
    }
}

TEST_F (MacRunner, DisposingOfTheRunnerFreesIt)
{
    {
        SCOPED_TRACE ("never run");
        void* runner = nullptr;
        const auto make = [&]
        { runner = createOSXMethods(); };
        const auto dispose = [&]
        { disposeOSXMethods (runner); };

        inAutoreleasePool (make);
        EXPECT_EQ (applescriptdouble::osxMethodsObjects(), (InstanceCount { 1, 0, 0 }));

        inAutoreleasePool (dispose);
        EXPECT_EQ (applescriptdouble::osxMethodsObjects(), freedOnce);
    }

    applescriptdouble::reset();

    {
        SCOPED_TRACE ("after a run");
        EXPECT_EQ (runAsThePanelDoes ("true").osxMethodsBeforeDispose, (InstanceCount { 1, 0, 0 }));
        EXPECT_EQ (applescriptdouble::osxMethodsObjects(), freedOnce);
    }
}
