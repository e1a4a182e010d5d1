// Files that appear complete or not at all.
#pragma once

#include <functional>
#include <optional>
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

// Writes a new file under the first of the names nameFor(first) ..
// nameFor(last) (relative to `directory`, which ends in '/' or is empty for
// the current directory) that no file has, and returns its number; nullopt,
// writing nothing, when every name is taken. Finding the name costs one
// existence test per number: the writer runs once, into an anonymous file as
// saveNewFile's, which is then linked under the free name. A name that
// appears between the test and the link passes the same bytes on to the
// next free number. Errors as saveNewFile.
std::optional<int> saveNumberedFile(const std::string& directory, int first, int last,
                                    const std::function<std::string(int)>& nameFor,
                                    const std::function<void(Stream&)>& writer);

// Removes the hidden temporary files that a process of ours left in
// `directory` when it was killed while writing (ours: the naming pattern of
// the temporary files, and the process that made them is gone). Returns how
// many were removed.
int removeStaleTemporaries(const std::string& directory);

namespace detail {
// The ways for file systems without anonymous files (tests use them directly).
bool saveNewFileThroughNamedTemporary(const std::string& name, const std::function<void(Stream&)>& writer);
std::optional<int> saveNumberedFileThroughNamedTemporary(const std::string& directory, int first, int last,
                                                         const std::function<std::string(int)>& nameFor,
                                                         const std::function<void(Stream&)>& writer);
}  // namespace detail

}  // namespace pixkeep
