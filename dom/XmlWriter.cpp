// The XML writer: TNode::toXML and the two ways of storing its result.
//
// The output is built in one growing buffer; each piece is appended in place
// and, only when the document has an onWriteText callback, copied out for it.
// The tree is walked with an explicit stack, so nesting depth costs heap, not
// native stack.
#include "dom/DomCore.h"

#include "html/Entities.h"
#include "xml/XpBase.h"
#include "text/Ansi.h"
#include "text/Streams.h"
#include "text/TempFiles.h"
#include "text/cputils.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Code of an entity-reference name: "$41", "0x41" and "65" are numbers
// (32..255 kept, anything else a space); other names come from the HTML 4.01
// table plus "apos".
char16_t entityReferenceCode(const std::u16string& name16)
{
    const std::string name = narrow(name16);
    if (name.empty())
        return 32;
    const char first = name[0];
    if (first == '$' || (first >= '0' && first <= '9')) {
        size_t pos = 0;
        int base = 10;
        if (first == '$') {
            pos = 1;
            base = 16;
        } else if (name.size() > 1 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X')) {
            pos = 2;
            base = 16;
        }
        if (pos >= name.size())
            return 32;
        long value = 0;
        for (; pos < name.size(); ++pos) {
            char c = name[pos];
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (base == 16 && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (base == 16 && c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return 32;
            value = value * base + digit;
            if (value > 0xFFFF)
                value = 0x10000; // out of range either way; stop growing
        }
        return (value >= 32 && value <= 255) ? static_cast<char16_t>(value) : 32;
    }
    if (name == "apos")
        return 39;
    return static_cast<char16_t>(getEntityCode(name));
}

constexpr char16_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t c) noexcept
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool isLowSurrogate(char16_t c) noexcept
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// A unit of element content that is written as it is and ends a run of
// "]": neither "]" nor ">" nor one that may not stand in XML.
struct TPlainAscii {
    bool plain[128] = {};
    constexpr TPlainAscii()
    {
        for (int c = 0; c < 128; ++c)
            plain[c] = (c >= 0x20 || c == 9 || c == 10 || c == 13) && c != ']' && c != '>';
    }
};
constexpr TPlainAscii kPlainAscii;

inline bool isPlainContent(char16_t c) noexcept
{
    return c < 0x80 ? kPlainAscii.plain[c] : c < 0xD800;
}

// A unit of an attribute value that is written as it is.
struct TPlainAttributeAscii {
    bool plain[128] = {};
    constexpr TPlainAttributeAscii()
    {
        for (int c = 0; c < 128; ++c)
            plain[c] = (c >= 0x20 || c == 9 || c == 13) && c != '"' && c != '&' && c != '<';
    }
};
constexpr TPlainAttributeAscii kPlainAttributeAscii;

inline bool isPlainAttribute(char16_t c) noexcept
{
    return c < 0x80 ? kPlainAttributeAscii.plain[c] : c < 0xD800;
}

// Whether the unit at i cannot stand in XML: a control character other than
// tab, line feed and carriage return, U+FFFE, U+FFFF, or a surrogate that is
// not half of a pair. Such units are written as U+FFFD, so that what the
// page held still shows and the output stays well-formed.
bool isForbiddenAt(std::u16string_view text, size_t i) noexcept
{
    char16_t c = text[i];
    if (c < 0x20)
        return c != 9 && c != 10 && c != 13;
    if (c < 0xD800)
        return false;
    if (isHighSurrogate(c))
        return i + 1 >= text.size() || !isLowSurrogate(text[i + 1]);
    if (isLowSurrogate(c))
        return i == 0 || !isHighSurrogate(text[i - 1]);
    return c == 0xFFFE || c == 0xFFFF;
}

// The same, with the common case decided without looking at neighbours.
bool isReplacedAt(std::u16string_view text, size_t i) noexcept
{
    const char16_t c = text[i];
    return !(c >= 0x20 && c < 0xD800) && isForbiddenAt(text, i);
}

// Appends text with every unit XML cannot hold replaced.
void appendXmlChars(std::u16string& out, std::u16string_view text)
{
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!isReplacedAt(text, i))
            continue;
        out.append(text, start, i - start);
        out.push_back(kReplacement);
        start = i + 1;
    }
    out.append(text, start, std::u16string::npos);
}

// IsNameUnit with ASCII, nearly every name, answered from a table.
struct TAsciiNameUnits {
    std::array<std::array<bool, 128>, 2> units{}; // [first][unit]
    TAsciiNameUnits()
    {
        for (char16_t c = 0; c < 128; ++c) {
            units[0][c] = IsNameUnit(c, false);
            units[1][c] = IsNameUnit(c, true);
        }
    }
};
const TAsciiNameUnits kAsciiNameUnits;

