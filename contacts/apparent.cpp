// Visibility: the server stores a contact's place on the visible or invisible list as two flag
// bits, the host as the contact's "ApparentMode". The contact-list load copies the flags into
// the host; the "/SetApparentMode" service sends the user's choice to the server.
#include "contacts/apparent.h"

#include "contacts/contact_records.h"
#include "contacts/groups.h"
#include "contacts/modify.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"

namespace {

// Flags with both list bits (the server may report them, and a change from one list to the
// other while "Flags" still holds the old bit sends them) show as the invisible list: the
// user has asked at least once not to be seen by the contact, and showing the contact as
// visible would present the account against that wish. Any other combination of the two codes
// would be none of the three modes the host knows.
WORD apparent_mode_of(uint32_t flags) {
  if (flags & CONTACT_FLAG_INVISIBLE) return ID_STATUS_OFFLINE;
  if (flags & CONTACT_FLAG_VISIBLE) return ID_STATUS_ONLINE;
  return 0;
}

}  // namespace

void mrim_apparent_apply(HANDLE contact, uint32_t flags) {
  const char* module = protocol_state.module_name;
  WORD stored_mode = get_setting_word(contact, module, "ApparentMode", 0);
  DWORD stored_flags = get_setting_dword(contact, module, "Flags", 0);
  WORD mode = apparent_mode_of(flags);
  if (mode != stored_mode) write_setting_word(contact, module, "ApparentMode", mode);
  // As they came, the server's own bits too: every later change sends them back unchanged.
  if (flags != stored_flags) write_setting_dword(contact, module, "Flags", flags);
}

// "Flags" follows every change the server accepted: a later rename or move sends them, and a
// stale copy would quietly undo this change on the server.
INT_PTR MRIM_SetApparentMode(WPARAM, LPARAM lparam) {
  auto* call = reinterpret_cast<const ProtocolCall*>(lparam);
  if (call == nullptr || call->contact == nullptr) return 1;
  HANDLE contact = call->contact;
  const char* module = protocol_state.module_name;
  mrim_log("MRIM_SetApparentMode: started\n");

  int result = 1;
  DWORD number = get_setting_dword(contact, module, "Number", 0);
  DWORD flags = get_setting_dword(contact, module, "Flags", 0);
  WPARAM mode = call->wparam;
  bool known_mode = mode == 0 || mode == ID_STATUS_ONLINE || mode == ID_STATUS_OFFLINE;
  if (number != 0 && known_mode && mode != get_setting_word(contact, module, "ApparentMode", 0)) {
    // One list at a time: with "Flags" now kept current, the other list's bit would still be
    // there from the last change.
    flags &= ~(CONTACT_FLAG_VISIBLE | CONTACT_FLAG_INVISIBLE);
    if (mode == ID_STATUS_ONLINE)
      flags |= CONTACT_FLAG_VISIBLE;
    else if (mode == ID_STATUS_OFFLINE)
      flags |= CONTACT_FLAG_INVISIBLE;
    if (mrim_modify_contact(contact, number, flags, mrim_contact_group(contact)) == 0) {
      write_setting_word(contact, module, "ApparentMode", static_cast<WORD>(mode));
      write_setting_dword(contact, module, "Flags", flags);
      result = 0;
    }
  }
  mrim_log(result == 0 ? "MRIM_SetApparentMode: ended ok\n" : "MRIM_SetApparentMode: ended with error\n");
  return result;
}
