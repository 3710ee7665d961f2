// DomCore: the in-memory form of a converted document, a tree of nodes in
// the manner of the W3C DOM Level 2 Core, reduced to what an HTML-to-XML
// converter needs, plus the XML writer (toXML, saveToStream, saveToFile).
//
// Ownership convention
// --------------------
// * A document owns its tree (children, doctype, namespace list); a node owns
//   its children and its attributes. Destroying a node destroys its whole
//   subtree, however deep, without recursing once per level.
// * A document owns the memory of every node it creates and of their texts:
//   pages of its own, freed with the document at once. A node made by a
//   document must therefore be destroyed before that document. Only the
//   document itself and a document type made by DomImplementation live on
//   the general heap.
// * Factory operations (`TDocument::createXxx`, `DomImplementation::createXxx`,
//   `cloneNode`, `exportNode`) return a std::unique_ptr: the caller owns the
//   new, detached node.
// * Operations that link a node into a tree take a raw pointer:
//   `insertBefore`, `appendChild`, `setAttributeNode`, `setNamedItem`,
//   `TDocument::setDoctype`, `DomImplementation::createEmptyDocument` and
//   `createDocument`. On success the tree owns the node (a caller holding it
//   in a unique_ptr then calls release()); on failure nothing changed and the
//   caller still owns it. The template overloads of `appendChild` and
//   `insertBefore` that take a unique_ptr do the release() themselves, only
//   on success.
// * Operations that unlink a node hand it back as a std::unique_ptr:
//   `removeChild`, and the replaced attribute of `setAttributeNode` /
//   `setNamedItem` (null when nothing was replaced).
// * A failing operation raises DomException and leaves the tree as it was.
//   A null node where a node is required raises INVALID_ACCESS_ERR.
// * A detached node may be destroyed at any time while its document lives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text/Errors.h"

class TStream;

// Node kinds (what nodeType returns).
constexpr int ELEMENT_NODE = 1;
constexpr int ATTRIBUTE_NODE = 2;
constexpr int TEXT_NODE = 3;
constexpr int CDATA_SECTION_NODE = 4;
constexpr int ENTITY_REFERENCE_NODE = 5;
constexpr int ENTITY_NODE = 6;
constexpr int PROCESSING_INSTRUCTION_NODE = 7;
constexpr int COMMENT_NODE = 8;
constexpr int DOCUMENT_NODE = 9;
constexpr int DOCUMENT_TYPE_NODE = 10;
constexpr int DOCUMENT_FRAGMENT_NODE = 11;
constexpr int NOTATION_NODE = 12;

// DomException codes.
constexpr int INDEX_SIZE_ERR = 1;
constexpr int DOMSTRING_SIZE_ERR = 2;
constexpr int HIERARCHY_REQUEST_ERR = 3;
constexpr int WRONG_DOCUMENT_ERR = 4;
constexpr int INVALID_CHARACTER_ERR = 5;
constexpr int NO_DATA_ALLOWED_ERR = 6;
constexpr int NO_MODIFICATION_ALLOWED_ERR = 7;
constexpr int NOT_FOUND_ERR = 8;
constexpr int NOT_SUPPORTED_ERR = 9;
constexpr int INUSE_ATTRIBUTE_ERR = 10;
constexpr int INVALID_STATE_ERR = 11;
constexpr int SYNTAX_ERR = 12;
constexpr int INVALID_MODIFICATION_ERR = 13;
constexpr int NAMESPACE_ERR = 14;
constexpr int INVALID_ACCESS_ERR = 15;

class DomException : public Exception {
public:
    // The message is chosen by the code (empty for a code outside 1..15).
    explicit DomException(int code);
    const char* className() const noexcept override { return "DomException"; }
    static const char* messageFor(int code) noexcept;

    int code;
};

class TNode;
class TAttr;
class TElement;
class TTextNode;
class TComment;
class TCDATASection;
class TEntityReference;
class TDocumentType;
class TDocument;
class TReplacingFile;

