// The stages of the Linux provider's re-read of the mount table, timed
// apart on N tmpfs mounts (default 1000) in a mount namespace of its own
// (needs root): the mountinfo file read with libmount, its entries
// identified (listmount, statmount of each), the table read from the
// kernel's description of each mount instead (where the provider has that
// reader and the kernel describes whole entries), the statx of every mount
// point, and the snapshot built from the table (those statx included), built
// again with the answers of those statx kept from the first build (as a
// re-read after a change elsewhere builds it), and freed. Best of R rounds
// (default 20), per table entry. Build against a build tree's provider and run:
//   g++ -O2 -std=c++17 -Ioslayer -Ioslayer/linux bench/table_stages.cpp \
//     build/oslayer/linux/libkernel32_linux_internals.a -lmount -lblkid -ludev -ldl \
//     -lpthread -o /tmp/table_stages
//   /tmp/table_stages [N] [R]
// A provider built before the kernel reader (the archive of another
// tree) is timed without that stage.
#include <dlfcn.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "identity.h"
#include "mount_table.h"
#include "snapshot.h"

namespace {

using Clock = std::chrono::steady_clock;
using Entries = std::vector<k32l::MountEntry>;

template <class F>
double best_seconds(int rounds, F fn) {
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = Clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::perror("table_stages: a mount namespace of its own (root?)");
    return 1;
  }
  char root[] = "/tmp/table-stages-XXXXXX";
  if (!mkdtemp(root) || mount("stages", root, "tmpfs", 0, "size=1m") != 0) return 1;
  for (int i = 0; i < count; ++i) {
    const std::string target = std::string(root) + "/m" + std::to_string(i);
    if (mkdir(target.c_str(), 0755) != 0 || mount("stages", target.c_str(), "tmpfs", 0, "size=1m") != 0)
      return 1;
  }
  const char* const kTable = "/proc/thread-self/mountinfo";
  using KernelTable = std::optional<Entries> (*)();
  const auto kernel_table = reinterpret_cast<KernelTable>(
      dlsym(RTLD_DEFAULT, "_ZN4k32l18kernel_mount_tableEv"));
  Entries entries = k32l::read_mount_table(kTable).value;
  const double n = static_cast<double>(entries.size());
  const auto per_entry = [&](const char* stage, double seconds) {
    std::printf("  %-44s %8.2f ms %8.2f us\n", stage, seconds * 1e3, seconds / n * 1e6);
  };
  std::printf("re-read stages: %d tmpfs mounts, %zu entries, best of %d\n", count, entries.size(),
              rounds);
  per_entry("mountinfo read with libmount", best_seconds(rounds, [&] {
              entries = k32l::read_mount_table(kTable).value;
            }));
  per_entry("identified (listmount, statmount)", best_seconds(rounds, [&] {
              k32l::identify_mounts(entries);
            }));
  if (kernel_table && kernel_table()) {
    per_entry("read from statmount instead (both above)", best_seconds(rounds, [&] {
                entries = *kernel_table();
              }));
  }
  std::vector<k32l::Snapshot> kept;
  kept.reserve(rounds);
  per_entry("snapshot built", best_seconds(rounds, [&] {
              kept.push_back(k32l::build_snapshot(entries));
            }));
  const auto earlier = kept.back().verified_mount_points;
  per_entry("built again, kept statx answers used", best_seconds(rounds, [&] {
              kept.push_back(k32l::build_snapshot(entries, earlier.get()));
            }));
  per_entry("  of which statx of each mount point", best_seconds(rounds, [&] {
              for (const k32l::MountEntry& e : entries)
                k32l::identify_path(e.target, k32l::MountIdKind::Unique);
            }));
  per_entry("snapshot freed", best_seconds(rounds, [&] {
              if (!kept.empty()) kept.pop_back();
            }));
  umount2(root, MNT_DETACH);
  rmdir(root);
  return 0;
}
