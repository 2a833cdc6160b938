// Runs the hostile-condition tests in a mount namespace of their own, so that
// the mounts they make (and leave behind if a test dies) touch no other
// process; without root they run unprivileged and the mounting tests skip.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "hostile_support.h"

namespace k32l_test {
bool private_namespace = false;
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
      mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    k32l_test::private_namespace = true;
  } else {
    std::perror("k32l_hostile_tests: no private mount namespace");
  }
  return RUN_ALL_TESTS();
}
