// The account's global state and the library globals.
#include "core/protocol_state.h"

ProtocolState protocol_state;
PluginLink* plugin_link = nullptr;
HINSTANCE dll_instance = nullptr;
std::atomic<DWORD> host_version{0};

bool host_takes_utf8() { return host_version.load() >= HOST_VERSION_UTF8; }

void protocol_state_reset() {
  protocol_state.module_name[0] = '\0';
  protocol_state.last_seq = 0;
  protocol_state.contact_list_loading = 0;
  protocol_state.hook_contact_deleted = nullptr;
  protocol_state.hook_setting_changed = nullptr;
  protocol_state.hook_options_init = nullptr;
  protocol_state.hook_userinfo_init = nullptr;
  protocol_state.hook_group_change = nullptr;
  protocol_state.netlib_user = nullptr;
  protocol_state.connection = nullptr;
  protocol_state.packet_receiver = nullptr;
  protocol_state.redirect_connection = nullptr;
  protocol_state.redirect_receiver = nullptr;
  protocol_state.status = ID_STATUS_OFFLINE;
  protocol_state.unread_mail = 0;
  protocol_state.login_in_progress = 0;
  protocol_state.wire_revision = 0x00010008;  // the legacy revision, until a session says otherwise
}
