// Document type declarations: the internal and external subsets, element,
// attribute-list, entity and notation declarations, conditional sections and
// the tables they fill.
//
// Content-model groups and INCLUDE sections nest without native recursion
// (a depth counter each), so deep declarations cannot exhaust the stack.
#include "xml/XpParser.h"

#include "text/Ansi.h"

namespace {

constexpr char16_t kEnd = char16_t(XpEndOfInput);

inline bool isWs(char16_t c) { return c == 0x20 || c == 0x0A || c == 0x09 || c == 0x0D; }

} // namespace

void TXpParser::ParseDocTypeDecl()
{
    RequireWhitespace();
    std::u16string name = ReadName(true);
    SkipWhitespace(true);
    std::u16string publicId, systemId;
    ParseExternalId(false, publicId, systemId);
    // An external subset may declare what the internal one refers to.
    dtdMayDeclare_ = !systemId.empty();
    SkipWhitespace(true);
    if (OnDTDStart)
        OnDTDStart(*this, name, publicId, systemId);

    if (MatchAhead(U"[")) {
        internalSubset_ = true;
        for (;;) {
            SkipWhitespace(true);
            if (MatchAhead(U"%")) {
                const std::size_t before = sourceStack_.size();
                ReadPERef(true);
                if (sourceStack_.size() > before)
                    declSepSources_.insert(currentSerial_);
            }
            SkipWhitespace(true);
            if (MatchAhead(U"]"))
                break;
            ParseMarkupDecl(true);
        }
        internalSubset_ = false;
    }

    if (!systemId.empty()) {
        std::u16string location = systemId;
        if (OnDTDExternalStart)
            OnDTDExternalStart(*this, location);
        prologStarted_ = false;
        const TXpBaseDirContext* parent = DocumentLocation();
        Suspend();
        try {
            OpenSource(parent, narrow(location), ErrorLines, Password, UserName);
        } catch (...) {
            Resume();
            throw;
        }
        // The external subset counts towards the text that entities may add.
        expansionLimit_ += XpExpansionFactor * std::max<int64_t>(0, src_->StreamSizeAtStart());
        ReadXmlDeclaration();
        const std::size_t level = sourceStack_.size();
        if (OnExternalSubsetOpened)
            OnExternalSubsetOpened(*this);
        for (;;) {
            SkipWhitespace(true);
            if (sourceStack_.size() < level)
                break;
            if (sourceStack_.size() == level && src_->PeekChar() == kEnd)
                break;
            ParseMarkupDecl(false);
        }
        prologStarted_ = true;
        if (OnDTDExternalEnd)
            OnDTDExternalEnd(*this);
        PopSources();

        for (;;) {
            SkipWhitespace(true);
            if (MatchAhead(U">"))
                break;
            ParseMarkupDecl(false);
        }
    } else {
        SkipWhitespace(true);
        Require(U">");
    }
    if (OnDTDEnd)
        OnDTDEnd(*this);
    if (OnDocTypeDecl)
        OnDocTypeDecl(*this, name, publicId, systemId);
}

bool TXpParser::ParseExternalId(bool publicAlone, std::u16string& publicId, std::u16string& systemId)
{
    publicId.clear();
    systemId.clear();
    if (MatchAhead(U"PUBLIC")) {
        RequireDeclSpace();
        // Tested before normalisation: a tab is no public-id character.
        publicId = ParseLiteral(0);
        CheckPublicId(publicId);
        NormalizeWhitespace(publicId, 0);
        if (publicAlone) {
            SkipDeclSpace();
            char16_t c = src_->PeekChar();
            if (c == u'"' || c == u'\'')
                systemId = ParseLiteral(0);
        } else {
            RequireDeclSpace();
            systemId = ParseLiteral(0);
        }
    } else if (MatchAhead(U"SYSTEM")) {
        RequireDeclSpace();
        systemId = ParseLiteral(0);
    } else {
        return false;
    }
    return true;
}

