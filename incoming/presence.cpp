// The server's notices about other users and about the account: presence (MRIM_CS_USER_STATUS),
// the server contact list (MRIM_CS_CONTACT_LIST2), account information (MRIM_CS_USER_INFO), the
// mailbox counter (MRIM_CS_MAILBOX_STATUS), a forced log-out (MRIM_CS_LOGOUT) and the
// keep-alive period (MRIM_CS_CONNECTION_PARAMS).
#include "incoming/presence.h"

#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "contacts/apparent.h"
#include "contacts/authorization.h"
#include "contacts/client_name.h"
#include "contacts/contact_records.h"
#include "contacts/groups.h"
#include "contacts/ignore.h"
#include "contacts/pending_edits.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/text.h"
#include "core/worker_threads.h"
#include "incoming/microblog.h"
#include "protocol/online.h"
#include "protocol/receivers.h"
#include "protocol/session.h"
#include "protocol/wire_text.h"

namespace {

// Masks hold 99 letters and their NUL.
constexpr uint32_t kMaskCapacity = 100;

// Positions in the contact mask of the items the list load keeps.
constexpr int kFlagsPosition = 0;
constexpr int kGroupPosition = 1;
constexpr int kAddressPosition = 2;
constexpr int kNicknamePosition = 3;
constexpr int kStatusPosition = 5;
// From 1.15 on the entry goes on with phone, URI, title, description, features and client.
constexpr int kTitlePosition = 8;
constexpr int kDescriptionPosition = 9;
// The client's description, code page text at every revision.
constexpr int kClientPosition = 11;
// From 1.20 on: the contact's last post, its id in two halves, its time and its text.
constexpr int kPostIdLowPosition = 12;
constexpr int kPostIdHighPosition = 13;
constexpr int kPostTimePosition = 14;
constexpr int kPostTextPosition = 15;
// And in the group mask: the group's flags and name.
constexpr int kGroupFlagsPosition = 0;
constexpr int kGroupNamePosition = 1;

constexpr uint32_t kFirstContactNumber = 20;

// A name as the list may keep it (MRIM_NAME_MAX bytes), cut at a character's end.
void copy_name(char* name, const char* text) {
  size_t length = strlen(text);
  if (length > MRIM_NAME_MAX) {
    length = MRIM_NAME_MAX;
    while (host_takes_utf8() && length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
      --length;
  }
  copy_cut(name, MRIM_NAME_MAX + 1, text, length);
}

// Reads a mask. A mask longer than its buffer cannot be cut, since every letter stands for an
// item: reading with the first 99 letters would take the rest of an entry for the next one. Such
// a list is refused whole, as is a mask that runs past the body. 0 on success.
int read_mask(uint32_t* position, const MrimPacket* packet, char* mask) {
  uint32_t peek = *position;
  uint32_t length = 0;
  if (mrim_read_ul(&peek, packet, &length) != 0 || length >= kMaskCapacity) return 1;
  return mrim_read_lps(position, packet, mask, kMaskCapacity);
}

// One group entry, one item per letter of the mask ("s" an LPS, any other letter a UL); the
// name, its second item when the mask makes that a text, goes to the work area's nickname, and
// its flags, the first item when a number, to *flags.
int read_group_entry(uint32_t* position, const MrimPacket* packet, const char* mask, ListenerWorkArea* work,
                     uint32_t* flags) {
  work->nickname[0] = '\0';
  *flags = 0;
  int index = 0;
  for (const char* letter = mask; *letter != '\0'; ++letter, ++index) {
    uint32_t number = 0;
    bool unicode = mrim_session_unicode() && (*flags & CONTACT_FLAG_UNICODE_NAME) != 0;
    int failed = *letter == 's'
                     ? mrim_read_text(position, packet, work->message, sizeof work->message, unicode)
                     : mrim_read_ul(position, packet, &number);
    if (failed) return 1;
    if (*letter == 's' && index == kGroupNamePosition) copy_name(work->nickname, work->message);
    if (*letter != 's' && index == kGroupFlagsPosition) *flags = number;
  }
  return 0;
}

// The groups of the list, each under the index the server gives it in the top byte of its
// flags. A server that leaves the byte 0 (or names one index twice) has its groups numbered by
// their place in the list instead, as the first servers did. False when the section was cut
// short; the groups read before the cut are kept.
bool load_groups(uint32_t* position, const MrimPacket* packet, uint32_t count, const char* mask,
                 ListenerWorkArea* work, std::vector<std::string>* names) {
  mrim_groups_begin();
  bool used[256] = {};
  for (uint32_t place = 0; place < count; ++place) {
    uint32_t flags = 0;
    if (read_group_entry(position, packet, mask, work, &flags) != 0) return false;
    uint32_t index = flags >> 24;
    if (used[index] && place < 256) index = place;
    if (used[index]) continue;
    used[index] = true;
    mrim_groups_store(index, work->nickname);
    (*names)[index] = work->nickname;
  }
  return true;
}

struct ContactEntry {
  uint32_t flags = 0;
  uint32_t group = 0;
  uint32_t status = 0;
  bool has_status_texts = false;  // the mask carries title and description
  std::string title;
  std::string description;
  std::string client;
  uint64_t post_id = 0;
  uint32_t post_time = 0;
  std::string post_text;
};

// Reads one contact entry by the mask into the work area's address and nickname texts and
// entry; 0 when every item was there.
int read_contact_entry(uint32_t* position, const MrimPacket* packet, const char* mask, ListenerWorkArea* work,
                       ContactEntry* entry) {
  work->address[0] = '\0';
  work->nickname[0] = '\0';
  *entry = ContactEntry{};
  int index = 0;
  bool unicode = mrim_session_unicode();
  for (const char* letter = mask; *letter != '\0'; ++letter, ++index) {
    if (*letter == 's') {
      if (index == kAddressPosition) {
        if (mrim_read_lps(position, packet, work->address, sizeof work->address) != 0) return 1;
        continue;
      }
      // Names are UTF-16LE on entries that say so; status texts in every Unicode session.
      bool utf16 = index == kNicknamePosition ? unicode && (entry->flags & CONTACT_FLAG_UNICODE_NAME) != 0
                   : index == kClientPosition ? false
                                              : unicode;
      if (mrim_read_text(position, packet, work->message, sizeof work->message, utf16) != 0) return 1;
      if (index == kNicknamePosition) copy_name(work->nickname, work->message);
      if (index == kTitlePosition) entry->title = work->message;
      if (index == kDescriptionPosition) {
        entry->description = work->message;
        entry->has_status_texts = true;
      }
      if (index == kClientPosition) entry->client = work->message;
      if (index == kPostTextPosition) entry->post_text = work->message;
    } else {
      uint32_t number = 0;
      if (mrim_read_ul(position, packet, &number) != 0) return 1;
      if (index == kFlagsPosition) entry->flags = number;
      if (index == kGroupPosition) entry->group = number;
      if (index == kStatusPosition) entry->status = number;
      if (index == kPostIdLowPosition) entry->post_id |= number;
      if (index == kPostIdHighPosition) entry->post_id |= static_cast<uint64_t>(number) << 32;
      if (index == kPostTimePosition) entry->post_time = number;
    }
  }
  return 0;
}

// The contacts of ours that the fresh list does not hold lose their "Number": it now names
// another entry, and a rename, move, visibility change or deletion by it would change that one
// on a server that trusts numbers. Such a contact is shown as not on the server list until it
// is added again, except one added and still waiting for the other side's authorization
// (servers leave those out until then): it stays as it is, group and all, and gets its place
// when a list holds it.
void forget_unlisted(const std::unordered_set<HANDLE>& listed) {
  const char* module = protocol_state.module_name;
  for (HANDLE contact = reinterpret_cast<HANDLE>(call_service(MS_DB_CONTACT_FINDFIRST, 0, 0));
       contact != nullptr; contact = reinterpret_cast<HANDLE>(
                               call_service(MS_DB_CONTACT_FINDNEXT, reinterpret_cast<WPARAM>(contact), 0))) {
    if (listed.count(contact) != 0 || get_setting_dword(contact, module, "Number", 0) == 0) continue;
    if (!mrim_contact_is_ours(contact)) continue;
    write_setting_dword(contact, module, "Number", 0);
    if (get_setting_byte(contact, module, "AuthPending", 0) == 0)
      write_setting_byte(contact, "CList", "NotOnList", 1);
  }
}

// The edits kept for contacts the list has numbered now (see contacts/pending_edits.h), as the
// user's rename and move; requests cannot wait on the listener thread.
DWORD WINAPI send_pending_edits(LPVOID) {
  const char* module = protocol_state.module_name;
  for (HANDLE contact = reinterpret_cast<HANDLE>(call_service(MS_DB_CONTACT_FINDFIRST, 0, 0));
       contact != nullptr && !stop_requested();
       contact = reinterpret_cast<HANDLE>(
           call_service(MS_DB_CONTACT_FINDNEXT, reinterpret_cast<WPARAM>(contact), 0))) {
    if (!mrim_contact_is_ours(contact) || !mrim_edit_pending(contact)) continue;
    if (get_setting_dword(contact, module, "Number", 0) == 0) continue;
    mrim_log("MRIM_HSP: sending the edit kept for a contact numbered now\n");
    const bool renamed = mrim_rename_contact(contact) == 0;
    const bool moved = mrim_move_contact(contact) == 0;
    if (renamed && moved) mrim_edit_sent(contact);
  }
  return 0;
}

// Applies the server list on top of the host's contacts, as long as the session it came in,
// under receiver count `generation`, lasts; false when that session ended first. The caller
// marks the thread as applying the list.
bool load_contact_list(const MrimPacket* packet, ListenerWorkArea* work, uint32_t generation,
                       bool& edits_pending) {
  uint32_t position = 0;
  uint32_t result = 0;
  if (mrim_read_ul(&position, packet, &result) != 0 || result != 0) return true;
  uint32_t group_count = 0;
  char group_mask[kMaskCapacity];
  char contact_mask[kMaskCapacity];
  if (mrim_read_ul(&position, packet, &group_count) != 0 || read_mask(&position, packet, group_mask) != 0 ||
      read_mask(&position, packet, contact_mask) != 0) {
    mrim_log("MRIM_HSP: contact list masks missing or too long\n");
    return true;
  }
  // An empty group mask gives groups without items: nothing to read, however many there are.
  // The names by index, kept here too: every contact's group is named without asking the host.
  std::vector<std::string> group_names(256);
  if (group_mask[0] != '\0' && !load_groups(&position, packet, group_count, group_mask, work, &group_names))
    return true;
  // An entry of an empty contact mask reads nothing, so the body would never be used up: such
  // a list has no contacts.
  if (contact_mask[0] == '\0') return true;

  const char* module = protocol_state.module_name;
  uint32_t number = kFirstContactNumber;
  ContactEntry entry;
  std::unordered_set<HANDLE> listed;
  uint32_t entry_start = position;
  while (read_contact_entry(&position, packet, contact_mask, work, &entry) == 0) {
    if (receiver_generation() != generation || stop_requested()) {
      mrim_log("MRIM_HSP: the session ended, the rest of the contact list is dropped\n");
      return false;
    }
    entry_start = position;
    if (work->address[0] == '\0') continue;
    HANDLE contact = mrim_find_contact(work->address, 1, 1);
    if (contact == NOT_FOUND) {
      // The host could not create it. The number still advances: the server counts every
      // entry, and the contacts after this one must keep theirs.
      mrim_log("MRIM_HSP: Contact #%lu (%s) cannot be added\n", static_cast<unsigned long>(number),
               work->address);
      ++number;
      continue;
    }
    listed.insert(contact);
    // The Unicode mark tells how this list's names travel, not what the contact is: later
    // changes send the flags back, in a session that may speak another revision.
    mrim_apparent_apply(contact, entry.flags & ~CONTACT_FLAG_UNICODE_NAME);
    mrim_contact_set_status(contact, entry.status);
    if (entry.has_status_texts)
      mrim_contact_set_status_texts(contact, entry.title.c_str(), entry.description.c_str());
    mrim_contact_set_client(contact, entry.client.c_str());
    if (!mrim_contact_ignored(contact))
      mrim_contact_post(contact, entry.post_id, entry.post_time, entry.post_text.c_str());
    write_setting_dword(contact, module, "Number", number);
    // On the list now: on it for the host too, and no longer waiting for authorization.
    if (get_setting_byte(contact, "CList", "NotOnList", 0) != 0)
      write_setting_byte(contact, "CList", "NotOnList", 0);
    if (get_setting_byte(contact, module, "AuthPending", 0) != 0)
      write_setting_byte(contact, module, "AuthPending", 0);
    const char* name = work->nickname[0] != '\0' ? work->nickname : work->address;
    if (mrim_edit_pending(contact)) {
      // What the user chose while the server had no number for it stays, and goes to the server
      // once this list is applied; the server's group is where it stands there now.
      write_setting_dword(contact, module, "GroupIndex", entry.group);
      edits_pending = true;
    } else {
      mrim_contact_set_group_named(contact, entry.group,
                                   entry.group < 256 ? group_names[entry.group].c_str() : nullptr);
      write_setting_string(contact, "CList", "MyHandle", name);
    }
    mrim_log("MRIM_HSP: Contact #%lu (%s) received and added\n", static_cast<unsigned long>(number),
             log_private(name));
    ++number;
  }
  // Only a list read to its end says who is not on it.
  if (entry_start == packet->dlen) forget_unlisted(listed);
  return true;
}

}  // namespace

uint32_t mrim_parse_count(const char* text) {
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v')
    ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > 0xFFFFFFFFull) value = 0x100000000ull;  // saturated; stays above every count
  }
  if (negative) return 0;
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