inline bool isNameUnit(char16_t c, bool first)
{
    return c < 128 ? kAsciiNameUnits.units[first][c] : IsNameUnit(c, first);
}

// Whether the name as a whole is an XML name.
bool isXmlName(const TNode* node)
{
    // The ":" between prefix and local name is a name character.
    bool first = true;
    for (std::u16string_view part : {node->prefix(), node->localName()}) {
        for (char16_t c : part) {
            if (!isNameUnit(c, first))
                return false;
            first = false;
        }
    }
    return !first;
}

// Appends a name with every unit that cannot stand there written as "_";
// true when every unit could.
bool appendNameUnits(std::u16string& out, std::u16string_view name, bool& first)
{
    // Nearly every name is sound throughout: then it goes in one piece.
    std::size_t sound = 0;
    while (sound < name.size() && isNameUnit(name[sound], first && sound == 0))
        ++sound;
    out.append(name.substr(0, sound));
    if (sound > 0)
        first = false;
    for (char16_t c : name.substr(sound)) {
        out.push_back(isNameUnit(c, first) ? c : u'_');
        first = false;
    }
    return sound == name.size();
}

// Appends text escaped for an attribute value, copying clean runs in bulk.
void appendAttributeText(std::u16string& out, std::u16string_view text)
{
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        while (i < text.size() && isPlainAttribute(text[i]))
            ++i;
        if (i == text.size())
            break;
        const char16_t* replacement;
        const char16_t c = text[i];
        if (isReplacedAt(text, i)) {
            out.append(text, start, i - start);
            out.push_back(kReplacement);
            start = i + 1;
            continue;
        }
        switch (c) {
        case u'\n':
            replacement = u"&#xA;";
            break;
        case u'"':
            replacement = u"&quot;";
            break;
        case u'&':
            replacement = u"&amp;";
            break;
        case u'<':
            replacement = u"&lt;";
            break;
        default:
            continue;
        }
        out.append(text, start, i - start);
        out.append(replacement);
        start = i + 1;
    }
    out.append(text, start, std::u16string::npos);
}

// The node of the piece being handed to onWriteText, for TDocument::writingNode.
thread_local const TNode* writingNode_ = nullptr;

// Hands the text written so far on and empties the buffer.
using TFlush = std::function<void(const std::u16string& text)>;

class Writer {
public:
    // With flush, the buffer is handed on whenever it has grown past some
    // 64 KB, so a large document never exists whole as text, and the
    // buffer adds little to the tree it is written from.
    Writer(const TDocument* document, std::u16string& out, const TFlush* flush = nullptr)
        : out_(out), flush_(flush)
    {
        if (document && document->onWriteText)
            callback_ = &document->onWriteText;
        if (document && !document->charset.empty() && !document->decodedAtLoad) {
            charsetName_ = narrow(document->charset);
            // An unknown name fails for every text; find that out once, and
            // the decoder with it.
            decoder_ = charsetDecoder(charsetName_);
            charsetKnown_ = decoder_ != nullptr;
        }
    }

    void write(const TNode* root)
    {
        struct Frame {
            const TNode* node;
            int nextAttribute;
            int nextChild;
            bool tagDone; // the element's ">" or "/>" has been written
            const TNodeList* children = nullptr; // once asked for
        };
        std::vector<Frame> stack;
        open(root);
        stack.push_back({root, 0, 0, root->nodeType() != ELEMENT_NODE});
        while (!stack.empty()) {
            if (flush_ && out_.size() >= kFlushUnits) {
                (*flush_)(out_);
                out_.clear();
            }
            Frame& top = stack.back();
            const TNode* node = top.node;
            if (!top.tagDone) {
                const TNamedNodeMap* attributes = node->hasAttributes() ? node->attributes() : nullptr;
                if (attributes && top.nextAttribute < attributes->length()) {
                    const TNode* attribute = attributes->item(top.nextAttribute++);
                    // Junk that broken quoting leaves in a tag cannot be an
                    // XML attribute; it is left out with its value.
                    if (!isSoundName(attribute))
                        continue;
                    open(attribute);
                    stack.push_back({attribute, 0, 0, attribute->nodeType() != ELEMENT_NODE});
                    continue;
                }
                top.tagDone = true;
                size_t start = out_.size();
                out_.append(node->hasChildNodes() ? u">" : u"/>");
                piece(start, ELEMENT_NODE, node);
            }
            // A value held as text is written as its text node would be;
            // only a listener to the pieces needs that node.
            if (!callback_ && node->nodeType() == ATTRIBUTE_NODE &&
                static_cast<const TAttr*>(node)->hasTextValue()) {
                writeTextOf(static_cast<const TAttr*>(node)->textValue(), node);
                close(node);
                stack.pop_back();
                continue;
            }
            if (!top.children)
                top.children = &node->childNodes();
            const TNodeList& children = *top.children;
            if (top.nextChild < children.length()) {
                const TNode* child = children.item(top.nextChild++);
                open(child);
                stack.push_back({child, 0, 0, child->nodeType() != ELEMENT_NODE});
                continue;
            }
            close(node);
            stack.pop_back();
        }
        if (flush_ && !out_.empty()) {
            (*flush_)(out_);
            out_.clear();
        }
    }

private:
    void piece(size_t start, int nodeType, const TNode* node)
    {
        if (!callback_)
            return;
        struct TScope {
            const TNode* outer = writingNode_;
            ~TScope() { writingNode_ = outer; }
        } scope;
        writingNode_ = node;
        (*callback_)(out_.substr(start), nodeType);
    }

