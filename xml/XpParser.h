// The XML checker: a non-validating, event-driven XML 1.0 parser that reports
// the first problem of a document as one line in ErrorLines.
//
//   TXpParser p;
//   p.ParseFromSource("out/page.XML");   // or ParseFromStream(stream)
//   for (const std::string& line : p.ErrorLines) ...
//
// Error line: "File: %s. Line: %d Col: %d Error: %s". With RaiseErrors set the
// EXpParserError (or, for a decoding error, the EXpFilterError) is re-raised
// after the line is recorded. A source that cannot be opened adds its lines
// to ErrorLines and ParseFromSource raises EXpParserError (line 0, column 0).
//
// Every event is optional; an unassigned one costs nothing. Names and values
// are wide text (UTF-16).
//
// Nesting is never followed by native recursion: elements, content-model
// groups and INCLUDE sections keep explicit stacks, so a document nested a
// million levels deep checks in constant native stack.
#pragma once

#include "text/Streams.h"
#include "xml/XpBase.h"
#include "xml/XpChrFlt.h"
#include "xml/XpExcept.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class TXpParser;

// A location resolved against the location of the source that refers to it.
class TXpDirContext : public TXpBaseDirContext {
public:
    TXpDirContext() = default;
    // Raises EXpException "Cannot mix absolute local path %s with internet
    // path %s" for a drive-letter path below an internet parent.
    TXpDirContext(const TXpBaseDirContext* parent, const std::string& location);

    void SplitLocation(const TXpBaseDirContext* parent, const std::string& location) override;
    std::unique_ptr<TXpBaseDirContext> CreateContext(const TXpBaseDirContext* parent,
                                                     const std::string& location) const override;
};

// One declared entity.
struct TXpEntityInfo {
    std::u16string name;
    int32_t entityKind = 1; // 1 internal, 2 unparsed (NDATA), 3 external parsed
    bool isParameter = false;
    bool predefined = false; // amp, lt, gt, apos, quot
    char16_t predefinedChar = 0;
    std::u16string publicId;
    std::u16string systemId;
    std::u16string replacementText;
    std::u16string notationName;
    bool externalDecl = false; // declared in the external subset or in a parameter entity's text
};

// Entity kinds.
enum : int32_t { xpetInternal = 1, xpetUnparsed = 2, xpetExternalParsed = 3 };

struct TXpAttributeInfo {
    int32_t attrType = 0;    // 1 CDATA .. 8 NMTOKENS, 9 enumeration, 10 NOTATION
    std::u16string defaultText;
    int32_t defaultKind = 0; // 1 value, 2 #IMPLIED, 3 #REQUIRED, 4 #FIXED value
    std::u16string enumText;
    std::u16string defaultValue;
    bool defaultComputed = false;
};

// Case-insensitive ordering of wide names (element, attribute and notation
// tables are looked up ignoring letter case).
struct TXpNameLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};

struct TXpElementInfo {
    std::map<std::u16string, TXpAttributeInfo, TXpNameLess> attributeDecls;
    int32_t declaredType = 0; // 0 not declared, 1 ANY, 2 EMPTY, 3 mixed, 4 element content
    std::u16string contentModel;
};

struct TXpNotationInfo {
    std::u16string publicId;
    std::u16string systemId;
};

// Content types of an element.
enum : int32_t { xpctAny = 1, xpctEmpty = 2, xpctMixed = 3, xpctElements = 4 };

// Limits on entity expansion, so that nested entities (the exponential
// "billion laughs" pattern) cannot exhaust memory or time. The characters of
// entity text pushed in one parse (external entities count with their size)
// may not exceed XpExpansionBase + XpExpansionFactor times the bytes of the
// document and its external subset: beyond that the parse ends with
// "Entity expansion limit exceeded: 'name'". References may nest at most
// XpMaxEntityDepth deep: "Entity references nested too deeply: 'name'".
// The five predefined entities do not count.
constexpr int64_t XpExpansionBase = 2 * 1024 * 1024;
constexpr int64_t XpExpansionFactor = 100;
constexpr int XpMaxEntityDepth = 64;

