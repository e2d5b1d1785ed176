// Finds and closes the plug-in's dialog boxes (see notice_watcher.h).
#include "apps/wincheck/notice_watcher.h"

#include <algorithm>

namespace wincheck {
namespace {

// The static control that holds a message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;
// Polls after which a box that ignored IDOK is sent WM_CLOSE instead.
constexpr int kPollsBeforeClose = 10;

std::wstring window_text(HWND window) {
  wchar_t buffer[4096];
  int length = GetWindowTextW(window, buffer, static_cast<int>(std::size(buffer)));
  return std::wstring(buffer, static_cast<size_t>(std::max(length, 0)));
}

std::wstring class_name(HWND window) {
  wchar_t buffer[256];
  int length = GetClassNameW(window, buffer, static_cast<int>(std::size(buffer)));
  return std::wstring(buffer, static_cast<size_t>(std::max(length, 0)));
}

BOOL CALLBACK longest_static(HWND child, LPARAM found) {
  auto* best = reinterpret_cast<std::wstring*>(found);
  if (_wcsicmp(class_name(child).c_str(), L"Static") == 0) {
    std::wstring text = window_text(child);
    if (text.size() > best->size()) *best = text;
  }
  return TRUE;
}

// The message text: the standard text control first; failing that, the longest static text.
std::wstring box_text(HWND box) {
  wchar_t buffer[4096];
  UINT length = GetDlgItemTextW(box, kMessageBoxTextId, buffer, static_cast<int>(std::size(buffer)));
  if (length > 0) return std::wstring(buffer, length);
  std::wstring best;
  EnumChildWindows(box, longest_static, reinterpret_cast<LPARAM>(&best));
  return best;
}

}  // namespace

NoticeWatcher::NoticeWatcher() : thread_([this] { run(); }) {}

NoticeWatcher::~NoticeWatcher() {
  stop_ = true;
  thread_.join();
}

std::vector<SeenBox> NoticeWatcher::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

void NoticeWatcher::leave_alone(const std::wstring& title) {
  std::lock_guard lock(mutex_);
  left_alone_.push_back(title);
}

void NoticeWatcher::run() {
  while (!stop_) {
    poll();
    Sleep(50);
  }
}

void NoticeWatcher::poll() { EnumWindows(visit, reinterpret_cast<LPARAM>(this)); }

BOOL CALLBACK NoticeWatcher::visit(HWND window, LPARAM self_param) {
  auto* self = reinterpret_cast<NoticeWatcher*>(self_param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  if (class_name(window) != L"#32770") return TRUE;  // the dialog class of message boxes

  std::lock_guard lock(self->mutex_);
  std::wstring title = window_text(window);
  if (std::find(self->left_alone_.begin(), self->left_alone_.end(), title) != self->left_alone_.end())
    return TRUE;
  auto known = std::find_if(self->tracked_.begin(), self->tracked_.end(),
                            [window](const Tracked& t) { return t.window == window; });
  if (known == self->tracked_.end()) {
    self->seen_.push_back({title, box_text(window)});
    self->tracked_.push_back({window, 0});
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  } else if (++known->polls >= kPollsBeforeClose) {
    known->polls = 0;
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

}  // namespace wincheck
