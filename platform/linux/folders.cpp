// Folders and whole files, as the picture cache uses them: CreateDirectoryA, MoveFileExA,
// DeleteFileA, GetFileAttributesExA and the FindFirstFileA family over POSIX. Paths may use
// either separator, as Windows takes both. Times are the system's file times (100 ns since
// 1601), so that comparing two of them means what it means on Windows.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/win32.h"

namespace {

std::string posix_path(const char* path) {
  std::string converted(path);
  for (char& c : converted)
    if (c == '\\') c = '/';
  return converted;
}

BOOL fail_with_errno() {
  SetLastError(errno == ENOENT   ? ERROR_FILE_NOT_FOUND
               : errno == EEXIST ? ERROR_ALREADY_EXISTS
                                 : static_cast<DWORD>(errno));
  return 0;
}

FILETIME file_time(const struct timespec& when) {
  constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ull;
  uint64_t ticks = (static_cast<uint64_t>(when.tv_sec) + kSecondsFrom1601To1970) * 10000000ull +
                   static_cast<uint64_t>(when.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void describe(const struct stat& status, DWORD* attributes, FILETIME* created, FILETIME* accessed,
              FILETIME* written, DWORD* size_high, DWORD* size_low) {
  *attributes = S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  *created = file_time(status.st_ctim);
  *accessed = file_time(status.st_atim);
  *written = file_time(status.st_mtim);
  *size_high = static_cast<DWORD>(static_cast<uint64_t>(status.st_size) >> 32);
  *size_low = static_cast<DWORD>(status.st_size);
}

struct Search {
  DIR* folder;
  std::string folder_path;
  std::string pattern;
};

std::mutex searches_mutex;
std::unordered_set<Search*> open_searches;

bool take_search(Search* search) {
  std::lock_guard lock(searches_mutex);
  return open_searches.erase(search) != 0;
}

bool is_search(Search* search) {
  std::lock_guard lock(searches_mutex);
  return open_searches.count(search) != 0;
}

// The next entry that matches, described; false at the end.
bool next_match(Search* search, LPWIN32_FIND_DATAA found) {
  while (dirent* entry = readdir(search->folder)) {
    if (fnmatch(search->pattern.c_str(), entry->d_name, FNM_PERIOD) != 0) continue;
    if (strlen(entry->d_name) >= sizeof found->cFileName) continue;
    struct stat status {};
    if (stat((search->folder_path + "/" + entry->d_name).c_str(), &status) != 0) continue;
    *found = WIN32_FIND_DATAA{};
    describe(status, &found->dwFileAttributes, &found->ftCreationTime, &found->ftLastAccessTime,
             &found->ftLastWriteTime, &found->nFileSizeHigh, &found->nFileSizeLow);
    memcpy(found->cFileName, entry->d_name, strlen(entry->d_name) + 1);
    return true;
  }
  return false;
}

}  // namespace

extern "C" BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
  if (path == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), 0;
  return mkdir(posix_path(path).c_str(), 0755) == 0 ? 1 : fail_with_errno();
}

extern "C" BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
  if (existing == nullptr || replacement == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), 0;
  const std::string target = posix_path(replacement);
  // rename replaces silently; Windows refuses unless asked to.
  if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && access(target.c_str(), F_OK) == 0)
    return SetLastError(ERROR_ALREADY_EXISTS), 0;
  return rename(posix_path(existing).c_str(), target.c_str()) == 0 ? 1 : fail_with_errno();
}

extern "C" BOOL DeleteFileA(LPCSTR file_name) {
  if (file_name == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), 0;
  return unlink(posix_path(file_name).c_str()) == 0 ? 1 : fail_with_errno();
}

extern "C" BOOL GetFileAttributesExA(LPCSTR file_name, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  if (file_name == nullptr || level != GetFileExInfoStandard || information == nullptr)
    return SetLastError(ERROR_INVALID_PARAMETER), 0;
  struct stat status {};
  if (stat(posix_path(file_name).c_str(), &status) != 0) return fail_with_errno();
  auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
  describe(status, &data->dwFileAttributes, &data->ftCreationTime, &data->ftLastAccessTime,
           &data->ftLastWriteTime, &data->nFileSizeHigh, &data->nFileSizeLow);
  return 1;
}

extern "C" HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found) {
  if (pattern == nullptr || found == nullptr)
    return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  const std::string path = posix_path(pattern);
  const size_t slash = path.rfind('/');
  auto* search = new Search{nullptr, slash == std::string::npos ? "." : path.substr(0, slash),
                            slash == std::string::npos ? path : path.substr(slash + 1)};
  search->folder = opendir(search->folder_path.c_str());
  if (search->folder == nullptr) {
    fail_with_errno();
    delete search;
    return INVALID_HANDLE_VALUE;
  }
  if (!next_match(search, found)) {
    closedir(search->folder);
    delete search;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard lock(searches_mutex);
  open_searches.insert(search);
  return search;
}

extern "C" BOOL FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA found) {
  auto* search = static_cast<Search*>(handle);
  if (found == nullptr || !is_search(search)) return SetLastError(ERROR_INVALID_PARAMETER), 0;
  if (next_match(search, found)) return 1;
  SetLastError(ERROR_NO_MORE_FILES);
  return 0;
}

extern "C" BOOL FindClose(HANDLE handle) {
  auto* search = static_cast<Search*>(handle);
  if (!take_search(search)) return SetLastError(ERROR_INVALID_PARAMETER), 0;
  closedir(search->folder);
  delete search;
  return 1;
}
