// How nodes are stored: blocks in their document's memory, compact child lists, names kept out
// of the node, attribute maps inside elements, and the writer handing large
// documents on in pieces. Each of these must be invisible from outside.
#include "dom/DomCore.h"
#include "text/Streams.h"

#include <gtest/gtest.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::unique_ptr<TDocument> newDocument()
{
    return DomImplementation::createEmptyDocument(nullptr);
}

std::u16string numbered(const char16_t* stem, int i)
{
    std::u16string s = stem;
    for (char c : std::to_string(i))
        s += static_cast<char16_t>(c);
    return s;
}

std::string utf16le(const std::u16string& text)
{
    std::string bytes("\xFF\xFE", 2);
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

} // namespace

TEST(DomStorage, RecycledNodesKeepTheirOwnContent)
{
    // Freed blocks are reused at once; every survivor must keep its text.
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"root"));
    std::vector<std::unique_ptr<TNode>> detached;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 2000; ++i) {
            if (i % 3 == 0)
                detached.push_back(doc->createTextNode(numbered(u"detached text number ", i)));
            else
                root->appendChild(doc->createTextNode(numbered(u"t", i)));
        }
        // Free every other detached node and every other child.
        for (size_t i = 0; i < detached.size(); i += 2)
            detached[i].reset();
        for (int i = root->childNodes().length() - 1; i >= 0; i -= 2)
            root->removeChild(root->childNodes().item(i));
    }
    for (int i = 0; i < root->childNodes().length(); ++i) {
        auto* text = static_cast<TTextNode*>(root->childNodes().item(i));
        ASSERT_EQ(text->data().substr(0, 1), u"t");
        EXPECT_EQ(text->parentNode(), root);
    }
    for (const auto& node : detached) {
        if (node) {
            EXPECT_EQ(static_cast<TTextNode*>(node.get())->data().substr(0, 9), u"detached ");
        }
    }
}

TEST(DomStorage, DetachedNodesOutliveTheirDocumentsTree)
{
    // The last node to go may be one a caller held; later documents are
    // built from fresh or recycled memory alike.
    std::unique_ptr<TElement> kept;
    {
        auto doc = newDocument();
        TElement* root = doc->appendChild(doc->createElement(u"root"));
        for (int i = 0; i < 50000; ++i)
            root->appendChild(doc->createElement(u"e"));
        kept = doc->createElement(u"kept");
        auto attr = doc->createAttribute(u"a");
        attr->setNodeValue(u"v");
        kept->setAttributeNode(std::move(attr));
        doc->clear();
        EXPECT_FALSE(doc->hasChildNodes());
        EXPECT_EQ(kept->nodeName(), u"kept");
        EXPECT_EQ(kept->attributes()->item(0)->nodeValue(), u"v");
        doc->appendChild(doc->createElement(u"again"))->appendChild(doc->createTextNode(u"x"));
        EXPECT_EQ(doc->toXML(), u"<again>x</again>");
        // A node lives in its document's memory: it goes first.
        kept.reset();
    }
    for (int run = 0; run < 2; ++run) {
        auto doc = newDocument();
        TElement* root = doc->appendChild(doc->createElement(u"r"));
        for (int i = 0; i < 30000; ++i)
            root->appendChild(doc->createElement(u"c"))->appendChild(doc->createTextNode(u"text"));
        EXPECT_EQ(root->childNodes().length(), 30000);
        EXPECT_EQ(static_cast<TTextNode*>(root->childNodes().item(29999)->firstChild())->data(), u"text");
    }
}

TEST(DomStorage, ChildListsKeepOrderThroughGrowthAndEdits)
{
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"root"));
    std::vector<TNode*> expected;
    // Inserting at the front, the back and the middle, across many regrowths.
    for (int i = 0; i < 300; ++i) {
        TNode* ref = nullptr;
        size_t at = expected.size();
        if (i % 3 == 1 && !expected.empty()) {
            ref = expected.front();
            at = 0;
        } else if (i % 3 == 2 && !expected.empty()) {
            at = expected.size() / 2;
            ref = expected[at];
        }
        TNode* added = root->insertBefore(doc->createElement(numbered(u"e", i)), ref);
        expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(at), added);
    }
    for (int i = 0; i < 100; ++i) {
        size_t at = (static_cast<size_t>(i) * 7) % expected.size();
        std::unique_ptr<TNode> gone = root->removeChild(expected[at]);
        EXPECT_EQ(gone->parentNode(), nullptr);
        expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(at));
    }
    ASSERT_EQ(root->childNodes().length(), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(root->childNodes().item(static_cast<int>(i)), expected[i]) << i;

    // Moving a child to another parent takes it out of the first list.
    TElement* other = doc->createElement(u"other").release();
    root->appendChild(other);
    other->appendChild(expected[0]);
    EXPECT_EQ(root->childNodes().indexOf(expected[0]), -1);
    EXPECT_EQ(other->firstChild(), expected[0]);
}

