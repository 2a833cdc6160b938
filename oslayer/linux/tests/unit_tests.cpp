// The provider's pure pieces: text conversion, volume names, paths, caller
// buffers, file-system classes and the bounded worker.
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bounded.h"
#include "block_policy.h"
#include "fs_classes.h"
#include "mount_point_text.h"
#include "snapshot.h"
#include "text.h"

using namespace k32l;
using namespace std::chrono_literals;

namespace {

std::string utf8_of(std::u16string_view s) { return utf16_to_utf8(s).value(); }

}  // namespace

// ---- UTF-8 <-> UTF-16 --------------------------------------------------------

TEST(TextConversion, NonAsciiAndSpacesRoundTrip) {
  const std::string path = "/mnt/Données été/日本語";
  auto wide = utf8_to_utf16(path);
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, u"/mnt/Données été/日本語");
  EXPECT_EQ(utf8_of(*wide), path);
}

// ASCII text is widened directly: every byte below 0x80 is its own unit,
// and one byte above it sends the whole text through the decoder.
TEST(TextConversion, AsciiIsItsOwnUtf16) {
  std::string all;
  for (int c = 1; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  const auto wide = utf8_to_utf16(all);
  ASSERT_TRUE(wide);
  ASSERT_EQ(wide->size(), all.size());
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ((*wide)[i], static_cast<char16_t>(all[i]));
  EXPECT_EQ(utf8_to_utf16(""), std::u16string());
  EXPECT_EQ(utf8_to_utf16_lossy(all + "\x80"), wide.value() + u"\uFFFD");
  EXPECT_FALSE(utf8_to_utf16(all + "\x80"));
}

TEST(TextConversion, AstralCharactersBecomeSurrogatePairs) {
  auto wide = utf8_to_utf16("a\xF0\x9F\x98\x80z");  // U+1F600
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, (std::u16string{u'a', 0xD83D, 0xDE00, u'z'}));
  EXPECT_EQ(utf8_of(*wide), "a\xF0\x9F\x98\x80z");
  // The highest code point survives both ways.
  EXPECT_EQ(utf8_of(*utf8_to_utf16("\xF4\x8F\xBF\xBF")), "\xF4\x8F\xBF\xBF");
}

TEST(TextConversion, MalformedUtf8IsRejected) {
  for (const char* bad : {
           "\x80",              // continuation byte without a lead
           "\xC0\xAF",          // overlong '/'
           "\xE0\x80\xAF",      // overlong three-byte '/'
           "\xED\xA0\x80",      // an encoded surrogate
           "\xE2\x82",          // truncated sequence
           "\xF4\x90\x80\x80",  // past U+10FFFF
           "\xF8\x88\x80\x80\x80",
           "ok\xFF",
       }) {
    EXPECT_FALSE(utf8_to_utf16(bad)) << "accepted: " << ::testing::PrintToString(bad);
  }
}

TEST(TextConversion, UnpairedSurrogatesAreRejected) {
  EXPECT_FALSE(utf16_to_utf8(std::u16string{u'a', 0xD83D}));          // high at the end
  EXPECT_FALSE(utf16_to_utf8(std::u16string{0xDE00, u'a'}));          // low alone
  EXPECT_FALSE(utf16_to_utf8(std::u16string{0xD83D, u'a', 0xDE00}));  // split pair
}

TEST(TextConversion, LossyDecodingReplacesEachBadByte) {
  EXPECT_EQ(utf8_to_utf16_lossy("A\xFF\xFE" "B"), u"A\uFFFD\uFFFDB");
  EXPECT_EQ(utf8_to_utf16_lossy("LABEL"), u"LABEL");
}

TEST(TextConversion, ArgumentsNeedATerminatorWithinTheLimit) {
  EXPECT_FALSE(read_argument(nullptr));
  std::vector<WCHAR> longest(kMaxArgumentChars + 1, u'a');
  longest.back() = 0;
  EXPECT_EQ(read_argument(longest.data())->size(), kMaxArgumentChars);
  std::vector<WCHAR> too_long(kMaxArgumentChars + 2, u'a');
  too_long.back() = 0;
  EXPECT_FALSE(read_argument(too_long.data()));
}

// ---- volume names ----------------------------------------------------------------

TEST(VolumeNames, FormatWrapsTheId) {
  EXPECT_EQ(format_volume_name("1b2c-33"), "\\\\?\\Volume{1b2c-33}\\");
}

