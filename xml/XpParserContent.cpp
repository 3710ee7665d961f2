// Document content: prolog, XML declaration, comments, processing
// instructions, elements with their attributes, character data and CDATA.
//
// Elements are checked with an explicit stack of open elements (elements_),
// never by native recursion, so a document nested a million levels deep
// needs no more native stack than a flat one.
#include "xml/XpParser.h"

#include "text/Ansi.h"

#include <unordered_set>

namespace {

constexpr char16_t kEnd = char16_t(XpEndOfInput);

inline bool isWs(char16_t c) { return c == 0x20 || c == 0x0A || c == 0x09 || c == 0x0D; }

// Characters that end a run of character data: markup, references, and the
// "]" that may begin "]]>".
struct CharDataStops {
    unsigned char table[128] = {};
    CharDataStops()
    {
        table[static_cast<unsigned char>('<')] = 1;
        table[static_cast<unsigned char>('&')] = 1;
        table[static_cast<unsigned char>(']')] = 1;
    }
};
const TXpRunStops kCharData(CharDataStops().table);

} // namespace

void TXpParser::ParseDocument()
{
    prologStarted_ = false;
    ReadXmlDeclaration();
    prologStarted_ = true;
    ParseMisc();
    if (MatchAhead(U"<!DOCTYPE")) {
        prologStarted_ = true;
        ParseDocTypeDecl();
        ParseMisc();
    }
    Require(U"<");
    // From here on an XML declaration is out of place, also inside content.
    prologStarted_ = true;
    inContent_ = true;
    ParseElements();
    ParseMisc();
    SkipWhitespace(true);
    if (!PopSources())
        Fail(u"There is invalid data after valid XML document");
}

void TXpParser::ParseMisc()
{
    for (;;) {
        SkipWhitespace(false);
        markupSerial_ = currentSerial_;
        if (MatchAhead(U"<?")) {
            ParseProcessingInstruction();
            prologStarted_ = true;
        } else if (MatchAhead(U"<!--")) {
            prologStarted_ = true;
            ParseComment();
        } else {
            return;
        }
    }
}

// An XML or text declaration, when the current source starts with one.
void TXpParser::ReadXmlDeclaration()
{
    if (src_->PeekChar() == kEnd)
        return;
    if (!src_->MatchLiteral(U"<?xml ") && !src_->MatchLiteral(U"<?xml\t") && !src_->MatchLiteral(U"<?xml\n"))
        return;
    std::u16string data;
    ParseXmlDeclaration(data);
    if (OnProcessingInstruction)
        OnProcessingInstruction(*this, u"xml", data);
}

bool TXpParser::ParseProcessingInstruction()
{
    std::u16string name;
    ReadNameInto(name, true, false);
    if (name == u"xml")
        Fail(u"The XML declaration must appear before the first element");
    if (name.empty() || (name.size() == 3 && ansi::sameText(name, u"xml")))
        Fail(u"Invalid processing instruction target: " + XpQuote(name));
    prologStarted_ = true;
    std::size_t start = textBuffer_.size();
    if (currentSerial_ == markupSerial_ && src_->MatchLiteral(U"?>")) {
        PopExhausted();
    } else {
        if (src_->PeekChar() == kEnd && !sourceStack_.empty() && !src_->location()) {
            src_->ConsumeChar(); // the column after the last character
            FailMarkupSplit(U"?>");
        }
        RequireWhitespace();
        ReadUntilIn(U"?>", markupSerial_);
    }
    if (OnProcessingInstruction) {
        std::u16string data = textBuffer_.substr(start);
        textBuffer_.resize(start);
        OnProcessingInstruction(*this, name, data);
    } else {
        textBuffer_.resize(start);
    }
    return false;
}

void TXpParser::ParseEq()
{
    SkipWhitespace(false);
    Require(U"=");
    SkipWhitespace(false);
}

