#include "UninstallManifest.h"

// The library is built with DTD support (Debian's and Apple's alike), and the limit on entity
// expansion below is declared only for code that says so.
#ifndef XML_DTD
    #define XML_DTD 1
#endif

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>

namespace
{
// A real manifest is a few kilobytes. The limits keep a hostile file from taking the memory or
// the time of a start-up: a bigger file, or one whose text (entities included) comes to more
// than this, is unusable.
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

bool startsWith (const char* text, size_t size, const char* prefix)
{
    const auto prefixLength = std::strlen (prefix);
    return size >= prefixLength && std::memcmp (text, prefix, prefixLength) == 0;
}

/** For the lengths that expat hands over. */
bool startsWith (const XML_Char* text, int length, const char* prefix)
{
    return startsWith (text, static_cast<size_t> (length), prefix);
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

/** Reads the manifest's shape from the elements and text of a document that has been accepted
    so far, in one pass and with no recursion, whatever the depth of the document.

    A text run is the character data between two pieces of markup (tags, comments, processing
    instructions), CDATA included; a run that is only whitespace counts for nothing. The whole
    text of an element is every run inside it, in document order.
*/
class ManifestShape final
{
public:
    explicit ManifestShape (UninstallManifest& manifestToFill)
        : manifest (manifestToFill) {}

    /** True once the root has opened, if it is that of an uninstall manifest. */
    bool isManifest() const { return manifestRoot; }

    /** Takes an element that opens. Returns the value of its attribute that the manifest keeps
        (the "name" of a "plists" entry), or nullptr when it keeps none. */
    const XML_Char* open (const XML_Char* tag, const XML_Char** attributes)
    {
        endRun();
        ++depth;

        if (depth == 1)
        {
            manifestRoot = std::strcmp (tag, "KestraneUninstallerInfo") == 0;
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
            processName = {};

            if (section == Section::plists)
            {
                for (auto** attribute = attributes; *attribute != nullptr; attribute += 2)
                {
                    if (std::strcmp (attribute[0], "name") == 0)
                    {
                        processName = juce::String::fromUTF8 (attribute[1]);
                        return attribute[1];
                    }
                }
            }
        }
        else if (depth == 4 && inEntry && section == Section::plists && ! pathSeen && tagIs (tag, "path"))
        {
            pathSeen = true;
            inPath = true;
        }

        return nullptr;
    }

    void close()
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
                manifest.launchdPlists.emplace_back (processName, fromUTF8 (pathText));
        }
        else if (depth == 4)
        {
            inPath = false;
        }

        --depth;
    }

    void addText (const XML_Char* text, int length)
    {
        if (inName || section != Section::none)
            run.append (text, static_cast<size_t> (length));
    }

    /** Markup ends the run of text before it: the run goes where it stands. */
    void endRun()
    {
        if (run.empty())
            return;

        if (! isOnlyWhitespace (run))
        {
            if (inName)
                takeRun (productName);
            else if (inEntry && section == Section::plain)
                takeRun (entryText);
            else if (inPath)
                takeRun (pathText);
            else if (depth == 2 && section == Section::plain)
                plainList->add (run);
            else if (depth == 2 && section == Section::plists)
                manifest.launchdPlists.emplace_back(); // text in "plists" has no name and no path
        }

        run.clear();
    }

private:
    enum class Section
    {
        none,
        plain,
        plists
    };

    static bool tagIs (const XML_Char* tag, const char* name)
    {
        return juce::String::fromUTF8 (tag).equalsIgnoreCase (name);
    }

    /** Appends the run to a text; the first run becomes the text, uncopied. */
    void takeRun (std::string& text)
    {
        if (text.empty())
            text.swap (run);
        else
            text += run;
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

    UninstallManifest& manifest;

    PlainList plainLists[5] { PlainList (manifest.filesToDelete), PlainList (manifest.processesToKill),
                              PlainList (manifest.packagesToForget), PlainList (manifest.kextsToUnload),
                              PlainList (manifest.halDriversToDelete) };
    bool sectionSeen[5] {};
    bool nameSeen = false, plistsSeen = false;

    long depth = 0;
    bool manifestRoot = false;
    bool inName = false, inEntry = false, inPath = false, pathSeen = false;
    Section section = Section::none;
    PlainList* plainList = nullptr;

    std::string run, productName, entryText, pathText;
    juce::String processName;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ManifestShape)
};

