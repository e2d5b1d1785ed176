// MRIM_CS_MODIFY_CONTACT: changing or removing an entry of the server's contact list.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// MRIM_CS_MODIFY_CONTACT and its acknowledgement: 0 when the server confirmed, 1 otherwise.
int mrim_do_modify(uint32_t number, const char* address, uint32_t flags, uint32_t group, const char* name);
// Sends the contact's entry with the given flags and group under its list number, naming it by
// its "EMail" and its list name ("CList"/"MyHandle"): 0 when the server confirmed, 1 otherwise
// (also when either text is missing, and then nothing is sent).
int mrim_modify_contact(HANDLE contact, uint32_t number, uint32_t flags, uint32_t group);
// MRIM_CS_MODIFY_CONTACT of the group at index (its index in the number's place, the group
// flag): renamed to name, or deleted with the removed flag (name its old one). Servers read a
// new name where the address goes, so the name goes in both places. 0 when the server
// confirmed, 1 otherwise (the user is told why).
int mrim_do_modify_group(uint32_t index, const char* name, bool remove);
// Takes the contact off the server list (naming the group it stands in): 0 when the server
// confirmed, 1 otherwise.
int mrim_do_remove(const char* address, uint32_t number, uint32_t group);