TEST(DomStorage, NamesOfCharacterDataStayApartFromTheirData)
{
    auto doc = newDocument();
    auto text = doc->createTextNode(u"data");
    EXPECT_EQ(text->localName(), u"");
    EXPECT_EQ(text->prefix(), u"");
    text->setLocalName(u"name");
    text->setPrefix(u"p");
    EXPECT_EQ(text->data(), u"data");
    EXPECT_EQ(text->nodeValue(), u"data");
    EXPECT_EQ(text->localName(), u"name");
    EXPECT_EQ(text->prefix(), u"p");
    EXPECT_EQ(text->nodeName(), u"#text");
    text->setNodeValue(u"other");
    EXPECT_EQ(text->localName(), u"name");

    auto comment = doc->createComment(u"c");
    EXPECT_EQ(comment->localName(), u"");
    EXPECT_EQ(comment->nodeValue(), u"c");

    // Nodes without data have no value, whatever their name.
    auto element = doc->createElementNS(u"urn:x", u"p:local");
    EXPECT_EQ(element->prefix(), u"p");
    EXPECT_EQ(element->localName(), u"local");
    EXPECT_EQ(element->nodeValue(), u"");
    EXPECT_EQ(element->namespaceURI(), u"urn:x");
    element->setPrefix(u"");
    EXPECT_EQ(element->nodeName(), u"local");
    element->setPrefix(u"q");
    EXPECT_EQ(element->nodeName(), u"q:local");
    EXPECT_EQ(doc->createEntityReference(u"amp")->nodeValue(), u"");
}

TEST(DomStorage, OnlyElementsHaveAnAttributeMap)
{
    auto doc = newDocument();
    auto element = doc->createElement(u"e");
    TNamedNodeMap* map = element->attributes();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(element->attributes(), map); // the same map every time
    EXPECT_EQ(map->owner(), element.get());
    EXPECT_FALSE(element->hasAttributes());
    EXPECT_EQ(doc->createTextNode(u"t")->attributes(), nullptr);
    EXPECT_EQ(doc->createAttribute(u"a")->attributes(), nullptr);
    EXPECT_EQ(doc->attributes(), nullptr);
    EXPECT_FALSE(doc->createComment(u"c")->hasAttributes());

    for (int i = 0; i < 20; ++i) {
        auto attr = doc->createAttribute(numbered(u"a", i));
        attr->setNodeValue(numbered(u"v", i));
        element->setAttributeNode(std::move(attr));
    }
    EXPECT_TRUE(element->hasAttributes());
    EXPECT_EQ(map->length(), 20);
    EXPECT_EQ(map->getNamedItem(u"a7")->nodeValue(), u"v7");

    // An element with attributes, deep in a tree and on its own, is freed
    // with its attributes (the sanitizer build reports any leak).
    TElement* root = doc->appendChild(doc->createElement(u"root"));
    TElement* inner = root->appendChild(doc->createElement(u"inner"));
    inner->setAttributeNode(doc->createAttribute(u"x"));
    inner->appendChild(std::move(element));
    std::unique_ptr<TNode> removed = root->removeChild(inner);
    removed.reset();
    EXPECT_FALSE(root->hasChildNodes());
}

