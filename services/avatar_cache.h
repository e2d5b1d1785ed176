// The contacts' pictures on disk: one folder next to the host's profile, one file per contact
// named by a hash of its address (never by the address, which is the server's to choose and
// may hold anything), its extension the picture's format, or ".none" for "has no picture".
// Every file is written under a temporary name and renamed, so a crash never leaves half a
// picture under a real name; the folder keeps at most AVATAR_CACHE_MAX_FILES files.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t AVATAR_CACHE_MAX_FILES = 2000;

enum AvatarCached {
  AVATAR_CACHED_NOTHING,  // no file: ask the service
  AVATAR_CACHED_PICTURE,  // a picture: its format and path were filled
  AVATAR_CACHED_ABSENT,   // the service said there is none
};

// The folder, "<profile folder><separator><module>-avatars", with the separator the host's own
// path uses, created when missing. False when the host names no profile folder, the folder
// cannot be made, or its path (with room for a file name) would not fit in MAX_PATH.
bool avatar_cache_folder(char* out, size_t out_size);

// The file of an address in the given format (PA_FORMAT_UNKNOWN: the ".none" mark). False when
// it does not fit in out.
bool avatar_cache_path(const char* folder, const char* address, int format, char* out, size_t out_size);

// What the cache holds for an address. For a picture, its format and the file's path.
AvatarCached avatar_cache_find(const char* folder, const char* address, int* format, char* path,
                               size_t path_size);

// Stores a picture (format PA_FORMAT_*) or, with format PA_FORMAT_UNKNOWN and no bytes, the
// mark that there is none, and removes the address's other files. True when it is in place.
bool avatar_cache_store(const char* folder, const char* address, int format, const uint8_t* bytes,
                        size_t length);

// Removes the oldest files (by time written) until at most limit are left, and any temporary
// file a crash left behind. The number of files left, or -1 when the folder cannot be read.
long avatar_cache_prune(const char* folder, size_t limit);
