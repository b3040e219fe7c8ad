// Replacing a file so that it is either completely rewritten or left
// byte-identical: the new content goes into a temporary file beside the
// target, is flushed to disk, and only then renamed over the target.
#pragma once

#include <cstdint>
#include <string>

// IsRegularFile: whether `fileName` names a regular file, after following
// symbolic links. Directories, pipes, sockets and devices are not.
bool IsRegularFile(const char* fileName);

// TSafeWrite: one replacement under way.
//   Target:   the file to replace (symbolic links resolved, so the link
//             itself stays a link and the file it points to is replaced).
//   TempPath: the temporary file in the target's directory. Its name starts
//             with ".valdrane-" and never ends in ".tif", so a listing of
//             "*.tif" never picks it up.
struct TSafeWrite {
  std::string Target;
  std::string TempPath;
};

// BeginSafeWrite: prepares to replace `fileName`. Returns 1 with an empty
// temporary file created (permission bits and, where allowed, owner of the
// target), or -1 without creating anything when the target is not an
// existing regular file, is read-only (no write permission bit set, or not
// writable by this user), or no temporary file can be made beside it.
// Never changes the target.
std::int32_t BeginSafeWrite(const char* fileName, TSafeWrite& write);

// CommitSafeWrite: flushes the temporary file to disk and renames it over
// the target. Returns 1 when the target now holds the new content; -1
// otherwise, with the temporary file removed and the target untouched.
std::int32_t CommitSafeWrite(TSafeWrite& write);

// AbortSafeWrite: removes the temporary file; the target is untouched.
void AbortSafeWrite(TSafeWrite& write);
