#include "dom/DomCore.h"

#include "html/Entities.h"
#include "text/Ansi.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <utility>

// ---------------------------------------------------------------------------
// DomException

namespace {

const char* const kMessages[] = {
    "Index or size is negative, or greater than the allowed value",
    "The specified range of text does not fit into a DOMString",
    "Node is inserted somewhere it doesn't belong ",
    "Node is used in a different document than the one that created it",
    "Invalid or illegal character is specified, such as in a name",
    "Data is specified for a node which does not support data",
    "An attempt is made to modify an object where modifications are not allowed",
    "An attempt is made to reference a node in a context where it does not exist",
    "Implementation does not support the requested type of object or operation",
    "An attempt is made to add an attribute that is already in use elsewhere",
    "An attempt is made to use an object that is not, or is no longer, usable",
    "An invalid or illegal string is specified",
    "An attempt is made to modify the type of the underlying object",
    "An attempt is made to create or change an object in a way which is incorrect with regard to namespaces",
    "A parameter or an operation is not supported by the underlying object",
};

[[noreturn]] void fail(int code) { throw DomException(code); }

void requireNode(const void* node)
{
    if (!node)
        fail(INVALID_ACCESS_ERR);
}

} // namespace

const char* DomException::messageFor(int code) noexcept
{
    if (code < 1 || code > 15)
        return "";
    return kMessages[code - 1];
}

DomException::DomException(int code) : Exception(messageFor(code)), code(code) {}

// ---------------------------------------------------------------------------
// TArena, TText: the memory of one document

namespace domcore_detail {

namespace {

// Pages grow from 64 KB to 2 MB. Past the first they are mapped on their
// own and unmapped with the document, so a batch of pages of every size
// leaves no holes in the general heap (there a large page's memory could
// stay in use long after the page is gone). The 2 MB ones are aligned to
// 2 MB and, once the arena holds 16 MB, offered to the kernel as huge
// pages, since on a large page faulting in node memory 4 KB at a time costs
// more than building the nodes. A huge page is all in memory from its first
// use: below 16 MB the unused end of the last one would add up to a quarter
// to the tree, so there a mapped page is put in memory one 64 KB piece at a
// time, as it fills, which costs about as few faults.
constexpr std::size_t kFirstPage = TArena::kChunk;
constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kHugeFrom = 16 * 1024 * 1024;

// Puts a 64 KB piece of a page in memory at once, where the kernel can.
void populate(void* piece) noexcept
{
#ifdef MADV_POPULATE_WRITE
    ::madvise(piece, TArena::kChunk, MADV_POPULATE_WRITE);
#else
    (void)piece;
#endif
}

// A page of `bytes` aligned to its size (at most 2 MB), as the owner lookup
// and huge pages need.
void* mapPage(std::size_t bytes, bool huge)
{
    // Twice the size, then the unaligned ends are given back.
    const std::size_t span = 2 * bytes;
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (base + bytes - 1) & ~(bytes - 1);
    if (aligned > base)
        ::munmap(p, aligned - base);
    if (const std::uintptr_t tail = base + span - (aligned + bytes))
        ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
#ifdef MADV_HUGEPAGE
    if (huge)
        ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
#else
    (void)huge;
#endif
    return reinterpret_cast<void*>(aligned);
}

// A batch makes one small document after another. Each thread keeps the
// first page of its last document for its next one: a fresh 64 KB aligned
// block comes from mmap, and mapping, faulting in and unmapping it cost a
// small page more than building it.
struct TSparePage {
    void* page = nullptr;
    ~TSparePage() { std::free(page); }
};
thread_local TSparePage sparePage;

void* newFirstPage()
{
    if (void* page = sparePage.page) {
        sparePage.page = nullptr;
        return page;
    }
    return std::aligned_alloc(kFirstPage, kFirstPage);
}

void freePage(void* page, std::size_t bytes) noexcept
{
    if (bytes != kFirstPage)
        ::munmap(page, bytes);
    else if (!sparePage.page)
        sparePage.page = page;
    else
        std::free(page);
}

} // namespace

void TArena::releaseSparePage() noexcept
{
    std::free(sparePage.page);
    sparePage.page = nullptr;
}

std::size_t TArena::classOf(std::size_t size) noexcept
{
    // Every block is distinct, even for a size of 0.
    return size == 0 ? 1 : (size + kGrain - 1) / kGrain;
}

bool TArena::pooled(std::size_t size) noexcept
{
    return kPooledBlocks && classOf(size) < kClasses;
}

TArena::~TArena()
{
    while (large_) {
        TLarge* next = large_->next;
        std::free(large_);
        large_ = next;
    }
    while (pages_) {
        TPage* previous = pages_->previous;
        freePage(pages_, pages_->bytes);
        pages_ = previous;
    }
}

void TArena::newPage()
{
    const std::size_t bytes = pages_ ? std::min(2 * pages_->bytes, kHugePage) : kFirstPage;
    const bool huge = bytes == kHugePage && footprint_ >= kHugeFrom;
    void* memory = bytes == kFirstPage ? newFirstPage() : mapPage(bytes, huge);
    if (!memory)
        throw std::bad_alloc();
    auto* page = static_cast<TPage*>(memory);
    page->owner = owner_;
    page->previous = pages_;
    page->bytes = bytes;
    pages_ = page;
    footprint_ += bytes;
    constexpr std::size_t header = (sizeof(TPage) + kGrain - 1) / kGrain * kGrain;
    cursor_ = static_cast<char*>(memory) + header;
    chunkEnd_ = static_cast<char*>(memory) + kChunk;
    pageEnd_ = static_cast<char*>(memory) + bytes;
    populating_ = bytes != kFirstPage && !huge;
    if (populating_)
        populate(memory);
}

void TArena::nextChunk()
{
    if (chunkEnd_ == pageEnd_) {
        newPage();
        return;
    }
    // The tail of the last piece (less than the largest pooled block) stays unused.
    if (populating_)
        populate(chunkEnd_);
    *reinterpret_cast<void**>(chunkEnd_) = owner_;
    cursor_ = chunkEnd_ + kGrain;
    chunkEnd_ += kChunk;
}

void* TArena::allocate(std::size_t size)
{
    if (!pooled(size))
        return allocateLarge(size);
    const std::size_t cls = classOf(size);
    if (TFreeBlock* f = free_[cls]) {
        free_[cls] = f->next;
        return f;
    }
    const std::size_t bytes = cls * kGrain;
    if (bytes > static_cast<std::size_t>(chunkEnd_ - cursor_))
        nextChunk();
    void* block = cursor_;
    cursor_ += bytes;
    return block;
}

void TArena::release(void* block, std::size_t size) noexcept
{
    if (!block)
        return;
    if (!pooled(size)) {
        releaseLarge(block);
        return;
    }
    auto* f = static_cast<TFreeBlock*>(block);
    const std::size_t cls = classOf(size);
    f->next = free_[cls];
    free_[cls] = f;
}

void* TArena::allocateLarge(std::size_t size)
{
    static_assert(sizeof(TLarge) % 16 == 0, "large blocks stay aligned to 16");
    if (size > SIZE_MAX - sizeof(TLarge))
        throw std::bad_alloc();
    auto* large = static_cast<TLarge*>(std::malloc(sizeof(TLarge) + size));
    if (!large)
        throw std::bad_alloc();
    large->previous = nullptr;
    large->next = large_;
    large->size = size;
    large->owner = owner_;
    if (large_)
        large_->previous = large;
    large_ = large;
    footprint_ += sizeof(TLarge) + size;
    return large + 1;
}

void TArena::releaseLarge(void* block) noexcept
{
    auto* large = static_cast<TLarge*>(block) - 1;
    if (large->previous)
        large->previous->next = large->next;
    else
        large_ = large->next;
    if (large->next)
        large->next->previous = large->previous;
    footprint_ -= sizeof(TLarge) + large->size;
    std::free(large);
}

void* TArena::reallocate(void* block, std::size_t oldSize, std::size_t newSize)
{
    if (block && !pooled(oldSize) && !pooled(newSize)) {
        if (newSize > SIZE_MAX - sizeof(TLarge))
            throw std::bad_alloc();
        auto* large = static_cast<TLarge*>(block) - 1;
        auto* moved = static_cast<TLarge*>(std::realloc(large, sizeof(TLarge) + newSize));
        if (!moved)
            throw std::bad_alloc();
        if (moved->previous)
            moved->previous->next = moved;
        else
            large_ = moved;
        if (moved->next)
            moved->next->previous = moved;
        footprint_ = footprint_ - moved->size + newSize;
        moved->size = newSize;
        return moved + 1;
    }
    void* grown = allocate(newSize);
    if (block) {
        std::memcpy(grown, block, std::min(oldSize, newSize));
        release(block, oldSize);
    }
    return grown;
}

void TText::assign(TArena* arena, std::u16string_view text)
{
    if (text.size() > UINT32_MAX)
        throw std::bad_alloc();
    char16_t* units = nullptr;
    if (!text.empty()) {
        const std::size_t bytes = text.size() * sizeof(char16_t);
        units = static_cast<char16_t*>(arena ? arena->allocate(bytes) : ::operator new(bytes));
        std::memcpy(units, text.data(), bytes);
    }
    release(arena);
    units_ = units;
    size_ = static_cast<std::uint32_t>(text.size());
}

void TText::share(TArena* arena, std::u16string_view text) noexcept
{
    release(arena);
    units_ = const_cast<char16_t*>(text.data());
    size_ = static_cast<std::uint32_t>(text.size());
    shared_ = true;
}

void TText::release(TArena* arena) noexcept
{
    if (units_ && !shared_) {
        if (arena)
            arena->release(units_, size_ * sizeof(char16_t));
        else
            ::operator delete(units_);
    }
    units_ = nullptr;
    size_ = 0;
    shared_ = false;
}

} // namespace domcore_detail

