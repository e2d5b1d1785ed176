// The picture service's answers, read defensively (see http_reply.h). Redirects are failures:
// the plug-in talks to the one server the account names and follows nobody elsewhere.
#include "services/http_reply.h"

#include <cstring>

#include "core/text.h"
#include "host/host_api.h"

namespace {

// True when text[0, length) equals word, letters compared without case.
bool same_word(const char* text, size_t length, const char* word) {
  if (strlen(word) != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (ascii_lower(text[i]) != word[i]) return false;
  return true;
}

void trim(const char** text, size_t* length) {
  while (*length > 0 && (**text == ' ' || **text == '\t')) {
    ++*text;
    --*length;
  }
  while (*length > 0 && ((*text)[*length - 1] == ' ' || (*text)[*length - 1] == '\t')) --*length;
}

// Decimal digits only, at most ten of them; false for anything else (signs, spaces inside, an
// empty value), so that a hostile length can never wrap.
bool read_number(const char* text, size_t length, uint64_t* value) {
  if (length == 0 || length > 10) return false;
  uint64_t number = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    number = number * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  *value = number;
  return true;
}

// The picture formats taken, by the type the answer announces (parameters after ';' aside).
int format_of_type(const char* text, size_t length) {
  const char* end = static_cast<const char*>(memchr(text, ';', length));
  if (end != nullptr) length = static_cast<size_t>(end - text);
  trim(&text, &length);
  if (same_word(text, length, "image/jpeg")) return PA_FORMAT_JPEG;
  if (same_word(text, length, "image/png")) return PA_FORMAT_PNG;
  if (same_word(text, length, "image/gif")) return PA_FORMAT_GIF;
  return PA_FORMAT_UNKNOWN;
}

// The bytes every file of the format begins with.
bool begins_as(int format, const uint8_t* body, size_t length) {
  static const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF};
  static const uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  switch (format) {
    case PA_FORMAT_JPEG:
      return length >= sizeof kJpeg && memcmp(body, kJpeg, sizeof kJpeg) == 0;
    case PA_FORMAT_PNG:
      return length >= sizeof kPng && memcmp(body, kPng, sizeof kPng) == 0;
    case PA_FORMAT_GIF:
      return length >= 6 && (memcmp(body, "GIF87a", 6) == 0 || memcmp(body, "GIF89a", 6) == 0);
    default:
      return false;
  }
}

// "max-age=N" among the directives; 0 when there is none or it is no number.
uint32_t max_age_of(const char* text, size_t length) {
  static const char kName[] = "max-age=";
  const size_t name_length = sizeof kName - 1;
  for (size_t i = 0; i + name_length <= length; ++i) {
    if (!same_word(text + i, name_length, kName)) continue;
    size_t digits = 0;
    while (i + name_length + digits < length && text[i + name_length + digits] >= '0' &&
           text[i + name_length + digits] <= '9')
      ++digits;
    uint64_t value = 0;
    if (!read_number(text + i + name_length, digits, &value)) return 0;
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
  }
  return 0;
}

HttpReadState bad(HttpReply* reply, const char* reason) {
  reply->kind = HTTP_PICTURE_NONE;
  reply->reason = reason;
  return HTTP_READ_BAD;
}

// What the head announced, for deciding once it is read.
struct Head {
  int format = PA_FORMAT_UNKNOWN;
  bool no_image = false;
  bool has_length = false;
  bool encoded = false;
};

// The status line: "HTTP/1.x NNN" and a reason phrase, or nothing after the code.
bool read_status_line(const char* line, size_t length, int* status) {
  if (length < 12 || memcmp(line, "HTTP/1.", 7) != 0 || line[7] < '0' || line[7] > '9' || line[8] != ' ')
    return false;
  uint64_t code = 0;
  if (!read_number(line + 9, 3, &code) || code < 100) return false;
  if (length > 12 && line[12] != ' ') return false;
  *status = static_cast<int>(code);
  return true;
}

// One header line; false when it is malformed or contradicts an earlier one.
bool read_header(const char* line, size_t length, Head* head, HttpReply* reply) {
  const char* colon = static_cast<const char*>(memchr(line, ':', length));
  if (colon == nullptr || colon == line) return false;
  const size_t name_length = static_cast<size_t>(colon - line);
  const char* value = colon + 1;
  size_t value_length = length - name_length - 1;
  trim(&value, &value_length);
  if (same_word(line, name_length, "content-type")) {
    head->format = format_of_type(value, value_length);
  } else if (same_word(line, name_length, "content-length")) {
    uint64_t announced = 0;
    if (!read_number(value, value_length, &announced)) return false;
    // Two lengths that differ leave the body's end open to whoever reads it: refused.
    if (head->has_length && static_cast<uint64_t>(reply->content_length) != announced) return false;
    head->has_length = true;
    reply->content_length = static_cast<int64_t>(announced);
  } else if (same_word(line, name_length, "cache-control")) {
    reply->max_age = max_age_of(value, value_length);
  } else if (same_word(line, name_length, "x-noimage")) {
    head->no_image = value_length == 1 && value[0] == '1';
  } else if (same_word(line, name_length, "transfer-encoding")) {
    head->encoded = true;
  }
  return true;
}

}  // namespace