/** Looks through markup as the document spells it, for a reference in an attribute value to an
    entity that is neither one of the five predefined ones nor declared so far. expat drops such
    a reference from an attribute without a word when the document names an external DTD.

    Takes the markup in pieces, as expat hands it over: a start tag, whose "name" attribute is
    the one looked at, or an attribute value on its own, quotes included.
*/
class UndeclaredReferenceFinder final
{
public:
    explicit UndeclaredReferenceFinder (const std::unordered_set<std::string>& declaredEntities)
        : declared (declaredEntities) {}

    bool hasFound() const { return found; }
    bool isInValue() const { return state != State::markup; }

    void startTag()
    {
        state = State::markup;
        attributeName.clear();
        inAttributeName = false;
    }

    void attributeValue()
    {
        startTag();
        attributeName = "name";
    }

    void add (const XML_Char* text, int length)
    {
        for (int i = 0; i < length; ++i)
            add (text[i]);
    }

private:
    enum class State
    {
        markup,
        value,
        reference
    };

    void add (XML_Char c)
    {
        switch (state)
        {
            case State::markup:
                if (c == '"' || c == '\'')
                {
                    quote = c;
                    checksValue = attributeName == "name";
                    inAttributeName = false;
                    state = State::value;
                }
                else if (std::strchr (" \t\r\n=</>", c) == nullptr)
                {
                    if (! inAttributeName)
                        attributeName.clear();

                    inAttributeName = true;

                    // Enough to tell "name" from any other.
                    if (attributeName.size() < 5)
                        attributeName += c;
                }
                else
                {
                    inAttributeName = false;
                }
                break;

            case State::value:
                if (c == quote)
                {
                    state = State::markup;
                }
                else if (c == '&' && checksValue)
                {
                    reference.clear();
                    state = State::reference;
                }
                break;

            case State::reference:
                if (c == ';')
                {
                    check (reference);
                    state = State::value;
                }
                else
                {
                    reference += c;
                }
                break;
        }
    }

    void check (const std::string& name)
    {
        static const std::unordered_set<std::string> predefined { "amp", "lt", "gt", "quot", "apos" };

        // "#..." is a character reference.
        if (name.empty() || name[0] != '#')
            if (predefined.count (name) == 0 && declared.count (name) == 0)
                found = true;
    }

    const std::unordered_set<std::string>& declared;
    State state = State::markup;
    XML_Char quote = '"';
    std::string attributeName, reference;
    bool inAttributeName = false, checksValue = false, found = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UndeclaredReferenceFinder)
};