// ---------------------------------------------------------------------------
// TNodeList, TNamedNodeMap, TNamespaceURIList

namespace domcore_detail {

void TNodeVector::reserve(std::size_t n, TArena* arena)
{
    if (n <= capacity_)
        return;
    if (n > kMaxItems)
        throw std::bad_alloc();
    if (n == 1) {
        capacity_ = 1; // in place, nothing to move
        return;
    }
    const std::size_t bytes = n * sizeof(TNode*);
    TNode** grown;
    if (capacity_ > 1) {
        const std::size_t oldBytes = capacity_ * sizeof(TNode*);
        if (arena) {
            grown = static_cast<TNode**>(arena->reallocate(store_.array, oldBytes, bytes));
        } else {
            grown = static_cast<TNode**>(::operator new(bytes));
            std::copy(begin(), end(), grown);
            ::operator delete(store_.array);
        }
    } else {
        grown = static_cast<TNode**>(arena ? arena->allocate(bytes) : ::operator new(bytes));
        if (size_ > 0)
            grown[0] = store_.single;
    }
    store_.array = grown;
    capacity_ = static_cast<std::uint32_t>(n);
}

void TNodeVector::insert(TNode* const* at, TNode* node, TArena* arena)
{
    const std::size_t index = static_cast<std::size_t>(at - begin());
    reserveOneMore(arena);
    TNode** items = begin();
    std::copy_backward(items + index, items + size_, items + size_ + 1);
    items[index] = node;
    ++size_;
}

void TNodeVector::erase(TNode* const* at) noexcept
{
    TNode** items = begin();
    const std::size_t index = static_cast<std::size_t>(at - items);
    std::copy(items + index + 1, items + size_, items + index);
    --size_;
}

void TNodeVector::swap(TNodeVector& other) noexcept
{
    std::swap(store_, other.store_);
    std::swap(size_, other.size_);
    const std::uint32_t capacity = capacity_;
    capacity_ = other.capacity_;
    other.capacity_ = capacity;
}

void TNodeVector::shrinkToFit(TArena* arena) noexcept
{
    if (capacity_ <= 1 || size_ == capacity_)
        return;
    // A large array stays: the general heap would keep the cut-off end.
    if (arena && capacity_ * sizeof(TNode*) > TArena::kLargestPooled)
        return;
    if (size_ <= 1) {
        TNode* single = size_ == 1 ? store_.array[0] : nullptr;
        release(arena);
        store_.single = single;
        size_ = single ? 1 : 0;
        capacity_ = size_;
        return;
    }
    const std::size_t bytes = size_ * sizeof(TNode*);
    TNode** fitted;
    try {
        if (arena) {
            fitted = static_cast<TNode**>(arena->reallocate(store_.array, capacity_ * sizeof(TNode*), bytes));
        } else {
            fitted = static_cast<TNode**>(::operator new(bytes));
            std::copy(begin(), end(), fitted);
            ::operator delete(store_.array);
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    store_.array = fitted;
    capacity_ = size_;
}

void TNodeVector::release(TArena* arena) noexcept
{
    if (capacity_ > 1) {
        if (arena)
            arena->release(store_.array, capacity_ * sizeof(TNode*));
        else
            ::operator delete(store_.array);
    }
    store_.array = nullptr;
    capacity_ = 0;
    size_ = 0;
}

} // namespace domcore_detail

TNodeList::~TNodeList()
{
    // A node gives its lists back itself; this is for a list of no node.
    if (items_.capacity() > 1)
        items_.release(arena());
}

TNode* TNodeList::owner() const noexcept
{
    const char* at = reinterpret_cast<const char*>(this);
    switch (items_.place()) {
    case kInNode:
        return reinterpret_cast<TNode*>(const_cast<char*>(at) - sizeof(TNode));
    case kAfterOwner:
        return *reinterpret_cast<TNode* const*>(at - sizeof(TNode*));
    case kInElement:
        return reinterpret_cast<TNode*>(const_cast<char*>(at) - sizeof(TNode) - sizeof(TNodeList));
    default:
        return nullptr;
    }
}

domcore_detail::TArena* TNodeList::arena() const noexcept
{
    const TNode* node = owner();
    return node ? node->arena() : nullptr;
}

int TNodeList::indexOf(const TNode* node) const
{
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i] == node)
            return static_cast<int>(i);
    return -1;
}