TEST(VolumeNames, ParseAcceptsTheWindowsForm) {
  auto p = parse_volume_name("\\\\?\\Volume{0f3a_b-9}\\", true);
  EXPECT_EQ(p.status, NameParse::Ok);
  EXPECT_EQ(p.id, "0f3a_b-9");
  // Roots may drop the closing backslash; calls that demand it refuse.
  EXPECT_EQ(parse_volume_name("\\\\?\\Volume{abc}", false).status, NameParse::Ok);
  EXPECT_EQ(parse_volume_name("\\\\?\\Volume{abc}", true).status, NameParse::Malformed);
}

TEST(VolumeNames, ParseRejectsMalformedNames) {
  for (const char* bad : {"\\\\?\\Volume{}\\", "\\\\?\\Volume{a b}\\", "\\\\?\\Volume{abc\\",
                          "\\\\?\\Volume{ab}c}\\", "\\\\?\\GLOBALROOT\\Device\\x",
                          "\\\\?\\Volume{é}\\", "\\\\?\\Volume{abc}\\\\"}) {
    EXPECT_EQ(parse_volume_name(bad, false).status, NameParse::Malformed) << bad;
  }
  EXPECT_EQ(parse_volume_name("/mnt/data", false).status, NameParse::NotAVolumeName);
  EXPECT_EQ(parse_volume_name("\\\\.\\C:", false).status, NameParse::NotAVolumeName);
}

TEST(VolumeNames, IdsCompareWithoutCase) {
  EXPECT_TRUE(same_volume_id("ABCD-12ef", "abcd-12EF"));
  EXPECT_FALSE(same_volume_id("abcd", "abce"));
  EXPECT_FALSE(same_volume_id("abcd", "abcd-"));
}

// IDs that compare equal hash alike, whatever byte (of all 256) stands at
// whatever place of whatever length; IDs that differ in one byte, or only
// in trailing NULs, hash apart.
TEST(VolumeNames, IdsThatCompareEqualHashAlike) {
  const auto lowered = [](std::string text) {
    for (char& c : text)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
  };
  for (std::size_t length = 1; length <= 17; ++length) {
    for (int byte = 0; byte < 256; ++byte) {
      std::string id(length, 'Q');
      id[(byte * 7) % length] = static_cast<char>(byte);
      SCOPED_TRACE(testing::Message() << "length " << length << ", byte " << byte);
      ASSERT_TRUE(same_volume_id(id, lowered(id)));
      EXPECT_EQ(volume_id_hash(id), volume_id_hash(lowered(id)));
      std::string other = id;
      other[length - 1] = static_cast<char>(other[length - 1] ^ 0x01);
      if (!same_volume_id(id, other)) {
        EXPECT_NE(volume_id_hash(id), volume_id_hash(other));
      }
    }
    EXPECT_NE(volume_id_hash(std::string(length, 'a')),
              volume_id_hash(std::string(length, 'a') + '\0'));
  }
}

TEST(VolumeNames, DeviceIdsAreValidDistinctAndStable) {
  // 'x' stands for a lower-case hex digit.
  const std::string shape = "xxxxxxxx-0000-0000-xxxx-xxxxxxxxxxxx";
  auto guid_like = [&](const std::string& id) {
    if (id.size() != shape.size()) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
      const bool hex = (id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f');
      if (shape[i] == 'x' ? !hex : id[i] != shape[i]) return false;
    }
    return true;
  };
  const std::uint64_t devs[] = {0, 0xfe00, makedev(8, 1), makedev(0, 0x12345),
                                makedev(0x12345, 7), ~0ull};
  std::vector<std::string> ids;
  for (auto dev : devs) {
    const std::string id = device_volume_id(dev);
    EXPECT_TRUE(guid_like(id)) << id;
    EXPECT_TRUE(is_valid_volume_id(id)) << id;
    EXPECT_EQ(id, device_volume_id(dev));
    for (const auto& other : ids) EXPECT_NE(id, other);
    ids.push_back(id);
  }
  EXPECT_EQ(device_volume_id(0xfe00), "00000000-0000-0000-0000-00000000fe00");
  // Every digit in its place: the high 16 bits, then the low 48.
  EXPECT_EQ(device_volume_id(0x123456789abcdef0ull), "00000000-0000-0000-1234-56789abcdef0");
  EXPECT_EQ(device_volume_id(~0ull), "00000000-0000-0000-ffff-ffffffffffff");
  EXPECT_EQ(device_volume_id(0x0001000000000002ull), "00000000-0000-0000-0001-000000000002");
}

