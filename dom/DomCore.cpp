#include "dom/DomCore.h"

#include "html/Entities.h"
#include "text/Ansi.h"

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
// cannot fail half-way), keeping the geometric growth of the vector.
void reserveOneMore(std::vector<TNode*>& items)
{
    if (items.size() == items.capacity())
        items.reserve(items.empty() ? 4 : 2 * items.size());
}

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

int TNodeList::length() const { return static_cast<int>(items_.size()); }

TNode* TNodeList::item(int index) const
{
    if (index < 0 || index >= length())
        return nullptr;
    return items_[static_cast<size_t>(index)];
}

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
    std::vector<TNode*> items;
    items.swap(items_);
    if (freeItems)
        for (TNode* node : items)
            delete node;
}

TNode* TNamedNodeMap::getNamedItem(const std::u16string& name) const
{
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
    bool inThisMap = indexOf(node) >= 0;
    if (node->parent_ && !(node->parent_ == owner && inThisMap))
        fail(INUSE_ATTRIBUTE_ERR);
    reserveOneMore(items_);
    if (inThisMap)
        remove(node); // set again: it moves to the end
    TNode* old = getNamedItem(node->nodeName());
    if (old) {
        remove(old);
        old->parent_ = nullptr;
    }
    items_.push_back(node);
    node->parent_ = owner;
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

TNode::TNode(TDocument* ownerDocument, const std::u16string& namespaceURI,
             const std::u16string& qualifiedName, bool splitName)
    : ownerDocument_(ownerDocument)
{
    setNamespaceURI(namespaceURI);
    size_t colon = splitName ? qualifiedName.find(u':') : std::u16string::npos;
    if (colon != std::u16string::npos) {
        prefix_ = qualifiedName.substr(0, colon);
        localName_ = qualifiedName.substr(colon + 1);
    } else {
        localName_ = qualifiedName;
    }
}

TNode::~TNode()
{
    // A tree may be nested a million levels deep (unclosed tags): instead of
    // letting each node destroy its children recursively, move every
    // descendant onto one explicit stack and delete them one by one, each
    // with its lists already emptied.
    std::vector<TNode*> pending;
    auto takeLinks = [&pending](TNode* node) {
        if (node->attributes_)
            for (TNode* a : node->attributes_->items_)
                pending.push_back(a);
        for (TNode* c : node->childNodes_.items_)
            pending.push_back(c);
        if (node->attributes_)
            node->attributes_->items_.clear();
        node->childNodes_.items_.clear();
    };
    takeLinks(this);
    while (!pending.empty()) {
        TNode* node = pending.back();
        pending.pop_back();
        takeLinks(node);
        delete node;
    }
}

std::u16string TNode::nodeName() const
{
    if (prefix_.empty())
        return localName_;
    return prefix_ + u':' + localName_;
}

std::u16string TNode::nodeValue() const { return value_; }

TNode* TNode::parentNode() const { return parent_; }

bool TNode::canInsert(const TNode*) const { return false; }

std::unique_ptr<TNode> TNode::exportNode(TDocument*, bool) const { fail(NOT_SUPPORTED_ERR); }

void TNode::setNodeValue(const std::u16string&) { fail(NO_MODIFICATION_ALLOWED_ERR); }

std::u16string TNode::namespaceURI() const
{
    if (namespaceIndex_ == 0 || !ownerDocument_)
        return std::u16string();
    return ownerDocument_->namespaceURIs().item(namespaceIndex_);
}

void TNode::setNamespaceURI(const std::u16string& uri)
{
    if (uri.empty() || !ownerDocument_)
        return;
    namespaceIndex_ = ownerDocument_->namespaceURIs().add(uri);
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

TCharacterData::TCharacterData(TDocument* ownerDocument, const std::u16string& data)
    : TNode(ownerDocument, std::u16string(), std::u16string(), false)
{
    value_ = data;
}

std::unique_ptr<TNode> TComment::exportNode(TDocument* document, bool) const
{
    requireNode(document);
    return document->createComment(value_);
}

std::unique_ptr<TNode> TComment::cloneNode(bool) const { return ownerDocument_->createComment(value_); }

std::unique_ptr<TNode> TTextNode::exportNode(TDocument* document, bool) const
{
    requireNode(document);
    return document->createTextNode(value_);
}

std::unique_ptr<TNode> TTextNode::cloneNode(bool) const { return ownerDocument_->createTextNode(value_); }

std::unique_ptr<TNode> TCDATASection::exportNode(TDocument* document, bool) const
{
    requireNode(document);
    return document->createCDATASection(value_);
}

std::unique_ptr<TNode> TCDATASection::cloneNode(bool) const
{
    return ownerDocument_->createCDATASection(value_);
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
            value += child->value_;
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
    attributes_ = std::make_unique<TNamedNodeMap>(this);
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
    std::unique_ptr<TNode> old = attributes_->setNamedItem(attr);
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
    return std::unique_ptr<TNode>(new TDocumentType(ownerDocument_, localName_, publicId, systemId));
}

// ---------------------------------------------------------------------------
// TDocument

TDocument::TDocument() : TNode(this, std::u16string(), std::u16string(), false) {}

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

std::unique_ptr<TTextNode> TDocument::createTextNode(const std::u16string& data)
{
    return std::unique_ptr<TTextNode>(new TTextNode(this, data));
}

std::unique_ptr<TComment> TDocument::createComment(const std::u16string& data)
{
    return std::unique_ptr<TComment>(new TComment(this, data));
}

std::unique_ptr<TCDATASection> TDocument::createCDATASection(const std::u16string& data)
{
    return std::unique_ptr<TCDATASection>(new TCDATASection(this, data));
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
