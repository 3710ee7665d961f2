// The lexical layer of TXpParser: locations, the source stack, the small
// readers (whitespace, literals, names, quoted values, references), the
// entity table and the value tests.
#include "xml/XpParser.h"

#include "text/Ansi.h"
#include "xml/XpInet.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char16_t kEnd = char16_t(XpEndOfInput);

bool startsNoCase(const std::string& s, std::string_view prefix)
{
    return s.size() >= prefix.size() && ansi::sameText(std::string_view(s).substr(0, prefix.size()), prefix);
}

// Splits at the last sep: before keeps the separator; without one, before is
// empty and after is the whole text.
void splitLast(const std::string& t, char sep, std::string& before, std::string& after)
{
    std::size_t p = t.rfind(sep);
    if (p == std::string::npos) {
        before.clear();
        after = t;
    } else {
        before = t.substr(0, p + 1);
        after = t.substr(p + 1);
    }
}

std::string replaceAll(std::string t, char from, char to)
{
    std::replace(t.begin(), t.end(), from, to);
    return t;
}

std::string currentDirectory()
{
    std::string buf(4096, '\0');
    for (;;) {
        if (getcwd(buf.data(), buf.size()))
            return std::string(buf.c_str());
        if (errno != ERANGE)
            return {};
        buf.resize(buf.size() * 2);
    }
}

std::string withSlash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

std::u16string u16(std::u32string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char32_t c : text)
        out += static_cast<char16_t>(c);
    return out;
}

inline bool isWs(char16_t c) { return c == 0x20 || c == 0x0A || c == 0x09 || c == 0x0D; }

// ASCII classes for names: 1 delimiter, 2 name start, 4 name character.
struct NameTable {
    unsigned char cls[128] = {};
    NameTable()
    {
        for (char c : std::string_view("%<>&,|*+?)='\"[ \t\n\r;/"))
            cls[static_cast<unsigned char>(c)] = 1;
        cls[0] = 1;
        for (int c = 'A'; c <= 'Z'; ++c)
            cls[c] = 6;
        for (int c = 'a'; c <= 'z'; ++c)
            cls[c] = 6;
        cls[static_cast<unsigned char>('_')] = 6;
        cls[static_cast<unsigned char>(':')] = 6;
        for (int c = '0'; c <= '9'; ++c)
            cls[c] = 4;
        cls[static_cast<unsigned char>('.')] = 4;
        cls[static_cast<unsigned char>('-')] = 4;
    }
};
const NameTable kNames;

// Run stops: inside a name every ASCII character but a name character; in a
// quoted value the quotes, markup, references and line ends.
struct RunStops {
    unsigned char name[128] = {};
    unsigned char literal[128] = {};
    RunStops()
    {
        for (int c = 0; c < 128; ++c)
            name[c] = !(kNames.cls[c] & 4);
        for (char c : std::string_view("\"'<&%\n"))
            literal[static_cast<unsigned char>(c)] = 1;
    }
};
const RunStops kRunTables;
const TXpRunStops kNameRun(kRunTables.name);
const TXpRunStops kLiteralRun(kRunTables.literal);

} // namespace

std::u16string XpQuote(std::u16string_view value)
{
    std::u16string out = u"'";
    for (char16_t c : value) {
        out += c;
        if (c == u'\'')
            out += c;
    }
    out += u'\'';
    return out;
}

bool TXpNameLess::operator()(const std::u16string& a, const std::u16string& b) const
{
    return ansi::compareText(a, b) < 0;
}

// ---- locations ----------------------------------------------------------------

TXpDirContext::TXpDirContext(const TXpBaseDirContext* parent, const std::string& location)
{
    SplitLocation(parent, location);
}

std::unique_ptr<TXpBaseDirContext> TXpDirContext::CreateContext(const TXpBaseDirContext* parent,
                                                                const std::string& location) const
{
    return std::make_unique<TXpDirContext>(parent, location);
}

