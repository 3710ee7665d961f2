// A compact, one-line picture of a document tree for comparing shapes:
//   element      name[attr attr](child,child)
//   attribute    name=children   (no "=" when it has no children)
//   text         "value"
//   entity ref   &name;
//   CDATA        <![CDATA[value]]>
//   comment      <!--value-->
// The document itself prints its children separated by ",". Walks with an
// explicit stack, so that trees of any depth can be pictured.
#pragma once

#include "dom/DomCore.h"
#include "text/Ansi.h"

#include <string>
#include <vector>

inline void shapeLeaf(const TNode* n, std::string& out)
{
    switch (n->nodeType()) {
    case TEXT_NODE:
        out += "\"" + ansi::toUtf8(n->nodeValue()) + "\"";
        break;
    case ENTITY_REFERENCE_NODE:
        out += "&" + ansi::toUtf8(n->nodeName()) + ";";
        break;
    case CDATA_SECTION_NODE:
        out += "<![CDATA[" + ansi::toUtf8(n->nodeValue()) + "]]>";
        break;
    case COMMENT_NODE:
        out += "<!--" + ansi::toUtf8(n->nodeValue()) + "-->";
        break;
    default:
        out += "?" + std::to_string(n->nodeType());
    }
}

inline std::string treeShape(const TNode* root)
{
    std::string out;
    struct Frame {
        const TNode* node;
        int next;
    };
    std::vector<Frame> stack;
    stack.push_back({root, 0});
    while (!stack.empty()) {
        Frame& top = stack.back();
        const TNodeList& children = top.node->childNodes();
        if (top.next >= children.length()) {
            if (top.node != root)
                out += ")";
            stack.pop_back();
            continue;
        }
        const TNode* child = children.item(top.next);
        if (top.next++ > 0)
            out += ",";
        if (child->nodeType() != ELEMENT_NODE) {
            shapeLeaf(child, out);
            continue;
        }
        out += ansi::toUtf8(child->nodeName());
        if (child->hasAttributes()) {
            out += "[";
            const TNamedNodeMap& attrs = *child->attributes();
            for (int i = 0; i < attrs.length(); ++i) {
                const TNode* a = attrs.item(i);
                if (i > 0)
                    out += " ";
                out += ansi::toUtf8(a->nodeName());
                for (int j = 0; j < a->childNodes().length(); ++j) {
                    out += j == 0 ? "=" : "";
                    shapeLeaf(a->childNodes().item(j), out);
                }
            }
            out += "]";
        }
        if (child->hasChildNodes()) {
            out += "(";
            stack.push_back({child, 0});
        }
    }
    return out;
}
