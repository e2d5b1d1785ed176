// The picture service's answers as the reader takes them: what counts as a picture, as "no
// picture", and everything a broken or hostile server might send instead.
#include "services/http_reply.h"

#include <gtest/gtest.h>

#include <string>

#include "host/host_api.h"

namespace {

const std::string kJpeg = std::string("\xFF\xD8\xFF\xE0", 4) + "picture bytes";

HttpReadState read(const std::string& answer, bool closed, HttpReply* reply) {
  return http_reply_read(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), closed, reply);
}

std::string picture_answer(const std::string& headers, const std::string& body) {
  return "HTTP/1.1 200 OK\r\n" + headers + "\r\n" + body;
}

TEST(HttpReply, APictureIsTakenWithItsFormatBodyAndAge) {
  const std::string answer =
      picture_answer("Content-Type: image/jpeg\r\nContent-Length: " + std::to_string(kJpeg.size()) +
                         "\r\nCache-Control: public, max-age=604800\r\n",
                     kJpeg + "trailing bytes of no answer");
  HttpReply reply{};
  ASSERT_EQ(read(answer, false, &reply), HTTP_READ_DONE);
  EXPECT_EQ(reply.kind, HTTP_PICTURE_IMAGE);
  EXPECT_EQ(reply.format, PA_FORMAT_JPEG);
  EXPECT_EQ(reply.max_age, 604800u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.body), reply.body_length), kJpeg);

  // Without a length the close ends it; before the close it may still grow.
  const std::string open_ended = picture_answer("Content-Type: IMAGE/PNG; x=y\r\n", "\x89PNG\r\n\x1A\n....");
  EXPECT_EQ(read(open_ended, false, &reply), HTTP_READ_MORE);
  ASSERT_EQ(read(open_ended, true, &reply), HTTP_READ_DONE);
  EXPECT_EQ(reply.format, PA_FORMAT_PNG);
  EXPECT_EQ(reply.max_age, 0u);
}

TEST(HttpReply, NoPictureIsA404WithTheServicesMark) {
  HttpReply reply{};
  ASSERT_EQ(read("HTTP/1.1 404 Not Found\r\nX-NoImage: 1\r\n\r\n", false, &reply), HTTP_READ_DONE);
  EXPECT_EQ(reply.kind, HTTP_PICTURE_ABSENT);
  // A plain 404 is a failure, not a statement about the user.
  EXPECT_EQ(read("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false, &reply), HTTP_READ_BAD);
}

TEST(HttpReply, AnswersCutShortStayUndecidedUntilTheClose) {
  HttpReply reply{};
  const std::string answer = picture_answer("Content-Type: image/jpeg\r\nContent-Length: 5000\r\n", kJpeg);
  EXPECT_EQ(read(answer, false, &reply), HTTP_READ_MORE);
  EXPECT_EQ(read(answer, true, &reply), HTTP_READ_BAD);
  EXPECT_EQ(read("HTTP/1.1 200 OK\r\nContent-Ty", false, &reply), HTTP_READ_MORE);
  EXPECT_EQ(read("HTTP/1.1 200 OK\r\nContent-Ty", true, &reply), HTTP_READ_BAD);
}

TEST(HttpReply, EverythingButAPlainPictureIsRefused) {
  const std::string length = "Content-Length: " + std::to_string(kJpeg.size()) + "\r\n";
  const struct {
    const char* what;
    std::string answer;
  } refused[] = {
      {"a redirect", "HTTP/1.1 302 Found\r\nLocation: http://192.0.2.1:8081/x\r\n\r\n"},
      {"a server error", "HTTP/1.1 500 Oops\r\n\r\n"},
      {"a page", picture_answer("Content-Type: text/html\r\n" + length, kJpeg)},
      {"no type", picture_answer(length, kJpeg)},
      {"bytes of another type", picture_answer("Content-Type: image/gif\r\n" + length, kJpeg)},
      {"an empty picture", picture_answer("Content-Type: image/jpeg\r\nContent-Length: 0\r\n", "")},
      {"two lengths", picture_answer("Content-Type: image/jpeg\r\nContent-Length: 99\r\n" + length, kJpeg)},
      {"a signed length", picture_answer("Content-Type: image/jpeg\r\nContent-Length: -1\r\n", kJpeg)},
      {"a length past the ceiling",
       picture_answer("Content-Type: image/jpeg\r\nContent-Length: 524289\r\n", "")},
      {"an encoded body",
       picture_answer("Content-Type: image/jpeg\r\nTransfer-Encoding: chunked\r\n", kJpeg)},
      {"bare line ends", "HTTP/1.1 200 OK\nContent-Type: image/jpeg\n\r\n\r\n" + kJpeg},
      {"a control character", picture_answer("Content-Type: image/jpeg\r\nX: a\x01z\r\n" + length, kJpeg)},
      {"no status line", "SPDY 200 OK\r\nContent-Type: image/jpeg\r\n" + length + "\r\n" + kJpeg},
      {"a head past 8 KiB", "HTTP/1.1 200 OK\r\nX: " + std::string(HTTP_HEAD_MAX, 'a')},
      {"a body past 512 KiB",
       picture_answer("Content-Type: image/jpeg\r\n", kJpeg + std::string(HTTP_BODY_MAX, 'a'))},
  };
  for (const auto& answer : refused) {
    HttpReply reply{};
    EXPECT_EQ(read(answer.answer, true, &reply), HTTP_READ_BAD) << answer.what;
    EXPECT_NE(reply.kind, HTTP_PICTURE_IMAGE) << answer.what;
  }
}

}  // namespace
