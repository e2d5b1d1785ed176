// The picture cache's bound: the oldest written files go first, and a crash's leftovers go.
#include "services/avatar_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "support/support.h"

namespace {

namespace fs = std::filesystem;

void make_file(const fs::path& path, std::chrono::minutes age) {
  std::ofstream(path) << "x";
  fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

TEST(AvatarCache, PruningDropsTheOldestAndLeftoversOnly) {
  testsupport::WorkFolder work;
  const fs::path folder = work.path();
  for (int i = 0; i < 30; ++i)
    make_file(folder / ("picture" + std::to_string(i) + ".jpg"), std::chrono::minutes(100 - i));
  make_file(folder / "crashed.1.tmp", std::chrono::minutes(60));
  make_file(folder / "writing.2.tmp", std::chrono::minutes(0));

  // Below the limit, with room left for the next few new ones.
  EXPECT_EQ(avatar_cache_prune(folder.string().c_str(), 20), 19);
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder)) left.insert(entry.path().filename().string());
  EXPECT_EQ(left.count("crashed.1.tmp"), 0u);
  EXPECT_EQ(left.count("writing.2.tmp"), 1u);  // another fetch may be writing it
  for (int i = 0; i < 30; ++i)
    EXPECT_EQ(left.count("picture" + std::to_string(i) + ".jpg"), i >= 11 ? 1u : 0u) << i;
}

}  // namespace
