#include "listing.h"

#include <algorithm>
#include <set>

#include "platform.h"

namespace {

// `name` inside `folder`, as a path that names it.
std::string Inside(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The folder a path given for a page is in.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string ListRun(const std::vector<std::string>& paths, bool recursive, TListing& listing) {
  listing = TListing{};
  std::vector<TFolderEntry> entries;
  if (paths.empty()) {
    ListFolder(".", entries);  // nothing to list is nothing to do
    for (const TFolderEntry& entry : entries) {
      if (NameMatchesTif(entry.Name)) listing.Pages.push_back(entry.Name);
    }
    listing.Folders = {"."};
    return {};
  }
  std::set<std::string> taken, folders;
  const auto take = [&](const std::string& page, const std::string& folder) {
    const std::string key = FileKey(page);
    if (!taken.insert(key.empty() ? page : key).second) return;
    listing.Pages.push_back(page);
    if (folders.insert(FileKey(folder)).second) listing.Folders.push_back(folder);
  };
  // Folders still to list, the next one last.
  std::vector<std::string> pending;
  for (const std::string& path : paths) {
    const int kind = PathKind(path);
    if (kind < 0) return "valdrane: cannot reach '" + path + "'";
    if (kind == 0) {
      take(path, FolderOf(path));
      continue;
    }
    pending.push_back(path);
    while (!pending.empty()) {
      const std::string folder = pending.back();
      pending.pop_back();
      if (!ListFolder(folder, entries)) return "valdrane: cannot list '" + folder + "'";
      std::sort(entries.begin(), entries.end(),
                [](const TFolderEntry& a, const TFolderEntry& b) { return a.Name < b.Name; });
      for (const TFolderEntry& entry : entries) {
        if (!entry.Folder && NameMatchesTif(entry.Name)) take(Inside(folder, entry.Name), folder);
      }
      for (auto entry = entries.rbegin(); recursive && entry != entries.rend(); ++entry) {
        if (entry->Folder) pending.push_back(Inside(folder, entry->Name));
      }
    }
  }
  return {};
}