// A name passed back exactly as it was given out finds the volume that
// parsing it and looking up its ID would find, or nothing (and the caller
// then parses it): never another volume.
TEST(VolumeNames, ANameGivenBackFindsWhatItsIdFinds) {
  Snapshot snap;
  for (const char* id : {"Alpha-1", "alpha-1", "bad id", "beta"}) {
    Volume v;
    v.id = id;
    v.name = utf8_to_utf16(format_volume_name(id)).value();
    snap.add_volume(std::move(v));
  }
  for (const Volume& v : snap.volumes) {
    const Volume* by_name = snap.find_by_name(v.name.c_str());
    const ParsedName parsed = parse_volume_name(utf16_to_utf8(v.name).value(), true);
    const Volume* by_id = parsed.status == NameParse::Ok ? snap.find_by_id(parsed.id) : nullptr;
    EXPECT_TRUE(by_name == nullptr || by_name == by_id) << utf16_to_utf8(v.name).value();
  }
  EXPECT_EQ(snap.find_by_name(snap.volumes[0].name.c_str()), &snap.volumes[0]);
  EXPECT_EQ(snap.find_by_name(snap.volumes[3].name.c_str()), &snap.volumes[3]);
  EXPECT_EQ(snap.find_by_name(snap.volumes[2].name.c_str()), nullptr);  // no valid ID
  // Other spellings of a name are not found here: lower case, no backslash.
  EXPECT_EQ(snap.find_by_name(u"\\\\?\\Volume{ALPHA-1}\\"), nullptr);
  EXPECT_EQ(snap.find_by_name(u"\\\\?\\Volume{beta}"), nullptr);
  EXPECT_EQ(snap.find_by_name(nullptr), nullptr);
  const std::u16string longer = snap.volumes[3].name + std::u16string(300, u'x');
  EXPECT_EQ(snap.find_by_name(longer.c_str()), nullptr);
}

// A name given back is found at every length up to the longest the index
// holds (each way the scan of its length can end); a text that differs from
// it in any one unit, or runs on past it, is not, and a longer name is left
// to the parser. Every unit of a name moves its hash, the last ones too.
TEST(VolumeNames, ANameIsFoundAtEveryLengthAndOnlyAsItIs) {
  Snapshot snap;
  for (const std::size_t id_length : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 36u, 239u, 240u, 241u,
                                      242u, 243u, 244u}) {
    Volume v;
    v.id = std::string(id_length, 'a');
    v.name = wide_volume_name(v.id);
    snap.add_volume(std::move(v));
  }
  snap.seal();
  for (const Volume& v : snap.volumes) {
    SCOPED_TRACE(v.name.size());
    const bool indexed = v.name.size() <= Snapshot::kLongestIndexedName;
    EXPECT_EQ(snap.find_by_name(v.name.c_str()), indexed ? &v : nullptr);
    std::u16string other = v.name;
    for (std::size_t i = 0; i < other.size(); ++i) {
      other[i] ^= 0x20;  // 'a' becomes 'A': the same ID, another text
      EXPECT_EQ(snap.find_by_name(other.c_str()), nullptr) << i;
      EXPECT_NE(Snapshot::name_hash(other), Snapshot::name_hash(v.name)) << i;
      other[i] = v.name[i];
    }
    EXPECT_EQ(snap.find_by_name((v.name + u"\\").c_str()), nullptr);
  }
}

// The snapshot's indexes answer as a scan of its volumes in order would:
// the first volume with an ID (as IDs compare), listing a mount point,
// holding a mount or a device number; before and after they are sorted.
TEST(VolumeNames, IndexesAnswerAsAScanOfTheVolumesInOrder) {
  Snapshot snap;
  const struct {
    const char* id;
    std::uint64_t dev;
    std::vector<std::string> targets;
  } added[] = {{"Alpha-1", 7, {"/a", "/b"}}, {"beta", 3, {"/b"}},
               {"ALPHA-1", 7, {"/c"}}, {"gamma", 5, {}}};
  for (const auto& a : added) {
    Volume v;
    v.id = a.id;
    v.name = wide_volume_name(a.id);
    v.dev = a.dev;
    v.targets = a.targets;
    snap.add_volume(std::move(v));
  }
  snap.volume_by_mount.add(41, 1);
  snap.volume_by_mount.add(41, 3);
  for (const bool sealed : {false, true}) {
    if (sealed) snap.seal();
    SCOPED_TRACE(sealed ? "sorted" : "as added");
    EXPECT_EQ(snap.find_by_id("alpha-1"), &snap.volumes[0]);
    EXPECT_EQ(snap.find_by_id("BETA"), &snap.volumes[1]);
    EXPECT_EQ(snap.find_by_id("delta"), nullptr);
    EXPECT_EQ(snap.find_by_target("/b"), &snap.volumes[0]);
    EXPECT_EQ(snap.find_by_target("/c"), &snap.volumes[2]);
    EXPECT_EQ(snap.find_by_target("/d"), nullptr);
    EXPECT_EQ(snap.find_by_mount(41), &snap.volumes[1]);
    EXPECT_EQ(snap.find_by_mount(42), nullptr);
    // A name given back: its own volume, unless an earlier one has its ID.
    EXPECT_EQ(snap.find_by_name(snap.volumes[1].name.c_str()), &snap.volumes[1]);
    EXPECT_EQ(snap.find_by_name(snap.volumes[2].name.c_str()), nullptr);
    EXPECT_EQ(snap.find_by_name(snap.volumes[3].name.c_str()), &snap.volumes[3]);
  }
}

