// A page copied as it is, byte for byte, through the safe replacement: for
// a file the tool does not flatten that must still reach an output folder.
#pragma once

#include <cstdint>

#include "safe_file.h"

// CopyPage: writes every byte of `page`, as it is, into the temporary file
// of `write` (begun by BeginSafeWrite, and still empty), reading through
// the page's own descriptor. Returns 1 when all of them are there and the
// page has not grown or shrunk meanwhile; -1 otherwise.
std::int32_t CopyPage(const TPageFile& page, TSafeWrite& write);