void TNodeList::add(TNode* node) { items_.push_back(node, arena()); }

void TNodeList::insert(int index, TNode* node)
{
    if (index < 0 || index > length())
        fail(INDEX_SIZE_ERR);
    items_.insert(items_.begin() + index, node, arena());
}

void TNodeList::deleteItem(int index)
{
    if (index < 0 || index >= length())
        fail(INDEX_SIZE_ERR);
    items_.erase(items_.begin() + index);
}

void TNodeList::remove(const TNode* node)
{
    int i = indexOf(node);
    if (i >= 0)
        items_.erase(items_.begin() + i);
}

void TNodeList::clear(bool freeItems)
{
    domcore_detail::TNodeVector items;
    items.swap(items_);
    if (freeItems)
        for (TNode* node : items)
            delete node;
    items.release(arena());
}

void TNamedNodeMap::add(TNode* node)
{
    dropIndex();
    TNodeList::add(node);
}

void TNamedNodeMap::insert(int index, TNode* node)
{
    dropIndex();
    TNodeList::insert(index, node);
}

void TNamedNodeMap::deleteItem(int index)
{
    dropIndex();
    TNodeList::deleteItem(index);
}

void TNamedNodeMap::remove(const TNode* node)
{
    dropIndex();
    TNodeList::remove(node);
}

void TNamedNodeMap::clear(bool freeItems)
{
    dropIndex();
    TNodeList::clear(freeItems);
}

TNamedNodeMap::TIndex* TNamedNodeMap::index() const
{
    if (TIndex* built = builtIndex())
        return built;
    TNode* owner_ = owner();
    if (length() < kIndexFrom || !owner_ || !owner_->arena())
        return nullptr;
    auto index = std::make_unique<TIndex>();
    index->reserve(items_.size() * 2);
    for (TNode* node : items_)
        index->emplace(node->nodeName(), node); // the first of a name wins
    TIndex* made = index.get();
    TDocument* document = owner_->ownerDocument();
    document->indexes_.emplace(this, std::move(index));
    owner_->setFlag(TNode::kIndexFlag, true);
    ++document->heapParts_;
    return made;
}

TNamedNodeMap::TIndex* TNamedNodeMap::builtIndex() const noexcept
{
    const TNode* owner_ = owner();
    if (!owner_ || !(owner_->text_.holderBits & TNode::kIndexFlag))
        return nullptr;
    const auto& indexes = owner_->ownerDocument()->indexes_;
    const auto found = indexes.find(this);
    return found == indexes.end() ? nullptr : found->second.get();
}

void TNamedNodeMap::dropIndex() noexcept
{
    TNode* owner_ = owner();
    if (!owner_ || !(owner_->text_.holderBits & TNode::kIndexFlag))
        return;
    TDocument* document = owner_->ownerDocument();
    document->indexes_.erase(this);
    owner_->setFlag(TNode::kIndexFlag, false);
    --document->heapParts_;
}

namespace {

// node->nodeName() == name, without making the name of an element or an
// attribute (the items of a map nearly always are).
bool isNamed(const TNode* node, std::u16string_view name)
{
    const int kind = node->nodeType();
    if (kind != ELEMENT_NODE && kind != ATTRIBUTE_NODE)
        return node->nodeName() == name;
    const std::u16string_view local = node->localName();
    if (!node->hasPrefix())
        return local == name;
    const std::u16string_view prefix = node->prefix();
    return name.size() == prefix.size() + 1 + local.size() && name.substr(0, prefix.size()) == prefix &&
           name[prefix.size()] == u':' && name.substr(prefix.size() + 1) == local;
}

} // namespace

TNode* TNamedNodeMap::getNamedItem(const std::u16string& name) const
{
    if (TIndex* index = this->index()) {
        auto found = index->find(name);
        return found == index->end() ? nullptr : found->second;
    }
    for (TNode* node : items_)
        if (isNamed(node, name))
            return node;
    return nullptr;
}