// The same at every size around the directory's powers of two, with many
// volumes under equal keys: IDs equal but for case (and some invalid),
// mount points and device numbers shared by several volumes.
TEST(VolumeNames, IndexesWithManyEqualKeysAnswerAsAScan) {
  std::minstd_rand random(7);
  const char* const ids[] = {"aa-11", "AA-11", "Aa-11", "bb", "b b", "", "cc-22", "CC-22"};
  for (const std::size_t count : {1u, 2u, 3u, 4u, 5u, 31u, 32u, 33u, 64u, 65u, 1025u}) {
    SCOPED_TRACE(count);
    Snapshot snap;
    for (std::size_t k = 0; k < count; ++k) {
      Volume v;
      v.id = ids[random() % std::size(ids)];
      v.name = wide_volume_name(v.id);
      v.dev = random() % 5;
      for (std::size_t t = random() % 3; t > 0; --t)
        v.targets.push_back("/m" + std::to_string(random() % 7));
      snap.add_volume(std::move(v));
    }
    snap.seal();
    const auto scan = [&](auto matches) -> const Volume* {
      for (const Volume& v : snap.volumes)
        if (matches(v)) return &v;
      return nullptr;
    };
    for (const char* id : ids) {
      const Volume* first = scan([&](const Volume& v) { return same_volume_id(v.id, id); });
      EXPECT_EQ(snap.find_by_id(id), first) << id;
      // A name given back finds the first volume with its ID, where that
      // volume has this very name and a valid ID.
      const std::u16string name = wide_volume_name(id);
      const Volume* named = first && first->name == name && is_valid_volume_id(id) ? first : nullptr;
      EXPECT_EQ(snap.find_by_name(name.c_str()), named) << id;
    }
    for (int t = 0; t < 8; ++t) {
      const std::string target = "/m" + std::to_string(t);
      EXPECT_EQ(snap.find_by_target(target), scan([&](const Volume& v) {
                  return std::find(v.targets.begin(), v.targets.end(), target) != v.targets.end();
                })) << target;
    }
    for (std::uint64_t dev = 0; dev < 6; ++dev) {
      const auto found = snap.volume_by_dev.find(dev, [](std::size_t) { return true; });
      const Volume* first = scan([&](const Volume& v) { return v.dev == dev; });
      EXPECT_EQ(found ? &snap.volumes[*found] : nullptr, first) << dev;
    }
  }
}

TEST(VolumeNames, ValidIdsAreWordCharactersAndHyphens) {
  EXPECT_TRUE(is_valid_volume_id("2f8e1c0a-77b3-4c1e-9d4e-0123456789ab"));
  EXPECT_TRUE(is_valid_volume_id("A1B2-C3D4"));
  EXPECT_TRUE(is_valid_volume_id("under_score"));
  EXPECT_FALSE(is_valid_volume_id(""));
  EXPECT_FALSE(is_valid_volume_id("a:b"));
  EXPECT_FALSE(is_valid_volume_id("a}b"));
  EXPECT_FALSE(is_valid_volume_id("a b"));
}

TEST(SerialNumbers, A32BitDeviceIsItsOwnSerial) {
  EXPECT_EQ(serial_from_device(0xfe00), 0xfe00u);
  EXPECT_EQ(serial_from_device(makedev(8, 17)), static_cast<std::uint32_t>(makedev(8, 17)));
  EXPECT_EQ(serial_from_device(0xFFFFFFFFull), 0xFFFFFFFFu);
}

TEST(SerialNumbers, WideDevicesFoldTheirHighHalf) {
  // Majors past 4095 put bits above 32 in dev_t: they still change the serial.
  const std::uint64_t wide = makedev(0x1000, 5);
  ASSERT_GT(wide, 0xFFFFFFFFull);
  EXPECT_NE(serial_from_device(wide), serial_from_device(makedev(0, 5)));
  EXPECT_EQ(serial_from_device((1ull << 32) | 5), 4u);
}

// ---- paths --------------------------------------------------------------------------

TEST(RootPaths, OneTrailingBackslashIsDropped) {
  EXPECT_EQ(normalise_root("/mnt/x\\"), "/mnt/x");
  EXPECT_EQ(normalise_root("/\\"), "/");
  EXPECT_EQ(normalise_root("/"), "/");
  EXPECT_EQ(normalise_root("/mnt/Données été\\"), "/mnt/Données été");
  // Only the one the module appends: a name may itself end in a backslash.
  EXPECT_EQ(normalise_root("/mnt/odd\\\\"), "/mnt/odd\\");
}

