// The account's settings dialogs: the set-up dialog shown at load while the account is
// incomplete, and the options page. Both read the settings afresh when they open and write the
// password only in the host's encoded form. The options page remembers one thing: the pin it
// showed, since the connection may pin a certificate while the page is open, and Apply must
// not put back the pin the user never touched.
#include "ui/mrim_options.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/host_services.h"
#include "core/host_text.h"
#include "core/protocol_state.h"
#include "core/text.h"
#include "incoming/newmail.h"
#include "protocol/server_choice.h"
#include "protocol/tls_link.h"
#include "protocol/wire_text.h"
#include "resources/resource.h"

namespace {

// Each edit field is read into a buffer of this size; the encoded password must fit it too.
constexpr int kFieldBuffer = 128;
constexpr DWORD kDefaultTimeout = 10;
constexpr DWORD kLongestTimeout = 60;

// Puts the account's text setting into the field; a missing setting leaves the field as it is.
// The fields are the system's code page text, the settings host text.
void show_account_text(HWND window, int control_id, const char* setting) {
  SettingVariant value;
  if (!mrim_read_text_setting(nullptr, protocol_state.module_name, setting, &value)) return;
  char text[4 * kFieldBuffer];
  size_t length = strlen(value.text);
  size_t room = host_text_to_room(length, TextForm::cp1251);
  if (room > sizeof text) room = sizeof text;
  size_t used = host_text_to(value.text, length, TextForm::cp1251, reinterpret_cast<uint8_t*>(text), room);
  text[used < sizeof text ? used : sizeof text - 1] = '\0';
  SetDlgItemTextA(window, control_id, text);
  free_setting(&value);
}

// Decodes the stored password in place, in the host's own copy, and shows it.
void show_account_password(HWND window, int control_id) {
  SettingVariant value;
  if (!mrim_read_raw_text_setting(nullptr, protocol_state.module_name, "Password", &value)) return;
  call_service(MS_DB_CRYPT_DECODESTRING, strlen(value.text) + 1, reinterpret_cast<LPARAM>(value.text));
  SetDlgItemTextA(window, control_id, value.text);
  free_setting(&value);
}

void store_account_text(HWND window, int control_id, const char* setting) {
  char text[kFieldBuffer];
  GetDlgItemTextA(window, control_id, text, sizeof text);
  char converted[2 * kFieldBuffer];
  host_text_from(text, strlen(text), TextForm::cp1251, converted, sizeof converted);
  write_setting_string(nullptr, protocol_state.module_name, setting, converted);
}

// Only a text the user changed is written: each write of a status text announces the status
// again while online.
void store_changed_account_text(HWND window, int control_id, const char* setting) {
  char text[kFieldBuffer];
  GetDlgItemTextA(window, control_id, text, sizeof text);
  char converted[2 * kFieldBuffer];
  host_text_from(text, strlen(text), TextForm::cp1251, converted, sizeof converted);
  SettingVariant old;
  bool missing = !mrim_read_text_setting(nullptr, protocol_state.module_name, setting, &old);
  bool same = missing ? converted[0] == '\0' : strcmp(old.text, converted) == 0;
  if (!missing) free_setting(&old);
  if (!same) write_setting_string(nullptr, protocol_state.module_name, setting, converted);
}

void store_account_password(HWND window, int control_id) {
  char text[kFieldBuffer];
  GetDlgItemTextA(window, control_id, text, sizeof text);
  call_service(MS_DB_CRYPT_ENCODESTRING, sizeof text, reinterpret_cast<LPARAM>(text));
  write_setting_raw_text(nullptr, protocol_state.module_name, "Password", text);
}

bool account_has(const char* setting) {
  SettingVariant value{};
  if (get_setting(nullptr, protocol_state.module_name, setting, &value) != 0) return false;
  free_setting(&value);
  return true;
}

bool checked(HWND window, int control_id) { return IsDlgButtonChecked(window, control_id) == BST_CHECKED; }

// "Encryption": 0 never, 1 when the server offers it, 2 required. The page has no list box, so
// two check boxes stand for the three values, the second meaning nothing without the first.
constexpr BYTE kEncryptionNever = 0;
constexpr BYTE kEncryptionOffered = 1;
constexpr BYTE kEncryptionRequired = 2;

void show_encryption(HWND window, BYTE encryption) {
  CheckDlgButton(window, IDC_OPT_ENCRYPT, encryption != kEncryptionNever ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(window, IDC_OPT_ENCRYPT_REQUIRED,
                 encryption == kEncryptionRequired ? BST_CHECKED : BST_UNCHECKED);
}

BYTE encryption_chosen(HWND window) {
  if (checked(window, IDC_OPT_ENCRYPT_REQUIRED)) return kEncryptionRequired;
  return checked(window, IDC_OPT_ENCRYPT) ? kEncryptionOffered : kEncryptionNever;
}

// A fingerprint pasted with a colon or a blank between each byte is 127 characters long.
constexpr int kPinBuffer = 256;

}  // namespace

namespace {

// A signed decimal number as the page's number fields take it: leading blanks and one sign
// allowed, digits up to the first other character, none giving 0. Parsed here rather than with
// atoi: a number past the 32-bit range stays out of range (clamped) instead of being undefined
// or wrapping round into the accepted range.
int32_t number_from_text(const char* text) {
  const char* p = text;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int64_t number = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    if (number <= INT32_MAX) number = number * 10 + (*p - '0');
  if (negative) number = -number;
  if (number > INT32_MAX) number = INT32_MAX;
  if (number < INT32_MIN) number = INT32_MIN;
  return static_cast<int32_t>(number);
}

}  // namespace

DWORD options_timeout_from_text(const char* text) {
  auto seconds = static_cast<DWORD>(number_from_text(text));
  return seconds == 0 || seconds > kLongestTimeout ? kDefaultTimeout : seconds;
}

DWORD options_port_from_text(const char* text) {
  int32_t port = number_from_text(text);
  return port >= 1 && port <= 0xFFFF ? static_cast<DWORD>(port) : 0;
}

// Surrounding blanks are dropped (they come with pasted names and can never be meant); a name
// that is still unusable is refused by storing the empty text, the build's default, as a
// refused time-out stores the default time-out.
namespace {

// The text without its surrounding blanks, in place.
char* trimmed(char* text) {
  char* start = text;
  while (*start != '\0' && std::isspace(static_cast<unsigned char>(*start))) ++start;
  size_t length = strlen(start);
  while (length > 0 && std::isspace(static_cast<unsigned char>(start[length - 1]))) --length;
  start[length] = '\0';
  return start;
}

}  // namespace

const char* options_server_from_text(char* text) {
  char* start = trimmed(text);
  return mrim_server_name_acceptable(start) ? start : "";
}

const char* options_avatar_server_from_text(char* text) {
  char* start = trimmed(text);
  for (char* c = start; *c != '\0'; ++c) *c = ascii_lower(*c);
  return start;
}

const char* options_pin_from_text(char* text) {
  char* out = text;
  for (const char* in = text; *in != '\0'; ++in) {
    auto c = static_cast<unsigned char>(*in);
    if (c == ':' || std::isspace(c)) continue;
    *out++ = static_cast<char>(std::tolower(c));
  }
  *out = '\0';
  return text;
}

namespace {

// The pin the options page showed when it opened (or stored at its last Apply). The host has one
// options window at a time, and its dialog procedures all run on the host's window thread.
char pin_shown[kPinBuffer] = "";

// "This session: SHA-256 …" while encrypted, else the connection's own words.
void show_session_certificate(HWND window) {
  char line[512];
  bool secure = tls_link_describe(line, sizeof line);
  const char* hex = secure ? strstr(line, "SHA-256 ") : nullptr;
  char shown[600];
  if (hex != nullptr)
    snprintf(shown, sizeof shown, "This session: SHA-256 %.64s", hex + 8);
  else
    snprintf(shown, sizeof shown, "This session: %s", line);
  SetDlgItemTextA(window, IDC_OPT_CERT_SESSION, shown);
}

}  // namespace

void check_account_setup() {
  if (account_has("EMail") && account_has("Password")) return;
  DialogBoxParamA(dll_instance, MAKEINTRESOURCEA(IDD_ACCOUNT_SETUP), nullptr, MRIM_AccountSetupDlgProc, 0);
}

INT_PTR CALLBACK MRIM_AccountSetupDlgProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      translate_dialog(window);
      SendMessageA(window, WM_SETICON, ICON_BIG,
                   reinterpret_cast<LPARAM>(LoadIconA(dll_instance, MAKEINTRESOURCEA(IDI_PROTOCOL))));
      show_account_text(window, IDC_SETUP_EMAIL, "EMail");
      show_account_password(window, IDC_SETUP_PASSWORD);
      break;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          store_account_text(window, IDC_SETUP_EMAIL, "EMail");
          store_account_password(window, IDC_SETUP_PASSWORD);
          EndDialog(window, IDOK);
          break;
        case IDCANCEL:
          EndDialog(window, IDCANCEL);
          break;
        default:
          break;
      }
      break;
    case WM_CLOSE:
      EndDialog(window, IDCANCEL);
      break;
    default:
      break;
  }
  return 0;
}

