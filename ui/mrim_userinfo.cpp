// The account's page in the host's contact-details window: shows the contact's "EMail",
// "Location", client and last microblog post when the details window says which contact it shows.
#include "ui/mrim_userinfo.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/host_services.h"
#include "core/protocol_state.h"
#include "resources/resource.h"

namespace {

// Keeps the page after the host's own pages, whatever their positions.
constexpr int kPagePosition = -1900000000;

const char* contact_protocol(HANDLE contact) {
  return reinterpret_cast<const char*>(
      call_service(MS_PROTO_GETCONTACTBASEPROTO, reinterpret_cast<WPARAM>(contact), 0));
}

// The last post's time, on this machine's clock and in its local time; empty without a post.
void show_post_time(HANDLE contact, HWND window) {
  const time_t posted = get_setting_dword(contact, protocol_state.module_name, "PostTime", 0);
  // Room for any year the numbers could hold, so nothing is cut.
  char text[80] = "";
  struct tm local {};
  if (posted != 0 && localtime_s(&local, &posted) == 0)
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min);
  SetDlgItemTextA(window, IDC_INFO_POST_TIME, text);
}

}  // namespace

INT_PTR MRIM_UserInfoInitialise(WPARAM wparam, LPARAM lparam) {
  const char* protocol = contact_protocol(reinterpret_cast<HANDLE>(lparam));
  bool ours = protocol != nullptr && strcmp(protocol, protocol_state.module_name) == 0;
  if (!ours && lparam != 0) return 0;
  OptionsPage page{};
  page.size = sizeof page;
  page.position = kPagePosition;
  page.title = reinterpret_cast<const char*>(
      call_service(MS_LANGPACK_TRANSLATESTRING, 0, reinterpret_cast<LPARAM>(protocol_state.module_name)));
  page.dialog_proc = reinterpret_cast<void*>(MRIM_UserInfoDlgProc);
  page.template_name = MAKEINTRESOURCEA(IDD_USERINFO);
  page.instance = dll_instance;
  call_service(MS_USERINFO_ADDPAGE, wparam, reinterpret_cast<LPARAM>(&page));
  return 0;
}

INT_PTR CALLBACK MRIM_UserInfoDlgProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      translate_dialog(window);
      return 1;
    case WM_NOTIFY: {
      auto* notice = reinterpret_cast<const PSHNOTIFY*>(lparam);
      if (notice == nullptr || notice->hdr.idFrom != 0 || notice->hdr.code != PSN_INFOCHANGED) return 0;
      auto contact = reinterpret_cast<HANDLE>(notice->lParam);
      const char* protocol = contact == nullptr ? protocol_state.module_name : contact_protocol(contact);
      if (protocol != nullptr) {
        show_contact_setting(contact, protocol_state.module_name, "EMail", window, IDC_INFO_EMAIL);
        show_contact_setting(contact, protocol_state.module_name, "Location", window, IDC_INFO_LOCATION);
        show_contact_setting(contact, protocol_state.module_name, "MirVer", window, IDC_INFO_CLIENT, "");
        show_contact_setting(contact, protocol_state.module_name, "PostText", window, IDC_INFO_POST, "");
        show_post_time(contact, window);
      }
      return 0;
    }
    case WM_COMMAND:
      // Escape on the page closes the whole details window.
      if (LOWORD(wparam) == IDCANCEL) SendMessageA(GetParent(window), message, wparam, lparam);
      return 0;
    default:
      return 0;
  }
}

void show_contact_setting(HANDLE contact, const char* module, const char* setting, HWND window,
                          int control_id, const char* when_missing) {
  SettingVariant value{};
  if (get_setting(contact, module, setting, &value) != 0) {
    SetDlgItemTextA(window, control_id, when_missing);
    return;
  }
  if (value.type == DBVT_ASCIIZ) {
    SetDlgItemTextA(window, control_id, value.text != nullptr ? value.text : "");
  } else {
    // Not expected for these settings; a number is shown as such rather than read as a text.
    char number[16];
    DWORD n = value.type == DBVT_BYTE   ? value.byte_value
              : value.type == DBVT_WORD ? value.word_value
                                        : value.dword_value;
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(n));
    SetDlgItemTextA(window, control_id, number);
  }
  free_setting(&value);
}
