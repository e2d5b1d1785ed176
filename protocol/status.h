// Keep-alive and status changes: the ping thread and the "/SetStatus" service. The session's
// state and its transitions are the session owner's (session.h).
#pragma once

#include "host/host_api.h"
#include "protocol/session.h"

// The "/SetStatus" service: wparam the host status code asked for, lparam unused. 0 when a
// change was started or made, 1 when the request was ignored.
INT_PTR SetStatus(WPARAM new_status, LPARAM);
// Sends a change of the account's status on the open connection (the session owner's announce
// hook): 0 when it went out.
int mrim_announce_status(int host_status);

// The keep-alive thread: pings every ping_period seconds for the plug-in's life; ends at once
// when Unload asks the threads to stop. Its parameter is not used.
DWORD WINAPI WatchDogThread(LPVOID block);

// The shortest pause between two pings, in seconds: a server that asks for a period of 0 gets
// one ping a second rather than a flood.
constexpr uint32_t MRIM_MIN_PING_PERIOD = 1;

// Test hook: the watchdog's sleep (null restores stop_sleep). It returns true when the thread
// is to end.
void watchdog_set_sleep(bool (*sleep)(DWORD milliseconds));