/** The rules a document has to meet before anything is read from it, around the expat parser
    that reads it in one pass: the elements and text of an acceptable document go on to the
    manifest's shape.

    expat checks that the document is well-formed, decodes it from what it declares into UTF-8,
    and expands its internal entities; it loads nothing from outside. On top of that:
    - after a byte order mark, the declaration names the mark's own encoding;
    - an entity stands for text only: one whose replacement text refers to another entity, and
      any parameter entity, make the document unusable;
    - a document that names an external DTD is read without it, unless expat would skip an entity
      that only that DTD could declare, where it matters: in text, or in the "name" of a
      "plists" entry (an attribute default counts too);
    - the text, and what the reader keeps of the attributes, come to at most 64 MiB, and entities
      expand to at most 64 MiB anywhere.
*/
class ManifestDocument final
{
public:
    explicit ManifestDocument (ManifestShape& shapeToRead)
        : shape (shapeToRead)
        , parser (XML_ParserCreate (nullptr))
        , undeclaredReferences (declaredEntities)
    {
        if (parser == nullptr)
            return;

        XML_SetUserData (parser, this);
        XML_SetElementHandler (parser, startElement, endElement);
        XML_SetCharacterDataHandler (parser, characterData);
        XML_SetXmlDeclHandler (parser, xmlDeclared);
        XML_SetStartDoctypeDeclHandler (parser, doctypeStarted);
        XML_SetEntityDeclHandler (parser, entityDeclared);
        XML_SetSkippedEntityHandler (parser, entitySkipped);
        XML_SetExternalEntityRefHandler (parser, externalEntity);
        XML_SetParamEntityParsing (parser, XML_PARAM_ENTITY_PARSING_NEVER);
        XML_SetDefaultHandlerExpand (parser, otherMarkup);

        // Until the root opens: see otherMarkup().
        XML_SetCommentHandler (parser, prologComment);
        XML_SetProcessingInstructionHandler (parser, prologProcessingInstruction);

#if XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 4)
        // expat counts each byte of the document as it reads it, and each byte that its entities
        // make, in text and in attributes alike. It stops the document once the two together
        // come to the text limit, if the entities' part is then more than four times the
        // document's. A document has at most 16 MiB, so its entities make at most 64 MiB.
        XML_SetBillionLaughsAttackProtectionActivationThreshold (parser, maximumText);
        XML_SetBillionLaughsAttackProtectionMaximumAmplification (parser, static_cast<float> (maximumText + maximumFileSize) / maximumFileSize);
#else
        // Releases before 2.4.0 have no such limit. No entity here refers to another, so each
        // reference makes at most one entity's text, and the text limit stops text as it comes.
        // An attribute is expanded whole before any handler sees it, though: there the bound is
        // only the number of references in the file times the longest entity.
#endif
    }

    ~ManifestDocument()
    {
        if (parser != nullptr)
            XML_ParserFree (parser);
    }

    /** Parses a document held in memory, in one call. True when it is acceptable. */
    bool parse (const char* text, size_t size)
    {
        if (parser == nullptr || size > static_cast<size_t> (std::numeric_limits<int>::max()))
            return false;

        encodingsOfByteOrderMark = findEncodingsOfByteOrderMark (text, size);
        return XML_Parse (parser, text, static_cast<int> (size), XML_TRUE) == XML_STATUS_OK && ! failed;
    }

    /** expat's own buffer, of at least the given size, to read the document into; nullptr
        when there is none. A second call may move the buffer, and forgets what the first one
        held. */
    char* getBuffer (size_t size)
    {
        if (parser == nullptr || size > static_cast<size_t> (std::numeric_limits<int>::max()))
            return nullptr;

        buffer = static_cast<char*> (XML_GetBuffer (parser, static_cast<int> (size)));
        return buffer;
    }

    /** Parses the document that fills the first bytes of the buffer, in one call. True when it
        is acceptable.

        One call, because expat scans a token that is still open again for every piece it is
        handed: a document that is one long comment would take seconds in pieces.
    */
    bool parseBuffer (size_t size)
    {
        if (buffer == nullptr)
            return false;

        encodingsOfByteOrderMark = findEncodingsOfByteOrderMark (buffer, size);
        return XML_ParseBuffer (parser, static_cast<int> (size), XML_TRUE) == XML_STATUS_OK && ! failed;
    }

private:
    static ManifestDocument& from (void* userData) { return *static_cast<ManifestDocument*> (userData); }

    void fail()
    {
        failed = true;
        XML_StopParser (parser, XML_FALSE);
    }

    /** Counts text and kept attributes against the limit. */
    bool hasRoomFor (size_t length)
    {
        textSeen += length;

        if (textSeen <= maximumText)
            return true;

        fail();
        return false;
    }