TEST(RootPaths, RedundantSeparatorsCollapse) {
  EXPECT_EQ(normalise_root("/mnt//x/./"), "/mnt/x");
  EXPECT_EQ(normalise_root("//"), "/");
  EXPECT_EQ(normalise_root("/./mnt/\\"), "/mnt");
}

TEST(RootPaths, DotDotIsLeftForTheKernelToWalk) {
  // Only the kernel knows where ".." leads past a symbolic link.
  EXPECT_EQ(normalise_root("/mnt/link/..\\"), "/mnt/link/..");
  EXPECT_EQ(normalise_path("/tmp/./../"), "/tmp/..");
  // As written, a backslash stays part of the name.
  EXPECT_EQ(normalise_path("/mnt/odd\\"), "/mnt/odd\\");
}

TEST(RootPaths, RelativeOrEmptyRootsAreRefused) {
  EXPECT_FALSE(normalise_root(""));
  EXPECT_FALSE(normalise_root("\\"));
  EXPECT_FALSE(normalise_root("mnt/x\\"));
  EXPECT_FALSE(normalise_root("C:\\"));
}

TEST(RootPaths, ContainmentFollowsWholeComponents) {
  EXPECT_TRUE(path_is_under("/mnt/x", "/mnt/x"));
  EXPECT_TRUE(path_is_under("/mnt/x/y", "/mnt/x"));
  EXPECT_FALSE(path_is_under("/mnt/xy", "/mnt/x"));
  EXPECT_TRUE(path_is_under("/anything", "/"));
  EXPECT_FALSE(path_is_under("/mnt", "/mnt/x"));
}

// ---- caller buffers -------------------------------------------------------------------

TEST(MultiStrings, EachPathTerminatedThenOneMoreNul) {
  const std::u16string ms = build_multi_string({u"/", u"/mnt/a b"});
  EXPECT_EQ(ms, std::u16string(u"/\0/mnt/a b\0\0", 12));
  EXPECT_EQ(build_multi_string({}), std::u16string(1, u'\0'));
}

TEST(MultiStrings, CopyNeedsRoomForTheTerminator) {
  WCHAR buf[8];
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_FALSE(copy_terminated(u"abcd", buf, 4));
  EXPECT_EQ(buf[0], u'#');  // nothing written on failure
  ASSERT_TRUE(copy_terminated(u"abcd", buf, 5));
  EXPECT_EQ(std::u16string(buf), u"abcd");
  EXPECT_EQ(buf[5], u'#');  // nothing past the terminator
  EXPECT_FALSE(copy_terminated(u"", nullptr, 10));
}

// ---- file-system classes ------------------------------------------------------------------

TEST(FsClasses, KernelInterfacesAreNotVolumes) {
  for (const char* t : {"proc", "sysfs", "cgroup", "cgroup2", "devpts", "securityfs", "debugfs",
                        "tracefs", "mqueue", "bpf", "pstore", "configfs", "fusectl", "hugetlbfs",
                        "autofs", "binfmt_misc", "nsfs"})
    EXPECT_TRUE(is_pseudo_fs(t)) << t;
  for (const char* t : {"ext4", "xfs", "btrfs", "tmpfs", "devtmpfs", "ramfs", "overlay",
                        "squashfs", "fuseblk", "fuse.fusefat", "nfs4", "vfat", "", "prox", "procs",
                        "Proc", "fuse.lxcfs2"})
    EXPECT_FALSE(is_pseudo_fs(t)) << t;
  EXPECT_FALSE(is_pseudo_fs("proc" + std::string(70, 'x'))) << "a long name is hashed, not taken";
}

TEST(FsClasses, RemoteAndFuseMayBlock) {
  for (const char* t : {"nfs", "nfs4", "cifs", "smb3", "fuse.sshfs", "9p", "ceph", "glusterfs"}) {
    EXPECT_TRUE(is_remote_fs(t)) << t;
    EXPECT_TRUE(may_block(t)) << t;
  }
  for (const char* t : {"fuse", "fuseblk", "fuse.fusefat"}) {
    EXPECT_TRUE(is_fuse_fs(t)) << t;
    EXPECT_TRUE(may_block(t)) << t;
  }
  for (const char* t : {"ext4", "tmpfs", "btrfs", "overlay", "fusectl"})
    EXPECT_FALSE(may_block(t)) << t;
}

