#include "html/HtmlParser.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "text/Ansi.h"

#include <bit>
#include <cstdint>
#include <new>

namespace {

// Every non-overlapping occurrence, left to right, in one pass.
std::string removeAll(const std::string& s, const std::string& what)
{
    std::string out;
    out.reserve(s.size());
    std::size_t from = 0;
    for (std::size_t at; (at = s.find(what, from)) != std::string::npos; from = at + what.size())
        out.append(s, from, at - from);
    out.append(s, from, std::string::npos);
    return out;
}

// Strips control characters and blanks at both ends.
std::string trimControls(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

bool isBlankText(const std::u16string& s)
{
    for (char16_t c : s)
        if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n')
            return false;
    return true;
}

// Which open elements a start tag that needs a parent may go into.
constexpr bool isParentFor(std::int32_t tag, std::int32_t candidate)
{
    if (tag == TAG_P || BlockTags.contains(tag))
        return BlockParentTags.contains(candidate);
    switch (tag) {
    case TAG_LI:
        return ListTags.contains(candidate);
    case TAG_DD:
    case TAG_DT:
        return candidate == TAG_DL;
    case TAG_TD:
    case TAG_TH:
        return candidate == TAG_TR;
    case TAG_TR:
        return TableSectionTags.contains(candidate);
    case TAG_COL:
        return candidate == TAG_COLGROUP;
    case TAG_COLGROUP:
    case TAG_TBODY:
    case TAG_TFOOT:
    case TAG_THEAD:
        return candidate == TAG_TABLE;
    case TAG_OPTION:
        return OptionParentTags.contains(candidate);
    default:
        return false;
    }
}

// For each tag, the tags isParentFor accepts, as a bit set: looking for an
// open parent then visits those few tags instead of all of them.
struct TParentMasks {
    std::uint64_t bits[TAG_COUNT + 1][2] = {};
    constexpr TParentMasks()
    {
        for (std::int32_t tag = 1; tag <= TAG_COUNT; ++tag)
            for (std::int32_t n = 1; n <= TAG_COUNT; ++n)
                if (isParentFor(tag, n))
                    bits[tag][n / 64] |= std::uint64_t{1} << (n % 64);
    }
};
constexpr TParentMasks kParentMasks;

} // namespace

THtmlParser::THtmlParser() : htmlReader_(std::make_unique<THtmlReader>())
{
    THtmlReader& r = *htmlReader_;
    r.onElementStart = [this](THtmlReader& rd) { elementStart(rd); };
    r.onAttributeStart = [this](THtmlReader& rd) { attributeStart(rd); };
    r.onAttributeEnd = [this](THtmlReader& rd) { attributeEnd(rd); };
    r.onElementEnd = [this](THtmlReader& rd) { elementEnd(rd); };
    r.onEndElement = [this](THtmlReader& rd) { endElement(rd); };
    r.onTextNode = [this](THtmlReader& rd) { textNode(rd); };
    r.onEntityReference = [this](THtmlReader& rd) { entityReference(rd); };
    r.onCDataSection = [this](THtmlReader& rd) { cdataSection(rd); };
    r.onComment = [this](THtmlReader& rd) { comment(rd); };
    r.onDocType = [this](THtmlReader& rd) { docType(rd); };
    r.onToken = [this](THtmlReader& rd) {
        if (sourceMap_) {
            tokenFrom_ = tokenTo_;
            tokenTo_ = rd.position();
        }
        if (onToken)
            onToken(rd);
    };
}

THtmlParser::~THtmlParser() = default;

std::unique_ptr<TDocument> THtmlParser::parseString(const std::u16string& text)
{
    return parseString(std::u16string(text));
}

std::unique_ptr<TDocument> THtmlParser::parseString(std::u16string&& text)
{
#ifdef __GLIBC__
    // Pages read before leave free memory in the heap that a large page's
    // tree, which takes its pages apart, seldom reuses: handed back first,
    // it does not stand beside the new tree at its peak.
    if (text.size() >= kTrimFromUnits)
        ::malloc_trim(0);
#endif
    htmlReader_->setHtmlStr(std::move(text));
    std::unique_ptr<TDocument> document = DomImplementation::createEmptyDocument(nullptr);
    htmlDocument_ = document.get();
    currentNode_ = htmlDocument_;
    currentTag_ = nullptr;
    open_.clear();
    openTagCount_.fill(0);
    openTagNameCount_.fill(0);
    openNameCount_.clear();
    rootElement_ = nullptr;
    mainBody_ = nullptr;
    tokenFrom_ = tokenTo_ = 1;
    tagElement_ = nullptr;
    textKept_ = false;
    if (sourceMap_)
        sourceMap_->clear();
    try {
        while (htmlReader_->read()) {
        }
    } catch (const std::bad_alloc&) {
        // Not a property of the page: handing back a silently truncated
        // document would pass the failure off as a result.
        htmlDocument_ = nullptr;
        currentNode_ = nullptr;
        throw;
    } catch (...) {
        // The first failure ends the parse; what was built so far is the result.
    }
    // Every document gets a root, also a page of blanks or comments only.
    if (!rootElement_)
        mainBody();
    currentNode_ = nullptr;
    currentTag_ = nullptr;
    std::vector<TOpenElement>().swap(open_); // a deep page leaves a long list
    // Not clear(): that keeps the buckets of the page with the most open
    // names, and wiping them again for every later page of a batch costs
    // as much as that page.
    decltype(openNameCount_)().swap(openNameCount_);
    rootElement_ = nullptr;
    mainBody_ = nullptr;
    tagElement_ = nullptr;
    return document;
}

void THtmlParser::releaseText() { htmlReader_->setHtmlStr(std::u16string()); }

// ---------------------------------------------------------------------------
// Where nodes go

void THtmlParser::openElement(TElement* element, std::int32_t tag, std::u16string_view name)
{
    // A tag's elements all bear its name; other names are counted by name.
    if (tag != TAG_UNKNOWN) {
        open_.push_back({element, tag});
        ++openTagNameCount_[static_cast<std::size_t>(tag)];
    } else {
        auto it = openNameCount_.find(name);
        int& count = it != openNameCount_.end() ? it->second : openNameCount_[std::u16string(name)];
        open_.push_back({element, tag});
        ++count;
    }
    ++openTagCount_[static_cast<std::size_t>(tag)];
    currentNode_ = element;
}

void THtmlParser::closeTo(std::size_t depth)
{
    while (open_.size() > depth) {
        TOpenElement& top = open_.back();
        --openTagCount_[static_cast<std::size_t>(top.tag)];
        // Counted off by the name the element gives now, as it was
        // counted by the name it was made with.
        const std::int32_t named =
            top.tag != TAG_UNKNOWN ? top.tag : htmlTagList().getTagByName(top.name()).number;
        if (named != TAG_UNKNOWN) {
            int& count = openTagNameCount_[static_cast<std::size_t>(named)];
            if (count > 0)
                --count;
        } else {
            auto it = openNameCount_.find(top.name());
            if (it != openNameCount_.end() && --it->second == 0)
                openNameCount_.erase(it);
        }
        top.element->childNodes().shrinkToFit();
        open_.pop_back();
    }
    currentNode_ = open_.empty() ? static_cast<TNode*>(htmlDocument_) : open_.back().element;
}

// The body that takes what has no proper place: the first "body" child of
// the document element, made (with an "html" document element if need be)
// when there is none. Only this builder adds to the tree and it never
// removes or reorders, so once found it stays the first.
TElement* THtmlParser::mainBody()
{
    if (!rootElement_) {
        std::unique_ptr<TElement> html = htmlDocument_->createElement(u"html");
        rootElement_ = htmlDocument_->appendChild(std::move(html));
        mainBody_ = nullptr;
        if (sourceMap_)
            sourceMap_->note(rootElement_, {});
    }
    if (mainBody_)
        return mainBody_;
    const TNodeList& children = rootElement_->childNodes();
    for (int i = 0; i < children.length(); ++i) {
        TNode* child = children.item(i);
        if (child->nodeType() == ELEMENT_NODE && child->nodeName() == u"body") {
            mainBody_ = static_cast<TElement*>(child);
            return mainBody_;
        }
    }
    mainBody_ = rootElement_->appendChild(htmlDocument_->createElement(u"body"));
    if (sourceMap_)
        sourceMap_->note(mainBody_, {});
    return mainBody_;
}

void THtmlParser::moveToMainBody()
{
    TElement* body = mainBody();
    closeTo(0);
    std::u16string rootName = rootElement_->nodeName();
    std::int32_t rootTag = htmlTagList().getTagByName(rootName).number;
    openElement(rootElement_, rootTag, std::move(rootName));
    openElement(body, TAG_BODY, u"body");
}

void THtmlParser::findParent(std::int32_t tag)
{
    bool anyOpen = false;
    for (std::size_t word = 0; word < 2 && !anyOpen; ++word)
        for (std::uint64_t m = kParentMasks.bits[tag][word]; m != 0 && !anyOpen; m &= m - 1)
            anyOpen = openTagCount_[word * 64 + static_cast<std::size_t>(std::countr_zero(m))] > 0;
    if (anyOpen) {
        for (std::size_t i = open_.size(); i-- > 0;) {
            if (isParentFor(tag, open_[i].tag)) {
                closeTo(i + 1);
                return;
            }
        }
    }
    moveToMainBody();
}

// Appends to the current node. A node the document itself refuses (a second
// root element, an entity reference, a CDATA section) goes into the main
// body instead, which becomes the current node, and reading goes on:
// stopping there would drop the rest of the page.
template <class T>
T* THtmlParser::append(std::unique_ptr<T> node)
{
    if (currentNode_ == htmlDocument_) {
        int kind = node->nodeType();
        bool refused = kind == ENTITY_REFERENCE_NODE || kind == CDATA_SECTION_NODE ||
                       (kind == ELEMENT_NODE && rootElement_);
        if (refused)
            moveToMainBody();
    }
    TNode* parent = currentNode_;
    T* added = parent->appendChild(std::move(node));
    if (parent == htmlDocument_ && added->nodeType() == ELEMENT_NODE && !rootElement_)
        rootElement_ = static_cast<TElement*>(static_cast<TNode*>(added));
    if (sourceMap_)
        noteSource(added);
    return added;
}

// Markup tokens begin with the blanks passed over before them, and the
// text of an attribute value with the "=" and the quote: a node's stretch
// starts at its own characters. Other text keeps its blanks.
void THtmlParser::noteSource(const TNode* node)
{
    const bool text = node->nodeType() == TEXT_NODE;
    const bool value = text && node->parentNode() && node->parentNode()->nodeType() == ATTRIBUTE_NODE;
    std::size_t skip = 0;
    if (!text || value) {
        const std::u16string slice = htmlReader_->htmlSlice(tokenFrom_, tokenTo_);
        auto skipBlanks = [&]() {
            while (skip < slice.size() && (slice[skip] == u' ' || slice[skip] == u'\t' ||
                                           slice[skip] == u'\r' || slice[skip] == u'\n'))
                ++skip;
        };
        skipBlanks();
        if (value && skip < slice.size() && slice[skip] == u'=') {
            ++skip;
            skipBlanks();
            if (skip < slice.size() && (slice[skip] == u'"' || slice[skip] == u'\''))
                ++skip;
        }
    }
    sourceMap_->note(node, {tokenFrom_ + static_cast<std::int64_t>(skip), tokenTo_});
}

// ---------------------------------------------------------------------------
// Token handlers

void THtmlParser::elementStart(THtmlReader& reader)
{
    const std::u16string_view name = reader.nameView();
    currentTag_ = &htmlTagList().getTagByName(name);
    std::int32_t tag = currentTag_->number;
    if (NeedParentTags.contains(tag))
        findParent(tag);
    TElement* element = append(htmlDocument_->createElement(name));
    openElement(element, tag, name);
    tagElement_ = element;
}

void THtmlParser::attributeStart(THtmlReader& reader)
{
    if (currentNode_->nodeType() != ELEMENT_NODE)
        throw DomException(HIERARCHY_REQUEST_ERR);
    auto* element = static_cast<TElement*>(currentNode_);
    std::unique_ptr<TAttr> attribute = htmlDocument_->createAttribute(reader.nameView());
    TAttr* added = attribute.get();
    // An attribute of the same name earlier in the tag is replaced and freed.
    element->setAttributeNode(std::move(attribute));
    if (sourceMap_)
        noteSource(added);
    currentNode_ = added;
}

void THtmlParser::attributeEnd(THtmlReader&)
{
    if (currentNode_->nodeType() == ATTRIBUTE_NODE) {
        // The attribute's stretch runs on over its value.
        if (sourceMap_)
            sourceMap_->extendTo(currentNode_, tokenTo_);
        currentNode_ = static_cast<TAttr*>(currentNode_)->ownerElement();
    }
}

void THtmlParser::elementEnd(THtmlReader& reader)
{
    std::int32_t tag = currentTag_ ? currentTag_->number : TAG_UNKNOWN;
    currentTag_ = nullptr;
    // The element's stretch runs on to the end of its start tag.
    if (sourceMap_ && tagElement_)
        sourceMap_->extendTo(tagElement_, tokenTo_);
    tagElement_ = nullptr;
    if ((reader.isEmptyElement() || EmptyTags.contains(tag)) && !open_.empty())
        closeTo(open_.size() - 1);
}

void THtmlParser::endElement(THtmlReader& reader)
{
    const std::u16string_view name = reader.nameView();
    const std::int32_t tag = htmlTagList().getTagByName(name).number;
    if (tag != TAG_UNKNOWN ? openTagNameCount_[static_cast<std::size_t>(tag)] == 0
                           : openNameCount_.find(name) == openNameCount_.end())
        return; // nothing open by that name: the end tag is ignored
    for (std::size_t i = open_.size(); i-- > 0;) {
        if (open_[i].name() == name) {
            closeTo(i);
            return;
        }
    }
}

void THtmlParser::textNode(THtmlReader& reader)
{
    // Text inside a node named "content" (a meta tag's attribute) may name
    // the charset. The name is only put together for a likely candidate.
    if (!currentNode_->hasPrefix() && currentNode_->localName() == u"content" &&
        currentNode_->nodeName() == u"content" &&
        reader.nodeValue().find(u"charset") != std::u16string::npos)
        takeCharset(reader.nodeValue());
    // Only blanks may stand beside the root; other text belongs to the page.
    if (currentNode_ == htmlDocument_ && !isBlankText(reader.nodeValue()))
        moveToMainBody();
    // An attribute's value stays text inside it (see TAttr::setTextValue),
    // unless the source map needs its node.
    if (!sourceMap_ && currentNode_->nodeType() == ATTRIBUTE_NODE && !currentNode_->hasChildNodes()) {
        auto* attribute = static_cast<TAttr*>(currentNode_);
        if (std::u16string_view kept = keptValue(reader); !kept.empty())
            attribute->setKeptTextValue(kept);
        else
            attribute->setTextValue(reader.nodeValue());
        return;
    }
    if (std::u16string_view kept = keptValue(reader); !kept.empty())
        append(htmlDocument_->createTextNode(TDocument::TKeptText{kept}));
    else
        append(htmlDocument_->createTextNode(reader.nodeValue()));
}

void THtmlParser::entityReference(THtmlReader& reader)
{
    append(htmlDocument_->createEntityReference(reader.nameView()));
}

void THtmlParser::cdataSection(THtmlReader& reader)
{
    if (std::u16string_view kept = keptValue(reader); !kept.empty())
        append(htmlDocument_->createCDATASection(TDocument::TKeptText{kept}));
    else
        append(htmlDocument_->createCDATASection(reader.nodeValue()));
}

void THtmlParser::comment(THtmlReader& reader)
{
    if (std::u16string_view kept = keptValue(reader); !kept.empty())
        append(htmlDocument_->createComment(TDocument::TKeptText{kept}));
    else
        append(htmlDocument_->createComment(reader.nodeValue()));
}

// The token's value as a stretch of the page's text, which the document
// then keeps: the page's text lives as long as the tree anyway, and a copy
// of every text in the tree would double it. Empty where the value is not
// such a stretch.
std::u16string_view THtmlParser::keptValue(const THtmlReader& reader)
{
    std::u16string_view value = reader.valueInText();
    if (!value.empty() && !textKept_) {
        htmlDocument_->keepText(reader.textBuffer());
        textKept_ = true;
    }
    return value;
}

void THtmlParser::docType(THtmlReader& reader)
{
    std::unique_ptr<TDocumentType> type =
        DomImplementation::createDocumentType(reader.nodeName(), reader.publicId(), reader.systemId());
    type->declaration = reader.nodeValue();
    if (sourceMap_)
        noteSource(type.get());
    htmlDocument_->setDoctype(type.get()); // replaces and frees an earlier one
    type.release();
}

// The charset named in a meta tag's content: at most 40 characters from the
// first "charset", without "charset", "=" and the blanks around the name.
void THtmlParser::takeCharset(const std::u16string& value)
{
    std::size_t at = value.find(u"charset");
    std::string s = narrow(std::u16string_view(value).substr(at, 40));
    s = removeAll(s, "charset");
    s = removeAll(s, "=");
    currentNode_->ownerDocument()->charset = widen(trimControls(s));
}
