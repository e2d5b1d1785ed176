// Dialogs on Linux: a small model of Win32 dialogs, made from the templates of the module's own
// resource script (resources/dialogs.rc, turned into a table at build time, so the model has
// exactly the DLL's controls). A dialog is its controls by id, each with its text and check
// state; messages go straight to the dialog procedure, with the few default behaviours of the
// system's dialog manager that the plug-in relies on. The host program (through
// platform/desktop.h) answers modal dialogs, creates its pages from the module's templates and
// reads and drives them as a user would. Like Win32 windows, a dialog belongs to the thread
// that made it: only the live-dialog registry is shared between threads.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/desktop.h"
#include "platform/linux/desktop_link.h"
#include "platform/linux/dialog_template.h"
#include "platform/win32.h"

namespace {

#include "dialog_templates.inc"

struct ControlState {
  const DialogControlTemplate* form;
  std::string text;
  UINT check = BST_UNCHECKED;
};

}  // namespace

struct PlatformWindow {
  const DialogTemplate* form = nullptr;
  HWND parent = nullptr;
  DLGPROC proc = nullptr;
  std::vector<ControlState> controls;
  bool ended = false;
  INT_PTR result = 0;
  HICON big_icon = nullptr;
  HICON small_icon = nullptr;
  // Messages being handled right now; a dialog destroyed from inside its own procedure is
  // freed when the outermost of them returns.
  int depth = 0;
  bool destroyed = false;
};

namespace {

// Made on first use and freed by the library's destructor below, which may run after the C++
// run-time has destroyed the library's ordinary static objects.
std::mutex live_mutex;
std::set<HWND>* live_set = nullptr;
std::set<HWND>& live() {
  if (live_set == nullptr) live_set = new std::set<HWND>;
  return *live_set;
}

HINSTANCE module_instance() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&module_instance), &info);
  return static_cast<HINSTANCE>(info.dli_fbase);
}

// One of this module's dialogs, still in the registry (possibly waiting to be freed).
bool is_registered(HWND window) {
  std::lock_guard lock(live_mutex);
  return window != nullptr && live().count(window) != 0;
}

bool is_live(HWND window) { return is_registered(window) && !window->destroyed; }

const DialogTemplate* find_template(HINSTANCE instance, LPCSTR name) {
  auto id = reinterpret_cast<uintptr_t>(name);
  // Templates are named by number only; each module has nothing but its own.
  if (instance != module_instance() || id > 0xFFFF) return nullptr;
  for (const DialogTemplate& form : kDialogTemplates)
    if (static_cast<uintptr_t>(form.id) == id) return &form;
  return nullptr;
}

ControlState* find_control(HWND dialog, int id) {
  if (!is_live(dialog)) return nullptr;
  for (ControlState& control : dialog->controls)
    if (control.form->id == id) return &control;
  return nullptr;
}

ControlState* control_at(void* handle, int index) {
  auto dialog = static_cast<HWND>(handle);
  if (!is_live(dialog) || index < 0 || static_cast<size_t>(index) >= dialog->controls.size()) return nullptr;
  return &dialog->controls[static_cast<size_t>(index)];
}

void free_dialog(HWND dialog) {
  {
    std::lock_guard lock(live_mutex);
    live().erase(dialog);
  }
  delete dialog;
}

// What the system's dialog manager does with a message the dialog procedure left alone.
LRESULT default_handling(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SETICON: {
      HICON& slot = wparam == ICON_BIG ? dialog->big_icon : dialog->small_icon;
      HICON previous = slot;
      slot = reinterpret_cast<HICON>(lparam);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_CLOSE:
      // The close box acts as the Cancel button.
      if (!dialog->ended) SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return 0;
    default:
      return 0;
  }
}

