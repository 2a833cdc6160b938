// The provider against this machine's mounts as they are, cross-checked with
// df, findmnt and stat; and the calls' failure contracts.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "support.h"

using namespace k32l_test;

namespace {

// ---- mounts of other processes that do not answer ---------------------------------------
//
// The host's table may hold a mount whose server is dead (stat fails at once
// with ENOTCONN) or stalled (stat waits until it answers, and a thread caught
// in that wait cannot be killed): a fact of the host, not a fault of the
// provider. The tests that look at every mount of the host leave such mounts
// out and name them; they check all the others.

struct HostMount {
  std::string target, fstype;
};

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape_mountinfo(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The mounts of this process's table that do not answer stat within five
// seconds or fail it, probed once, each in a child process of its own (all
// at once, so that the bound is paid once). A child caught in a stalled
// mount is left behind, never waited for.
const std::vector<HostMount>& mounts_that_do_not_answer() {
  static const std::vector<HostMount> silent = [] {
    std::vector<HostMount> mounts;
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
      std::istringstream fields(line);
      std::string field, target;
      for (int i = 0; i < 5 && fields >> field; ++i) target = field;
      while (fields >> field && field != "-") {
      }
      std::string fstype;
      fields >> fstype;
      mounts.push_back({unescape_mountinfo(target), fstype});
    }
    std::vector<pid_t> probes;
    for (const auto& m : mounts) {
      const pid_t pid = fork();
      if (pid == 0) {
        struct stat st {};
        _exit(stat(m.target.c_str(), &st) == 0 ? 0 : 1);
      }
      probes.push_back(pid);
    }
    std::vector<int> answered(mounts.size(), -1);  // -1: no answer yet
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (bool waiting = true; waiting && std::chrono::steady_clock::now() < deadline;) {
      waiting = false;
      for (std::size_t i = 0; i < probes.size(); ++i) {
        if (answered[i] != -1 || probes[i] < 0) continue;
        int status = 0;
        if (waitpid(probes[i], &status, WNOHANG) == probes[i])
          answered[i] = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
        else
          waiting = true;
      }
      if (waiting) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::vector<HostMount> silent_mounts;
    for (std::size_t i = 0; i < mounts.size(); ++i) {
      if (answered[i] == 1) continue;
      if (answered[i] == -1 && probes[i] > 0) kill(probes[i], SIGKILL);
      silent_mounts.push_back(mounts[i]);
    }
    return silent_mounts;
  }();
  return silent;
}

bool answers(const std::string& path) {
  for (const auto& m : mounts_that_do_not_answer())
    if (m.target == path) return false;
  return true;
}

// Whether every mount point of a volume answers; if not, the test says it
// leaves the volume out.
bool volume_answers(const std::u16string& name) {
  for (const auto& p : paths_of(name)) {
    if (!answers(p)) {
      std::cout << "[ LEFT OUT ] " << narrow(name) << ": its mount point " << p
                << " does not answer (a mount of another process)\n";
      return false;
    }
  }
  return true;
}

struct DfLine {
  std::string fstype, target;
  unsigned long long size = 0;
};

// `df -B1` as it lists data file systems (pseudo ones left out), without
// the types of mounts that do not answer (df would wait for them) and
// without those mounts.
std::vector<DfLine> df_volumes() {
  std::vector<DfLine> lines;
  std::string exclude;
  for (const auto& m : mounts_that_do_not_answer()) {
    exclude += " -x " + sh_quote(m.fstype);
    std::cout << "[ LEFT OUT ] " << m.target << " (" << m.fstype
              << ") and df's mounts of its type: it does not answer\n";
  }
  auto r = run("timeout 20 df -B1 --output=fstype,size,target" + exclude + " 2>/dev/null");
  std::istringstream in(r.out);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    DfLine d;
    fields >> d.fstype >> d.size;
    std::getline(fields, d.target);
    d.target = trim(d.target);
    if (!k32l::is_pseudo_fs(d.fstype) && answers(d.target)) lines.push_back(d);
  }
  return lines;
}

// findmnt's raw output escapes blanks and odd bytes as \xHH.
std::string unescape_findmnt(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// What stat(1) says of a path that answers: its st_dev and whether it is a
// directory; nullopt when stat fails.
std::optional<std::pair<unsigned long long, bool>> stat_dev_and_kind(const std::string& path) {
  auto r = run("timeout 5 stat -c '%d %F' " + sh_quote(path) + " 2>/dev/null");
  std::istringstream in(r.out);
  unsigned long long dev = 0;
  std::string kind;
  if (r.status != 0 || !(in >> dev >> kind)) return std::nullopt;
  return std::make_pair(dev, kind == "directory");
}

// Mount points of data file systems by st_dev, as findmnt and stat see them:
// where the file system's root is mounted. A bind of a subtree (FSROOT other
// than the least deep one mounted) counts only while nothing nearer the
// root of that file system is mounted, and a bind of a file never does.
std::map<unsigned long long, std::set<std::string>> findmnt_targets_by_dev() {
  struct Mounted {
    std::string root;
    std::set<std::string> targets;
  };
  std::map<unsigned long long, Mounted> by_dev;
  auto r = run("findmnt -rn -o FSTYPE,TARGET,FSROOT");
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string fstype, target, root;
    if (!(fields >> fstype >> target >> root) || k32l::is_pseudo_fs(fstype)) continue;
    const std::string path = unescape_findmnt(target);
    root = unescape_findmnt(root);
    if (!answers(path)) continue;
    const auto seen = stat_dev_and_kind(path);
    if (!seen || !seen->second) continue;  // a bind of a file
    // The least deep directory mounted; the first in table order of two as
    // deep.
    auto [it, fresh] = by_dev.emplace(seen->first, Mounted{root, {}});
    Mounted& m = it->second;
    if (!fresh && root.size() < m.root.size()) m = Mounted{root, {}};
    if (root == m.root) m.targets.insert(path);
  }
  std::map<unsigned long long, std::set<std::string>> targets;
  for (auto& [dev, m] : by_dev) targets[dev] = std::move(m.targets);
  return targets;
}

}  // namespace

