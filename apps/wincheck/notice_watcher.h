// Closes the dialog boxes the plug-in shows, so that the check runs unattended: a thread looks
// for visible dialog windows of this process every 50 ms, notes each one's title and text and
// presses its OK button (and, should that not close it, sends it WM_CLOSE).
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wincheck {

struct SeenBox {
  std::wstring title;
  std::wstring text;  // the box's message, empty when it could not be read
};

class NoticeWatcher {
 public:
  NoticeWatcher();
  ~NoticeWatcher();
  NoticeWatcher(const NoticeWatcher&) = delete;
  NoticeWatcher& operator=(const NoticeWatcher&) = delete;

  // Every box seen so far, in order of appearance.
  std::vector<SeenBox> seen() const;
  // Dialogs with this title are answered by someone else: neither recorded nor closed.
  void leave_alone(const std::wstring& title);

 private:
  void run();
  void poll();
  static BOOL CALLBACK visit(HWND window, LPARAM self);

  struct Tracked {
    HWND window;
    int polls;  // how often it was found still open after being closed
  };
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<SeenBox> seen_;
  std::vector<Tracked> tracked_;
  std::vector<std::wstring> left_alone_;
  std::thread thread_;
};

}  // namespace wincheck
