// Growing the contact list: the e-mail search, adding a found user, granting or refusing an
// authorization request, and the "Authorization.." menu command.
#pragma once

#include <cstdint>

#include "host/host_api.h"
#include "protocol/codec.h"

// The size member of a search result: the record's own size, which the host compares (36 bytes on
// the 32-bit host, 56 on the 64-bit one).
constexpr int MRIM_SEARCH_RESULT_SIZE = sizeof(SearchResult);

// The texts of a search: the user part and the domain hold 199 characters each, the whole
// address 399, the scratch text 1,023, each with its NUL.
constexpr uint32_t SEARCH_PART_SIZE = 200;
constexpr uint32_t SEARCH_ADDRESS_SIZE = 400;
constexpr uint32_t SEARCH_SCRATCH_SIZE = 1024;
// The directory request and its reply share the job's packet, received with this capacity.
constexpr uint32_t SEARCH_PACKET_CAPACITY = MRIM_HEADER_SIZE + 4096;

// What MRIM_SearchByEmail hands to its search thread; the thread owns and frees it. As with
// messages, the thread's identifier is not kept in the job: the creation call would write it
// when the thread may already have freed the job.
struct SearchJob {
  DWORD search_id;
  // 0: the address is too long for the texts above; the thread then reports the search ended
  // without asking the server.
  int ask_server;
  char user[SEARCH_PART_SIZE];
  char domain[SEARCH_PART_SIZE];
  char address[SEARCH_ADDRESS_SIZE];
  MrimPacket packet;  // a whole packet buffer; requests and replies use 4,140 bytes of it
  char scratch[SEARCH_SCRATCH_SIZE];
  SearchResult result;
};

// A received directory reply to the search (its code already checked): true when it reports
// the address found. The names and values are read into scratch (scratch_size bytes) and
// dropped; a reply cut short simply ends that reading. Reads only within the packet's dlen.
bool mrim_search_reply_found(const MrimPacket* reply, char* scratch, uint32_t scratch_size);

// MRIM_CS_ADD_CONTACT and its acknowledgement: 0 when the server added the contact into the
// group of that index (its number stored through number_out), 1 otherwise.
int mrim_do_addcontact(const char* address, uint32_t group, uint32_t* number_out,
                       const char* nickname = nullptr);
// MRIM_CS_AUTHORIZE; nothing is awaited. Always 0.
int mrim_do_authorize(const char* address);

// "/SearchByEmail": lParam the address. Returns the search's identifier, never 0.
INT_PTR MRIM_SearchByEmail(WPARAM wparam, LPARAM address);
DWORD WINAPI MRIM_SearchThread(LPVOID job);
// "/AddToList": lParam a search result. Returns the contact, or 0 when the record is refused.
INT_PTR MRIM_AddToList(WPARAM flags, LPARAM result);
// "/ReqAuth": wParam the contact. Returns 0.
INT_PTR MRIM_ReqAuth(WPARAM contact, LPARAM lparam);
// "/Authorize" and "/AuthDeny": wParam the host's event of an authorization request. 0 on
// success, 1 when the event cannot be used.
INT_PTR MRIM_Authorize(WPARAM event, LPARAM lparam);
INT_PTR MRIM_AuthDeny(WPARAM event, LPARAM reason);
