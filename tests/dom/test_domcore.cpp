#include "dom/DomCore.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

std::unique_ptr<TDocument> newDocument()
{
    return DomImplementation::createEmptyDocument(nullptr);
}

// Raises a DomException with the given code, or the test fails.
void expectDomError(int code, const std::function<void()>& action)
{
    try {
        action();
        ADD_FAILURE() << "no DomException, expected code " << code;
    } catch (const DomException& e) {
        EXPECT_EQ(e.code, code);
        EXPECT_STREQ(e.what(), DomException::messageFor(code));
    }
}

// The node names of a list, for compact comparisons.
std::vector<std::u16string> names(const TNodeList& list)
{
    std::vector<std::u16string> result;
    for (int i = 0; i < list.length(); ++i)
        result.push_back(list.item(i)->nodeName());
    return result;
}

using Names = std::vector<std::u16string>;

} // namespace

TEST(DomException, MessagesAndClassName)
{
    DomException e(HIERARCHY_REQUEST_ERR);
    EXPECT_EQ(e.code, 3);
    EXPECT_EQ(e.message(), "Node is inserted somewhere it doesn't belong ");
    EXPECT_STREQ(e.className(), "DomException");
    const Exception& base = e;
    EXPECT_STREQ(base.className(), "DomException");

    EXPECT_STREQ(DomException::messageFor(1), "Index or size is negative, or greater than the allowed value");
    EXPECT_STREQ(DomException::messageFor(4), "Node is used in a different document than the one that created it");
    EXPECT_STREQ(DomException::messageFor(7),
                 "An attempt is made to modify an object where modifications are not allowed");
    EXPECT_STREQ(DomException::messageFor(8),
                 "An attempt is made to reference a node in a context where it does not exist");
    EXPECT_STREQ(DomException::messageFor(9),
                 "Implementation does not support the requested type of object or operation");
    EXPECT_STREQ(DomException::messageFor(10),
                 "An attempt is made to add an attribute that is already in use elsewhere");
    EXPECT_STREQ(DomException::messageFor(14), "An attempt is made to create or change an object in a way "
                                               "which is incorrect with regard to namespaces");
    EXPECT_STREQ(DomException::messageFor(15), "A parameter or an operation is not supported by the underlying object");
    EXPECT_STREQ(DomException::messageFor(0), "");
    EXPECT_STREQ(DomException::messageFor(16), "");
}

TEST(DomNodes, KindsNamesAndFactoryState)
{
    auto doc = newDocument();
    EXPECT_EQ(doc->nodeType(), DOCUMENT_NODE);
    EXPECT_EQ(doc->nodeName(), u"#document");
    EXPECT_EQ(doc->ownerDocument(), doc.get());
    EXPECT_EQ(doc->doctype(), nullptr);
    EXPECT_TRUE(doc->charset.empty());
    EXPECT_FALSE(doc->onWriteText);
    EXPECT_EQ(doc->attributes(), nullptr);

    auto text = doc->createTextNode(u"t");
    auto comment = doc->createComment(u"c");
    auto cdata = doc->createCDATASection(u"d");
    auto ref = doc->createEntityReference(u"amp");
    auto attr = doc->createAttribute(u"a");
    auto elem = doc->createElement(u"e");
    EXPECT_EQ(text->nodeType(), TEXT_NODE);
    EXPECT_EQ(text->nodeName(), u"#text");
    EXPECT_EQ(comment->nodeName(), u"#comment");
    EXPECT_EQ(comment->nodeType(), COMMENT_NODE);
    EXPECT_EQ(cdata->nodeName(), u"#cdata-section");
    EXPECT_EQ(cdata->nodeType(), CDATA_SECTION_NODE);
    EXPECT_EQ(cdata->nodeValue(), u"d");
    EXPECT_EQ(ref->nodeName(), u"amp");
    EXPECT_EQ(ref->nodeType(), ENTITY_REFERENCE_NODE);
    EXPECT_EQ(attr->nodeType(), ATTRIBUTE_NODE);
    EXPECT_EQ(attr->ownerElement(), nullptr);
    EXPECT_EQ(elem->nodeType(), ELEMENT_NODE);
    EXPECT_NE(elem->attributes(), nullptr);
    EXPECT_EQ(text->attributes(), nullptr);
    for (TNode* n : std::initializer_list<TNode*>{text.get(), comment.get(), cdata.get(), ref.get(), attr.get(), elem.get()}) {
        EXPECT_EQ(n->ownerDocument(), doc.get());
        EXPECT_EQ(n->parentNode(), nullptr);
        EXPECT_FALSE(n->hasChildNodes());
        EXPECT_FALSE(n->hasAttributes());
        EXPECT_EQ(n->firstChild(), nullptr);
    }
    EXPECT_EQ(text->length(), 1);
}

