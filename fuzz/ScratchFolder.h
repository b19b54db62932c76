// A folder of this fuzz process for the files a target reads (settings
// store, INI file, registry, NTLM user file); it goes when the process ends.
#pragma once

#include <string>

namespace fuzzing {

// The folder, made at the first call.
const std::string& ScratchFolder();
// Writes the bytes to a file of that name in the folder; returns its path.
std::string WriteScratchFile(const std::string& name, const std::string& bytes);

}  // namespace fuzzing