void TXpParser::ParseXmlDeclaration(std::u16string& data)
{
    // The "<?xml" and one blank have been read.
    SkipWhitespace(false);
    // A text declaration at the start of an external source may leave the
    // version out.
    bool hasVersion = true;
    if (IsDocumentSource())
        Require(U"version");
    else
        hasVersion = MatchAhead(U"version");
    if (hasVersion) {
        ParseEq();
        std::u16string version = ParseLiteral(0);
        CheckVersionNumber(version);
        if (version != u"1.0")
            Fail(u"ZUZEzavudo does not support XML specification greater than 1.0");
        data = u"version=\"" + version + u"\"";
        if (src_->PeekChar() == u'?')
            SkipWhitespace(false);
        else
            RequireWhitespace();
    }
    const bool textDecl = !IsDocumentSource();
    if (!MatchAhead(U"encoding")) {
        if (textDecl)
            Fail(u"Text declaration requires an encoding declaration");
    } else {
        ParseEq();
        std::u16string encoding = ParseLiteral(3);
        CheckEncodingName(encoding);
        // The mark settles the encoding; a declaration naming another one
        // means the document was re-encoded or mislabelled.
        const bool utf16Name = ansi::sameText(encoding, u"UTF-16") || ansi::sameText(encoding, u"UTF-16LE") ||
                               ansi::sameText(encoding, u"UTF-16BE") || ansi::sameText(encoding, u"UCS-2") ||
                               ansi::sameText(encoding, u"ISO-10646-UCS-2");
        const bool latin1Name = ansi::sameText(encoding, u"ISO-8859-1");
        if ((src_->utf16Mark() && !utf16Name) || (src_->utf8Mark() && (utf16Name || latin1Name)))
            Fail(u"Encoding declaration " + XpQuote(encoding) + u" contradicts the byte order mark");
        // Text read as bytes was not written in a two-byte encoding.
        if (utf16Name && !src_->utf16Mark())
            Fail(u"Encoding declaration " + XpQuote(encoding) + u" needs a byte order mark");
        if (ansi::sameText(encoding, u"ISO-8859-1"))
            src_->SetEncoding(xpIso88591);
        if (!data.empty())
            data += u' ';
        data += u"encoding=\"" + encoding + u"\"";
        SkipWhitespace(false);
    }
    if (!textDecl && MatchAhead(U"standalone")) {
        ParseEq();
        std::u16string standalone = ParseLiteral(3);
        if (standalone != u"yes" && standalone != u"no")
            Fail(u"Standalone value must equal 'yes' or 'no'");
        standalone_ = standalone == u"yes";
        if (!data.empty())
            data += u' ';
        data += u"standalone=\"" + standalone + u"\"";
        SkipWhitespace(false);
    }
    Require(U"?>");
}

void TXpParser::ParseComment()
{
    std::size_t start = textBuffer_.size();
    ReadUntilIn(U"-->", markupSerial_);
    std::u16string_view text(textBuffer_.data() + start, textBuffer_.size() - start);
    if (text.find(u"--") != std::u16string_view::npos || (!text.empty() && text.back() == u'-'))
        Fail(u"Invalid comment text");
    if (OnComment) {
        std::u16string copy(text);
        textBuffer_.resize(start);
        OnComment(*this, copy);
    } else {
        textBuffer_.resize(start);
    }
}

// ---- elements -----------------------------------------------------------------

void TXpParser::ParseElements()
{
    // The caller has consumed the root's "<".
    if (!ParseStartTag())
        return;
    bool firstRun = true;
    for (;;) {
        // Text where the declarations allow none is invalid, not malformed.
        ReadCharData(firstRun);
        firstRun = false;
        if (PopSources())
            Fail(u"Unexpected end of file ");

        char16_t c = src_->PeekChar();
        if (c == u'&') {
            src_->ConsumeChar();
            if (src_->PeekChar() == u'#') {
                src_->ConsumeChar();
                ReadCharRef();
            } else {
                ReadEntityRefImpl(true, true);
            }
        } else if (c == u'<') {
            markupSerial_ = currentSerial_;
            src_->ConsumeChar();
            char16_t next = src_->PeekChar();
            if (next == u'!') {
                src_->ConsumeChar();
                FlushCharData();
                char16_t kind = ReadCh();
                if (kind == u'-') {
                    Require(U"-");
                    ParseComment();
                } else if (kind == u'[') {
                    Require(U"CDATA[");
                    inCDATA_ = true;
                    ReadUntilIn(U"]]>", markupSerial_);
                    FlushCharData();
                    inCDATA_ = false;
                } else {
                    Fail(u"Expected comment or CDATA section (" + std::u16string(1, kind) + u")");
                }
            } else if (next == u'?') {
                src_->ConsumeChar();
                FlushCharData();
                ParseProcessingInstruction();
            } else if (next == u'/') {
                src_->ConsumeChar();
                FlushCharData();
                ParseEndTag();
                if (elementDepth_ == 0)
                    return;
            } else {
                FlushCharData();
                if (ParseStartTag())
                    firstRun = true;
            }
        } else {
            Fail(u"Expected start of new element.");
        }
        PopSources();
    }
}