namespace domcore_detail {

// Under AddressSanitizer every block is a heap block of its own, so that
// misuse of a freed node is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define ORTAVIX_DOM_POOLED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORTAVIX_DOM_POOLED 0
#endif
#endif
#ifndef ORTAVIX_DOM_POOLED
#define ORTAVIX_DOM_POOLED 1
#endif

// The memory of one document: blocks in size classes of 8 bytes carved from
// pages and recycled through one free list per class; larger blocks come
// from the general heap, linked so that they go with the pages. Destroying
// the arena frees everything in it at once, without visiting the nodes.
//
// Every block knows its arena's owner without a field of its own: pages are
// aligned to 64 KB and each 64 KB piece starts with the owner, so a pooled
// block finds it by masking its address; a heap block keeps it in the word
// just before it.
class TArena {
public:
    TArena() = default;
    ~TArena();
    TArena(const TArena&) = delete;
    TArena& operator=(const TArena&) = delete;

    // What ownerOf() answers for the blocks; set before the first one.
    void setOwner(void* owner) noexcept { owner_ = owner; }
    // The owner of a block this arena (or any arena) handed out.
    static void* ownerOf(const void* block) noexcept
    {
        if constexpr (kPooledBlocks)
            return *reinterpret_cast<void* const*>(reinterpret_cast<std::uintptr_t>(block) & ~(kChunk - 1));
        else
            return reinterpret_cast<void* const*>(block)[-1];
    }

    // Raise std::bad_alloc when out of memory. Blocks are aligned to 8.
    void* allocate(std::size_t size);
    void release(void* block, std::size_t size) noexcept;
    // The block grown (or shrunk) to newSize with its content kept; large
    // blocks grow in place where the heap can, so a long child list never
    // needs its old and new array at once.
    void* reallocate(void* block, std::size_t oldSize, std::size_t newSize);
    // Frees the first page this thread keeps from its last document for its next.
    static void releaseSparePage() noexcept;
    // Bytes taken from the system: pages and large blocks, headers included.
    std::size_t footprint() const noexcept { return footprint_; }

    static constexpr bool kPooledBlocks = ORTAVIX_DOM_POOLED != 0;
    static constexpr std::size_t kChunk = 64 * 1024;
    static constexpr std::size_t kLargestPooled = 376; // larger blocks come from the general heap

private:
    static constexpr std::size_t kGrain = 8;
    static constexpr std::size_t kClasses = kLargestPooled / kGrain + 1;
    struct TFreeBlock {
        TFreeBlock* next;
    };
    // The start of a page; every later 64 KB piece of it starts with the owner only.
    struct TPage {
        void* owner;
        TPage* previous;
        std::size_t bytes;
    };
    // Before a large block; the owner is the word just before the block.
    struct TLarge {
        TLarge* previous;
        TLarge* next;
        std::size_t size;
        void* owner;
    };
    static std::size_t classOf(std::size_t size) noexcept;
    static bool pooled(std::size_t size) noexcept;
    void newPage();
    void nextChunk();
    void* allocateLarge(std::size_t size);
    void releaseLarge(void* block) noexcept;

    TFreeBlock* free_[kClasses] = {};
    TPage* pages_ = nullptr;
    char* cursor_ = nullptr;
    char* chunkEnd_ = nullptr;
    char* pageEnd_ = nullptr;
    TLarge* large_ = nullptr;
    void* owner_ = nullptr;
    std::size_t footprint_ = 0;
    bool populating_ = false; // the current page is put in memory piece by piece
};

// Text whose units live in an arena (or on the heap, for a node that lives
// there): 16 bytes where a std::u16string takes 32, and nothing to destroy
// when the whole arena goes. Its owner gives it back with release().
class TText {
public:
    std::u16string_view view() const noexcept { return {units_, size_}; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Replaces the text; null arena: the heap. The old units are released
    // only once the new ones are in place.
    void assign(TArena* arena, std::u16string_view text);
    // Refers to units that someone else keeps (a name many nodes share).
    void share(TArena* arena, std::u16string_view text) noexcept;
    void release(TArena* arena) noexcept;
    bool isShared() const noexcept { return shared_; }

private:
    char16_t* units_ = nullptr;
    std::uint32_t size_ = 0;
    bool shared_ = false;

public:
    // Free for the holder: they fill what would be padding.
    std::uint8_t holderBits = 0;
    std::uint8_t holderKind = 0;
};

// The item store of a node list: a vector of node pointers in 16 bytes
// (std::vector takes 24, and every node has a list), whose arrays come from
// the owner's arena (null: the heap). A single item (most elements have one
// child) is kept in place of the array pointer. It has no destructor of its
// own: its holder gives the array back with release().
class TNodeVector {
public:
    TNodeVector() = default;
    TNodeVector(const TNodeVector&) = delete;
    TNodeVector& operator=(const TNodeVector&) = delete;

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    // Where the holder of the vector finds its owner (see TNodeList); kept
    // by every other operation, also by swap.
    std::uint8_t place() const noexcept { return static_cast<std::uint8_t>(place_); }
    void setPlace(std::uint8_t place) noexcept { place_ = place & 3u; }
    bool empty() const noexcept { return size_ == 0; }
    TNode** begin() noexcept { return capacity_ <= 1 ? &store_.single : store_.array; }
    TNode** end() noexcept { return begin() + size_; }
    TNode* const* begin() const noexcept { return capacity_ <= 1 ? &store_.single : store_.array; }
    TNode* const* end() const noexcept { return begin() + size_; }
    TNode*& operator[](std::size_t i) noexcept { return begin()[i]; }
    TNode* operator[](std::size_t i) const noexcept { return begin()[i]; }

