#include "html/HtmlTags.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(HtmlTags, KnownNamesGiveTheirNumbers)
{
    const THtmlTagList& t = htmlTagList();
    EXPECT_EQ(t.getTagByName(u"table").number, 79);
    EXPECT_EQ(t.getTagByName(u"td").number, 81);
    EXPECT_EQ(t.getTagByName(u"h1").number, 35);
    EXPECT_EQ(t.getTagByName(u"var").number, 91);
    EXPECT_EQ(t.getTagByName(u"a").number, 1);
    EXPECT_EQ(t.getTagByName(u"head").number, TAG_HEAD);
    EXPECT_EQ(t.getTagByName(u"head").name, u"head");
}

TEST(HtmlTags, EveryRowFindsItselfAndNumbersRunWithoutGaps)
{
    const THtmlTagList& t = htmlTagList();
    ASSERT_EQ(t.count(), 91u);
    for (std::size_t i = 0; i < t.count(); ++i) {
        const THtmlTag& row = t.row(i);
        EXPECT_EQ(row.number, static_cast<int>(i) + 1);
        EXPECT_EQ(&t.getTagByName(row.name), &row);
        if (i > 0) {
            EXPECT_LT(t.row(i - 1).name, row.name) << "rows stay in ordinal order: the position is the tag number";
        }
    }
}

TEST(HtmlTags, UnknownNamesGiveTheUnknownRow)
{
    const THtmlTagList& t = htmlTagList();
    for (const char16_t* name : {u"TABLE", u"", u"o:p", u" table", u"table ", u"blink", u"h7", u"\u00e9", u"blockquot", u"blockquotes", u"noscriptnoscript", u"t", u"tda"}) {
        const THtmlTag& row = t.getTagByName(name);
        EXPECT_EQ(&row, &t.unknownTag());
        EXPECT_EQ(row.number, 0);
        EXPECT_TRUE(row.name.empty());
    }
    for (const THtmlTagSet* set : {&EmptyTags, &NeedParentTags, &BlockTags, &BlockParentTags,
                                   &ListTags, &TableSectionTags, &OptionParentTags})
        EXPECT_FALSE(set->contains(0));
}

TEST(HtmlTags, SetsHaveTheirSizesAndKeyMembers)
{
    EXPECT_EQ(EmptyTags.size(), 13);
    EXPECT_EQ(NeedParentTags.size(), 31);
    EXPECT_EQ(BlockTags.size(), 18);
    EXPECT_EQ(BlockParentTags.size(), 20);
    EXPECT_EQ(ListTags.size(), 4);
    EXPECT_EQ(TableSectionTags.size(), 4);
    EXPECT_EQ(OptionParentTags.size(), 2);

    EXPECT_FALSE(NeedParentTags.contains(TAG_HEAD));
    EXPECT_FALSE(NeedParentTags.contains(TAG_BODY));
    EXPECT_TRUE(EmptyTags.contains(TAG_HR));
    EXPECT_TRUE(BlockTags.contains(TAG_HR));
    EXPECT_TRUE(BlockTags.contains(TAG_TABLE));
    EXPECT_FALSE(BlockTags.contains(TAG_P));
    EXPECT_TRUE(BlockParentTags.contains(TAG_LI));
    EXPECT_FALSE(BlockParentTags.contains(TAG_P));
    EXPECT_FALSE(EmptyTags.contains(-1));
    EXPECT_FALSE(EmptyTags.contains(92));
    // Every block is a start tag that searches for its parent.
    for (int n = 1; n <= TAG_COUNT; ++n)
        if (BlockTags.contains(n)) {
            EXPECT_TRUE(NeedParentTags.contains(n)) << n;
        }
}