std::unique_ptr<TNode> TNamedNodeMap::setNamedItem(TNode* node)
{
    requireNode(node);
    TNode* owner = this->owner();
    if (node->ownerDocument() != owner->ownerDocument())
        fail(WRONG_DOCUMENT_ERR);
    // A node linked anywhere but in this map (another element's attribute, or
    // somebody's child) would end up in two lists and be freed twice.
    bool inThisMap = node->parent_ == owner && indexOf(node) >= 0;
    if (node->parent_ && !inThisMap)
        fail(INUSE_ATTRIBUTE_ERR);
    items_.reserveOneMore(arena());
    if (!inThisMap && items_.empty() && !builtIndex()) {
        // An element's first attribute: nothing to look for.
        items_.push_back(node, arena());
        node->parent_ = owner;
        return nullptr;
    }
    const std::u16string name = node->nodeName();
    if (inThisMap)
        remove(node); // set again: it moves to the end
    TNode* old = getNamedItem(name);
    if (old) {
        TNodeList::remove(old);
        old->parent_ = nullptr;
    }
    items_.push_back(node, arena());
    node->parent_ = owner;
    if (TIndex* index = builtIndex()) {
        // Keeping the index up to date is cheaper than building it again.
        try {
            (*index)[name] = node;
        } catch (...) {
            dropIndex();
        }
    }
    return std::unique_ptr<TNode>(old);
}

int TNamespaceURIList::add(const std::u16string& uri)
{
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i] == uri)
            return static_cast<int>(i);
    items_.push_back(uri);
    return static_cast<int>(items_.size()) - 1;
}

std::u16string TNamespaceURIList::item(int index) const
{
    if (index < 0 || index >= count())
        return std::u16string();
    return items_[static_cast<size_t>(index)];
}

void TNamespaceURIList::clear()
{
    items_.clear();
    items_.emplace_back();
}

// ---------------------------------------------------------------------------
// TNode

static_assert(alignof(TElement) <= 8 && alignof(TAttr) <= 8 && alignof(TCDATASection) <= 8,
              "arena blocks are aligned to 8 bytes only");

void TNode::operator delete(TNode* node, std::destroying_delete_t) noexcept
{
    // All are asked before the node is gone.
    domcore_detail::TArena* arena = node->arena();
    const std::size_t size = node->blockSize();
    const bool onHeap = node->text_.holderBits & kHeapFlag;
    switch (node->nodeType()) {
    case ELEMENT_NODE:
        static_cast<TElement*>(node)->~TElement();
        break;
    case ATTRIBUTE_NODE:
        static_cast<TAttr*>(node)->~TAttr();
        break;
    case DOCUMENT_TYPE_NODE:
        static_cast<TDocumentType*>(node)->~TDocumentType();
        break;
    case DOCUMENT_NODE:
        static_cast<TDocument*>(node)->~TDocument();
        break;
    default:
        node->~TNode(); // character data and references have nothing more
        break;
    }
    if (arena)
        arena->release(node, size);
    else if (onHeap)
        operator delete(static_cast<void*>(node), THeap{});
}

void* TNode::operator new(std::size_t size, THeap)
{
    static_assert(sizeof(THeapPrefix) == kHeapPrefix, "the prefix is two words");
    auto* prefix = static_cast<THeapPrefix*>(::operator new(kHeapPrefix + size));
    prefix->rare = nullptr;
    prefix->owner = nullptr;
    return prefix + 1;
}

void TNode::operator delete(void* p, THeap) noexcept
{
    ::operator delete(static_cast<THeapPrefix*>(p) - 1);
}

TNode::TNode(int kind, TDocument* ownerDocument, bool onHeap)
{
    text_.holderKind = static_cast<std::uint8_t>(kind);
    setFlag(kHeapFlag, onHeap);
    if (onHeap)
        heapPrefix()->owner = ownerDocument;
}

TNode::TNode(int kind, TDocument* ownerDocument, const std::u16string& namespaceURI,
             std::u16string_view qualifiedName, bool splitName, bool onHeap)
{
    text_.holderKind = static_cast<std::uint8_t>(kind);
    // Not a delegating constructor: a failure below must not run ~TNode.
    setFlag(kHeapFlag, onHeap);
    if (onHeap)
        heapPrefix()->owner = ownerDocument;
    try {
        setNamespaceURI(namespaceURI);
        size_t colon = splitName ? qualifiedName.find(u':') : std::u16string::npos;
        if (colon != std::u16string::npos) {
            setPrefix(std::u16string(qualifiedName.substr(0, colon)));
            qualifiedName = qualifiedName.substr(colon + 1);
        }
        if (arena() && !qualifiedName.empty() && qualifiedName.size() <= TDocument::kSharedNameMax)
            text_.share(arena(), ownerDocument->sharedName(qualifiedName));
        else
            text_.assign(arena(), qualifiedName);
    } catch (...) {
        freeRare(); // no destructor runs for a node that was never made
        throw;
    }
}

domcore_detail::TArena* TNode::arena() const noexcept
{
    return (text_.holderBits & kHeapFlag) ? nullptr : &ownerDocument()->arena_;
}

std::size_t TNode::blockSize() const noexcept
{
    switch (nodeType()) {
    case ELEMENT_NODE:
        return sizeof(TElement);
    case ATTRIBUTE_NODE:
        return sizeof(TAttr);
    case TEXT_NODE:
        return sizeof(TTextNode);
    case CDATA_SECTION_NODE:
        return sizeof(TCDATASection);
    case ENTITY_REFERENCE_NODE:
        return sizeof(TEntityReference);
    case COMMENT_NODE:
        return sizeof(TComment);
    default:
        return 0; // documents and document types live on the heap
    }
}

TNode::TRareNames* TNode::findRare() const noexcept
{
    if (text_.holderBits & kHeapFlag)
        return heapPrefix()->rare;
    const auto& rares = ownerDocument()->rares_;
    const auto found = rares.find(this);
    return found == rares.end() ? nullptr : found->second.get();
}

TNode::TRareNames& TNode::makeRare()
{
    if (TRareNames* r = rare())
        return *r;
    auto made = std::make_unique<TRareNames>();
    TRareNames* r = made.get();
    if (text_.holderBits & kHeapFlag) {
        heapPrefix()->rare = made.release();
    } else {
        TDocument* document = ownerDocument();
        document->rares_.emplace(this, std::move(made));
        ++document->heapParts_;
    }
    setFlag(kRareFlag, true);
    return *r;
}