    // Raise std::bad_alloc (and leave the vector as it was) when out of memory.
    void reserve(std::size_t n, TArena* arena);
    // Room for one more item, with geometric growth.
    void reserveOneMore(TArena* arena)
    {
        if (size_ == capacity_)
            reserve(capacity_ == 0 ? 1 : 2 * static_cast<std::size_t>(capacity_), arena);
    }
    void push_back(TNode* node, TArena* arena)
    {
        reserveOneMore(arena);
        begin()[size_++] = node;
    }
    void insert(TNode* const* at, TNode* node, TArena* arena);
    void erase(TNode* const* at) noexcept;
    void clear() noexcept { size_ = 0; }
    void swap(TNodeVector& other) noexcept;
    // Gives the array back; the vector is then empty.
    void release(TArena* arena) noexcept;
    // Capacity down to the size (the items are kept); nothing happens when
    // memory for the smaller array is lacking.
    void shrinkToFit(TArena* arena) noexcept;
    // Empty, without giving anything back (the arena goes as a whole).
    void forget() noexcept
    {
        store_.array = nullptr;
        size_ = capacity_ = 0;
    }

private:

    // capacity_ <= 1: the item is `single`; otherwise `array` is allocated.
    union Store {
        TNode* single;
        TNode** array;
    } store_{nullptr};
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ : 30 = 0;
    std::uint32_t place_ : 2 = 0;

public:
    static constexpr std::size_t kMaxItems = (std::size_t(1) << 30) - 1;
};

} // namespace domcore_detail

// An ordered list of node references. It does not own its items: the node
// that holds the list does (see clear(true) for the one exception).
// add/insert/deleteItem/remove are raw list edits; they do not link or
// unlink nodes. Trees are edited with insertBefore/removeChild.
class TNodeList {
public:
    // A list of no node.
    explicit TNodeList(std::nullptr_t) noexcept {}
    ~TNodeList();
    TNodeList(const TNodeList&) = delete;
    TNodeList& operator=(const TNodeList&) = delete;

    int length() const { return static_cast<int>(items_.size()); }
    // None when index is negative or not below length.
    TNode* item(int index) const
    {
        return index < 0 || index >= length() ? nullptr : items_[static_cast<std::size_t>(index)];
    }

    // Not a field: a list is a field of its owner, or follows a pointer to it.
    TNode* owner() const noexcept;
    int indexOf(const TNode* node) const; // -1 when absent
    void add(TNode* node);
    void insert(int index, TNode* node);
    void deleteItem(int index); // the list operation "delete"
    void remove(const TNode* node); // first occurrence
    // With freeItems every item (and its subtree) is destroyed first.
    void clear(bool freeItems);
    // Gives back the spare room that growing left (a tree builder calls it
    // for a node it has finished: lists grow by doubling).
    void shrinkToFit() noexcept { items_.shrinkToFit(arena()); }

protected:
    friend class TNode;
    friend class TElement;
    friend class TAttr;
    friend class TDocument;
    // Where the owner is: none; the node of which the list is the first
    // field after the TNode part (elements, attributes); the word just
    // before the list (documents, lists of other nodes); the element of
    // which the list is the second field (attribute maps).
    enum TPlace : std::uint8_t { kAlone = 0, kInNode = 1, kAfterOwner = 2, kInElement = 3 };
    explicit TNodeList(TPlace place) noexcept { items_.setPlace(place); }
    // Where the item array lives: the owner's arena.
    domcore_detail::TArena* arena() const noexcept;
    domcore_detail::TNodeVector items_;
};

// The attributes of an element: a node list also searched by node name.
// A tag may carry a hundred thousand attributes, so a large map keeps an
// index by name; every change made other than by setNamedItem drops it.
class TNamedNodeMap : public TNodeList {
public:
    // The list operations, dropping the index.
    void add(TNode* node);
    void insert(int index, TNode* node);
    void deleteItem(int index);
    void remove(const TNode* node);
    void clear(bool freeItems);
    // An item was renamed.
    void namesChanged() noexcept { dropIndex(); }

