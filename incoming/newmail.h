// The new-mail notifier: a thread of the plug-in's life that looks at the unread-mail count every
// 4 seconds and, when the user has asked for it, announces unread mail by a tray balloon or by
// a message event of the mailbox contact; and the two accessors of the style setting.
#pragma once

#include <cstdint>

#include "host/host_api.h"

constexpr uint32_t NEWMAIL_MESSAGE_SIZE = 50;  // "3 New Messages" and its NUL
constexpr uint32_t NEWMAIL_TITLE_SIZE = 70;    // "kim Mailbox" and its NUL

// The thread's block, allocated by Load and handed to the thread.
struct NewMailContext {
  SystrayNotify balloon;
  SettingVariant value;  // the account's "EMail" while the title is made
  char message[NEWMAIL_MESSAGE_SIZE];
  char title[NEWMAIL_TITLE_SIZE];
  HANDLE mailbox_contact;
  EventInfo event;
};

// The block Load allocates: 192 bytes, which the context fills on the 32-bit build; wider
// pointers make it larger elsewhere.
constexpr size_t NEWMAIL_BLOCK_SIZE = sizeof(NewMailContext) > 192 ? sizeof(NewMailContext) : 192;
static_assert(sizeof(void*) != 4 || sizeof(NewMailContext) <= 192);

// What one poll leaves for the next.
struct NewMailState {
  uint32_t last_style = 255;   // 0 mailbox contact, 1 balloon, 255 none seen yet
  uint32_t balloon_pause = 0;  // polls to pass before the balloon may be shown again
  uint32_t event_added = 0;    // 1 once this spell of unread mail has its event
};

// The thread body; returns only when Unload asks the threads to stop.
DWORD WINAPI NewMailThread(LPVOID context);
// One poll: everything the thread does after each pause.
void newmail_poll(NewMailContext* context, NewMailState* state);

// 1 when the balloon style is chosen ("NMPN" non-zero), else 0.
int newmail_balloon_enabled();
// Writes "NMPN": 1 when flag is non-zero, else 0.
void newmail_set_balloon(int flag);

// Test hook: the pause between two polls in milliseconds (0 restores 4,000).
void newmail_set_poll_period(DWORD milliseconds);
