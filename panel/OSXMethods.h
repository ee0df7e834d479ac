#pragma once

#include <juce_core/juce_core.h>

/** The panel's hold on its one OSXMethods object: the platform object that runs a shell script
    with administrator rights. On macOS that is an Objective-C object; elsewhere a C++ stand-in
    of ours. Either way C++ code only passes the handle around.
*/
struct OSXMethodsHolder
{
    void* instance = nullptr;
};

/** Makes a new OSXMethods object; the caller owns it. */
void* createOSXMethods();

/** Frees an object made by createOSXMethods(). */
void disposeOSXMethods (void* osxMethods);

/** Runs the script (UTF-8, zero-terminated) with administrator rights, blocking until the run is
    over; true when it succeeded. The platform asks for the credentials. Without an object (null)
    nothing runs and the result is false.
*/
bool executeShellScript (void* osxMethods, const char* utf8Script);

/** The AppleScript source that has the platform run a script as root:
    do shell script "<script>" with administrator privileges

    Backslashes and double quotes in the script are escaped, so that the shell receives the
    script exactly as composed.
*/
juce::String makeDoShellScriptSource (const juce::String& script);

#if ! JUCE_MAC
/** Our stand-in for the platform's AppleScript runner, which accepts exactly the one form of
    source that makeDoShellScriptSource() builds. Any other source counts as one that doesn't
    compile: nothing runs and the result is false.
*/
bool runAppleScriptSource (const juce::String& source);

/** Reads the script text out of a "do shell script" source, as AppleScript reads its string
    literal; false when the source is not of that one form.
*/
bool readDoShellScriptSource (const juce::String& source, juce::String& script);

/** Runs the arguments as a command (searched for on PATH), with no input, draining and
    discarding all it writes; true only when it exits with status 0.
*/
bool runCommandToCompletion (const juce::StringArray& arguments);
#endif