    // First item whose nodeName equals name exactly, or none.
    TNode* getNamedItem(const std::u16string& name) const;
    // Appends node and makes the map's owner its owner element; an item of
    // the same name is removed and handed back to the caller unlinked. Setting
    // an item that is already in the map moves it to the end and returns null.
    // Raises WRONG_DOCUMENT_ERR, and INUSE_ATTRIBUTE_ERR for a node linked
    // anywhere else.
    std::unique_ptr<TNode> setNamedItem(TNode* node);

private:
    friend class TElement;
    // Made by its element, as a field of it.
    TNamedNodeMap() noexcept : TNodeList(kInElement) {}
    using TIndex = std::unordered_map<std::u16string, TNode*>;
    static constexpr int kIndexFrom = 16; // below this a scan is cheaper
    TIndex* index() const; // null for a small map, built when first asked
    TIndex* builtIndex() const noexcept; // null when not built
    void dropIndex() noexcept;
    // The index lives in the document's table, not in every element.
};

// The namespace URIs used in one document; index 0 is the empty URI.
class TNamespaceURIList {
public:
    TNamespaceURIList() { clear(); }
    int add(const std::u16string& uri);
    std::u16string item(int index) const; // empty when out of range
    int count() const { return static_cast<int>(items_.size()); }
    void clear();

private:
    std::vector<std::u16string> items_;
};

// Nodes have no virtual table (a page makes hundreds of thousands of them,
// and the pointer would be a quarter of most): the operations that differ by
// kind look at the kind the node keeps in its text's spare byte.
class TNode {
public:
    // Only the destroying delete below runs it, for the node's own kind.
    ~TNode();
    TNode(const TNode&) = delete;
    TNode& operator=(const TNode&) = delete;

    // The operations whose meaning depends on the node's kind.
    std::u16string nodeName() const;
    std::u16string nodeValue() const;
    int nodeType() const noexcept { return text_.holderKind; }
    TNode* parentNode() const { return nodeType() == ATTRIBUTE_NODE ? nullptr : parent_; }
    bool canInsert(const TNode* node) const;
    std::unique_ptr<TNode> exportNode(TDocument* document, bool deep) const;
    void setNodeValue(const std::u16string& text);
    std::unique_ptr<TNode> cloneNode(bool deep) const;

    // Nodes live in their document's arena (a converted page makes millions
    // of them, and the general heap spends more on their bookkeeping than on
    // the nodes); a document and a document type of no document live on the
    // heap. Destruction gives the memory back to where it came from.
    struct THeap {};
    static void* operator new(std::size_t size, domcore_detail::TArena& arena) { return arena.allocate(size); }
    static void* operator new(std::size_t size, THeap);
    // For a constructor that fails: the block stays with the arena.
    static void operator delete(void*, domcore_detail::TArena&) noexcept {}
    static void operator delete(void* p, THeap) noexcept;
    static void operator delete(TNode* node, std::destroying_delete_t) noexcept;

    // Not a field: an arena's blocks know their owner (see TArena::ownerOf),
    // and a node on the heap keeps it in the word before it.
    TDocument* ownerDocument() const noexcept
    {
        if (text_.holderBits & kHeapFlag)
            return heapPrefix()->owner;
        return static_cast<TDocument*>(domcore_detail::TArena::ownerOf(this));
    }
    // Only elements, attributes and documents take children, and only they
    // carry a list; any other node makes one when first asked for it to edit.
    TNodeList& childNodes();
    const TNodeList& childNodes() const;
    // Null for anything but an element (whose map is part of it).
    TNamedNodeMap* attributes() const;
    TNode* firstChild() const
    {
        if (text_.holderBits & kTextValueFlag)
            return childNodes().item(0);
        const TNodeList* list = children();
        return list ? list->item(0) : nullptr;
    }
    bool hasChildNodes() const
    {
        if (text_.holderBits & kTextValueFlag)
            return true; // the text child, not made yet
        const TNodeList* list = children();
        return list && !list->items_.empty();
    }
    bool hasAttributes() const;