TEST(FsNames, WindowsSpellingsForWindowsFormats) {
  EXPECT_EQ(windows_fs_name("vfat", "vfat", "FAT32"), "FAT32");
  EXPECT_EQ(windows_fs_name("vfat", "vfat", "FAT16"), "FAT");
  EXPECT_EQ(windows_fs_name("vfat", "vfat", "FAT12"), "FAT");
  EXPECT_EQ(windows_fs_name("exfat", "exfat", ""), "exFAT");
  EXPECT_EQ(windows_fs_name("ntfs3", "ntfs", ""), "NTFS");
  EXPECT_EQ(windows_fs_name("udf", "udf", ""), "UDF");
}

TEST(FsNames, FuseblkReportsTheProbedFormat) {
  EXPECT_EQ(windows_fs_name("fuseblk", "exfat", "1.0"), "exFAT");
  EXPECT_EQ(windows_fs_name("fuseblk", "ntfs", ""), "NTFS");
  EXPECT_EQ(windows_fs_name("fuseblk", "vfat", "FAT32"), "FAT32");
  EXPECT_EQ(windows_fs_name("fuseblk", "", ""), "fuseblk");  // probe found nothing
  EXPECT_EQ(windows_fs_name("fuseblk.fusefat", "vfat", "FAT32"), "FAT32");  // with a subtype
}

TEST(FsNames, FusefatIsReportedAsTheFatFamily) {
  EXPECT_EQ(windows_fs_name("fuse.fusefat", "", ""), "FAT");
}

TEST(FsNames, LinuxTypesKeepTheirNames) {
  EXPECT_EQ(windows_fs_name("ext4", "ext4", "1.0"), "ext4");
  EXPECT_EQ(windows_fs_name("tmpfs", "", ""), "tmpfs");
  EXPECT_EQ(windows_fs_name("btrfs", "btrfs", ""), "btrfs");
  EXPECT_EQ(windows_fs_name("fuse.sshfs", "", ""), "fuse.sshfs");
}

TEST(FsFlags, FatFamilyIsCaseInsensitive) {
  for (const char* fs : {"FAT", "FAT32", "exFAT"}) {
    const DWORD f = fs_flags(fs, false);
    EXPECT_FALSE(f & FILE_CASE_SENSITIVE_SEARCH) << fs;
    EXPECT_TRUE(f & FILE_CASE_PRESERVED_NAMES) << fs;
    EXPECT_TRUE(f & FILE_UNICODE_ON_DISK) << fs;
  }
}

TEST(FsFlags, LinuxFileSystemsAreCaseSensitive) {
  for (const char* fs : {"ext4", "tmpfs", "btrfs", "NTFS"}) {
    const DWORD f = fs_flags(fs, false);
    EXPECT_TRUE(f & FILE_CASE_SENSITIVE_SEARCH) << fs;
    EXPECT_TRUE(f & FILE_CASE_PRESERVED_NAMES) << fs;
  }
}

TEST(FsFlags, ReadOnlyIsReportedOnlyWhenReadOnly) {
  EXPECT_TRUE(fs_flags("ext4", true) & FILE_READ_ONLY_VOLUME);
  EXPECT_FALSE(fs_flags("ext4", false) & FILE_READ_ONLY_VOLUME);
  EXPECT_TRUE(fs_flags("exFAT", true) & FILE_READ_ONLY_VOLUME);
}

TEST(DriveTypes, ByFileSystemClass) {
  DiskFacts none;
  EXPECT_EQ(drive_type_for("nfs4", none), DRIVE_REMOTE);
  EXPECT_EQ(drive_type_for("fuse.sshfs", none), DRIVE_REMOTE);
  EXPECT_EQ(drive_type_for("tmpfs", none), DRIVE_RAMDISK);
  EXPECT_EQ(drive_type_for("ramfs", none), DRIVE_RAMDISK);
  EXPECT_EQ(drive_type_for("overlay", none), DRIVE_FIXED);
  EXPECT_EQ(drive_type_for("fuse.fusefat", none), DRIVE_UNKNOWN);
}

TEST(DriveTypes, ByDisk) {
  DiskFacts loop{true, "loop3", 7, false, false};
  EXPECT_EQ(drive_type_for("ext4", loop), DRIVE_FIXED);
  EXPECT_EQ(drive_type_for("fuseblk", loop), DRIVE_FIXED);
  DiskFacts sata{true, "sda", 8, false, false};
  EXPECT_EQ(drive_type_for("xfs", sata), DRIVE_FIXED);
  DiskFacts stick{true, "sdb", 8, true, false};
  EXPECT_EQ(drive_type_for("vfat", stick), DRIVE_REMOVABLE);
  DiskFacts usb_disk{true, "sdc", 8, false, true};
  EXPECT_EQ(drive_type_for("exfat", usb_disk), DRIVE_REMOVABLE);
  DiskFacts optical{true, "sr0", 11, true, false};
  EXPECT_EQ(drive_type_for("iso9660", optical), DRIVE_CDROM);
  EXPECT_EQ(drive_type_for("udf", optical), DRIVE_CDROM);
}

