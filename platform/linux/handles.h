// Handles of more than one kind meet in CloseHandle, as in the system's one CloseHandle: files
// (platform/linux/files.cpp) are known by their own table, everything else is a thread.
#pragma once

#include "platform/win32.h"

// Closes the handle if CreateFileA made it and returns true; false for any other handle.
bool close_if_file_handle(HANDLE handle);