    // A prefix (rare) lives outside the node, made when first set. The local
    // name of character data is empty unless set (the node's text is its data).
    // The views stay valid until the name changes or the node goes.
    std::u16string_view prefix() const;
    bool hasPrefix() const { return rare() && !rare()->prefix.empty(); }
    std::u16string_view localName() const
    {
        if (!(text_.holderBits & kCharacterDataFlag))
            return text_.view();
        return rare() ? std::u16string_view(rare()->localName) : std::u16string_view();
    }
    void setPrefix(const std::u16string& text);
    void setLocalName(const std::u16string& text);
    std::u16string namespaceURI() const;
    void setNamespaceURI(const std::u16string& uri);

    // Raise WRONG_DOCUMENT_ERR, HIERARCHY_REQUEST_ERR, NOT_FOUND_ERR,
    // INUSE_ATTRIBUTE_ERR (an attribute that belongs to an element).
    TNode* insertBefore(TNode* newChild, TNode* refChild);
    TNode* appendChild(TNode* newChild) { return insertBefore(newChild, nullptr); }
    template <class T>
    T* insertBefore(std::unique_ptr<T>&& newChild, TNode* refChild)
    {
        insertBefore(static_cast<TNode*>(newChild.get()), refChild);
        return newChild.release();
    }
    template <class T>
    T* appendChild(std::unique_ptr<T>&& newChild)
    {
        return insertBefore(std::move(newChild), nullptr);
    }
    // NOT_FOUND_ERR when oldChild is not a child of this node.
    std::unique_ptr<TNode> removeChild(TNode* oldChild);
    // Appends a deep copy of every child of source; all or nothing.
    void cloneChildrenFrom(const TNode* source);

    // The XML text of this node and its subtree; every piece goes to the
    // owner document's onWriteText when that is set.
    std::u16string toXML() const;

protected:
    // splitName: the qualified name is split at its first ":" into prefix
    // and local name; otherwise it all goes into the local name.
    TNode(int kind, TDocument* ownerDocument, const std::u16string& namespaceURI,
          std::u16string_view qualifiedName, bool splitName, bool onHeap = false);
    // A node without name and namespace (character data, documents).
    TNode(int kind, TDocument* ownerDocument, bool onHeap = false);
    // Where the node's texts and lists live: its document's arena, or the
    // heap (null) for a node that lives there itself.
    domcore_detail::TArena* arena() const noexcept;
    // The size of the node's own block, by its kind.
    std::size_t blockSize() const noexcept;
    // A copy made by document (cloneNode, exportNode), for every kind but
    // documents and document types.
    std::unique_ptr<TNode> copyTo(TDocument* document, bool deep) const;

    // The attribute map of an element; null for any other node.
    TNamedNodeMap* attributesIfAny() const noexcept;
    // The raw parentNode field (for an attribute: its owner element).
    TNode* parentField() const { return parent_; }
    // The child list, or null for a node that has none (yet).
    TNodeList* children() const noexcept;
    TNodeList* childrenOfOthers() const noexcept; // children() of nodes but elements
    // Destroys every node in list and below, without recursion.
    void destroyDescendants(TNodeList& list) noexcept;