void TNode::freeRare() noexcept
{
    if (!rare())
        return;
    if (text_.holderBits & kHeapFlag) {
        delete heapPrefix()->rare;
        heapPrefix()->rare = nullptr;
    } else {
        TDocument* document = ownerDocument();
        document->rares_.erase(this);
        --document->heapParts_;
    }
    setFlag(kRareFlag, false);
}

std::u16string_view TNode::prefix() const
{
    return rare() ? std::u16string_view(rare()->prefix) : std::u16string_view();
}

void TNode::setPrefix(const std::u16string& text)
{
    if (rare() || !text.empty())
        makeRare().prefix = text;
    if (parent_ && nodeType() == ATTRIBUTE_NODE)
        if (TNamedNodeMap* map = parent_->attributesIfAny())
            map->namesChanged();
}

void TNode::setLocalName(const std::u16string& text)
{
    if (!(text_.holderBits & kCharacterDataFlag))
        text_.assign(arena(), text);
    else if (rare() || !text.empty())
        makeRare().localName = text;
}

bool TNode::hasAttributes() const
{
    const TNamedNodeMap* map = attributesIfAny();
    return map && !map->items_.empty();
}

TNode::~TNode()
{
    // The list of a node that takes no children (only raw list edits fill it).
    if (TRareNames* r = rare(); r && r->list) {
        destroyDescendants(r->list->list);
        r->list->list.items_.release(arena());
    }
    text_.release(arena());
    freeRare();
}

void TNode::destroyDescendants(TNodeList& list) noexcept
{
    // A tree may be nested a million levels deep (unclosed tags): instead of
    // letting each node destroy its children recursively, move every
    // descendant onto one explicit stack and delete them one by one, each
    // with its lists already emptied.
    if (list.items_.empty())
        return;
    std::vector<TNode*> pending;
    auto takeLinks = [&pending](TNode* node, TNodeList* children) {
        TNamedNodeMap* attributes = node->attributesIfAny();
        if (attributes)
            for (TNode* a : attributes->items_)
                pending.push_back(a);
        if (children)
            for (TNode* c : children->items_)
                pending.push_back(c);
        if (attributes) {
            attributes->items_.clear();
            attributes->namesChanged();
        }
        if (children)
            children->items_.clear();
    };
    takeLinks(this, &list);
    while (!pending.empty()) {
        TNode* node = pending.back();
        pending.pop_back();
        takeLinks(node, node->children());
        delete node;
    }
}

TNodeList* TNode::childrenOfOthers() const noexcept
{
    if (!(text_.holderBits & kCharacterDataFlag)) {
        switch (nodeType()) {
        case ATTRIBUTE_NODE:
            // No list while the one text child is held as text.
            if (text_.holderBits & kTextValueFlag)
                return nullptr;
            return &static_cast<TAttr*>(const_cast<TNode*>(this))->childList_;
        case DOCUMENT_NODE:
            return &static_cast<TDocument*>(const_cast<TNode*>(this))->childList_;
        default:
            break;
        }
    }
    return rare() && rare()->list ? &rare()->list->list : nullptr;
}

TNodeList& TNode::childNodes()
{
    if (text_.holderBits & kTextValueFlag)
        return static_cast<TAttr*>(this)->makeTextChild();
    if (TNodeList* list = children())
        return *list;
    TRareNames& r = makeRare();
    r.list = std::make_unique<TRareNames::TOwnedList>(this);
    return r.list->list;
}

const TNodeList& TNode::childNodes() const
{
    static const TNodeList none(nullptr);
    // Asking for the list is asking for the text child as a node.
    if (text_.holderBits & kTextValueFlag)
        return static_cast<TAttr*>(const_cast<TNode*>(this))->makeTextChild();
    const TNodeList* list = children();
    return list ? *list : none;
}

std::u16string TNode::nodeName() const
{
    switch (nodeType()) {
    case TEXT_NODE:
        return u"#text";
    case CDATA_SECTION_NODE:
        return u"#cdata-section";
    case COMMENT_NODE:
        return u"#comment";
    case DOCUMENT_NODE:
        return u"#document";
    default:
        break;
    }
    if (!hasPrefix())
        return std::u16string(localName());
    std::u16string name = rare()->prefix;
    name += u':';
    name += localName();
    return name;
}

// Only character data has a value of its own (attributes compute theirs).
std::u16string TNode::nodeValue() const
{
    if (text_.holderBits & kCharacterDataFlag)
        return std::u16string(text_.view());
    if (nodeType() == ATTRIBUTE_NODE)
        return static_cast<const TAttr*>(this)->value();
    return std::u16string();
}

bool TNode::canInsert(const TNode* node) const
{
    if (!node)
        return false;
    const int kind = node->nodeType();
    switch (nodeType()) {
    case ELEMENT_NODE:
        return kind != ENTITY_NODE && kind != DOCUMENT_NODE && kind != DOCUMENT_TYPE_NODE &&
               kind != NOTATION_NODE;
    case ATTRIBUTE_NODE:
        return kind == TEXT_NODE || kind == ENTITY_REFERENCE_NODE;
    case DOCUMENT_NODE:
        switch (kind) {
        case TEXT_NODE:
        case PROCESSING_INSTRUCTION_NODE:
        case COMMENT_NODE:
            return true;
        case ELEMENT_NODE:
            return static_cast<const TDocument*>(this)->documentElement() == nullptr;
        default:
            return false;
        }
    default:
        return false;
    }
}

std::unique_ptr<TNode> TNode::exportNode(TDocument* document, bool deep) const
{
    const int kind = nodeType();
    if (kind == DOCUMENT_NODE || kind == DOCUMENT_TYPE_NODE)
        fail(NOT_SUPPORTED_ERR);
    requireNode(document);
    return copyTo(document, deep);
}

std::unique_ptr<TNode> TNode::cloneNode(bool deep) const
{
    switch (nodeType()) {
    case DOCUMENT_NODE:
        return static_cast<const TDocument*>(this)->copy();
    case DOCUMENT_TYPE_NODE: {
        const auto* type = static_cast<const TDocumentType*>(this);
        return std::unique_ptr<TNode>(new (THeap{}) TDocumentType(ownerDocument(), text_.view(),
                                                                  type->publicId, type->systemId));
    }
    default:
        return copyTo(ownerDocument(), deep);
    }
}