TEST(DomNodes, QualifiedNamesAndNamespaces)
{
    auto doc = newDocument();
    auto plain = doc->createElement(u"o:p");
    EXPECT_EQ(plain->localName(), u"o:p");
    EXPECT_EQ(plain->prefix(), u"");
    EXPECT_EQ(plain->nodeName(), u"o:p");
    EXPECT_EQ(plain->namespaceURI(), u"");

    auto ns = doc->createElementNS(u"urn:office", u"o:p");
    EXPECT_EQ(ns->prefix(), u"o");
    EXPECT_EQ(ns->localName(), u"p");
    EXPECT_EQ(ns->nodeName(), u"o:p");
    EXPECT_EQ(ns->namespaceURI(), u"urn:office");

    // Split at the first colon only; the same URI is stored once.
    auto ns2 = doc->createElementNS(u"urn:office", u"a:b:c");
    EXPECT_EQ(ns2->prefix(), u"a");
    EXPECT_EQ(ns2->localName(), u"b:c");
    EXPECT_EQ(doc->namespaceURIs().count(), 2);
    EXPECT_EQ(doc->namespaceURIs().item(0), u"");
    EXPECT_EQ(doc->namespaceURIs().item(1), u"urn:office");
    EXPECT_EQ(doc->namespaceURIs().item(5), u"");

    // An empty URI changes nothing.
    ns->setNamespaceURI(u"");
    EXPECT_EQ(ns->namespaceURI(), u"urn:office");
    ns->setNamespaceURI(u"urn:other");
    EXPECT_EQ(ns->namespaceURI(), u"urn:other");
    EXPECT_EQ(doc->namespaceURIs().add(u"urn:other"), 2);

    ns->setPrefix(u"");
    ns->setLocalName(u"x y");
    EXPECT_EQ(ns->nodeName(), u"x y");
}

TEST(DomTree, DocumentAcceptsOneElementTextAndComments)
{
    auto doc = newDocument();
    TElement* html = doc->appendChild(doc->createElement(u"html"));
    EXPECT_EQ(doc->documentElement(), html);
    EXPECT_EQ(html->parentNode(), doc.get());

    auto second = doc->createElement(u"body");
    try {
        doc->appendChild(second.get());
        ADD_FAILURE();
    } catch (const DomException& e) {
        EXPECT_EQ(e.code, HIERARCHY_REQUEST_ERR);
        EXPECT_EQ(e.message(), "Node is inserted somewhere it doesn't belong ");
    }
    EXPECT_EQ(second->parentNode(), nullptr);

    doc->appendChild(doc->createTextNode(u"\r\n"));
    doc->appendChild(doc->createComment(u"c"));
    EXPECT_EQ(names(doc->childNodes()), (Names{u"html", u"#text", u"#comment"}));

    auto cdata = doc->createCDATASection(u"x");
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { doc->appendChild(cdata.get()); });
    auto ref = doc->createEntityReference(u"amp");
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { doc->appendChild(ref.get()); });
    auto attr = doc->createAttribute(u"a");
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { doc->appendChild(attr.get()); });
    EXPECT_EQ(doc->childNodes().length(), 3);

    // Once the element is removed, another may come.
    std::unique_ptr<TNode> removed = doc->removeChild(html);
    EXPECT_EQ(removed->parentNode(), nullptr);
    EXPECT_EQ(doc->documentElement(), nullptr);
    doc->appendChild(second.release());
    EXPECT_EQ(doc->documentElement()->nodeName(), u"body");
}

TEST(DomTree, CyclesAreRefusedAndLeaveTheTreeAlone)
{
    auto doc = newDocument();
    TElement* a = doc->appendChild(doc->createElement(u"a"));
    TElement* b = a->appendChild(doc->createElement(u"b"));
    TElement* c = b->appendChild(doc->createElement(u"c"));

    expectDomError(HIERARCHY_REQUEST_ERR, [&] { c->appendChild(a); });
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { c->appendChild(b); });
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { c->appendChild(c); });
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { b->insertBefore(a, c); });
    EXPECT_EQ(a->parentNode(), doc.get());
    EXPECT_EQ(b->parentNode(), a);
    EXPECT_EQ(c->parentNode(), b);
    EXPECT_EQ(names(a->childNodes()), (Names{u"b"}));
    EXPECT_EQ(names(b->childNodes()), (Names{u"c"}));
    EXPECT_FALSE(c->hasChildNodes());

    // Also for a detached subtree.
    auto x = doc->createElement(u"x");
    TElement* y = x->appendChild(doc->createElement(u"y"));
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { y->appendChild(x.get()); });
    EXPECT_EQ(x->parentNode(), nullptr);
}

