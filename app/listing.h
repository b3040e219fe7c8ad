// Which pages a run takes: those of the current folder, or of the paths it
// is given, and the folders it may write in.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "safe_file.h"

// TListing: the pages, in the order they are taken, each as the report
// names it and as it is opened, with the number of its last folders that a
// walk of folders found (never links: they must still be folders when it is
// opened); the folders the run writes in, each once, which it claims (locks,
// then clears of what killed runs left): the pages' own, or with an output
// folder, the folders their outputs go to, each as the folder the user
// named and the folders below it that the walk or the output's path adds.
struct TListing {
  std::vector<std::string> Pages;
  std::vector<std::uint32_t> Firm;
  std::vector<TFolderPlace> Folders;
  // With an output folder: the folder, and where each page goes, the same
  // relative path under it; empty for a page whose place an earlier page
  // already takes or that is itself a page being read.
  std::string Output;
  std::vector<std::string> Outputs;
  // The subfolders that could not be listed, one message each.
  std::vector<std::string> Unlisted;
  // What the folders listed hold besides pages: how many entries of each
  // ending (".pdf", lower case; "" for a name without one), and "/" for
  // folders a walk did not enter.
  std::map<std::string, std::size_t> Others;
};

// DescribeOthers: what `others` counts, as a run that found no page says
// it: "2 .pdf files, 1 file without an extension and 3 folders"; "the
// folder is empty" for nothing.
std::string DescribeOthers(const std::map<std::string, std::size_t>& others);

// TFolderKinds: what a folder stands for besides its TIFF pages: its PNG
// files ("*.png") and its JPEG files ("*.jpg", "*.jpeg"), any letter case.
struct TFolderKinds {
  bool Png = false;
  bool Jpeg = false;
};

// TakesName: whether a folder's entry `name` is one of its pages: a TIFF
// page's name, or one of the `kinds` asked for.
bool TakesName(const std::string& name, const TFolderKinds& kinds);

// ListRun: with no `paths`, the current folder's entries whose names match
// "*.tif" or "*.tiff" (and the `kinds` asked for), in the order the folder
// lists them, by their bare names. With paths, each in the order given: a
// folder stands for those entries, in name order (and with `recursive`, then
// those of its subfolders, in name order, depth first; links to folders are
// not followed, and a subfolder that cannot be listed is left out with a
// message in Unlisted); anything else for itself, whatever its name. In
// place, a page reached twice (by two paths, or a link and its target) is
// taken once. With an `output` folder, each page goes to the path it has
// under the folder or path it was found in (its bare name for a path to a
// page), under `output`, which itself is never listed; a page reached by two
// paths goes to both places. Returns an empty string, or the message for a
// path that leads nowhere, a folder given that cannot be listed, or a path
// given that is the output folder or inside it (then `listing` is to be
// ignored).
std::string ListRun(const std::vector<std::string>& paths, bool recursive,
                    const std::string& output, TListing& listing, const TFolderKinds& kinds = {});