void TXpDirContext::SplitLocation(const TXpBaseDirContext* parent, const std::string& location)
{
    const bool inet = parent && parent->kind != xpLocalFile;
    std::string before, after;

    // Host, directory and file name of a web address. A bare name below an
    // internet parent lives in the parent's directory.
    auto webRule = [&](const std::string& t) {
        splitLast(t, '/', directory, fileName);
        if (directory.empty() && inet)
            directory = parent->directory;
    };
    // Path part up to the last separator; a bare name lives in the parent's
    // directory (or, without a parent, in the current one).
    auto localRule = [&](const std::string& t) {
        splitLast(t, '/', directory, fileName);
        directory = withSlash(directory);
        if (directory.empty() && parent)
            directory = parent->directory;
    };
    auto relativeToParent = [&](const std::string& t) {
        splitLast(t, '/', before, fileName);
        if (parent)
            directory = parent->directory + before;
        else
            directory = withSlash(currentDirectory()) + before;
    };

    std::string t = location;
    if (startsNoCase(t, "http://")) {
        kind = xpHttp;
        splitLast(t.substr(7), '/', directory, fileName);
        return;
    }
    if (startsNoCase(t, "ftp://")) {
        kind = xpFtp;
        splitLast(t.substr(6), '/', directory, fileName);
        return;
    }
    if (startsNoCase(t, "file://"))
        t = t.substr(7);

    if (!t.empty() && t[0] == '/') {
        if (inet) {
            // Relative to the server's root: keep the parent's host.
            kind = parent->kind;
            std::size_t slash = parent->directory.find('/');
            std::string host = slash == std::string::npos ? parent->directory : parent->directory.substr(0, slash);
            splitLast(host + t, '/', directory, fileName);
        } else {
            kind = xpLocalFile;
            localRule(t);
        }
        return;
    }
    if ((!t.empty() && t[0] == '.') || t.find('/') != std::string::npos) {
        kind = inet ? parent->kind : uint8_t(xpLocalFile);
        relativeToParent(t);
        return;
    }
    if (t.find(':') == std::string::npos && t.find('\\', 1) != std::string::npos) {
        if (inet) {
            kind = parent->kind;
            relativeToParent(replaceAll(t, '\\', '/'));
        } else {
            kind = xpLocalFile;
            relativeToParent(t);
        }
        return;
    }
    if (t.size() >= 2 && t[1] == ':' && inet)
        throw EXpException("Cannot mix absolute local path " + narrow(XpQuote(widen(location))) +
                           " with internet path " + parent->directory);
    if (inet) {
        kind = parent->kind;
        webRule(replaceAll(t, '\\', '/'));
    } else {
        kind = xpLocalFile;
        localRule(t);
    }
}

// ---- construction -------------------------------------------------------------

TXpParser::TXpParser(TXpComponent* owner) : TXpComponent(owner)
{
    static const std::pair<const char16_t*, int32_t> types[] = {
        {u"CDATA", 1}, {u"ID", 2},      {u"IDREF", 3},    {u"IDREFS", 4},   {u"ENTITY", 5},
        {u"ENTITIES", 6}, {u"NMTOKEN", 7}, {u"NMTOKENS", 8}, {u"NOTATION", 10},
    };
    for (const auto& [name, number] : types)
        attrTypeNames_.emplace(name, number);
}

TXpParser::~TXpParser()
{
    FreeSources();
    ResetTables();
    for (const std::string& name : tempFiles_)
        std::remove(name.c_str());
}

// ---- source stack -----------------------------------------------------------

std::string TXpParser::BaseDirectory() const
{
    return startDir_.empty() ? currentDirectory() : startDir_;
}

void TXpParser::ChangeToSourceDirectory(const TXpBaseDirContext* location)
{
    if (!FollowSourceDirectory || !location || location->kind != xpLocalFile)
        return;
    const std::string& dir = location->directory;
    std::string target = dir.empty() ? BaseDirectory() : dir[0] == '/' ? dir : withSlash(BaseDirectory()) + dir;
    // Entity texts end often; only a change of directory costs a call.
    if (target.empty() || target == lastDirectory_)
        return;
    lastDirectory_ = target;
    if (chdir(target.c_str()) != 0) {
        // A directory that vanished: relative names still resolve against
        // the recorded locations, so the current directory is not needed.
    }
}

void TXpParser::Suspend()
{
    sourceStack_.push_back({std::move(currentSource_), currentEntity_, currentSerial_, currentLink_});
    currentLink_ = -1;
    src_ = nullptr;
    currentEntity_ = -1;
}

void TXpParser::Resume()
{
    if (sourceStack_.empty())
        return;
    currentSource_ = std::move(sourceStack_.back().filter);
    currentEntity_ = sourceStack_.back().entity;
    currentSerial_ = sourceStack_.back().serial;
    currentLink_ = sourceStack_.back().link;
    sourceStack_.pop_back();
    src_ = currentSource_.get();
    if (src_)
        ChangeToSourceDirectory(src_->location());
}

void TXpParser::DropCurrent()
{
    if (currentEntity_ >= 0) {
        if (static_cast<std::size_t>(currentEntity_) < expanding_.size())
            expanding_[currentEntity_] = 0;
        --entityDepth_;
    }
    currentEntity_ = -1;
    currentSource_.reset();
    src_ = nullptr;
}

// The current source is finished: drop it and read on in the one below.
void TXpParser::ResumeParent()
{
    DropCurrent();
    Resume();
}

void TXpParser::FreeSources()
{
    for (;;) {
        DropCurrent();
        if (sourceStack_.empty())
            break;
        currentSource_ = std::move(sourceStack_.back().filter);
        currentEntity_ = sourceStack_.back().entity;
        sourceStack_.pop_back();
    }
    entityDepth_ = 0;
}

