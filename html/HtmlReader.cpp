#include "html/HtmlReader.h"

#include <algorithm>

namespace {

bool isBlank(char16_t c) noexcept
{
    return c == 9 || c == 10 || c == 13 || c == 32;
}

bool isQuote(char16_t c) noexcept
{
    return c == u'"' || c == u'\'';
}

bool isTagNameStop(char16_t c) noexcept
{
    return isBlank(c) || c == u'/' || c == u'>';
}

bool isAttributeNameStop(char16_t c) noexcept
{
    return isBlank(c) || isQuote(c) || c == u'/' || c == u'=' || c == u'>';
}

bool isUnquotedValueStop(char16_t c) noexcept
{
    return isBlank(c) || isQuote(c) || c == u'/' || c == u'>';
}

bool isEntityNameStop(char16_t c) noexcept
{
    return isBlank(c) || c == u'&' || c == u';' || c == u'<';
}

char16_t asciiUpper(char16_t c) noexcept
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

int digitValue(char16_t c, bool hex) noexcept
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (hex && c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (hex && c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

constexpr std::u16string_view kGreater = u">";
constexpr std::u16string_view kCommentEnd = u"-->";
constexpr std::u16string_view kCDataEnd = u"]]>";
constexpr std::u16string_view kScriptEnd = u"</SCRIPT>";
constexpr std::u16string_view kStyleEnd = u"</STYLE>";
constexpr std::u16string_view kQuotationMark = u"\"";
constexpr std::u16string_view kApostrophe = u"'";

} // namespace

// ---------------------------------------------------------------------------
// Editable text

namespace htmlreader_detail {

void TEditableText::assign(std::u16string text)
{
    // A buffer of its own: a document may still hold the old one.
    buf_ = std::make_shared<std::u16string>(std::move(text));
    data_ = buf_->data();
    gapStart_ = 0;
    gapLen_ = 0;
    edited_ = false;
}

std::u16string TEditableText::substr(std::size_t from, std::size_t to) const
{
    std::u16string out;
    substrInto(from, to, out);
    return out;
}

void TEditableText::substrInto(std::size_t from, std::size_t to, std::u16string& out) const
{
    out.clear();
    to = std::min(to, size());
    if (from >= to)
        return;
    // Nearly always on one side of the gap: one copy.
    if (to <= gapStart_) {
        out.append(data_ + from, to - from);
        return;
    }
    if (from >= gapStart_) {
        out.append(data_ + from + gapLen_, to - from);
        return;
    }
    out.reserve(to - from);
    if (from < gapStart_)
        out.append(data_ + from, std::min(to, gapStart_) - from);
    if (to > gapStart_) {
        std::size_t f = std::max(from, gapStart_);
        out.append(data_ + f + gapLen_, to - f);
    }
}

void TEditableText::insert(std::size_t at, char16_t c)
{
    at = std::min(at, size());
    if (gapLen_ == 0) {
        // A fresh gap in proportion to the text, so that regrowing it stays
        // a small share of the work however many insertions follow. The
        // grown text is a new buffer: views into the old one stay as they are.
        std::size_t room = std::max<std::size_t>(64, size() / 4);
        auto grown = std::make_shared<std::u16string>();
        grown->reserve(buf_->size() + room);
        grown->append(*buf_, 0, at);
        grown->append(room, u'\0');
        grown->append(*buf_, at, std::u16string::npos);
        buf_ = std::move(grown);
        data_ = buf_->data();
        gapStart_ = at;
        gapLen_ = room;
        edited_ = true;
    } else if (at > gapStart_) {
        std::char_traits<char16_t>::move(data_ + gapStart_, data_ + gapStart_ + gapLen_, at - gapStart_);
        gapStart_ = at;
    } else if (at < gapStart_) {
        std::char_traits<char16_t>::move(data_ + at + gapLen_, data_ + at, gapStart_ - at);
        gapStart_ = at;
    }
    data_[gapStart_] = c;
    ++gapStart_;
    --gapLen_;
}

const std::u16string& TEditableText::str() const
{
    if (gapLen_ > 0) {
        buf_->erase(gapStart_, gapLen_);
        data_ = buf_->data();
        gapLen_ = 0;
    }
    gapStart_ = 0;
    return *buf_;
}

} // namespace htmlreader_detail

// ---------------------------------------------------------------------------
// Fields and helpers

void THtmlReader::setHtmlStr(std::u16string text)
{
    text_.assign(std::move(text));
    pos_ = 0;
    // Implementer's choice: every text starts from the initial reader state.
    // Carrying a half-read tag, a pending script flag or an old quote over
    // from the previous text would make the first tokens of the new one
    // depend on how the last one happened to end.
    state_ = 0;
    quoteChar_ = 0;
    inScript_ = false;
    inStyle_ = false;
    clearToken();
    searchCount_ = 0;
    runCount_ = 0;
    nextRun_ = 0;
}

std::u16string THtmlReader::htmlSlice(std::int64_t from, std::int64_t to) const
{
    if (from < 1)
        from = 1;
    if (to <= from)
        return {};
    return text_.substr(static_cast<std::size_t>(from - 1), static_cast<std::size_t>(to - 1));
}

std::u16string THtmlReader::nodeName() const
{
    if (prefix_.empty())
        return localName_;
    std::u16string name = prefix_;
    name += u':';
    name += localName_;
    return name;
}

void THtmlReader::clearToken()
{
    nodeType_ = 0;
    prefix_.clear();
    localName_.clear();
    nodeValue_.clear();
    valueFrom_ = valueTo_ = 0;
    publicId_.clear();
    systemId_.clear();
    isEmptyElement_ = false;
}

void THtmlReader::fire(const THtmlReaderEvent& event)
{
    if (onToken)
        onToken(*this);
    if (event)
        event(*this);
}

void THtmlReader::setName(std::u16string name)
{
    localName_ = std::move(name);
    splitName(localName_.find(u':'));
}

// setName for the text in [from, to), made in the name's own storage. Names
// are lower-cased in ASCII only; every other character stays as it is.
void THtmlReader::setNameFromText(std::size_t from, std::size_t to, bool lower)
{
    text_.substrInto(from, to, localName_);
    std::size_t colon = std::u16string::npos;
    for (std::size_t i = 0, n = localName_.size(); i < n; ++i) {
        char16_t& c = localName_[i];
        if (lower && c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c + 32);
        else if (c == u':' && colon == std::u16string::npos)
            colon = i;
    }
    splitName(colon);
}

// The whole name stands in localName_; a colon at `colon` parts it into
// prefix and local name.
void THtmlReader::splitName(std::size_t colon)
{
    if (colon == std::u16string::npos) {
        prefix_.clear();
        return;
    }
    fullName_ = localName_;
    prefix_.assign(fullName_, 0, colon);
    localName_.erase(0, colon + 1);
}

// "<" or "&" that starts nothing readable: hand it on as a reference.
void THtmlReader::deliverSubstitute(std::size_t markupStart, const char16_t* name)
{
    pos_ = markupStart + 1;
    clearToken(); // a failed construct may have filled some fields
    nodeType_ = 5;
    setName(name);
    fire(onEntityReference);
}

void THtmlReader::skipBlanks()
{
    pos_ = text_.find(pos_, [](char16_t c) { return !isBlank(c); });
}

bool THtmlReader::matchAt(std::size_t at, std::u16string_view s, bool ignoreCase) const
{
    if (at > text_.size() || text_.size() - at < s.size())
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char16_t a = text_[at + i];
        char16_t b = s[i];
        if (a != b && !(ignoreCase && asciiUpper(a) == asciiUpper(b)))
            return false;
    }
    return true;
}

bool THtmlReader::skipTo(std::u16string_view s)
{
    // Most often the string stands right here (the ">" after an end tag's
    // name). A remembered search that covers this place found this match
    // too, so it stays true.
    if (!s.empty() && matchAt(pos_, s, true)) {
        pos_ += s.size();
        return true;
    }
    TSearch* memo = nullptr;
    for (int i = 0; i < searchCount_; ++i) {
        if (searches_[i].pattern == s) {
            memo = &searches_[i];
            break;
        }
    }
    constexpr std::size_t none = std::u16string_view::npos;
    if (memo && pos_ >= memo->from && (memo->match == none || pos_ <= memo->match)) {
        if (memo->match == none) {
            pos_ = text_.size();
            return false;
        }
        pos_ = memo->match + s.size();
        return true;
    }
    if (!memo && searchCount_ < maxSearches)
        memo = &searches_[searchCount_++];
    std::size_t from = pos_;
    std::size_t n = text_.size();
    std::size_t match = none;
    // Only where the first character matches is the rest compared.
    const char16_t first = asciiUpper(s.empty() ? u'\0' : s[0]);
    for (; pos_ < n; ++pos_) {
        if (!s.empty()) {
            pos_ = text_.find(pos_, [first](char16_t c) { return asciiUpper(c) == first; });
            if (pos_ == n)
                break;
        }
        if (matchAt(pos_, s, true)) {
            match = pos_;
            break;
        }
    }
    if (memo)
        *memo = {s, from, match};
    if (match == none)
        return false;
    pos_ = match + s.size();
    return true;
}

std::size_t THtmlReader::scanToTagNameStop()
{
    std::size_t from = pos_;
    // A name's stop is near: found within a short stretch, it costs no more
    // than a look at what was remembered, and a stretch that short may be
    // scanned again and again without losing linear time.
    constexpr std::size_t kNear = 64;
    const std::size_t nearEnd = text_.size() - from > kNear ? from + kNear : text_.size();
    const std::size_t near = text_.find(from, isTagNameStop, nearEnd);
    if (near < nearEnd) {
        pos_ = near;
        return from;
    }
    for (int i = 0; i < runCount_; ++i) {
        if (from >= runs_[i].from && from <= runs_[i].stop) {
            pos_ = runs_[i].stop;
            return from;
        }
    }
    pos_ = text_.find(pos_, isTagNameStop);
    // Runs without a stop are disjoint or end at the same stop.
    for (int i = 0; i < runCount_; ++i) {
        if (runs_[i].stop == pos_) {
            runs_[i].from = std::min(runs_[i].from, from);
            return from;
        }
    }
    if (runCount_ < maxRuns) {
        runs_[runCount_++] = {from, pos_};
    } else {
        runs_[nextRun_] = {from, pos_};
        nextRun_ = (nextRun_ + 1) % maxRuns;
    }
    return from;
}

// Keeps what the searches remember true after "=" was inserted at `at`.
// "=" is neither a tag-name stop nor part of any searched string.
void THtmlReader::textInserted(std::size_t at)
{
    constexpr std::size_t none = std::u16string_view::npos;
    for (int i = 0; i < searchCount_; ++i) {
        TSearch& m = searches_[i];
        if (m.match != none && at > m.match && at < m.match + m.pattern.size()) {
            // The match was split; a search starting at npos never applies.
            m.from = none;
            m.match = none;
            continue;
        }
        if (m.match != none && at <= m.match)
            ++m.match;
        if (at < m.from && m.from != none)
            ++m.from;
    }
    for (int i = 0; i < runCount_; ++i) {
        TRun& run = runs_[i];
        if (at <= run.from) {
            ++run.from;
            ++run.stop;
        } else if (at <= run.stop) {
            ++run.stop;
        }
    }
}

// ---------------------------------------------------------------------------
// read

bool THtmlReader::read()
{
    clearToken();
    if (atEnd())
        return false;

    if (state_ >= 2) {
        if (readAttributeValue())
            return true;
        if (state_ == 4 && !atEnd())
            ++pos_; // the closing quote
        nodeType_ = 2;
        fire(onAttributeEnd);
        state_ = 1;
        return true;
    }

    if (state_ == 1) {
        if (readAttributeName())
            return true;
        skipBlanks();
        if (!atEnd() && cur() == u'/') {
            isEmptyElement_ = true;
            ++pos_;
        }
        skipTo(kGreater);
        nodeType_ = 1;
        fire(onElementEnd);
        state_ = 0;
        return true;
    }

    char16_t c = cur();
    if (c == u'<') {
        std::size_t start = pos_;
        if (!readTag())
            deliverSubstitute(start, u"lt");
    } else if (c == u'&') {
        std::size_t start = pos_;
        if (!readReference())
            deliverSubstitute(start, u"amp");
    } else if (inScript_) {
        readRawContent(kScriptEnd);
        inScript_ = false;
        state_ = 0;
    } else if (inStyle_) {
        readRawContent(kStyleEnd);
        inStyle_ = false;
        state_ = 0;
    } else {
        readText();
    }
    return true;
}

void THtmlReader::readText()
{
    std::size_t start = pos_;
    pos_ = text_.find(pos_ + 1, [](char16_t c) { return c == u'<' || c == u'&'; });
    nodeType_ = 3;
    setValue(start, pos_);
    fire(onTextNode);
}

void THtmlReader::readRawContent(std::u16string_view closingTag)
{
    std::size_t start = pos_;
    if (!skipTo(closingTag))
        return; // no closing tag: the rest of the text is consumed
    pos_ -= closingTag.size(); // the end tag is the next token
    nodeType_ = 4;
    setValue(start, pos_);
    fire(onCDataSection);
}

// ---------------------------------------------------------------------------
// Markup at "<"

bool THtmlReader::readTag()
{
    std::size_t start = pos_;
    ++pos_;
    if (atEnd()) {
        pos_ = start;
        return false;
    }
    bool ok;
    if (cur() == u'/')
        ok = readEndTag();
    else if (cur() == u'!')
        ok = readDeclaration();
    else if (cur() == u'?')
        ok = readProcessingInstruction();
    else
        ok = readStartTag();
    if (!ok)
        pos_ = start;
    return ok;
}

bool THtmlReader::readEndTag()
{
    inScript_ = false;
    inStyle_ = false;
    ++pos_;
    if (atEnd())
        return false;
    std::size_t nameStart = scanToTagNameStop();
    std::size_t nameEnd = pos_;
    if (nameEnd == nameStart)
        return false;
    if (!skipTo(kGreater))
        return false;
    nodeType_ = HTML_END_TAG;
    setNameFromText(nameStart, nameEnd, true);
    fire(onEndElement);
    return true;
}

bool THtmlReader::readDeclaration()
{
    ++pos_; // "!"
    if (atEnd())
        return false;
    if (matchAt(pos_, u"DOCTYPE", true))
        return readDocType();
    if (matchAt(pos_, u"[CDATA[", false)) {
        pos_ += 7;
        std::size_t start = pos_;
        if (!skipTo(kCDataEnd))
            return false;
        nodeType_ = 4;
        setValue(start, pos_ - kCDataEnd.size());
        fire(onCDataSection);
        return true;
    }
    if (matchAt(pos_, u"--", false)) {
        pos_ += 2;
        std::size_t start = pos_;
        if (!skipTo(kCommentEnd))
            return false;
        nodeType_ = 8;
        setValue(start, pos_ - kCommentEnd.size());
        fire(onComment);
        return true;
    }
    return false;
}

// "<?xml ...?>" above XHTML pages, "<?php ... ?>": XML cannot take them over
// as they stand, so they travel as a comment holding everything between "<"
// and ">". Read as a start tag, the first one would swallow the page.
bool THtmlReader::readProcessingInstruction()
{
    std::size_t start = pos_;
    if (!skipTo(kGreater))
        return false;
    nodeType_ = 8;
    setValue(start, pos_ - kGreater.size());
    fire(onComment);
    return true;
}

bool THtmlReader::readDocType()
{
    pos_ += 7;
    std::size_t start = pos_;
    skipBlanks();
    // Names are copied only once the declaration is complete: a failed one
    // is read again as text, and its scans must cost no more than that.
    std::size_t nameStart = scanToTagNameStop();
    std::size_t nameEnd = pos_;
    if (nameEnd == nameStart)
        return false;
    skipBlanks();
    scanToTagNameStop(); // PUBLIC, SYSTEM or whatever stands there
    skipBlanks();
    // Identifiers are read only when a quote opens them. Without one (the
    // "<!DOCTYPE html>" of every HTML5 page) the declaration has none and
    // ends at the next ">"; taking any character as the quote would run on
    // over the start of the page.
    std::size_t publicStart = 0, publicEnd = 0, systemStart = 0, systemEnd = 0;
    if (!atEnd() && isQuote(cur())) {
        std::u16string_view quote = cur() == u'"' ? kQuotationMark : kApostrophe;
        ++pos_;
        publicStart = pos_;
        if (!skipTo(quote))
            return false;
        publicEnd = pos_ - 1;
        skipBlanks();
        if (!atEnd() && cur() == u'"') {
            ++pos_;
            systemStart = pos_;
            if (!skipTo(kQuotationMark))
                return false;
            systemEnd = pos_ - 1;
        }
    }
    if (!skipTo(kGreater))
        return false;
    setNameFromText(nameStart, nameEnd, false);
    publicId_ = text_.substr(publicStart, publicEnd);
    systemId_ = text_.substr(systemStart, systemEnd);
    nodeValue_ = text_.substr(start, pos_);
    fire(onDocType);
    return true;
}

bool THtmlReader::readStartTag()
{
    // As in HTML, only a letter opens a tag: "I <3 you" is text.
    char16_t first = cur();
    if (!((first >= u'a' && first <= u'z') || (first >= u'A' && first <= u'Z')))
        return false;
    std::size_t nameStart = scanToTagNameStop();
    if (pos_ == nameStart)
        return false;
    setNameFromText(nameStart, pos_, true);
    const bool plain = prefix_.empty();
    const bool script = plain && localName_ == u"script";
    const bool style = plain && localName_ == u"style";
    nodeType_ = 1;
    state_ = 1;
    fire(onElementStart);
    if (script)
        inScript_ = true;
    if (style)
        inStyle_ = true;
    return true;
}

// ---------------------------------------------------------------------------
// Attributes

bool THtmlReader::readAttributeName()
{
    skipBlanks();
    std::size_t start = pos_;
    pos_ = text_.find(pos_, isAttributeNameStop);
    if (pos_ == start)
        return false;
    setNameFromText(start, pos_, true);
    // Implementer's choice: a quote of either kind right after the name gets
    // the "=" repair, after every attribute. Tying the test to the quote of
    // the previous quoted value would repair <a b"c"> but not the same
    // attribute after a value quoted with apostrophes.
    if (!atEnd() && isQuote(cur())) {
        text_.insert(pos_, u'=');
        textInserted(pos_);
    }
    fire(onAttributeStart);
    state_ = 2;
    quoteChar_ = 0;
    return true;
}

bool THtmlReader::readAttributeValue()
{
    if (state_ == 2) {
        skipBlanks();
        if (atEnd() || cur() != u'=')
            return false;
        ++pos_;
        skipBlanks();
        if (atEnd())
            return false;
        if (isQuote(cur())) {
            quoteChar_ = cur();
            ++pos_;
            state_ = 4;
        } else {
            state_ = 3;
        }
    }
    if (atEnd())
        return false;
    if (cur() == u'&') {
        std::size_t start = pos_;
        if (!readReference())
            deliverSubstitute(start, u"amp");
        return true;
    }
    std::size_t start = pos_;
    if (state_ == 4) {
        const char16_t quote = quoteChar_;
        pos_ = text_.find(pos_, [quote](char16_t c) { return c == quote || c == u'&'; });
    } else {
        std::size_t n = text_.size();
        while (pos_ < n) {
            char16_t c = text_[pos_];
            if (!isUnquotedValueStop(c)) {
                ++pos_;
            } else if (c == u'/' && pos_ + 1 < n && !isUnquotedValueStop(text_[pos_ + 1])) {
                ++pos_; // x/y stays one value
            } else {
                break;
            }
        }
    }
    if (pos_ == start)
        return false;
    nodeType_ = 3;
    setValue(start, pos_);
    fire(onTextNode);
    return true;
}

// ---------------------------------------------------------------------------
// References at "&"

bool THtmlReader::readReference()
{
    std::size_t start = pos_;
    ++pos_;
    if (atEnd()) {
        pos_ = start;
        return false;
    }
    bool ok;
    if (cur() == u'#') {
        ++pos_;
        ok = readNumericReference();
    } else {
        ok = readNamedReference();
    }
    if (!ok)
        pos_ = start;
    return ok;
}

bool THtmlReader::readNamedReference()
{
    std::size_t start = pos_;
    pos_ = text_.find(pos_, isEntityNameStop);
    if (atEnd() || cur() != u';')
        return false;
    nodeType_ = 5;
    setNameFromText(start, pos_, false);
    ++pos_;
    fire(onEntityReference);
    return true;
}

bool THtmlReader::readNumericReference()
{
    if (atEnd())
        return false;
    bool hex = cur() == u'x' || cur() == u'X';
    if (hex)
        ++pos_;
    // Implementer's choice for large values: every code point up to U+10FFFF
    // is kept (above U+FFFF as a surrogate pair); a larger value makes the
    // whole reference fail, so its "&" becomes amp and the rest reads as text.
    std::uint32_t value = 0;
    const std::uint32_t base = hex ? 16 : 10;
    while (!atEnd()) {
        int d = digitValue(cur(), hex);
        if (d < 0)
            break;
        value = value * base + static_cast<std::uint32_t>(d);
        if (value > 0x10FFFF)
            return false;
        ++pos_;
    }
    if (atEnd() || cur() != u';')
        return false;
    ++pos_;
    nodeType_ = 3;
    if (value == 34 || value == 38 || value == 60 || value == 62) {
        // Markup characters stay references, so that they stay text.
        nodeValue_ = u"&#";
        for (char c : std::to_string(value))
            nodeValue_ += static_cast<char16_t>(c);
        nodeValue_ += u';';
    } else if (value > 0xFFFF) {
        value -= 0x10000;
        nodeValue_ += static_cast<char16_t>(0xD800 + (value >> 10));
        nodeValue_ += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
    } else {
        nodeValue_ = std::u16string(1, static_cast<char16_t>(value));
    }
    fire(onTextNode);
    return true;
}
