// Files that appear complete or not at all.
#pragma once

#include <functional>
#include <string>

#include "platform/stream.h"

namespace pixkeep {

// Writes `name`, replacing any file of that name: the writer fills a
// temporary file in the same directory, which is flushed to the disk and
// renamed over `name` only after every byte was written and the file closed
// cleanly. Raises "Cannot create file <name>" when the file cannot be made,
// and passes on the writer's errors with the file's name and the system's
// reason as their detail; nothing is left behind on any failure.
void saveToFileAtomically(const std::string& name, const std::function<void(Stream&)>& writer);

// Writes a new file `name`, never replacing one: the bytes go to an anonymous
// file in the target directory (a hidden named one where the file system has
// none), which is flushed to the disk and then linked under `name`. Returns
// false, leaving nothing behind, when a file of that name exists, also one
// that appeared while writing. Errors as saveToFileAtomically; a crash at any
// moment leaves no partial file under `name`.
bool saveNewFile(const std::string& name, const std::function<void(Stream&)>& writer);

// Removes the hidden temporary files that a process of ours left in
// `directory` when it was killed while writing (ours: the naming pattern of
// the temporary files, and the process that made them is gone). Returns how
// many were removed.
int removeStaleTemporaries(const std::string& directory);

namespace detail {
// saveNewFile's way for file systems without anonymous files (tests use it directly).
bool saveNewFileThroughNamedTemporary(const std::string& name, const std::function<void(Stream&)>& writer);
}  // namespace detail

}  // namespace pixkeep
