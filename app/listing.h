// Which pages a run takes: those of the current folder, or of the paths it
// is given, and the folders it may write in.
#pragma once

#include <string>
#include <vector>

// TListing: the pages, in the order they are taken, each as the report
// names it and as it is opened; the folders the run writes in, each once,
// which it locks and clears of what killed runs left: the pages' own, or
// with an output folder, the folders their outputs go to.
struct TListing {
  std::vector<std::string> Pages;
  std::vector<std::string> Folders;
  // With an output folder: where each page goes, the same relative path
  // under it; empty for a page whose place an earlier page already takes.
  std::vector<std::string> Outputs;
};

// ListRun: with no `paths`, the current folder's entries whose names match
// "*.tif", in the order the folder lists them, by their bare names. With
// paths, each in the order given: a folder stands for its "*.tif" entries,
// in name order (and with `recursive`, then those of its subfolders, in
// name order, depth first; links to folders are not followed); anything
// else for itself, whatever its name. A page reached twice (by two paths,
// or a link and its target) is taken once. With an `output` folder, each
// page goes to the path it has under the folder or path it was found in
// (its bare name for a path to a page), under `output`, which itself is
// never listed. Returns an empty string, or the message for a path that
// leads nowhere or a folder that cannot be listed (then `listing` is to be
// ignored).
std::string ListRun(const std::vector<std::string>& paths, bool recursive,
                    const std::string& output, TListing& listing);
