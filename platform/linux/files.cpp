// Files: CreateFileA (append-only opening, as the diagnostic log uses it, and a whole new file, as
// the picture cache writes one), WriteFile and
// GetFileInformationByHandleEx (standard information) over POSIX descriptors. POSIX has no sharing modes:
// others may always read, write, rename or delete the file, which is what the log asks of Windows with all
// three FILE_SHARE_ flags.
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
  const bool append = access == FILE_APPEND_DATA && creation_disposition == OPEN_ALWAYS;
  const bool whole = access == GENERIC_WRITE && creation_disposition == CREATE_ALWAYS;
  if (file_name == nullptr || (!append && !whole)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int descriptor = open(file_name, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
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

// A file whose last name is gone has no links left; POSIX frees it at the last close, as
// Windows does with a file whose deletion is pending, so both fields say the same here.
// statx is asked for these fields only: asking for the file's times as well (as fstat does)
// makes the next append stamp the file afresh in the journal, which tripled the cost of a log
// record.
extern "C" BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                             LPVOID information, DWORD size) {
  auto* handle = static_cast<FileHandle*>(file);
  if (information_class != FileStandardInfo || information == nullptr || size < sizeof(FILE_STANDARD_INFO) ||
      !is_open_file(handle)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  struct statx status {};
  if (statx(handle->descriptor, "", AT_EMPTY_PATH, STATX_TYPE | STATX_NLINK | STATX_SIZE | STATX_BLOCKS,
            &status) != 0) {
    SetLastError(static_cast<DWORD>(errno));
    return 0;
  }
  FILE_STANDARD_INFO standard{};
  standard.AllocationSize.QuadPart = static_cast<int64_t>(status.stx_blocks) * 512;
  standard.EndOfFile.QuadPart = static_cast<int64_t>(status.stx_size);
  standard.NumberOfLinks = status.stx_nlink;
  standard.DeletePending = status.stx_nlink == 0;
  standard.Directory = S_ISDIR(status.stx_mode);
  *static_cast<FILE_STANDARD_INFO*>(information) = standard;
  return 1;
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
