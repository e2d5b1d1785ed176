// The account's contact-list groups. The server numbers its groups 0, 1, 2, ... in the order of
// its list; the plug-in keeps their names as the account's "GroupCount" and "Group0",
// "Group1", ..., each contact's index as its "GroupIndex", and the group's name in the contact's
// "CList"/"Group", where the host keeps contact-list groups. A contact moved to another group
// in the host is moved on the server, into a group made first when the server has none of
// that name.
#pragma once

#include <cstdint>

#include "host/host_api.h"

// The contact's server group: its "GroupIndex", 0 when unknown (added before groups were kept,
// or a temporary contact), which is the group the server puts such a contact in.
uint32_t mrim_contact_group(HANDLE contact);

// While a contact list is applied: the account's groups are forgotten and counted afresh, then
// each is stored under its index.
void mrim_groups_reset(uint32_t count);
void mrim_groups_store(uint32_t index, const char* name);
// Writes the contact's "GroupIndex" and, when the account has a group by that index, its name
// into "CList"/"Group". The caller keeps the setting hook quiet (contact_list_loading, or a
// move of its own).
void mrim_contact_set_group(HANDLE contact, uint32_t index);

// The index of the account's group of that name: 0 when found, 1 otherwise.
int mrim_group_find(const char* name, uint32_t* index);
// MRIM_CS_ADD_CONTACT with the group flag: the server makes a group and answers its index. 0 on
// success, and the group is stored as the account's.
int mrim_do_addgroup(const char* name, uint32_t* index);

// The user put the contact in the group now in its "CList"/"Group" (the setting hook calls it).
// Moves it on the server; when the server refuses, the old group is written back. 0 on success.
int mrim_move_contact(HANDLE contact);
