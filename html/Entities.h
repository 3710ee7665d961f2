// The character entities of HTML 4.01 (Latin-1, symbols and special sets):
// entity name -> the UTF-16 code unit it stands for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One row of the table.
struct TEntity {
    const char* name; // case as written in HTML ("Agrave" and "agrave" differ)
    uint16_t code;
};

// Number of rows: 96 Latin-1 + 124 symbols + 32 special.
constexpr int ENTITY_COUNT = 252;

// The fixed rows, in the order of the HTML 4.01 entity sets.
const TEntity* entityRows() noexcept;

// References to the rows, sorted once by name (ordinal byte comparison, so
// upper-case names come before lower-case ones); looked up by bisection.
class TEntList {
public:
    TEntList();
    int count() const { return static_cast<int>(items_.size()); }
    const TEntity* item(int index) const { return items_[static_cast<size_t>(index)]; }
    // The row named exactly name, or null.
    const TEntity* find(std::string_view name) const noexcept;

private:
    std::vector<const TEntity*> items_;
};

// The program-wide sorted list.
const TEntList& entityList();

// The code of the entity named exactly name (case-sensitive, untrimmed);
// 32 (a space) for a name the table does not hold.
uint16_t getEntityCode(const std::string& name);