HWND create_dialog(const DialogTemplate* form, HWND parent, DLGPROC proc, LPARAM init_param) {
  if (form == nullptr || proc == nullptr) return nullptr;
  auto* dialog = new PlatformWindow;
  dialog->form = form;
  dialog->parent = parent;
  dialog->proc = proc;
  for (size_t i = 0; i < form->control_count; ++i) {
    const DialogControlTemplate& control = form->controls[i];
    dialog->controls.push_back({&control, control.kind == PLATFORM_CONTROL_EDIT ? "" : control.text});
  }
  {
    std::lock_guard lock(live_mutex);
    live().insert(dialog);
  }
  SendMessageA(dialog, WM_INITDIALOG, 0, init_param);
  return dialog;
}

// --- what the host program sees (PlatformDialogOps) -----------------------------------------------

void* ops_create(int template_id, void* parent, void* dialog_proc, intptr_t init_param) {
  const DialogTemplate* form = find_template(module_instance(), MAKEINTRESOURCEA(template_id));
  return create_dialog(form, static_cast<HWND>(parent), reinterpret_cast<DLGPROC>(dialog_proc), init_param);
}

void ops_destroy(void* dialog) { DestroyWindow(static_cast<HWND>(dialog)); }

int ops_info(void* handle, PlatformDialogInfo* out) {
  auto dialog = static_cast<HWND>(handle);
  if (!is_live(dialog) || out == nullptr) return 0;
  const DialogTemplate& form = *dialog->form;
  *out = PlatformDialogInfo{form.id,
                            form.style,
                            form.ex_style,
                            form.cx,
                            form.cy,
                            form.font_size,
                            form.font,
                            form.caption,
                            dialog->parent,
                            static_cast<int>(dialog->controls.size()),
                            dialog->ended ? 1 : 0,
                            dialog->result,
                            dialog->big_icon};
  return 1;
}

int ops_control(void* dialog, int index, PlatformControlInfo* out) {
  ControlState* control = control_at(dialog, index);
  if (control == nullptr || out == nullptr) return 0;
  const DialogControlTemplate& form = *control->form;
  *out =
      PlatformControlInfo{form.id, form.kind, form.style, form.x, form.y, form.cx, form.cy, control->check};
  return 1;
}

int ops_control_text(void* dialog, int index, char* text, int size) {
  ControlState* control = control_at(dialog, index);
  if (control == nullptr) return -1;
  if (text != nullptr && size > 0) lstrcpynA(text, control->text.c_str(), size);
  return static_cast<int>(control->text.size());
}

int ops_set_control_text(void* dialog, int index, const char* text) {
  ControlState* control = control_at(dialog, index);
  if (control == nullptr) return 0;
  control->text = text != nullptr ? text : "";
  return 1;
}

int ops_set_control_check(void* dialog, int index, uint32_t check) {
  ControlState* control = control_at(dialog, index);
  if (control == nullptr) return 0;
  control->check = check;
  return 1;
}

intptr_t ops_send(void* dialog, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  return SendMessageA(static_cast<HWND>(dialog), message, wparam, lparam);
}

const PlatformDialogOps dialog_ops = {
    ops_create,           ops_destroy,           ops_info, ops_control, ops_control_text,
    ops_set_control_text, ops_set_control_check, ops_send};

// The host program learns of the module's templates when the library is attached, and forgets
// them (and the module's dialogs) when it is detached.
__attribute__((constructor)) void dialogs_attach() {
  PlatformDesktop* desktop = platform_find_desktop();
  if (desktop != nullptr && desktop->dialog_module_attached != nullptr)
    desktop->dialog_module_attached(module_instance(), &dialog_ops);
}

__attribute__((destructor)) void dialogs_detach() {
  PlatformDesktop* desktop = platform_find_desktop();
  if (desktop != nullptr && desktop->dialog_module_detached != nullptr)
    desktop->dialog_module_detached(module_instance());
  std::set<HWND>* left = nullptr;
  {
    std::lock_guard lock(live_mutex);
    std::swap(left, live_set);
  }
  if (left == nullptr) return;
  for (HWND dialog : *left) delete dialog;
  delete left;
}

}  // namespace

