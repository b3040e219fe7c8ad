#include "listing.h"

#include <algorithm>
#include <cstring>
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

// Counts an entry that is not a page in `others`.
void NoteOther(const TFolderEntry& entry, std::map<std::string, std::size_t>& others) {
  const std::size_t dot = entry.Name.find_last_of('.');
  std::string ending = dot == std::string::npos || dot == 0 ? "" : entry.Name.substr(dot);
  for (char& c : ending) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  ++others[entry.Folder ? "/" : ending];
}

}  // namespace

std::string DescribeOthers(const std::map<std::string, std::size_t>& others) {
  std::vector<std::string> parts;
  for (const auto& [ending, count] : others) {
    const std::string many = count == 1 ? "" : "s";
    const std::string part = ending == "/"    ? "folder" + many
                             : ending.empty() ? "file" + many + " without an extension"
                                              : ending + " file" + many;
    parts.push_back(std::to_string(count) + " " + part);
  }
  if (parts.empty()) return "the folder is empty";
  std::string text = parts[0];
  for (std::size_t k = 1; k < parts.size(); ++k) {
    text += (k + 1 == parts.size() ? " and " : ", ") + parts[k];
  }
  return text;
}

bool TakesName(const std::string& name, const TFolderKinds& kinds) {
  const auto endsIn = [&](const char* ending) {
    const std::size_t length = std::strlen(ending);
    if (name.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
      const char c = name[name.size() - length + i];
      if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != ending[i]) return false;
    }
    return true;
  };
  return NameMatchesTif(name) || (kinds.Png && endsIn(".png")) ||
         (kinds.Jpeg && (endsIn(".jpg") || endsIn(".jpeg")));
}

std::string ListRun(const std::vector<std::string>& paths, bool recursive,
                    const std::string& output, TListing& listing, const TFolderKinds& kinds) {
  listing = TListing{};
  listing.Output = output;
  std::vector<TFolderEntry> entries;
  std::set<std::string> taken, keys, folders, outputs;
  const std::string outputKey = output.empty() ? std::string() : FileKey(output);
  // Whether `folder` is the output folder or one inside it, links followed.
  const auto inOutput = [&outputKey](const std::string& folder) {
    std::string up = folder, previous;
    for (int level = 0; !outputKey.empty() && level < 4096; ++level, up += "/..") {
      const std::string key = FileKey(up);
      if (key.empty() || key == outputKey) return !key.empty();
      if (key == previous) break;  // the root is its own parent
      previous = key;
    }
    return false;
  };
  // A page, its path below the folder it was found from, and its folder:
  // the one named, and the folders below it the walk went through.
  const auto take = [&](const std::string& page, const std::string& below,
                        const TFolderPlace& folder) {
    const std::string key = FileKey(page);
    if (!key.empty()) keys.insert(key);
    // Into an output folder, every place in the tree has its output.
    if (!taken.insert((key.empty() ? page : key) + (output.empty() ? "" : "/" + below)).second) {
      return;
    }
    listing.Pages.push_back(page);
    listing.Firm.push_back(static_cast<std::uint32_t>(std::count(below.begin(), below.end(), '/')));
    TFolderPlace written = folder;
    if (!output.empty()) {
      listing.Outputs.push_back(outputs.insert(below).second ? below : std::string());
      const std::size_t slash = below.find_last_of('/');
      written = {output, slash == std::string::npos ? std::string() : below.substr(0, slash)};
    }
    const std::string path = Inside(written.Root, written.Below);
    if (folders.insert(output.empty() ? FileKey(path) : path).second) {
      listing.Folders.push_back(written);
    }
  };
  const auto outputsNotPages = [&] {
    for (std::string& below : listing.Outputs) {
      if (!below.empty() && keys.count(FileKey(Inside(output, below))) != 0) below.clear();
    }
  };
  if (paths.empty()) {
    if (inOutput("."))
      return "valdrane: the current folder is in the output folder '" + output + "'";
    ListFolder(".", entries);  // nothing to list is nothing to do
    for (const TFolderEntry& entry : entries) {
      if (TakesName(entry.Name, kinds)) {
        take(entry.Name, entry.Name, {".", ""});
      } else {
        NoteOther(entry, listing.Others);
      }
    }
    if (listing.Folders.empty() && output.empty()) listing.Folders = {{".", ""}};
    outputsNotPages();
    return {};
  }
  // Folders still to list, the next one last, each with its path below the
  // path given.
  std::vector<std::pair<std::string, std::string>> pending;
  for (const std::string& path : paths) {
    const int kind = PathKind(path);
    if (kind < 0) return "valdrane: cannot reach '" + path + "'";
    if (inOutput(kind == 0 ? FolderOf(path) : path)) {
      return "valdrane: '" + path + "' is in the output folder '" + output + "'";
    }
    if (kind == 0) {
      take(path, path.substr(path.find_last_of('/') + 1), {FolderOf(path), ""});
      continue;
    }
    pending.emplace_back(path, "");
    while (!pending.empty()) {
      const auto [folder, below] = pending.back();
      pending.pop_back();
      if (!outputKey.empty() && FileKey(folder) == outputKey) continue;
      if (!ListFolder(folder, entries)) {
        if (below.empty()) return "valdrane: cannot list '" + folder + "'";
        listing.Unlisted.push_back("valdrane: cannot list '" + folder + "'");
        continue;
      }
      std::sort(entries.begin(), entries.end(),
                [](const TFolderEntry& a, const TFolderEntry& b) { return a.Name < b.Name; });
      for (const TFolderEntry& entry : entries) {
        if (!entry.Folder && TakesName(entry.Name, kinds)) {
          take(Inside(folder, entry.Name), below + entry.Name,
               {path, below.empty() ? "" : below.substr(0, below.size() - 1)});
        } else if (!entry.Folder || !recursive) {
          NoteOther(entry, listing.Others);
        }
      }
      for (auto entry = entries.rbegin(); recursive && entry != entries.rend(); ++entry) {
        if (entry->Folder)
          pending.emplace_back(Inside(folder, entry->Name), below + entry->Name + "/");
      }
    }
  }
  outputsNotPages();
  return {};
}