// ---- enumeration of the real mounts --------------------------------------------------

TEST(RealMounts, NamesHaveTheWindowsFormAndAreUnique) {
  const auto names = all_volume_names();
  ASSERT_FALSE(names.empty());
  // \\?\Volume{ID}\ with ID made of ASCII letters, digits, '_' and '-'.
  auto windows_form = [](const std::string& n) {
    const std::string head = "\\\\?\\Volume{", tail = "}\\";
    if (n.size() <= head.size() + tail.size() || n.compare(0, head.size(), head) != 0 ||
        n.compare(n.size() - tail.size(), tail.size(), tail) != 0)
      return false;
    for (std::size_t i = head.size(); i < n.size() - tail.size(); ++i) {
      const char c = n[i];
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-'))
        return false;
    }
    return true;
  };
  std::set<std::u16string> seen;
  for (const auto& n : names) {
    EXPECT_TRUE(windows_form(narrow(n))) << narrow(n);
    EXPECT_TRUE(seen.insert(n).second) << "listed twice: " << narrow(n);
  }
  EXPECT_EQ(all_volume_names(), names) << "order must be stable";
}

TEST(RealMounts, EveryDfVolumeIsEnumeratedExactlyOnce) {
  const auto df = df_volumes();
  ASSERT_FALSE(df.empty());
  const auto names = all_volume_names();
  for (const auto& d : df) {
    int holders = 0;
    for (const auto& n : names)
      for (const auto& p : paths_of(n))
        if (p == d.target) ++holders;
    EXPECT_EQ(holders, 1) << d.target << " (" << d.fstype << ")";
  }
}

TEST(RealMounts, SerialIsTheStDevOfEveryMountPoint) {
  for (const auto& name : all_volume_names()) {
    if (!volume_answers(name)) continue;
    const auto info = volume_info(name);
    ASSERT_TRUE(info.ok) << narrow(name) << " error " << info.error;
    for (const auto& p : paths_of(name)) {
      auto dev = stat_dev(p);
      ASSERT_TRUE(dev) << p;
      EXPECT_EQ(info.serial, k32l::serial_from_device(*dev)) << p;
    }
  }
}

