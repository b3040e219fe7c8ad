// Which kind of file a file is, from its first bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// FileKindOf: from the first `size` bytes of a file (at least 16 where the
// file has them): "TIFF" for a classic or BigTIFF header in either byte
// order; else what the file is, as a sentence goes on after "it is": "a
// PDF", "a PNG image", "a JPEG image", "empty", ...; nullptr for a kind it
// does not know.
const char* FileKindOf(const std::uint8_t* bytes, std::size_t size);
