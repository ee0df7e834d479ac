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
const juce::String awkwardScript = juce::String::fromUTF8 ("printf '%s\\n' \"say \\\"hi\\\"\" 'C:\\\\Temp'\tdone\n"
                                                           "rm -f \"/Users/Shared/Caf\xc3\xa9 \xf0\x9f\x8e\xb5.txt\"\n");

// 200 KB of commands, the awkward ones among them all the way through.
juce::String largeScript()
{
    const auto awkward = awkwardScript.toStdString();
    std::string script;

    for (int i = 0; script.size() < 200 * 1024; ++i)
        script += i % 2 == 0 ? awkward : "rm -rf /Library/Audio/Plug-Ins/HAL/Driver" + std::to_string (i) + ".driver\n";

    return juce::String::fromUTF8 (script.data(), (int) script.size());
}

class MacRunner : public ::testing::Test
{
protected:
    void SetUp() override { applescriptdouble::reset(); }
};
} // namespace

TEST_F (MacRunner, HandsAppleScriptTheEscapedSourceByteForByte)
{
    for (const auto& script : { awkwardScript, largeScript() })
    {
        SCOPED_TRACE (juce::String (script.getNumBytesAsUTF8()) + "-byte script");
        applescriptdouble::reset();

        runAsThePanelDoes (script);

        const auto sources = applescriptdouble::sourcesRun();
        ASSERT_EQ (sources.size(), 1u);
        EXPECT_TRUE (sameBytes (makeDoShellScriptSource (script).toStdString(), sources.front()));
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
