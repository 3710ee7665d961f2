// Which node each piece of the writer's output belongs to.
#include "dom/DomCore.h"
#include "text/Ansi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(XmlWriterNode, EveryPieceNamesTheNodeThatWroteIt)
{
    auto type = DomImplementation::createDocumentType(u"html", u"", u"");
    type->declaration = u"DOCTYPE html";
    TDocumentType* typeNode = type.get();
    std::unique_ptr<TDocument> doc = DomImplementation::createEmptyDocument(type.release());
    TElement* root = doc->appendChild(doc->createElement(u"p"));
    auto attr = doc->createAttribute(u"class");
    TAttr* attrNode = attr.get();
    TTextNode* value = attrNode->appendChild(doc->createTextNode(u"x"));
    root->setAttributeNode(std::move(attr));
    // An attribute that is no XML name is left out: it writes no piece.
    root->setAttributeNode(doc->createAttribute(u"a\"b"));
    TTextNode* text = root->appendChild(doc->createTextNode(u"t"));
    TEntityReference* ref = root->appendChild(doc->createEntityReference(u"amp"));
    TElement* empty = root->appendChild(doc->createElement(u"br"));
    TComment* comment = root->appendChild(doc->createComment(u"c"));

    std::vector<std::pair<std::string, const TNode*>> got;
    doc->onWriteText = [&got](const std::u16string& piece, int) {
        got.emplace_back(ansi::toUtf8(piece), TDocument::writingNode());
    };
    const std::u16string xml = doc->toXML();
    doc->onWriteText = nullptr;

    const std::vector<std::pair<std::string, const TNode*>> want = {
        {"<!-- DOCTYPE html -->", typeNode}, {"<p", root}, {" class=\"", attrNode}, {"x", value},
        {"\"", attrNode}, {">", root}, {"t", text}, {"&amp;", ref}, {"<br", empty}, {"/>", empty},
        {"<!--c-->", comment}, {"</p>", root}};
    EXPECT_EQ(got, want);
    // The pieces are the output, and outside a call there is no node.
    std::string joined;
    for (const auto& p : got)
        joined += p.first;
    EXPECT_EQ(joined, ansi::toUtf8(xml));
    EXPECT_EQ(TDocument::writingNode(), nullptr);
}