INT_PTR MRIM_OptInitialise(WPARAM wparam, LPARAM) {
  OptionsPage page{};
  page.size = sizeof page;
  page.position = 0;
  page.title = translate(protocol_state.module_name);
  page.dialog_proc = reinterpret_cast<void*>(MRIM_OptionsDlgProc);
  page.template_name = MAKEINTRESOURCEA(IDD_OPTIONS);
  page.instance = dll_instance;
  page.group = translate("Network");
  page.flags = ODPF_BOLDGROUPS;
  call_service(MS_OPT_ADDPAGE, wparam, reinterpret_cast<LPARAM>(&page));
  return 0;
}

INT_PTR CALLBACK MRIM_OptionsDlgProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  const char* module = protocol_state.module_name;
  switch (message) {
    case WM_INITDIALOG: {
      translate_dialog(window);
      show_account_text(window, IDC_OPT_EMAIL, "EMail");
      show_account_password(window, IDC_OPT_PASSWORD);
      char seconds[16];
      snprintf(seconds, sizeof seconds, "%u", static_cast<unsigned>(get_timeout()));
      SetDlgItemTextA(window, IDC_OPT_TIMEOUT, seconds);
      // An empty field stands for the build's default server and port.
      show_account_text(window, IDC_OPT_SERVER, "Server");
      DWORD port = get_setting_dword(nullptr, module, "Port", 0);
      if (port != 0) {
        snprintf(seconds, sizeof seconds, "%u", static_cast<unsigned>(port));
        SetDlgItemTextA(window, IDC_OPT_PORT, seconds);
      }
      // Any non-zero byte ticks the box: it is a plain two-state check box.
      CheckDlgButton(window, IDC_OPT_NMNOTIFY,
                     get_setting_byte(nullptr, module, "NMNotify", 0) != 0 ? BST_CHECKED : BST_UNCHECKED);
      CheckDlgButton(window, IDC_OPT_BALLOON, newmail_balloon_enabled() != 0 ? BST_CHECKED : BST_UNCHECKED);
      // On unless the user turned it off.
      CheckDlgButton(window, IDC_OPT_RECONNECT,
                     get_setting_byte(nullptr, module, "Reconnect", 1) != 0 ? BST_CHECKED : BST_UNCHECKED);
      CheckDlgButton(window, IDC_OPT_LEGACY,
                     mrim_wanted_revision() == MRIM_PROTO_VERSION_LEGACY ? BST_CHECKED : BST_UNCHECKED);
      // A missing setting means encrypting when offered; so does an unknown value, which the next
      // apply then stores as 1.
      show_encryption(window, get_setting_byte(nullptr, module, "Encryption", kEncryptionOffered));
      show_account_text(window, IDC_OPT_AVATAR_SERVER, "AvatarServer");
      show_account_text(window, IDC_OPT_CERT_PIN, "CertificatePin");
      GetDlgItemTextA(window, IDC_OPT_CERT_PIN, pin_shown, sizeof pin_shown);
      show_session_certificate(window);
      show_account_text(window, IDC_OPT_STATUS_TITLE, "StatusTitle");
      show_account_text(window, IDC_OPT_STATUS_DESC, "StatusDesc");
      // Ticked only by the 1 it stores, the one value that turns the release build's log on.
      CheckDlgButton(window, IDC_OPT_LOG,
                     get_setting_byte(nullptr, module, "Log", 0) == 1 ? BST_CHECKED : BST_UNCHECKED);
      return 1;
    }
    case WM_COMMAND:
      // The two encryption boxes are kept to the three values they stand for, so the page shows
      // what apply stores: requiring encryption ticks the first box, and unticking that drops the
      // requirement. Setting a box's check sends no command, so neither change comes back here.
      if (HIWORD(wparam) == BN_CLICKED) {
        if (LOWORD(wparam) == IDC_OPT_ENCRYPT_REQUIRED && checked(window, IDC_OPT_ENCRYPT_REQUIRED))
          CheckDlgButton(window, IDC_OPT_ENCRYPT, BST_CHECKED);
        if (LOWORD(wparam) == IDC_OPT_ENCRYPT && !checked(window, IDC_OPT_ENCRYPT))
          CheckDlgButton(window, IDC_OPT_ENCRYPT_REQUIRED, BST_UNCHECKED);
      }
      // Whatever the user did on the page, the options window may now offer Apply.
      SendMessageA(GetParent(window), PSM_CHANGED, 0, 0);
      return 0;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<const NMHDR*>(lparam);
      if (header == nullptr || header->code != PSN_APPLY) return 0;
      store_account_text(window, IDC_OPT_EMAIL, "EMail");
      store_account_password(window, IDC_OPT_PASSWORD);
      write_setting_byte(nullptr, module, "NMNotify", checked(window, IDC_OPT_NMNOTIFY) ? 1 : 0);
      newmail_set_balloon(checked(window, IDC_OPT_BALLOON) ? 1 : 0);
      char text[kFieldBuffer];
      GetDlgItemTextA(window, IDC_OPT_TIMEOUT, text, sizeof text);
      write_setting_dword(nullptr, module, "Timeout", options_timeout_from_text(text));
      write_setting_byte(nullptr, module, "Reconnect", checked(window, IDC_OPT_RECONNECT) ? 1 : 0);
      // The host announces the write, and the log follows it from that announcement.
      write_setting_byte(nullptr, module, "Log", checked(window, IDC_OPT_LOG) ? 1 : 0);
      // One character more than a name may have, so that a longer one is seen and refused.
      char server[MRIM_HOST_NAME_MAX + 2];
      GetDlgItemTextA(window, IDC_OPT_SERVER, server, sizeof server);
      char old_server[MRIM_HOST_NAME_MAX + 1];
      WORD old_port = 0;
      mrim_address_service(old_server, sizeof old_server, &old_port);
      write_setting_string(nullptr, module, "Server", options_server_from_text(server));
      char new_server[MRIM_HOST_NAME_MAX + 1];
      WORD new_port = 0;
      mrim_address_service(new_server, sizeof new_server, &new_port);
      GetDlgItemTextA(window, IDC_OPT_PORT, text, sizeof text);
      write_setting_dword(nullptr, module, "Port", options_port_from_text(text));
      char pictures[MRIM_HOST_NAME_MAX + 8];
      GetDlgItemTextA(window, IDC_OPT_AVATAR_SERVER, pictures, sizeof pictures);
      write_setting_string(nullptr, module, "AvatarServer", options_avatar_server_from_text(pictures));
      // The box chooses between 1.8 and the newer revisions; which newer one the account speaks
      // ("ProtocolRevision" 19 or 20) is kept unless the box moves it off or onto 1.8.
      const bool legacy = checked(window, IDC_OPT_LEGACY);
      if (legacy != (mrim_wanted_revision() == MRIM_PROTO_VERSION_LEGACY))
        write_setting_dword(nullptr, module, "ProtocolRevision", legacy ? 8 : 20);
      write_setting_byte(nullptr, module, "LegacyProtocol", legacy ? 1 : 0);
      write_setting_byte(nullptr, module, "Encryption", encryption_chosen(window));
      // An empty field is stored as the empty text, as the server field is; the connection takes
      // it as it takes a missing pin: trust the first certificate seen. A field the user left as
      // it was shown is no choice of theirs: a pin the connection wrote since stays, unless the
      // server changed, whose pin says nothing of another server's certificate.
      char pin[kPinBuffer];
      GetDlgItemTextA(window, IDC_OPT_CERT_PIN, pin, sizeof pin);
      const bool pin_edited = strcmp(pin, pin_shown) != 0;
      if (pin_edited) {
        lstrcpynA(pin_shown, pin, sizeof pin_shown);
        write_setting_string(nullptr, module, "CertificatePin", options_pin_from_text(pin));
      } else if (strcmp(old_server, new_server) != 0) {
        pin_shown[0] = '\0';
        SetDlgItemTextA(window, IDC_OPT_CERT_PIN, "");
        write_setting_string(nullptr, module, "CertificatePin", "");
      }
      store_changed_account_text(window, IDC_OPT_STATUS_TITLE, "StatusTitle");
      store_changed_account_text(window, IDC_OPT_STATUS_DESC, "StatusDesc");
      return 1;
    }
    default:
      return 0;
  }
}