void mrim_handle_user_status(const MrimPacket* packet, ListenerWorkArea* work) {
  mrim_log("MRIM_HSP: MRIM_CS_USER_STATUS received\n");
  uint32_t position = 0;
  uint32_t status = 0;
  if (mrim_read_ul(&position, packet, &status) != 0) {
    // Nothing to read.
  } else if (!mrim_session_status_texts()) {
    if (mrim_read_lps(&position, packet, work->address, sizeof work->address) == 0)
      mrim_set_contact_status(work->address, status);
  } else {
    // URI, title, description, then the address, the features and the client (code page text
    // at every revision). The number is trusted over the URI, which servers may leave stale.
    bool unicode = mrim_session_unicode();
    char description[4 * MRIM_STATUS_DESC_MAX + 1];
    uint32_t features = 0;
    if (mrim_read_lps(&position, packet, nullptr, 0) == 0 &&
        mrim_read_text(&position, packet, work->nickname, sizeof work->nickname, unicode) == 0 &&
        mrim_read_text(&position, packet, description, sizeof description, unicode) == 0 &&
        mrim_read_lps(&position, packet, work->address, sizeof work->address) == 0) {
      HANDLE contact = mrim_set_contact_status(work->address, status);
      if (contact != NOT_FOUND) {
        mrim_contact_set_status_texts(contact, work->nickname, description);
        if (mrim_read_ul(&position, packet, &features) == 0 &&
            mrim_read_text(&position, packet, work->message, sizeof work->message, false) == 0)
          mrim_contact_set_client(contact, work->message);
      }
    }
  }
  mrim_log("MRIM_HSP: MRIM_CS_USER_STATUS handled\n");
}

