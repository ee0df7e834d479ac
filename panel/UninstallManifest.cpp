#include "UninstallManifest.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

namespace
{
// A real manifest is a few kilobytes. The limits keep a hostile file from taking the memory or
// the time of a start-up: a bigger file, or one whose entities make more text than this, is
// unusable.
constexpr size_t maximumFileSize = 16 * 1024 * 1024;
constexpr size_t maximumText = 64 * 1024 * 1024;

bool isOnlyWhitespace (const std::string& text)
{
    return text.find_first_not_of (" \t\r\n") == std::string::npos;
}

juce::String fromUTF8 (const std::string& text)
{
    return juce::String::fromUTF8 (text.data(), static_cast<int> (text.size()));
}

/** One of the five plain lists: items in manifest order, exact duplicates dropped. */
class PlainList final
{
public:
    explicit PlainList (juce::StringArray& target)
        : items (target) {}

    void add (const std::string& item)
    {
        if (seen.insert (item).second)
            items.add (fromUTF8 (item));
    }

private:
    juce::StringArray& items;
    std::unordered_set<std::string> seen;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PlainList)
};

/** Reads a manifest as expat hands it over, in one pass and with no recursion, whatever the
    depth of the document.

    expat checks that the document is well-formed, decodes it from what it declares into UTF-8,
    and expands its internal entities; it loads nothing from outside. An entity may stand for
    text only: one whose replacement text refers to another entity, and any parameter entity,
    make the document unusable. A text run is the
    character data between two pieces of markup (tags, comments, processing instructions), CDATA
    included; a run that is only whitespace counts for nothing. The whole text of an element is
    every run inside it, in document order.
*/
class ManifestParser final
{
public:
    explicit ManifestParser (UninstallManifest& manifestToFill)
        : manifest (manifestToFill)
        , parser (XML_ParserCreate (nullptr))
    {
        if (parser == nullptr)
            return;

        XML_SetUserData (parser, this);
        XML_SetElementHandler (parser, startElement, endElement);
        XML_SetCharacterDataHandler (parser, characterData);
        XML_SetCommentHandler (parser, comment);
        XML_SetProcessingInstructionHandler (parser, processingInstruction);
        XML_SetNotStandaloneHandler (parser, notStandalone);
        XML_SetExternalEntityRefHandler (parser, externalEntity);
        XML_SetParamEntityParsing (parser, XML_PARAM_ENTITY_PARSING_NEVER);
        XML_SetEntityDeclHandler (parser, entityDeclared);
        XML_SetDefaultHandlerExpand (parser, otherMarkup);
        XML_SetXmlDeclHandler (parser, xmlDeclared);
    }

    ~ManifestParser()
    {
        if (parser != nullptr)
            XML_ParserFree (parser);
    }

    /** Parses the whole document in one call. True when it is usable and its root is that of an
        uninstall manifest.

        One call, because expat scans a token that is still open again for every piece it is
        handed: a document that is one long comment would take seconds in pieces.
    */
    bool read (const char* text, size_t size)
    {
        if (parser == nullptr || size > static_cast<size_t> (std::numeric_limits<int>::max()))
            return false;

        encodingsOfByteOrderMark = findEncodingsOfByteOrderMark (text, size);
        return XML_Parse (parser, text, static_cast<int> (size), XML_TRUE) == XML_STATUS_OK && ! failed && isManifest;
    }

private:
    enum class Section
    {
        none,
        plain,
        plists
    };

    static ManifestParser& from (void* userData) { return *static_cast<ManifestParser*> (userData); }

    static void XMLCALL startElement (void* userData, const XML_Char* tag, const XML_Char** attributes)
    {
        from (userData).openElement (tag, attributes);
    }

    static void XMLCALL endElement (void* userData, const XML_Char*) { from (userData).closeElement(); }

    static void XMLCALL characterData (void* userData, const XML_Char* text, int length)
    {
        auto& self = from (userData);
        self.textSeen += static_cast<size_t> (length);

        if (self.textSeen > maximumText)
            self.fail();
        else if (self.wantsText())
            self.run.append (text, static_cast<size_t> (length));
    }

    static void XMLCALL comment (void* userData, const XML_Char*) { from (userData).endRun(); }

    static void XMLCALL processingInstruction (void* userData, const XML_Char*, const XML_Char*)
    {
        from (userData).endRun();
    }

    // A document that names an external DTD, or uses a parameter entity, and does not say it
    // stands alone means what that DTD says, and nothing here reads it. Without it expat would
    // skip an entity it doesn't know: "/Library/&x;/y" would read as "/Library//y", and in an
    // attribute not even a handler would hear of it. In every other document such an entity is
    // an error.
    static int XMLCALL notStandalone (void*) { return XML_STATUS_ERROR; }

    static int XMLCALL externalEntity (XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*)
    {
        return XML_STATUS_ERROR;
    }