    // What most nodes never have, kept out of every node.
    struct TRareNames {
        std::u16string prefix;
        std::u16string localName; // of character data (whose text_ is its data)
        int32_t namespaceIndex = 0;
        // The list of a node that takes no children, after a pointer to it.
        struct TOwnedList {
            explicit TOwnedList(TNode* node) noexcept : owner(node) {}
            TNode* owner;
            TNodeList list{TNodeList::kAfterOwner};
        };
        std::unique_ptr<TOwnedList> list;
    };
    // Flags in text_.holderBits.
    static constexpr std::uint8_t kElementFlag = 1;       // the attribute map is part of the node
    static constexpr std::uint8_t kCharacterDataFlag = 2; // text_ is the data, not the local name
    static constexpr std::uint8_t kHeapFlag = 4;          // the node lives on the heap, not in an arena
    static constexpr std::uint8_t kRareFlag = 8;          // the node has a TRareNames
    static constexpr std::uint8_t kIndexFlag = 16;        // the element's attribute map has an index
    static constexpr std::uint8_t kTextValueFlag = 32;    // an attribute holds its one text child as text
    // A node's rare names live in its document's table (or, for a node on
    // the heap, in the word before its owner), not in a field of every node.
    TRareNames* rare() const noexcept { return (text_.holderBits & kRareFlag) ? findRare() : nullptr; }
    TRareNames* findRare() const noexcept;
    TRareNames& makeRare(); // rare(), created when there is none
    void freeRare() noexcept;
    void setFlag(std::uint8_t flag, bool on)
    {
        text_.holderBits = static_cast<std::uint8_t>(on ? (text_.holderBits | flag) : (text_.holderBits & ~flag));
    }
    // What precedes a node on the heap.
    struct THeapPrefix {
        TRareNames* rare;
        TDocument* owner;
    };
    static constexpr std::size_t kHeapPrefix = 16; // keeps the node aligned to 16
    THeapPrefix* heapPrefix() const noexcept
    {
        return reinterpret_cast<THeapPrefix*>(reinterpret_cast<char*>(const_cast<TNode*>(this)) - sizeof(THeapPrefix));
    }

    // Every field counts: a page makes millions of nodes.
    TNode* parent_ = nullptr;
    domcore_detail::TText text_; // the local name, or the data of character data; the flags

private:
    friend class TNodeList;
    friend class TNamedNodeMap;
    friend class TElement;
    friend class TAttr;
    friend class TDocument;
    friend class DomImplementation;
};

class TCharacterData : public TNode {
public:
    int length() const { return static_cast<int>(text_.size()); }
    // Valid until the value changes or the node goes.
    std::u16string_view data() const { return text_.view(); }

protected:
    // kept: data lives as long as the document (TDocument::keepText).
    TCharacterData(int kind, TDocument* ownerDocument, std::u16string_view data, bool kept = false);
};

class TComment : public TCharacterData {
private:
    friend class TDocument;
    TComment(TDocument* ownerDocument, std::u16string_view data, bool kept = false)
        : TCharacterData(COMMENT_NODE, ownerDocument, data, kept)
    {
    }
};

class TTextNode : public TCharacterData {
protected:
    friend class TDocument;
    TTextNode(TDocument* ownerDocument, std::u16string_view data, bool kept = false, int kind = TEXT_NODE)
        : TCharacterData(kind, ownerDocument, data, kept)
    {
    }
};

class TCDATASection : public TTextNode {
private:
    friend class TDocument;
    TCDATASection(TDocument* ownerDocument, std::u16string_view data, bool kept = false)
        : TTextNode(ownerDocument, data, kept, CDATA_SECTION_NODE)
    {
    }
};

// nodeValue is computed from the children: text values, and one character
// per entity reference (its entity code; a space for an unknown name);
// setNodeValue replaces all children by one text node.
//
// A page's attributes hold one text each, and a tree builder only ever
// writes them: an attribute without children may take its value as a text
// of its own (setTextValue), and the text node is made when someone first
// asks for the attribute's children. To every other caller the attribute
// has that one text child all along.
class TAttr : public TNode {
public:
    TElement* ownerElement() const;
    ~TAttr();

    // For an attribute without children: the value becomes its one text
    // child, held as text until asked for as a node. setKeptTextValue
    // refers to text the document keeps (see TDocument::keepText) instead
    // of copying it.
    void setTextValue(std::u16string_view text);
    void setKeptTextValue(std::u16string_view text);
    // True while the one text child is held as text; textValue() is then
    // its data (valid until the attribute changes). A writer reads it so
    // instead of making the node.
    bool hasTextValue() const noexcept { return text_.holderBits & kTextValueFlag; }
    std::u16string_view textValue() const noexcept { return hasTextValue() ? value_.view() : std::u16string_view(); }

private:
    friend class TDocument;
    friend class TNode;
    TAttr(TDocument* ownerDocument, std::u16string_view name);
    std::u16string value() const;
    void setValue(const std::u16string& text);
    std::unique_ptr<TNode> copyTo(TDocument* document) const;
    // The text child made as a node: the attribute holds a list again.
    TNodeList& makeTextChild();
    void takeText(std::u16string_view text, bool kept);

