// The HTML tree builder: drives the tokenizer over one text and turns every
// token into a node of a new document, keeping one current node into which
// new nodes go. Its decisions are few: which start tags look higher up for
// their parent, which elements close at once, how an end tag finds what it
// closes, when a body element is made up, and where a meta tag's charset goes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "dom/DomCore.h"
#include "html/HtmlReader.h"
#include "html/HtmlSourceMap.h"
#include "html/HtmlTags.h"

class THtmlParser {
public:
    THtmlParser();
    ~THtmlParser();
    THtmlParser(const THtmlParser&) = delete;
    THtmlParser& operator=(const THtmlParser&) = delete;

    // A new document built from the text; the caller owns it. Reading stops
    // quietly at the first failure and the document built so far is returned.
    // Only running out of memory is passed on.
    std::unique_ptr<TDocument> parseString(const std::u16string& text);
    // The same, taking the text over instead of copying it.
    std::unique_ptr<TDocument> parseString(std::u16string&& text);
    // Frees the text of the last parseString call (the reader then holds none).
    void releaseText();

    // The document of the last parseString call (owned by that caller), or
    // null before the first call. Valid while its owner keeps it.
    TDocument* htmlDocument() const noexcept { return htmlDocument_; }

    // The tokenizer, for watchers of onToken (its htmlStr, position, nodeType).
    const THtmlReader& htmlReader() const noexcept { return *htmlReader_; }

    // Called with the tokenizer for every token, before it becomes a node.
    THtmlReaderEvent onToken;

    // While set, each parseString empties the map and notes in it where
    // every new node's token lay. Null (the default) costs nothing.
    void setSourceMap(THtmlSourceMap* map) noexcept { sourceMap_ = map; }

private:
    // The open elements from the document element down to the current one,
    // mirroring the parentNode chain, so that searches up the tree can tell
    // at once whether they will find anything. The name of each is its
    // element's local name (this builder never splits names), not a copy:
    // a deep page keeps a million of these.
    struct TOpenElement {
        TElement* element;
        std::int32_t tag;
        std::u16string_view name() const { return element->localName(); }
    };

    void elementStart(THtmlReader& reader);
    void attributeStart(THtmlReader& reader);
    void attributeEnd(THtmlReader& reader);
    void elementEnd(THtmlReader& reader);
    void endElement(THtmlReader& reader);
    void textNode(THtmlReader& reader);
    void entityReference(THtmlReader& reader);
    void cdataSection(THtmlReader& reader);
    void comment(THtmlReader& reader);
    void docType(THtmlReader& reader);

    template <class T>
    T* append(std::unique_ptr<T> node);
    void findParent(std::int32_t tag);
    TElement* mainBody();
    void moveToMainBody();
    void openElement(TElement* element, std::int32_t tag, std::u16string_view name);
    void closeTo(std::size_t depth); // keeps the first `depth` open elements
    void takeCharset(const std::u16string& value);
    std::u16string_view keptValue(const THtmlReader& reader);
    static constexpr std::size_t kTrimFromUnits = 512 * 1024; // a page of 1 MB and more

    std::unique_ptr<THtmlReader> htmlReader_;
    TDocument* htmlDocument_ = nullptr;
    TNode* currentNode_ = nullptr;
    const THtmlTag* currentTag_ = nullptr;

    std::vector<TOpenElement> open_;
    std::array<int, TAG_COUNT + 1> openTagCount_{};
    // Open elements by name: a tag's own name by its number, any other
    // name in openNameCount_.
    std::array<int, TAG_COUNT + 1> openTagNameCount_{};
    // Looked up by the views the open elements give, without a copy. Tag
    // names are short: a multiply per unit beats the library's byte hash.
    struct TNameHash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view name) const noexcept
        {
            std::size_t h = 0xcbf29ce484222325ull;
            for (char16_t c : name)
                h = (h ^ c) * 0x100000001b3ull;
            return h;
        }
    };
    std::unordered_map<std::u16string, int, TNameHash, std::equal_to<>> openNameCount_;
    TElement* rootElement_ = nullptr; // the document element, once there is one
    TElement* mainBody_ = nullptr;    // the body the main body rule found or made
    bool textKept_ = false;           // the document keeps the text being read

    // Only used with a source map: the stretch of the token being handled
    // (from the end of the one before, so that nothing is left between
    // tokens) and the element whose start tag is being read.
    void noteSource(const TNode* node);
    THtmlSourceMap* sourceMap_ = nullptr;
    std::int64_t tokenFrom_ = 1;
    std::int64_t tokenTo_ = 1;
    TElement* tagElement_ = nullptr;
};