class TXpParser : public TXpComponent {
public:
    using NotifyEvent = std::function<void(TXpParser&)>;
    using TextEvent = std::function<void(TXpParser&, const std::u16string&)>;
    using IdsEvent = std::function<void(TXpParser&, const std::u16string& name, const std::u16string& publicId,
                                        const std::u16string& systemId)>;

    explicit TXpParser(TXpComponent* owner = nullptr);
    ~TXpParser() override;

    // ---- properties ----
    int32_t BufferSize = 8192;
    bool NormalizeData = true;
    bool RaiseErrors = false;
    // Each local source's directory becomes the process's current directory
    // while it is read, for handlers that resolve names themselves. Off, the
    // current directory is never changed: names resolve against the recorded
    // locations either way, and a batch saves two calls per document.
    bool FollowSourceDirectory = true;
    std::string Password = "ortavix@localhost";
    std::string UserName = "anonymous";
    const std::string& DocLocation() const { return docLocation_; }
    const std::string& DocName() const { return docName_; }

    // ---- results ----
    std::vector<std::string> ErrorLines;
    int ErrorLineCount() const { return static_cast<int>(ErrorLines.size()); }

    // ---- parse operations ----
    // location: a local path or an "http://", "ftp://" or "file://" URL.
    // True when no error line was recorded. The process's current directory
    // is the same afterwards, also when an exception escapes.
    bool ParseFromSource(const std::string& location);
    // The same for a source whose bytes content already holds, read from its
    // start (the stream stays the caller's): names in the lines and relative
    // references are those of location.
    bool ParseFromSource(const std::string& location, TStream& content);
    // Reads from the stream's current position; the stream stays the
    // caller's.
    bool ParseFromStream(TStream& stream);

    // ---- events ----
    std::function<void(TXpParser&, const std::u16string& name, const std::u16string& value, bool specified)>
        OnAttribute;
    TextEvent OnCDATASection;
    TextEvent OnCharData;
    TextEvent OnComment;
    IdsEvent OnDocTypeDecl;
    std::function<void(TXpParser&, const std::u16string& attrName, int32_t attrType,
                       const std::vector<std::u16string>& enumValues, int32_t defaultKind,
                       const std::u16string& defaultText)>
        OnDTDAttDefinition;
    NotifyEvent OnDTDAttlistEnd;
    TextEvent OnDTDAttlistStart;
    NotifyEvent OnDTDConditionalEnd;
    std::function<void(TXpParser&, int32_t sectionType)> OnDTDConditionalStart; // 0 INCLUDE, 1 IGNORE
    std::function<void(TXpParser&, const std::u16string& name, int32_t occurrence, int32_t relation)>
        OnDTDElementContent;
    TextEvent OnDTDElementEnd;
    std::function<void(TXpParser&, int32_t occurrence, int32_t relation)> OnDTDElementGroupEnd;
    NotifyEvent OnDTDElementGroupStart;
    std::function<void(TXpParser&, const std::u16string& name, int32_t contentType)> OnDTDElementStart;
    NotifyEvent OnDTDEnd;
    std::function<void(TXpParser&, bool isParameter, const std::u16string& name, const std::u16string& publicId,
                       const std::u16string& systemId, const std::u16string& notationName)>
        OnDTDEntityExternal;
    std::function<void(TXpParser&, bool isParameter, const std::u16string& name, const std::u16string& value)>
        OnDTDEntityInternal;
    NotifyEvent OnDTDExternalEnd;
    std::function<void(TXpParser&, std::u16string& systemId)> OnDTDExternalStart;
    IdsEvent OnDTDNotation;
    IdsEvent OnDTDStart;
    NotifyEvent OnEndDocument;
    TextEvent OnEndElement;
    std::function<void(TXpParser&, const std::u16string& name, const std::u16string& publicId,
                       const std::u16string& systemId, const std::u16string& notationName)>
        OnNonXMLEntity;
    std::function<void(TXpParser&, const std::u16string& elementName, bool& preserve)> OnPreserveSpace;
    std::function<void(TXpParser&, const std::u16string& target, const std::u16string& data)>
        OnProcessingInstruction;
    std::function<void(TXpParser&, const std::u16string& name, const std::u16string& publicId,
                       const std::u16string& systemId, std::u16string& location)>
        OnResolveEntity;
    NotifyEvent OnStartDocument;
    TextEvent OnStartElement;
    // Not published: whitespace in element-only content, and the opening of
    // a document type declaration's external subset.
    TextEvent OnElementWhitespace;
    NotifyEvent OnExternalSubsetOpened;

