// Why a file was left as it was: a kind, which a run's summary counts, and
// a line that says it for this file ("damaged strip 12").
#pragma once

#include <cstdint>
#include <string>

enum class TRefusalKind : std::uint8_t {
  None,
  Unreadable,    // cannot be opened or read at all
  NotTiff,       // another kind of file, or an empty one
  NotFlattened,  // a page of a kind the tool does not flatten
  Damaged,       // a TIFF file whose header, directories or data are broken
  TooLarge,      // more memory than the run can have
  ReadOnly,      // the page may not be written
  Changed,       // the page changed, or moved, while it was worked on
  Unwritable,    // the new file could not be made, written or put in place
};
constexpr std::size_t RefusalKinds = 9;

struct TRefusal {
  TRefusalKind Kind = TRefusalKind::None;
  std::string Text;
};

// RefusalLabel: what the summary calls a kind: "not a TIFF file", ...
constexpr const char* RefusalLabel(TRefusalKind kind) {
  constexpr const char* labels[RefusalKinds] = {"",
                                                "cannot be read",
                                                "not a TIFF file",
                                                "no page it flattens",
                                                "damaged",
                                                "too large to hold",
                                                "read-only",
                                                "changed while worked on",
                                                "cannot be written"};
  return labels[static_cast<std::size_t>(kind)];
}