    void appendName(const TNode* node)
    {
        int kind = node->nodeType();
        if (kind == ELEMENT_NODE || kind == ATTRIBUTE_NODE) {
            bool first = true;
            if (!node->prefix().empty()) {
                appendNameUnits(out_, node->prefix(), first);
                out_.push_back(u':');
                appendNameUnits(out_, node->localName(), first);
                return;
            }
            const std::u16string_view name = node->localName();
            TNameSlot& known = slotOf(soundNames_, name);
            if (known.holds(name)) {
                out_.append(name);
                return;
            }
            if (appendNameUnits(out_, name, first))
                known = {name.data(), name.size()};
        } else {
            out_.append(node->nodeName());
        }
    }

    // Nodes share one copy of each short name, so what the writer learns of
    // a name (that it is sound, its entity's code) is kept by where the name
    // is, and the name's units need no look again. A slot of that.
    struct TNameSlot {
        const char16_t* data = nullptr;
        std::size_t size = 0;
        char16_t code = 0; // of an entity-reference name
        bool holds(std::u16string_view name) const
        {
            return !name.empty() && data == name.data() && size == name.size();
        }
    };
    template <std::size_t N>
    static TNameSlot& slotOf(TNameSlot (&slots)[N], std::u16string_view name)
    {
        return slots[(reinterpret_cast<std::uintptr_t>(name.data()) >> 3) % N];
    }

    // isXmlName, remembered for names without a prefix.
    bool isSoundName(const TNode* node)
    {
        if (!node->prefix().empty())
            return isXmlName(node);
        const std::u16string_view name = node->localName();
        TNameSlot& known = slotOf(soundNames_, name);
        if (known.holds(name))
            return true;
        if (!isXmlName(node))
            return false;
        known = {name.data(), name.size()};
        return true;
    }

    static bool isScript(const TNode* node)
    {
        int kind = node->nodeType();
        if (kind == ELEMENT_NODE || kind == ATTRIBUTE_NODE)
            return node->prefix().empty() && node->localName() == u"script";
        return node->nodeName() == u"script";
    }

    // Re-decodes text through the document's character set. The text went
    // through the 8-bit code page on the way in; text that does not narrow
    // back losslessly did not come from there, and decoding it would turn its
    // characters into "?", so it counts as undecodable.
    bool decode(std::u16string_view value, std::u16string& result)
    {
        if (!charsetKnown_)
            return false;
        bytes_.resize(value.size());
        for (size_t i = 0; i < value.size(); ++i)
            if (!ansi::narrowUnit(value[i], bytes_[i]))
                return false;
        result.clear();
        return decodeWith(decoder_, bytes_, result);
    }

    void writeText(const TNode* node)
    {
        size_t start = out_.size();
        writeTextOf(static_cast<const TCharacterData*>(node)->data(), node->parentNode());
        piece(start, TEXT_NODE, node);
    }

    // The text of a text node under parent.
    void writeTextOf(const std::u16string_view value, const TNode* parent)
    {
        if (!(parent && isScript(parent))) {
            bool decoded = decode(value, decoded_);
            const std::u16string_view text = decoded ? std::u16string_view(decoded_) : value;
            if (parent && parent->nodeType() == ATTRIBUTE_NODE) {
                appendAttributeText(out_, text);
            } else if (!decoded) {
                appendContent(value);
            } else if (text.size() == 1 && text[0] == u'&') {
                appendMarkup(u"&amp;");
            } else if (text.size() == 1 && text[0] == u'<') {
                appendMarkup(u"&lt;");
            } else if (text.size() == 1 && text[0] == u'>') {
                appendMarkup(u"&gt;");
            } else if (text.size() == 1 && text[0] == u'"') {
                appendMarkup(u"&quot;");
            } else {
                appendContent(text);
            }
        }
    }

