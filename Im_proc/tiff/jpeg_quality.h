// The quality a JPEG page was written with, from its quantisation tables:
// what a page is written back with so that it loses no more than it had.
// Plain functions on bytes; no codec is involved.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// TQuantTables: the quantisation tables a JPEG stream defines, by number
// (0 to 3), each in natural (row by row) order; Present says which.
struct TQuantTables {
  std::array<std::array<std::uint16_t, 64>, 4> Values{};
  std::array<bool, 4> Present{};
};

// ReadQuantTables: adds to `tables` the tables that the JPEG stream in
// `data` defines before its first scan (a later definition of a number
// replaces an earlier one). A tables-only stream (a TIFF's JPEGTables)
// and a whole one (a strip) are both read. False when the stream is not
// JPEG or a table definition is cut short.
bool ReadQuantTables(const std::uint8_t* data, std::size_t size, TQuantTables& tables);

// StandardTable: libjpeg's table for `quality` (1 to 100): the luminance
// (table 0) or chrominance table of the JPEG standard's Annex K, scaled as
// jpeg_quality_scaling and jpeg_add_quant_table scale it without forcing
// baseline values (what libtiff's encoder asks for), in natural order.
std::array<std::uint16_t, 64> StandardTable(bool chrominance, int quality);

// QualityOf: the quality (1 to 100) a page is written back with. When every
// table present is StandardTable of one quality (table 0 luminance, any
// other chrominance), that quality: the new tables are the same bytes.
// Otherwise the lowest quality whose standard tables are nowhere coarser
// than the page's own (no entry larger), so that nothing is quantised more
// coarsely than it was. 0 when no table is present, or one holds a 0.
int QualityOf(const TQuantTables& tables);
