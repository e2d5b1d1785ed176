// Contacts sent in a message: a message with flag 0x200 whose text is "address;nickname;" for
// each contact, sent from the host's send-contacts service and stored, when one comes, as the
// host's contacts event (its nickname and address for each, each ended by a NUL).
#pragma once

#include <cstdint>

#include "host/host_api.h"

// The most contacts one message carries; the host's list may be longer, the message is not.
constexpr DWORD MRIM_CONTACTS_MAX = 64;

// "/SendContacts": lParam the host's ProtocolCall: the recipient, wParam MAKEWPARAM(flags,
// count), lParam an array of count contact handles. The acknowledgement number (the contacts
// acknowledgement, type 4, follows as a message's does), or 0 when nothing was sent: no
// contact of this account among them, more than MRIM_CONTACTS_MAX, or a text too long for one
// message.
INT_PTR MRIM_SendContacts(WPARAM wparam, LPARAM call);
// "/RecvContacts": lParam the host's ProtocolCall: the sender, and a ReceivedEvent whose text
// is an array of its lparam search results. Stores the contacts event. 0, or 1 when the record
// cannot be used.
INT_PTR MRIM_RecvContacts(WPARAM wparam, LPARAM call);

// A received text of contacts stored as the contact's contacts event,
// as "/RecvContacts" stores it: how many. 0 when the text names none with an address, and then
// nothing is stored.
uint32_t mrim_contacts_received(HANDLE contact, const char* text, DWORD timestamp);
