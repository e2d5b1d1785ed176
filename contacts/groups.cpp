// The account's contact-list groups: the names the server's list gives them, each contact's
// group, making a group on the server and moving a contact into another one.
#include "contacts/groups.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "contacts/edit_failure.h"
#include "contacts/modify.h"
#include "contacts/pending_edits.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "protocol/codec.h"
#include "protocol/request.h"
#include "protocol/wire.h"
#include "protocol/wire_text.h"

namespace {

// The server keeps a group's index in the top byte of its flags: no list has more groups.
constexpr uint32_t kMaxGroups = 256;
// A group name of the ADD_CONTACT request; longer names are refused rather than cut, since a
// cut name would make a second group when the user's own name comes back.
constexpr size_t kGroupNameMax = MRIM_NAME_MAX;
constexpr uint32_t kAddGroupCapacity = 4096;

// Set while this thread writes a contact's "CList"/"Group" itself, so that the setting hook
// does not take our own write for the user's move. The host calls its hooks on the writing
// thread.
thread_local bool writing_own_group = false;

void group_setting_name(uint32_t index, char* out, size_t size) {
  snprintf(out, size, "Group%lu", static_cast<unsigned long>(index));
}

// The account's name of group index into out (size bytes); false when it has none.
bool group_name(uint32_t index, char* out, size_t size) {
  const char* module = protocol_state.module_name;
  if (index >= get_setting_dword(nullptr, module, "GroupCount", 0)) return false;
  char setting[32];
  group_setting_name(index, setting, sizeof setting);
  SettingVariant name;
  if (!mrim_read_text_setting(nullptr, module, setting, &name)) return false;
  snprintf(out, size, "%s", name.text);
  free_setting(&name);
  return out[0] != '\0';  // an index the server left out
}

template <typename Visit>
void for_each_contact_of_ours(Visit visit) {
  for (HANDLE contact = reinterpret_cast<HANDLE>(call_service(MS_DB_CONTACT_FINDFIRST, 0, 0));
       contact != nullptr; contact = reinterpret_cast<HANDLE>(
                               call_service(MS_DB_CONTACT_FINDNEXT, reinterpret_cast<WPARAM>(contact), 0)))
    if (mrim_contact_is_ours(contact)) visit(contact);
}

// Whether a contact on the server's list stands in the group.
bool group_in_use(uint32_t index) {
  bool used = false;
  for_each_contact_of_ours([&](HANDLE contact) {
    if (get_setting_dword(contact, protocol_state.module_name, "Number", 0) != 0 &&
        mrim_contact_group(contact) == index)
      used = true;
  });
  return used;
}

void shift_groups_after(uint32_t index);

// The host moves a renamed group's contacts before it tells of the rename, so a group of the new
// name was made for them on the server (at made), and the old one (at index) was left empty.
// The empty one goes. The server's first group cannot go: it takes the new name, the contacts
// go back into it, and the group made for them goes instead.
void moved_ahead_of_rename(uint32_t index, uint32_t made, const char* name) {
  if (index != 0) {
    if (mrim_do_modify_group(index, name, true) == 0) shift_groups_after(index);
    return;
  }
  if (mrim_do_modify_group(0, name, false) != 0) return;
  mrim_groups_store(0, name);
  bool all_back = true;
  for_each_contact_of_ours([&](HANDLE contact) {
    DWORD number = get_setting_dword(contact, protocol_state.module_name, "Number", 0);
    if (number == 0 || mrim_contact_group(contact) != made) return;
    DWORD flags = get_setting_dword(contact, protocol_state.module_name, "Flags", 0);
    if (mrim_modify_contact(contact, number, flags, 0) == 0)
      write_setting_dword(contact, protocol_state.module_name, "GroupIndex", 0);
    else
      all_back = false;
  });
  if (all_back && mrim_do_modify_group(made, name, true) == 0) shift_groups_after(made);
}

// The server deleted the group at index and moved every higher one down by one.
void shift_groups_after(uint32_t index) {
  const char* module = protocol_state.module_name;
  uint32_t count = get_setting_dword(nullptr, module, "GroupCount", 0);
  if (count > kMaxGroups) count = kMaxGroups;
  char name[kGroupNameMax + 1];
  char setting[32];
  for (uint32_t i = index + 1; i < count; ++i) {
    if (!group_name(i, name, sizeof name)) name[0] = '\0';
    group_setting_name(i - 1, setting, sizeof setting);
    write_setting_string(nullptr, module, setting, name);
  }
  if (count > index) {
    group_setting_name(count - 1, setting, sizeof setting);
    write_setting_string(nullptr, module, setting, "");
    write_setting_dword(nullptr, module, "GroupCount", count - 1);
  }
  for_each_contact_of_ours([&](HANDLE contact) {
    uint32_t old_index = mrim_contact_group(contact);
    if (old_index > index) write_setting_dword(contact, module, "GroupIndex", old_index - 1);
  });
}

void write_own_group(HANDLE contact, const char* name) {
  writing_own_group = true;
  write_setting_string(contact, "CList", "Group", name);
  writing_own_group = false;
}

}  // namespace

