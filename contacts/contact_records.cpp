// The account's contacts in the host's database: lookup and creation by address, presence, and
// the mirror of the user's renames and deletions onto the server-side contact list.
//
// The host's database is the record of the contacts; lookups by address go through the
// address index (contacts/contact_index.h), which is built from it and kept true by the hooks.
#include "contacts/contact_records.h"

#include <cstdlib>
#include <cstring>

#include "contacts/contact_index.h"
#include "contacts/groups.h"
#include "contacts/ignore.h"
#include "contacts/modify.h"
#include "contacts/pending_edits.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "protocol/codec.h"
#include "protocol/online.h"
#include "protocol/receive.h"
#include "protocol/request.h"
#include "protocol/send.h"
#include "protocol/session.h"
#include "services/avatars.h"

namespace {

HANDLE as_handle(INT_PTR value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

HANDLE mrim_find_contact(const char* address, int create, int on_list) {
  const char* module = protocol_state.module_name;
  HANDLE found = contact_index_find(address);
  if (found != nullptr) return found;
  if (!create) return NOT_FOUND;

  // A host that cannot create the contact answers 0, the account itself: nothing may be written
  // then, or the new contact's settings would land on the account's own.
  HANDLE contact = as_handle(call_service(MS_DB_CONTACT_ADD, 0, 0));
  if (contact == nullptr) {
    mrim_log("mrim_find_contact: cannot create a contact for %s\n", address);
    return NOT_FOUND;
  }
  call_service(MS_PROTO_ADDTOCONTACT, reinterpret_cast<WPARAM>(contact), reinterpret_cast<LPARAM>(module));
  write_setting_string(contact, module, "EMail", address);
  contact_index_add(address, contact);
  write_setting_byte(contact, "CList", "NotOnList", on_list == 1 ? 0 : 1);
  write_setting_string(contact, "CList", "MyHandle", address);
  write_setting_byte(contact, "CList", "Hidden", 0);
  return contact;
}

HANDLE mrim_set_contact_status(const char* address, uint32_t server_status) {
  HANDLE contact = mrim_find_contact(address, 0, 0);
  if (contact != NOT_FOUND) mrim_contact_set_status(contact, server_status);
  return contact;
}

void mrim_contact_set_status(HANDLE contact, uint32_t server_status) {
  int host_status = mrim_contact_ignored(contact) ? ID_STATUS_OFFLINE : host_status_from_mrim(server_status);
  write_setting_word(contact, protocol_state.module_name, "Status", static_cast<WORD>(host_status));
  if (host_status != ID_STATUS_OFFLINE) avatars_contact_online(contact);
}

// A text already empty is not written again: most contacts have none, and the list load would
// otherwise write two settings more for each of them.
void mrim_contact_set_status_texts(HANDLE contact, const char* title, const char* description) {
  const char* module = protocol_state.module_name;
  const char* settings[2] = {"StatusTitle", "StatusDesc"};
  const char* texts[2] = {title, description};
  for (int i = 0; i < 2; ++i) {
    if (texts[i][0] == '\0') {
      SettingVariant old;
      if (!mrim_read_text_setting(contact, module, settings[i], &old)) continue;
      bool empty = old.text[0] == '\0';
      free_setting(&old);
      if (empty) continue;
    }
    write_setting_string(contact, module, settings[i], texts[i]);
  }
}

int mrim_rename_contact(HANDLE contact) {
  if (contact == nullptr) return 1;
  const char* module = protocol_state.module_name;
  DWORD number = get_setting_dword(contact, module, "Number", 0);
  if (number == 0) return mrim_edit_waits_for_number(contact) ? 0 : 1;
  DWORD flags = get_setting_dword(contact, module, "Flags", 0);
  // The contact's own group: any other index would move it there on the server.
  return mrim_modify_contact(contact, number, flags, mrim_contact_group(contact));
}

namespace {
thread_local bool applying_list = false;
}  // namespace

void mrim_contact_list_applying(bool applying) {
  applying_list = applying;
  protocol_state.contact_list_loading = applying ? 1 : 0;
  avatars_hold(applying);
}

INT_PTR MRIM_SettingChanged(WPARAM wparam, LPARAM lparam) {
  auto contact = reinterpret_cast<HANDLE>(wparam);
  auto* change = reinterpret_cast<const SettingWrite*>(lparam);
  // The index follows every write, the list's own too; the user's changes below do not.
  contact_index_setting_written(contact, change);
  log_setting_changed(contact, change);
  if (applying_list) return 0;
  if (change == nullptr || change->module == nullptr || change->setting == nullptr) return 0;
  if (contact == nullptr) {
    if (strcmp(change->module, protocol_state.module_name) == 0 &&
        (strcmp(change->setting, "StatusTitle") == 0 || strcmp(change->setting, "StatusDesc") == 0))
      session_status_texts_changed();
    return 0;
  }
  if (strcmp(change->module, "Ignore") == 0 && strcmp(change->setting, "Mask1") == 0 &&
      mrim_contact_is_ours(contact)) {
    mrim_ignore_changed(contact);
    return 0;
  }
  if (strcmp(change->module, "CList") != 0) return 0;
  bool renamed = strcmp(change->setting, "MyHandle") == 0;
  bool moved = strcmp(change->setting, "Group") == 0;
  if ((!renamed && !moved) || !mrim_contact_is_ours(contact)) return 0;
  if (renamed)
    mrim_rename_contact(contact);
  else
    mrim_move_contact(contact);
  return 0;
}

INT_PTR MRIM_ContactDeleted(WPARAM wparam, LPARAM) {
  auto contact = reinterpret_cast<HANDLE>(wparam);
  contact_index_forget(contact);
  if (!mrim_contact_is_ours(contact)) return 0;
  const char* module = protocol_state.module_name;
  SettingVariant email;
  if (!mrim_read_text_setting(contact, module, "EMail", &email)) return 0;
  DWORD number = get_setting_dword(contact, module, "Number", 0);
  if (number != 0) {
    mrim_do_remove(email.text, number, mrim_contact_group(contact));
    // Whether or not the server answered: it may have taken the deletion as our going offline.
    session_announce_again();
  }
  free_setting(&email);
  return 0;
}