TEST(DomStorage, LargeDocumentsAreSavedWhole)
{
    // Larger than the writer's buffer, so the text goes out in several pieces.
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"root"));
    for (int i = 0; i < 40000; ++i) {
        TElement* e = root->appendChild(doc->createElement(u"item"));
        auto attr = doc->createAttribute(u"n");
        attr->setNodeValue(numbered(u"\"", i));
        e->setAttributeNode(std::move(attr));
        e->appendChild(doc->createTextNode(numbered(u"text \u00E9 ", i)));
    }
    const std::u16string xml = doc->toXML();
    ASSERT_GT(xml.size(), 400000u);

    TMemoryStream stream;
    doc->saveToStream(stream);
    EXPECT_TRUE(stream.bytes() == utf16le(xml));

    char name[] = "/tmp/ortavix_storage_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    doc->saveToFile(name);
    std::ifstream in(name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(name);
    EXPECT_TRUE(bytes == utf16le(xml));

    // The pieces a watcher sees still add up to the text, in order.
    std::u16string seen;
    doc->onWriteText = [&seen](const std::u16string& piece, int) { seen += piece; };
    TMemoryStream again;
    doc->saveToStream(again);
    EXPECT_TRUE(seen == xml);
}

TEST(DomStorage, SharedNamesStayApartWhenOneNodeIsRenamed)
{
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"div"));
    TElement* a = root->appendChild(doc->createElement(u"div"));
    TElement* b = root->appendChild(doc->createElement(u"div"));
    a->setLocalName(u"span");
    EXPECT_EQ(a->nodeName(), u"span");
    EXPECT_EQ(b->nodeName(), u"div");
    EXPECT_EQ(root->nodeName(), u"div");
    // Names of every length, also those too long to share, and names
    // made again after their first bearer is gone.
    const std::u16string longName(200, u'n');
    root->removeChild(b).reset();
    TElement* c = root->appendChild(doc->createElement(longName));
    TElement* d = root->appendChild(doc->createElement(u"div"));
    auto amp1 = doc->createEntityReference(u"amp");
    auto amp2 = doc->createEntityReference(u"amp");
    amp1.reset();
    EXPECT_EQ(c->nodeName(), longName);
    EXPECT_EQ(d->nodeName(), u"div");
    EXPECT_EQ(amp2->nodeName(), u"amp");
    EXPECT_EQ(doc->toXML(), u"<div><span/><" + longName + u"/><div/></div>");
}

TEST(DomStorage, NodesWithoutChildListsMakeOneOnlyWhenEdited)
{
    auto doc = newDocument();
    auto text = doc->createTextNode(u"t");
    const TNode& constText = *text;
    EXPECT_EQ(constText.childNodes().length(), 0);
    EXPECT_EQ(text->firstChild(), nullptr);
    EXPECT_FALSE(text->hasChildNodes());
    // A raw list edit fills the list; the node still owns what is in it.
    text->childNodes().add(doc->createComment(u"c").release());
    EXPECT_TRUE(text->hasChildNodes());
    EXPECT_EQ(text->firstChild()->nodeType(), COMMENT_NODE);
    EXPECT_EQ(text->childNodes().owner(), text.get());
    auto reference = doc->createEntityReference(u"lt");
    for (TNode* leaf : {static_cast<TNode*>(text.get()), static_cast<TNode*>(reference.get())}) {
        EXPECT_THROW(leaf->appendChild(doc->createTextNode(u"x").get()), DomException);
        EXPECT_THROW(leaf->removeChild(doc->createTextNode(u"x").get()), DomException);
    }
    text.reset(); // the sanitizer build reports the comment if it leaked
}

TEST(DomStorage, DocumentsFreeNodesThatHoldHeapMemory)
{
    // Prefixed names and attribute indexes live outside the document's
    // pages; destroying the document must free them (the sanitizer build
    // reports a leak), wherever they are in the tree.
    for (int variant = 0; variant < 3; ++variant) {
        auto doc = newDocument();
        TElement* root = doc->appendChild(doc->createElementNS(u"urn:a", u"p:root"));
        TElement* parent = root;
        for (int depth = 0; depth < 100; ++depth)
            parent = parent->appendChild(doc->createElement(u"e"));
        if (variant >= 1)
            parent->appendChild(doc->createElementNS(u"urn:b", u"q:leaf"));
        if (variant == 2) {
            for (int i = 0; i < 40; ++i)
                parent->setAttributeNode(doc->createAttribute(numbered(u"a", i)));
            EXPECT_NE(parent->attributes()->getNamedItem(u"a39"), nullptr); // builds the index
        }
        auto text = doc->createTextNode(u"x");
        text->setPrefix(u"p"); // detached, freed before its document
        text.reset();
        EXPECT_EQ(root->namespaceURI(), u"urn:a");
    }
}