uint32_t mrim_contact_group(HANDLE contact) {
  return get_setting_dword(contact, protocol_state.module_name, "GroupIndex", 0);
}

void mrim_groups_begin() {
  const char* module = protocol_state.module_name;
  uint32_t count = get_setting_dword(nullptr, module, "GroupCount", 0);
  char name[kGroupNameMax + 1];
  char setting[32];
  for (uint32_t index = 0; index < count && index < kMaxGroups; ++index) {
    if (!group_name(index, name, sizeof name)) continue;
    group_setting_name(index, setting, sizeof setting);
    write_setting_string(nullptr, module, setting, "");
  }
  write_setting_dword(nullptr, module, "GroupCount", 0);
}

void mrim_groups_store(uint32_t index, const char* name) {
  if (index >= kMaxGroups) return;
  const char* module = protocol_state.module_name;
  char setting[32];
  group_setting_name(index, setting, sizeof setting);
  write_setting_string(nullptr, module, setting, name);
  if (index >= get_setting_dword(nullptr, module, "GroupCount", 0))
    write_setting_dword(nullptr, module, "GroupCount", index + 1);
}

void mrim_contact_set_group(HANDLE contact, uint32_t index) {
  char name[kGroupNameMax + 1];
  mrim_contact_set_group_named(contact, index, group_name(index, name, sizeof name) ? name : nullptr);
}

void mrim_contact_set_group_named(HANDLE contact, uint32_t index, const char* name) {
  write_setting_dword(contact, protocol_state.module_name, "GroupIndex", index);
  if (name != nullptr && name[0] != '\0') write_own_group(contact, name);
}

int mrim_group_find(const char* name, uint32_t* index) {
  uint32_t count = get_setting_dword(nullptr, protocol_state.module_name, "GroupCount", 0);
  char stored[kGroupNameMax + 1];
  for (uint32_t i = 0; i < count && i < kMaxGroups; ++i) {
    if (group_name(i, stored, sizeof stored) && strcmp(stored, name) == 0) {
      *index = i;
      return 0;
    }
  }
  return 1;
}

int mrim_do_addgroup(const char* name, uint32_t* index) {
  mrim_log("mrim_do_addgroup: started\n");
  int result = 1;
  auto* packet = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  if (packet != nullptr && strlen(name) <= kGroupNameMax) {
    mrim_packet_init(packet, MRIM_CS_ADD_CONTACT, mrim_next_seq());
    mrim_append_ul(packet, CONTACT_FLAG_GROUP);
    mrim_append_ul(packet, 0);
    mrim_append_lps(packet, "");
    mrim_append_text(packet, name, mrim_session_unicode());
    mrim_append_ul(packet, 0);
    const MrimRequestKind kind{"mrim_do_addgroup",
                               MRIM_CS_ADD_CONTACT_ACK,
                               "MRIM_CS_ADD_CONTACT_ACK",
                               kAddGroupCapacity,
                               false,
                               false,
                               false};
    uint32_t position = 0;
    uint32_t status = 0;
    uint32_t created = 0;
    MrimRequestResult outcome = mrim_request(
        packet, kind, &position, &status, "mrim_do_addgroup: MRIM_CS_ADD_CONTACT(group %s) sended\n", name);
    if (outcome == MRIM_REQUEST_OK && status == CONTACT_OPER_SUCCESS) {
      // An index past what a list can hold is no answer a server could stand by.
      if (mrim_read_ul(&position, packet, &created) == 0 && created < kMaxGroups) {
        mrim_groups_store(created, name);
        *index = created;
        result = 0;
      } else {
        outcome = MRIM_REQUEST_NO_STATUS;
      }
    }
    if (result != 0) mrim_contact_edit_failed(CONTACT_EDIT_ADD_GROUP, name, outcome, status);
  } else {
    mrim_contact_edit_failed(CONTACT_EDIT_ADD_GROUP, name, MRIM_REQUEST_NOT_SENT, 0);
  }
  free(packet);
  mrim_log(result == 0 ? "mrim_do_addgroup: ended ok\n" : "mrim_do_addgroup: ended with error\n");
  return result;
}

