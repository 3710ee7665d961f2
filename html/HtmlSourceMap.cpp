#include "html/HtmlSourceMap.h"

THtmlSourceMap::TRange THtmlSourceMap::rangeOf(const TNode* node) const
{
    auto it = ranges_.find(node);
    return it == ranges_.end() ? TRange{} : it->second;
}

void THtmlSourceMap::extendTo(const TNode* node, std::int64_t to)
{
    auto it = ranges_.find(node);
    if (it != ranges_.end() && !it->second.empty() && to > it->second.to)
        it->second.to = to;
}
