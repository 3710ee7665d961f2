// The HTML tag table: every element name of HTML 4.01 with a fixed tag number,
// and the tag sets the tree builder decides by. This is the one place where
// HTML tag names are recognised; the tokenizer does not use it.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Tag numbers: 1-based positions of the names in ordinal order.
enum HtmlTagNumber : std::int32_t {
    TAG_UNKNOWN = 0,
    TAG_A, TAG_ABBR, TAG_ACRONYM, TAG_ADDRESS, TAG_APPLET, TAG_AREA, TAG_B, TAG_BASE,
    TAG_BASEFONT, TAG_BDO, TAG_BIG, TAG_BLOCKQUOTE, TAG_BODY, TAG_BR, TAG_BUTTON,
    TAG_CAPTION, TAG_CENTER, TAG_CITE, TAG_CODE, TAG_COL, TAG_COLGROUP, TAG_DD, TAG_DEL,
    TAG_DFN, TAG_DIR, TAG_DIV, TAG_DL, TAG_DT, TAG_EM, TAG_FIELDSET, TAG_FONT, TAG_FORM,
    TAG_FRAME, TAG_FRAMESET, TAG_H1, TAG_H2, TAG_H3, TAG_H4, TAG_H5, TAG_H6, TAG_HEAD,
    TAG_HR, TAG_HTML, TAG_I, TAG_IFRAME, TAG_IMG, TAG_INPUT, TAG_INS, TAG_ISINDEX, TAG_KBD,
    TAG_LABEL, TAG_LEGEND, TAG_LI, TAG_LINK, TAG_MAP, TAG_MENU, TAG_META, TAG_NOFRAMES,
    TAG_NOSCRIPT, TAG_OBJECT, TAG_OL, TAG_OPTGROUP, TAG_OPTION, TAG_P, TAG_PARAM, TAG_PRE,
    TAG_Q, TAG_S, TAG_SAMP, TAG_SCRIPT, TAG_SELECT, TAG_SMALL, TAG_SPAN, TAG_STRIKE,
    TAG_STRONG, TAG_STYLE, TAG_SUB, TAG_SUP, TAG_TABLE, TAG_TBODY, TAG_TD, TAG_TEXTAREA,
    TAG_TFOOT, TAG_TH, TAG_THEAD, TAG_TITLE, TAG_TR, TAG_TT, TAG_U, TAG_UL, TAG_VAR,
    TAG_COUNT = TAG_VAR // number of known tags (91)
};

// One row of the table.
class THtmlTag {
public:
    THtmlTag(std::u16string tagName, std::int32_t tagNumber)
        : name(std::move(tagName)), number(tagNumber) {}

    const std::u16string name; // lower case; empty for the unknown-tag row
    const std::int32_t number; // 1..91, 0 for the unknown-tag row
};

class THtmlTagList {
public:
    THtmlTagList();
    THtmlTagList(const THtmlTagList&) = delete;
    THtmlTagList& operator=(const THtmlTagList&) = delete;

    // Exact, case-sensitive lookup; the unknown-tag row when the name is not
    // a tag of HTML 4.01. Never fails. The row lives as long as the table.
    const THtmlTag& getTagByName(std::u16string_view name) const;

    const THtmlTag& unknownTag() const noexcept { return unknownTag_; }
    std::size_t count() const noexcept { return rows_.size(); }
    const THtmlTag& row(std::size_t index) const { return rows_.at(index); }

private:
    static std::size_t slotOf(std::u16string_view name) noexcept;

    std::vector<THtmlTag> rows_; // sorted by name
    THtmlTag unknownTag_{u"", TAG_UNKNOWN};
    // Open addressing over the rows (index + 1; 0 is free): every start and
    // end tag of a page is looked up, and a hash and a compare or two beat
    // a binary search.
    std::array<std::uint8_t, 256> slots_{};
};

// The program-wide table, built on first use and read-only afterwards.
const THtmlTagList& htmlTagList();

// A fixed set of tag numbers. The unknown tag (0) is never a member.
class THtmlTagSet {
public:
    constexpr THtmlTagSet(std::initializer_list<int> numbers)
    {
        for (int n : numbers)
            if (n > 0 && n <= TAG_COUNT)
                bits_[n / 64] |= std::uint64_t{1} << (n % 64);
    }
    constexpr bool contains(std::int32_t number) const noexcept
    {
        return number > 0 && number <= TAG_COUNT && ((bits_[number / 64] >> (number % 64)) & 1u);
    }
    constexpr int size() const noexcept
    {
        int n = 0;
        for (int i = 1; i <= TAG_COUNT; ++i)
            n += contains(i) ? 1 : 0;
        return n;
    }

private:
    std::uint64_t bits_[2] = {0, 0};
};

// Elements closed as soon as their start tag ends (the EMPTY elements).
inline constexpr THtmlTagSet EmptyTags{TAG_AREA, TAG_BASE, TAG_BASEFONT, TAG_BR, TAG_COL,
    TAG_FRAME, TAG_HR, TAG_IMG, TAG_INPUT, TAG_ISINDEX, TAG_LINK, TAG_META, TAG_PARAM};

// Start tags that look for their parent instead of nesting where they stand.
inline constexpr THtmlTagSet NeedParentTags{TAG_ADDRESS, TAG_BLOCKQUOTE, TAG_CENTER, TAG_COL,
    TAG_COLGROUP, TAG_DD, TAG_DIV, TAG_DL, TAG_DT, TAG_FIELDSET, TAG_H1, TAG_H2, TAG_H3, TAG_H4,
    TAG_H5, TAG_H6, TAG_HR, TAG_LI, TAG_NOSCRIPT, TAG_OL, TAG_OPTION, TAG_P, TAG_PRE, TAG_TABLE,
    TAG_TBODY, TAG_TD, TAG_TFOOT, TAG_TH, TAG_THEAD, TAG_TR, TAG_UL};

// Start tags that, like p, look for a parent in BlockParentTags.
inline constexpr THtmlTagSet BlockTags{TAG_ADDRESS, TAG_BLOCKQUOTE, TAG_CENTER, TAG_DIV, TAG_DL,
    TAG_FIELDSET, TAG_H1, TAG_H2, TAG_H3, TAG_H4, TAG_H5, TAG_H6, TAG_HR, TAG_NOSCRIPT, TAG_OL,
    TAG_PRE, TAG_TABLE, TAG_UL};

// Elements that may hold a p or a block.
inline constexpr THtmlTagSet BlockParentTags{TAG_ADDRESS, TAG_BLOCKQUOTE, TAG_CENTER, TAG_DIV,
    TAG_DL, TAG_FIELDSET, TAG_H1, TAG_H2, TAG_H3, TAG_H4, TAG_H5, TAG_H6, TAG_HR, TAG_LI,
    TAG_NOSCRIPT, TAG_OL, TAG_PRE, TAG_TD, TAG_TH, TAG_UL};

// Elements that may hold li.
inline constexpr THtmlTagSet ListTags{TAG_DIR, TAG_MENU, TAG_OL, TAG_UL};

// Elements that may hold tr.
inline constexpr THtmlTagSet TableSectionTags{TAG_TABLE, TAG_TBODY, TAG_TFOOT, TAG_THEAD};

// Elements that may hold option.
inline constexpr THtmlTagSet OptionParentTags{TAG_OPTGROUP, TAG_SELECT};
