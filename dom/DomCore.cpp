#include "dom/DomCore.h"

#include "html/Entities.h"
#include "text/Ansi.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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

// Makes room for one more item up front (so that the insertion that follows
// cannot fail half-way), keeping the geometric growth of the vector. Most
// elements of a page have one child, which needs no array at all.
void reserveOneMore(domcore_detail::TNodeVector& items)
{
    if (items.size() == items.capacity())
        items.reserve(items.empty() ? 1 : 2 * items.size());
}

// ---------------------------------------------------------------------------
// The node pool: blocks in size classes of 8 bytes, carved from chunks,
// recycled through one free list per class. When the last pooled node goes,
// all chunks but the first are given back, so memory does not stay tied up
// after a document is freed. Chunks grow from 64 KB to 2 MB; the big ones
// are aligned to 2 MB and offered to the kernel as huge pages, since on a
// large page faulting in node memory 4 KB at a time costs more than building
// the nodes. Under AddressSanitizer every node is a heap block of its own,
// so that misuse of a freed node is still caught.

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif

class TNodePool {
public:
    void* allocate(std::size_t size)
    {
        const std::size_t cls = classOf(size);
        if (!kPooled || cls >= kClasses)
            return ::operator new(size);
        void* block;
        if (FreeBlock* f = free_[cls]) {
            free_[cls] = f->next;
            block = f;
        } else {
            const std::size_t bytes = cls * kGrain;
            if (bytes > left_)
                newChunk();
            block = cursor_;
            cursor_ += bytes;
            left_ -= bytes;
        }
        ++live_;
        return block;
    }

    void release(void* p, std::size_t size) noexcept
    {
        const std::size_t cls = classOf(size);
        if (!kPooled || cls >= kClasses) {
            ::operator delete(p);
            return;
        }
        auto* f = static_cast<FreeBlock*>(p);
        f->next = free_[cls];
        free_[cls] = f;
        if (--live_ == 0)
            reset();
    }

private:
    // Nodes hold nothing aligned beyond 8 bytes.
    static constexpr std::size_t kGrain = 8;
    static constexpr std::size_t kClasses = 48; // blocks up to 376 bytes
    // Every block is distinct, even for a size of 0.
    static std::size_t classOf(std::size_t size) noexcept
    {
        return size == 0 ? 1 : (size + kGrain - 1) / kGrain;
    }

    static constexpr std::size_t kFirstChunk = 64 * 1024;
    static constexpr std::size_t kHugeChunk = 2 * 1024 * 1024;
    struct FreeBlock {
        FreeBlock* next;
    };
    // Each chunk starts with the link to the previous one and its size.
    struct Chunk {
        Chunk* previous;
        std::size_t bytes;
    };
    static constexpr std::size_t kHeader = (sizeof(Chunk) + kGrain - 1) / kGrain * kGrain;

    static void* mapHuge()
    {
        // Twice the size, then the unaligned ends are given back.
        const std::size_t span = 2 * kHugeChunk;
        void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        const auto base = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t aligned = (base + kHugeChunk - 1) & ~(kHugeChunk - 1);
        if (aligned > base)
            ::munmap(p, aligned - base);
        if (const std::uintptr_t tail = base + span - (aligned + kHugeChunk))
            ::munmap(reinterpret_cast<void*>(aligned + kHugeChunk), tail);
#ifdef MADV_HUGEPAGE
        ::madvise(reinterpret_cast<void*>(aligned), kHugeChunk, MADV_HUGEPAGE);
#endif
        return reinterpret_cast<void*>(aligned);
    }

    static void freeChunk(Chunk* chunk) noexcept
    {
        if (chunk->bytes == kHugeChunk)
            ::munmap(chunk, kHugeChunk);
        else
            std::free(chunk);
    }

