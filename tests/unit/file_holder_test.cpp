// Who holds a lock, as the lock table tells; and what is said where the
// service's sandbox hides the table (ProcSubset=pid).

#include "programs/battery-host/support/file_holder.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

TEST(FileHolderTest, HolderNamedFromTheLockTable) {
  char locks[] = "/tmp/file-holder-locks-XXXXXX";
  const int fd = ::mkstemp(locks);
  ASSERT_GE(fd, 0);
  struct stat info {};
  ASSERT_EQ(::fstat(fd, &info), 0);
  ::close(fd);
  char file[64];
  std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  std::string comm;
  std::getline(std::ifstream("/proc/" + std::to_string(::getppid()) + "/comm"), comm);
  const std::string parent = std::to_string(::getppid());
  // No process has this number (above the kernel's limit of 4194304).
  const std::string gone = "4194305";
  const std::pair<std::string, std::string> cases[] = {
      {"1: FLOCK  ADVISORY  WRITE " + parent + " " + file + " 0 EOF\n",
       "PID " + parent + " (" + comm + ")"},
      {"1: FLOCK  ADVISORY  WRITE " + gone + " " + file + " 0 EOF\n", "PID " + gone},
      {"1: FLOCK  ADVISORY  WRITE " + std::to_string(::getpid()) + " " + file + " 0 EOF\n" +
           "1: -> FLOCK  ADVISORY  WRITE " + parent + " " + file + " 0 EOF\n",
       "another process"},
      {"1: FLOCK  ADVISORY  WRITE " + parent + " 00:00:1 0 EOF\n", "another process"}};
  for (const auto& [table, expected] : cases) {
    std::ofstream(locks) << table;
    EXPECT_EQ(DescribeHolder(info, locks), expected) << table;
  }
  ::unlink(locks);
  const std::string hidden = DescribeHolder(info, locks);
  EXPECT_NE(hidden.find("cannot see"), std::string::npos) << hidden;
  EXPECT_NE(hidden.find("fuser -v"), std::string::npos) << hidden;
}

}  // namespace
