#pragma once

#include <functional>
#include <string>

#include "platform/stream.h"

namespace pixkeep {

// Writes a file so that it appears complete or not at all: the writer fills a
// temporary file in the target's directory, which is renamed over `name` only
// after every byte was written, synced to the disk and the file closed
// cleanly; the directory is synced after the rename, so the new file is on
// the disk when the call returns. Raises
// "Cannot create file <name>" when the file cannot be made, and passes on the
// writer's errors; the temporary file is removed on every failure.
void saveToFileAtomically(const std::string& name, const std::function<void(Stream&)>& writer);

}  // namespace pixkeep