    // ---- lexical layer (public so that it can be exercised on its own) ----

    // Makes a filter over text the current source (nothing for empty text).
    void PushText(const std::u16string& text);
    // The lexical layer works on the current source: call these inside a
    // parse, or between BeginSource and EndSource.
    // True at the end of all input; frees exhausted entity sources.
    bool PopSources();
    void SkipWhitespace(bool across);
    void RequireWhitespace();
    bool MatchAhead(std::u32string_view literal);
    void Require(std::u32string_view literal);
    // Text up to delimiter, which must stand in the current source.
    void ReadUntil(std::u32string_view delimiter);
    std::u16string ReadName(bool nameStart);
    // flags: 1 references, 2 expand general entities, 8 normalise whitespace,
    // 16 attribute value (no "<", no external entities), 32 entity value
    // (parameter-entity references expanded), 64 keep character references
    // as written.
    std::u16string ParseLiteral(int flags, bool* hadReference = nullptr);
    char16_t ReadCharRef();
    std::u16string ReadEntityRef();
    std::u16string ReadPERef(bool anyKind);
    // Both ParseFromSource: content null, or the source's bytes.
    bool ParseSource(const std::string& location, TStream* content);
    // content: the source's bytes, already open (the caller's), or null.
    void OpenSource(const TXpBaseDirContext* parent, const std::string& location,
                    std::vector<std::string>& errorLines, const std::string& password,
                    const std::string& userName, TStream* content = nullptr);
    // Makes filter, which reads the source context names, the current source.
    void OpenFilter(std::unique_ptr<TXpInCharFilter> filter, std::unique_ptr<TXpDirContext> context);
    void ResolveExternalEntity(const std::u16string& name, const std::u16string& publicId,
                               const std::u16string& systemId);

    // Entity table.
    int FindEntity(const std::u16string& name, bool anyKind) const; // -1 when none
    // Parameter entities have names of their own: -1 when none.
    int FindParameterEntity(const std::u16string& name) const;
    int32_t EntityKind(const std::u16string& name, bool anyKind) const;
    const TXpEntityInfo* EntityInfo(int index) const;
    void DeclareEntity(const std::u16string& name, int32_t kind, bool isParameter,
                       const std::u16string& replacementText, const std::u16string& publicId = {},
                       const std::u16string& systemId = {}, const std::u16string& notationName = {});
    int EntityCount() const { return static_cast<int>(entityTable_.size()); }

    // Value tests; each raises its message.
    void CheckVersionNumber(const std::u16string& value);
    void CheckEncodingName(const std::u16string& value);
    void CheckPublicId(const std::u16string& value);

    // Declaration lookups.
    int32_t ElementContentType(const std::u16string& name) const; // 0 when undeclared
    int32_t AttributeType(const std::u16string& element, const std::u16string& attribute) const;
    const TXpElementInfo* ElementInfo(const std::u16string& name) const;

