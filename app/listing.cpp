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

std::string ListRun(const std::vector<std::string>& paths, bool recursive,
                    const std::string& output, TListing& listing) {
  listing = TListing{};
  std::vector<TFolderEntry> entries;
  std::set<std::string> taken, folders, outputs;
  const std::string outputKey = output.empty() ? std::string() : FileKey(output);
  // A page, its path below the folder it was found from, and its folder.
  const auto take = [&](const std::string& page, const std::string& below,
                        const std::string& folder) {
    const std::string key = FileKey(page);
    if (!taken.insert(key.empty() ? page : key).second) return;
    listing.Pages.push_back(page);
    std::string written = folder;
    if (!output.empty()) {
      const std::string target = Inside(output, below);
      listing.Outputs.push_back(outputs.insert(target).second ? target : std::string());
      written = FolderOf(target);
    }
    if (folders.insert(output.empty() ? FileKey(written) : written).second) {
      listing.Folders.push_back(written);
    }
  };
  if (paths.empty()) {
    ListFolder(".", entries);  // nothing to list is nothing to do
    for (const TFolderEntry& entry : entries) {
      if (NameMatchesTif(entry.Name)) take(entry.Name, entry.Name, ".");
    }
    if (listing.Folders.empty() && output.empty()) listing.Folders = {"."};
    return {};
  }
  // Folders still to list, the next one last, each with its path below the
  // path given.
  std::vector<std::pair<std::string, std::string>> pending;
  for (const std::string& path : paths) {
    const int kind = PathKind(path);
    if (kind < 0) return "valdrane: cannot reach '" + path + "'";
    if (kind == 0) {
      take(path, path.substr(path.find_last_of('/') + 1), FolderOf(path));
      continue;
    }
    pending.emplace_back(path, "");
    while (!pending.empty()) {
      const auto [folder, below] = pending.back();
      pending.pop_back();
      if (!outputKey.empty() && FileKey(folder) == outputKey) continue;
      if (!ListFolder(folder, entries)) return "valdrane: cannot list '" + folder + "'";
      std::sort(entries.begin(), entries.end(),
                [](const TFolderEntry& a, const TFolderEntry& b) { return a.Name < b.Name; });
      for (const TFolderEntry& entry : entries) {
        if (!entry.Folder && NameMatchesTif(entry.Name)) {
          take(Inside(folder, entry.Name), below + entry.Name, folder);
        }
      }
      for (auto entry = entries.rbegin(); recursive && entry != entries.rend(); ++entry) {
        if (entry->Folder)
          pending.emplace_back(Inside(folder, entry->Name), below + entry->Name + "/");
      }
    }
  }
  return {};
}
