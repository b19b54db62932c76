// The few dynamic-loader calls a host needs to reach the provider: open a
// module by path, look up an export by name, find the folder of the running
// program. One backend per platform (dlopen here, LoadLibraryW on Windows), so
// the host code above stays the same on both.
#pragma once

#include <string>

namespace hostloader {

using Module = void*;

// Opens the module at path (UTF-8); null on failure, with the loader's reason
// in error.
Module Open(const std::string& path, std::string& error);

// The address of the export name, or null (error says why).
void* Symbol(Module module, const char* name, std::string& error);

// Handle of the running program itself, for the host's own string table.
Module Self();

// Folder that holds the running program, with a trailing separator.
std::string ExecutableDir();

// File name of the provider library on this platform.
const char* ProviderFileName();

// Folder separator of this platform.
char PathSeparator();

}  // namespace hostloader