// A server that acknowledges our grant sends the contact's status right behind it (under the
// code of a status change): that packet is dispatched as any status, so nothing more is owed
// here. "AuthPending" is set only by our own add, so it alone says that we wait for this one.
void mrim_handle_authorize_ack(const MrimPacket* packet, ListenerWorkArea* work) {
  uint32_t position = 0;
  if (mrim_read_lps(&position, packet, work->address, sizeof work->address) != 0) {
    mrim_log("MRIM_HSP: MRIM_CS_AUTHORIZE_ACK without an address\n");
    return;
  }
  if (mrim_grant_acknowledged(work->address)) {
    mrim_log("MRIM_HSP: MRIM_CS_AUTHORIZE_ACK(%s): our authorization was taken\n", work->address);
    return;
  }
  const char* module = protocol_state.module_name;
  HANDLE contact = mrim_find_contact(work->address, 0, 0);
  if (contact == NOT_FOUND || get_setting_byte(contact, module, "AuthPending", 0) == 0) {
    mrim_log("MRIM_HSP: MRIM_CS_AUTHORIZE_ACK(%s) names nobody we wait for: ignored\n", work->address);
    return;
  }
  write_setting_byte(contact, module, "AuthPending", 0);
  mrim_log("MRIM_HSP: MRIM_CS_AUTHORIZE_ACK(%s): authorized us\n", work->address);
  broadcast_ack(module, contact, ACKTYPE_AUTHREQ, ACKRESULT_SUCCESS, nullptr, 0);
}

