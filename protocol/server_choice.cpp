// Which address service the connect sequence asks: the account's choice or the build's default.
#include "protocol/server_choice.h"

#include <cstring>

#include "core/host_services.h"
#include "core/protocol_state.h"

bool mrim_server_name_acceptable(const char* name) {
  size_t length = strlen(name);
  if (length == 0 || length > MRIM_HOST_NAME_MAX) return false;
  for (size_t i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(name[i]);
    if (c <= ' ' || c == 0x7F) return false;
  }
  return true;
}

void mrim_address_service(char* host, size_t host_size, WORD* port) {
  if (host_size == 0) return;
  const char* chosen = MRIM_DEFAULT_SERVER_HOST;
  SettingVariant value;
  bool stored = mrim_read_text_setting(nullptr, protocol_state.module_name, "Server", &value);
  // The settings database holds what any tool wrote into it; only a usable name replaces the
  // default, as the options page stores no other.
  if (stored && mrim_server_name_acceptable(value.text)) chosen = value.text;
  lstrcpynA(host, chosen, static_cast<int>(host_size));
  if (stored) free_setting(&value);

  DWORD number = get_setting_dword(nullptr, protocol_state.module_name, "Port", 0);
  *port = number >= 1 && number <= 0xFFFF ? static_cast<WORD>(number) : MRIM_DEFAULT_SERVER_PORT;
}
