// Thin wrappers around the host services, and set_all_contacts_offline.
#include "core/host_services.h"

#include <cstring>

#include "core/protocol_state.h"

INT_PTR call_service(const char* name, WPARAM wparam, LPARAM lparam) {
  return plugin_link->CallService(name, wparam, lparam);
}

INT_PTR translate_dialog(HWND dialog) {
  LangPackTranslateDialog request{};
  request.size = sizeof request;
  request.flags = 0;
  request.dialog = dialog;
  request.ignore_controls = nullptr;
  return call_service(MS_LANGPACK_TRANSLATEDIALOG, 0, reinterpret_cast<LPARAM>(&request));
}

INT_PTR broadcast_ack(const char* module, HANDLE contact, int type, int result, HANDLE process,
                      LPARAM param) {
  AckData ack{};
  ack.size = sizeof ack;
  ack.module = module;
  ack.contact = contact;
  ack.type = type;
  ack.result = result;
  ack.process = process;
  ack.param = param;
  return call_service(MS_PROTO_BROADCASTACK, 0, reinterpret_cast<LPARAM>(&ack));
}

INT_PTR get_setting(HANDLE contact, const char* module, const char* setting, SettingVariant* value) {
  SettingRequest request{module, setting, value};
  return call_service(MS_DB_CONTACT_GETSETTING, reinterpret_cast<WPARAM>(contact),
                      reinterpret_cast<LPARAM>(&request));
}

INT_PTR free_setting(SettingVariant* value) {
  return call_service(MS_DB_CONTACT_FREEVARIANT, 0, reinterpret_cast<LPARAM>(value));
}

// A host that takes UTF-8 is asked for UTF-8 whatever it stored, so that a text the user typed
// in any script reaches the plug-in whole; older hosts give their own code page, which is then
// the plug-in's too.
bool mrim_read_text_setting(HANDLE contact, const char* module, const char* setting, SettingVariant* value) {
  *value = SettingVariant{};
  INT_PTR failed = 0;
  if (host_takes_utf8()) {
    value->type = DBVT_UTF8;
    SettingRequest request{module, setting, value};
    failed = call_service(MS_DB_CONTACT_GETSETTING_STR, reinterpret_cast<WPARAM>(contact),
                          reinterpret_cast<LPARAM>(&request));
  } else {
    failed = get_setting(contact, module, setting, value);
  }
  if (failed != 0) return false;
  // A setting of another type holds no text to use; it counts as missing.
  if ((value->type == DBVT_ASCIIZ || value->type == DBVT_UTF8) && value->text != nullptr) return true;
  free_setting(value);
  return false;
}

bool mrim_read_raw_text_setting(HANDLE contact, const char* module, const char* setting,
                                SettingVariant* value) {
  *value = SettingVariant{};
  if (get_setting(contact, module, setting, value) != 0) return false;
  if (value->type == DBVT_ASCIIZ && value->text != nullptr) return true;
  free_setting(value);
  return false;
}

const char* translate(const char* text) {
  return reinterpret_cast<const char*>(
      call_service(MS_LANGPACK_TRANSLATESTRING, 0, reinterpret_cast<LPARAM>(text)));
}

namespace {

// The numeric value of a setting whatever width the host stored it with. Anything that is not
// a number (a text, most often) counts as missing, so the caller takes its default; the host's
// copy of it is released here, as nobody else ever sees it.
bool read_number(HANDLE contact, const char* module, const char* setting, DWORD* out) {
  SettingVariant value{};
  if (get_setting(contact, module, setting, &value) != 0) return false;
  switch (value.type) {
    case DBVT_BYTE:
      *out = value.byte_value;
      return true;
    case DBVT_WORD:
      *out = value.word_value;
      return true;
    case DBVT_DWORD:
      *out = value.dword_value;
      return true;
    default:
      free_setting(&value);
      return false;
  }
}

INT_PTR write_setting(HANDLE contact, const char* module, const char* setting, const SettingVariant& value) {
  SettingWrite write{module, setting, value};
  return call_service(MS_DB_CONTACT_WRITESETTING, reinterpret_cast<WPARAM>(contact),
                      reinterpret_cast<LPARAM>(&write));
}

}  // namespace

BYTE get_setting_byte(HANDLE contact, const char* module, const char* setting, BYTE default_value) {
  DWORD value = 0;
  return read_number(contact, module, setting, &value) ? static_cast<BYTE>(value) : default_value;
}

WORD get_setting_word(HANDLE contact, const char* module, const char* setting, WORD default_value) {
  DWORD value = 0;
  return read_number(contact, module, setting, &value) ? static_cast<WORD>(value) : default_value;
}

DWORD get_setting_dword(HANDLE contact, const char* module, const char* setting, DWORD default_value) {
  DWORD value = 0;
  return read_number(contact, module, setting, &value) ? value : default_value;
}

uint32_t get_timeout() { return get_setting_dword(nullptr, protocol_state.module_name, "Timeout", 10); }

