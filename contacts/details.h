// A contact's directory details: looked up on the server by the contact's address and stored
// as the contact's settings, for the host's contact-details window.
#pragma once

#include "host/host_api.h"
#include "protocol/codec.h"

// The first row of a directory reply as one block: for each field its name and a NUL, then its
// value and a NUL, in the reply's order; three NULs after the last value, so the list ends at
// the first empty name. Allocated by mrim_do_getinfo, released with free().
typedef char DetailsList;

// Looks the address up in the server's directory. The list, or null when the lookup failed
// (no "@", no memory, no connection, no reply in time, another code, not found, cut short).
DetailsList* mrim_do_getinfo(const char* address);

// The list from a received directory reply (its code already checked), or null when the reply
// reports no entry or is cut short. The packet is read only within its dlen.
DetailsList* mrim_details_from_reply(const MrimPacket* packet);
// Stores the list's known fields as the contact's settings; other names are passed over.
void mrim_store_details(HANDLE contact, const DetailsList* list);

// The "/GetInfo" service: lParam is the host's ProtocolCall, of which the contact is read.
// 0 when the contact has an address (the details acknowledgement then tells how it went), 1
// when the record is missing or the contact has no "EMail".
INT_PTR MRIM_GetInfo(WPARAM wparam, LPARAM call);
