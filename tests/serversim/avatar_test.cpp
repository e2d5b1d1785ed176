// The avatar service: pictures over HTTP beside the MRIM port, the answers of the other kinds,
// its strictness about the request, a slow answer beside a quick one, and its counters.
#include <thread>

#include "fixture.h"

namespace serversim {
namespace {

using namespace testing_support;

struct HttpReply {
  std::string head;  // status line and fields
  std::string body;
  bool closed = false;
};

std::string get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: avatars.test\r\n\r\n"; }

HttpReply read_reply(Client& c) {
  HttpReply reply;
  std::string all = c.read_all();
  reply.closed = c.peer_closed();
  size_t end = all.find("\r\n\r\n");
  reply.head = all.substr(0, end);
  reply.body = end == std::string::npos ? "" : all.substr(end + 4);
  return reply;
}

bool has(const HttpReply& r, const std::string& text) { return r.head.find(text) != std::string::npos; }

// The width and height of the baseline frame (SOF0), or 0 × 0 when there is none.
std::pair<int, int> baseline_size(const std::string& jpeg) {
  size_t sof = jpeg.find("\xFF\xC0");
  if (sof == std::string::npos || sof + 9 > jpeg.size()) return {0, 0};
  auto word = [&](size_t at) { return uint8_t(jpeg[at]) << 8 | uint8_t(jpeg[at + 1]); };
  return {word(sof + 7), word(sof + 5)};
}

class Avatars : public ServerTest {
 protected:
  Settings settings() override {
    Settings s = ServerTest::settings();
    s.accounts[0].avatar = AvatarKind::picture;  // kim
    s.accounts[1].avatar = AvatarKind::slow;     // amy; bob has none
    s.behavior.avatar_delay = milliseconds(60000);
    return s;
  }

