// Writes the seed inputs of details_fuzz and search_fuzz into a folder: bodies of directory
// replies as the server sends them (an entry with every field the details page knows, a short
// one, an entry not found, one cut short, and birthdays in odd forms).
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "serversim/wire.h"

namespace {

using serversim::Bytes;
using serversim::Writer;
using Fields = std::vector<std::pair<std::string, std::string>>;

Bytes found(const Fields& fields) {
  Writer w;
  w.ul(1).ul(static_cast<uint32_t>(fields.size())).ul(1).ul(1796680209);
  for (const auto& field : fields) w.lps(field.first);
  for (const auto& field : fields) w.lps(field.second);
  return w.take();
}

void write_seed(const std::string& folder, const std::string& name, const Bytes& body) {
  std::string path = folder + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    perror(path.c_str());
    return;
  }
  fwrite(body.data(), 1, body.size(), file);
  fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  Fields every = {{"Username", "kim"},
                  {"Domain", "example.org"},
                  {"Nickname", "Kim"},
                  {"FirstName", "Kim"},
                  {"LastName", "Lee"},
                  {"Location", "Oslo"},
                  {"Birthday", "1985-03-09"},
                  {"Sex", "2"},
                  {"Zodiac", "12"},
                  {"Phone", "+47 555 0100"},
                  {"BDay", "9"},
                  {"BMonth", "3"},
                  {"City_id", "17"},
                  {"Country_id", "24"}};
  write_seed(folder, "every_field", found(every));
  write_seed(folder, "short", found({{"Username", "amy"}, {"Domain", "example.net"}, {"Nickname", "Amy"}}));
  write_seed(folder, "no_fields", found({}));
  write_seed(folder, "odd_birthdays",
             found({{"Birthday", " +1990-7-15"}, {"BDay", "-3"}, {"BMonth", "x"}, {"Sex", "1"}}));
  write_seed(folder, "not_found", Writer().ul(0).ul(0).ul(0).ul(1796680209).take());
  Bytes cut = found(every);
  cut.resize(cut.size() - 3);
  write_seed(folder, "cut_short", cut);
  return 0;
}
