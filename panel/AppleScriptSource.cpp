#include "OSXMethods.h"

juce::String makeDoShellScriptSource (const juce::String& script)
{
    const auto escaped = script.replace ("\\", "\\\\").replace ("\"", "\\\"");
    return "do shell script \"" + escaped + "\" with administrator privileges";
}
