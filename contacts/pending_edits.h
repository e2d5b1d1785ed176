// Edits that wait for the server's number. A server may answer an add with number 0, and a
// contact added and still waiting for the other side's authorization has no number until a list
// holds it: the user's rename or move of such a contact cannot go to the server yet. It is kept
// ("PendingEdit" on the contact) and sent once a list numbers the contact, and the list does not
// overwrite what the user chose meanwhile.
#pragma once

#include "host/host_api.h"

// True, with the edit marked as kept, for a contact added and not yet numbered.
bool mrim_edit_waits_for_number(HANDLE contact);
// Whether the contact has an edit kept.
bool mrim_edit_pending(HANDLE contact);
void mrim_edit_sent(HANDLE contact);