int mrim_move_contact(HANDLE contact) {
  if (writing_own_group || contact == nullptr) return 0;
  const char* module = protocol_state.module_name;
  DWORD number = get_setting_dword(contact, module, "Number", 0);
  // Not on the server's list: the group is the host's alone until the contact is added, or, for
  // one added and not yet numbered, until a list numbers it.
  if (number == 0) {
    mrim_edit_waits_for_number(contact);
    return 0;
  }
  uint32_t old_index = mrim_contact_group(contact);
  SettingVariant wanted;
  char target[kGroupNameMax + 1] = "";
  if (mrim_read_text_setting(contact, "CList", "Group", &wanted)) {
    snprintf(target, sizeof target, "%s", wanted.text);
    free_setting(&wanted);
  }
  // A contact taken out of every group goes to the server's first one.
  uint32_t new_index = 0;
  bool known = target[0] == '\0' || mrim_group_find(target, &new_index) == 0;
  if (known && new_index == old_index) return 0;

  mrim_log("mrim_move_contact: started\n");
  int result = 1;
  if (protocol_state.status != ID_STATUS_OFFLINE && (known || mrim_do_addgroup(target, &new_index) == 0)) {
    DWORD flags = get_setting_dword(contact, module, "Flags", 0);
    if (mrim_modify_contact(contact, number, flags, new_index) == 0) {
      write_setting_dword(contact, module, "GroupIndex", new_index);
      result = 0;
    }
  }
  if (result != 0) {
    // The host's list must not show a group the server did not take: the old one comes back.
    char old_name[kGroupNameMax + 1] = "";
    group_name(old_index, old_name, sizeof old_name);
    write_own_group(contact, old_name);
    mrim_log("mrim_move_contact: the server did not move the contact to group \"%s\"; it stays in \"%s\"\n",
             target, old_name);
  }
  mrim_log(result == 0 ? "mrim_move_contact: ended ok\n" : "mrim_move_contact: ended with error\n");
  return result;
}

INT_PTR MRIM_GroupChange(WPARAM contact, LPARAM lparam) {
  auto* change = reinterpret_cast<const GroupChange*>(lparam);
  if (contact != 0 || change == nullptr || change->size < static_cast<int>(sizeof(GroupChange))) return 0;
  // A new group is made on the server when a contact first goes there.
  if (change->old_name == nullptr || change->old_name[0] == '\0') return 0;
  uint32_t index = 0;
  if (mrim_group_find(change->old_name, &index) != 0) return 0;  // the host's alone
  const bool rename = change->new_name != nullptr && change->new_name[0] != '\0';
  const ContactEdit edit = rename ? CONTACT_EDIT_RENAME_GROUP : CONTACT_EDIT_DELETE_GROUP;
  if (protocol_state.status == ID_STATUS_OFFLINE) {
    mrim_contact_edit_refused(edit, change->old_name, "The account is offline.");
    return 0;
  }
  if (rename) {
    uint32_t existing = 0;
    if (mrim_group_find(change->new_name, &existing) == 0) {
      if (existing != index && !group_in_use(index)) moved_ahead_of_rename(index, existing, change->new_name);
      return 0;
    }
    if (strlen(change->new_name) > kGroupNameMax) {
      mrim_contact_edit_refused(edit, change->old_name, "The new name is longer than the server keeps.");
      return 0;
    }
    if (mrim_do_modify_group(index, change->new_name, false) == 0) mrim_groups_store(index, change->new_name);
    return 0;
  }
  if (index == 0) {
    mrim_contact_edit_refused(edit, change->old_name, "The server keeps its first group.");
    return 0;
  }
  if (group_in_use(index)) {
    mrim_contact_edit_refused(edit, change->old_name,
                              "It still holds contacts; move them to another group first.");
    return 0;
  }
  if (mrim_do_modify_group(index, change->old_name, true) == 0) shift_groups_after(index);
  return 0;
}