    // Appends text of element content. "]]>" may not stand in it, also when
    // its pieces come from different nodes, so a ">" after "]]" is escaped.
    void appendContent(std::u16string_view text)
    {
        size_t start = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            // Most units need nothing: skip a run of them in one go.
            const size_t run = i;
            while (i < text.size() && isPlainContent(text[i]))
                ++i;
            if (i > run)
                brackets_ = 0;
            if (i == text.size())
                break;
            const char16_t c = text[i];
            if (c == u']') {
                ++brackets_;
                continue;
            }
            const bool closesSection = c == u'>' && brackets_ >= 2;
            brackets_ = 0;
            if (closesSection) {
                out_.append(text.substr(start, i - start));
                out_.append(u"&gt;");
                start = i + 1;
            } else if (isReplacedAt(text, i)) {
                out_.append(text.substr(start, i - start));
                out_.push_back(kReplacement);
                start = i + 1;
            }
        }
        out_.append(text.substr(start));
    }

    // Markup and references end a run of character data.
    void appendMarkup(const char16_t* text)
    {
        out_.append(text);
        brackets_ = 0;
    }

    // A CDATA section ends at its first "]]>", so the text is split there
    // into consecutive sections.
    void appendCDataSection(std::u16string_view value)
    {
        out_.append(u"<![CDATA[");
        size_t from = out_.size();
        appendXmlChars(out_, value);
        static constexpr std::u16string_view kEnd = u"]]>";
        static constexpr std::u16string_view kSplit = u"]]]]><![CDATA[>";
        for (size_t at = out_.find(kEnd, from); at != std::u16string::npos; at = out_.find(kEnd, at + kSplit.size()))
            out_.replace(at, kEnd.size(), kSplit);
        out_.append(u"]]>");
    }

    // The document type declaration travels in a comment, which cannot hold
    // "--": a hyphen right after a hyphen is written as a space.
    void appendDeclarationComment(const std::u16string& declaration)
    {
        out_.append(u"<!-- ");
        size_t from = out_.size();
        appendXmlChars(out_, declaration);
        for (size_t i = from + 1; i < out_.size(); ++i)
            if (out_[i] == u'-' && out_[i - 1] == u'-')
                out_[i] = u' ';
        out_.append(u" -->");
    }

    // The node's own text (for an element only "<" and its name; the
    // attributes and the tag end follow in write()).
    void open(const TNode* node)
    {
        size_t start = out_.size();
        switch (node->nodeType()) {
        case DOCUMENT_NODE:
            if (const TDocumentType* type = static_cast<const TDocument*>(node)->doctype()) {
                appendDeclarationComment(type->declaration);
                piece(start, COMMENT_NODE, type);
            }
            break;
        case ELEMENT_NODE:
            out_.push_back(u'<');
            brackets_ = 0;
            appendName(node);
            piece(start, ELEMENT_NODE, node);
            break;
        case ATTRIBUTE_NODE:
            out_.push_back(u' ');
            appendName(node);
            out_.append(u"=\"");
            piece(start, ATTRIBUTE_NODE, node);
            break;
        case TEXT_NODE:
            writeText(node);
            break;
        case CDATA_SECTION_NODE: {
            const std::u16string_view value = static_cast<const TCharacterData*>(node)->data();
            bool blank = std::all_of(value.begin(), value.end(), [](char16_t c) { return c <= 0x20; });
            if (!blank) {
                appendCDataSection(value);
                brackets_ = 0;
            }
            piece(start, CDATA_SECTION_NODE, node);
            break;
        }
        case ENTITY_REFERENCE_NODE: {
            // Pages repeat a few references many times.
            const std::u16string_view name = node->localName();
            char16_t code;
            if (node->hasPrefix() || name.empty()) {
                code = entityReferenceCode(node->nodeName());
            } else {
                TNameSlot& known = slotOf(entityCodes_, name);
                if (!known.holds(name))
                    known = {name.data(), name.size(), entityReferenceCode(std::u16string(name))};
                code = known.code;
            }
            switch (code) {
            case 34:
                appendMarkup(u"&quot;");
                break;
            case 38:
                appendMarkup(u"&amp;");
                break;
            case 60:
                appendMarkup(u"&lt;");
                break;
            case 62:
                appendMarkup(u"&gt;");
                break;
            default:
                // In a value the character stands in attribute text, which
                // ends no character data of the content.
                if (node->parentNode() && node->parentNode()->nodeType() == ATTRIBUTE_NODE)
                    out_.push_back(code);
                else
                    appendContent(std::u16string_view(&code, 1));
                break;
            }
            piece(start, ENTITY_REFERENCE_NODE, node);
            break;
        }
        case COMMENT_NODE: {
            const std::u16string_view value = static_cast<const TCharacterData*>(node)->data();
            out_.append(u"<!--");
            size_t from = out_.size();
            appendXmlChars(out_, value);
            std::replace(out_.begin() + static_cast<std::ptrdiff_t>(from), out_.end(), u'-', u' ');
            out_.append(u"-->");
            brackets_ = 0;
            piece(start, COMMENT_NODE, node);
            break;
        }
        default:
            break;
        }
    }

    void close(const TNode* node)
    {
        size_t start = out_.size();
        switch (node->nodeType()) {
        case ELEMENT_NODE:
            brackets_ = 0;
            if (node->hasChildNodes()) {
                out_.append(u"</");
                appendName(node);
                out_.push_back(u'>');
                piece(start, ELEMENT_NODE, node);
            }
            break;
        case ATTRIBUTE_NODE:
            out_.push_back(u'"');
            piece(start, ATTRIBUTE_NODE, node);
            break;
        default:
            break;
        }
    }

    // Handed on past 32 KB: the buffer then stays in the heap, where one
    // block serves file after file, below the size whose blocks are mapped
    // afresh for each file.
    static constexpr size_t kFlushUnits = 16 * 1024;

    std::u16string& out_;
    const TFlush* flush_;
    const std::function<void(const std::u16string&, int)>* callback_ = nullptr;
    std::string charsetName_;
    const char16_t* decoder_ = nullptr;
    bool charsetKnown_ = false;
    std::string bytes_;
    std::u16string decoded_;
    int brackets_ = 0; // "]" at the end of the character data written so far
    TNameSlot soundNames_[64];
    TNameSlot entityCodes_[32];
};

