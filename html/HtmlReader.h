// The HTML tokenizer: splits one wide text of HTML into tokens, one per call
// of `read`, and announces each through an event. It never fails: whatever
// cannot start a construct is handed on as the entity references "lt" and
// "amp". Named references travel by name; numeric ones are resolved at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class THtmlReader;

// A token event: called with the reader, whose fields describe the token.
using THtmlReaderEvent = std::function<void(THtmlReader&)>;

// Token kind of an end tag (the node type numbers serve for the rest).
inline constexpr std::int32_t HTML_END_TAG = 255;

namespace htmlreader_detail {

// The text being read, with room to insert characters cheaply. The tokenizer
// inserts only at its read position, which only moves forward, so a gap kept
// at the last insertion point makes many insertions cost linear time in all.
class TEditableText {
public:
    void assign(std::u16string text);
    std::size_t size() const noexcept { return buf_->size() - gapLen_; }
    char16_t operator[](std::size_t i) const noexcept
    {
        return i < gapStart_ ? data_[i] : data_[i + gapLen_];
    }
    // The first index from `from` on (before `to`) whose character
    // satisfies stop, or size() (or `to`). Each side of the gap is scanned
    // as plain memory: the reader's per-character access would reload the
    // buffer's fields at every step.
    template <class Stop>
    std::size_t find(std::size_t from, Stop stop, std::size_t to = std::size_t(-1)) const noexcept
    {
        const std::size_t n = to < size() ? to : size();
        std::size_t i = from;
        if (i < gapStart_) {
            const char16_t* const d = data_;
            const std::size_t end = gapStart_ < n ? gapStart_ : n;
            while (i < end && !stop(d[i]))
                ++i;
            if (i < end)
                return i;
        }
        const char16_t* const d = data_ + gapLen_;
        while (i < n && !stop(d[i]))
            ++i;
        return i;
    }
    std::u16string substr(std::size_t from, std::size_t to) const; // [from, to)
    void substrInto(std::size_t from, std::size_t to, std::u16string& out) const;
    void insert(std::size_t at, char16_t c);
    const std::u16string& str() const; // closes the gap first

    // Whether a character was inserted since the text was assigned. Until
    // then the buffer holds exactly the text, and it is never changed in
    // place: the first insertion moves the text to a new buffer.
    bool edited() const noexcept { return edited_; }
    // The buffer, for holders of views into an unedited text.
    const std::shared_ptr<std::u16string>& buffer() const noexcept { return buf_; }

private:
    std::shared_ptr<std::u16string> buf_ = std::make_shared<std::u16string>();
    mutable char16_t* data_ = buf_->data(); // of *buf_, read per character
    mutable std::size_t gapStart_ = 0;
    mutable std::size_t gapLen_ = 0;
    bool edited_ = false;
};

} // namespace htmlreader_detail

class THtmlReader {
public:
    THtmlReader() = default;
    THtmlReader(const THtmlReader&) = delete;
    THtmlReader& operator=(const THtmlReader&) = delete;

    // The text being tokenized. Assigning it restarts at position 1 from the
    // initial reader state. The tokenizer itself only changes it by inserting
    // "=" between an attribute name and a quote.
    const std::u16string& htmlStr() const { return text_.str(); }
    void setHtmlStr(std::u16string text);
    std::int64_t htmlLength() const noexcept { return static_cast<std::int64_t>(text_.size()); }
    // Characters of `htmlStr` from 1-based `from` up to, not including, `to`;
    // empty when to <= from. Cheaper than copying out `htmlStr` per token.
    std::u16string htmlSlice(std::int64_t from, std::int64_t to) const;

    // Delivers the next token; false, delivering nothing, at the end of the text.
    bool read();

