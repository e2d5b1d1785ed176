// Edits that wait for the server's number (see pending_edits.h).
#include "contacts/pending_edits.h"

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"

bool mrim_edit_waits_for_number(HANDLE contact) {
  const char* module = protocol_state.module_name;
  if (get_setting_dword(contact, module, "Number", 0) != 0) return false;
  if (get_setting_byte(contact, module, "AuthPending", 0) == 0) return false;
  if (!mrim_edit_pending(contact)) write_setting_byte(contact, module, "PendingEdit", 1);
  mrim_log("mrim_edit_waits_for_number: not numbered by the server yet; the edit waits for its list\n");
  return true;
}

bool mrim_edit_pending(HANDLE contact) {
  return get_setting_byte(contact, protocol_state.module_name, "PendingEdit", 0) != 0;
}

void mrim_edit_sent(HANDLE contact) {
  if (mrim_edit_pending(contact)) write_setting_byte(contact, protocol_state.module_name, "PendingEdit", 0);
}