void mrim_handle_contact_list(const MrimPacket* packet, ListenerWorkArea* work) {
  mrim_log("MRIM_HSP: MRIM_CS_CONTACT_LIST2 received\n");
  uint32_t generation = receiver_generation();
  mrim_contact_list_applying(true);
  bool edits_pending = false;
  bool whole = load_contact_list(packet, work, generation, edits_pending);
  mrim_contact_list_applying(false);
  if (edits_pending && whole && thread_start_short(send_pending_edits, nullptr) != 0)
    mrim_log("MRIM_HSP: no thread for the edits kept; they wait for the next list\n");
  // The session ended while its list was applied (the user went offline, the connection
  // dropped): what was shown online from it is not true any more.
  if (!whole) set_all_contacts_offline();
  mrim_log("MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled\n");
}

// Servers send more pairs than the two of old, in any order; every pair is read up to the end
// of the body and "MESSAGES.UNREAD" is taken wherever it stands (the last one, should it come
// twice). A pair cut short ends the reading; what was found before it still counts.
void mrim_handle_user_info(const MrimPacket* packet, ListenerWorkArea* work) {
  mrim_log("MRIM_HSP: MRIM_CS_USER_INFO received\n");
  uint32_t position = 0;
  bool found = false;
  uint32_t unread = 0;
  // Keys are code page text always, values UTF-16LE in a Unicode session.
  bool unicode = mrim_session_unicode();
  char key[64];
  while (mrim_read_lps(&position, packet, work->message, sizeof work->message) == 0) {
    lstrcpynA(key, work->message, sizeof key);
    bool is_unread = strcmp(work->message, "MESSAGES.UNREAD") == 0;
    if (mrim_read_text(&position, packet, work->message, sizeof work->message, unicode) != 0) break;
    if (mrim_user_info_post(key, work->message)) continue;
    if (is_unread) {
      unread = mrim_parse_count(work->message);
      found = true;
    }
  }
  if (found) {
    protocol_state.unread_mail = unread;
    mrim_log("MRIM_HSP: unread_mail == %lu\n", static_cast<unsigned long>(unread));
  }
  mrim_log("MRIM_HSP: MRIM_CS_USER_INFO handled\n");
}

