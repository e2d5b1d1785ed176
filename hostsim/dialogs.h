// The host stand-in's side of the plug-ins' dialogs on Linux: someone at the desk who answers
// modal dialogs (the account set-up), the host's options and details windows that make the
// pages the plug-ins add, and a Dialog view through which tests read and drive a dialog as a
// user would (type into a field, tick a box, press OK, Cancel or Escape) and as the host's
// windows do (the apply notice, the details notice). The dialogs themselves live in each
// plug-in's platform layer (platform/linux/dialogs.cpp), reached through platform/desktop.h.
//
// Modal dialogs are answered on the thread that opened them (the one calling Load), like the
// message loop of a real dialog; windows and dialogs belong to the thread that made them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostsim/host.h"
#include "platform/desktop.h"

namespace hostsim {

struct ControlView {
  int id = 0;
  int kind = 0;  // PlatformControlKind
  uint32_t style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  std::string text;
  bool checked = false;
};

// A live dialog of a plug-in. Every call checks that the dialog (and its module) still exist;
// on a dialog that is gone, readers give empty values and actions do nothing.
class Dialog {
 public:
  Dialog(void* handle, const PlatformDialogOps* ops) : handle_(handle), ops_(ops) {}

  void* handle() const { return handle_; }
  bool alive() const;
  std::optional<PlatformDialogInfo> info() const;
  int template_id() const;
  std::string caption() const;
  std::vector<ControlView> controls() const;
  // The first control with that id.
  std::optional<ControlView> control(int id) const;
  std::string text(int id) const;
  bool checked(int id) const;
  bool ended() const;
  INT_PTR result() const;

  // A user replaces the text of an edit field: false for a missing or read-only field.
  bool type(int id, const std::string& text);
  // A user clicks a push button or a check box (which then toggles).
  bool click(int id);
  void press_ok() { click(IDOK); }
  void press_cancel() { click(IDCANCEL); }
  // The dialog manager turns the Escape key into the Cancel command.
  void press_escape();
  // The close box of the window frame.
  void close_box();

  INT_PTR send(UINT message, WPARAM wparam, LPARAM lparam);
  // The window that holds the dialog destroys it (a modeless dialog; modal ones end instead).
  void destroy();
  // WM_NOTIFY with a PSHNOTIFY record: the header and one word after it.
  INT_PTR notify(void* from, UINT_PTR id_from, UINT code, LPARAM param = 0);

 private:
  std::optional<int> index_of(int id) const;
  void* handle_;
  const PlatformDialogOps* ops_;
};

// A modal dialog as it was when it opened (after its initialisation) and how it ended.
struct ShownDialog {
  int template_id = 0;
  std::string caption;
  std::map<int, std::string> texts;  // edit fields by id
  std::map<int, bool> checks;        // check boxes by id
  bool had_big_icon = false;
  bool answered = false;  // ended by the desk's answer (not cancelled for want of one)
  INT_PTR result = 0;
};

// Someone at the desk: while it exists, modal dialogs of the plug-ins are recorded and given to
// its answer. Without an answer, or when the answer leaves the dialog open, the dialog is
// cancelled (Escape). With no desk at all dialogs are cancelled and not recorded. Desks nest;
// the newest one answers.
class DialogDesk {
 public:
  using Answer = std::function<void(Dialog&)>;
  DialogDesk();
  explicit DialogDesk(Answer answer);
  ~DialogDesk();
  DialogDesk(const DialogDesk&) = delete;
  DialogDesk& operator=(const DialogDesk&) = delete;

  void set_answer(Answer answer);
  std::vector<ShownDialog> shown() const;

  // Internal: run by the desktop for each modal dialog.
  void handle(Dialog& dialog);

 private:
  struct State;
  std::unique_ptr<State> state_;
  DialogDesk* previous_;
};

// The host's options window: raises "Opt/Initialise" and makes each page that a plug-in added
// from the plug-in's template, as a child of the window.
class OptionsWindow {
 public:
  explicit OptionsWindow(Host& host);
  ~OptionsWindow();
  OptionsWindow(const OptionsWindow&) = delete;
  OptionsWindow& operator=(const OptionsWindow&) = delete;

  void* handle() const;
  std::vector<PageRecord> page_records() const;
  // The page with that title; null when there is none or it could not be made.
  Dialog* page(const std::string& title);
  // How often a page sent the page-changed message (PSM_CHANGED).
  int changed_notices() const;
  // The Apply button: the apply notice (PSN_APPLY) to every page.
  void apply();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The host's details window for one contact (0: the user's own account): raises
// "UserInfo/Initialise", makes the pages and sends each the notice to show the contact.
class DetailsWindow {
 public:
  DetailsWindow(Host& host, Handle contact);
  ~DetailsWindow();
  DetailsWindow(const DetailsWindow&) = delete;
  DetailsWindow& operator=(const DetailsWindow&) = delete;

  void* handle() const;
  std::vector<PageRecord> page_records() const;
  Dialog* page(const std::string& title);
  // False once a page asked the window to close (the Cancel command, e.g. Escape).
  bool is_open() const;
  // Sends every page the notice again (the contact's information changed).
  void refresh();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The host's find window with a protocol's advanced search: asks the protocol for its page of
// fields ("<module>/CreateAdvSearchUI", the window as the parent) and starts the search from it
// ("<module>/SearchByAdvanced"), as the user's Search button does.
class SearchWindow {
 public:
  SearchWindow(Host& host, std::string module);
  ~SearchWindow();
  SearchWindow(const SearchWindow&) = delete;
  SearchWindow& operator=(const SearchWindow&) = delete;

  void* handle() const;
  // The protocol's page; null when it made none.
  Dialog* page();
  // The search's identifier as the protocol returned it.
  INT_PTR search();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The desktop's dialog callbacks (platform/desktop.h), installed by os.cpp.
void desktop_dialog_module_attached(void* instance, const PlatformDialogOps* ops);
void desktop_dialog_module_detached(void* instance);
void desktop_run_modal(void* dialog, const PlatformDialogOps* ops);
intptr_t desktop_send_message(void* window, uint32_t message, uintptr_t wparam, intptr_t lparam);

}  // namespace hostsim
