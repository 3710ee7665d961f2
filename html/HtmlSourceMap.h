// Where in the parsed text each node of a built document came from: the
// stretch of source of the token that created it. Only viewers that lead
// from a node back to its source need this, so the tree builder fills one
// only when it is handed one; the nodes themselves carry nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

class TNode;

class THtmlSourceMap {
public:
    // 1-based positions in the tree builder's text, `to` not included. An
    // empty range: the node came from no token (an element the builder made
    // up) or is unknown.
    struct TRange {
        std::int64_t from = 0;
        std::int64_t to = 0;
        bool empty() const noexcept { return to <= from; }
    };

    TRange rangeOf(const TNode* node) const;
    std::size_t size() const noexcept { return ranges_.size(); }
    void clear() { ranges_.clear(); }

    // For the tree builder. A node's address may be reused once a node is
    // freed, so every node is noted when made, an invented one included.
    void note(const TNode* node, TRange range) { ranges_[node] = range; }
    void extendTo(const TNode* node, std::int64_t to);

private:
    std::unordered_map<const TNode*, TRange> ranges_;
};
