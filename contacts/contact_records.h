// The account's contacts in the host's database: finding a contact by its address (creating it
// when asked), writing its presence, and carrying the user's renames and deletions to the
// server-side contact list.
#pragma once

#include <cstdint>

#include "core/host_services.h"
#include "host/host_api.h"
#include "protocol/wire.h"

// What mrim_find_contact returns when there is no contact: all bits set.
#define NOT_FOUND (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// The contact of this account whose "EMail" equals address byte for byte (the first in the
// host's order), or NOT_FOUND. With create set, a missing contact is created: a permanent list
// member when on_list is 1, a temporary one otherwise.
HANDLE mrim_find_contact(const char* address, int create, int on_list);

// Writes the contact's "Status" (the server status as a host status); never creates a contact.
// Returns the contact or NOT_FOUND.
HANDLE mrim_set_contact_status(const char* address, uint32_t server_status);
// The same for a contact already found.
void mrim_contact_set_status(HANDLE contact, uint32_t server_status);
// The contact's status title and description ("StatusTitle", "StatusDesc"), host text.
void mrim_contact_set_status_texts(HANDLE contact, const char* title, const char* description);

// Sends the contact's current "CList"/"MyHandle" to the server as its name: 0 on success.
int mrim_rename_contact(HANDLE contact);

// Handlers of "DB/Contact/SettingChanged" (a rename or a move into another group) and
// "DB/Contact/Deleted".
INT_PTR MRIM_SettingChanged(WPARAM contact, LPARAM change);
// While the server's list is applied, its writes must not travel back to the server as the
// user's edits. The host raises setting events on the writing thread, so the mark is the
// applying thread's own: a user's edit on another thread meanwhile still goes out.
void mrim_contact_list_applying(bool applying);
INT_PTR MRIM_ContactDeleted(WPARAM contact, LPARAM unused);
