// One answer of the picture service: a GET over a connection of the host's network library,
// read into one bounded buffer until the reader decides, the server closes, or the time runs
// out. Nothing here knows contacts or the cache.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"
#include "services/http_reply.h"

// How long a dial, and the whole answer after it, may take.
constexpr DWORD AVATAR_DIAL_TIMEOUT_MS = 10000;
constexpr DWORD AVATAR_ANSWER_TIMEOUT_MS = 20000;

struct AvatarDownload {
  uint8_t* bytes;  // the answer as it came (reply points into it); release with avatar_download_free
  size_t length;
  HttpReadState state;  // DONE with a reply, or BAD (reply.reason, or failure, says why)
  HttpReply reply;
  const char* failure;  // why nothing usable came, in words for the log; "" otherwise
};

// GET path from host:port, sent in one write as the service wants it. While it reads, the
// receiver sits in receiver_slot, so that Unload can close it and cut the wait short. Always
// fills out; release it with avatar_download_free.
void avatar_fetch(const char* host, WORD port, const char* path, std::atomic<HANDLE>* receiver_slot,
                  AvatarDownload* out);
void avatar_download_free(AvatarDownload* download);
