// The request helper every waiting request goes through: what it sends, which reply it takes,
// the status it reads, and what a refused send or a missing reply gives.
#include "protocol/request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "support/unit_host.h"

namespace {

using testsupport::Packet;
using testsupport::RequestHost;
using testsupport::Writer;

class Request : public RequestHost {
 protected:
  // A modification request carrying a text, built as the callers build theirs.
  std::unique_ptr<MrimPacket> request_with(const char* text) {
    auto packet = std::make_unique<MrimPacket>();
    mrim_packet_init(packet.get(), MRIM_CS_MODIFY_CONTACT, mrim_next_seq());
    mrim_append_lps(packet.get(), text);
    return packet;
  }
  MrimRequestKind kind(bool wait_after_failed_send = false) {
    return MrimRequestKind{"request_test",
                           MRIM_CS_MODIFY_CONTACT_ACK,
                           "MRIM_CS_MODIFY_CONTACT_ACK",
                           MRIM_HEADER_SIZE + 64,
                           false,
                           false,
                           wait_after_failed_send};
  }
  void answer(uint32_t code, serversim::Bytes body) {
    serve([=](const Packet& request) { return std::vector<Packet>{{code, request.seq, body}}; });
  }
  void refuse_sends() {
    host_.destroy_service(MS_NETLIB_SEND);
    host_.create_service(MS_NETLIB_SEND, [](WPARAM, LPARAM) -> INT_PTR { return -1; });
  }
};

TEST_F(Request, TakesTheReplyByItsSeqAndReadsItsStatusThenTheRest) {
  answer(MRIM_CS_MODIFY_CONTACT_ACK, Writer().ul(7).ul(99).take());
  auto packet = request_with("secret");
  uint32_t position = 0;
  uint32_t status = 0;
  EXPECT_EQ(mrim_request(packet.get(), kind(), &position, &status, "request_test: %s sended\n", "it"),
            MRIM_REQUEST_OK);
  EXPECT_EQ(status, 7u);
  uint32_t next = 0;
  EXPECT_EQ(mrim_read_ul(&position, packet.get(), &next), 0);
  EXPECT_EQ(next, 99u);
  EXPECT_EQ(sent().size(), 1u);
  EXPECT_TRUE(logged("request_test: it sended"));
  EXPECT_TRUE(logged("request_test: MRIM_CS_MODIFY_CONTACT_ACK received"));
}

TEST_F(Request, AReplyWithoutAStatusOrOfAnotherCodeIsToldApart) {
  answer(MRIM_CS_MODIFY_CONTACT_ACK, {});
  uint32_t position = 0;
  uint32_t status = 5;
  EXPECT_EQ(mrim_request(request_with("a").get(), kind(), &position, &status, "sent\n"),
            MRIM_REQUEST_NO_STATUS);
  EXPECT_EQ(status, 5u) << "left as the caller set it";
  answer(MRIM_CS_ADD_CONTACT_ACK, Writer().ul(0).take());
  EXPECT_EQ(mrim_request(request_with("a").get(), kind(), &position, &status, "sent\n"), MRIM_REQUEST_FAILED);
  serve(nullptr);
  answer_modify_with(std::nullopt);  // no reply at all
  EXPECT_EQ(mrim_request(request_with("a").get(), kind(), &position, &status, "sent\n"), MRIM_REQUEST_FAILED);
}

// The reply lands in the request's buffer: nothing of the request's texts may wait there.
TEST_F(Request, NoTextOfTheRequestStaysInTheBufferWhileItWaits) {
  answer_modify_with(std::nullopt);
  auto packet = request_with("secret");
  uint32_t position = 0;
  uint32_t status = 0;
  EXPECT_EQ(mrim_request(packet.get(), kind(), &position, &status, "sent\n"), MRIM_REQUEST_FAILED);
  const char* body = reinterpret_cast<const char*>(packet->body);
  EXPECT_EQ(std::search(body, body + 64, "secret", "secret" + 6), body + 64);
}

TEST_F(Request, ARefusedSendEndsAtOnceUnlessItsKindWaits) {
  refuse_sends();
  uint32_t position = 0;
  uint32_t status = 0;
  EXPECT_EQ(mrim_request(request_with("a").get(), kind(), &position, &status, "request_test: sent\n"),
            MRIM_REQUEST_NOT_SENT);
  EXPECT_FALSE(logged("request_test: sent"));
  EXPECT_EQ(mrim_request(request_with("a").get(), kind(true), &position, &status, "request_test: sent\n"),
            MRIM_REQUEST_FAILED);
  EXPECT_TRUE(logged("request_test: sent"));
}

}  // namespace