void TXpParser::PushText(const std::u16string& text)
{
    if (text.empty())
        return;
    std::string bytes;
    bytes.resize(2 + 2 * text.size());
    bytes[0] = char(0xFF);
    bytes[1] = char(0xFE);
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[2 + 2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[3 + 2 * i] = static_cast<char>(text[i] >> 8);
    }
    auto stream = std::make_unique<TXpMemoryStream>();
    stream->write(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream->seek(0, SeekOrigin::Begin);
    // Small texts need no more buffer than their size.
    int capacity = BufferSize > 0 ? BufferSize : 8192;
    if (static_cast<int64_t>(bytes.size()) < capacity)
        capacity = static_cast<int>(bytes.size());
    auto filter = std::make_unique<TXpInCharFilter>(std::move(stream), capacity);
    Suspend();
    currentSource_ = std::move(filter);
    src_ = currentSource_.get();
    currentSerial_ = ++lastSerial_;
}

void TXpParser::EnterEntity(int entity)
{
    const TXpEntityInfo& info = entityTable_[entity];
    bool circular = expanding_[entity] != 0;
    int depth = 0; // the chain, also through texts already left
    for (int l = refLink_; l >= 0 && !circular; l = links_[l].second, ++depth)
        circular = links_[l].first == entity;
    if (circular)
        Fail(u"Circular reference to: " + info.name);
    if (entityDepth_ >= XpMaxEntityDepth || depth >= XpMaxEntityDepth)
        Fail(u"Entity references nested too deeply: " + XpQuote(info.name));
}

void TXpParser::CountExpansion(int entity, int64_t characters)
{
    expandedChars_ += characters;
    if (expandedChars_ > expansionLimit_)
        Fail(u"Entity expansion limit exceeded: " + XpQuote(entityTable_[entity].name));
}

void TXpParser::MarkCurrentEntity(int entity)
{
    currentEntity_ = entity;
    currentLink_ = static_cast<int>(links_.size());
    links_.emplace_back(entity, refLink_);
    expanding_[entity] = 1;
    ++entityDepth_;
}

void TXpParser::PushEntityText(int entity, const std::u16string& text)
{
    if (text.empty())
        return;
    EnterEntity(entity);
    if (!entityTable_[entity].predefined)
        CountExpansion(entity, static_cast<int64_t>(text.size()));
    PushText(text);
    MarkCurrentEntity(entity);
}

bool TXpParser::PopSources()
{
    for (;;) {
        if (src_->PeekChar() != kEnd)
            return false;
        if (sourceStack_.empty())
            return true;
        ResumeParent();
    }
}

// After a match: sources known to be exhausted are left without a peek, so
// that what follows (a line end, say) is not read yet.
void TXpParser::PopExhausted()
{
    while (!sourceStack_.empty() && src_->atEnd())
        ResumeParent();
}

char16_t TXpParser::ReadCh()
{
    char16_t c = src_->PeekChar();
    if (c == kEnd && !sourceStack_.empty()) {
        PopSources();
        c = src_->PeekChar();
    }
    src_->ConsumeChar();
    return c;
}

const TXpBaseDirContext* TXpParser::NearestLocation() const
{
    if (src_ && src_->location())
        return src_->location();
    for (auto it = sourceStack_.rbegin(); it != sourceStack_.rend(); ++it)
        if (it->filter && it->filter->location())
            return it->filter->location();
    return nullptr;
}

const TXpBaseDirContext* TXpParser::DocumentLocation() const
{
    if (!sourceStack_.empty())
        return sourceStack_.front().filter ? sourceStack_.front().filter->location() : nullptr;
    return src_ ? src_->location() : nullptr;
}

// ---- errors -------------------------------------------------------------------

void TXpParser::Fail(const std::u16string& message)
{
    FailAt(message, src_ ? src_->curLine() : 0, src_ ? src_->curColumn() : 0);
}

void TXpParser::FailAt(const std::u16string& message, int32_t line, int32_t column)
{
    throw EXpParserError(line, column, src_ ? widen(src_->LocationText()) : std::u16string(), message);
}

// ---- readers ------------------------------------------------------------------

void TXpParser::SkipWhitespace(bool across)
{
    for (;;) {
        char16_t c = src_->PeekChar();
        while (isWs(c)) {
            src_->ConsumeChar();
            c = src_->PeekChar();
        }
        if (!across || c != kEnd || sourceStack_.empty())
            return;
        ResumeParent();
    }
}

void TXpParser::RequireWhitespace()
{
    PopSources();
    if (isWs(src_->PeekChar())) {
        SkipWhitespace(true);
        return;
    }
    Fail(u"Whitespace expected at Line: " + widen(std::to_string(src_->curLine())) + u" Position: " +
         widen(std::to_string(src_->curColumn())));
}

bool TXpParser::MatchAhead(std::u32string_view literal)
{
    if (PopSources())
        return false;
    // One printable ASCII character (the ">" of every end tag) that stands
    // next in the buffer needs no look-ahead to set up and undo.
    if (literal.size() == 1 && literal[0] >= 0x20 && literal[0] < 0x80 &&
        src_->ConsumeIfNext(static_cast<char16_t>(literal[0]))) {
        PopExhausted();
        return true;
    }
    bool matched = src_->MatchLiteral(literal);
    if (matched)
        PopExhausted();
    return matched;
}

void TXpParser::Require(std::u32string_view literal)
{
    if (MatchAhead(literal))
        return;
    Fail(u"Expected String: " + XpQuote(u16(literal)));
}

void TXpParser::RequireSemicolon()
{
    // Through the normal match: a text exhausted by the ";" is left, and
    // errors carry the position in the text that held the reference. The
    // chain captured at its "&" or "%" keeps circular references detected.
    Require(U";");
}

void TXpParser::CaptureReferenceChain()
{
    refLink_ = currentLink_;
}

void TXpParser::ReadUntil(std::u32string_view delimiter)
{
    ReadUntilIn(delimiter, currentSerial_);
}

void TXpParser::FailMarkupSplit(std::u32string_view delimiter)
{
    Fail(u"Markup not ended in the entity that began it: " + XpQuote(u16(delimiter)));
}

void TXpParser::ReadUntilIn(std::u32string_view delimiter, uint64_t serial)
{
    // Comments, processing instructions and CDATA sections end in the text
    // they began in.
    if (currentSerial_ != serial)
        FailMarkupSplit(delimiter);
    const char16_t first = static_cast<char16_t>(delimiter[0]);
    for (;;) {
        char16_t c = src_->PeekChar();
        if (c == kEnd) {
            src_->ConsumeChar(); // the column after the last character
            if (!sourceStack_.empty() && !src_->location())
                FailMarkupSplit(delimiter);
            Fail(u"End of input while looking for delimiter: " + XpQuote(u16(delimiter)));
        }
        if (c == first && src_->MatchLiteral(delimiter)) {
            PopExhausted();
            return;
        }
        textBuffer_ += c;
        src_->ConsumeChar();
    }
}

void TXpParser::ReadNameInto(std::u16string& out, bool nameStart, bool allowPERef)
{
    if (allowPERef && src_->PeekChar() == u'%' && PERefsInDecls()) {
        src_->ConsumeChar();
        ReadDeclPERef();
        SkipDeclSpace();
    }
    out.clear();
    bool first = nameStart;
    for (;;) {
        if (!first)
            src_->ReadRun(kNameRun, true, &out);
        char16_t c = src_->PeekChar();
        if (c < 128) {
            unsigned char cls = kNames.cls[c];
            if (cls & 1)
                return;
            if (!(cls & (first ? 2 : 4)))
                Fail(u"Invalid XML name: " + XpQuote(std::u16string(1, c)));
        } else if (!IsNameUnit(c, first)) {
            if (c == kEnd)
                return;
            Fail(u"Invalid XML name: " + XpQuote(std::u16string(1, c)));
        }
        out += c;
        src_->ConsumeChar();
        first = false;
    }
}

std::u16string TXpParser::ReadName(bool nameStart)
{
    std::u16string name;
    name.reserve(20);
    ReadNameInto(name, nameStart, true);
    return name;
}

std::size_t TXpParser::ParseLiteralRaw(int flags, bool& hadReference, bool delimited)
{
    hadReference = false;
    char16_t delimiter = 0;
    if (delimited) {
        delimiter = ReadCh();
        if (delimiter != u'"' && delimiter != u'\'')
            Fail(u"Expected \" or '");
    }
    const std::size_t level = sourceStack_.size();
    const std::size_t start = textBuffer_.size();
    bool lessThan = false; // written directly or in an entity's text
    for (;;) {
        // The ";" of a reference may leave the text the value began in: a
        // default value ends there, a quoted one is not closed.
        if (sourceStack_.size() < level) {
            if (!delimited)
                break;
            Fail(u"Expected: " + std::u16string(1, delimiter));
        }
        src_->ReadRun(kLiteralRun, false, &textBuffer_);
        char16_t c = src_->PeekChar();
        if (c == kEnd) {
            if (sourceStack_.size() > level) {
                ResumeParent();
                continue;
            }
            if (!delimited) {
                // The text of a default value: it ends with its source.
                if (!sourceStack_.empty()) {
                    ResumeParent();
                }
                break;
            }
            src_->ConsumeChar(); // the column after the last character
            Fail(u"Expected: " + std::u16string(1, delimiter));
        }
        if (c == delimiter && delimited && sourceStack_.size() == level) {
            src_->ConsumeChar();
            break;
        }
        if (c == u'<' && (flags & 16))
            lessThan = true;
        src_->ConsumeChar();
        if (c == u'\n' || c == u'\r') {
            textBuffer_ += u' ';
        } else if (c == u'%' && (flags & 32)) {
            if (internalSubset_ && !InExternalText())
                Fail(u"Parameter entities not allowed in DTD internal subset");
            if (!IsNameUnit(src_->PeekChar(), true))
                Fail(u"Invalid character in entity value: '%'");
            hadReference = true;
            ReadPERef(true); // its text is read on as part of the value
        } else if (c == u'&' && (flags & 1)) {
            hadReference = true;
            if (src_->PeekChar() == u'#') {
                src_->ConsumeChar();
                const std::size_t at = textBuffer_.size();
                ReadCharRef();
                if (flags & 64) {
                    // Kept as a reference, so that a later reading of the
                    // text sees data, not markup.
                    char32_t cp = textBuffer_[at];
                    if (textBuffer_.size() - at == 2)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (textBuffer_[at + 1] - 0xDC00);
                    textBuffer_.resize(at);
                    textBuffer_ += u"&#" + widen(std::to_string(static_cast<uint32_t>(cp))) + u";";
                }
            } else if (flags & 2) {
                ReadEntityRefImpl(true, false);
            } else {
                // Kept as written, but it must be a reference all the same.
                textBuffer_ += u'&';
                const std::size_t at = textBuffer_.size();
                ReadNameInto(nameBuffer_, true, false);
                if (nameBuffer_.empty())
                    Fail(u"Invalid entity reference in literal");
                textBuffer_.insert(at, nameBuffer_);
                if (src_->PeekChar() != u';')
                    Fail(u"Expected String: ';'");
                src_->ConsumeChar();
                textBuffer_ += u';';
            }
        } else {
            textBuffer_ += c;
        }
    }
    if (lessThan)
        Fail(u"Invalid character in attribute value: '<'");
    if (flags & 8)
        NormalizeWhitespace(textBuffer_, start);
    return start;
}

std::u16string TXpParser::ParseLiteral(int flags, bool* hadReference)
{
    bool had = false;
    std::size_t start = ParseLiteralRaw(flags, had, true);
    std::u16string value = textBuffer_.substr(start);
    textBuffer_.resize(start);
    if (hadReference)
        *hadReference = had;
    return value;
}

void TXpParser::NormalizeWhitespace(std::u16string& text, std::size_t start)
{
    std::size_t out = start;
    bool pendingSpace = false;
    for (std::size_t i = start; i < text.size(); ++i) {
        char16_t c = text[i];
        if (isWs(c)) {
            pendingSpace = out > start;
        } else {
            if (pendingSpace)
                text[out++] = u' ';
            pendingSpace = false;
            text[out++] = c;
        }
    }
    text.resize(out);
}

char16_t TXpParser::ReadCharRef()
{
    bool hex = false;
    if (src_->PeekChar() == u'x') {
        src_->ConsumeChar();
        hex = true;
    }
    uint32_t value = 0;
    bool digits = false, tooLarge = false;
    for (;;) {
        char16_t c = src_->PeekChar();
        uint32_t digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else if (c == u';' && digits) {
            src_->ConsumeChar();
            break;
        } else if (c == u';') {
            Fail(u"Invalid character reference: no digits");
        } else {
            Fail(u"Illegal character in reference: " + std::u16string(1, c) + u" (" +
                 widen(std::to_string(static_cast<int>(c))) + u")");
        }
        digits = true;
        if (value > 0x10FFFF)
            tooLarge = true; // stays too large, however many digits follow
        else
            value = value * (hex ? 16u : 10u) + digit;
        src_->ConsumeChar();
    }
    if (tooLarge || value > 0x10FFFF || !IsXmlChar(value))
        Fail(u"Invalid character reference: " +
             widen(tooLarge ? std::string("beyond U+10FFFF") : "U+" + [&] {
                 char buf[16];
                 std::snprintf(buf, sizeof buf, "%04X", value);
                 return std::string(buf);
             }()));
    if (value > 0xFFFF) {
        value -= 0x10000;
        textBuffer_ += static_cast<char16_t>(0xD800 + (value >> 10));
        textBuffer_ += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
        return 0;
    }
    char16_t unit = static_cast<char16_t>(value);
    textBuffer_ += unit;
    return unit;
}

std::u16string TXpParser::ReadEntityRef()
{
    return ReadEntityRefImpl(false, true);
}

std::u16string TXpParser::ReadEntityRefImpl(bool inlinePredefined, bool inContent)
{
    CaptureReferenceChain();
    PopSources(); // a name may only continue in the text that holds the "&"
    std::u16string name = ReadName(true);
    RequireSemicolon();
    int e = FindEntity(name, false);
    if (e < 0) {
        // Declarations this checker does not read (an external subset, a
        // parameter entity) could declare it: a matter of validity then.
        if (dtdMayDeclare_ && !standalone_)
            return name;
        Fail(u"Reference to undeclared entity: " + XpQuote(name));
    }
    const TXpEntityInfo& info = entityTable_[e];
    if (standalone_ && inContent_ && info.externalDecl)
        Fail(u"Reference in a standalone document to an entity declared externally or in a parameter entity: " +
             XpQuote(name));
    switch (info.entityKind) {
    case xpetInternal:
        if (inlinePredefined && info.predefined)
            textBuffer_ += info.predefinedChar;
        else
            PushEntityText(e, info.replacementText);
        break;
    case xpetUnparsed:
        Fail(u"Reference to unparsed entity: " + XpQuote(name));
    default: {
        if (!inContent)
            Fail(u"External entity reference in attribute value: " + XpQuote(name));
        TXpEntityInfo copy = info;
        ResolveExternalEntityImpl(e, copy.name, copy.publicId, copy.systemId, inContent);
        break;
    }
    }
    return name;
}

std::u16string TXpParser::ReadPERef(bool /*anyKind: every entity is looked at*/)
{
    std::u16string name;
    CaptureReferenceChain();
    ReadNameInto(name, true, false);
    RequireSemicolon();
    dtdMayDeclare_ = true;
    int e = FindParameterEntity(name);
    if (e < 0)
        FailAt(u"Reference to undeclared entity: " + name, src_->curLine(), src_->curColumn() - 3);
    TXpEntityInfo copy = entityTable_[e];
    switch (copy.entityKind) {
    case xpetInternal:
        PushEntityText(e, copy.replacementText);
        return copy.replacementText;
    case xpetUnparsed:
        if (OnNonXMLEntity)
            OnNonXMLEntity(*this, copy.name, copy.publicId, copy.systemId, copy.notationName);
        return {};
    default:
        ResolveExternalEntityImpl(e, copy.name, copy.publicId, copy.systemId, false);
        return {};
    }
}

void TXpParser::ResolveExternalEntity(const std::u16string& name, const std::u16string& publicId,
                                      const std::u16string& systemId)
{
    ResolveExternalEntityImpl(-1, name, publicId, systemId, true);
}

void TXpParser::ResolveExternalEntityImpl(int entity, const std::u16string& name, const std::u16string& publicId,
                                          const std::u16string& systemId, bool flush)
{
    // Inside a quoted value the text collected so far is the value, not
    // character data.
    if (flush)
        FlushCharData();
    std::u16string location = systemId;
    if (OnResolveEntity)
        OnResolveEntity(*this, name, publicId, systemId, location);
    if (location.empty())
        return;
    if (entity >= 0)
        EnterEntity(entity);
    const TXpBaseDirContext* parent = NearestLocation();
    Suspend();
    try {
        OpenSource(parent, narrow(location), ErrorLines, Password, UserName);
    } catch (...) {
        Resume();
        throw;
    }
    if (entity >= 0) {
        MarkCurrentEntity(entity);
        CountExpansion(entity, std::max<int64_t>(0, src_->StreamSizeAtStart()));
    }
    ReadXmlDeclaration();
}

void TXpParser::OpenSource(const TXpBaseDirContext* parent, const std::string& location,
                           std::vector<std::string>& errorLines, const std::string& password,
                           const std::string& userName, TStream* content)
{
    auto context = std::make_unique<TXpDirContext>(parent, location);
    const std::string path = context->FullLocation();
    auto missing = [&]() {
        errorLines.push_back("File " + location + " could not be found");
        throw EXpParserError(0, 0, widen(location), u"File " + XpQuote(widen(path)) + u" could not be found");
    };

    std::unique_ptr<TStream> stream;
    if (content) {
        content->seek(0, SeekOrigin::Begin);
        OpenFilter(std::make_unique<TXpInCharFilter>(*content, BufferSize > 0 ? BufferSize : 8192),
                   std::move(context));
        return;
    }
    switch (context->kind) {
    case xpHttp:
    case xpFtp: {
        std::unique_ptr<TXpFileStream> fetched = context->kind == xpHttp
                                                     ? FetchHttp(path, errorLines)
                                                     : FetchFtp(path, userName, password, errorLines);
        if (fetched)
            tempFiles_.push_back(fetched->fileName);
        if (!fetched || fetched->size() <= 0)
            missing();
        stream = std::move(fetched);
        break;
    }
    default: {
        // Relative paths are relative to the directory the parse started in.
        std::string fsPath = !path.empty() && path[0] == '/' ? path : withSlash(BaseDirectory()) + path;
        // Most sources are regular files that open: one open and one fstat.
        // Anything else (missing, a folder, a FIFO, no permission) takes the
        // careful way, which names what is wrong.
        if (!path.empty()) {
            try {
                auto file = std::make_unique<TXpFileStream>(fsPath, fmOpenRead | fmNoWait);
                if (file->regularForReading())
                    stream = std::move(file);
            } catch (const EFOpenError&) {
            }
        }
        if (!stream) {
            struct stat st;
            if (path.empty() || stat(fsPath.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
                missing();
            if (!S_ISREG(st.st_mode))
                RequireRegularFile(fsPath); // raises the error naming it
            stream = std::make_unique<TXpFileStream>(fsPath, fmOpenRead);
        }
        break;
    }
    }
    stream->seek(0, SeekOrigin::Begin);
    OpenFilter(std::make_unique<TXpInCharFilter>(std::move(stream), BufferSize > 0 ? BufferSize : 8192),
               std::move(context));
}

void TXpParser::OpenFilter(std::unique_ptr<TXpInCharFilter> filter, std::unique_ptr<TXpDirContext> context)
{
    filter->setLocation(std::move(context));
    if (currentSource_)
        Suspend();
    currentSource_ = std::move(filter);
    src_ = currentSource_.get();
    currentEntity_ = -1;
    currentSerial_ = ++lastSerial_;
    ChangeToSourceDirectory(src_->location());
}

// ---- entity table -------------------------------------------------------------

int TXpParser::FindEntity(const std::u16string& name, bool anyKind) const
{
    const auto& index = anyKind ? firstEntity_ : firstGeneral_;
    auto it = index.find(name);
    return it == index.end() ? -1 : it->second;
}

int TXpParser::FindParameterEntity(const std::u16string& name) const
{
    auto it = firstParameter_.find(name);
    return it == firstParameter_.end() ? -1 : it->second;
}

int32_t TXpParser::EntityKind(const std::u16string& name, bool anyKind) const
{
    int e = FindEntity(name, anyKind);
    return e < 0 ? 0 : entityTable_[e].entityKind;
}

const TXpEntityInfo* TXpParser::EntityInfo(int index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= entityTable_.size())
        return nullptr;
    return &entityTable_[index];
}

void TXpParser::DeclareEntity(const std::u16string& name, int32_t kind, bool isParameter,
                              const std::u16string& replacementText, const std::u16string& publicId,
                              const std::u16string& systemId, const std::u16string& notationName)
{
    if ((isParameter ? FindParameterEntity(name) : FindEntity(name, false)) >= 0)
        return; // the first declaration binds
    TXpEntityInfo info;
    info.name = name;
    info.entityKind = kind;
    info.isParameter = isParameter;
    info.replacementText = replacementText;
    info.publicId = publicId;
    info.systemId = systemId;
    info.notationName = notationName;
    info.externalDecl = !IsDocumentSource();
    int index = static_cast<int>(entityTable_.size());
    entityTable_.push_back(std::move(info));
    expanding_.push_back(0);
    firstEntity_.emplace(name, index);
    (isParameter ? firstParameter_ : firstGeneral_).emplace(name, index);
}

void TXpParser::DeclarePredefined()
{
    static const std::pair<const char16_t*, const char16_t*> predefined[] = {
        {u"amp", u"&#38;"}, {u"lt", u"&#60;"}, {u"gt", u"&#62;"}, {u"apos", u"&#39;"}, {u"quot", u"&#34;"},
    };
    static const char16_t chars[] = {u'&', u'<', u'>', u'\'', u'"'};
    int i = 0;
    for (const auto& [name, text] : predefined) {
        DeclareEntity(name, xpetInternal, false, text);
        TXpEntityInfo& info = entityTable_.back();
        if (info.name == name) {
            info.predefined = true;
            info.predefinedChar = chars[i];
        }
        ++i;
    }
}

// ---- value tests --------------------------------------------------------------

void TXpParser::CheckVersionNumber(const std::u16string& value)
{
    for (char16_t c : value) {
        bool ok = (c >= 0x41 && c <= 0x7A) || (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u':' ||
                  c == u'-';
        if (!ok)
            Fail(u"Invalid XML version number: " + XpQuote(value));
    }
}

void TXpParser::CheckEncodingName(const std::u16string& value)
{
    auto letter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
    bool ok = !value.empty() && letter(value[0]);
    for (std::size_t i = 1; ok && i < value.size(); ++i) {
        char16_t c = value[i];
        ok = letter(c) || (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-';
    }
    if (!ok)
        Fail(u"Invalid encoding declaration: " + XpQuote(value));
}

void TXpParser::CheckPublicId(const std::u16string& value)
{
    for (char16_t c : value)
        if (!IsPubidChar(c))
            Fail(u"Invalid PublicID character: " + XpQuote(std::u16string(1, c)));
}

// ---- parse operations ---------------------------------------------------------

namespace {

// Puts the process's current directory back, whatever happens.
class DirectoryGuard {
public:
    // Without a change of directory to undo, the start directory is asked
    // for only when a relative location needs it (it cannot change meanwhile).
    explicit DirectoryGuard(bool restore) : saved_(restore ? currentDirectory() : std::string()), restore_(restore) {}
    ~DirectoryGuard()
    {
        if (restore_ && !saved_.empty() && chdir(saved_.c_str()) != 0) {
            // Nothing sensible is left to do: the directory is gone.
        }
    }
    const std::string& saved() const { return saved_; }

private:
    std::string saved_;
    bool restore_;
};

// Empties a text when the scope ends, also by a failure.
struct ClearOnExit {
    std::string& text;
    ~ClearOnExit() { text.clear(); }
};

} // namespace

// What both parse operations do first; relative locations resolve against
// startDir, the directory the parse started in.
void TXpParser::StartParse(const std::string& startDir)
{
    ErrorLines.clear();
    FreeSources();
    ResetTables();
    links_.clear();
    currentLink_ = refLink_ = -1;
    startDir_ = startDir;
    lastDirectory_.clear();
    standalone_ = dtdMayDeclare_ = inContent_ = false;
    declSepSources_.clear();
}

bool TXpParser::ParseFromSource(const std::string& location)
{
    return ParseSource(location, nullptr);
}

bool TXpParser::ParseFromSource(const std::string& location, TStream& content)
{
    return ParseSource(location, &content);
}

bool TXpParser::ParseSource(const std::string& location, TStream* content)
{
    DirectoryGuard guard(FollowSourceDirectory);
    StartParse(guard.saved());
    ClearOnExit startDirReset{startDir_};

    OpenSource(nullptr, location, ErrorLines, Password, UserName, content);
    docLocation_ = src_->location()->directory;
    docName_ = src_->location()->fileName;
    RunParse();
    return ErrorLines.empty();
}

bool TXpParser::ParseFromStream(TStream& stream)
{
    DirectoryGuard guard(FollowSourceDirectory);
    StartParse(guard.saved());
    ClearOnExit startDirReset{startDir_};

    int64_t size = stream.size();
    int capacity = static_cast<int>(std::clamp<int64_t>(size, 0, 16 * 1024 * 1024));
    currentSource_ = std::make_unique<TXpInCharFilter>(stream, capacity);
    src_ = currentSource_.get();
    docLocation_.clear();
    docName_.clear();
    RunParse();
    return ErrorLines.empty();
}

void TXpParser::BeginSource(TStream& stream)
{
    lastDirectory_.clear();
    FreeSources();
    ResetTables();
    links_.clear();
    currentLink_ = refLink_ = -1;
    DeclarePredefined();
    textBuffer_.clear();
    expandedChars_ = 0;
    expansionLimit_ = XpExpansionBase + XpExpansionFactor * std::max<int64_t>(0, stream.size());
    currentSource_ = std::make_unique<TXpInCharFilter>(stream, BufferSize > 0 ? BufferSize : 8192);
    src_ = currentSource_.get();
}

void TXpParser::EndSource()
{
    FreeSources();
    ResetTables();
}

void TXpParser::RunParse()
{
    // Whatever happens, the sources and tables of this parse are freed.
    struct Cleanup {
        TXpParser& p;
        ~Cleanup()
        {
            p.FreeSources();
            p.ResetTables();
            p.elementDepth_ = 0;
            p.inCDATA_ = false;
        }
    } cleanup{*this};

    textBuffer_.clear();
    elementDepth_ = 0;
    inCDATA_ = false;
    preserveSpace_ = false;
    contentType_ = xpctAny;
    expandedChars_ = 0;
    expansionLimit_ = XpExpansionBase + XpExpansionFactor * std::max<int64_t>(0, src_->StreamSizeAtStart());
    collectData_ = OnCharData || OnCDATASection || OnElementWhitespace;
    DeclarePredefined();

    if (OnStartDocument)
        OnStartDocument(*this);
    try {
        ParseDocument();
    } catch (EXpFilterError& e) {
        std::string file = "<unknown>";
        if (auto* pe = dynamic_cast<EXpParserError*>(&e))
            file = narrow(pe->SourceFile);
        else if (src_ && src_->location())
            file = src_->LocationText(); // a decoding error in a file names it
        ErrorLines.push_back("File: " + file + ". Line: " + std::to_string(e.LineNo) +
                             " Col: " + std::to_string(e.ColumnNo) + " Error: " + e.message());
        if (RaiseErrors) {
            if (OnEndDocument)
                OnEndDocument(*this);
            throw;
        }
    }
    if (OnEndDocument)
        OnEndDocument(*this);
}

void TXpParser::ResetTables()
{
    entityTable_.clear();
    // Fresh maps: clear() keeps (and wipes) the buckets of the largest
    // document so far, a cost every later document of a batch would pay.
    std::unordered_map<std::u16string, int>().swap(firstEntity_);
    std::unordered_map<std::u16string, int>().swap(firstGeneral_);
    std::unordered_map<std::u16string, int>().swap(firstParameter_);
    expanding_.clear();
    elementTable_.clear();
    notationTable_.clear();
    enumValues_.clear();
    includeDepth_ = 0;
}