TEST(DomTree, AttributesAcceptOnlyTextAndEntityReferences)
{
    auto doc = newDocument();
    auto attr = doc->createAttribute(u"a");
    attr->appendChild(doc->createTextNode(u"x"));
    attr->appendChild(doc->createEntityReference(u"amp"));
    auto elem = doc->createElement(u"e");
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { attr->appendChild(elem.get()); });
    auto comment = doc->createComment(u"c");
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { attr->appendChild(comment.get()); });
    auto cdata = doc->createCDATASection(u"c");
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { attr->appendChild(cdata.get()); });
    EXPECT_EQ(attr->childNodes().length(), 2);

    // Leaf kinds accept nothing; an element accepts all but documents and types.
    auto text = doc->createTextNode(u"t");
    auto other = doc->createTextNode(u"u");
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { text->appendChild(other.get()); });
    auto ref = doc->createEntityReference(u"lt");
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { ref->appendChild(other.get()); });
    EXPECT_FALSE(elem->canInsert(doc.get()));
    auto type = DomImplementation::createDocumentType(u"html", u"", u"");
    EXPECT_FALSE(elem->canInsert(type.get()));
    EXPECT_TRUE(elem->canInsert(cdata.get()));
    EXPECT_TRUE(elem->canInsert(comment.get()));
    EXPECT_TRUE(elem->canInsert(ref.get()));
}

TEST(DomTree, NodesFromAnotherDocumentAreRefused)
{
    auto doc = newDocument();
    auto other = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"r"));
    auto foreign = other->createElement(u"f");
    expectDomError(WRONG_DOCUMENT_ERR, [&] { root->appendChild(foreign.get()); });
    auto foreignAttr = other->createAttribute(u"a");
    expectDomError(WRONG_DOCUMENT_ERR, [&] { root->setAttributeNode(foreignAttr.get()); });
    expectDomError(WRONG_DOCUMENT_ERR, [&] { root->attributes()->setNamedItem(foreignAttr.get()); });
    EXPECT_FALSE(root->hasChildNodes());
    EXPECT_FALSE(root->hasAttributes());
}

TEST(DomTree, AppendingALinkedNodeMovesIt)
{
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"root"));
    TElement* p1 = root->appendChild(doc->createElement(u"p1"));
    TElement* p2 = root->appendChild(doc->createElement(u"p2"));
    TTextNode* t = p1->appendChild(doc->createTextNode(u"t"));
    p2->appendChild(t);
    EXPECT_FALSE(p1->hasChildNodes());
    EXPECT_EQ(p2->firstChild(), t);
    EXPECT_EQ(t->parentNode(), p2);

    // Within one parent: p2 moved before p1, then to the end again.
    root->insertBefore(p2, p1);
    EXPECT_EQ(names(root->childNodes()), (Names{u"p2", u"p1"}));
    root->appendChild(p2);
    EXPECT_EQ(names(root->childNodes()), (Names{u"p1", u"p2"}));
}

TEST(DomTree, InsertBeforeReferenceRules)
{
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"root"));
    TElement* a = root->appendChild(doc->createElement(u"a"));
    TElement* c = root->appendChild(doc->createElement(u"c"));
    TElement* b = root->insertBefore(doc->createElement(u"b"), c);
    EXPECT_EQ(names(root->childNodes()), (Names{u"a", u"b", u"c"}));

    // refChild equal to newChild: nothing changes.
    EXPECT_EQ(root->insertBefore(b, b), b);
    EXPECT_EQ(names(root->childNodes()), (Names{u"a", u"b", u"c"}));

    // refChild that is not a child: NOT_FOUND_ERR, and newChild stays where it was.
    auto stranger = doc->createElement(u"s");
    TElement* nested = a->appendChild(doc->createElement(u"n"));
    expectDomError(NOT_FOUND_ERR, [&] { root->insertBefore(nested, stranger.get()); });
    EXPECT_EQ(nested->parentNode(), a);
    EXPECT_EQ(names(root->childNodes()), (Names{u"a", u"b", u"c"}));

    // removeChild of a non-child.
    expectDomError(NOT_FOUND_ERR, [&] { root->removeChild(nested); });
    expectDomError(NOT_FOUND_ERR, [&] { root->removeChild(nullptr); });
    EXPECT_EQ(nested->parentNode(), a);
    expectDomError(INVALID_ACCESS_ERR, [&] { root->appendChild(static_cast<TNode*>(nullptr)); });
}

