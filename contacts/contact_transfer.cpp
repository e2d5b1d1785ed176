// Contacts sent and received in a message.
#include "contacts/contact_transfer.h"

#include <cstdlib>
#include <cstring>

#include "contacts/message_parts.h"
#include "contacts/messaging.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "protocol/wire.h"

namespace {

// One contact's part of the text: its address, ';', its nickname with any ';' made ',' (a
// nickname may hold one; the text may not), ';'. False when it does not fit.
bool append_pair(char* text, size_t capacity, size_t* used, const char* address, const char* nickname) {
  size_t needed = strlen(address) + strlen(nickname) + 2;
  if (*used + needed + 1 > capacity) return false;
  char* p = text + *used;
  for (const char* a = address; *a != '\0'; ++a) *p++ = *a == ';' ? ',' : *a;
  *p++ = ';';
  for (const char* n = nickname; *n != '\0'; ++n) *p++ = *n == ';' ? ',' : *n;
  *p++ = ';';
  *p = '\0';
  *used += needed;
  return true;
}

}  // namespace

INT_PTR MRIM_SendContacts(WPARAM, LPARAM lparam) {
  auto* call = reinterpret_cast<const ProtocolCall*>(lparam);
  if (call == nullptr || call->contact == nullptr || call->lparam == 0) return 0;
  const DWORD count = HIWORD(call->wparam);
  if (count == 0 || count > MRIM_CONTACTS_MAX) return 0;
  auto* handles = reinterpret_cast<const HANDLE*>(call->lparam);
  // A message's whole text, as host text: what one part of a message holds at the most.
  constexpr size_t kTextCapacity = 4 * MRIM_MESSAGE_PART_UNITS;
  auto* text = static_cast<char*>(malloc(kTextCapacity));
  if (text == nullptr) return 0;
  text[0] = '\0';
  size_t used = 0;
  bool fits = true;
  const char* module = protocol_state.module_name;
  for (DWORD i = 0; i < count && fits; ++i) {
    if (handles[i] == nullptr || !mrim_contact_is_ours(handles[i])) continue;
    SettingVariant email;
    if (!mrim_read_text_setting(handles[i], module, "EMail", &email)) continue;
    SettingVariant nickname;
    const bool named = mrim_read_text_setting(handles[i], "CList", "MyHandle", &nickname);
    fits = append_pair(text, kTextCapacity, &used, email.text, named ? nickname.text : email.text);
    if (named) free_setting(&nickname);
    free_setting(&email);
  }
  DWORD id = 0;
  if (fits && used > 0)
    id = mrim_start_send(call->contact, text, host_takes_utf8() ? TextForm::utf8 : TextForm::cp1251,
                         MESSAGE_FLAG_CONTACT, ACKTYPE_CONTACTS);
  mrim_log(id != 0 ? "MRIM_SendContacts: sending\n" : "MRIM_SendContacts: nothing sent\n");
  free(text);
  return static_cast<INT_PTR>(id);
}

INT_PTR MRIM_RecvContacts(WPARAM, LPARAM lparam) {
  auto* call = reinterpret_cast<const ProtocolCall*>(lparam);
  if (call == nullptr || call->contact == nullptr || call->lparam == 0) return 1;
  auto* received = reinterpret_cast<const ReceivedEvent*>(call->lparam);
  auto** results = reinterpret_cast<SearchResult**>(received->text);
  const auto count = static_cast<DWORD>(received->lparam);
  if (results == nullptr || count == 0 || count > MRIM_CONTACTS_MAX) return 1;
  size_t size = 0;
  for (DWORD i = 0; i < count; ++i) {
    if (results[i] == nullptr || results[i]->email == nullptr) return 1;
    const char* nick = results[i]->nick != nullptr ? results[i]->nick : results[i]->email;
    size += strlen(nick) + 1 + strlen(results[i]->email) + 1;
  }
  auto* blob = static_cast<BYTE*>(malloc(size));
  if (blob == nullptr) return 1;
  BYTE* p = blob;
  for (DWORD i = 0; i < count; ++i) {
    const char* nick = results[i]->nick != nullptr ? results[i]->nick : results[i]->email;
    for (const char* text : {nick, static_cast<const char*>(results[i]->email)}) {
      size_t length = strlen(text) + 1;
      memcpy(p, text, length);
      p += length;
    }
  }
  EventInfo event{};
  event.size = sizeof event;
  event.module = protocol_state.module_name;
  event.timestamp = received->timestamp;
  event.flags = host_takes_utf8() ? DBEF_UTF8 : 0;
  event.event_type = EVENTTYPE_CONTACTS;
  event.blob_size = static_cast<DWORD>(size);
  event.blob = blob;
  call_service(MS_DB_EVENT_ADD, reinterpret_cast<WPARAM>(call->contact), reinterpret_cast<LPARAM>(&event));
  free(blob);
  return 0;
}

uint32_t mrim_contacts_received(HANDLE contact, const char* received_text, DWORD timestamp) {
  // The pairs taken apart in a copy: each ';' ends an address or a nickname.
  char* text = static_cast<char*>(malloc(strlen(received_text) + 1));
  if (text == nullptr) return 0;
  memcpy(text, received_text, strlen(received_text) + 1);
  SearchResult records[MRIM_CONTACTS_MAX];
  SearchResult* pointers[MRIM_CONTACTS_MAX];
  DWORD count = 0;
  char* p = text;
  while (*p != '\0' && count < MRIM_CONTACTS_MAX) {
    char* address = p;
    char* end = strchr(address, ';');
    if (end == nullptr) break;
    *end = '\0';
    char* nickname = end + 1;
    end = strchr(nickname, ';');
    if (end != nullptr) *end = '\0';
    p = end != nullptr ? end + 1 : nickname + strlen(nickname);
    if (address[0] == '\0' || strchr(address, '@') == nullptr) continue;
    SearchResult& record = records[count];
    memset(&record, 0, sizeof record);
    record.size = sizeof record;
    record.email = address;
    record.nick = nickname[0] != '\0' ? nickname : address;
    pointers[count] = &record;
    ++count;
  }
  uint32_t stored = 0;
  if (count > 0) {
    ReceivedEvent received{0, timestamp, reinterpret_cast<char*>(pointers), static_cast<LPARAM>(count)};
    ProtocolCall call{contact, "/RecvContacts", 0, reinterpret_cast<LPARAM>(&received)};
    if (MRIM_RecvContacts(0, reinterpret_cast<LPARAM>(&call)) == 0) stored = count;
  }
  free(text);
  return stored;
}
