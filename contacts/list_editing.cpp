// Growing the contact list: adding a found user to the server list, granting and refusing
// authorization requests, and the "Authorization.." menu command, which puts a contact on the
// server list and authorizes it.
//
// Addresses longer than a request's buffer allows are refused before anything is built: no
// real address comes near those lengths, and a cut address would name somebody else.
#include "contacts/list_editing.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "contacts/authorization.h"
#include "contacts/contact_records.h"
#include "contacts/edit_failure.h"
#include "contacts/groups.h"
#include "contacts/search.h"
#include "core/host_services.h"
#include "core/host_text.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/text.h"
#include "core/worker_threads.h"
#include "protocol/receive.h"
#include "protocol/request.h"
#include "protocol/send.h"
#include "protocol/wire_text.h"

namespace {

// The add request's body holds 4,096 bytes: three ULs and two copies of the address.
constexpr uint32_t kAddBodyCapacity = 4096;
constexpr size_t kAddAddressMax = (kAddBodyCapacity - 3 * 4 - 2 * 4) / 2;  // 2,038
constexpr uint32_t kAddCapacity = MRIM_HEADER_SIZE + kAddBodyCapacity;
// The authorize request's body holds 1,024 bytes: one LPS.
constexpr uint32_t kAuthorizeBodyCapacity = 1024;
constexpr size_t kAuthorizeAddressMax = kAuthorizeBodyCapacity - 4;  // 1,020
// An authorization request's text, in bytes of host text; the packet's body holds it many times.
constexpr size_t kRequestTextMax = 1024;

constexpr int kEventInfoSize = sizeof(EventInfo);
// The authorization-request blob names the asking contact in its second 32-bit word.
constexpr DWORD kBlobContactOffset = 4;

// The authorize request is built in one buffer for the plug-in's life; host threads may
// authorize at the same time, so it is taken under a lock. Nothing is awaited while it is held.
std::mutex authorize_mutex;
MrimPacket authorize_packet;

// Reads the asking contact out of an authorization-request event. False when the event cannot
// be used: no blob size, no memory, not a request of this account, or a blob too short to name
// a contact (or naming none: contact 0 is the account itself).
bool request_contact(WPARAM event, HANDLE* contact) {
  EventInfo info{};
  info.size = kEventInfoSize;
  INT_PTR size = call_service(MS_DB_EVENT_GETBLOBSIZE, event, 0);
  if (size < 0) return false;
  if (static_cast<uint64_t>(size) < kBlobContactOffset + 4) return false;
  auto* blob = static_cast<BYTE*>(malloc(static_cast<size_t>(size)));
  if (blob == nullptr) return false;
  info.blob_size = static_cast<DWORD>(size);
  info.blob = blob;
  bool usable = call_service(MS_DB_EVENT_GET, event, reinterpret_cast<LPARAM>(&info)) == 0 &&
                info.event_type == EVENTTYPE_AUTHREQUEST && info.module != nullptr &&
                strcmp(info.module, protocol_state.module_name) == 0 &&
                info.blob_size >= kBlobContactOffset + 4;
  if (usable) {
    uint32_t word = 0;
    memcpy(&word, blob + kBlobContactOffset, 4);
    *contact = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(word));
    usable = word != 0;
  }
  free(blob);
  return usable;
}

}  // namespace