TEST(DomTree, FailedUniquePtrAppendKeepsOwnership)
{
    auto doc = newDocument();
    doc->appendChild(doc->createElement(u"html"));
    auto second = doc->createElement(u"second");
    EXPECT_THROW(doc->appendChild(std::move(second)), DomException);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->nodeName(), u"second");
}

TEST(DomAttributes, SameNameReplacesAndMovesToTheEnd)
{
    auto doc = newDocument();
    TElement* e = doc->appendChild(doc->createElement(u"e"));
    auto a1 = doc->createAttribute(u"a");
    TAttr* a1raw = a1.get();
    EXPECT_EQ(e->setAttributeNode(std::move(a1)), nullptr);
    EXPECT_EQ(e->setAttributeNode(doc->createAttribute(u"b")), nullptr);
    EXPECT_EQ(a1raw->ownerElement(), e);
    EXPECT_EQ(a1raw->parentNode(), nullptr); // an attribute has no parent node
    EXPECT_TRUE(e->hasAttributes());

    auto a2 = doc->createAttribute(u"a");
    TAttr* a2raw = a2.get();
    std::unique_ptr<TAttr> old = e->setAttributeNode(std::move(a2));
    ASSERT_EQ(old.get(), a1raw);
    EXPECT_EQ(old->ownerElement(), nullptr);
    EXPECT_EQ(a2raw->ownerElement(), e);
    EXPECT_EQ(names(*e->attributes()), (Names{u"b", u"a"}));
    EXPECT_EQ(e->attributes()->getNamedItem(u"a"), a2raw);
    EXPECT_EQ(e->attributes()->getNamedItem(u"A"), nullptr);

    // The returned attribute can be set on another element.
    TElement* f = e->appendChild(doc->createElement(u"f"));
    EXPECT_EQ(f->setAttributeNode(std::move(old)), nullptr);
    EXPECT_EQ(a1raw->ownerElement(), f);
}

// Small maps compare names in place: a prefixed name matches only whole.
TEST(DomAttributes, SmallMapsMatchPrefixedNamesWhole)
{
    auto doc = newDocument();
    TElement* e = doc->appendChild(doc->createElement(u"e"));
    auto made = doc->createAttribute(u"b");
    TAttr* b = made.get();
    ASSERT_EQ(e->setAttributeNode(std::move(made)), nullptr);
    b->setPrefix(u"x");
    ASSERT_EQ(e->setAttributeNode(doc->createAttribute(u"c")), nullptr);
    TNamedNodeMap& map = *e->attributes();
    EXPECT_EQ(map.getNamedItem(u"x:b"), b);
    for (const char16_t* miss : {u"b", u"x", u"x:", u":b", u"xb", u"x-b", u"x:bb", u"xx:b", u"y:b"})
        EXPECT_EQ(map.getNamedItem(miss), nullptr) << std::string(miss, miss + std::char_traits<char16_t>::length(miss));
    // Setting an attribute of that whole name replaces it.
    auto same = doc->createAttribute(u"x:b");
    std::unique_ptr<TAttr> old = e->setAttributeNode(std::move(same));
    EXPECT_EQ(old.get(), b);
    EXPECT_EQ(map.length(), 2);
}

// Large maps are searched through an index; it must agree with the list
// whatever changed the list.
TEST(DomAttributes, ManyAttributesFindAndReplaceByName)
{
    auto doc = newDocument();
    TElement* e = doc->appendChild(doc->createElement(u"e"));
    const int count = 100000;
    for (int i = 0; i < count; ++i) {
        std::u16string name = u"b";
        for (char c : std::to_string(i))
            name += static_cast<char16_t>(c);
        ASSERT_EQ(e->setAttributeNode(doc->createAttribute(name)), nullptr);
    }
    TNamedNodeMap& map = *e->attributes();
    ASSERT_EQ(map.length(), count);
    TNode* b500 = map.getNamedItem(u"b500");
    ASSERT_NE(b500, nullptr);
    EXPECT_EQ(b500, map.item(500));
    EXPECT_EQ(map.getNamedItem(u"B500"), nullptr);

    // Replacing keeps one entry of the name, at the end.
    auto again = doc->createAttribute(u"b500");
    TAttr* againRaw = again.get();
    std::unique_ptr<TAttr> old = e->setAttributeNode(std::move(again));
    EXPECT_EQ(old.get(), b500);
    EXPECT_EQ(map.length(), count);
    EXPECT_EQ(map.getNamedItem(u"b500"), againRaw);
    EXPECT_EQ(map.item(count - 1), againRaw);

    // Plain list edits and renames are seen by later searches.
    map.deleteItem(count - 1);
    EXPECT_EQ(map.getNamedItem(u"b500"), nullptr);
    delete againRaw;
    TNode* b7 = map.getNamedItem(u"b7");
    ASSERT_NE(b7, nullptr);
    b7->setPrefix(u"x");
    EXPECT_EQ(map.getNamedItem(u"b7"), nullptr);
    EXPECT_EQ(map.getNamedItem(u"x:b7"), b7);
    map.add(old.release());
    EXPECT_EQ(map.getNamedItem(u"b500"), b500);
}

