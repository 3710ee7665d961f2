// A document whose text was decoded when the page was loaded is written
// without the charset re-decode, whatever its charset says.
#include "dom/DomCore.h"

#include <gtest/gtest.h>

TEST(XmlWriterDecodedAtLoad, CharsetIsKeptButNotAppliedAgain)
{
    auto doc = DomImplementation::createEmptyDocument(nullptr);
    doc->charset = u"windows-1251";
    TElement* p = doc->appendChild(doc->createElement(u"p"));
    auto attr = doc->createAttribute(u"title");
    attr->appendChild(doc->createTextNode(u"\u00C0"));
    p->setAttributeNode(std::move(attr));
    // "\u00C0\u00E1" is what UTF-8 "À" or windows-1251 bytes C0 E1 could be.
    p->appendChild(doc->createTextNode(u"\u00C0\u00E1"));
    EXPECT_EQ(doc->toXML(), u"<p title=\"\u0410\">\u0410\u0431</p>");

    doc->decodedAtLoad = true;
    EXPECT_EQ(doc->toXML(), u"<p title=\"\u00C0\">\u00C0\u00E1</p>");
    EXPECT_EQ(doc->charset, u"windows-1251");
}
