// The picture service's request and the reading of its answer (see avatar_fetch.h). The
// receiver's deliveries are taken out whole, so the host's buffer never fills; the bytes go to
// a buffer just large enough for the largest answer the reader accepts, and one byte more, so
// that an answer beyond it is seen as such instead of being cut.
#include "services/avatar_fetch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/host_services.h"
#include "core/log.h"
#include "core/worker_threads.h"
#include "protocol/receivers.h"

namespace {

constexpr int kReceiverSize = 65536;
constexpr size_t kCapacity = HTTP_HEAD_MAX + HTTP_BODY_MAX + 1;

void fail(AvatarDownload* out, const char* failure) {
  out->state = HTTP_READ_BAD;
  out->failure = failure;
}

// Reads until the reader decides, the server closes, or the time is up.
void read_answer(HANDLE receiver, std::atomic<HANDLE>* receiver_slot, AvatarDownload* out) {
  const DWORD started = GetTickCount();
  NetlibPacketRecver packets{};
  packets.size = sizeof packets;
  for (;;) {
    const DWORD spent = GetTickCount() - started;
    if (spent >= AVATAR_ANSWER_TIMEOUT_MS || stop_requested()) return fail(out, "the answer took too long");
    packets.timeout = AVATAR_ANSWER_TIMEOUT_MS - spent;
    SetLastError(ERROR_SUCCESS);
    INT_PTR result = call_service(MS_NETLIB_GETMOREPACKETS, reinterpret_cast<WPARAM>(receiver),
                                  reinterpret_cast<LPARAM>(&packets));
    if (result < 0) {
      return fail(out,
                  receive_timed_out(GetLastError()) ? "the answer took too long" : "the connection failed");
    }
    const bool closed = result == 0;
    if (!closed) {
      const int copied = receiver_copy_delivery(*receiver_slot, receiver, &packets, out->bytes + out->length,
                                                static_cast<uint32_t>(kCapacity - out->length));
      if (copied < 0) return fail(out, "the fetch was stopped");
      // Everything delivered is ours now, also what did not fit (it can only be too much).
      const int delivered = packets.bytes_available - packets.bytes_used;
      packets.bytes_used = packets.bytes_available;
      out->length += static_cast<size_t>(copied);
      if (delivered > copied || out->length >= kCapacity) return fail(out, "the answer is too large");
    }
    out->state = http_reply_read(out->bytes, out->length, closed, &out->reply);
    if (out->state != HTTP_READ_MORE) {
      if (out->state == HTTP_READ_BAD) out->failure = out->reply.reason;
      return;
    }
  }
}

}  // namespace

void avatar_fetch(const char* host, WORD port, const char* path, std::atomic<HANDLE>* receiver_slot,
                  AvatarDownload* out) {
  *out = AvatarDownload{};
  out->state = HTTP_READ_BAD;
  out->failure = "";
  char request[512];
  int request_length =
      snprintf(request, sizeof request,
               "GET %s HTTP/1.1\r\nHost: %s:%u\r\nAccept: image/jpeg, image/png, image/gif\r\n"
               "Connection: close\r\n\r\n",
               path, host, static_cast<unsigned>(port));
  if (request_length <= 0 || static_cast<size_t>(request_length) >= sizeof request)
    return fail(out, "the request does not fit");
  out->bytes = static_cast<uint8_t*>(malloc(kCapacity));
  if (out->bytes == nullptr) return fail(out, "no memory");

  NetlibOpenConnection record{};
  record.host = host;
  record.port = port;
  record.timeout = AVATAR_DIAL_TIMEOUT_MS / 1000;
  HANDLE connection = open_connection(&record);
  if (connection == nullptr) return fail(out, "the picture service could not be reached");
  HANDLE receiver = create_receiver(connection, kReceiverSize);
  if (receiver == nullptr) {
    close_handle(connection);
    return fail(out, "no receiver");
  }
  receiver_slot->store(receiver);
  // Unload closes what it finds in the slot; after storing, either it sees the receiver or we
  // see its stop request.
  if (stop_requested()) {
    fail(out, "the fetch was stopped");
  } else if (send_data(connection, request, request_length, 0) != request_length) {
    fail(out, "the request could not be sent");
  } else {
    read_answer(receiver, receiver_slot, out);
  }
  receiver_close(receiver_take(*receiver_slot));
  close_handle(connection);
}

void avatar_download_free(AvatarDownload* download) {
  free(download->bytes);
  *download = AvatarDownload{};
}