TEST(DomAttributes, AttributeInUseIsRefused)
{
    auto doc = newDocument();
    TElement* e = doc->appendChild(doc->createElement(u"e"));
    TElement* f = e->appendChild(doc->createElement(u"f"));
    auto owned = doc->createAttribute(u"a");
    TAttr* a = owned.get();
    e->setAttributeNode(std::move(owned));
    expectDomError(INUSE_ATTRIBUTE_ERR, [&] { f->setAttributeNode(a); });
    expectDomError(INUSE_ATTRIBUTE_ERR, [&] { e->setAttributeNode(a); });
    expectDomError(INUSE_ATTRIBUTE_ERR, [&] { f->attributes()->setNamedItem(a); });
    // Appending an element's attribute as a child would link it twice.
    expectDomError(INUSE_ATTRIBUTE_ERR, [&] { f->appendChild(a); });
    EXPECT_EQ(a->ownerElement(), e);
    EXPECT_EQ(names(*e->attributes()), (Names{u"a"}));
    EXPECT_FALSE(f->hasAttributes());
    EXPECT_FALSE(f->hasChildNodes());
    // A node that is somebody's child cannot become an attribute either.
    auto t = doc->createElement(u"t");
    TElement* child = f->appendChild(std::move(t));
    expectDomError(INUSE_ATTRIBUTE_ERR, [&] { e->attributes()->setNamedItem(child); });
    EXPECT_EQ(child->parentNode(), f);
}

TEST(DomAttributes, SetNamedItemTwiceKeepsOneEntry)
{
    auto doc = newDocument();
    TElement* e = doc->appendChild(doc->createElement(u"e"));
    TNamedNodeMap* map = e->attributes();
    auto a = doc->createAttribute(u"a");
    TAttr* raw = a.get();
    EXPECT_EQ(map->setNamedItem(a.release()), nullptr);
    EXPECT_EQ(raw->ownerElement(), e);
    map->setNamedItem(doc->createAttribute(u"b").release());
    // Set again: no copy handed back (it is still in the map), moved last.
    EXPECT_EQ(map->setNamedItem(raw), nullptr);
    EXPECT_EQ(names(*map), (Names{u"b", u"a"}));
}

TEST(DomAttributes, ValueComputedFromChildren)
{
    auto doc = newDocument();
    auto attr = doc->createAttribute(u"v");
    attr->appendChild(doc->createTextNode(u"x"));
    attr->appendChild(doc->createEntityReference(u"amp"));
    attr->appendChild(doc->createTextNode(u"y"));
    EXPECT_EQ(attr->nodeValue(), u"x&y");
    attr->appendChild(doc->createEntityReference(u"nosuch"));
    attr->appendChild(doc->createEntityReference(u"euro"));
    EXPECT_EQ(attr->nodeValue(), u"x&y \u20AC");

    attr->setNodeValue(u"plain");
    EXPECT_EQ(attr->childNodes().length(), 1);
    EXPECT_EQ(attr->firstChild()->nodeType(), TEXT_NODE);
    EXPECT_EQ(attr->nodeValue(), u"plain");
}

TEST(DomNodes, SetNodeValue)
{
    auto doc = newDocument();
    auto text = doc->createTextNode(u"a");
    text->setNodeValue(u"bc");
    EXPECT_EQ(text->nodeValue(), u"bc");
    EXPECT_EQ(text->length(), 2);
    auto elem = doc->createElement(u"e");
    expectDomError(NO_MODIFICATION_ALLOWED_ERR, [&] { elem->setNodeValue(u"x"); });
    auto ref = doc->createEntityReference(u"amp");
    expectDomError(NO_MODIFICATION_ALLOWED_ERR, [&] { ref->setNodeValue(u"x"); });
    expectDomError(NO_MODIFICATION_ALLOWED_ERR, [&] { doc->setNodeValue(u"x"); });
    auto type = DomImplementation::createDocumentType(u"html", u"", u"");
    expectDomError(NO_MODIFICATION_ALLOWED_ERR, [&] { type->setNodeValue(u"x"); });
    EXPECT_EQ(elem->nodeValue(), u"");
}

