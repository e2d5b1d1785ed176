// The new-mail notifier. Every 4 seconds it takes one reading of the unread-mail count (kept by
// the dispatcher from the server's mailbox notices) and, while "NMNotify" is on, announces
// unread mail in the chosen style: a tray balloon, shown again every 12th poll while mail
// stays unread, or one message event of the mailbox contact per spell of unread mail.
#include "incoming/newmail.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "contacts/contact_records.h"
#include "core/host_services.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "incoming/events.h"
#include "protocol/online.h"

namespace {

constexpr DWORD kPollPeriodMs = 4000;
constexpr uint32_t kBalloonPausePolls = 12;
constexpr uint32_t kStyleMailbox = 0;
constexpr uint32_t kStyleBalloon = 1;
constexpr int kSystrayNotifySize = sizeof(SystrayNotify);
constexpr int kEventInfoSize = sizeof(EventInfo);
constexpr UINT kBalloonTimeoutMs = 3000;

std::atomic<DWORD> poll_period{0};

// Expands a format taken from the language pack into out (size bytes, always terminated): its
// first occurrence of placeholder takes the argument, "%%" gives "%", and every other
// character, any other "%" included, stays as it is. A translation is text from a file, not
// code: handed to printf, a stray "%s" in it would read an argument that is not there.
//
// The argument gets the room that the rest of the text leaves, so that a long address loses
// its tail while " Mailbox" (or its translation) stays; should the rest not fit by itself, the
// whole is cut at the end of the buffer.
void expand(const char* format, const char* placeholder, const char* argument, char* out, size_t size) {
  size_t placeholder_length = strlen(placeholder);
  size_t fixed = 0;
  bool placed = false;
  for (const char* p = format; *p != '\0';) {
    if (!placed && strncmp(p, placeholder, placeholder_length) == 0) {
      placed = true;
      p += placeholder_length;
    } else {
      p += (p[0] == '%' && p[1] == '%') ? 2 : 1;
      ++fixed;
    }
  }
  size_t limit = size - 1;
  size_t argument_room = limit > fixed ? limit - fixed : 0;
  size_t length = 0;
  auto put = [&](char c) {
    if (length < limit) out[length++] = c;
  };
  placed = false;
  for (const char* p = format; *p != '\0';) {
    if (!placed && strncmp(p, placeholder, placeholder_length) == 0) {
      placed = true;
      p += placeholder_length;
      for (size_t i = 0; argument[i] != '\0' && i < argument_room; ++i) put(argument[i]);
    } else if (p[0] == '%' && p[1] == '%') {
      put('%');
      p += 2;
    } else {
      put(*p++);
    }
  }
  out[length] = '\0';
}

// The message text from the count, the title from the account's address.
void make_texts(NewMailContext* context, uint32_t unread) {
  char number[16];
  snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(unread));
  expand(translate("%lu New Messages"), "%lu", number, context->message, sizeof context->message);

  // "Mailbox" is a plain text, not a format: it is copied as it stands, cut to the title.
  const char* mailbox = translate("Mailbox");
  size_t length = strnlen(mailbox, sizeof context->title - 1);
  memcpy(context->title, mailbox, length);
  context->title[length] = '\0';
  const char* module = protocol_state.module_name;
  if (mrim_read_text_setting(nullptr, module, "EMail", &context->value)) {
    expand(translate("%s Mailbox"), "%s", context->value.text, context->title, sizeof context->title);
    free_setting(&context->value);
  }
}

void show_balloon(NewMailContext* context, NewMailState* state) {
  SystrayNotify& balloon = context->balloon;
  balloon.size = kSystrayNotifySize;
  balloon.protocol = protocol_state.module_name;
  balloon.title = context->title;
  balloon.text = context->message;
  balloon.info_flags = NIIF_INFO;
  balloon.timeout = kBalloonTimeoutMs;
  if (call_service(MS_CLIST_SYSTRAY_NOTIFY, 0, reinterpret_cast<LPARAM>(&balloon)) == 0)
    state->balloon_pause = kBalloonPausePolls;
}

// A mailbox contact the host cannot create leaves the event unmarked: the next poll tries again.
void add_mailbox_event(NewMailContext* context, NewMailState* state) {
  context->mailbox_contact = mrim_find_contact(context->title, 1, 1);
  if (context->mailbox_contact == NOT_FOUND) return;
  mrim_set_contact_status(context->title, MRIM_STATUS_ONLINE);
  EventInfo& event = context->event;
  event.size = kEventInfoSize;
  event.module = protocol_state.module_name;
  event.timestamp = unix_time_now();
  event.flags = 0;
  event.event_type = EVENTTYPE_MESSAGE;
  event.blob_size = static_cast<DWORD>(strlen(context->message) + 1);
  event.blob = reinterpret_cast<BYTE*>(context->message);
  if (call_service(MS_DB_EVENT_ADD, reinterpret_cast<WPARAM>(context->mailbox_contact),
                   reinterpret_cast<LPARAM>(&event)) != 0)
    state->event_added = 1;
}

}  // namespace

int newmail_balloon_enabled() {
  return get_setting_dword(nullptr, protocol_state.module_name, "NMPN", 0) != 0 ? 1 : 0;
}

void newmail_set_balloon(int flag) {
  write_setting_dword(nullptr, protocol_state.module_name, "NMPN", flag != 0 ? 1 : 0);
}

void newmail_set_poll_period(DWORD milliseconds) { poll_period = milliseconds; }

// The pause between polls is the threads' shared stop wait, so Unload's stop request ends this
// thread at once instead of after up to 4 seconds.
DWORD WINAPI NewMailThread(LPVOID block) {
  auto* context = static_cast<NewMailContext*>(block);
  NewMailState state;
  for (;;) {
    DWORD period = poll_period;
    if (stop_sleep(period != 0 ? period : kPollPeriodMs)) return 0;
    newmail_poll(context, &state);
  }
}

void newmail_poll(NewMailContext* context, NewMailState* state) {
  if (get_setting_byte(nullptr, protocol_state.module_name, "NMNotify", 0) == 0) {
    state->balloon_pause = 0;
    state->event_added = 0;
    return;
  }
  uint32_t unread = protocol_state.unread_mail;
  uint32_t style = static_cast<uint32_t>(newmail_balloon_enabled());
  if (style != state->last_style) {
    state->balloon_pause = 0;
    state->event_added = 0;
    state->last_style = style;
  } else {
    if (state->balloon_pause > 0) --state->balloon_pause;
    if (state->event_added == 1 && unread == 0) state->event_added = 0;
  }
  if (unread != 0) make_texts(context, unread);

  if (style == kStyleBalloon) {
    if (plugin_link->ServiceExists(MS_CLIST_SYSTRAY_NOTIFY) != 0 && unread != 0 && state->balloon_pause == 0)
      show_balloon(context, state);
    return;
  }
  if (style == kStyleMailbox && unread != 0 && state->event_added == 0) add_mailbox_event(context, state);
}
