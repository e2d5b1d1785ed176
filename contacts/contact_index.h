// The account's contacts by address, so that finding a contact costs the same however long the
// list is: every lookup by address (a contact-list entry, a message, a presence notice, an
// authorization request, the mailbox contact) goes through mrim_find_contact, which asks here
// first. The host's database stays the record: the index is built from it by one walk and kept
// true through the hooks on setting writes and deletions.
#pragma once

#include "host/host_api.h"

// The contact of this account whose "EMail" is the address (the first in the host's order),
// nullptr when there is none. Falls back to a walk of the host's contacts when the hooks that
// keep the index true are not installed.
HANDLE contact_index_find(const char* address);
// A contact of this account made by the plug-in.
void contact_index_add(const char* address, HANDLE contact);
// From the setting hook, for every write: keeps addresses and owners current.
void contact_index_setting_written(HANDLE contact, const SettingWrite* change);
// From the deletion hook.
void contact_index_forget(HANDLE contact);
// Forgets everything (Load and Unload): the next lookup builds afresh.
void contact_index_reset();
