// The client name shown for a contact, from the description servers pass on.
#include "contacts/client_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string name_of(const std::string& description, size_t size = MRIM_CLIENT_NAME_SIZE) {
  std::string out(size, 'X');
  mrim_client_name(description.c_str(), out.data(), out.size());
  return out.c_str();
}

TEST(ClientName, TakesNameAndVersionAndSurvivesBrokenDescriptions) {
  EXPECT_EQ(name_of(R"(client="Agent" version="7.1" build="2345")"), "Agent 7.1");
  EXPECT_EQ(name_of(R"(build="1" version="3" client="Kit")"), "Kit 3");
  EXPECT_EQ(name_of(R"(client="Kit")"), "Kit");
  EXPECT_EQ(name_of(R"(client="Kit" subversion="9")"), "Kit");
  EXPECT_EQ(name_of(R"(client="Kit" version=")"), "Kit");
  EXPECT_EQ(name_of(R"(client="Kit)"), "Kit");
  EXPECT_EQ(name_of(""), "");
  EXPECT_EQ(name_of("  "), "");
  // A name as long as anything the network may send is cut to the buffer, never past it.
  EXPECT_EQ(name_of("client=\"" + std::string(5000, 'a') + "\"", 16), std::string(15, 'a'));
  EXPECT_EQ(name_of(std::string(300, 'b')).size(), MRIM_CLIENT_NAME_SIZE - 1);
}

}  // namespace