std::unique_ptr<TNode> TNode::copyTo(TDocument* document, bool deep) const
{
    switch (nodeType()) {
    case ELEMENT_NODE:
        return static_cast<const TElement*>(this)->copyTo(document, deep);
    case ATTRIBUTE_NODE:
        return static_cast<const TAttr*>(this)->copyTo(document);
    case TEXT_NODE:
        return document->createTextNode(text_.view());
    case CDATA_SECTION_NODE:
        return document->createCDATASection(text_.view());
    case COMMENT_NODE:
        return document->createComment(text_.view());
    case ENTITY_REFERENCE_NODE:
        return document->createEntityReference(nodeName());
    default:
        fail(NOT_SUPPORTED_ERR);
    }
}

void TNode::setNodeValue(const std::u16string& text)
{
    if (text_.holderBits & kCharacterDataFlag)
        text_.assign(arena(), text);
    else if (nodeType() == ATTRIBUTE_NODE)
        static_cast<TAttr*>(this)->setValue(text);
    else
        fail(NO_MODIFICATION_ALLOWED_ERR);
}

std::u16string TNode::namespaceURI() const
{
    if (!rare() || rare()->namespaceIndex == 0 || !ownerDocument())
        return std::u16string();
    return ownerDocument()->namespaceURIs().item(rare()->namespaceIndex);
}

void TNode::setNamespaceURI(const std::u16string& uri)
{
    if (uri.empty() || !ownerDocument())
        return;
    const int index = ownerDocument()->namespaceURIs().add(uri);
    if (index != 0 || rare())
        makeRare().namespaceIndex = index;
}

TNode* TNode::insertBefore(TNode* newChild, TNode* refChild)
{
    requireNode(newChild);
    if (newChild->ownerDocument() != ownerDocument())
        fail(WRONG_DOCUMENT_ERR);
    if (!canInsert(newChild) || newChild == this)
        fail(HIERARCHY_REQUEST_ERR);
    // Only a node with children can be an ancestor; skipping the walk for a
    // fresh leaf keeps building a deep tree linear.
    if (newChild->hasChildNodes())
        for (const TNode* p = parentNode(); p; p = p->parentNode())
            if (p == newChild)
                fail(HIERARCHY_REQUEST_ERR);
    if (refChild == newChild)
        return newChild;
    TNodeList& list = childNodes();
    if (!refChild && !newChild->parent_) {
        // A fresh node at the end, as a tree is built: nothing to unlink
        // and nothing to look for.
        list.items_.push_back(newChild, arena());
        newChild->parent_ = this;
        return newChild;
    }
    if (refChild && list.indexOf(refChild) < 0)
        fail(NOT_FOUND_ERR);
    TNode* oldParent = newChild->parent_;
    TNodeList* oldList = oldParent ? oldParent->children() : nullptr;
    int oldIndex = -1;
    if (oldParent) {
        oldIndex = oldList ? oldList->indexOf(newChild) : -1;
        // Linked, but not as a child: an attribute of an element.
        if (oldIndex < 0)
            fail(INUSE_ATTRIBUTE_ERR);
    }
    // Reserve first so that nothing can fail once the tree starts changing.
    list.items_.reserveOneMore(arena());
    if (oldParent) {
        oldList->items_.erase(oldList->items_.begin() + oldIndex);
        newChild->parent_ = nullptr;
    }
    auto& items = list.items_;
    if (refChild)
        items.insert(items.begin() + list.indexOf(refChild), newChild, arena());
    else
        items.push_back(newChild, arena());
    newChild->parent_ = this;
    return newChild;
}

std::unique_ptr<TNode> TNode::removeChild(TNode* oldChild)
{
    TNodeList* list = children();
    int i = oldChild && list ? list->indexOf(oldChild) : -1;
    if (i < 0)
        fail(NOT_FOUND_ERR);
    list->items_.erase(list->items_.begin() + i);
    oldChild->parent_ = nullptr;
    return std::unique_ptr<TNode>(oldChild);
}

void TNode::cloneChildrenFrom(const TNode* source)
{
    requireNode(source);
    // Copies are made without recursion: an element is copied shallow and its
    // children are queued; every other child kind has at most one level
    // below it (an attribute's text), which its own cloneNode copies.
    auto copyOne = [](const TNode* node) {
        return node->cloneNode(node->nodeType() != ELEMENT_NODE);
    };
    struct Work {
        const TNode* from;
        TNode* to;
    };
    std::vector<std::unique_ptr<TNode>> tops;
    std::vector<Work> work;
    const auto& sourceItems = source->childNodes().items_;
    tops.reserve(sourceItems.size());
    for (const TNode* child : sourceItems) {
        tops.push_back(copyOne(child));
        if (child->nodeType() == ELEMENT_NODE && child->hasChildNodes())
            work.push_back({child, tops.back().get()});
    }
    while (!work.empty()) {
        Work w = work.back();
        work.pop_back();
        for (const TNode* child : w.from->childNodes().items_) {
            std::unique_ptr<TNode> copy = copyOne(child);
            TNode* raw = w.to->appendChild(copy.get());
            copy.release();
            if (child->nodeType() == ELEMENT_NODE && child->hasChildNodes())
                work.push_back({child, raw});
        }
    }
    // All or nothing: undo the appends already made when one is refused.
    size_t appended = 0;
    try {
        for (auto& copy : tops) {
            appendChild(copy.get());
            copy.release();
            ++appended;
        }
    } catch (...) {
        for (; appended > 0; --appended)
            removeChild(childNodes().item(childNodes().length() - 1));
        throw;
    }
}

// ---------------------------------------------------------------------------
// Concrete nodes

TCharacterData::TCharacterData(int kind, TDocument* ownerDocument, std::u16string_view data, bool kept)
    : TNode(kind, ownerDocument)
{
    setFlag(kCharacterDataFlag, true);
    if (kept && !data.empty() && data.size() <= UINT32_MAX) {
        text_.share(arena(), data);
        return;
    }
    // A single unit (a line break between tags, a one-letter cell) is shared
    // like a name: pages repeat a few of them hundreds of thousands of times,
    // and there are at most 65,536 of them.
    if (data.size() == 1)
        text_.share(arena(), ownerDocument->sharedName(data));
    else
        text_.assign(arena(), data);
}

