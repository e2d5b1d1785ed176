// Growing the contact list: adding a found user, granting or refusing an authorization request,
// and the "Authorization.." menu command.
#pragma once

#include <cstdint>

#include "host/host_api.h"
#include "protocol/codec.h"

// MRIM_CS_ADD_CONTACT and its acknowledgement: 0 when the server added the contact into the
// group of that index (its number stored through number_out), 2 when it refused to (not as
// being on the list already), 1 otherwise: not sent, or not known.
// request_text (host text, null for none) is what the added user reads with our request for
// authorization.
int mrim_do_addcontact(const char* address, uint32_t group, uint32_t* number_out,
                       const char* nickname = nullptr, const char* request_text = nullptr);
// MRIM_CS_AUTHORIZE; nothing is awaited. Always 0.
int mrim_do_authorize(const char* address);

// "/AddToList": lParam a search hit: the host's record or this protocol's (host/search_record.h),
// the address in its e-mail (or, for a record without one, its nickname). Returns the contact, or
// 0 when the record is refused.
INT_PTR MRIM_AddToList(WPARAM flags, LPARAM result);
// "/AuthRequest": lParam the host's ProtocolCall: its contact, and its lParam the text of the
// request (host text, or null). The contact goes on the server list with the request, which
// carries the text; one on the list already is asked again. 0, or 1 for a call that names no
// contact of this account with an address.
INT_PTR MRIM_AuthRequest(WPARAM wparam, LPARAM call);
// "/ReqAuth": wParam the contact. Returns 0.
INT_PTR MRIM_ReqAuth(WPARAM contact, LPARAM lparam);
// "/Authorize" and "/AuthDeny": wParam the host's event of an authorization request. 0 on
// success, 1 when the event cannot be used.
INT_PTR MRIM_Authorize(WPARAM event, LPARAM lparam);
INT_PTR MRIM_AuthDeny(WPARAM event, LPARAM reason);
