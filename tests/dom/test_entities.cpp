#include "html/Entities.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(Entities, KnownNamesGiveTheirCodes)
{
    EXPECT_EQ(getEntityCode("nbsp"), 160);
    EXPECT_EQ(getEntityCode("amp"), 38);
    EXPECT_EQ(getEntityCode("euro"), 8364);
    EXPECT_EQ(getEntityCode("Dagger"), 8225);
    EXPECT_EQ(getEntityCode("dagger"), 8224);
}

TEST(Entities, UnknownFormsGiveASpace)
{
    EXPECT_EQ(getEntityCode("nosuch"), 32);
    EXPECT_EQ(getEntityCode("NBSP"), 32);
    EXPECT_EQ(getEntityCode(""), 32);
    EXPECT_EQ(getEntityCode("nbsp "), 32);
    EXPECT_EQ(getEntityCode(" nbsp"), 32);
    EXPECT_EQ(getEntityCode("#65"), 32);
    EXPECT_EQ(getEntityCode("apos"), 32); // not an HTML 4.01 entity
    EXPECT_EQ(getEntityCode(std::string("amp\0", 4)), 32);
}

// Codes written out independently of the table, covering every group of the
// three HTML 4.01 sets and both ends of each contiguous run.
TEST(Entities, SampleAcrossAllThreeSets)
{
    struct {
        const char* name;
        int code;
    } expected[] = {
        {"iexcl", 161}, {"shy", 173}, {"iquest", 191}, {"Agrave", 192}, {"agrave", 224},
        {"AElig", 198}, {"aelig", 230}, {"ETH", 208}, {"eth", 240}, {"THORN", 222},
        {"thorn", 254}, {"times", 215}, {"divide", 247}, {"szlig", 223}, {"yuml", 255},
        {"fnof", 402}, {"Alpha", 913}, {"Rho", 929}, {"Sigma", 931}, {"Omega", 937},
        {"alpha", 945}, {"sigmaf", 962}, {"omega", 969}, {"thetasym", 977}, {"upsih", 978},
        {"piv", 982}, {"bull", 8226}, {"hellip", 8230}, {"Prime", 8243}, {"frasl", 8260},
        {"image", 8465}, {"weierp", 8472}, {"alefsym", 8501}, {"larr", 8592}, {"crarr", 8629},
        {"lArr", 8656}, {"hArr", 8660}, {"forall", 8704}, {"empty", 8709}, {"minus", 8722},
        {"there4", 8756}, {"ne", 8800}, {"sdot", 8901}, {"lceil", 8968}, {"rang", 9002},
        {"loz", 9674}, {"spades", 9824}, {"diams", 9830}, {"quot", 34}, {"lt", 60},
        {"gt", 62}, {"OElig", 338}, {"Scaron", 352}, {"Yuml", 376}, {"circ", 710},
        {"tilde", 732}, {"ensp", 8194}, {"thinsp", 8201}, {"zwnj", 8204}, {"rlm", 8207},
        {"ndash", 8211}, {"mdash", 8212}, {"sbquo", 8218}, {"bdquo", 8222}, {"permil", 8240},
        {"lsaquo", 8249}, {"rsaquo", 8250},
    };
    for (const auto& e : expected)
        EXPECT_EQ(getEntityCode(e.name), e.code) << e.name;
}

TEST(Entities, TableHasExactlyTheHtml401Set)
{
    const TEntity* rows = entityRows();
    std::set<std::string> names;
    for (int i = 0; i < ENTITY_COUNT; ++i) {
        EXPECT_TRUE(names.insert(rows[i].name).second) << "duplicate " << rows[i].name;
        // Every row is found again through the sorted list.
        EXPECT_EQ(getEntityCode(rows[i].name), rows[i].code) << rows[i].name;
        EXPECT_NE(rows[i].code, 32);
    }
    EXPECT_EQ(names.size(), 252u);
    // Latin-1: 96 consecutive codes 160..255.
    for (int i = 0; i < 96; ++i)
        EXPECT_EQ(rows[i].code, 160 + i) << rows[i].name;
    // Every code of the symbol and special sets lies above Latin-1 except the
    // four markup characters.
    int markup = 0;
    for (int i = 96; i < ENTITY_COUNT; ++i)
        if (rows[i].code < 256)
            ++markup;
    EXPECT_EQ(markup, 4);
}

TEST(Entities, ListIsSortedByOrdinalName)
{
    const TEntList& list = entityList();
    ASSERT_EQ(list.count(), ENTITY_COUNT);
    for (int i = 1; i < list.count(); ++i)
        EXPECT_LT(std::string(list.item(i - 1)->name), std::string(list.item(i)->name));
    // Upper case sorts first.
    EXPECT_EQ(std::string(list.item(0)->name), "AElig");
    EXPECT_EQ(list.find("zwnj")->code, 8204);
    EXPECT_EQ(list.find("zzz"), nullptr);
    EXPECT_EQ(list.find("AAA"), nullptr);
}
