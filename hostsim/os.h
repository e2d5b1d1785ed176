// The few operating-system calls the host stand-in needs: loading plug-in files and telling
// which loaded file a code address belongs to. Implemented in os.cpp, the one file of the
// host stand-in that knows the operating system.
#pragma once

#include <cstdint>
#include <string>

namespace hostsim::os {

using Library = void*;

// Null on failure, with the system's reason in `error`.
Library open_library(const std::string& path, std::string& error);
void* library_symbol(Library library, const char* name);
void close_library(Library library);
// Identifies the loaded file (executable or library) holding `code`; 0 when unknown. Two
// addresses in the same file give the same value.
uintptr_t module_of(const void* code);

}  // namespace hostsim::os
