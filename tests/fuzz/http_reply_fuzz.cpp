// libFuzzer target over the picture service's answer reader. The first byte picks where the
// answer is split into two deliveries and whether the server closed after them; the rest is the
// answer, in a buffer exactly as long. The reader must agree with itself whatever the split: a
// decided answer stays decided with more bytes after it, and what it calls a picture lies inside
// the input, within the ceilings, and begins as its format says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/host_api.h"
#include "services/http_reply.h"

namespace {

void check_picture(const HttpReply& reply, const uint8_t* data, size_t size) {
  if (reply.kind != HTTP_PICTURE_IMAGE) return;
  if (reply.body < data || reply.body + reply.body_length > data + size) abort();
  if (reply.body_length == 0 || reply.body_length > HTTP_BODY_MAX || reply.head_length > HTTP_HEAD_MAX)
    abort();
  if (reply.format == PA_FORMAT_JPEG && reply.body[0] != 0xFF) abort();
  if (reply.format == PA_FORMAT_PNG && reply.body[0] != 0x89) abort();
  if (reply.format == PA_FORMAT_GIF && reply.body[0] != 'G') abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool closed = (data[0] & 0x80) != 0;
  std::vector<uint8_t> answer(data + 1, data + size);
  const size_t split = answer.empty() ? 0 : (data[0] & 0x7F) * answer.size() / 127;

  HttpReply first{};
  HttpReadState early = http_reply_read(answer.data(), split, false, &first);
  if (early == HTTP_READ_DONE) check_picture(first, answer.data(), split);
  HttpReply whole{};
  HttpReadState late = http_reply_read(answer.data(), answer.size(), closed, &whole);
  if (late == HTTP_READ_DONE) check_picture(whole, answer.data(), answer.size());
  // A head read once is read the same with more bytes behind it.
  if (early == HTTP_READ_DONE && (late != HTTP_READ_DONE || whole.kind != first.kind)) abort();
  if (late == HTTP_READ_MORE && closed) abort();  // nothing more comes after a close
  return 0;
}