void TXpParser::ParseMarkupDecl(bool internal)
{
    // The source a declaration begins in must hold its end.
    PopSources();
    declSerial_ = markupSerial_ = currentSerial_;
    declInDeclSep_ = declSepSources_.count(currentSerial_) != 0;
    if (MatchAhead(U"<!ELEMENT")) {
        ParseElementDecl(internal);
    } else if (MatchAhead(U"<!ATTLIST")) {
        ParseAttlistDecl();
    } else if (MatchAhead(U"<!ENTITY")) {
        ParseEntityDecl();
    } else if (MatchAhead(U"<!NOTATION")) {
        ParseNotationDecl();
    } else if (MatchAhead(U"<?")) {
        ParseProcessingInstruction();
    } else if (MatchAhead(U"<!--")) {
        ParseComment();
    } else if (MatchAhead(U"<![")) {
        if (internal && !InExternalText())
            Fail(u"Conditional sections not allowed in internal subset of document type declaration");
        ParseConditionalSection();
    } else if (MatchAhead(U"%")) {
        ParsePERefDecls(internal);
    } else {
        std::u16string token;
        ReadNameInto(token, false, false);
        Fail(u"Expected markup declaration, but found: " + token);
    }
}

void TXpParser::ParsePERefDecls(bool internal)
{
    std::u16string name;
    CaptureReferenceChain();
    ReadNameInto(name, true, false);
    RequireSemicolon();
    dtdMayDeclare_ = true;
    SkipWhitespace(false);
    int e = FindParameterEntity(name);
    if (e < 0 || entityTable_[e].entityKind == xpetUnparsed)
        Fail(u"Reference to undeclared entity: " + name);
    TXpEntityInfo info = entityTable_[e];
    if (info.entityKind == xpetInternal) {
        // Declarations in the entity's text, read to its end.
        const std::size_t before = sourceStack_.size();
        PushEntityText(e, info.replacementText);
        const std::size_t level = sourceStack_.size();
        if (level > before)
            declSepSources_.insert(currentSerial_);
        while (level > before) {
            SkipWhitespace(true);
            if (sourceStack_.size() < level)
                break;
            if (sourceStack_.size() == level && src_->PeekChar() == kEnd)
                break;
            ParseMarkupDecl(internal);
        }
        return;
    }
    if (info.systemId.empty())
        return;
    std::u16string location = info.systemId;
    if (OnDTDExternalStart)
        OnDTDExternalStart(*this, location);
    prologStarted_ = false;
    const std::size_t before = sourceStack_.size();
    ResolveExternalEntityImpl(e, info.name, info.publicId, location, false);
    if (sourceStack_.size() > before) {
        const std::size_t level = sourceStack_.size();
        declSepSources_.insert(currentSerial_);
        for (;;) {
            SkipWhitespace(true);
            if (sourceStack_.size() < level)
                break;
            if (sourceStack_.size() == level && src_->PeekChar() == kEnd)
                break;
            ParseMarkupDecl(false); // external text, wherever referenced
        }
    }
    if (OnDTDExternalEnd)
        OnDTDExternalEnd(*this);
    prologStarted_ = true;
}

// ---- element declarations ----------------------------------------------------

