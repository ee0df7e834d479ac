#include "OSXMethods.h"

juce::String makeDoShellScriptSource (const juce::String& script)
{
    // One pass over the bytes: juce::String::replace searches again from the start for every
    // match, which a script full of quotes would make take seconds.
    const auto text = script.toStdString();
    std::string source ("do shell script \"");
    source.reserve (text.size() + text.size() / 8 + 64);

    for (const auto c : text)
    {
        if (c == '\\' || c == '"')
            source += '\\';

        source += c;
    }

    source += "\" with administrator privileges";
    return juce::String::fromUTF8 (source.data(), static_cast<int> (source.size()));
}
