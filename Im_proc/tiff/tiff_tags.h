// Tags of a TIFF page: reading the header's values, and the tags that are
// carried from the file read to the file written (see TCarriedTag).
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <vector>

#include "image.h"

// Tag16, Tag32, TagFloat: tag values as the file holds them; 0 for a tag
// that the file lacks.
std::uint32_t Tag16(TIFF* tif, ttag_t tag);
std::uint32_t Tag32(TIFF* tif, ttag_t tag);
float TagFloat(TIFF* tif, ttag_t tag);
// Defaulted16: a tag's value as it applies, TIFF's default for a tag the
// file lacks.
std::uint32_t Defaulted16(TIFF* tif, ttag_t tag);

// TakeTags: the carried tags of the open file into `tags`, by directory and
// tag number: the page's own, then those of its EXIF and GPS directories.
// False when the file cannot be taken back to the page's directory after
// reading those (the directory it was in).
bool TakeTags(TIFF* tif, std::vector<TCarriedTag>& tags);

// WriteCustomDirectories: writes the EXIF and GPS directories of `tags`
// into the new file, before the page's own, and sets the page's pointers to
// them; then starts the page's directory. True when there are none.
bool WriteCustomDirectories(TIFF* tif, const std::vector<TCarriedTag>& tags);

// PutTag: sets one carried tag on a file being written, registering a
// private tag that this libtiff does not know as it was read. False when
// libtiff refuses it.
bool PutTag(TIFF* tif, const TCarriedTag& carried);

// TPreviewPlace: where one of a page's previews (a thumbnail, a
// reduced-resolution image) is: the SubIFD whose chain it is in, and how
// many directories along that chain.
struct TPreviewPlace {
  std::uint64_t Offset = 0;
  std::uint32_t Step = 0;
};

// PreviewPlaces: the previews of the page the open file is in: the
// directories its SubIFD tag points at and those their chains go on to, in
// order, at most 64. May leave the file at another directory.
std::vector<TPreviewPlace> PreviewPlaces(TIFF* tif);

// GoToPreview: makes the preview at `place` the open file's directory.
// False when it cannot be read.
bool GoToPreview(TIFF* tif, const TPreviewPlace& place);

// HoldPreviews: on a file being written, makes the directory being set up
// the page of `count` previews: the next `count` directories written are
// its SubIFDs (libtiff fills in their offsets). True, setting nothing, for
// none.
bool HoldPreviews(TIFF* tif, std::size_t count);