TEST(DomStorage, NodesFindTheirDocumentAndRareNamesWithoutFields)
{
    // Two documents filled in turns, far past one page each: every node
    // still names its own document, and rare names (kept in a table of the
    // document, or before a node on the heap) stay with their node.
    auto a = newDocument();
    auto b = newDocument();
    TElement* rootA = a->appendChild(a->createElement(u"a"));
    TElement* rootB = b->appendChild(b->createElement(u"b"));
    constexpr int kCount = 60000; // several megabytes of nodes per document
    for (int i = 0; i < kCount; ++i) {
        rootA->appendChild(a->createEntityReference(u"amp"));
        TTextNode* t = rootB->appendChild(b->createTextNode(u"t"));
        if (i % 1000 == 0)
            t->setPrefix(std::u16string(numbered(u"p", i)));
    }
    for (int i = 0; i < kCount; i += 997) {
        ASSERT_EQ(rootA->childNodes().item(i)->ownerDocument(), a.get()) << i;
        TNode* t = rootB->childNodes().item(i);
        ASSERT_EQ(t->ownerDocument(), b.get()) << i;
        EXPECT_EQ(std::u16string(t->prefix()), i % 1000 == 0 ? numbered(u"p", i) : u"") << i;
    }
    // A removed node takes its rare names with it; the others keep theirs.
    rootB->removeChild(rootB->childNodes().item(0)).reset();
    EXPECT_EQ(std::u16string(rootB->childNodes().item(999)->prefix()), u"p1000");
    EXPECT_TRUE(rootB->childNodes().item(0)->prefix().empty());

    // A document type made alone lives on the heap: its document comes when
    // a document takes it, and a prefix set before stays.
    auto type = DomImplementation::createDocumentType(u"html", u"", u"");
    EXPECT_EQ(type->ownerDocument(), nullptr);
    type->setPrefix(u"x");
    auto c = DomImplementation::createEmptyDocument(type.get());
    TDocumentType* held = type.release();
    EXPECT_EQ(held->ownerDocument(), c.get());
    EXPECT_EQ(std::u16string(held->prefix()), u"x");
    EXPECT_EQ(c->ownerDocument(), c.get());
}

TEST(DomStorage, EntityReferencesTakeAtMost48BytesEach)
{
    // A page of "&" is one entity reference per byte; its memory per node
    // (node, list slot, pages) is what bounds such a page.
    if (!domcore_detail::TArena::kPooledBlocks)
        GTEST_SKIP() << "every block is a heap block of its own in this build";
    constexpr int kCount = 1000000;
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"body"));
    const std::size_t before = doc->memoryFootprint();
    for (int i = 0; i < kCount; ++i)
        root->appendChild(i % 2 ? doc->createEntityReference(u"amp") : doc->createEntityReference(u"lt"));
    const std::size_t perEntity = (doc->memoryFootprint() - before) / kCount;
    EXPECT_LE(perEntity, 48u);
}

TEST(DomStorage, LargeDocumentsGiveTheirPagesBackToTheSystem)
{
    // A batch converts pages of every size one after another. Were a
    // document's pages carved from the general heap, what a large one
    // leaves there would stay in use as holes beside later allocations.
#ifndef __GLIBC__
    GTEST_SKIP() << "reads the heap's figures through glibc";
#else
    if (!domcore_detail::TArena::kPooledBlocks)
        GTEST_SKIP() << "every block is a heap block of its own in this build";
    const struct mallinfo2 before = ::mallinfo2();
    if (before.arena == 0)
        GTEST_SKIP() << "the heap is not glibc's here";
    for (int round = 0; round < 3; ++round) {
        auto doc = newDocument();
        TElement* root = doc->appendChild(doc->createElement(u"body"));
        // About 2 MB of nodes in short lists: the lists' arrays come from
        // the arena too, so the heap sees only the root's.
        for (int i = 0; i < 4000; ++i) {
            TElement* p = root->appendChild(doc->createElement(u"p"));
            for (int j = 0; j < 10; ++j)
                p->appendChild(doc->createEntityReference(u"amp"));
        }
    }
    const struct mallinfo2 after = ::mallinfo2();
    EXPECT_LT(after.arena, before.arena + (512u << 10));
#endif
}