bool TXpParser::ParseStartTag()
{
    if (elements_.size() <= elementDepth_)
        elements_.resize(elementDepth_ + 1);
    Frame& frame = elements_[elementDepth_];
    const uint64_t tagSource = currentSerial_;
    ReadNameInto(frame.name, true, false);
    if (frame.name.empty())
        Fail(u"Invalid element name: " + XpQuote(frame.name));

    const int32_t parentType = contentType_;
    const bool parentPreserve = preserveSpace_;
    int32_t declared = elementTable_.empty() ? 0 : ElementContentType(frame.name);
    contentType_ = declared == 0 ? xpctAny : declared;
    SkipWhitespace(false);

    startTagAttrCount_ = 0;
    // clear() would wipe every bucket the longest tag so far needed, for
    // every tag after it: a fresh index costs nothing until a long tag.
    if (!attrIndex_.empty())
        std::unordered_map<std::u16string, int>().swap(attrIndex_);
    std::u16string xmlSpace;
    bool hasXmlSpace = false;
    bool spaced = true;
    for (char16_t c = src_->PeekChar(); c != u'/' && c != u'>'; c = src_->PeekChar()) {
        if (startTagAttrCount_ > 0 && !spaced)
            Fail(u"Whitespace required between attributes");
        ParseAttribute(xmlSpace, hasXmlSpace);
        spaced = isWs(src_->PeekChar());
        SkipWhitespace(false);
        CheckDuplicateAttribute();
    }

    if (!elementTable_.empty()) {
        if (OnAttribute)
            FireDefaultAttributes(frame.name);
        if (!hasXmlSpace) {
            if (TXpAttributeInfo* info = FindAttribute(frame.name, u"xml:space")) {
                xmlSpace = DefaultValue(*info);
                hasXmlSpace = true;
            }
        }
    }
    if (hasXmlSpace) {
        if (xmlSpace == u"preserve")
            preserveSpace_ = true;
        else if (xmlSpace == u"default")
            preserveSpace_ = !NormalizeData;
    }
    if (OnPreserveSpace)
        OnPreserveSpace(*this, frame.name, preserveSpace_);

    if (ReadCh() == u'>') {
        frame.source = tagSource;
        frame.contentType = contentType_;
        frame.preserveSpace = preserveSpace_;
        ++elementDepth_;
        if (OnStartElement)
            OnStartElement(*this, frame.name);
        return true;
    }
    Require(U">");
    if (OnStartElement)
        OnStartElement(*this, frame.name);
    if (OnEndElement)
        OnEndElement(*this, frame.name);
    contentType_ = parentType;
    preserveSpace_ = parentPreserve;
    return false;
}

void TXpParser::ParseAttribute(std::u16string& xmlSpace, bool& hasXmlSpace)
{
    if (startTagAttrs_.size() <= startTagAttrCount_)
        startTagAttrs_.resize(startTagAttrCount_ + 1);
    std::u16string& name = startTagAttrs_[startTagAttrCount_];
    ReadNameInto(name, true, false);
    if (name.empty())
        Fail(u"Invalid XML name: " + XpQuote(std::u16string(1, src_->PeekChar())));
    int32_t type = elementTable_.empty() ? 0 : AttributeType(elements_[elementDepth_].name, name);
    ParseEq();
    bool hadReference = false;
    textBuffer_.clear();
    ParseLiteralRaw(type <= 1 ? 19 : 27, hadReference, true);
    if (OnAttribute)
        OnAttribute(*this, name, textBuffer_, true);
    if (name == u"xml:space") {
        xmlSpace = textBuffer_;
        hasXmlSpace = true;
    }
    textBuffer_.clear();
    ++startTagAttrCount_;
}