    // Decided when the entity is declared, before anything expands it. expat expands entities
    // within entities recursively: a chain of 30,000 overflows the stack, and older releases
    // don't limit an exponential expansion either. Character references are resolved by now, so
    // "&#38;e;" shows here as the "&e;" that it expands to. A parameter entity would make
    // another document of a processor that reads them, and nothing here does.
    static void XMLCALL entityDeclared (void* userData, const XML_Char*, int isParameterEntity, const XML_Char* value,
                                        int length, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*)
    {
        if (isParameterEntity != 0 || (value != nullptr && std::memchr (value, '&', static_cast<size_t> (length)) != nullptr))
            from (userData).fail();
    }

    /** The encodings that a declaration may name after the text's byte order mark; empty when
        there is no mark. */
    static juce::StringArray findEncodingsOfByteOrderMark (const char* text, size_t size)
    {
        const auto startsWith = [text, size] (const char* mark)
        {
            const auto length = std::strlen (mark);
            return size >= length && std::memcmp (text, mark, length) == 0;
        };

        if (startsWith ("\xef\xbb\xbf"))
            return { "UTF-8" };

        if (startsWith ("\xff\xfe"))
            return { "UTF-16", "UTF-16LE" };

        if (startsWith ("\xfe\xff"))
            return { "UTF-16", "UTF-16BE" };

        return {};
    }

    // A declaration that contradicts the byte order mark is a fatal error (XML 1.0, 4.3.3).
    // expat rejects a contradiction of a UTF-16 mark itself, but after a UTF-8 mark it decodes
    // as declared: ISO-8859-1 would read each byte of a two-byte character as a character.
    static void XMLCALL xmlDeclared (void* userData, const XML_Char*, const XML_Char* encoding, int)
    {
        auto& self = from (userData);

        if (encoding != nullptr && ! self.encodingsOfByteOrderMark.isEmpty()
            && ! self.encodingsOfByteOrderMark.contains (juce::String::fromUTF8 (encoding), true))
            self.fail();
    }

    // Markup that no other handler takes. In a document that says it stands alone, expat skips
    // a reference to a parameter entity between declarations and tells only this handler; in
    // any other document the reference makes it call notStandalone().
    static void XMLCALL otherMarkup (void* userData, const XML_Char* text, int length)
    {
        auto& self = from (userData);

        if (self.depth == 0 && length > 0 && text[0] == '%')
            self.fail();
    }

    void fail()
    {
        failed = true;
        XML_StopParser (parser, XML_FALSE);
    }

    static bool tagIs (const XML_Char* tag, const char* name)
    {
        return juce::String::fromUTF8 (tag).equalsIgnoreCase (name);
    }

    void openElement (const XML_Char* tag, const XML_Char** attributes)
    {
        endRun();
        ++depth;

        if (depth == 1)
        {
            isManifest = std::strcmp (tag, "KestraneUninstallerInfo") == 0;

            // Another root means nothing is read; no need to look any further.
            if (! isManifest)
                XML_StopParser (parser, XML_FALSE);
        }
        else if (depth == 2)
        {
            openRootChild (tag);
        }
        else if (depth == 3 && section != Section::none)
        {
            inEntry = true;
            entryText.clear();
            pathText.clear();
            pathSeen = false;
            processName.clear();

            if (section == Section::plists)
                for (auto** attribute = attributes; *attribute != nullptr; attribute += 2)
                    if (std::strcmp (attribute[0], "name") == 0)
                        processName = attribute[1];
        }
        else if (depth == 4 && inEntry && section == Section::plists && ! pathSeen && tagIs (tag, "path"))
        {
            pathSeen = true;
            inPath = true;
        }
    }

    void openRootChild (const XML_Char* tag)
    {
        if (! nameSeen && tagIs (tag, "name"))
        {
            nameSeen = inName = true;
            return;
        }

        // In the order of plainLists.
        static const char* const plainSections[] = { "files", "kill", "pkgremove", "kexts", "haldrivers" };

        for (size_t i = 0; i < std::size (plainSections); ++i)
        {
            if (! sectionSeen[i] && tagIs (tag, plainSections[i]))
            {
                sectionSeen[i] = true;
                section = Section::plain;
                plainList = &plainLists[i];
                return;
            }
        }

        if (! plistsSeen && tagIs (tag, "plists"))
        {
            plistsSeen = true;
            section = Section::plists;
        }
    }

    void closeElement()
    {
        endRun();

        if (depth == 2)
        {
            if (inName)
                manifest.productName = fromUTF8 (productName);

            inName = false;
            section = Section::none;
            plainList = nullptr;
        }
        else if (depth == 3 && inEntry)
        {
            inEntry = false;

            if (section == Section::plain)
                plainList->add (entryText);
            else
                manifest.launchdPlists.emplace_back (fromUTF8 (processName), fromUTF8 (pathText));
        }
        else if (depth == 4)
        {
            inPath = false;
        }

        --depth;
    }