TEST(DomStorage, AThreadGivesBackThePageItKeepsForItsNextDocument)
{
    // A worker that waits while another converts a large page must not
    // keep a page of its own beside it.
#ifndef __GLIBC__
    GTEST_SKIP() << "reads the heap's figures through glibc";
#else
    if (!domcore_detail::TArena::kPooledBlocks)
        GTEST_SKIP() << "every block is a heap block of its own in this build";
    std::thread([] {
        auto doc = newDocument();
        doc->appendChild(doc->createElement(u"p"));
        doc.reset(); // its first page is kept
        const struct mallinfo2 kept = ::mallinfo2();
        DomImplementation::releaseThreadCache();
        const struct mallinfo2 released = ::mallinfo2();
        EXPECT_GE(kept.uordblks + kept.hblkhd, released.uordblks + released.hblkhd + (64u << 10));
        DomImplementation::releaseThreadCache(); // nothing left: no harm
    }).join();
#endif
}

TEST(DomStorage, OneUnitTextsStayApartWhenOneChanges)
{
    // Single-unit data is kept once per document; changing one node's data
    // (or its local name) leaves the others as they were.
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"r"));
    TTextNode* a = root->appendChild(doc->createTextNode(u"\n"));
    TTextNode* b = root->appendChild(doc->createTextNode(u"\n"));
    TComment* c = root->appendChild(doc->createComment(u"\n"));
    a->setNodeValue(u"changed");
    b->setLocalName(u"n");
    EXPECT_EQ(a->nodeValue(), u"changed");
    EXPECT_EQ(b->nodeValue(), u"\n");
    EXPECT_EQ(c->nodeValue(), u"\n");
    root->removeChild(b).reset();
    EXPECT_EQ(c->data(), u"\n");
    EXPECT_EQ(doc->createTextNode(u"\n")->data(), u"\n");
    EXPECT_EQ(root->toXML(), u"<r>changed<!--\n--></r>");
}

TEST(DomStorage, ListsFindTheirOwnerWithoutAField)
{
    // Every kind of list names its owner, also after its items were swapped
    // out by clear and after growing far past one block; nodes of another
    // document never take a list's place.
    auto doc = newDocument();
    EXPECT_EQ(doc->childNodes().owner(), doc.get());
    TElement* root = doc->appendChild(doc->createElement(u"r"));
    auto attr = doc->createAttribute(u"a");
    TAttr* a = attr.get();
    root->setAttributeNode(std::move(attr));
    a->appendChild(doc->createTextNode(u"v"));
    EXPECT_EQ(root->childNodes().owner(), root);
    EXPECT_EQ(a->childNodes().owner(), a);
    EXPECT_EQ(root->attributes()->owner(), root);
    for (int i = 0; i < 1000; ++i)
        root->appendChild(doc->createComment(u"c"));
    root->childNodes().clear(true);
    EXPECT_EQ(root->childNodes().owner(), root);
    root->appendChild(doc->createTextNode(u"t"));
    EXPECT_EQ(root->toXML(), u"<r a=\"v\">t</r>");
    TNodeList alone(nullptr);
    EXPECT_EQ(alone.owner(), nullptr);
    // A map past the size that builds an index still finds its element.
    for (int i = 0; i < 40; ++i)
        root->setAttributeNode(doc->createAttribute(numbered(u"b", i)));
    EXPECT_EQ(root->attributes()->getNamedItem(u"b39")->nodeName(), u"b39");
    EXPECT_EQ(root->attributes()->owner(), root);
}

TEST(DomStorage, AnElementWithOneAttributeTakesAtMost184Bytes)
{
    // Most elements of a real page carry an attribute with one text: the
    // element, its slot in its parent, its attribute map, the attribute and
    // the text are what bound such a page (168 bytes, plus the parent's
    // spare slots and the last page).
    if (!domcore_detail::TArena::kPooledBlocks)
        GTEST_SKIP() << "every block is a heap block of its own in this build";
    constexpr int kCount = 200000;
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"body"));
    const std::size_t before = doc->memoryFootprint();
    for (int i = 0; i < kCount; ++i) {
        TElement* a = root->appendChild(doc->createElement(u"a"));
        auto attr = doc->createAttribute(u"href");
        attr->appendChild(doc->createTextNode(u"x"));
        a->setAttributeNode(std::move(attr));
    }
    const std::size_t perElement = (doc->memoryFootprint() - before) / kCount;
    EXPECT_LE(perElement, 184u);
}