HttpReadState http_reply_read(const uint8_t* data, size_t size, bool closed, HttpReply* reply) {
  *reply = HttpReply{};
  reply->content_length = -1;
  reply->reason = "";
  const char* text = reinterpret_cast<const char*>(data);
  const size_t looked_at = size < HTTP_HEAD_MAX ? size : HTTP_HEAD_MAX;
  size_t head_end = 0;
  for (size_t i = 0; i + 4 <= looked_at; ++i) {
    if (memcmp(text + i, "\r\n\r\n", 4) == 0) {
      head_end = i + 4;
      break;
    }
  }
  if (head_end == 0) {
    if (size >= HTTP_HEAD_MAX) return bad(reply, "the head is longer than 8 KiB");
    return closed ? bad(reply, "the answer ended inside its head") : HTTP_READ_MORE;
  }
  reply->head_length = head_end;

  Head head;
  size_t line_start = 0;
  bool first = true;
  while (line_start + 2 < head_end) {
    const char* line = text + line_start;
    const char* line_end = static_cast<const char*>(memchr(line, '\n', head_end - line_start));
    // Every line ends in CR LF; a bare LF or a control character inside is no answer of a server.
    const size_t length = static_cast<size_t>(line_end - line);
    if (length == 0 || line[length - 1] != '\r')
      return bad(reply, "a line of the head does not end in CR LF");
    for (size_t i = 0; i + 1 < length; ++i)
      if ((static_cast<unsigned char>(line[i]) < 0x20 && line[i] != '\t') || line[i] == 0x7F)
        return bad(reply, "the head holds a control character");
    if (first) {
      if (!read_status_line(line, length - 1, &reply->status)) return bad(reply, "no HTTP status line");
      first = false;
    } else if (!read_header(line, length - 1, &head, reply)) {
      return bad(reply, "a malformed or contradicting header");
    }
    line_start += length + 1;
  }

  if (reply->status == 404 && head.no_image) {
    reply->kind = HTTP_PICTURE_ABSENT;
    return HTTP_READ_DONE;
  }
  if (reply->status != 200) return bad(reply, "the service answered with another status than 200");
  if (head.format == PA_FORMAT_UNKNOWN) return bad(reply, "the answer is no JPEG, PNG or GIF picture");
  if (head.encoded) return bad(reply, "the answer's body is transfer-encoded");
  if (head.has_length && static_cast<uint64_t>(reply->content_length) > HTTP_BODY_MAX)
    return bad(reply, "the picture is larger than 512 KiB");

  size_t body_length = size - head_end;
  if (head.has_length) {
    const size_t announced = static_cast<size_t>(reply->content_length);
    if (body_length < announced)
      return closed ? bad(reply, "the answer ended inside its body") : HTTP_READ_MORE;
    body_length = announced;  // whatever follows belongs to no answer
  } else {
    if (body_length > HTTP_BODY_MAX) return bad(reply, "the picture is larger than 512 KiB");
    if (!closed) return HTTP_READ_MORE;
  }
  if (body_length == 0) return bad(reply, "the answer has no picture in it");
  if (!begins_as(head.format, data + head_end, body_length))
    return bad(reply, "the picture does not begin as its type says");
  reply->kind = HTTP_PICTURE_IMAGE;
  reply->format = head.format;
  reply->body = data + head_end;
  reply->body_length = body_length;
  return HTTP_READ_DONE;
}