TAttr::TAttr(TDocument* ownerDocument, std::u16string_view name)
    : TNode(ATTRIBUTE_NODE, ownerDocument, std::u16string(), name, false)
{
}

std::u16string TAttr::value() const
{
    if (hasTextValue())
        return std::u16string(value_.view());
    std::u16string value;
    for (int i = 0; i < childList_.length(); ++i) {
        const TNode* child = childList_.item(i);
        switch (child->nodeType()) {
        case TEXT_NODE:
            value += static_cast<const TCharacterData*>(child)->data();
            break;
        case ENTITY_REFERENCE_NODE:
            value += static_cast<char16_t>(getEntityCode(narrow(child->nodeName())));
            break;
        default:
            break;
        }
    }
    return value;
}

std::unique_ptr<TNode> TAttr::copyTo(TDocument* document) const
{
    std::unique_ptr<TAttr> copy = document->createAttribute(nodeName());
    if (!hasTextValue())
        copy->cloneChildrenFrom(this);
    else if (document != ownerDocument())
        fail(WRONG_DOCUMENT_ERR); // as for the text node's copy (see cloneChildrenFrom)
    else
        copy->setTextValue(value_.view());
    return copy;
}

void TAttr::setValue(const std::u16string& text)
{
    // The old children go only once the new text is in place.
    if (!hasTextValue() && !childList_.items_.empty()) {
        std::unique_ptr<TTextNode> node = ownerDocument()->createTextNode(text);
        childList_.clear(true);
        appendChild(std::move(node));
        return;
    }
    takeText(text, false);
}

void TAttr::setTextValue(std::u16string_view text)
{
    if (hasTextValue() || !childList_.items_.empty())
        appendChild(ownerDocument()->createTextNode(text));
    else
        takeText(text, false);
}

void TAttr::setKeptTextValue(std::u16string_view text)
{
    if (hasTextValue() || !childList_.items_.empty())
        appendChild(ownerDocument()->createTextNode(TDocument::TKeptText{text}));
    else
        takeText(text, true);
}

void TAttr::takeText(std::u16string_view text, bool kept)
{
    // As a text node would hold it (see TCharacterData), made before
    // anything changes.
    domcore_detail::TText made;
    if (kept && !text.empty() && text.size() <= UINT32_MAX)
        made.share(arena(), text);
    else if (text.size() == 1)
        made.share(arena(), ownerDocument()->sharedName(text));
    else
        made.assign(arena(), text);
    if (hasTextValue()) {
        value_.release(arena());
    } else {
        childList_.items_.release(arena());
        childList_.~TNodeList();
    }
    new (&value_) domcore_detail::TText(made);
    setFlag(kTextValueFlag, true);
}

TNodeList& TAttr::makeTextChild()
{
    if (!hasTextValue())
        return childList_;
    TDocument* document = ownerDocument();
    const std::u16string_view text = value_.view();
    std::unique_ptr<TTextNode> node = value_.isShared() && !text.empty()
        ? document->createTextNode(TDocument::TKeptText{text})
        : document->createTextNode(text);
    value_.release(arena());
    setFlag(kTextValueFlag, false);
    new (&childList_) TNodeList(TNodeList::kInNode);
    childList_.items_.push_back(node.get(), arena()); // one item: kept in place, nothing to allocate
    node->parent_ = this;
    node.release();
    return childList_;
}

// The only node that takes an attribute is an element.
TElement* TAttr::ownerElement() const { return static_cast<TElement*>(parent_); }

TAttr::~TAttr()
{
    if (hasTextValue()) {
        value_.release(arena());
        return;
    }
    destroyDescendants(childList_);
    childList_.items_.release(arena());
    childList_.~TNodeList();
}

TElement::TElement(TDocument* ownerDocument, const std::u16string& namespaceURI,
                   std::u16string_view qualifiedName, bool splitName)
    : TNode(ELEMENT_NODE, ownerDocument, namespaceURI, qualifiedName, splitName)
{
    setFlag(kElementFlag, true);
}

TElement::~TElement()
{
    // The map is destroyed before ~TNode runs, so its attributes go here.
    // Each has at most one level below it, which its own destructor frees.
    // (Inside a subtree being destroyed, ~TNode has emptied the map already.)
    for (TNode* attribute : attributeMap_.items_)
        delete attribute;
    attributeMap_.items_.release(arena());
    attributeMap_.namesChanged();
    destroyDescendants(childList_);
    childList_.items_.release(arena());
    setFlag(kElementFlag, false); // ~TNode must not look for the map
}


std::unique_ptr<TNode> TElement::copyTo(TDocument* document, bool deep) const
{
    std::unique_ptr<TElement> copy = document->createElement(nodeName());
    if (deep)
        copy->cloneChildrenFrom(this);
    return copy;
}

std::unique_ptr<TAttr> TElement::setAttributeNode(TAttr* attr)
{
    requireNode(attr);
    if (attr->parent_)
        fail(INUSE_ATTRIBUTE_ERR);
    std::unique_ptr<TNode> old = attributeMap()->setNamedItem(attr);
    if (old && old->nodeType() == ATTRIBUTE_NODE) {
        auto* oldAttr = static_cast<TAttr*>(old.release());
        return std::unique_ptr<TAttr>(oldAttr);
    }
    // Anything else under that name (only setNamedItem can put one there)
    // is unlinked and destroyed here.
    return nullptr;
}

TEntityReference::TEntityReference(TDocument* ownerDocument, std::u16string_view name)
    : TNode(ENTITY_REFERENCE_NODE, ownerDocument, std::u16string(), name, false)
{
}


TDocumentType::TDocumentType(TDocument* ownerDocument, std::u16string_view qualifiedName,
                             const std::u16string& publicId, const std::u16string& systemId)
    : TNode(DOCUMENT_TYPE_NODE, ownerDocument, std::u16string(), qualifiedName, false, true), publicId(publicId), systemId(systemId)
{
}


// ---------------------------------------------------------------------------
// TDocument

TDocument::TDocument() : TNode(DOCUMENT_NODE, this, true)
{
    arena_.setOwner(this);
}