// A thread hands the first page of a document it destroys to the next one
// it makes: the nodes of the new document must name it as their owner, and
// two documents alive at once must never share a page.
TEST(DomStorage, DocumentsOneAfterAnotherOwnTheirNodes)
{
    std::unique_ptr<TDocument> kept;
    for (int round = 0; round < 4; ++round) {
        auto doc = newDocument();
        TElement* root = doc->appendChild(doc->createElement(u"root"));
        for (int i = 0; i < 50; ++i)
            root->appendChild(doc->createTextNode(numbered(u"round text ", round * 100 + i)));
        for (int i = 0; i < root->childNodes().length(); ++i)
            ASSERT_EQ(root->childNodes().item(i)->ownerDocument(), doc.get()) << round;
        EXPECT_EQ(root->ownerDocument(), doc.get());
        if (round == 1)
            kept = std::move(doc); // alive while the next ones are made
    }
    TNode* root = kept->firstChild();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->ownerDocument(), kept.get());
    ASSERT_EQ(root->childNodes().length(), 50);
    EXPECT_EQ(static_cast<const TTextNode*>(root->childNodes().item(49))->data(), u"round text 149");
}

TEST(DomStorage, AttributeValuesHeldAsTextActAsOneTextChild)
{
    // A value held as text is, to every caller, one text child: it is made
    // as a node when asked for, and edits, copies and writing see the same
    // tree as for an attribute built with a text node.
    auto doc = newDocument();
    auto kept = std::make_shared<const std::u16string>(u"kept value");
    doc->keepText(kept);
    TElement* root = doc->appendChild(doc->createElement(u"r"));
    auto built = doc->createAttribute(u"b");
    built->appendChild(doc->createTextNode(u"x<\"&"));
    root->setAttributeNode(std::move(built));
    auto held = doc->createAttribute(u"h");
    held->setTextValue(u"x<\"&");
    TAttr* h = held.get();
    root->setAttributeNode(std::move(held));
    auto keptAttr = doc->createAttribute(u"k");
    keptAttr->setKeptTextValue(*kept);
    TAttr* k = keptAttr.get();
    root->setAttributeNode(std::move(keptAttr));
    EXPECT_TRUE(h->hasTextValue());
    EXPECT_TRUE(h->hasChildNodes());
    EXPECT_EQ(h->nodeValue(), u"x<\"&");
    EXPECT_EQ(k->textValue().data(), kept->data()); // refers to the kept text
    const std::u16string xml = u"<r b=\"x&lt;&quot;&amp;\" h=\"x&lt;&quot;&amp;\" k=\"kept value\"/>";
    EXPECT_EQ(root->toXML(), xml);
    EXPECT_TRUE(h->hasTextValue()); // writing made no node

    // A copy holds the same value; the original is unchanged.
    std::unique_ptr<TNode> copy = h->cloneNode(true);
    EXPECT_EQ(copy->nodeValue(), u"x<\"&");
    EXPECT_TRUE(h->hasTextValue());

    // Asked for, the child is a text node under the attribute, made once.
    TNode* text = h->firstChild();
    ASSERT_NE(text, nullptr);
    EXPECT_FALSE(h->hasTextValue());
    EXPECT_EQ(text->nodeType(), TEXT_NODE);
    EXPECT_EQ(text->parentNode(), h);
    EXPECT_EQ(text->nodeValue(), u"x<\"&");
    EXPECT_EQ(h->childNodes().length(), 1);
    EXPECT_EQ(h->childNodes().item(0), text);
    EXPECT_EQ(h->childNodes().owner(), h);
    const TNode* keptText = static_cast<const TNode*>(k)->childNodes().item(0);
    EXPECT_EQ(static_cast<const TCharacterData*>(keptText)->data().data(), kept->data());
    EXPECT_EQ(root->toXML(), xml);

    // More children after a held value: the value is the first of them.
    auto more = doc->createAttribute(u"m");
    more->setTextValue(u"a");
    more->appendChild(doc->createEntityReference(u"amp"));
    more->setTextValue(u"b"); // not the only child: appended as a node
    EXPECT_EQ(more->childNodes().length(), 3);
    EXPECT_EQ(more->nodeValue(), u"a&b");

    // A new value replaces the children; removing and freeing the
    // attribute frees its text (the sanitizer build reports any leak).
    more->setNodeValue(u"plain");
    EXPECT_EQ(more->nodeValue(), u"plain");
    EXPECT_EQ(more->childNodes().length(), 1);
    EXPECT_EQ(more->firstChild()->nodeValue(), u"plain");
    k->setNodeValue(u"new");
    EXPECT_EQ(k->nodeValue(), u"new");
    // Copies for another document are refused as for a text child.
    std::unique_ptr<TDocument> other = newDocument();
    EXPECT_THROW(k->exportNode(other.get(), true), DomException);
    EXPECT_THROW(h->exportNode(other.get(), true), DomException);
    auto fresh = doc->createAttribute(u"f");
    fresh->setTextValue(u"v");
    EXPECT_THROW(fresh->exportNode(other.get(), true), DomException);
    EXPECT_TRUE(fresh->hasTextValue());
    EXPECT_THROW(root->removeChild(h->firstChild()), DomException);
}