    // Current source (for tests and diagnostics).
    TXpInCharFilter* CurrentSource() const { return currentSource_.get(); }
    std::size_t SuspendedSourceCount() const { return sourceStack_.size(); }
    const std::vector<std::string>& TempFiles() const { return tempFiles_; }
    const std::u16string& TextBuffer() const { return textBuffer_; }

    // Makes the source current without parsing (tests of the lexical layer);
    // the stream stays the caller's. Resets the entity table to the
    // predefined entities and clears the limits.
    void BeginSource(TStream& stream);
    void EndSource();

    [[noreturn]] void Fail(const std::u16string& message);
    [[noreturn]] void FailAt(const std::u16string& message, int32_t line, int32_t column);

private:
    struct Frame {
        std::u16string name;
        int32_t contentType = xpctAny;
        bool preserveSpace = false;
        uint64_t source = 0; // the source its start tag was read from
    };
    struct Suspended {
        std::unique_ptr<TXpInCharFilter> filter;
        int entity = -1; // the entity whose text the filter reads, -1 for none
        uint64_t serial = 0;
        int link = -1;
    };

    // Source stack.
    void Suspend();
    void Resume();
    void ResumeParent();
    void DropCurrent();
    void FreeSources();
    void PushEntityText(int entity, const std::u16string& text);
    void EnterEntity(int entity);
    void MarkCurrentEntity(int entity);
    void CountExpansion(int entity, int64_t characters);
    const TXpBaseDirContext* NearestLocation() const;
    const TXpBaseDirContext* DocumentLocation() const;
    std::string BaseDirectory() const;
    void ChangeToSourceDirectory(const TXpBaseDirContext* location);
    char16_t ReadCh();
    void PopExhausted();
    bool IsDocumentSource() const { return sourceStack_.empty(); }

    // Readers.
    void ReadNameInto(std::u16string& out, bool nameStart, bool allowPERef);
    void RequireSemicolon();
    // As ReadUntil, for markup that began in the source numbered serial.
    void ReadUntilIn(std::u32string_view delimiter, uint64_t serial);
    [[noreturn]] void FailMarkupSplit(std::u32string_view delimiter);
    void CaptureReferenceChain();
    std::size_t ParseLiteralRaw(int flags, bool& hadReference, bool delimited);
    static void NormalizeWhitespace(std::u16string& text, std::size_t start);
    std::u16string ReadEntityRefImpl(bool inlinePredefined, bool inContent);
    void ResolveExternalEntityImpl(int entity, const std::u16string& name, const std::u16string& publicId,
                                   const std::u16string& systemId, bool flush);

    // Running a parse.
    void StartParse(const std::string& startDir);
    void RunParse();
    void ResetTables();
    void DeclarePredefined();
    void ParseDocument();
    void ParseMisc();
    bool ParseProcessingInstruction();
    void ReadXmlDeclaration();
    void ParseXmlDeclaration(std::u16string& data);
    void ParseComment();
    void ParseEq();
    void ParseElements();
    bool ParseStartTag();
    void ParseAttribute(std::u16string& xmlSpace, bool& hasXmlSpace);
    void ParseEndTag();
    void ReadCharData(bool firstRun);
    void FlushCharData();
    void CheckDuplicateAttribute();
    void FireDefaultAttributes(const std::u16string& element);