extern "C" HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  return static_cast<HICON>(
      LoadImageA(instance, name, IMAGE_ICON, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
}

extern "C" HWND CreateDialogParamA(HINSTANCE instance, LPCSTR template_name, HWND parent, DLGPROC dialog_proc,
                                   LPARAM init_param) {
  HWND dialog = create_dialog(find_template(instance, template_name), parent, dialog_proc, init_param);
  if (dialog == nullptr) SetLastError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
  return dialog;
}

extern "C" INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND parent, DLGPROC dialog_proc,
                                   LPARAM init_param) {
  HWND dialog = CreateDialogParamA(instance, template_name, parent, dialog_proc, init_param);
  if (dialog == nullptr) return -1;
  if (is_live(dialog) && !dialog->ended) {
    PlatformDesktop* desktop = platform_find_desktop();
    if (desktop != nullptr && desktop->run_modal != nullptr) desktop->run_modal(dialog, &dialog_ops);
  }
  if (!is_live(dialog)) return -1;
  if (!dialog->ended) {
    // Nobody can answer the dialog (no host program, or one that gave up on it): it is
    // cancelled, as with the Escape key.
    std::fprintf(stderr, "[dialog %d] %s: nobody to answer, cancelled\n", dialog->form->id,
                 dialog->form->caption);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    if (is_live(dialog) && !dialog->ended) EndDialog(dialog, IDCANCEL);
  }
  if (!is_live(dialog)) return -1;
  INT_PTR result = dialog->result;
  DestroyWindow(dialog);
  return result;
}

extern "C" BOOL DestroyWindow(HWND window) {
  if (!is_live(window)) return 0;
  if (window->depth > 0) {
    window->destroyed = true;  // freed when its procedure returns
    return 1;
  }
  free_dialog(window);
  return 1;
}

extern "C" BOOL EndDialog(HWND dialog, INT_PTR result) {
  if (!is_live(dialog)) return 0;
  dialog->ended = true;
  dialog->result = result;
  return 1;
}

extern "C" UINT GetDlgItemTextA(HWND dialog, int id, LPSTR text, int max_count) {
  ControlState* control = find_control(dialog, id);
  if (text == nullptr || max_count <= 0) return 0;
  if (control == nullptr) {
    text[0] = '\0';
    return 0;
  }
  lstrcpynA(text, control->text.c_str(), max_count);
  return static_cast<UINT>(std::strlen(text));
}

extern "C" BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  ControlState* control = find_control(dialog, id);
  if (control == nullptr) return 0;
  control->text = text != nullptr ? text : "";
  // An edit control tells its dialog that its text changed, whoever changed it.
  if (control->form->kind == PLATFORM_CONTROL_EDIT)
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, EN_CHANGE), 0);
  return 1;
}

extern "C" BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  ControlState* control = find_control(dialog, id);
  if (control == nullptr) return 0;
  control->check = check;
  return 1;
}

extern "C" UINT IsDlgButtonChecked(HWND dialog, int id) {
  ControlState* control = find_control(dialog, id);
  return control != nullptr ? control->check : BST_UNCHECKED;
}

extern "C" LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!is_registered(window)) {
    // Not one of ours: a window of the host program.
    PlatformDesktop* desktop = platform_find_desktop();
    if (window == nullptr || desktop == nullptr || desktop->send_message == nullptr) return 0;
    return desktop->send_message(window, message, wparam, lparam);
  }
  if (window->destroyed) return 0;
  ++window->depth;
  LRESULT result = window->proc(window, message, wparam, lparam);
  if (result == 0 && !window->destroyed) result = default_handling(window, message, wparam, lparam);
  if (--window->depth == 0 && window->destroyed) free_dialog(window);
  return result;
}

extern "C" HWND GetParent(HWND window) { return is_live(window) ? window->parent : nullptr; }