void TXpParser::ParseElementDecl(bool /*internal*/)
{
    RequireDeclSpace();
    std::u16string name = ReadName(true);
    RequireDeclSpace();

    if (MatchAhead(U"EMPTY")) {
        if (OnDTDElementStart)
            OnDTDElementStart(*this, name, xpctEmpty);
        DeclareElement(name, xpctEmpty, {});
    } else if (MatchAhead(U"ANY")) {
        if (OnDTDElementStart)
            OnDTDElementStart(*this, name, xpctAny);
        DeclareElement(name, xpctAny, {});
    } else {
        Require(U"(");
        std::u16string model = u"(";
        SkipDeclSpace();
        if (MatchAhead(U"#PCDATA")) {
            if (OnDTDElementStart)
                OnDTDElementStart(*this, name, xpctMixed);
            if (OnDTDElementGroupStart)
                OnDTDElementGroupStart(*this);
            if (OnDTDElementContent)
                OnDTDElementContent(*this, u"#PCDATA", 0, 0);
            model += u"#PCDATA";
            for (;;) {
                SkipDeclSpace();
                if (MatchAhead(U")"))
                    break;
                Require(U"|");
                model += u'|';
                SkipDeclSpace();
                std::u16string child = ReadName(true);
                if (child.empty())
                    Fail(u"Expected element name in content model: " + std::u16string(1, src_->PeekChar()));
                model += child;
                if (OnDTDElementContent)
                    OnDTDElementContent(*this, child, 0, 0);
            }
            model += u')';
            int32_t occurrence = 0;
            if (MatchAhead(U"*")) {
                occurrence = 2;
                model += u'*';
            } else if (model.size() > 9) {
                Fail(u"Mixed content with element names must end with ')*'");
            }
            if (OnDTDElementGroupEnd)
                OnDTDElementGroupEnd(*this, occurrence, 1);
            DeclareElement(name, xpctMixed, model);
        } else {
            if (OnDTDElementStart)
                OnDTDElementStart(*this, name, xpctElements);
            if (OnDTDElementGroupStart)
                OnDTDElementGroupStart(*this);
            ParseContentGroup(false, model);
            DeclareElement(name, xpctElements, model);
        }
    }
    if (OnDTDElementEnd)
        OnDTDElementEnd(*this, name);
    RequireDeclEnd();
}

bool TXpParser::PERefsInDecls() const
{
    return internalSubset_ || InExternalText();
}

bool TXpParser::SkipDeclSpace()
{
    bool seen = false;
    for (;;) {
        char16_t c = src_->PeekChar();
        if (isWs(c)) {
            src_->ConsumeChar();
        } else if (c == kEnd && currentEntity_ >= 0) {
            ResumeParent(); // the blank after a parameter entity's text
        } else if (c == u'%' && PERefsInDecls()) {
            src_->ConsumeChar();
            ReadDeclPERef(); // and the blank before it
        } else {
            return seen;
        }
        seen = true;
    }
}

void TXpParser::RequireDeclSpace()
{
    if (!SkipDeclSpace())
        Fail(u"Whitespace expected at Line: " + widen(std::to_string(src_->curLine())) + u" Position: " +
             widen(std::to_string(src_->curColumn())));
}

void TXpParser::RequireDeclEnd()
{
    SkipDeclSpace();
    if (src_->PeekChar() != u'>')
        Fail(u"Expected String: '>'");
    if (declInDeclSep_ && currentSerial_ != declSerial_)
        Fail(u"Markup declaration not ended in the entity that began it");
    src_->ConsumeChar();
    PopExhausted();
}

bool TXpParser::InExternalText() const
{
    if (src_ && src_->location() && !IsDocumentSource())
        return true;
    for (std::size_t i = 1; i < sourceStack_.size(); ++i)
        if (sourceStack_[i].filter && sourceStack_[i].filter->location())
            return true;
    return false;
}

void TXpParser::ReadDeclPERef()
{
    if (internalSubset_ && !InExternalText())
        Fail(u"Parameter entities not allowed in DTD internal subset");
    ReadPERef(true);
}

int32_t TXpParser::ReadOccurrence(std::u16string& model)
{
    char16_t c = src_->PeekChar();
    int32_t occurrence = c == u'?' ? 1 : c == u'*' ? 2 : c == u'+' ? 3 : 0;
    if (occurrence) {
        src_->ConsumeChar();
        model += c;
    }
    return occurrence;
}