    static void XMLCALL startElement (void* userData, const XML_Char* tag, const XML_Char** attributes)
    {
        auto& self = from (userData);
        const auto* kept = self.shape.open (tag, attributes);

        if (! self.rootOpened)
        {
            self.rootOpened = true;
            XML_SetCommentHandler (self.parser, nullptr);
            XML_SetProcessingInstructionHandler (self.parser, nullptr);

            // Another root means nothing is read; no need to look any further.
            if (! self.shape.isManifest())
            {
                XML_StopParser (self.parser, XML_FALSE);
                return;
            }
        }

        if (kept != nullptr && self.hasRoomFor (std::strlen (kept)) && self.namesExternalDtd)
        {
            // The start tag as written goes to otherMarkup(), to the finder.
            self.undeclaredReferences.startTag();
            self.readingStartTag = true;
            XML_DefaultCurrent (self.parser);
            self.readingStartTag = false;

            if (self.undeclaredReferences.hasFound())
                self.fail();
        }
    }

    static void XMLCALL endElement (void* userData, const XML_Char*) { from (userData).shape.close(); }

    static void XMLCALL characterData (void* userData, const XML_Char* text, int length)
    {
        auto& self = from (userData);

        if (self.hasRoomFor (static_cast<size_t> (length)))
            self.shape.addText (text, length);
    }

    // Before the root there is no text to end, and nothing to check in them.
    static void XMLCALL prologComment (void*, const XML_Char*) {}
    static void XMLCALL prologProcessingInstruction (void*, const XML_Char*, const XML_Char*) {}

    // Markup that no other handler takes.
    //
    // From the root on, comments and processing instructions come here as the document holds
    // them (a handler of their own would have expat copy each one first), and end a text run.
    // In a document that is not UTF-8, expat hands a long one over in pieces as it converts it;
    // a later piece that happens to start the same way ends no run that its first had not.
    //
    // Before the root, expat skips a reference to a parameter entity between declarations and
    // tells only this handler. Comments and processing instructions go to handlers of their own
    // there, so that no piece of one can pass for a declaration.
    static void XMLCALL otherMarkup (void* userData, const XML_Char* text, int length)
    {
        auto& self = from (userData);

        if (self.readingStartTag)
        {
            self.undeclaredReferences.add (text, length);
        }
        else if (self.rootOpened)
        {
            if (startsWith (text, length, "<!--") || startsWith (text, length, "<?"))
                self.shape.endRun();
        }
        else if (startsWith (text, length, "%"))
        {
            self.fail();
        }
        else if (self.namesExternalDtd)
        {
            self.readAttributeDeclaration (text, length);
        }
    }

    // With no handler of its own, an attribute list declaration comes here token by token: each
    // default value is looked at for a reference that expat would drop.
    void readAttributeDeclaration (const XML_Char* text, int length)
    {
        if (undeclaredReferences.isInValue())
        {
            undeclaredReferences.add (text, length);
        }
        else if (startsWith (text, length, "<!ATTLIST"))
        {
            inAttributeDeclaration = true;
        }
        else if (startsWith (text, length, ">"))
        {
            inAttributeDeclaration = false;
        }
        else if (inAttributeDeclaration && (startsWith (text, length, "\"") || startsWith (text, length, "'")))
        {
            undeclaredReferences.attributeValue();
            undeclaredReferences.add (text, length);
        }

        if (undeclaredReferences.hasFound())
            fail();
    }

    // The DTD itself is never read: see entitySkipped() and the "plists" entry's name above.
    static void XMLCALL doctypeStarted (void* userData, const XML_Char*, const XML_Char* systemId, const XML_Char*, int)
    {
        if (systemId != nullptr)
            from (userData).namesExternalDtd = true;
    }

    // An entity that only the external DTD could declare: "/Library/&x;/y" would read as
    // "/Library//y".
    static void XMLCALL entitySkipped (void* userData, const XML_Char*, int) { from (userData).fail(); }

    static int XMLCALL externalEntity (XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*)
    {
        return XML_STATUS_ERROR;
    }