// The buffer is taken per call rather than kept for the plug-in's life: the request waits for
// its reply, and a lock held over that wait would make a second add on another host thread
// wait out the first one's time-out.
int mrim_do_addcontact(const char* address, uint32_t group, uint32_t* number_out, const char* nickname,
                       const char* request_text) {
  mrim_log("mrim_do_addcontact: started\n");
  if (strlen(address) > kAddAddressMax) {
    mrim_log("mrim_do_addcontact: address too long\n");
    mrim_contact_edit_failed(CONTACT_EDIT_ADD, address, MRIM_REQUEST_NOT_SENT, 0);
    mrim_log("mrim_do_addcontact: ended with error\n");
    return 1;
  }
  auto* packet = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  if (packet == nullptr) {
    mrim_contact_edit_failed(CONTACT_EDIT_ADD, address, MRIM_REQUEST_NOT_SENT, 0);
    mrim_log("mrim_do_addcontact: ended with error\n");
    return 1;
  }
  mrim_packet_init(packet, MRIM_CS_ADD_CONTACT, mrim_next_seq());
  mrim_append_ul(packet, 0);
  mrim_append_ul(packet, group);
  mrim_append_lps(packet, address);
  // The name the user gave, else the address: a server that answers with number 0 takes no
  // rename until the next log-in, so the add carries it.
  const char* name = nickname != nullptr && nickname[0] != '\0' ? nickname : address;
  mrim_append_text(packet, name, mrim_session_unicode());
  // The text the other side reads with our request for authorization: code page 1251 at every
  // revision, cut to what a request shows (empty: the server's own words).
  char text[kRequestTextMax + 1] = "";
  if (request_text != nullptr)
    copy_cut(text, sizeof text, request_text, host_text_fit(request_text, strlen(request_text), sizeof text));
  mrim_append_text(packet, text, false);

  int result = 1;
  const MrimRequestKind kind{"mrim_do_addcontact",
                             MRIM_CS_ADD_CONTACT_ACK,
                             "MRIM_CS_ADD_CONTACT_ACK",
                             kAddCapacity,
                             false,
                             false,
                             false};
  uint32_t position = 0;
  uint32_t status = 0;
  uint32_t number = 0;
  MrimRequestResult outcome = mrim_request(packet, kind, &position, &status,
                                           "mrim_do_addcontact: MRIM_CS_ADD_CONTACT(%s) sended\n", address);
  if (outcome == MRIM_REQUEST_OK && status == CONTACT_OPER_SUCCESS) {
    if (mrim_read_ul(&position, packet, &number) == 0) {
      *number_out = number;
      result = 0;
    } else {
      outcome = MRIM_REQUEST_NO_STATUS;
    }
  } else if (outcome == MRIM_REQUEST_OK && status != CONTACT_OPER_USER_EXISTS) {
    result = 2;
  }
  free(packet);
  if (result != 0) mrim_contact_edit_failed(CONTACT_EDIT_ADD, address, outcome, status);
  mrim_log(result == 0 ? "mrim_do_addcontact: ended ok\n" : "mrim_do_addcontact: ended with error\n");
  return result;
}

int mrim_do_authorize(const char* address) {
  mrim_log("mrim_do_authorize: started\n");
  if (strlen(address) > kAuthorizeAddressMax) {
    mrim_log("mrim_do_authorize: address too long\n");
  } else {
    std::lock_guard lock(authorize_mutex);
    mrim_packet_init(&authorize_packet, MRIM_CS_AUTHORIZE, mrim_next_seq());
    mrim_append_lps(&authorize_packet, address);
    // Not answered, but it changes the list as requests do: it keeps in line with them.
    mrim_grant_noted(address);
    mrim_send(&authorize_packet, MRIM_SEND_ORDERED);
    mrim_log("mrim_do_authorize: MRIM_CS_AUTHORIZE(%s) sended\n", address);
  }
  mrim_log("mrim_do_authorize: ended\n");
  return 0;
}