    union {
        TNodeList childList_{TNodeList::kInNode}; // the first field: see TNodeList::owner
        domcore_detail::TText value_;             // while kTextValueFlag is set
    };
};

class TElement : public TNode {
public:
    // Returns the attribute of the same name that attr replaced (unlinked,
    // now the caller's), or null. INUSE_ATTRIBUTE_ERR when attr already
    // belongs to an element; WRONG_DOCUMENT_ERR from another document.
    std::unique_ptr<TAttr> setAttributeNode(TAttr* attr);
    template <class T>
    std::unique_ptr<TAttr> setAttributeNode(std::unique_ptr<T>&& attr)
    {
        auto old = setAttributeNode(static_cast<TAttr*>(attr.get()));
        attr.release();
        return old;
    }

    ~TElement();

private:
    friend class TDocument;
    friend class TNode;
    TElement(TDocument* ownerDocument, const std::u16string& namespaceURI,
             std::u16string_view qualifiedName, bool splitName);
    std::unique_ptr<TNode> copyTo(TDocument* document, bool deep) const;

    // The map is part of the element: most elements of a real page carry an
    // attribute, and a map of its own would cost a block and a pointer.
    TNamedNodeMap* attributeMap() const noexcept { return const_cast<TNamedNodeMap*>(&attributeMap_); }

    TNodeList childList_{TNodeList::kInNode}; // the first field: see TNodeList::owner
    TNamedNodeMap attributeMap_;              // the second field: see TNodeList::owner
};

inline TNamedNodeMap* TNode::attributes() const
{
    if (!(text_.holderBits & kElementFlag))
        return nullptr;
    return static_cast<const TElement*>(this)->attributeMap();
}

inline TNamedNodeMap* TNode::attributesIfAny() const noexcept
{
    if (!(text_.holderBits & kElementFlag))
        return nullptr;
    return static_cast<const TElement*>(this)->attributeMap();
}

// Elements first, in line: the writer and the tree builder ask for every one.
inline TNodeList* TNode::children() const noexcept
{
    if (text_.holderBits & kElementFlag)
        return &static_cast<TElement*>(const_cast<TNode*>(this))->childList_;
    return childrenOfOthers();
}

class TEntityReference : public TNode {
private:
    friend class TDocument;
    TEntityReference(TDocument* ownerDocument, std::u16string_view name);
};

class TDocumentType : public TNode {
public:
    std::u16string_view name() const { return text_.view(); }

    std::u16string publicId;
    std::u16string systemId;
    // The declaration text as the tokenizer delivered it; the writer prints
    // it inside a comment.
    std::u16string declaration;

private:
    friend class DomImplementation;
    friend class TDocument;
    friend class TNode;
    TDocumentType(TDocument* ownerDocument, std::u16string_view qualifiedName,
                  const std::u16string& publicId, const std::u16string& systemId);
    // The document that holds this document type as its doctype (which need
    // not be its ownerDocument), so that two documents never share one.
    TDocument* holder_ = nullptr;
};

// cloneNode of a document makes a new document with the same document
// element name and a copy of the document type; the children are not copied.
class TDocument : public TNode {
public:
    ~TDocument();

    // The first child element, or none.
    TElement* documentElement() const;
    TDocumentType* doctype() const { return doctype_.get(); }
    // Takes ownership of doctype (none allowed); destroys the previous one.
    // WRONG_DOCUMENT_ERR when another document holds doctype.
    void setDoctype(TDocumentType* doctype);
    TNamespaceURIList& namespaceURIs() { return namespaceURIs_; }
    const TNamespaceURIList& namespaceURIs() const { return namespaceURIs_; }
    // Back to empty; charset and onWriteText stay.
    void clear();

    // Names and texts are copied into the document's memory.
    std::unique_ptr<TElement> createElement(std::u16string_view name);
    std::unique_ptr<TElement> createElementNS(const std::u16string& namespaceURI,
                                              std::u16string_view qualifiedName);
    std::unique_ptr<TTextNode> createTextNode(std::u16string_view data);
    std::unique_ptr<TComment> createComment(std::u16string_view data);
    std::unique_ptr<TCDATASection> createCDATASection(std::u16string_view data);
    std::unique_ptr<TAttr> createAttribute(std::u16string_view name);
    std::unique_ptr<TEntityReference> createEntityReference(std::u16string_view name);

    // Text that lives as long as the document (see keepText): a node made
    // from it refers to it instead of copying it.
    struct TKeptText {
        std::u16string_view text;
    };
    std::unique_ptr<TTextNode> createTextNode(TKeptText data);
    std::unique_ptr<TComment> createComment(TKeptText data);
    std::unique_ptr<TCDATASection> createCDATASection(TKeptText data);
    // Keeps text for as long as the document lives, unchanged by anyone, so
    // that nodes may refer to it (the page a tree builder reads).
    void keepText(std::shared_ptr<const std::u16string> text);

