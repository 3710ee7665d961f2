#include "html/HtmlTags.h"

#include <algorithm>

namespace {

// In ascending ordinal order, so that the position is the tag number.
const char16_t* const tagNames[TAG_COUNT] = {
    u"a", u"abbr", u"acronym", u"address", u"applet", u"area", u"b", u"base", u"basefont",
    u"bdo", u"big", u"blockquote", u"body", u"br", u"button", u"caption", u"center", u"cite",
    u"code", u"col", u"colgroup", u"dd", u"del", u"dfn", u"dir", u"div", u"dl", u"dt", u"em",
    u"fieldset", u"font", u"form", u"frame", u"frameset", u"h1", u"h2", u"h3", u"h4", u"h5",
    u"h6", u"head", u"hr", u"html", u"i", u"iframe", u"img", u"input", u"ins", u"isindex",
    u"kbd", u"label", u"legend", u"li", u"link", u"map", u"menu", u"meta", u"noframes",
    u"noscript", u"object", u"ol", u"optgroup", u"option", u"p", u"param", u"pre", u"q", u"s",
    u"samp", u"script", u"select", u"small", u"span", u"strike", u"strong", u"style", u"sub",
    u"sup", u"table", u"tbody", u"td", u"textarea", u"tfoot", u"th", u"thead", u"title", u"tr",
    u"tt", u"u", u"ul", u"var"};

} // namespace

THtmlTagList::THtmlTagList()
{
    rows_.reserve(128);
    for (int i = 0; i < TAG_COUNT; ++i) {
        rows_.emplace_back(tagNames[i], i + 1);
        std::size_t slot = slotOf(rows_.back().name);
        while (slots_[slot] != 0)
            slot = (slot + 1) % slots_.size();
        slots_[slot] = static_cast<std::uint8_t>(i + 1);
    }
}

std::size_t THtmlTagList::slotOf(std::u16string_view name) noexcept
{
    std::uint32_t h = 2166136261u;
    for (char16_t c : name)
        h = (h ^ c) * 16777619u;
    return (h ^ (h >> 16)) & 0xFF;
}

const THtmlTag& THtmlTagList::getTagByName(std::u16string_view name) const
{
    // No tag name is longer than 10 units.
    if (name.empty() || name.size() > 10)
        return unknownTag_;
    for (std::size_t slot = slotOf(name); slots_[slot] != 0; slot = (slot + 1) % slots_.size()) {
        const THtmlTag& row = rows_[slots_[slot] - 1];
        if (row.name == name)
            return row;
    }
    return unknownTag_;
}

const THtmlTagList& htmlTagList()
{
    static const THtmlTagList table;
    return table;
}