    bool wantsText() const { return inName || section != Section::none; }

    /** Markup ends the run of text before it: the run goes where it stands. */
    void endRun()
    {
        if (run.empty())
            return;

        if (! isOnlyWhitespace (run))
        {
            if (inName)
                productName += run;
            else if (inEntry && section == Section::plain)
                entryText += run;
            else if (inPath)
                pathText += run;
            else if (depth == 2 && section == Section::plain)
                plainList->add (run);
            else if (depth == 2 && section == Section::plists)
                manifest.launchdPlists.emplace_back(); // text in "plists" has no name and no path
        }

        run.clear();
    }

    UninstallManifest& manifest;
    XML_Parser parser;

    PlainList plainLists[5] { PlainList (manifest.filesToDelete), PlainList (manifest.processesToKill),
                              PlainList (manifest.packagesToForget), PlainList (manifest.kextsToUnload),
                              PlainList (manifest.halDriversToDelete) };
    bool sectionSeen[5] {};
    bool nameSeen = false, plistsSeen = false;

    long depth = 0;
    bool failed = false, isManifest = false;
    bool inName = false, inEntry = false, inPath = false, pathSeen = false;
    Section section = Section::none;
    PlainList* plainList = nullptr;

    std::string run, productName, entryText, pathText, processName;
    size_t textSeen = 0;
    juce::StringArray encodingsOfByteOrderMark;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ManifestParser)
};
} // namespace

juce::File getApplicationBundle()
{
#if JUCE_MAC
    return juce::File::getSpecialLocation (juce::File::currentApplicationFile);
#else
    const auto executable = juce::File::getSpecialLocation (juce::File::currentExecutableFile);
    const auto macOSFolder = executable.getParentDirectory();
    const auto contentsFolder = macOSFolder.getParentDirectory();

    if (macOSFolder.getFileName() == "MacOS" && contentsFolder.getFileName() == "Contents")
        return contentsFolder.getParentDirectory();

    return executable;
#endif
}

juce::File getUninstallManifestFile (const juce::File& applicationBundle)
{
    return applicationBundle.getChildFile ("Contents")
        .getChildFile ("Resources")
        .getChildFile ("uninstaller_info.xml");
}

bool readUninstallManifestText (const char* text, size_t size, UninstallManifest& manifest)
{
    if (size > maximumFileSize)
        return false;

    UninstallManifest read;
    ManifestParser parser (read);

    if (! parser.read (text, size))
        return false;

    manifest = std::move (read);
    return true;
}

namespace
{
/** A descriptor that closes itself. */
struct ScopedDescriptor
{
    explicit ScopedDescriptor (int fd)
        : descriptor (fd) {}
    ~ScopedDescriptor()
    {
        if (descriptor >= 0)
            ::close (descriptor);
    }

    const int descriptor;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ScopedDescriptor)
};

bool isSmallRegularFile (const struct stat& info)
{
    return S_ISREG (info.st_mode) && info.st_size >= 0 && static_cast<size_t> (info.st_size) <= maximumFileSize;
}

// Only a regular file (or a symbolic link to one) is read, and never past the limit: a FIFO
// would block, and a device such as /dev/zero would never end. It is read whole, then parsed as
// any manifest text is.
bool readManifestFile (const char* path, UninstallManifest& manifest)
{
    struct stat info;

    if (::stat (path, &info) != 0 || ! isSmallRegularFile (info))
        return false;

    // Non-blocking, in case a FIFO took the file's place since: its open would wait for a writer.
    const ScopedDescriptor file (::open (path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));

    if (file.descriptor < 0 || ::fstat (file.descriptor, &info) != 0 || ! isSmallRegularFile (info))
        return false;

    // A byte to spare: a file that has grown since fills it, and the buffer grows, up to one
    // byte past the limit.
    std::vector<char> text (static_cast<size_t> (info.st_size) + 1);
    size_t size = 0;

    for (;;)
    {
        if (size == text.size())
        {
            if (size > maximumFileSize)
                return false;

            text.resize (std::min (2 * size, maximumFileSize + 1));
        }

        const auto numRead = ::read (file.descriptor, text.data() + size, text.size() - size);

        if (numRead < 0 && errno == EINTR)
            continue;

        if (numRead < 0)
            return false;

        if (numRead == 0)
            break;

        size += static_cast<size_t> (numRead);
    }

    return readUninstallManifestText (text.data(), size, manifest);
}
} // namespace

bool readUninstallManifest (const juce::File& manifestFile, UninstallManifest& manifest)
{
    if (! manifestFile.exists())
        return false;

    readManifestFile (manifestFile.getFullPathName().toRawUTF8(), manifest);
    return true;
}