    // Document type declarations.
    void ParseDocTypeDecl();
    // False when neither PUBLIC nor SYSTEM follows.
    bool ParseExternalId(bool publicAlone, std::u16string& publicId, std::u16string& systemId);
    void ParseMarkupDecl(bool internal);
    void ParsePERefDecls(bool internal);
    void ParseElementDecl(bool internal);
    void ParseContentGroup(bool internal, std::u16string& model);
    int32_t ReadOccurrence(std::u16string& model);
    // Whether parameter-entity references are read inside declarations
    // here (refused in the internal subset, expanded in external text).
    bool PERefsInDecls() const;
    // Blanks inside a markup declaration; a parameter-entity reference
    // there is expanded, and its text counts as having a blank on each
    // side. True when any blank was read.
    bool SkipDeclSpace();
    void RequireDeclSpace();
    // The ">" of a declaration, in the source where the declaration began.
    void RequireDeclEnd();
    // A parameter-entity reference inside a markup declaration ("%" read):
    // refused in the internal subset unless external text holds it.
    void ReadDeclPERef();
    bool InExternalText() const;
    void ParseAttlistDecl();
    void ParseAttDef(const std::u16string& element);
    void ReadEnumeration(std::u16string& enumText);
    void ParseEntityDecl();
    void ParseNotationDecl();
    // After "<![": 0 INCLUDE, 1 IGNORE (its opening bracket read).
    int ParseConditionalHead();
    void ParseConditionalSection();
    void ParseIncludeSection();
    void ParseIgnoreSection();
    void DeclareElement(const std::u16string& name, int32_t type, const std::u16string& model);
    TXpAttributeInfo* FindAttribute(const std::u16string& element, const std::u16string& attribute);
    const std::u16string& DefaultValue(TXpAttributeInfo& info);

    // Sources.
    std::unique_ptr<TXpInCharFilter> currentSource_;
    TXpInCharFilter* src_ = nullptr;
    int currentEntity_ = -1;
    uint64_t currentSerial_ = 0; // tells apart every source of a parse
    uint64_t lastSerial_ = 0;
    std::vector<Suspended> sourceStack_;
    int entityDepth_ = 0;
    int64_t expandedChars_ = 0;
    int64_t expansionLimit_ = XpExpansionBase;

    // Parse state.
    std::u16string textBuffer_;
    std::vector<Frame> elements_;
    std::size_t elementDepth_ = 0;
    int32_t contentType_ = xpctAny;
    bool preserveSpace_ = false;
    bool inCDATA_ = false;
    bool prologStarted_ = false;
    bool collectData_ = false;
    std::vector<std::u16string> startTagAttrs_;
    std::size_t startTagAttrCount_ = 0;
    std::unordered_map<std::u16string, int> attrIndex_; // upper-cased names of a long start tag
    std::string docLocation_;
    std::string docName_;

    // Tables.
    std::vector<TXpEntityInfo> entityTable_;
    std::unordered_map<std::u16string, int> firstEntity_;  // any kind
    std::unordered_map<std::u16string, int> firstGeneral_; // not parameter
    std::unordered_map<std::u16string, int> firstParameter_;
    std::vector<char> expanding_;                          // per entity: text being read
    std::map<std::u16string, TXpElementInfo, TXpNameLess> elementTable_;
    std::map<std::u16string, TXpNotationInfo, TXpNameLess> notationTable_;
    std::map<std::u16string, int32_t> attrTypeNames_;
    std::vector<std::u16string> enumValues_;
    int includeDepth_ = 0;
    // Expansion chains: each entity text links to the text whose reference
    // opened it, so that a chain survives texts that have been left.
    std::vector<std::pair<int, int>> links_; // entity, link of the referring text
    int currentLink_ = -1;
    int refLink_ = -1; // the link of the text where the last reference began
    bool internalSubset_ = false;
    uint64_t declSerial_ = 0;   // the source the current markup declaration began in
    bool declInDeclSep_ = false; // ... a parameter entity's text referenced between declarations
    uint64_t markupSerial_ = 0; // the source holding the "<" of a comment or processing instruction
    std::unordered_set<uint64_t> declSepSources_;
    bool standalone_ = false;     // the XML declaration says standalone='yes'
    bool dtdMayDeclare_ = false;  // an external subset or a parameter-entity reference was seen
    bool inContent_ = false;      // reading the root element

    std::vector<std::string> tempFiles_;
    std::string startDir_;      // the current directory when the parse started
    std::string lastDirectory_; // the directory this parse last changed to
    std::u16string nameBuffer_;
};

// Single quotes around a value, a single quote inside doubled.
std::u16string XpQuote(std::u16string_view value);