    void newChunk()
    {
        std::size_t bytes = chunks_ ? std::min(2 * chunks_->bytes, kHugeChunk) : kFirstChunk;
        void* memory = bytes == kHugeChunk ? mapHuge() : std::malloc(bytes);
        if (!memory)
            throw std::bad_alloc();
        auto* chunk = static_cast<Chunk*>(memory);
        chunk->previous = chunks_;
        chunk->bytes = bytes;
        chunks_ = chunk;
        cursor_ = static_cast<char*>(memory) + kHeader;
        left_ = bytes - kHeader;
    }

    // Nothing is in use: keep the first (smallest) chunk, empty, and free
    // the rest, so that small documents one after another cost no system
    // calls and a big one leaves nothing behind.
    void reset() noexcept
    {
        if (!chunks_)
            return;
        Chunk* c = chunks_;
        while (c->previous) {
            Chunk* previous = c->previous;
            freeChunk(c);
            c = previous;
        }
        chunks_ = c;
        cursor_ = reinterpret_cast<char*>(c) + kHeader;
        left_ = c->bytes - kHeader;
        for (FreeBlock*& f : free_)
            f = nullptr;
    }

    FreeBlock* free_[kClasses] = {};
    Chunk* chunks_ = nullptr;
    char* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t live_ = 0;
};

// Trivially destructible, so it outlives every node, however late that goes.
constinit TNodePool nodePool;

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
// TNodeList, TNamedNodeMap, TNamespaceURIList

namespace domcore_detail {

void TNodeVector::reserve(std::size_t n)
{
    if (n <= capacity_)
        return;
    if (n > UINT32_MAX)
        throw std::bad_alloc();
    if (n == 1) {
        capacity_ = 1; // in place, nothing to move
        return;
    }
    auto** grown = static_cast<TNode**>(nodePool.allocate(n * sizeof(TNode*)));
    const std::uint32_t size = size_;
    if (size > 0)
        std::copy(begin(), end(), grown);
    release();
    store_.array = grown;
    size_ = size;
    capacity_ = static_cast<std::uint32_t>(n);
}

void TNodeVector::insert(TNode* const* at, TNode* node)
{
    const std::size_t index = static_cast<std::size_t>(at - begin());
    if (size_ == capacity_)
        reserve(capacity_ == 0 ? 1 : 2 * static_cast<std::size_t>(capacity_));
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
    std::swap(capacity_, other.capacity_);
}

void TNodeVector::release() noexcept
{
    if (capacity_ > 1)
        nodePool.release(store_.array, capacity_ * sizeof(TNode*));
    store_.array = nullptr;
    capacity_ = 0;
    size_ = 0;
}

} // namespace domcore_detail

int TNodeList::indexOf(const TNode* node) const
{
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i] == node)
            return static_cast<int>(i);
    return -1;
}

void TNodeList::add(TNode* node) { items_.push_back(node); }

void TNodeList::insert(int index, TNode* node)
{
    if (index < 0 || index > length())
        fail(INDEX_SIZE_ERR);
    items_.insert(items_.begin() + index, node);
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
}

void TNamedNodeMap::add(TNode* node)
{
    index_.reset();
    TNodeList::add(node);
}

void TNamedNodeMap::insert(int index, TNode* node)
{
    index_.reset();
    TNodeList::insert(index, node);
}

void TNamedNodeMap::deleteItem(int index)
{
    index_.reset();
    TNodeList::deleteItem(index);
}

void TNamedNodeMap::remove(const TNode* node)
{
    index_.reset();
    TNodeList::remove(node);
}

void TNamedNodeMap::clear(bool freeItems)
{
    index_.reset();
    TNodeList::clear(freeItems);
}

TNamedNodeMap::TIndex* TNamedNodeMap::index() const
{
    if (index_ || length() < kIndexFrom)
        return index_.get();
    auto index = std::make_unique<TIndex>();
    index->reserve(items_.size() * 2);
    for (TNode* node : items_)
        index->emplace(node->nodeName(), node); // the first of a name wins
    index_ = std::move(index);
    return index_.get();
}