TEST(RealMounts, MountPointsAreComplete) {
  const auto expected = findmnt_targets_by_dev();
  for (const auto& name : all_volume_names()) {
    if (!volume_answers(name)) continue;
    const auto info = volume_info(name);
    ASSERT_TRUE(info.ok);
    const auto paths = paths_of(name);
    ASSERT_FALSE(paths.empty()) << narrow(name);
    auto dev = stat_dev(paths.front());
    ASSERT_TRUE(dev);
    ASSERT_TRUE(expected.count(*dev)) << paths.front();
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()), expected.at(*dev))
        << narrow(name);
  }
}

TEST(RealMounts, CapacitiesMatchDfAndStatvfs) {
  for (const auto& d : df_volumes()) {
    ULARGE_INTEGER avail{}, total{}, free{};
    const std::u16string root = wide(d.target + "\\");
    ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &avail, &total, &free)) << d.target;
    EXPECT_EQ(total.QuadPart, d.size) << d.target;
    struct statvfs s {};
    ASSERT_EQ(statvfs(d.target.c_str(), &s), 0);
    EXPECT_EQ(total.QuadPart, static_cast<unsigned long long>(s.f_blocks) * s.f_frsize);
    // Free space moves while the machine runs: near, not equal.
    const double expect_avail = static_cast<double>(s.f_bavail) * s.f_frsize;
    EXPECT_NEAR(static_cast<double>(avail.QuadPart), expect_avail, 64.0 * 1024 * 1024 + 0.01 * expect_avail);
    EXPECT_LE(avail.QuadPart, free.QuadPart);
    EXPECT_LE(free.QuadPart, total.QuadPart);
  }
}

TEST(RealMounts, RootIsAFixedOrRamVolume) {
  K32L_SKIP_UNLESS_ROOT_IS_A_MOUNT_POINT();
  const auto type = GetDriveTypeW(u"/\\");
  EXPECT_TRUE(type == DRIVE_FIXED || type == DRIVE_RAMDISK || type == DRIVE_REMOTE) << type;
  const auto info = volume_info(u"/\\");
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.serial, k32l::serial_from_device(dev_of("/")));
  EXPECT_GT(info.max_component, 0u);
  EXPECT_FALSE(info.fs_name.empty());
}

// ---- one read of the mount table per change -------------------------------------------

TEST(Snapshot, ARefreshReadsTheMountTableAtMostOnce) {
  auto refresh = [] {
    for (const auto& name : all_volume_names()) {
      paths_of(name);
      volume_info(name);
      GetDriveTypeW(name.c_str());
      ULARGE_INTEGER a{};
      GetDiskFreeSpaceExW(name.c_str(), &a, nullptr, nullptr);
    }
  };
  refresh();
  const auto before = k32l::mount_table_reads();
  refresh();
  refresh();
  EXPECT_EQ(k32l::mount_table_reads(), before) << "mount table re-read without a change";
}

TEST(Snapshot, ConcurrentCallersSeeTheSameVolumes) {
  const auto expected = all_volume_names();
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if (all_volume_names() != expected) ++mismatches[t];
        for (const auto& n : expected) volume_info(n);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int m : mismatches) EXPECT_EQ(m, 0);
}

// ---- failure contracts --------------------------------------------------------------

TEST(SearchHandles, TooSmallABufferFailsWithoutAHandle) {
  WCHAR buf[4];
  SetLastError(0);
  EXPECT_EQ(FindFirstVolumeW(buf, 4), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST(SearchHandles, ABufferAsLongAsTheNameHasNoRoomForItsNul) {
  const auto names = all_volume_names();
  if (names.size() < 2) GTEST_SKIP() << "needs two volumes";
  for (std::size_t room : {names[0].size(), names[0].size() + 1}) {
    std::vector<WCHAR> buf(names[0].size() + 2, u'#');
    HANDLE h = FindFirstVolumeW(buf.data(), static_cast<DWORD>(room));
    EXPECT_EQ(buf[room], u'#') << "written past the room given";
    if (room == names[0].size()) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
      continue;
    }
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(buf.data()), names[0]);
    std::vector<WCHAR> next(names[1].size() + 2, u'#');
    EXPECT_FALSE(FindNextVolumeW(h, next.data(), static_cast<DWORD>(names[1].size())));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(next[names[1].size()], u'#');
    ASSERT_TRUE(FindNextVolumeW(h, next.data(), static_cast<DWORD>(names[1].size() + 1)));
    EXPECT_EQ(std::u16string(next.data()), names[1]);
    EXPECT_TRUE(FindVolumeClose(h));
  }
}

