// Runs the hostile-condition tests in a mount namespace of their own, so that
// the mounts they make (and leave behind if a test dies) touch no other
// process; without root they run unprivileged and the mounting tests skip.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "hostile_support.h"

namespace k32l_test {
bool private_namespace = false;
std::string no_private_namespace_reason = "needs root and a mount namespace of its own";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (geteuid() != 0) {
    k32l_test::no_private_namespace_reason = "needs root to mount file systems";
  } else if (!k32l_test::root_is_a_mount_point()) {
    // The mount holding "/" is out of reach: its propagation cannot be made
    // private, and the tests' mounts would reach other processes.
    k32l_test::no_private_namespace_reason =
        "needs / to be a mount point, to keep its mounts private (here it is not: a chroot?)";
  } else if (unshare(CLONE_NEWNS) == 0 &&
             mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    k32l_test::private_namespace = true;
  } else {
    std::perror("k32l_hostile_tests: no private mount namespace");
  }
  return RUN_ALL_TESTS();
}