// Every contact added here is permanent; the flags are not looked at. An empty address is
// refused like a wrong record: it would make a contact without an address.
namespace {

// Into the group the contact stands in on the host's list, made on the server first when it
// has none of that name (a server that numbers the contact 0 takes no move until the next
// log-in, so the add itself carries the group), else into the first; on success the contact
// keeps its number and group.
void add_to_server_list(HANDLE contact, const char* address, const char* request_text = nullptr) {
  uint32_t group = 0;
  SettingVariant group_name;
  if (mrim_read_text_setting(contact, "CList", "Group", &group_name)) {
    if (mrim_group_find(group_name.text, &group) != 0 &&
        (group_name.text[0] == '\0' || mrim_do_addgroup(group_name.text, &group) != 0))
      group = 0;
    free_setting(&group_name);
  }
  uint32_t number = 0;
  SettingVariant nickname;
  const bool named = mrim_read_text_setting(contact, "CList", "MyHandle", &nickname);
  const int added =
      mrim_do_addcontact(address, group, &number, named ? nickname.text : nullptr, request_text);
  if (named) free_setting(&nickname);
  if (added == 0) {
    write_setting_dword(contact, protocol_state.module_name, "Number", number);
    // The group it went into shows at once, by its name, whatever the number.
    mrim_contact_set_group(contact, group);
    // Until the other side authorizes us, servers leave the contact out of our list at the next
    // log-in; it must not be taken for one that left the list (see the list load).
    write_setting_byte(contact, protocol_state.module_name, "AuthPending", 1);
  } else if (added == 2 && get_setting_dword(contact, protocol_state.module_name, "Number", 0) == 0) {
    // Refused, and on no list of the server: the host shows it as the temporary contact it is,
    // not as one the user has. Without an answer it may have been added, so it stays.
    write_setting_byte(contact, "CList", "NotOnList", 1);
  }
}

}  // namespace

INT_PTR MRIM_AddToList(WPARAM, LPARAM lparam) {
  auto* result = reinterpret_cast<const SearchResult*>(lparam);
  if (result == nullptr ||
      (result->size != static_cast<int>(sizeof(SearchResult)) && result->size != MRIM_SEARCH_RESULT_SIZE))
    return 0;
  // Our hits name the user in the nickname and give the address as the e-mail; a host's own
  // record may carry the address as the nickname alone.
  const char* address =
      result->email != nullptr && strchr(result->email, '@') != nullptr ? result->email : result->nick;
  if (address == nullptr || address[0] == '\0') return 0;
  HANDLE contact = mrim_find_contact(address, 1, 1);
  if (contact == NOT_FOUND) return 0;
  write_setting_byte(contact, "CList", "NotOnList", 0);
  add_to_server_list(contact, address);
  return reinterpret_cast<INT_PTR>(contact);
}

// The address comes from "EMail": the list name ("CList"/"MyHandle") starts out as the address
// but becomes the nickname once the server's contact list is loaded, and no user has that.
INT_PTR MRIM_ReqAuth(WPARAM wparam, LPARAM) {
  auto contact = reinterpret_cast<HANDLE>(wparam);
  if (contact == nullptr) return 0;
  SettingVariant email;
  if (!mrim_read_text_setting(contact, protocol_state.module_name, "EMail", &email)) return 0;
  add_to_server_list(contact, email.text);
  mrim_do_authorize(email.text);
  free_setting(&email);
  return 0;
}

INT_PTR MRIM_AuthRequest(WPARAM, LPARAM lparam) {
  auto* call = reinterpret_cast<const ProtocolCall*>(lparam);
  if (call == nullptr || call->contact == nullptr || !mrim_contact_is_ours(call->contact)) return 1;
  SettingVariant email;
  if (!mrim_read_text_setting(call->contact, protocol_state.module_name, "EMail", &email)) return 1;
  add_to_server_list(call->contact, email.text, reinterpret_cast<const char*>(call->lparam));
  free_setting(&email);
  return 0;
}

INT_PTR MRIM_Authorize(WPARAM event, LPARAM) {
  HANDLE contact = nullptr;
  if (!request_contact(event, &contact)) return 1;
  write_setting_byte(contact, "CList", "NotOnList", 0);
  MRIM_ReqAuth(reinterpret_cast<WPARAM>(contact), 0);
  return 0;
}

// The refusal is not sent to the server: the asker only becomes a temporary contact.
INT_PTR MRIM_AuthDeny(WPARAM event, LPARAM) {
  HANDLE contact = nullptr;
  if (!request_contact(event, &contact)) return 1;
  write_setting_byte(contact, "CList", "NotOnList", 1);
  return 0;
}