void TXpParser::ParseContentGroup(bool /*internal*/, std::u16string& model)
{
    // The group's "(" has been read. One entry per open group: the
    // separator it uses, 0 until its first one.
    std::vector<char16_t> separators(1, 0);
    for (;;) {
        // A particle: a nested group or a name.
        SkipDeclSpace();
        if (src_->PeekChar() == u'(') {
            src_->ConsumeChar();
            model += u'(';
            if (OnDTDElementGroupStart)
                OnDTDElementGroupStart(*this);
            separators.push_back(0);
            continue;
        }
        std::u16string name = ReadName(true);
        if (name.empty())
            Fail(u"Expected element name in content model: " + std::u16string(1, src_->PeekChar()));
        model += name;
        int32_t occurrence = ReadOccurrence(model);
        SkipDeclSpace();
        if (OnDTDElementContent)
            OnDTDElementContent(*this, name, occurrence, src_->PeekChar() == u'|' ? 0 : 1);

        // A separator before the next particle, or the ends of groups.
        for (;;) {
            SkipDeclSpace();
            char16_t c = src_->PeekChar();
            if (c == u',' || c == u'|') {
                if (separators.back() != 0 && separators.back() != c)
                    Fail(u"Mixed separators in content model: " + std::u16string(1, c));
                separators.back() = c;
                src_->ConsumeChar();
                model += c;
                break;
            }
            if (c != u')')
                Fail(u"Bad separator in content model: " + std::u16string(1, c));
            src_->ConsumeChar();
            model += u')';
            int32_t groupOccurrence = ReadOccurrence(model);
            separators.pop_back();
            if (separators.empty()) {
                if (OnDTDElementGroupEnd)
                    OnDTDElementGroupEnd(*this, groupOccurrence, 1);
                return;
            }
            SkipDeclSpace();
            if (OnDTDElementGroupEnd)
                OnDTDElementGroupEnd(*this, groupOccurrence, src_->PeekChar() == u'|' ? 0 : 1);
        }
    }
}

void TXpParser::DeclareElement(const std::u16string& name, int32_t type, const std::u16string& model)
{
    TXpElementInfo& info = elementTable_[name];
    if (type != 0)
        info.declaredType = type;
    if (!model.empty())
        info.contentModel = model;
}

int32_t TXpParser::ElementContentType(const std::u16string& name) const
{
    auto it = elementTable_.find(name);
    return it == elementTable_.end() ? 0 : it->second.declaredType;
}

const TXpElementInfo* TXpParser::ElementInfo(const std::u16string& name) const
{
    auto it = elementTable_.find(name);
    return it == elementTable_.end() ? nullptr : &it->second;
}

TXpAttributeInfo* TXpParser::FindAttribute(const std::u16string& element, const std::u16string& attribute)
{
    auto it = elementTable_.find(element);
    if (it == elementTable_.end())
        return nullptr;
    auto at = it->second.attributeDecls.find(attribute);
    return at == it->second.attributeDecls.end() ? nullptr : &at->second;
}

int32_t TXpParser::AttributeType(const std::u16string& element, const std::u16string& attribute) const
{
    auto it = elementTable_.find(element);
    if (it == elementTable_.end())
        return 0;
    auto at = it->second.attributeDecls.find(attribute);
    return at == it->second.attributeDecls.end() ? 0 : at->second.attrType;
}

// ---- attribute-list declarations -----------------------------------------------

void TXpParser::ParseAttlistDecl()
{
    RequireDeclSpace();
    std::u16string element = ReadName(true);
    if (element.empty())
        Fail(u"Invalid XML name: " + XpQuote(std::u16string(1, src_->PeekChar())));
    if (OnDTDAttlistStart)
        OnDTDAttlistStart(*this, element);
    // A list may declare no attribute at all.
    bool spaced = SkipDeclSpace();
    for (char16_t c = src_->PeekChar(); c != u'>' && c != kEnd; c = src_->PeekChar()) {
        if (!spaced)
            Fail(u"Whitespace expected at Line: " + widen(std::to_string(src_->curLine())) + u" Position: " +
                 widen(std::to_string(src_->curColumn())));
        enumValues_.clear();
        ParseAttDef(element);
        spaced = SkipDeclSpace();
    }
    RequireDeclEnd();
    SkipWhitespace(false);
    if (OnDTDAttlistEnd)
        OnDTDAttlistEnd(*this);
}