void mrim_handle_mailbox_status(const MrimPacket* packet) {
  mrim_log("MRIM_HSP: MRIM_CS_MAILBOX_STATUS received\n");
  uint32_t position = 0;
  uint32_t unread = 0;
  if (mrim_read_ul(&position, packet, &unread) == 0) {
    protocol_state.unread_mail = unread;
    mrim_log("MRIM_HSP: unread_mail == %lu\n", static_cast<unsigned long>(unread));
  }
  mrim_log("MRIM_HSP: MRIM_CS_MAILBOX_STATUS handled\n");
}

void mrim_handle_logout(const MrimPacket* packet) {
  mrim_log("MRIM_HSP: MRIM_CS_LOGOUT received\n");
  uint32_t position = 0;
  uint32_t reason = 0;
  if (mrim_read_ul(&position, packet, &reason) == 0) {
    mrim_log("MRIM_HSP: reason == %lu\n", static_cast<unsigned long>(reason));
    // Whatever the reason's value, the server ends the session because the account logged in
    // elsewhere (or was told to leave): the host hears it as a failed log-in first, and no
    // reconnect follows.
    session_logged_out(reason);
  }
  mrim_log("MRIM_HSP: MRIM_CS_LOGOUT handled\n");
}

void mrim_handle_connection_params(const MrimPacket* packet) {
  mrim_log("MRIM_HSP: MRIM_CS_CONNECTION_PARAMS received\n");
  uint32_t position = 0;
  uint32_t period = 0;
  if (mrim_read_ul(&position, packet, &period) == 0) {
    ping_period = period;
    mrim_log("MRIM_HSP: ping_period == %lu\n", static_cast<unsigned long>(period));
  }
  mrim_log("MRIM_HSP: MRIM_CS_CONNECTION_PARAMS handled\n");
}
