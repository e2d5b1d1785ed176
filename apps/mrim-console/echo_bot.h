// The answering account of the embedded server: a small MRIM client inside the console that
// stays logged in as one account, grants every authorization request, and answers every
// message it gets (first a typing notice, then "You said: " and the message).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "serversim/client.h"

namespace console {

class EchoBot {
 public:
  EchoBot(std::string email, std::string password)
      : email_(std::move(email)), password_(std::move(password)) {}
  ~EchoBot();
  EchoBot(const EchoBot&) = delete;
  EchoBot& operator=(const EchoBot&) = delete;

  // Connects to the MRIM service and logs in; then answers on a thread of its own.
  bool start(uint16_t mrim_port, std::string& error);
  void stop();
  const std::string& email() const { return email_; }

 private:
  void run();
  void answer(const serversim::Packet& packet);

  std::string email_, password_;
  serversim::Client client_;
  uint32_t ping_period_ = 30;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace console
