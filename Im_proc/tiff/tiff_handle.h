// libtiff on the tool's own files: a page read or written at positions of
// a descriptor (ReadAt, WriteAt), each handle at its own place, so that
// several threads can decode strips of one page at once; a file in memory
// for encoding strips apart from the file they go to; and the warnings
// libtiff gives while a page is read. Only the TIFF units include this.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <vector>

#include "safe_file.h"

// A file as libtiff reads and writes it through a descriptor that belongs
// to the caller.
struct TFileHandle {
  int Fd = -1;
  std::uint64_t At = 0;
  int Error = 0;  // the system's error number of the first write that failed
};

// A file in memory that libtiff writes into.
struct TMemoryFile {
  std::vector<std::uint8_t> Bytes;  // the file from byte Dropped on
  std::uint64_t At = 0;
  std::uint64_t Dropped = 0;  // bytes let go of (LetGo): writes there are lost, reads give 0
};

// LetGo: the memory file keeps none of the bytes written so far; what is
// written after them goes on at the same offsets. For a file whose blocks
// are taken out as they are encoded.
void LetGo(TMemoryFile& memory);

// Warnings from libtiff that make a file unfit to be rewritten: its data
// would come back as libtiff's guess, not as the file holds it.
struct TReadWarnings {
  // The strip (or tile) table was discarded and guessed from the image size.
  bool GuessedStripSizes = false;
  // The JPEG decoder met damaged or missing data and filled in the rest.
  bool DamagedJpeg = false;
  // The first strip (or tile) that did not decode to its full size.
  std::uint32_t FirstBadBlock = 0;
};

// TTiffWriter: a new TIFF file being written through a descriptor.
struct TTiffWriter {
  TFileHandle Handle;
  TIFF* Tif = nullptr;
};

// OpenForReading: opens the page for reading through `handle`, with no
// strip chopping ("c"), so the strips are the file's own and a page is
// written back with the rows per strip it came with. Warnings that libtiff
// gives while the file is open, reading strips included, are noted in
// `warnings`; both must outlive the open file. Null when libtiff refuses
// the file.
TIFF* OpenForReading(const TPageFile& page, TFileHandle& handle, TReadWarnings& warnings);

// CloseForReading: closes a file that OpenForReading opened (if any); its
// warnings are no longer noted.
void CloseForReading(TIFF* tif);

// OpenForWriting: a new TIFF file, BigTIFF when `big`, big-endian (MM)
// when `bigEndian`, else little-endian (II), written through `handle`'s
// descriptor from its start; `name` is for libtiff's messages. Null on
// failure.
TIFF* OpenForWriting(const char* name, TFileHandle& handle, bool big, bool bigEndian);

// OpenInMemory: a new TIFF file written into `memory`, in the byte order
// `bigEndian` says. Null on failure.
TIFF* OpenInMemory(TMemoryFile& memory, bool bigEndian);

// ReadRawBlock, WriteRawBlock: moves the compressed bytes of block k
// (a strip, or a tile in a tiled file) as the file holds them, at most
// `size` of them (the block's first bytes when it has more). Return the
// bytes moved, or -1.
tmsize_t ReadRawBlock(TIFF* tif, std::uint32_t k, void* data, tmsize_t size);
tmsize_t WriteRawBlock(TIFF* tif, std::uint32_t k, void* data, tmsize_t size);