void TXpParser::CheckDuplicateAttribute()
{
    const std::size_t n = startTagAttrCount_;
    if (n < 2)
        return;
    const std::u16string& last = startTagAttrs_[n - 1];
    constexpr std::size_t kLinear = 32;
    if (n <= kLinear) {
        for (std::size_t i = 0; i + 1 < n; ++i)
            if (startTagAttrs_[i] == last)
                Fail(u"Attributes cannot be redefined in a start tag");
        return;
    }
    // Long start tags: an index of the names.
    if (attrIndex_.empty())
        for (std::size_t i = 0; i + 1 < n; ++i)
            attrIndex_.emplace(startTagAttrs_[i], static_cast<int>(i));
    if (!attrIndex_.emplace(last, static_cast<int>(n - 1)).second)
        Fail(u"Attributes cannot be redefined in a start tag");
}

void TXpParser::FireDefaultAttributes(const std::u16string& element)
{
    auto it = elementTable_.find(element);
    if (it == elementTable_.end())
        return;
    for (auto& [attrName, info] : it->second.attributeDecls) {
        bool given = false;
        for (std::size_t i = 0; i < startTagAttrCount_ && !given; ++i)
            given = ansi::sameText(startTagAttrs_[i], attrName);
        if (given)
            continue;
        const std::u16string& value = DefaultValue(info);
        if (!value.empty())
            OnAttribute(*this, attrName, value, false);
    }
}

void TXpParser::ParseEndTag()
{
    Frame& frame = elements_[elementDepth_ - 1];
    if (frame.source != currentSerial_)
        Fail(u"Element not ended in the entity that began it: " + XpQuote(frame.name));
    ReadNameInto(nameBuffer_, true, false);
    if (nameBuffer_ != frame.name)
        Fail(u"Mismatched end tag: Start tag = \"" + frame.name + u"\" End tag = \"" + nameBuffer_ + u"\"");
    SkipWhitespace(false);
    Require(U">");
    if (OnEndElement)
        OnEndElement(*this, frame.name);
    --elementDepth_;
    if (elementDepth_ > 0) {
        contentType_ = elements_[elementDepth_ - 1].contentType;
        preserveSpace_ = elements_[elementDepth_ - 1].preserveSpace;
    } else {
        contentType_ = xpctAny;
        preserveSpace_ = false;
    }
}

void TXpParser::ReadCharData(bool firstRun)
{
    if (collectData_) {
        const std::size_t start = textBuffer_.size();
        for (;;) {
            src_->ReadRun(kCharData, false, &textBuffer_);
            char16_t c = src_->PeekChar();
            if (c == u'<' || c == u'&')
                break;
            if (c == kEnd) {
                if (sourceStack_.empty())
                    break;
                ResumeParent();
                continue;
            }
            textBuffer_ += c;
            src_->ConsumeChar();
        }
        if (std::u16string_view(textBuffer_).substr(start).find(u"]]>") != std::u16string_view::npos)
            Fail(u"Invalid characters in element's character data: ']]>'");
        return;
    }
    // Nobody listens: only "]]>" needs looking for.
    (void)firstRun;
    int brackets = 0;
    bool bad = false;
    for (;;) {
        // A run never holds "]": after one, characters are looked at singly.
        if (brackets == 0)
            src_->ReadRun(kCharData, false, nullptr);
        char16_t c = src_->PeekChar();
        if (c == u'<' || c == u'&')
            break;
        if (c == kEnd) {
            if (sourceStack_.empty())
                break;
            ResumeParent();
            continue;
        }
        if (c == u']') {
            ++brackets;
        } else {
            if (c == u'>' && brackets >= 2)
                bad = true;
            brackets = 0;
        }
        src_->ConsumeChar();
    }
    if (bad)
        Fail(u"Invalid characters in element's character data: ']]>'");
}

void TXpParser::FlushCharData()
{
    if (textBuffer_.empty())
        return;
    if (!collectData_) {
        textBuffer_.clear();
        return;
    }
    if (!inCDATA_ && !preserveSpace_ && NormalizeData)
        NormalizeWhitespace(textBuffer_, 0);
    if (!textBuffer_.empty()) {
        if (contentType_ == xpctAny || contentType_ == xpctMixed) {
            if (inCDATA_) {
                if (OnCDATASection)
                    OnCDATASection(*this, textBuffer_);
            } else if (OnCharData) {
                OnCharData(*this, textBuffer_);
            }
        } else if (contentType_ == xpctElements && OnElementWhitespace) {
            OnElementWhitespace(*this, textBuffer_);
        }
    }
    textBuffer_.clear();
}