  HttpReply fetch(const std::string& request) {
    Client c;
    EXPECT_TRUE(c.connect(server->avatar_port()));
    c.send_wire(Bytes(request.begin(), request.end()));
    return read_reply(c);
  }
};

TEST_F(Avatars, ServeAPictureOfItsAnnouncedLengthInEverySize) {
  HttpReply kim = fetch(get("/mail/kim/_mrimavatar"));
  EXPECT_TRUE(kim.head.starts_with("HTTP/1.1 200 ")) << kim.head;
  EXPECT_TRUE(has(kim, "Content-Type: image/jpeg\r\n"));
  EXPECT_TRUE(has(kim, "Cache-Control: max-age=604800\r\n"));
  EXPECT_TRUE(has(kim, "Content-Length: " + std::to_string(kim.body.size()) + "\r\n")) << kim.head;
  EXPECT_TRUE(kim.body.starts_with("\xFF\xD8\xFF"));
  EXPECT_TRUE(kim.body.ends_with("\xFF\xD9"));
  EXPECT_EQ(baseline_size(kim.body), std::make_pair(90, 90));
  EXPECT_TRUE(kim.closed);
  EXPECT_EQ(fetch(get("/mail/kim/_mrimavatar32")).body, kim.body);
  EXPECT_EQ(fetch(get("http://avatars.test:8081/mail/KIM/_mrimavatarsmall?x=1")).body, kim.body);

  server->set_avatar("eve@mail.example", AvatarKind::picture);
  std::string eve = fetch(get("/mail/eve/_mrimavatar")).body;
  EXPECT_TRUE(eve.starts_with("\xFF\xD8\xFF"));
  EXPECT_NE(eve, kim.body);
}

TEST_F(Avatars, TellNoPictureFromNoSuchPlace) {
  for (const char* path : {"/mail/bob/_mrimavatar", "/mail/nobody/_mrimavatar", "/other/kim/_mrimavatar"}) {
    HttpReply r = fetch(get(path));
    EXPECT_TRUE(r.head.starts_with("HTTP/1.1 404 ")) << path;
    EXPECT_TRUE(has(r, "X-NoImage: 1\r\n")) << path;
  }
  for (const std::string& request :
       std::vector<std::string>{get("/mail/kim/_mrimavatar99"), get("/mail/kim"), get("/favicon.ico"),
                                "POST /mail/kim/_mrimavatar HTTP/1.1\r\n\r\n"}) {
    HttpReply r = fetch(request);
    EXPECT_TRUE(r.head.starts_with("HTTP/1.1 404 ")) << request;
    EXPECT_FALSE(has(r, "X-NoImage")) << request;
  }
}

TEST_F(Avatars, RefuseAHeadThatIsNotWholeInTheFirstReadOrTooLong) {
  Client split;
  ASSERT_TRUE(split.connect(server->avatar_port()));
  const std::string request = get("/mail/kim/_mrimavatar");
  split.send_wire(Bytes(request.begin(), request.begin() + 20));
  ASSERT_TRUE(server->wait_until([&] { return server->avatar_requests() == 1; }));
  split.send_wire(Bytes(request.begin() + 20, request.end()));
  HttpReply r = read_reply(split);
  EXPECT_TRUE(r.head.starts_with("HTTP/1.1 400 ")) << r.head;
  EXPECT_TRUE(r.closed);

  std::string longer = "GET /mail/kim/_mrimavatar HTTP/1.1\r\nCookie: " + std::string(8200, 'c') + "\r\n\r\n";
  EXPECT_TRUE(fetch(longer).head.starts_with("HTTP/1.1 400 "));
  EXPECT_TRUE(fetch("GET /mail/kim/_mrimavatar\r\n\r\n").head.starts_with("HTTP/1.1 400 "));
}

TEST_F(Avatars, ASlowAnswerHoldsBackNoOtherConnection) {
  Client slow;
  ASSERT_TRUE(slow.connect(server->avatar_port()));
  const std::string request = get("/mail/amy/_mrimavatar");
  slow.send_wire(Bytes(request.begin(), request.end()));
  ASSERT_TRUE(server->wait_until([&] { return server->avatar_requests() == 1; }));

  EXPECT_TRUE(fetch(get("/mail/kim/_mrimavatar")).body.starts_with("\xFF\xD8\xFF"));
  EXPECT_EQ(slow.read_bytes(1, milliseconds(0)), Bytes{});
  EXPECT_EQ(server->avatar_peak_connections(), 2);

  Behavior b = server->behavior();
  b.avatar_delay = milliseconds(50);
  server->set_behavior(b);
  EXPECT_TRUE(fetch(request).body.starts_with("\xFF\xD8\xFF"));
  EXPECT_EQ(server->avatar_requests("/mail/amy/_mrimavatar"), 2);
  EXPECT_EQ(server->avatar_requests("/mail/kim/_mrimavatar"), 1);
  EXPECT_EQ(server->avatar_requests(), 3);
}

TEST_F(Avatars, MisbehaveAsEachKindSays) {
  server->set_avatar("bob@mail.example", AvatarKind::broken);
  HttpReply broken = fetch(get("/mail/bob/_mrimavatar"));
  EXPECT_TRUE(has(broken, "Content-Length: 5000\r\n"));
  EXPECT_GE(broken.body.size(), 100u);
  EXPECT_LT(broken.body.size(), 5000u);
  EXPECT_FALSE(broken.body.starts_with("\xFF\xD8"));
  EXPECT_TRUE(broken.closed);

  server->set_avatar("bob@mail.example", AvatarKind::redirect);
  HttpReply moved = fetch(get("/mail/bob/_mrimavatar60"));
  EXPECT_TRUE(moved.head.starts_with("HTTP/1.1 302 Found\r\n"));
  EXPECT_TRUE(has(moved, "Location: http://192.0.2.1:8081/mail/bob/_mrimavatar60\r\n")) << moved.head;

  server->set_avatar("bob@mail.example", AvatarKind::html);
  HttpReply page = fetch(get("/mail/bob/_mrimavatar"));
  EXPECT_TRUE(page.head.starts_with("HTTP/1.1 200 "));
  EXPECT_TRUE(has(page, "Content-Type: text/html\r\n"));
  EXPECT_TRUE(page.body.starts_with("<html>"));

  server->set_avatar("bob@mail.example", AvatarKind::huge);
  HttpReply huge = fetch(get("/mail/bob/_mrimavatar"));
  EXPECT_TRUE(has(huge, "Content-Length: 8388608\r\n"));
  EXPECT_TRUE(huge.body.starts_with("\xFF\xD8\xFF"));
  EXPECT_EQ(huge.body.size(), 8388608u);
  EXPECT_TRUE(huge.closed);
}

TEST(AvatarService, IsOffWithAnEmptyAddress) {
  Settings s;
  s.avatar_listen = "";
  Server server(s);
  server.start();
  EXPECT_EQ(server.avatar_port(), 0);
  EXPECT_NE(server.mrim_port(), 0);
}

}  // namespace
}  // namespace serversim
