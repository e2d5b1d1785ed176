// Files: CreateFileA (append-only opening, as the diagnostic log uses it), WriteFile and
// GetFileAttributesA over POSIX descriptors. POSIX has no sharing modes: others may always read,
// write, rename or delete the file, which is what the log asks of Windows with all three
// FILE_SHARE_ flags.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_set>

#include "platform/linux/handles.h"

namespace {

struct FileHandle {
  int descriptor = -1;
};

// The open file handles, so that CloseHandle and WriteFile can tell them from thread handles.
std::mutex files_mutex;
std::unordered_set<FileHandle*> open_files;

bool is_open_file(FileHandle* handle) {
  std::lock_guard lock(files_mutex);
  return open_files.count(handle) != 0;
}

}  // namespace

extern "C" HANDLE CreateFileA(LPCSTR file_name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                              DWORD creation_disposition, DWORD, HANDLE) {
  // Only what the plug-in asks for is provided; anything else fails as an unsupported request.
  if (file_name == nullptr || access != FILE_APPEND_DATA || creation_disposition != OPEN_ALWAYS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int descriptor = open(file_name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    SetLastError(static_cast<DWORD>(errno));
    return INVALID_HANDLE_VALUE;
  }
  auto* handle = new FileHandle{descriptor};
  std::lock_guard lock(files_mutex);
  open_files.insert(handle);
  return handle;
}

extern "C" BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, LPDWORD written, void*) {
  auto* handle = static_cast<FileHandle*>(file);
  if (!is_open_file(handle)) return 0;
  const char* bytes = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < length) {
    ssize_t count = write(handle->descriptor, bytes + done, length - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<DWORD>(count);
  }
  if (written != nullptr) *written = done;
  return done == length;
}

extern "C" DWORD GetFileAttributesA(LPCSTR file_name) {
  struct stat status {};
  if (file_name == nullptr || stat(file_name, &status) != 0) return INVALID_FILE_ATTRIBUTES;
  return S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

bool close_if_file_handle(HANDLE file) {
  auto* handle = static_cast<FileHandle*>(file);
  {
    std::lock_guard lock(files_mutex);
    if (open_files.erase(handle) == 0) return false;
  }
  close(handle->descriptor);
  delete handle;
  return true;
}
