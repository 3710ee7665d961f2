// The recently-used list of the desktop program: newest first, at most ten
// entries after an open, compared without regard to letter case, kept in a
// file of 8-bit lines ended by CR LF.
#pragma once

#include <string>
#include <vector>

using TMruList = std::vector<std::string>;

inline constexpr size_t MruMaxEntries = 10;

// Moves name to the top (replacing an entry that differs only in letter
// case) and drops entries beyond the tenth.
void addToMru(TMruList& list, const std::string& name);

// The accelerator of menu entry index: 0-9, then A, B and so on.
char16_t mruAccelerator(size_t index);
// "&", the accelerator, a space and the name.
std::u16string mruCaption(size_t index, const std::string& name);

// Every non-empty line of the file; an empty list when it does not exist.
TMruList loadMruFile(const std::string& fileName);
// Writes every entry followed by CR LF; raises EFCreateError or EWriteError.
void saveMruFile(const TMruList& list, const std::string& fileName);

// The program's own path with its extension replaced by ".mru".
std::string mruFileBesideProgram(const std::string& programPath);