void TXpParser::ReadEnumeration(std::u16string& enumText)
{
    // The "(" has been read.
    enumText = u"(";
    for (;;) {
        SkipDeclSpace();
        std::u16string token = ReadName(false);
        if (token.empty())
            Fail(u"Expected name token in enumeration: " + std::u16string(1, src_->PeekChar()));
        enumText += token;
        enumValues_.push_back(token);
        SkipDeclSpace();
        if (MatchAhead(U")")) {
            enumText += u')';
            return;
        }
        Require(U"|");
        enumText += u'|';
    }
}

void TXpParser::ParseAttDef(const std::u16string& element)
{
    // The blanks before it have been read.
    std::u16string name = ReadName(true);
    if (name.empty())
        Fail(u"Invalid XML name: " + XpQuote(std::u16string(1, src_->PeekChar())));
    RequireDeclSpace();

    TXpAttributeInfo info;
    if (MatchAhead(U"(")) {
        ReadEnumeration(info.enumText);
        info.attrType = 9;
    } else {
        std::u16string typeName = ReadName(false);
        if (typeName == u"NOTATION") {
            RequireDeclSpace();
            Require(U"(");
            ReadEnumeration(info.enumText);
            info.attrType = 10;
        } else {
            auto it = attrTypeNames_.find(typeName);
            if (it == attrTypeNames_.end())
                Fail(u"Illegal attribute type: (" + typeName + u") in element " + element);
            info.attrType = it->second;
        }
    }

    RequireDeclSpace();
    if (MatchAhead(U"#")) {
        if (MatchAhead(U"FIXED")) {
            RequireDeclSpace();
            info.defaultText = ParseLiteral(1 | 16 | 64);
            info.defaultKind = 4;
        } else if (MatchAhead(U"REQUIRED")) {
            info.defaultKind = 3;
        } else if (MatchAhead(U"IMPLIED")) {
            info.defaultKind = 2;
        } else {
            std::u16string token;
            ReadNameInto(token, false, false);
            Fail(u"Illegal keyword for attribute default value: " + token);
        }
    } else {
        info.defaultText = ParseLiteral(1 | 16 | 64);
        info.defaultKind = 1;
    }

    const int32_t type = info.attrType;
    const int32_t kind = info.defaultKind;
    const std::u16string defaultText = info.defaultText;
    // The last declaration of an attribute wins. Its default is read now:
    // the entities it names must be declared before it and be well-formed.
    TXpAttributeInfo& stored = elementTable_[element].attributeDecls[name];
    stored = std::move(info);
    DefaultValue(stored);
    if (OnDTDAttDefinition)
        OnDTDAttDefinition(*this, name, type, enumValues_, kind, defaultText);
}

const std::u16string& TXpParser::DefaultValue(TXpAttributeInfo& info)
{
    if (info.defaultComputed || info.defaultText.empty())
        return info.defaultValue;
    // The default is read like a value written in a start tag: references
    // expanded, whitespace normalised. It is read up to the end of its own
    // text (a quote inside it is data, not the end of the value).
    const std::size_t keep = textBuffer_.size();
    std::u16string saved = textBuffer_.substr(0, keep);
    textBuffer_.clear();
    PushText(info.defaultText);
    bool hadReference = false;
    ParseLiteralRaw(27, hadReference, false);
    info.defaultValue = textBuffer_;
    info.defaultComputed = true;
    textBuffer_ = std::move(saved);
    return info.defaultValue;
}

// ---- entity and notation declarations ----------------------------------------