INT_PTR write_setting_byte(HANDLE contact, const char* module, const char* setting, BYTE value) {
  SettingVariant variant{};
  variant.type = DBVT_BYTE;
  variant.byte_value = value;
  return write_setting(contact, module, setting, variant);
}

INT_PTR write_setting_word(HANDLE contact, const char* module, const char* setting, WORD value) {
  SettingVariant variant{};
  variant.type = DBVT_WORD;
  variant.word_value = value;
  return write_setting(contact, module, setting, variant);
}

INT_PTR write_setting_dword(HANDLE contact, const char* module, const char* setting, DWORD value) {
  SettingVariant variant{};
  variant.type = DBVT_DWORD;
  variant.dword_value = value;
  return write_setting(contact, module, setting, variant);
}

// Texts of plain ASCII are the same in both forms and go as the type every host knows.
INT_PTR write_setting_string(HANDLE contact, const char* module, const char* setting, const char* value) {
  SettingVariant variant{};
  bool ascii = true;
  for (const char* p = value; *p != '\0' && ascii; ++p) ascii = static_cast<unsigned char>(*p) < 0x80;
  variant.type = ascii || !host_takes_utf8() ? DBVT_ASCIIZ : DBVT_UTF8;
  variant.text = const_cast<char*>(value);  // the host copies the text and never writes to it
  return write_setting(contact, module, setting, variant);
}

INT_PTR write_setting_raw_text(HANDLE contact, const char* module, const char* setting, const char* value) {
  SettingVariant variant{};
  variant.type = DBVT_ASCIIZ;
  variant.text = const_cast<char*>(value);  // the host copies the text and never writes to it
  return write_setting(contact, module, setting, variant);
}

INT_PTR close_handle(HANDLE handle) {
  return call_service(MS_NETLIB_CLOSEHANDLE, reinterpret_cast<WPARAM>(handle), 0);
}

INT_PTR send_data(HANDLE connection, const char* data, int length, int flags) {
  NetlibBuffer buffer{const_cast<char*>(data), length, flags};
  return call_service(MS_NETLIB_SEND, reinterpret_cast<WPARAM>(connection),
                      reinterpret_cast<LPARAM>(&buffer));
}

// "Netlib/OpenConnection" with the record as it is; when the host refuses the long record as an
// invalid parameter (hosts of an older interface), once more with the short form.
HANDLE open_connection(NetlibOpenConnection* record) {
  record->size = sizeof(NetlibOpenConnection);
  SetLastError(ERROR_SUCCESS);
  auto connection = reinterpret_cast<HANDLE>(
      call_service(MS_NETLIB_OPENCONNECTION, reinterpret_cast<WPARAM>(protocol_state.netlib_user.load()),
                   reinterpret_cast<LPARAM>(record)));
  if (connection == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    record->size = NETLIBOPENCONNECTION_V1_SIZE;
    connection = reinterpret_cast<HANDLE>(
        call_service(MS_NETLIB_OPENCONNECTION, reinterpret_cast<WPARAM>(protocol_state.netlib_user.load()),
                     reinterpret_cast<LPARAM>(record)));
  }
  return connection;
}

HANDLE create_receiver(HANDLE connection, int size) {
  return reinterpret_cast<HANDLE>(
      call_service(MS_NETLIB_CREATEPACKETRECVER, reinterpret_cast<WPARAM>(connection), size));
}

bool receive_timed_out(DWORD error) {
  constexpr DWORD kWsaTimedOut = 10060;  // WSAETIMEDOUT
  constexpr DWORD kErrorTimeout = 1460;  // ERROR_TIMEOUT
  return error == kWsaTimedOut || error == kErrorTimeout;
}

void set_all_contacts_offline() {
  const char* module = protocol_state.module_name;
  auto contact = reinterpret_cast<HANDLE>(call_service(MS_DB_CONTACT_FINDFIRST, 0, 0));
  while (contact != nullptr) {
    auto owner = reinterpret_cast<const char*>(
        call_service(MS_PROTO_GETCONTACTBASEPROTO, reinterpret_cast<WPARAM>(contact), 0));
    if (owner != nullptr && strcmp(owner, module) == 0 &&
        get_setting_word(contact, module, "Status", ID_STATUS_OFFLINE) != ID_STATUS_OFFLINE) {
      write_setting_word(contact, module, "Status", ID_STATUS_OFFLINE);
    }
    contact =
        reinterpret_cast<HANDLE>(call_service(MS_DB_CONTACT_FINDNEXT, reinterpret_cast<WPARAM>(contact), 0));
  }
}

bool mrim_contact_is_ours(HANDLE contact) {
  auto owner = reinterpret_cast<const char*>(
      call_service(MS_PROTO_GETCONTACTBASEPROTO, reinterpret_cast<WPARAM>(contact), 0));
  return owner != nullptr && strcmp(owner, protocol_state.module_name) == 0;
}