TEST(DomNodeList, ItemBoundsAndRawEdits)
{
    auto doc = newDocument();
    TElement* e = doc->appendChild(doc->createElement(u"e"));
    TElement* a = e->appendChild(doc->createElement(u"a"));
    TElement* b = e->appendChild(doc->createElement(u"b"));
    TNodeList& list = e->childNodes();
    EXPECT_EQ(list.owner(), e);
    EXPECT_EQ(list.item(-1), nullptr);
    EXPECT_EQ(list.item(list.length()), nullptr);
    EXPECT_EQ(list.item(1), b);
    EXPECT_EQ(list.indexOf(b), 1);
    EXPECT_EQ(list.indexOf(doc.get()), -1);

    TNodeList scratch(nullptr);
    scratch.add(a);
    scratch.add(b);
    scratch.insert(0, b);
    EXPECT_EQ(scratch.length(), 3);
    scratch.remove(b); // first occurrence only
    EXPECT_EQ(scratch.item(0), a);
    EXPECT_EQ(scratch.item(1), b);
    scratch.deleteItem(0);
    EXPECT_EQ(scratch.item(0), b);
    expectDomError(INDEX_SIZE_ERR, [&] { scratch.deleteItem(5); });
    expectDomError(INDEX_SIZE_ERR, [&] { scratch.insert(-1, a); });
    scratch.clear(false);
    EXPECT_EQ(scratch.length(), 0);
    EXPECT_EQ(e->childNodes().length(), 2);
}

TEST(DomDocument, DoctypeOwnershipAndClear)
{
    auto type = DomImplementation::createDocumentType(u"HTML", u"-//W3C//DTD HTML 4.01//EN", u"sys");
    EXPECT_EQ(type->ownerDocument(), nullptr);
    EXPECT_EQ(type->nodeName(), u"HTML");
    EXPECT_EQ(type->nodeType(), DOCUMENT_TYPE_NODE);
    EXPECT_EQ(type->publicId, u"-//W3C//DTD HTML 4.01//EN");
    EXPECT_EQ(type->systemId, u"sys");
    EXPECT_EQ(type->declaration, u"");
    TDocumentType* typeRaw = type.get();
    auto doc = DomImplementation::createEmptyDocument(type.get());
    type.release();
    EXPECT_EQ(doc->doctype(), typeRaw);
    EXPECT_EQ(typeRaw->ownerDocument(), doc.get());

    // A document type that already has a document cannot start another.
    expectDomError(WRONG_DOCUMENT_ERR, [&] { DomImplementation::createEmptyDocument(typeRaw); });
    expectDomError(WRONG_DOCUMENT_ERR, [&] { DomImplementation::createDocument(u"", u"html", typeRaw); });
    auto other = newDocument();
    expectDomError(WRONG_DOCUMENT_ERR, [&] { other->setDoctype(typeRaw); });
    EXPECT_EQ(other->doctype(), nullptr);

    // setDoctype: the same one changes nothing, a new one replaces it (its
    // owner document stays unset), none removes it.
    doc->setDoctype(typeRaw);
    EXPECT_EQ(doc->doctype(), typeRaw);
    auto second = DomImplementation::createDocumentType(u"x", u"", u"");
    TDocumentType* secondRaw = second.get();
    doc->setDoctype(second.release());
    EXPECT_EQ(doc->doctype(), secondRaw);
    EXPECT_EQ(secondRaw->ownerDocument(), nullptr);
    // Held by doc now, so neither another document nor a new one may take it.
    expectDomError(WRONG_DOCUMENT_ERR, [&] { other->setDoctype(secondRaw); });
    expectDomError(WRONG_DOCUMENT_ERR, [&] { DomImplementation::createEmptyDocument(secondRaw); });

    doc->charset = u"windows-1251";
    doc->onWriteText = [](const std::u16string&, int) {};
    doc->createElementNS(u"urn:x", u"a:b");
    doc->appendChild(doc->createElement(u"html"))->appendChild(doc->createTextNode(u"t"));
    doc->clear();
    EXPECT_EQ(doc->doctype(), nullptr);
    EXPECT_FALSE(doc->hasChildNodes());
    EXPECT_EQ(doc->namespaceURIs().count(), 1);
    EXPECT_EQ(doc->charset, u"windows-1251");
    EXPECT_TRUE(doc->onWriteText);
    doc->setDoctype(nullptr);
    EXPECT_EQ(doc->doctype(), nullptr);
}

