// The picture cache on disk (see avatar_cache.h). Two fetch threads may write at once; they
// never write the same address at once (the queue hands each contact to one of them), and the
// count of files that decides when to prune is kept under one lock.
#include "services/avatar_cache.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/host_services.h"
#include "core/protocol_state.h"
#include "host/host_api.h"

namespace {

const char* const kExtensions[] = {".jpg", ".png", ".gif", ".none"};
const int kFormats[] = {PA_FORMAT_JPEG, PA_FORMAT_PNG, PA_FORMAT_GIF, PA_FORMAT_UNKNOWN};
constexpr int kKinds = 4;
// "<16 hex digits>.<counter>.tmp" and the longest extension both fit in this.
constexpr size_t kFileNameRoom = 40;

std::mutex count_mutex;
// Files in the folder as far as this library knows; -1 until the folder was first counted.
long file_count = -1;
std::atomic<uint32_t> temporary_counter{0};

char separator_of(const char* folder) { return strchr(folder, '\\') != nullptr ? '\\' : '/'; }

// FNV-1a over the address, letters folded, so that one contact always has one name.
uint64_t address_hash(const char* address) {
  uint64_t hash = 14695981039346656037ull;
  for (const char* p = address; *p != '\0'; ++p) {
    char c = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
    hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  }
  return hash;
}

const char* extension_of(int format) {
  for (int i = 0; i < kKinds; ++i)
    if (kFormats[i] == format) return kExtensions[i];
  return nullptr;
}

bool file_exists(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return GetFileAttributesExA(path, GetFileExInfoStandard, &data) != 0 &&
         (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool write_whole(const char* path, const uint8_t* bytes, size_t length) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool whole = length == 0 || (WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr) != 0 &&
                               written == length);
  return CloseHandle(file) != 0 && whole;
}

// folder, its separator and name in out; false when that does not fit, so that a cut path can
// never name (and delete) another file.
bool join(const char* folder, const char* name, char* out, size_t out_size) {
  const size_t folder_length = strlen(folder);
  const size_t name_length = strnlen(name, MAX_PATH);
  if (folder_length + 1 + name_length >= out_size) return false;
  memcpy(out, folder, folder_length);
  out[folder_length] = separator_of(folder);
  memcpy(out + folder_length + 1, name, name_length);
  out[folder_length + 1 + name_length] = '\0';
  return true;
}

uint64_t ticks_of(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

bool avatar_cache_folder(char* out, size_t out_size) {
  char profile[MAX_PATH];
  profile[0] = '\0';
  if (call_service(MS_DB_GETPROFILEPATH, sizeof profile, reinterpret_cast<LPARAM>(profile)) != 0)
    return false;
  profile[sizeof profile - 1] = '\0';
  if (profile[0] == '\0') return false;
  char folder[MAX_PATH];
  int length = snprintf(folder, sizeof folder, "%s%c%s-avatars", profile, separator_of(profile),
                        protocol_state.module_name);
  if (length < 0 || static_cast<size_t>(length) + kFileNameRoom >= sizeof folder ||
      static_cast<size_t>(length) >= out_size)
    return false;
  if (CreateDirectoryA(folder, nullptr) == 0 && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  memcpy(out, folder, static_cast<size_t>(length) + 1);
  return true;
}

bool avatar_cache_path(const char* folder, const char* address, int format, char* out, size_t out_size) {
  const char* extension = extension_of(format);
  if (extension == nullptr) return false;
  int length = snprintf(out, out_size, "%s%c%016llx%s", folder, separator_of(folder),
                        static_cast<unsigned long long>(address_hash(address)), extension);
  return length > 0 && static_cast<size_t>(length) < out_size;
}

AvatarCached avatar_cache_find(const char* folder, const char* address, int* format, char* path,
                               size_t path_size) {
  char candidate[MAX_PATH];
  for (int i = 0; i < kKinds; ++i) {
    if (!avatar_cache_path(folder, address, kFormats[i], candidate, sizeof candidate) ||
        !file_exists(candidate))
      continue;
    if (kFormats[i] == PA_FORMAT_UNKNOWN) return AVATAR_CACHED_ABSENT;
    if (strlen(candidate) >= path_size) return AVATAR_CACHED_NOTHING;
    memcpy(path, candidate, strlen(candidate) + 1);
    *format = kFormats[i];
    return AVATAR_CACHED_PICTURE;
  }
  return AVATAR_CACHED_NOTHING;
}

bool avatar_cache_store(const char* folder, const char* address, int format, const uint8_t* bytes,
                        size_t length) {
  char target[MAX_PATH];
  char temporary[MAX_PATH];
  if (!avatar_cache_path(folder, address, format, target, sizeof target)) return false;
  int written = snprintf(temporary, sizeof temporary, "%s%c%016llx.%u.tmp", folder, separator_of(folder),
                         static_cast<unsigned long long>(address_hash(address)),
                         static_cast<unsigned>(temporary_counter.fetch_add(1)));
  if (written <= 0 || static_cast<size_t>(written) >= sizeof temporary) return false;
  const bool existed = file_exists(target);
  if (!write_whole(temporary, bytes, length) ||
      MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING) == 0) {
    DeleteFileA(temporary);
    return false;
  }
  int removed = 0;
  char other[MAX_PATH];
  for (int i = 0; i < kKinds; ++i) {
    if (kFormats[i] == format || !avatar_cache_path(folder, address, kFormats[i], other, sizeof other))
      continue;
    if (DeleteFileA(other) != 0) ++removed;
  }
  bool over = false;
  {
    std::lock_guard lock(count_mutex);
    if (file_count >= 0) file_count += (existed ? 0 : 1) - removed;
    over = file_count < 0 || file_count > static_cast<long>(AVATAR_CACHE_MAX_FILES);
  }
  if (over) avatar_cache_prune(folder, AVATAR_CACHE_MAX_FILES);
  return true;
}

long avatar_cache_prune(const char* folder, size_t limit) {
  struct Entry {
    uint64_t written;
    char name[MAX_PATH];
  };
  char pattern[MAX_PATH];
  int length = snprintf(pattern, sizeof pattern, "%s%c*", folder, separator_of(folder));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof pattern) return -1;
  std::lock_guard lock(count_mutex);
  std::vector<Entry> entries;
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) {
    file_count = 0;
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
  }
  SYSTEMTIME system_now{};
  FILETIME file_now{};
  GetSystemTime(&system_now);
  SystemTimeToFileTime(&system_now, &file_now);
  const uint64_t now = ticks_of(file_now);
  constexpr uint64_t kLeftoverAge = 10ull * 60 * 10000000;  // ten minutes in file-time ticks
  char path[MAX_PATH];
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || found.cFileName[0] == '.') continue;
    found.cFileName[sizeof found.cFileName - 1] = '\0';
    const size_t name_length = strlen(found.cFileName);
    if (name_length > 4 && strcmp(found.cFileName + name_length - 4, ".tmp") == 0) {
      // A fetch thread may be writing a fresh one right now; an old one is a crash's leftover.
      if (ticks_of(found.ftLastWriteTime) + kLeftoverAge < now &&
          join(folder, found.cFileName, path, sizeof path))
        DeleteFileA(path);
      continue;
    }
    Entry entry{ticks_of(found.ftLastWriteTime), {}};
    memcpy(entry.name, found.cFileName, name_length + 1);
    entries.push_back(entry);
  } while (FindNextFileA(search, &found) != 0);
  FindClose(search);

  long left = static_cast<long>(entries.size());
  if (entries.size() > limit) {
    // Some room below the limit, so that the next few new files do not each list the folder again.
    const size_t keep = limit - limit / 20;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.written < b.written; });
    for (size_t i = 0; i < entries.size() - keep; ++i) {
      if (join(folder, entries[i].name, path, sizeof path) && DeleteFileA(path) != 0) --left;
    }
  }
  file_count = left;
  return left;
}
