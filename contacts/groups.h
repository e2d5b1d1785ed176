// The account's contact-list groups. The server gives each group an index, in the top byte of
// the group's flags; indices may have gaps (another client deleted a group). The plug-in keeps
// the names by index as the account's "Group<index>" (an empty name: no group there) with
// "GroupCount" one past the highest index, each contact's index as its "GroupIndex", and the
// group's name in the contact's "CList"/"Group", where the host keeps contact-list groups. A contact moved to
// another group in the host is moved on the server, into a group made first when the server has none of that
// name.
#pragma once

#include <cstdint>

#include "host/host_api.h"

// The contact's server group: its "GroupIndex", 0 when unknown (added before groups were kept,
// or a temporary contact), which is the group the server puts such a contact in.
uint32_t mrim_contact_group(HANDLE contact);

// Group names as long as a nickname may be, so that a name read from the list is the name the
// user typed (a cut one would make a second group at the next move).
constexpr size_t MRIM_NAME_MAX = 255;

// While a contact list is applied: the groups of an earlier list are forgotten (none of their
// names is left behind, however short the new list's group section turns out), then each group
// read is stored under its index.
void mrim_groups_begin();
void mrim_groups_store(uint32_t index, const char* name);
// Writes the contact's "GroupIndex" and, when the account has a group by that index, its name
// into "CList"/"Group". The caller keeps the setting hook quiet (the list load marks its
// thread with mrim_contact_list_applying; a move writes the group as its own).
void mrim_contact_set_group(HANDLE contact, uint32_t index);
// The same with the group's name known to the caller (null or empty: the account has no group
// by that index), as while a list is applied: thousands of contacts, one name each.
void mrim_contact_set_group_named(HANDLE contact, uint32_t index, const char* name);

// The index of the account's group of that name: 0 when found, 1 otherwise.
int mrim_group_find(const char* name, uint32_t* index);
// MRIM_CS_ADD_CONTACT with the group flag: the server makes a group and answers its index. 0 on
// success, and the group is stored as the account's.
int mrim_do_addgroup(const char* name, uint32_t* index);

// Handler of the host's "CList/GroupChange": a group of the server's list renamed or deleted in
// the host is renamed or deleted on the server (as MRIM_CS_MODIFY_CONTACT with the group flag).
// A group that still holds contacts is not deleted, nor the server's first group, and the user
// is told why. After a deletion the server moves every higher group down by one index: so do
// the "Group<index>" names kept and each contact's "GroupIndex". Always 0.
INT_PTR MRIM_GroupChange(WPARAM contact, LPARAM change);

// The user put the contact in the group now in its "CList"/"Group" (the setting hook calls it).
// Moves it on the server; when the server refuses, the old group is written back. 0 on success.
int mrim_move_contact(HANDLE contact);
