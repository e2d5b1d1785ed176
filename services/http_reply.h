// The reader of the picture service's HTTP answers. Everything in an answer comes from the
// network in clear, so the reader trusts nothing: the head and the body each have a ceiling, a
// picture must begin as its announced type says, and anything it does not expect is a failure,
// never a guess. It only reads bytes the caller collected; the connection is avatar_fetch's.
#pragma once

#include <cstddef>
#include <cstdint>

// The status line and headers, and the body, are never longer than these.
constexpr size_t HTTP_HEAD_MAX = 8 * 1024;
constexpr size_t HTTP_BODY_MAX = 512 * 1024;

enum HttpReadState {
  HTTP_READ_MORE,  // the answer is not whole yet; read on (or, at the close, it was cut short)
  HTTP_READ_DONE,  // the answer is whole; the reply says what it is
  HTTP_READ_BAD,   // the answer is no usable one; the reply's reason says why
};

// What an answer turned out to be.
enum HttpPictureKind {
  HTTP_PICTURE_NONE,    // not decided yet, or a failure
  HTTP_PICTURE_IMAGE,   // a picture: format, body and body_length
  HTTP_PICTURE_ABSENT,  // the service says the user has no picture (404 with X-NoImage)
};

struct HttpReply {
  int status;
  HttpPictureKind kind;
  int format;              // PA_FORMAT_* of a picture
  uint32_t max_age;        // seconds, from Cache-Control; 0 when the answer gave none
  size_t head_length;      // the status line and headers with the blank line after them
  int64_t content_length;  // -1 when the answer announced none (its end is then the close)
  const uint8_t* body;     // inside the caller's bytes
  size_t body_length;
  const char* reason;  // why HTTP_READ_BAD, in words for the log
};

// Reads what has arrived so far: data[0, size). closed says the server has closed the connection,
// so nothing more comes. MORE while the answer may still grow into a good one; DONE or BAD as
// soon as it is decided. Never reads past size, and never accepts more than the ceilings.
HttpReadState http_reply_read(const uint8_t* data, size_t size, bool closed, HttpReply* reply);