    // Decided when the entity is declared, before anything expands it. expat expands entities
    // within entities recursively: a chain of 30,000 overflows the stack. Character references
    // are resolved by now, so "&#38;e;" shows here as the "&e;" that it expands to. A parameter
    // entity would make another document of a processor that reads them, and nothing here does.
    static void XMLCALL entityDeclared (void* userData, const XML_Char* name, int isParameterEntity, const XML_Char* value,
                                        int length, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*)
    {
        auto& self = from (userData);

        if (isParameterEntity != 0 || (value != nullptr && std::memchr (value, '&', static_cast<size_t> (length)) != nullptr))
            self.fail();
        else
            self.declaredEntities.insert (name);
    }

    /** The encodings that a declaration may name after the text's byte order mark; empty when
        there is no mark. */
    static juce::StringArray findEncodingsOfByteOrderMark (const char* text, size_t size)
    {
        if (startsWith (text, size, "\xef\xbb\xbf"))
            return { "UTF-8" };

        if (startsWith (text, size, "\xff\xfe"))
            return { "UTF-16", "UTF-16LE" };

        if (startsWith (text, size, "\xfe\xff"))
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

    ManifestShape& shape;
    XML_Parser parser;
    char* buffer = nullptr;

    std::unordered_set<std::string> declaredEntities;
    UndeclaredReferenceFinder undeclaredReferences;
    juce::StringArray encodingsOfByteOrderMark;
    size_t textSeen = 0;
    bool failed = false, rootOpened = false, namesExternalDtd = false, readingStartTag = false, inAttributeDeclaration = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ManifestDocument)
};

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

/** Reads the whole file into the buffer the document gives, from its start, up to the given
    size. Returns the number of bytes read, or nothing on an error. */
std::optional<size_t> readWhole (int descriptor, ManifestDocument& document, size_t capacity)
{
    auto* buffer = document.getBuffer (capacity);

    if (buffer == nullptr)
        return {};

    size_t size = 0;

    while (size < capacity)
    {
        const auto numRead = ::pread (descriptor, buffer + size, capacity - size, static_cast<off_t> (size));

        if (numRead < 0 && errno == EINTR)
            continue;

        if (numRead < 0)
            return {};

        if (numRead == 0)
            break;

        size += static_cast<size_t> (numRead);
    }

    return size;
}

// Only a regular file (or a symbolic link to one) is read, and never past the limit: a FIFO
// would block, and a device such as /dev/zero would never end. It is read whole, straight into
// the parser's buffer, then parsed.
bool readManifestFile (const char* path, UninstallManifest& manifest)
{
    struct stat info;

    if (::stat (path, &info) != 0 || ! isSmallRegularFile (info))
        return false;

    // Non-blocking, in case a FIFO took the file's place since: its open would wait for a writer.
    const ScopedDescriptor file (::open (path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));

    if (file.descriptor < 0 || ::fstat (file.descriptor, &info) != 0 || ! isSmallRegularFile (info))
        return false;

    UninstallManifest read;
    ManifestShape shape (read);
    ManifestDocument document (shape);

    // A byte to spare: a file that has grown since fills it, and is read again into a bigger
    // buffer, up to one byte past the limit.
    auto capacity = static_cast<size_t> (info.st_size) + 1;

    for (;;)
    {
        const auto size = readWhole (file.descriptor, document, capacity);

        if (! size.has_value())
            return false;

        if (*size < capacity)
        {
            if (! document.parseBuffer (*size) || ! shape.isManifest())
                return false;

            break;
        }

        if (capacity > maximumFileSize)
            return false;

        capacity = std::min (2 * capacity, maximumFileSize + 1);
    }

    manifest = std::move (read);
    return true;
}
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
    ManifestShape shape (read);
    ManifestDocument document (shape);

    if (! document.parse (text, size) || ! shape.isManifest())
        return false;

    manifest = std::move (read);
    return true;
}

bool readUninstallManifest (const juce::File& manifestFile, UninstallManifest& manifest)
{
    if (! manifestFile.exists())
        return false;

    readManifestFile (manifestFile.getFullPathName().toRawUTF8(), manifest);
    return true;
}