const char16_t kByteOrderMark = 0xFEFF;

// Calls sink(bytes, count) with the text as UTF-16 little-endian, without a
// second copy of the text on little-endian hosts.
template <class Sink>
void emitUtf16LE(const std::u16string& text, Sink&& sink)
{
    if constexpr (std::endian::native == std::endian::little) {
        if (!text.empty())
            sink(text.data(), static_cast<int64_t>(text.size()) * 2);
    } else {
        std::vector<unsigned char> chunk;
        const size_t step = 32768;
        for (size_t at = 0; at < text.size(); at += step) {
            size_t n = std::min(step, text.size() - at);
            chunk.resize(n * 2);
            for (size_t i = 0; i < n; ++i) {
                chunk[2 * i] = static_cast<unsigned char>(text[at + i] & 0xFF);
                chunk[2 * i + 1] = static_cast<unsigned char>(text[at + i] >> 8);
            }
            sink(chunk.data(), static_cast<int64_t>(chunk.size()));
        }
    }
}

} // namespace

const TNode* TDocument::writingNode() noexcept
{
    return writingNode_;
}

std::u16string TNode::toXML() const
{
    std::u16string out;
    Writer writer(ownerDocument(), out);
    writer.write(this);
    return out;
}

// Writes the byte order mark, then the document's XML piece by piece.
template <class Sink>
void writeDocument(const TDocument& document, Sink&& sink)
{
    // The mark goes out with the first piece: a small page is one write.
    std::u16string out(1, kByteOrderMark);
    const TFlush flush = [&sink](const std::u16string& text) { emitUtf16LE(text, sink); };
    Writer writer(&document, out, &flush);
    writer.write(&document);
}

void TDocument::saveToStream(TStream& stream) const
{
    writeDocument(*this, [&stream](const void* data, int64_t count) { stream.writeBuffer(data, count); });
}

void TDocument::saveToFile(const std::string& fileName) const
{
    saveToPendingFile(fileName)->commit();
}

std::unique_ptr<TReplacingFile> TDocument::saveToPendingFile(const std::string& fileName) const
{
    auto file = std::make_unique<TReplacingFile>(fileName);
    writeDocument(*this, [&file](const void* data, int64_t count) {
        file->write(data, static_cast<size_t>(count));
    });
    return file;
}
