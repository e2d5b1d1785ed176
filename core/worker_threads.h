// The plug-in's own threads and their stop signal. The host frees the library right after
// Unload, so every thread of ours must have ended by then: Unload asks them to stop and waits
// for each one, long-lived (listener, keep-alive, new mail) and per request alike.
#pragma once

#include "platform/win32.h"

// Clears a stop request left by an earlier Unload (a library may be loaded again).
void threads_reset();

// Starts a thread that runs for the plug-in's life with block as its parameter (null allowed).
// Nobody needs the thread's identifier, so it is not asked for. Returns 0 on success, 1 when the
// thread could not be created.
int thread_start_long(LPTHREAD_START_ROUTINE body, void* block);

// Starts a request thread (connect, send, search) that owns its parameter and frees it when it
// ends. Its identifier is not asked for: the thread-creation call may write it after the thread
// has already freed the parameter, so it could never go into the parameter. Returns 0 on success, 1
// when the thread could not be created (the parameter is then still the caller's).
int thread_start_short(LPTHREAD_START_ROUTINE body, void* parameter);

// True once Unload has asked the threads to end.
bool stop_requested();

// Sleeps for the given time unless a stop is requested first; true when it was.
bool stop_sleep(DWORD milliseconds);

// Asks every thread to end, calls wake (which unblocks threads waiting on the host or on the
// reply queue), and returns once all of them have ended.
void threads_stop_all(void (*wake)(void));