TEST(SearchHandles, FindNextKeepsItsPlaceWhenTheBufferIsTooSmall) {
  const auto names = all_volume_names();
  if (names.size() < 2) GTEST_SKIP() << "needs two volumes";
  WCHAR buf[MAX_PATH + 1];
  HANDLE h = FindFirstVolumeW(buf, MAX_PATH + 1);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  WCHAR tiny[3];
  EXPECT_FALSE(FindNextVolumeW(h, tiny, 3));
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  ASSERT_TRUE(FindNextVolumeW(h, buf, MAX_PATH + 1));
  EXPECT_EQ(std::u16string(buf), names[1]);
  EXPECT_TRUE(FindVolumeClose(h));
}

TEST(SearchHandles, UnknownOrClosedHandlesAreRefused) {
  WCHAR buf[MAX_PATH + 1];
  int not_a_handle = 0;
  EXPECT_FALSE(FindNextVolumeW(&not_a_handle, buf, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FindNextVolumeW(INVALID_HANDLE_VALUE, buf, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE h = FindFirstVolumeW(buf, MAX_PATH + 1);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FindVolumeClose(h));
  EXPECT_FALSE(FindVolumeClose(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FindNextVolumeW(h, buf, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PathNames, TooSmallABufferReportsTheNeededLength) {
  const auto name = all_volume_names().front();
  DWORD needed = 0;
  WCHAR one[1];
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(name.c_str(), one, 1, &needed));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  std::size_t expect = 1;
  for (const auto& p : paths_of(name)) expect += wide(p).size() + 1;
  EXPECT_EQ(needed, expect);
  std::vector<WCHAR> exact(needed, u'#');
  DWORD got = 0;
  ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(name.c_str(), exact.data(), needed, &got));
  EXPECT_EQ(got, needed);
  EXPECT_EQ(exact[needed - 1], 0);
  EXPECT_EQ(exact[needed - 2], 0);
}

TEST(PathNames, UnknownAndMalformedNamesFailWithoutALength) {
  WCHAR buf[64];
  DWORD len = 12345;
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(u"\\\\?\\Volume{no-such-volume}\\", buf, 64, &len));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(len, 12345u);
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(u"\\\\?\\Volume{bad id}\\", buf, 64, &len));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(u"/", buf, 64, &len));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  const WCHAR lone_surrogate[] = {u'/', 0xD800, 0};
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(lone_surrogate, buf, 64, &len));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(len, 12345u);
}

TEST(VolumeInformation, NameAndMountRootAnswerAlike) {
  K32L_SKIP_UNLESS_ROOT_IS_A_MOUNT_POINT();
  const auto name = volume_at("/");
  ASSERT_TRUE(name) << "/ is a mount point but no volume lists it";
  const auto by_name = volume_info(*name);
  const auto by_root = volume_info(u"/\\");
  const auto by_bare_root = volume_info(u"/");
  ASSERT_TRUE(by_name.ok && by_root.ok && by_bare_root.ok);
  EXPECT_EQ(by_name.serial, by_root.serial);
  EXPECT_EQ(by_name.fs_name, by_root.fs_name);
  EXPECT_EQ(by_bare_root.serial, by_root.serial);
}

TEST(VolumeInformation, VolumeNamesAreMatchedWhateverTheirCase) {
  // A name whose ID has letters, spelled in upper case.
  for (const auto& name : all_volume_names()) {
    std::u16string upper = name;
    for (std::size_t i = name.find(u'{'); i < upper.size(); ++i)
      if (upper[i] >= u'a' && upper[i] <= u'z') upper[i] = static_cast<char16_t>(upper[i] - 32);
    if (upper == name || !volume_answers(name)) continue;
    EXPECT_EQ(paths_of(upper), paths_of(name)) << narrow(upper);
    const auto info = volume_info(upper);
    ASSERT_TRUE(info.ok) << narrow(upper) << " error " << info.error;
    EXPECT_EQ(info.serial, volume_info(name).serial);
    return;
  }
  GTEST_SKIP() << "no volume name with letters";
}

