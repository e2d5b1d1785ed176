// Away messages: a contact's read from its status texts, ours written as the account's.
#include "contacts/away_message.h"

#include <cstdlib>
#include <cstring>

#include "core/host_services.h"
#include "core/host_text.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/text.h"
#include "core/worker_threads.h"
#include "protocol/online.h"
#include "protocol/request.h"
#include "protocol/wire_text.h"

namespace {

// The host stores the handle the service returns before it can match the acknowledgement to
// it; the answer, ready at once, waits this long on a thread of its own.
constexpr DWORD kPauseBeforeAnswerMs = 100;

struct AwayMessageJob {
  HANDLE contact;
  DWORD id;
};

size_t characters(const char* text, size_t length) {
  if (!host_takes_utf8()) return length;
  size_t count = 0;
  for (size_t i = 0; i < length; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++count;
  return count;
}

// copy_cut that never ends inside a character of host text.
void copy_whole_characters(char* destination, size_t capacity, const char* source, size_t length) {
  copy_cut(destination, capacity, source, host_text_fit(source, length, capacity));
}

// The contact's title and description, joined by a line break when both are there; the texts are
// host text, each at most 4 bytes a character of what servers keep.
DWORD WINAPI answer_away_message(LPVOID parameter) {
  auto* job = static_cast<AwayMessageJob*>(parameter);
  if (!stop_sleep(kPauseBeforeAnswerMs)) {
    const char* module = protocol_state.module_name;
    char text[4 * (MRIM_STATUS_TITLE_MAX + MRIM_STATUS_DESC_MAX) + 3] = "";
    SettingVariant title;
    SettingVariant description;
    const bool has_title = mrim_read_text_setting(job->contact, module, "StatusTitle", &title);
    const bool has_description = mrim_read_text_setting(job->contact, module, "StatusDesc", &description);
    const char* first = has_title ? title.text : "";
    const char* second = has_description ? description.text : "";
    snprintf(text, sizeof text, "%s%s%s", first, first[0] != '\0' && second[0] != '\0' ? "\r\n" : "", second);
    if (has_title) free_setting(&title);
    if (has_description) free_setting(&description);
    broadcast_ack(module, job->contact, ACKTYPE_AWAYMSG, ACKRESULT_SUCCESS,
                  reinterpret_cast<HANDLE>(static_cast<uintptr_t>(job->id)), reinterpret_cast<LPARAM>(text));
  }
  free(job);
  return 0;
}

}  // namespace

void mrim_split_away_message(const char* text, char* title, size_t title_size, char* description,
                             size_t description_size) {
  title[0] = '\0';
  description[0] = '\0';
  if (text == nullptr) return;
  const size_t length = strlen(text);
  const size_t line_end = strcspn(text, "\r\n");
  if (characters(text, line_end) > MRIM_STATUS_TITLE_MAX) {
    copy_whole_characters(description, description_size, text, length);
    return;
  }
  copy_whole_characters(title, title_size, text, line_end);
  size_t rest = line_end;
  while (text[rest] == '\r' || text[rest] == '\n') ++rest;
  copy_whole_characters(description, description_size, text + rest, length - rest);
}

INT_PTR MRIM_GetAwayMsg(WPARAM, LPARAM lparam) {
  auto* call = reinterpret_cast<const ProtocolCall*>(lparam);
  if (call == nullptr || call->contact == nullptr) return 0;
  if (protocol_state.status == ID_STATUS_OFFLINE || !mrim_session_status_texts()) return 0;
  if (!mrim_contact_is_ours(call->contact)) return 0;
  if (get_setting_word(call->contact, protocol_state.module_name, "Status", ID_STATUS_OFFLINE) ==
      ID_STATUS_OFFLINE)
    return 0;
  auto* job = static_cast<AwayMessageJob*>(malloc(sizeof(AwayMessageJob)));
  if (job == nullptr) return 0;
  DWORD id = mrim_next_seq();
  if (id == 0) id = mrim_next_seq();
  job->contact = call->contact;
  job->id = id;
  if (thread_start_short(answer_away_message, job) != 0) {
    free(job);
    return 0;
  }
  return static_cast<INT_PTR>(id);
}

INT_PTR MRIM_SetAwayMsg(WPARAM status, LPARAM lparam) {
  if (status != ID_STATUS_ONLINE && status != ID_STATUS_AWAY && status != ID_STATUS_NA &&
      status != ID_STATUS_INVISIBLE)
    return 1;
  // Host text, up to what servers keep, at most 4 bytes a character; more is cut when sent.
  char title[4 * MRIM_STATUS_TITLE_MAX + 1];
  char description[4 * MRIM_STATUS_DESC_MAX + 1];
  mrim_split_away_message(reinterpret_cast<const char*>(lparam), title, sizeof title, description,
                          sizeof description);
  const char* module = protocol_state.module_name;
  // The setting event of each carries the change to the server (see contact_records.cpp).
  write_setting_string(nullptr, module, "StatusTitle", title);
  write_setting_string(nullptr, module, "StatusDesc", description);
  mrim_log("MRIM_SetAwayMsg: the status texts changed\n");
  return 0;
}