TNode* TNamedNodeMap::getNamedItem(const std::u16string& name) const
{
    if (TIndex* index = this->index()) {
        auto found = index->find(name);
        return found == index->end() ? nullptr : found->second;
    }
    for (TNode* node : items_)
        if (node->nodeName() == name)
            return node;
    return nullptr;
}

std::unique_ptr<TNode> TNamedNodeMap::setNamedItem(TNode* node)
{
    requireNode(node);
    TNode* owner = owner_;
    if (node->ownerDocument_ != owner->ownerDocument_)
        fail(WRONG_DOCUMENT_ERR);
    // A node linked anywhere but in this map (another element's attribute, or
    // somebody's child) would end up in two lists and be freed twice.
    bool inThisMap = node->parent_ == owner && indexOf(node) >= 0;
    if (node->parent_ && !inThisMap)
        fail(INUSE_ATTRIBUTE_ERR);
    reserveOneMore(items_);
    const std::u16string name = node->nodeName();
    if (inThisMap)
        remove(node); // set again: it moves to the end
    TNode* old = getNamedItem(name);
    if (old) {
        TNodeList::remove(old);
        old->parent_ = nullptr;
    }
    items_.push_back(node);
    node->parent_ = owner;
    if (index_) {
        // Keeping the index up to date is cheaper than building it again.
        try {
            (*index_)[name] = node;
        } catch (...) {
            index_.reset();
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

static_assert(alignof(TDocument) <= 8 && alignof(TElement) <= 8 && alignof(TDocumentType) <= 8,
              "pool blocks are aligned to 8 bytes only");

void* TNode::operator new(std::size_t size) { return nodePool.allocate(size); }

void TNode::operator delete(void* p, std::size_t size) noexcept { nodePool.release(p, size); }

TNode::TNode(TDocument* ownerDocument, const std::u16string& namespaceURI,
             const std::u16string& qualifiedName, bool splitName)
    : ownerDocument_(ownerDocument)
{
    try {
        setNamespaceURI(namespaceURI);
        size_t colon = splitName ? qualifiedName.find(u':') : std::u16string::npos;
        if (colon != std::u16string::npos) {
            setPrefix(qualifiedName.substr(0, colon));
            text_ = qualifiedName.substr(colon + 1);
        } else {
            text_ = qualifiedName;
        }
    } catch (...) {
        delete rare(); // no destructor runs for a node that was never made
        throw;
    }
}

const std::u16string& TNode::emptyText() noexcept
{
    static const std::u16string none;
    return none;
}

TNode::TRareNames& TNode::makeRare()
{
    static_assert(alignof(TRareNames) > kFlagBits, "the flags need the low bits of the pointer");
    if (!rare())
        rare_ |= reinterpret_cast<std::uintptr_t>(new TRareNames());
    return *rare();
}

const std::u16string& TNode::prefix() const { return rare() ? rare()->prefix : emptyText(); }

void TNode::setPrefix(const std::u16string& text)
{
    if (rare() || !text.empty())
        makeRare().prefix = text;
    if (parent_ && nodeType() == ATTRIBUTE_NODE)
        if (TNamedNodeMap* map = parent_->attributes())
            map->namesChanged();
}

void TNode::setLocalName(const std::u16string& text)
{
    if (!(rare_ & kCharacterDataFlag))
        text_ = text;
    else if (rare() || !text.empty())
        makeRare().localName = text;
}

bool TNode::hasAttributes() const { return attributes() && !attributes()->items_.empty(); }

TNode::~TNode()
{
    // A tree may be nested a million levels deep (unclosed tags): instead of
    // letting each node destroy its children recursively, move every
    // descendant onto one explicit stack and delete them one by one, each
    // with its lists already emptied.
    std::vector<TNode*> pending;
    auto takeLinks = [&pending](TNode* node) {
        TNamedNodeMap* attributes = node->attributes();
        if (attributes)
            for (TNode* a : attributes->items_)
                pending.push_back(a);
        for (TNode* c : node->childNodes_.items_)
            pending.push_back(c);
        if (attributes) {
            attributes->items_.clear();
            attributes->namesChanged();
        }
        node->childNodes_.items_.clear();
    };
    takeLinks(this);
    while (!pending.empty()) {
        TNode* node = pending.back();
        pending.pop_back();
        takeLinks(node);
        delete node;
    }
    delete rare();
}

std::u16string TNode::nodeName() const
{
    if (!hasPrefix())
        return localName();
    return rare()->prefix + u':' + localName();
}

// Only character data has a value of its own (attributes compute theirs).
std::u16string TNode::nodeValue() const { return std::u16string(); }

TNode* TNode::parentNode() const { return parent_; }

bool TNode::canInsert(const TNode*) const { return false; }

std::unique_ptr<TNode> TNode::exportNode(TDocument*, bool) const { fail(NOT_SUPPORTED_ERR); }

void TNode::setNodeValue(const std::u16string&) { fail(NO_MODIFICATION_ALLOWED_ERR); }

std::u16string TNode::namespaceURI() const
{
    if (!rare() || rare()->namespaceIndex == 0 || !ownerDocument_)
        return std::u16string();
    return ownerDocument_->namespaceURIs().item(rare()->namespaceIndex);
}

void TNode::setNamespaceURI(const std::u16string& uri)
{
    if (uri.empty() || !ownerDocument_)
        return;
    const int index = ownerDocument_->namespaceURIs().add(uri);
    if (index != 0 || rare())
        makeRare().namespaceIndex = index;
}

TNode* TNode::insertBefore(TNode* newChild, TNode* refChild)
{
    requireNode(newChild);
    if (newChild->ownerDocument_ != ownerDocument_)
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
    if (refChild && childNodes_.indexOf(refChild) < 0)
        fail(NOT_FOUND_ERR);
    TNode* oldParent = newChild->parent_;
    int oldIndex = -1;
    if (oldParent) {
        oldIndex = oldParent->childNodes_.indexOf(newChild);
        // Linked, but not as a child: an attribute of an element.
        if (oldIndex < 0)
            fail(INUSE_ATTRIBUTE_ERR);
    }
    // Reserve first so that nothing can fail once the tree starts changing.
    reserveOneMore(childNodes_.items_);
    if (oldParent) {
        oldParent->childNodes_.items_.erase(oldParent->childNodes_.items_.begin() + oldIndex);
        newChild->parent_ = nullptr;
    }
    auto& items = childNodes_.items_;
    if (refChild)
        items.insert(items.begin() + childNodes_.indexOf(refChild), newChild);
    else
        items.push_back(newChild);
    newChild->parent_ = this;
    return newChild;
}

std::unique_ptr<TNode> TNode::removeChild(TNode* oldChild)
{
    int i = oldChild ? childNodes_.indexOf(oldChild) : -1;
    if (i < 0)
        fail(NOT_FOUND_ERR);
    childNodes_.items_.erase(childNodes_.items_.begin() + i);
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
    const auto& sourceItems = source->childNodes_.items_;
    tops.reserve(sourceItems.size());
    for (const TNode* child : sourceItems) {
        tops.push_back(copyOne(child));
        if (child->nodeType() == ELEMENT_NODE && child->hasChildNodes())
            work.push_back({child, tops.back().get()});
    }
    while (!work.empty()) {
        Work w = work.back();
        work.pop_back();
        for (const TNode* child : w.from->childNodes_.items_) {
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
            removeChild(childNodes_.item(childNodes_.length() - 1));
        throw;
    }
}

// ---------------------------------------------------------------------------
// Concrete nodes

TCharacterData::TCharacterData(TDocument* ownerDocument, std::u16string data)
    : TNode(ownerDocument)
{
    setFlag(kCharacterDataFlag, true);
    text_ = std::move(data);
}

std::unique_ptr<TNode> TComment::exportNode(TDocument* document, bool) const
{
    requireNode(document);
    return document->createComment(text_);
}

std::unique_ptr<TNode> TComment::cloneNode(bool) const { return ownerDocument_->createComment(text_); }

std::unique_ptr<TNode> TTextNode::exportNode(TDocument* document, bool) const
{
    requireNode(document);
    return document->createTextNode(text_);
}

std::unique_ptr<TNode> TTextNode::cloneNode(bool) const { return ownerDocument_->createTextNode(text_); }

std::unique_ptr<TNode> TCDATASection::exportNode(TDocument* document, bool) const
{
    requireNode(document);
    return document->createCDATASection(text_);
}

std::unique_ptr<TNode> TCDATASection::cloneNode(bool) const
{
    return ownerDocument_->createCDATASection(text_);
}

TAttr::TAttr(TDocument* ownerDocument, const std::u16string& name)
    : TNode(ownerDocument, std::u16string(), name, false)
{
}

std::u16string TAttr::nodeValue() const
{
    std::u16string value;
    for (int i = 0; i < childNodes_.length(); ++i) {
        const TNode* child = childNodes_.item(i);
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

bool TAttr::canInsert(const TNode* node) const
{
    if (!node)
        return false;
    int kind = node->nodeType();
    return kind == TEXT_NODE || kind == ENTITY_REFERENCE_NODE;
}

std::unique_ptr<TNode> TAttr::exportNode(TDocument* document, bool) const
{
    requireNode(document);
    std::unique_ptr<TAttr> copy = document->createAttribute(nodeName());
    copy->cloneChildrenFrom(this);
    return copy;
}

void TAttr::setNodeValue(const std::u16string& text)
{
    std::unique_ptr<TTextNode> node = ownerDocument_->createTextNode(text);
    childNodes_.clear(true);
    appendChild(std::move(node));
}

std::unique_ptr<TNode> TAttr::cloneNode(bool) const
{
    std::unique_ptr<TAttr> copy = ownerDocument_->createAttribute(nodeName());
    copy->cloneChildrenFrom(this);
    return copy;
}

TElement* TAttr::ownerElement() const { return dynamic_cast<TElement*>(parent_); }

TElement::TElement(TDocument* ownerDocument, const std::u16string& namespaceURI,
                   const std::u16string& qualifiedName, bool splitName)
    : TNode(ownerDocument, namespaceURI, qualifiedName, splitName)
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
    attributeMap_.items_.clear();
    attributeMap_.namesChanged();
    setFlag(kElementFlag, false); // ~TNode must not look for the map
}

bool TElement::canInsert(const TNode* node) const
{
    if (!node)
        return false;
    int kind = node->nodeType();
    return kind != ENTITY_NODE && kind != DOCUMENT_NODE && kind != DOCUMENT_TYPE_NODE &&
           kind != NOTATION_NODE;
}

std::unique_ptr<TNode> TElement::exportNode(TDocument* document, bool deep) const
{
    requireNode(document);
    std::unique_ptr<TElement> copy = document->createElement(nodeName());
    if (deep)
        copy->cloneChildrenFrom(this);
    return copy;
}

std::unique_ptr<TNode> TElement::cloneNode(bool deep) const
{
    std::unique_ptr<TElement> copy = ownerDocument_->createElement(nodeName());
    if (deep)
        copy->cloneChildrenFrom(this);
    return copy;
}

std::unique_ptr<TAttr> TElement::setAttributeNode(TAttr* attr)
{
    requireNode(attr);
    if (attr->parent_)
        fail(INUSE_ATTRIBUTE_ERR);
    std::unique_ptr<TNode> old = attributeMap_.setNamedItem(attr);
    if (auto* oldAttr = dynamic_cast<TAttr*>(old.get())) {
        old.release();
        return std::unique_ptr<TAttr>(oldAttr);
    }
    // Anything else under that name (only setNamedItem can put one there)
    // is unlinked and destroyed here.
    return nullptr;
}

TEntityReference::TEntityReference(TDocument* ownerDocument, const std::u16string& name)
    : TNode(ownerDocument, std::u16string(), name, false)
{
}

std::unique_ptr<TNode> TEntityReference::exportNode(TDocument* document, bool) const
{
    requireNode(document);
    return document->createEntityReference(nodeName());
}

std::unique_ptr<TNode> TEntityReference::cloneNode(bool) const
{
    return ownerDocument_->createEntityReference(nodeName());
}

TDocumentType::TDocumentType(TDocument* ownerDocument, const std::u16string& qualifiedName,
                             const std::u16string& publicId, const std::u16string& systemId)
    : TNode(ownerDocument, std::u16string(), qualifiedName, false), publicId(publicId), systemId(systemId)
{
}

std::unique_ptr<TNode> TDocumentType::cloneNode(bool) const
{
    return std::unique_ptr<TNode>(new TDocumentType(ownerDocument_, text_, publicId, systemId));
}

// ---------------------------------------------------------------------------
// TDocument

TDocument::TDocument() : TNode(this) {}

TDocument::~TDocument()
{
    doctype_.reset();
    // The children go in ~TNode.
}

bool TDocument::canInsert(const TNode* node) const
{
    if (!node)
        return false;
    switch (node->nodeType()) {
    case TEXT_NODE:
    case PROCESSING_INSTRUCTION_NODE:
    case COMMENT_NODE:
        return true;
    case ELEMENT_NODE:
        return documentElement() == nullptr;
    default:
        return false;
    }
}

std::unique_ptr<TNode> TDocument::cloneNode(bool) const
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
    for (int i = 0; i < childNodes_.length(); ++i)
        if (TNode* child = childNodes_.item(i); child->nodeType() == ELEMENT_NODE)
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
    childNodes_.clear(true);
}

std::unique_ptr<TElement> TDocument::createElement(const std::u16string& name)
{
    return std::unique_ptr<TElement>(new TElement(this, std::u16string(), name, false));
}

std::unique_ptr<TElement> TDocument::createElementNS(const std::u16string& namespaceURI,
                                                     const std::u16string& qualifiedName)
{
    return std::unique_ptr<TElement>(new TElement(this, namespaceURI, qualifiedName, true));
}

std::unique_ptr<TTextNode> TDocument::createTextNode(std::u16string data)
{
    return std::unique_ptr<TTextNode>(new TTextNode(this, std::move(data)));
}

std::unique_ptr<TComment> TDocument::createComment(std::u16string data)
{
    return std::unique_ptr<TComment>(new TComment(this, std::move(data)));
}

std::unique_ptr<TCDATASection> TDocument::createCDATASection(std::u16string data)
{
    return std::unique_ptr<TCDATASection>(new TCDATASection(this, std::move(data)));
}

std::unique_ptr<TAttr> TDocument::createAttribute(const std::u16string& name)
{
    return std::unique_ptr<TAttr>(new TAttr(this, name));
}

std::unique_ptr<TEntityReference> TDocument::createEntityReference(const std::u16string& name)
{
    return std::unique_ptr<TEntityReference>(new TEntityReference(this, name));
}

// ---------------------------------------------------------------------------
// DomImplementation

std::unique_ptr<TDocumentType> DomImplementation::createDocumentType(const std::u16string& qualifiedName,
                                                                     const std::u16string& publicId,
                                                                     const std::u16string& systemId)
{
    return std::unique_ptr<TDocumentType>(new TDocumentType(nullptr, qualifiedName, publicId, systemId));
}

std::unique_ptr<TDocument> DomImplementation::createEmptyDocument(TDocumentType* doctype)
{
    if (doctype && (doctype->ownerDocument_ || doctype->holder_))
        fail(WRONG_DOCUMENT_ERR);
    std::unique_ptr<TDocument> document(new TDocument());
    if (doctype) {
        document->doctype_.reset(doctype);
        doctype->ownerDocument_ = document.get();
        doctype->holder_ = document.get();
    }
    return document;
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
            doctype->ownerDocument_ = nullptr;
            doctype->holder_ = nullptr;
        }
        throw;
    }
    return document;
}