    // Byte order mark U+FEFF and toXML(), as UTF-16 little-endian.
    void saveToStream(TStream& stream) const;
    // Writes a temporary file beside the target and renames it over the
    // target, so a failure leaves the old file (or none), never half of one.
    // EFCreateError (for fileName) when it cannot be created.
    void saveToFile(const std::string& fileName) const;
    // The same, short of the rename: the complete output waits in the
    // temporary file until commit() on the object returned puts it in
    // place; destroying it uncommitted removes it.
    std::unique_ptr<TReplacingFile> saveToPendingFile(const std::string& fileName) const;

    // Bytes the document's nodes and texts take from the system.
    std::size_t memoryFootprint() const noexcept { return arena_.footprint(); }

    // Character set the HTML source declared; text is re-decoded through it.
    std::u16string charset;
    // The text was decoded when the page was loaded: the writer leaves it
    // as it is instead of re-decoding it through charset.
    bool decodedAtLoad = false;
    // Receives every output piece of the writer with its node type.
    std::function<void(const std::u16string& text, int nodeType)> onWriteText;
    // While onWriteText runs: the node whose piece it receives (the document
    // type for the declaration's comment); null at any other time.
    static const TNode* writingNode() noexcept;

private:
    friend class DomImplementation;
    friend class TNode;
    friend class TCharacterData;
    friend class TAttr;
    friend class TNamedNodeMap;
    TDocument();
    std::unique_ptr<TNode> copy() const;

    // The memory of every node this document creates. Declared first, so
    // that it goes last.
    domcore_detail::TArena arena_;
    // One copy of each short name, in the arena, shared by every node that
    // bears it: a page repeats a few dozen names a million times.
    struct TNameHash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view name) const noexcept
        {
            return std::hash<std::u16string_view>()(name);
        }
    };
    std::unordered_map<std::u16string_view, const char16_t*, TNameHash, std::equal_to<>> names_;
    // The names shared last, by length and first and last unit: most
    // lookups end here, without hashing the whole name.
    std::array<std::u16string_view, 256> recentNames_{};
    static constexpr std::size_t kSharedNameMax = 32;
    // The shared copy of name (short and non-empty), made when first asked.
    std::u16string_view sharedName(std::u16string_view name);
    // The rare names of the nodes in the arena.
    std::unordered_map<const TNode*, std::unique_ptr<TRareNames>> rares_;
    // The indexes of large attribute maps.
    std::unordered_map<const TNamedNodeMap*, std::unique_ptr<std::unordered_map<std::u16string, TNode*>>> indexes_;
    // Heap objects that nodes in the arena hold (rare names, attribute
    // indexes): while there are any, destroying the document visits its
    // nodes to free them; without any, the arena simply goes.
    std::size_t heapParts_ = 0;
    std::unique_ptr<TDocumentType> doctype_;
    // Texts that nodes refer to; also after clear(), since a detached node
    // may still refer to them.
    std::vector<std::shared_ptr<const std::u16string>> keptTexts_;
    TNamespaceURIList namespaceURIs_;
    TNode* const listOwner_ = this; // just before the list: see TNodeList::owner
    TNodeList childList_{TNodeList::kAfterOwner};
};

// Class operations that make documents and document types.
class DomImplementation {
public:
    DomImplementation() = delete;

    // No owner document, empty declaration.
    static std::unique_ptr<TDocumentType> createDocumentType(const std::u16string& qualifiedName,
                                                             const std::u16string& publicId,
                                                             const std::u16string& systemId);
    // The new document takes doctype (may be none) and becomes its owner.
    // WRONG_DOCUMENT_ERR when doctype already has an owner document or is
    // held by one; the caller then still owns it.
    static std::unique_ptr<TDocument> createEmptyDocument(TDocumentType* doctype);
    // createEmptyDocument, then a document element made by createElementNS.
    static std::unique_ptr<TDocument> createDocument(const std::u16string& namespaceURI,
                                                     const std::u16string& qualifiedName,
                                                     TDocumentType* doctype);
    // Gives back the memory this thread keeps for its next document.
    static void releaseThreadCache() noexcept;
};