TEST(DomStorage, WritersListeningToPiecesSeeValuesHeldAsTextAsNodes)
{
    // Whoever receives the writer's pieces gets the value's text node, as
    // for an attribute built with one.
    struct TPiece {
        std::u16string text;
        int type;
        int writingType;
        bool operator==(const TPiece&) const = default;
    };
    auto write = [](bool held) {
        auto doc = newDocument();
        TElement* root = doc->appendChild(doc->createElement(u"r"));
        auto attr = doc->createAttribute(u"a");
        if (held)
            attr->setTextValue(u"v&");
        else
            attr->appendChild(doc->createTextNode(u"v&"));
        root->setAttributeNode(std::move(attr));
        root->appendChild(doc->createTextNode(u"t"));
        std::vector<TPiece> pieces;
        doc->onWriteText = [&pieces](const std::u16string& text, int type) {
            pieces.push_back({text, type, TDocument::writingNode()->nodeType()});
        };
        EXPECT_EQ(root->toXML(), u"<r a=\"v&amp;\">t</r>");
        return pieces;
    };
    const std::vector<TPiece> built = write(false);
    EXPECT_EQ(write(true), built);
    EXPECT_EQ(built.size(), 7u);
}

TEST(DomStorage, ListsShrunkToFitKeepTheirItemsAndGrowAgain)
{
    // Large, small, single and empty lists keep their items in order and
    // their owner when their spare room is given back, and grow again.
    auto doc = newDocument();
    TElement* root = doc->appendChild(doc->createElement(u"r"));
    auto names = [](const TNode* node) {
        std::u16string all;
        for (int i = 0; i < node->childNodes().length(); ++i)
            all += node->childNodes().item(i)->nodeName() + u",";
        return all;
    };
    for (int count : {0, 1, 2, 3, 5, 100, 1000}) {
        TElement* e = root->appendChild(doc->createElement(numbered(u"e", count)));
        for (int i = 0; i < count + 1; ++i)
            e->appendChild(doc->createElement(numbered(u"c", i)));
        e->removeChild(e->firstChild()).reset(); // leaves spare room
        const std::u16string before = names(e);
        e->childNodes().shrinkToFit();
        EXPECT_EQ(names(e), before);
        EXPECT_EQ(e->childNodes().owner(), e);
        e->childNodes().shrinkToFit(); // nothing left to give back
        EXPECT_EQ(names(e), before);
        e->appendChild(doc->createElement(u"last"));
        EXPECT_EQ(names(e), before + u"last,");
    }
    TNodeList alone(nullptr);
    for (int i = 0; i < 3; ++i)
        alone.add(root);
    alone.deleteItem(0);
    alone.shrinkToFit();
    EXPECT_EQ(alone.length(), 2);
    EXPECT_EQ(alone.item(1), root);
}
