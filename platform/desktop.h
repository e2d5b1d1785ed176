// What a Linux process offers the plug-in's platform layer in place of the Windows desktop and
// kernel: message boxes, the thread's last error and dialogs. A host program provides it by
// exporting platform_desktop(); without one the layer falls back to the terminal and a
// thread-local error word of its own, and a dialog that nobody can answer is cancelled.
#pragma once

#include <cstdint>

extern "C" {

// --- dialogs ------------------------------------------------------------------------------------
// Each module's platform layer makes its dialogs from the templates of its own resource script
// and keeps them; a dialog's pointer is its window handle. The host program reads and drives
// them through the module's PlatformDialogOps, as a user and the window manager would.

enum PlatformControlKind {
  PLATFORM_CONTROL_LABEL = 1,
  PLATFORM_CONTROL_EDIT = 2,
  PLATFORM_CONTROL_BUTTON = 3,
  PLATFORM_CONTROL_CHECKBOX = 4,
  PLATFORM_CONTROL_GROUPBOX = 5,
};

// One control: what its template says, and its check state now.
struct PlatformControlInfo {
  int id;
  int kind;  // PlatformControlKind
  uint32_t style;
  int x, y, cx, cy;  // dialog units
  uint32_t check;    // BST_UNCHECKED or BST_CHECKED
};

// The dialog as a whole. Texts stay valid while the module is loaded.
struct PlatformDialogInfo {
  int template_id;
  uint32_t style, ex_style;
  int cx, cy;  // dialog units
  int font_size;
  const char* font;
  const char* caption;
  void* parent;
  int control_count;
  int ended;        // EndDialog was called
  intptr_t result;  // its result
  void* big_icon;   // set with WM_SETICON, ICON_BIG
};

struct PlatformDialogOps {
  // Like CreateDialogParamA on the module's own templates: the dialog exists and has had
  // WM_INITDIALOG. Null for an unknown template.
  void* (*create)(int template_id, void* parent, void* dialog_proc, intptr_t init_param);
  void (*destroy)(void* dialog);
  // 0 when the pointer is no live dialog of the module.
  int (*info)(void* dialog, PlatformDialogInfo* out);
  // Controls by their place in the template (several may share an id); 0 past the last.
  int (*control)(void* dialog, int index, PlatformControlInfo* out);
  // Copies at most size - 1 bytes and a terminator; returns the text's whole length, or -1.
  int (*control_text)(void* dialog, int index, char* text, int size);
  // As the user changes a control: the text or check state is set, no message is sent.
  int (*set_control_text)(void* dialog, int index, const char* text);
  int (*set_control_check)(void* dialog, int index, uint32_t check);
  // A message to the dialog, through its dialog procedure and the default handling.
  intptr_t (*send)(void* dialog, uint32_t message, uintptr_t wparam, intptr_t lparam);
};

struct PlatformDesktop {
  // Shows a message box and returns the button pressed (IDOK = 1). Texts are UTF-8.
  int (*message_box)(const char* text_utf8, const char* title_utf8, unsigned type);
  void (*set_last_error)(uint32_t error);
  uint32_t (*get_last_error)(void);

  // A module with dialog templates was attached or is being detached; instance is its
  // instance handle, as host records (e.g. option pages) name it.
  void (*dialog_module_attached)(void* instance, const PlatformDialogOps* ops);
  void (*dialog_module_detached)(void* instance);
  // A modal dialog, created and initialised: the host program answers it and returns once
  // the dialog has ended (EndDialog).
  void (*run_modal)(void* dialog, const PlatformDialogOps* ops);
  // A message to a window that is not one of the module's dialogs: the host program's own.
  intptr_t (*send_message)(void* window, uint32_t message, uintptr_t wparam, intptr_t lparam);
};

// Exported by the host program; looked up by name at run time.
typedef PlatformDesktop* (*PlatformDesktopFn)(void);
#define PLATFORM_DESKTOP_SYMBOL "platform_desktop"
}

extern "C" {
// What an icon handle from LoadImageA stands for on Linux, for tests: the resource id and the
// size it was loaded at. Returns 0 for a handle that is no icon.
int PlatformIconInfo(void* icon, int* resource_id, int* cx, int* cy);
}