TEST(DomDocument, CreateDocumentMakesTheRootElement)
{
    auto doc = DomImplementation::createDocument(u"urn:x", u"h:html", nullptr);
    ASSERT_NE(doc->documentElement(), nullptr);
    EXPECT_EQ(doc->documentElement()->prefix(), u"h");
    EXPECT_EQ(doc->documentElement()->localName(), u"html");
    EXPECT_EQ(doc->documentElement()->namespaceURI(), u"urn:x");
}

TEST(DomCopies, CloneNodeShallowAndDeep)
{
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElementNS(u"urn:x", u"o:root"));
    auto attrOwned = doc->createAttribute(u"id");
    attrOwned->appendChild(doc->createTextNode(u"1"));
    attrOwned->appendChild(doc->createEntityReference(u"amp"));
    TAttr* attr = attrOwned.get();
    root->setAttributeNode(std::move(attrOwned));
    TElement* child = root->appendChild(doc->createElement(u"child"));
    child->appendChild(doc->createTextNode(u"text"));
    root->appendChild(doc->createComment(u"c"));
    root->appendChild(doc->createCDATASection(u"d"));

    std::unique_ptr<TNode> shallow = root->cloneNode(false);
    EXPECT_EQ(shallow->nodeName(), u"o:root");
    EXPECT_EQ(shallow->prefix(), u""); // made by createElement: not split
    EXPECT_FALSE(shallow->hasChildNodes());
    EXPECT_FALSE(shallow->hasAttributes()); // attributes are not copied
    EXPECT_EQ(shallow->parentNode(), nullptr);

    std::unique_ptr<TNode> deep = root->cloneNode(true);
    EXPECT_EQ(names(deep->childNodes()), (Names{u"child", u"#comment", u"#cdata-section"}));
    EXPECT_NE(deep->firstChild(), child);
    EXPECT_EQ(deep->firstChild()->firstChild()->nodeValue(), u"text");
    EXPECT_EQ(deep->firstChild()->parentNode(), deep.get());
    EXPECT_EQ(deep->childNodes().item(2)->nodeType(), CDATA_SECTION_NODE);
    EXPECT_FALSE(deep->hasAttributes());

    // An attribute is always copied with its children.
    std::unique_ptr<TNode> attrCopy = attr->cloneNode(false);
    EXPECT_EQ(attrCopy->nodeValue(), u"1&");
    EXPECT_EQ(static_cast<TAttr*>(attrCopy.get())->ownerElement(), nullptr);
}

TEST(DomCopies, ExportNodeIntoAnotherDocument)
{
    auto doc = newDocument();
    auto other = newDocument();
    auto text = doc->createTextNode(u"t");
    std::unique_ptr<TNode> exported = text->exportNode(other.get(), true);
    EXPECT_EQ(exported->ownerDocument(), other.get());
    EXPECT_EQ(exported->nodeValue(), u"t");
    EXPECT_EQ(doc->createComment(u"c")->exportNode(other.get(), false)->nodeType(), COMMENT_NODE);
    EXPECT_EQ(doc->createCDATASection(u"c")->exportNode(other.get(), false)->nodeType(), CDATA_SECTION_NODE);
    EXPECT_EQ(doc->createEntityReference(u"lt")->exportNode(other.get(), false)->nodeName(), u"lt");

    auto elem = doc->createElement(u"e");
    EXPECT_EQ(elem->exportNode(other.get(), true)->ownerDocument(), other.get());
    // With children, the copies belong to the source document: refused.
    elem->appendChild(doc->createTextNode(u"x"));
    EXPECT_FALSE(elem->exportNode(other.get(), false)->hasChildNodes());
    expectDomError(WRONG_DOCUMENT_ERR, [&] { elem->exportNode(other.get(), true); });
    auto attr = doc->createAttribute(u"a");
    EXPECT_EQ(attr->exportNode(other.get(), true)->nodeName(), u"a");
    attr->appendChild(doc->createTextNode(u"x"));
    expectDomError(WRONG_DOCUMENT_ERR, [&] { attr->exportNode(other.get(), true); });

    auto type = DomImplementation::createDocumentType(u"html", u"", u"");
    expectDomError(NOT_SUPPORTED_ERR, [&] { type->exportNode(other.get(), true); });
    expectDomError(NOT_SUPPORTED_ERR, [&] { doc->exportNode(other.get(), true); });
}