void TXpParser::ParseEntityDecl()
{
    RequireWhitespace();
    bool isParameter = false;
    if (MatchAhead(U"%")) {
        RequireDeclSpace();
        isParameter = true;
    }
    std::u16string name = ReadName(true);
    RequireDeclSpace();
    char16_t c = src_->PeekChar();
    if (c == u'"' || c == u'\'') {
        bool hadReference = false;
        std::u16string value = ParseLiteral(1 | 32, &hadReference);
        DeclareEntity(name, xpetInternal, isParameter, value);
        if (OnDTDEntityInternal)
            OnDTDEntityInternal(*this, isParameter, name, value);
    } else {
        std::u16string publicId, systemId, notation;
        if (!ParseExternalId(false, publicId, systemId))
            Fail(u"System identifier missing " + XpQuote(name));
        int32_t kind = xpetExternalParsed;
        if (SkipDeclSpace()) {
            if (MatchAhead(U"NDATA")) {
                if (isParameter)
                    Fail(u"NDATA not allowed in parameter entity declaration");
                RequireDeclSpace();
                notation = ReadName(true);
                kind = xpetUnparsed;
            }
        }
        DeclareEntity(name, kind, isParameter, {}, publicId, systemId, notation);
        if (OnDTDEntityExternal)
            OnDTDEntityExternal(*this, isParameter, name, publicId, systemId, notation);
    }
    RequireDeclEnd();
}

void TXpParser::ParseNotationDecl()
{
    RequireDeclSpace();
    std::u16string name = ReadName(true);
    RequireDeclSpace();
    std::u16string publicId, systemId;
    if (!ParseExternalId(true, publicId, systemId))
        Fail(u"External modifier missing: " + name);
    if (notationTable_.find(name) == notationTable_.end()) {
        notationTable_.emplace(name, TXpNotationInfo{publicId, systemId});
        if (OnDTDNotation)
            OnDTDNotation(*this, name, publicId, systemId);
    }
    RequireDeclEnd();
}

// ---- conditional sections -----------------------------------------------------

int TXpParser::ParseConditionalHead()
{
    SkipDeclSpace();
    int type;
    if (MatchAhead(U"INCLUDE"))
        type = 0;
    else if (MatchAhead(U"IGNORE"))
        type = 1;
    else
        Fail(u"Conditional section must begin with INCLUDE or IGNORE");
    SkipDeclSpace();
    Require(U"[");
    // The section's text begins in the source that holds its "[".
    SkipWhitespace(false);
    if (OnDTDConditionalStart)
        OnDTDConditionalStart(*this, type);
    return type;
}

void TXpParser::ParseConditionalSection()
{
    if (ParseConditionalHead() == 0) {
        ParseIncludeSection();
    } else {
        ParseIgnoreSection();
        if (OnDTDConditionalEnd)
            OnDTDConditionalEnd(*this);
    }
}

void TXpParser::ParseIncludeSection()
{
    // Nested INCLUDE sections are counted, not recursed into.
    std::size_t depth = 1;
    while (depth > 0) {
        SkipWhitespace(true);
        if (MatchAhead(U"]]>")) {
            --depth;
            if (OnDTDConditionalEnd)
                OnDTDConditionalEnd(*this);
        } else if (MatchAhead(U"<![")) {
            if (ParseConditionalHead() == 0) {
                ++depth;
            } else {
                ParseIgnoreSection();
                if (OnDTDConditionalEnd)
                    OnDTDConditionalEnd(*this);
            }
        } else {
            ParseMarkupDecl(false);
        }
    }
}

void TXpParser::ParseIgnoreSection()
{
    const int32_t line = src_->curLine();
    const int32_t column = src_->curColumn();
    const bool keep = static_cast<bool>(OnCharData);
    std::u16string text;
    std::size_t depth = 1;
    for (;;) {
        char16_t c = src_->PeekChar();
        if (c == kEnd)
            FailAt(u"Encountered malformed IGNORE section.", line, column);
        if (c == u'<' && src_->MatchLiteral(U"<![")) {
            ++depth;
            if (keep)
                text += u"<![";
            continue;
        }
        if (c == u']' && src_->MatchLiteral(U"]]>")) {
            if (keep)
                text += u"]]>";
            if (--depth == 0)
                break;
            continue;
        }
        if (keep)
            text += c;
        src_->ConsumeChar();
    }
    if (keep)
        OnCharData(*this, text);
}
