#include "util/memory.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

namespace ravlin {
namespace {

namespace fs = std::filesystem;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

class CgroupTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "cgroupsXXXXXX").string();
    root_ = mkdtemp(pattern.data());
  }
  void TearDown() override { fs::remove_all(root_); }
  void limit(const fs::path& group, const char* file, const char* text) {
    fs::create_directories(root_ / group);
    std::ofstream(root_ / group / file) << text << "\n";
  }
  fs::path root_;
};

// A group takes the lowest limit of itself and the groups above it, in
// either hierarchy; "max" and groups that are not mounted set none.
TEST_F(CgroupTree, LowestLimitOfTheGroupAndItsParents) {
  limit("", "memory.max", "max");
  limit("box", "memory.max", "4096");
  limit("box/job", "memory.max", "max");
  EXPECT_EQ(cgroup_memory_limit(root_, "0::/box/job\n"), 4096u);
  EXPECT_EQ(cgroup_memory_limit(root_, "0::/elsewhere\n"), kNone);

  limit("memory/app", "memory.limit_in_bytes", "9223372036854771712");
  limit("memory/app/task", "memory.limit_in_bytes", "2048");
  EXPECT_EQ(cgroup_memory_limit(root_, "4:cpu,memory:/app/task\n0::/box/job\n"), 2048u);
  EXPECT_EQ(cgroup_memory_limit(root_, "4:cpu:/app/task\n3:memory:/app\n"), 9223372036854771712u);
  EXPECT_EQ(cgroup_memory_limit(root_, "garbage\n"), kNone);
}

}  // namespace
}  // namespace ravlin
