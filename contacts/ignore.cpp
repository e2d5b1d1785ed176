// The server list's ignore flag, following the host's ignore list.
#include "contacts/ignore.h"

#include "contacts/groups.h"
#include "contacts/modify.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "protocol/wire.h"

bool mrim_contact_ignored(HANDLE contact) {
  return (get_setting_dword(contact, protocol_state.module_name, "Flags", 0) & CONTACT_FLAG_IGNORED) != 0;
}

int mrim_ignore_changed(HANDLE contact) {
  const char* module = protocol_state.module_name;
  const bool wanted = (get_setting_dword(contact, "Ignore", "Mask1", 0) & IGNORE_MASK_MESSAGES) != 0;
  if (wanted == mrim_contact_ignored(contact)) return 0;
  // Not on the server's list: nothing there to flag; the host's own list still filters.
  DWORD number = get_setting_dword(contact, module, "Number", 0);
  if (number == 0 || protocol_state.status == ID_STATUS_OFFLINE) return 1;
  DWORD flags = get_setting_dword(contact, module, "Flags", 0);
  flags = wanted ? flags | CONTACT_FLAG_IGNORED : flags & ~CONTACT_FLAG_IGNORED;
  if (mrim_modify_contact(contact, number, flags, mrim_contact_group(contact)) != 0) return 1;
  write_setting_dword(contact, module, "Flags", flags);
  // Presence is shown again from the next notice; an ignored contact shows none from now.
  if (wanted) write_setting_word(contact, module, "Status", ID_STATUS_OFFLINE);
  mrim_log("mrim_ignore_changed: the server's ignore flag is %s\n", wanted ? "set" : "cleared");
  return 0;
}