// ---- bounded worker -----------------------------------------------------------------------

TEST(BoundedCalls, AQuickCallReturnsItsValue) {
  auto r = run_bounded<int>([] { return 42; }, std::make_shared<Gate>());
  ASSERT_EQ(r.error, ERROR_SUCCESS);
  EXPECT_EQ(r.value, 42);
}

TEST(BoundedCalls, AThrowingCallFails) {
  auto r = run_bounded<int>([]() -> int { throw std::runtime_error("x"); }, nullptr);
  EXPECT_EQ(r.error, kWorkerFailed);
}

// A worker's gate is open again by the time its caller hears the answer: a
// caller that goes straight on to another task behind the same gate (the
// next build's probes, which claim without waiting) is admitted, not told
// that a device which has just answered does not. The task here takes its
// time to be let go of after it answered (what it holds is slow to free).
TEST(BoundedCalls, AGateIsOpenOnceItsWorkersAnswerIsIn) {
  struct SlowToFree {
    ~SlowToFree() { std::this_thread::sleep_for(300ms); }
  };
  const auto gate = std::make_shared<Gate>();
  auto held = std::make_shared<SlowToFree>();
  const auto pending =
      start_fanned_out<int>([held = std::move(held)] { return held ? 1 : 0; }, gate);
  ASSERT_TRUE(pending);
  ASSERT_TRUE(await_bounded(pending, BoundedClock::now() + 2s).ok());
  EXPECT_TRUE(gate->idle()) << "the gate is still held by a worker that has answered";
  const auto next = start_fanned_out<int>([] { return 2; }, gate);
  EXPECT_TRUE(next) << "a fan-out right after the answer was refused";
  if (next) await_bounded(next, BoundedClock::now() + 2s);
}

// A call that stays stuck until released, counting how often it started.
// Shared, so a worker abandoned by its caller may outlive the test's frame.
struct StuckCall {
  std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<int>> started = std::make_shared<std::atomic<int>>(0);

  std::function<int()> Blocker() const {
    return [release = release, started = started] {
      started->fetch_add(1);
      while (!release->load()) std::this_thread::sleep_for(5ms);
      return 1;
    };
  }
};