TEST(DomCopies, CloneDocument)
{
    // Built as the tree builder does: the document type has no owner document.
    auto doc = newDocument();
    auto type = DomImplementation::createDocumentType(u"HTML", u"pub", u"sys");
    type->declaration = u" HTML>";
    doc->setDoctype(type.release());
    TElement* html = doc->appendChild(doc->createElement(u"html"));
    html->appendChild(doc->createElement(u"body"));

    std::unique_ptr<TNode> copyNode = doc->cloneNode(true);
    auto* copy = static_cast<TDocument*>(copyNode.get());
    ASSERT_NE(copy->documentElement(), nullptr);
    EXPECT_EQ(copy->documentElement()->nodeName(), u"html");
    EXPECT_FALSE(copy->documentElement()->hasChildNodes());
    ASSERT_NE(copy->doctype(), nullptr);
    EXPECT_EQ(copy->doctype()->publicId, u"pub");
    EXPECT_EQ(copy->doctype()->declaration, u"");
    EXPECT_EQ(copy->doctype()->ownerDocument(), copy);

    // A document whose type was given at creation: the copied type keeps
    // that owner and is refused.
    auto owned = DomImplementation::createEmptyDocument(
        DomImplementation::createDocumentType(u"HTML", u"", u"").release());
    owned->appendChild(owned->createElement(u"html"));
    expectDomError(WRONG_DOCUMENT_ERR, [&] { owned->cloneNode(false); });

    // Without a document type or a document element: copied without them.
    auto bare = newDocument();
    std::unique_ptr<TNode> bareCopy = bare->cloneNode(false);
    EXPECT_EQ(static_cast<TDocument*>(bareCopy.get())->doctype(), nullptr);
    EXPECT_FALSE(bareCopy->hasChildNodes());
}

TEST(DomCopies, CloneChildrenFromIsAllOrNothing)
{
    auto doc = newDocument();
    auto source = doc->createElement(u"s");
    source->appendChild(doc->createComment(u"c"));
    source->appendChild(doc->createElement(u"one"));
    source->appendChild(doc->createElement(u"two"));
    // The document takes the comment and one element, then refuses the second.
    expectDomError(HIERARCHY_REQUEST_ERR, [&] { doc->cloneChildrenFrom(source.get()); });
    EXPECT_FALSE(doc->hasChildNodes());

    auto target = doc->createElement(u"t");
    target->appendChild(doc->createTextNode(u"keep"));
    target->cloneChildrenFrom(source.get());
    EXPECT_EQ(names(target->childNodes()), (Names{u"#text", u"#comment", u"one", u"two"}));
    // Copying an element's children onto itself copies them once.
    target->cloneChildrenFrom(target.get());
    EXPECT_EQ(target->childNodes().length(), 8);
}

namespace {

// A chain of depth nested elements below a new document's root.
std::unique_ptr<TDocument> deepDocument(int depth)
{
    auto doc = newDocument();
    TNode* parent = doc.get();
    for (int i = 0; i < depth; ++i)
        parent = parent->appendChild(doc->createElement(u"div"));
    parent->appendChild(doc->createTextNode(u"bottom"));
    return doc;
}

} // namespace

TEST(DomDeep, MillionLevelsAreBuiltCopiedAndDestroyed)
{
    const int depth = 1000000;
    auto doc = deepDocument(depth);
    // Copy deep: no recursion per level either.
    std::unique_ptr<TNode> copy = doc->documentElement()->cloneNode(true);
    int levels = 0;
    const TNode* n = copy.get();
    while (n->firstChild() && n->firstChild()->nodeType() == ELEMENT_NODE) {
        n = n->firstChild();
        ++levels;
    }
    EXPECT_EQ(levels, depth - 1);
    EXPECT_EQ(n->firstChild()->nodeValue(), u"bottom");
    copy.reset();
    // Detach a deep subtree and destroy it, then the document itself.
    TNode* second = doc->documentElement()->firstChild();
    std::unique_ptr<TNode> removed = doc->documentElement()->removeChild(second);
    removed.reset();
    doc->appendChild(doc->createComment(u"c"));
    doc->documentElement()->appendChild(doc->createElement(u"x"));
    doc.reset();
    auto again = deepDocument(depth);
    again->clear();
    EXPECT_FALSE(again->hasChildNodes());
}

TEST(DomWide, ManySiblingsAppend)
{
    // Appending must not copy the sibling list each time: a page with
    // hundreds of thousands of paragraphs in one body is ordinary input.
    const int count = 300000;
    auto doc = newDocument();
    TElement* body = doc->appendChild(doc->createElement(u"body"));
    for (int i = 0; i < count; ++i)
        body->appendChild(doc->createTextNode(u"t"));
    EXPECT_EQ(body->childNodes().length(), count);
    EXPECT_EQ(body->childNodes().item(count - 1)->parentNode(), body);
}