TEST(VolumeInformation, PathsThatAreNoVolumeRootFail) {
  EXPECT_FALSE(volume_info(u"/proc\\").ok);
  EXPECT_FALSE(volume_info(u"/etc\\").ok);
  EXPECT_EQ(volume_info(u"/etc\\").error, ERROR_DIR_NOT_ROOT);
  EXPECT_EQ(volume_info(u"/no/such/dir\\").error, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(volume_info(u"relative\\").error, ERROR_INVALID_NAME);
  EXPECT_EQ(volume_info(u"\\\\?\\Volume{no-such-volume}\\").error, ERROR_FILE_NOT_FOUND);
}

TEST(VolumeInformation, SmallBuffersFailAndNullOutputsAreSkipped) {
  K32L_SKIP_UNLESS_ROOT_IS_A_MOUNT_POINT();
  WCHAR fs[2];
  EXPECT_FALSE(GetVolumeInformationW(u"/\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 2));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  DWORD serial = 0;
  EXPECT_TRUE(GetVolumeInformationW(u"/\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(serial, k32l::serial_from_device(dev_of("/")));
}

TEST(VolumeInformation, ByHandleMatchesByRoot) {
  K32L_SKIP_UNLESS_ROOT_IS_A_MOUNT_POINT();
  const int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  WCHAR fs[MAX_PATH + 1];
  DWORD serial = 0;
  const BOOL ok = GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)),
                                                nullptr, 0, &serial, nullptr, nullptr, fs,
                                                MAX_PATH + 1);
  close(fd);
  ASSERT_TRUE(ok) << GetLastError();
  const auto by_root = volume_info(u"/\\");
  EXPECT_EQ(serial, by_root.serial);
  EXPECT_EQ(narrow(fs), by_root.fs_name);
}

TEST(VolumeInformation, ByHandleRefusesBadDescriptors) {
  for (intptr_t bad : {intptr_t{-1}, intptr_t{987654}, intptr_t{1} << 40}) {
    EXPECT_FALSE(GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(bad), nullptr, 0, nullptr,
                                               nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << bad;
  }
}

TEST(DriveTypes, NonRootsAreNoRootDir) {
  EXPECT_EQ(GetDriveTypeW(u"/proc\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeW(u"/etc\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeW(u"\\\\?\\Volume{no-such-volume}\\"), DRIVE_NO_ROOT_DIR);
  // The working directory's volume; in a chroot whose "/" is no mount point
  // that volume is not in the table.
  if (root_is_a_mount_point()) {
    EXPECT_NE(GetDriveTypeW(nullptr), DRIVE_NO_ROOT_DIR);
  }
}

TEST(FreeSpace, AnyDirectoryAndNullOutputs) {
  ULARGE_INTEGER total{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"/etc\\", nullptr, &total, nullptr));
  ULARGE_INTEGER root_total{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"/\\", nullptr, &root_total, nullptr));
  if (stat_dev("/etc") == stat_dev("/")) {
    EXPECT_EQ(total.QuadPart, root_total.QuadPart);
  }
  EXPECT_TRUE(GetDiskFreeSpaceExW(nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(GetDiskFreeSpaceExW(u"/no/such/dir\\", nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // A relative path, and no path, name places in the working directory.
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir("/"), 0);
  ULARGE_INTEGER relative{}, none{};
  const bool relative_ok = GetDiskFreeSpaceExW(u"etc\\", nullptr, &relative, nullptr);
  const bool none_ok = GetDiskFreeSpaceExW(nullptr, nullptr, &none, nullptr);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(relative_ok && none_ok);
  EXPECT_EQ(relative.QuadPart, total.QuadPart);
  EXPECT_EQ(none.QuadPart, root_total.QuadPart);
}