    // 1-based index of the next unread character; length + 1 at the end.
    std::int64_t position() const noexcept { return static_cast<std::int64_t>(pos_) + 1; }
    std::int32_t nodeType() const noexcept { return nodeType_; }
    const std::u16string& prefix() const noexcept { return prefix_; }
    const std::u16string& localName() const noexcept { return localName_; }
    std::u16string nodeName() const;
    // The same as a view, valid until the next token: the tree builder reads
    // a name or two per token, and copies would cost more than the lookups.
    std::u16string_view nameView() const noexcept { return prefix_.empty() ? localName_ : fullName_; }
    // Made when first asked for: most tokens' values go into the document
    // straight from the text (valueInText).
    const std::u16string& nodeValue() const
    {
        if (valueFrom_ < valueTo_ && nodeValue_.empty())
            text_.substrInto(valueFrom_, valueTo_, nodeValue_);
        return nodeValue_;
    }
    // Moves the value out (it is then empty), for the last handler of a
    // token that keeps the text: saves copying every text twice.
    std::u16string takeNodeValue()
    {
        nodeValue();
        valueFrom_ = valueTo_ = 0;
        return std::move(nodeValue_);
    }
    // The value as a stretch of htmlStr, when it is one (text, an attribute
    // value, a comment, a CDATA section, script or style content) and no
    // character was inserted into the text before it; empty otherwise. It
    // stays valid, unchanged, for as long as textBuffer() is kept.
    std::u16string_view valueInText() const noexcept
    {
        if (valueFrom_ >= valueTo_ || text_.edited())
            return {};
        return std::u16string_view(text_.buffer()->data() + valueFrom_, valueTo_ - valueFrom_);
    }
    std::shared_ptr<const std::u16string> textBuffer() const noexcept { return text_.buffer(); }
    const std::u16string& publicId() const noexcept { return publicId_; }
    const std::u16string& systemId() const noexcept { return systemId_; }
    bool isEmptyElement() const noexcept { return isEmptyElement_; }
    // 0 content, 1 in a start tag, 2 after an attribute name, 3 in an
    // unquoted value, 4 in a quoted value.
    std::uint8_t state() const noexcept { return state_; }
    char16_t quoteChar() const noexcept { return quoteChar_; }
    bool inScript() const noexcept { return inScript_; }
    bool inStyle() const noexcept { return inStyle_; }

    THtmlReaderEvent onAttributeEnd;
    THtmlReaderEvent onAttributeStart;
    THtmlReaderEvent onCDataSection;
    THtmlReaderEvent onComment;
    THtmlReaderEvent onDocType;
    THtmlReaderEvent onElementEnd;
    THtmlReaderEvent onElementStart;
    THtmlReaderEvent onEndElement;
    THtmlReaderEvent onEntityReference;
    THtmlReaderEvent onTextNode;
    // Called for every token before the token's own event.
    THtmlReaderEvent onToken;

private:
    bool atEnd() const noexcept { return pos_ >= text_.size(); }
    char16_t cur() const noexcept { return text_[pos_]; }
    void clearToken();
    void fire(const THtmlReaderEvent& event);
    void setName(std::u16string name);
    void setNameFromText(std::size_t from, std::size_t to, bool lower);
    void splitName(std::size_t colon);
    // The value is the text in [from, to).
    void setValue(std::size_t from, std::size_t to) noexcept
    {
        nodeValue_.clear();
        valueFrom_ = from;
        valueTo_ = to;
    }
    void deliverSubstitute(std::size_t markupStart, const char16_t* name);

    void skipBlanks();
    bool matchAt(std::size_t at, std::u16string_view s, bool ignoreCase) const;
    bool skipTo(std::u16string_view s);
    std::size_t scanToTagNameStop(); // returns where the scan began
    void textInserted(std::size_t at);

    bool readTag();
    bool readEndTag();
    bool readDeclaration();
    bool readDocType();
    bool readProcessingInstruction();
    bool readStartTag();
    bool readAttributeName();
    bool readAttributeValue();
    bool readReference();
    bool readNamedReference();
    bool readNumericReference();
    void readRawContent(std::u16string_view closingTag);
    void readText();

    htmlreader_detail::TEditableText text_;
    std::size_t pos_ = 0; // 0-based; position() is 1-based

    std::int32_t nodeType_ = 0;
    std::u16string prefix_;
    std::u16string localName_;
    std::u16string fullName_; // a prefixed name whole, for nameView()
    mutable std::u16string nodeValue_; // made from [valueFrom_, valueTo_) when asked for
    std::size_t valueFrom_ = 0;
    std::size_t valueTo_ = 0;
    std::u16string publicId_;
    std::u16string systemId_;
    bool isEmptyElement_ = false;
    std::uint8_t state_ = 0;
    char16_t quoteChar_ = 0;
    bool inScript_ = false;
    bool inStyle_ = false;

    // Malformed markup makes the reader search for closing strings and scan
    // names, fail and start again a little further on. Remembering what a
    // search has already ruled out keeps such pages linear.
    struct TSearch {
        std::u16string_view pattern; // one of the reader's fixed strings
        std::size_t from;            // where the search started
        std::size_t match;           // the first match from there, or npos
    };
    static constexpr int maxSearches = 8;
    TSearch searches_[maxSearches] = {};
    int searchCount_ = 0;
    // Stretches already scanned for a tag-name stop: from any index in
    // [from, stop] the next stop is at `stop`.
    struct TRun {
        std::size_t from;
        std::size_t stop;
    };
    static constexpr int maxRuns = 4;
    TRun runs_[maxRuns] = {};
    int runCount_ = 0;
    int nextRun_ = 0;
};