TEST(BoundedCalls, AStuckCallTimesOutAndGatesItsMount) {
  auto gate = std::make_shared<Gate>();
  StuckCall stuck;
  auto release = stuck.release;
  auto started = stuck.started;
  auto blocker = stuck.Blocker();
  const auto t0 = std::chrono::steady_clock::now();
  auto r = run_bounded<int>(blocker, gate, 100ms);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(r.error, ERROR_TIMEOUT);
  EXPECT_GE(waited, 100ms);
  EXPECT_LT(waited, 1s);
  EXPECT_TRUE(gate->stalled());

  // While the worker is stuck, a call on the same mount starts nothing.
  auto again = run_bounded<int>(blocker, gate, 5s);
  EXPECT_EQ(again.error, ERROR_TIMEOUT);
  EXPECT_EQ(started->load(), 1);

  // The worker returning later clears the gate; calls go through again.
  release->store(true);
  for (int i = 0; i < 200 && gate->stalled(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(gate->stalled());
  EXPECT_EQ(run_bounded<int>(blocker, gate, 1s).error, ERROR_SUCCESS);
}

TEST(BoundedCalls, ConcurrentCallersOnAStalledGateLeaveOneThreadBehind) {
  // Eight callers at once on one mount that stops answering: one worker is
  // admitted and stays stuck; the others wait for it within their own bound
  // and fail, starting nothing.
  auto gate = std::make_shared<Gate>();
  StuckCall stuck;
  auto release = stuck.release;
  auto started = stuck.started;
  auto blocker = stuck.Blocker();
  std::vector<std::thread> callers;
  std::atomic<int> timed_out{0};
  for (int i = 0; i < 8; ++i)
    callers.emplace_back([&] {
      if (run_bounded<int>(blocker, gate, 200ms).error == ERROR_TIMEOUT)
        timed_out.fetch_add(1);
    });
  for (auto& t : callers) t.join();
  EXPECT_EQ(timed_out.load(), 8);
  EXPECT_EQ(started->load(), 1);
  release->store(true);
}

TEST(BoundedCalls, GatesAreOnePerMountAndPerDevice) {
  EXPECT_EQ(gate_for(GateKind::Mount, 123456), gate_for(GateKind::Mount, 123456));
  EXPECT_NE(gate_for(GateKind::Mount, 123456), gate_for(GateKind::Mount, 123457));
  EXPECT_NE(gate_for(GateKind::Mount, 123456), gate_for(GateKind::Device, 123456));
}

// ---- UTF-8 <-> UTF-16 at the edges of each form --------------------------------
// A boundary between two forms off by one writes a code point in a form one
// byte short (which reads back as another character) or refuses it; a lead
// byte mask one bit too wide takes F9-FF for four-byte leads.

TEST(TextConversionEdges, EachFormsFirstAndLastCodePointsRoundTripInTheirOwnLength) {
  struct Case {
    std::u16string utf16;
    std::string utf8;
  };
  for (const Case& c : std::vector<Case>{
           {{0x007F}, "\x7F"},
           {{0x0080}, "\xC2\x80"},
           {{0x07FF}, "\xDF\xBF"},
           {{0x0800}, "\xE0\xA0\x80"},
           {{0xFFFF}, "\xEF\xBF\xBF"},
           {{0xD800, 0xDC00}, "\xF0\x90\x80\x80"},  // U+10000
           {{0xD800, 0xDC01}, "\xF0\x90\x80\x81"},
       }) {
    const std::string shown = ::testing::PrintToString(c.utf8);
    EXPECT_EQ(utf16_to_utf8(c.utf16).value_or("<refused>"), c.utf8) << shown;
    EXPECT_EQ(utf8_to_utf16(c.utf8).value_or(u"<refused>"), c.utf16) << shown;
  }
  // The last code point of each form written in the next longer one is
  // refused: each form's lower bound is exact.
  for (const char* overlong : {"\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF"})
    EXPECT_FALSE(utf8_to_utf16(overlong)) << "accepted: " << ::testing::PrintToString(overlong);
}

TEST(TextConversionEdges, LeadBytesF5ToFFStartNoSequence) {
  // Followed by continuation bytes that would complete a four-byte sequence:
  // with F9-FF taken as four-byte leads, F9 80 80 80 reads as U+40000 and
  // FC 80 80 80 as U+100000 (F8's low bits are zero, so F8 alone would only
  // give an overlong form, which is refused anyway).
  for (int lead = 0xF5; lead <= 0xFF; ++lead) {
    for (const std::string tail : {"\x80\x80\x80", "\x8F\xBF\xBF", "\x80\x80\x80\x80"}) {
      const std::string bytes = std::string(1, static_cast<char>(lead)) + tail;
      const std::string shown = ::testing::PrintToString(bytes);
      EXPECT_FALSE(utf8_to_utf16(bytes)) << "accepted: " << shown;
      // Each byte, lead and continuations alike, is one replacement.
      EXPECT_EQ(utf8_to_utf16_lossy(bytes), std::u16string(bytes.size(), u'\uFFFD')) << shown;
    }
  }
}

// ---- a table's mount points against mountinfo read again --------------------------

namespace {

// A mountinfo file of `lines` in a file of its own; its path.
std::string mountinfo_file(const std::string& lines) {
  char path[] = "/tmp/k32l-mountinfo-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  const bool written = write(fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
  close(fd);
  return written ? path : "";
}

MountEntry entry_at(std::uint64_t id, std::string target) {
  MountEntry e;
  e.id = id;
  e.target = std::move(target);
  return e;
}

}  // namespace

// The kernel's escapes are read back ("\040": a blank); any other mount
// point, mount ID, order or number of lines means the text changed, and so
// does a file that cannot be read.
TEST(MountPointText, HoldsOnlyForTheSameMountsAtTheSameMountPoints) {
  const MountPointText text({entry_at(21, "/"), entry_at(35, "/srv/a b")});
  const auto holds = [&](const std::string& lines) {
    const std::string path = mountinfo_file(lines);
    const bool held = text.still_holds(path.c_str());
    unlink(path.c_str());
    return held;
  };
  const std::string root = "21 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
  EXPECT_TRUE(holds(root + "35 21 0:40 / /srv/a\\040b rw - tmpfs t rw\n"));
  EXPECT_FALSE(holds(root + "35 21 0:40 / /srv/b rw - tmpfs t rw\n")) << "renamed above";
  EXPECT_FALSE(holds(root + "36 21 0:40 / /srv/a\\040b rw - tmpfs t rw\n")) << "another mount";
  EXPECT_FALSE(holds("35 21 0:40 / /srv/a\\040b rw - tmpfs t rw\n" + root)) << "reordered";
  EXPECT_FALSE(holds(root)) << "a mount gone";
  EXPECT_FALSE(holds(root + "35 21 0:40 / /srv/a\\040b rw - tmpfs t rw\n" + root)) << "one more";
  EXPECT_FALSE(text.still_holds("/nonexistent/mountinfo"));
}