TDocument::~TDocument()
{
    doctype_.reset();
    if (heapParts_ != 0)
        destroyDescendants(childList_);
    // Otherwise nothing in the tree holds memory outside the arena: the
    // nodes go with it, without being visited.
    childList_.items_.release(nullptr); // the document's own list is the heap's
}

std::unique_ptr<TNode> TDocument::copy() const
{
    // A document without a document type or without a document element is
    // copied without that part.
    std::unique_ptr<TNode> typeCopy = doctype_ ? doctype_->cloneNode(false) : nullptr;
    auto* type = static_cast<TDocumentType*>(typeCopy.get());
    const TElement* root = documentElement();
    std::unique_ptr<TDocument> copy = root
        ? DomImplementation::createDocument(namespaceURI(), root->nodeName(), type)
        : DomImplementation::createEmptyDocument(type);
    typeCopy.release();
    return copy;
}

TElement* TDocument::documentElement() const
{
    for (int i = 0; i < childList_.length(); ++i)
        if (TNode* child = childList_.item(i); child->nodeType() == ELEMENT_NODE)
            return static_cast<TElement*>(child);
    return nullptr;
}

void TDocument::setDoctype(TDocumentType* doctype)
{
    if (doctype == doctype_.get())
        return;
    if (doctype && doctype->holder_ && doctype->holder_ != this)
        fail(WRONG_DOCUMENT_ERR);
    doctype_.reset(doctype);
    if (doctype)
        doctype->holder_ = this;
}

void TDocument::clear()
{
    doctype_.reset();
    namespaceURIs_.clear();
    childList_.clear(true);
}

std::u16string_view TDocument::sharedName(std::u16string_view name)
{
    std::u16string_view& recent =
        recentNames_[(name.size() * 31 + name.front() * 7 + name.back()) % recentNames_.size()];
    if (recent == name)
        return recent;
    auto found = names_.find(name);
    if (found != names_.end()) {
        recent = {found->second, name.size()};
        return recent;
    }
    const std::size_t bytes = name.size() * sizeof(char16_t);
    auto* units = static_cast<char16_t*>(arena_.allocate(bytes));
    std::memcpy(units, name.data(), bytes);
    const std::u16string_view kept(units, name.size());
    try {
        names_.emplace(kept, units);
    } catch (...) {
        arena_.release(units, bytes);
        throw;
    }
    recent = kept;
    return kept;
}

std::unique_ptr<TElement> TDocument::createElement(std::u16string_view name)
{
    return std::unique_ptr<TElement>(new (arena_) TElement(this, std::u16string(), name, false));
}

std::unique_ptr<TElement> TDocument::createElementNS(const std::u16string& namespaceURI,
                                                     std::u16string_view qualifiedName)
{
    return std::unique_ptr<TElement>(new (arena_) TElement(this, namespaceURI, qualifiedName, true));
}

std::unique_ptr<TTextNode> TDocument::createTextNode(std::u16string_view data)
{
    return std::unique_ptr<TTextNode>(new (arena_) TTextNode(this, data));
}

std::unique_ptr<TComment> TDocument::createComment(std::u16string_view data)
{
    return std::unique_ptr<TComment>(new (arena_) TComment(this, data));
}

std::unique_ptr<TCDATASection> TDocument::createCDATASection(std::u16string_view data)
{
    return std::unique_ptr<TCDATASection>(new (arena_) TCDATASection(this, data));
}

std::unique_ptr<TTextNode> TDocument::createTextNode(TKeptText data)
{
    return std::unique_ptr<TTextNode>(new (arena_) TTextNode(this, data.text, true));
}

std::unique_ptr<TComment> TDocument::createComment(TKeptText data)
{
    return std::unique_ptr<TComment>(new (arena_) TComment(this, data.text, true));
}

std::unique_ptr<TCDATASection> TDocument::createCDATASection(TKeptText data)
{
    return std::unique_ptr<TCDATASection>(new (arena_) TCDATASection(this, data.text, true));
}

void TDocument::keepText(std::shared_ptr<const std::u16string> text)
{
    if (text && std::find(keptTexts_.begin(), keptTexts_.end(), text) == keptTexts_.end())
        keptTexts_.push_back(std::move(text));
}

std::unique_ptr<TAttr> TDocument::createAttribute(std::u16string_view name)
{
    return std::unique_ptr<TAttr>(new (arena_) TAttr(this, name));
}

std::unique_ptr<TEntityReference> TDocument::createEntityReference(std::u16string_view name)
{
    return std::unique_ptr<TEntityReference>(new (arena_) TEntityReference(this, name));
}

// ---------------------------------------------------------------------------
// DomImplementation

std::unique_ptr<TDocumentType> DomImplementation::createDocumentType(const std::u16string& qualifiedName,
                                                                     const std::u16string& publicId,
                                                                     const std::u16string& systemId)
{
    return std::unique_ptr<TDocumentType>(new (TNode::THeap{}) TDocumentType(nullptr, qualifiedName, publicId, systemId));
}

std::unique_ptr<TDocument> DomImplementation::createEmptyDocument(TDocumentType* doctype)
{
    if (doctype && (doctype->ownerDocument() || doctype->holder_))
        fail(WRONG_DOCUMENT_ERR);
    std::unique_ptr<TDocument> document(new (TNode::THeap{}) TDocument());
    if (doctype) {
        document->doctype_.reset(doctype);
        doctype->heapPrefix()->owner = document.get();
        doctype->holder_ = document.get();
    }
    return document;
}

void DomImplementation::releaseThreadCache() noexcept
{
    domcore_detail::TArena::releaseSparePage();
}

std::unique_ptr<TDocument> DomImplementation::createDocument(const std::u16string& namespaceURI,
                                                             const std::u16string& qualifiedName,
                                                             TDocumentType* doctype)
{
    std::unique_ptr<TDocument> document = createEmptyDocument(doctype);
    try {
        document->appendChild(document->createElementNS(namespaceURI, qualifiedName));
    } catch (...) {
        // The caller keeps the document type when the call fails.
        if (doctype) {
            document->doctype_.release();
            doctype->heapPrefix()->owner = nullptr;
            doctype->holder_ = nullptr;
        }
        throw;
    }
    return document;
}
