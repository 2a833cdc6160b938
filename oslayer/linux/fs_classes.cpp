// Classification of file-system types: which are volumes, what Windows
// calls them and what kind of drive holds them.
#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <unordered_set>

#include "fs_classes.h"

namespace k32l {

namespace {

// A set of type names, looked up by hash: every mount of a table is
// classified each time the table is read, most often as none of a set. A
// name whose first byte and length no member has is turned away before
// it is hashed.
class TypeSet {
 public:
  TypeSet(std::initializer_list<std::string_view> names) : names_(names) {
    for (std::string_view name : names) lengths_[first_byte(name)] |= length_bit(name.size());
  }
  bool has(std::string_view value) const {
    if (value.empty() || !(lengths_[first_byte(value)] & length_bit(value.size()))) return false;
    return names_.count(value) != 0;
  }

 private:
  static unsigned char first_byte(std::string_view name) {
    return name.empty() ? 0 : static_cast<unsigned char>(name.front());
  }
  // Lengths from 63 up share the last bit (they are then hashed).
  static std::uint64_t length_bit(std::size_t length) {
    return std::uint64_t{1} << std::min<std::size_t>(length, 63);
  }

  std::unordered_set<std::string_view> names_;
  std::array<std::uint64_t, 256> lengths_{};  // by first byte: a bit per length
};

bool one_of(std::string_view value, std::initializer_list<std::string_view> set) {
  return std::find(set.begin(), set.end(), value) != set.end();
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// "fuse.sshfs" -> "sshfs"; other types come back unchanged.
std::string_view fuse_subtype(std::string_view fstype) {
  return starts_with(fstype, "fuse.") ? fstype.substr(5) : fstype;
}

// Built when the library is loaded, so no first use is guarded (a fork
// could not interrupt one).

// Kernel interfaces and helper mounts, as df leaves them out: they hold no
// user files and report no capacity. tmpfs, devtmpfs, ramfs, overlay and
// squashfs are data file systems and stay volumes.
const TypeSet kPseudoTypes{
    "proc", "sysfs", "cgroup", "cgroup2", "cpuset", "devpts", "securityfs", "debugfs",
    "tracefs", "mqueue", "bpf", "pstore", "configfs", "fusectl", "hugetlbfs", "autofs",
    "binfmt_misc", "nsfs", "rpc_pipefs", "nfsd", "efivarfs", "selinuxfs", "smackfs",
    "apparmorfs", "sockfs", "pipefs", "anon_inodefs", "rootfs", "devfs", "kernfs", "subfs",
    "ignore", "resctrl", "binder", "dmabuf", "xenfs", "openpromfs", "usbfs", "ipathfs",
    "spufs", "dlmfs", "fuse.portal", "fuse.gvfsd-fuse", "fuse.gvfs-fuse-daemon",
    "fuse.lxcfs", "fuse.xdg-document-portal"};

const TypeSet kRamTypes{"tmpfs", "ramfs", "devtmpfs"};

// Kernel file systems on a block (or flash) device of this machine.
const TypeSet kBlockTypes{
    "ext2", "ext3", "ext4", "ext4dev", "xfs", "btrfs", "f2fs", "jfs", "reiserfs", "nilfs2",
    "bcachefs", "vfat", "msdos", "fat", "exfat", "ntfs", "ntfs3", "hfs", "hfsplus", "iso9660",
    "udf", "squashfs", "erofs", "cramfs", "romfs", "minix", "ufs", "sysv", "qnx4", "qnx6",
    "befs", "affs", "adfs", "efs", "hpfs", "omfs", "bfs", "freevxfs", "zonefs", "jffs2",
    "ubifs"};

const TypeSet kRemoteTypes{
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "9p", "ceph", "glusterfs",
    "lustre", "coda", "davfs", "ocfs2", "gfs2", "orangefs", "fuse.sshfs", "sshfs",
    "fuse.glusterfs", "fuse.ceph-fuse", "fuse.s3fs", "fuse.rclone", "fuse.davfs",
    "fuse.curlftpfs", "fuse.gcsfuse", "fuse.afpfs", "fuse.smbnetfs"};

}  // namespace

bool is_pseudo_fs(std::string_view t) { return kPseudoTypes.has(t); }

bool is_ram_fs(std::string_view t) { return kRamTypes.has(t); }

bool is_remote_fs(std::string_view t) { return kRemoteTypes.has(t); }

bool is_fuse_fs(std::string_view t) {
  return t == "fuse" || t == "fuseblk" || starts_with(t, "fuse.") || starts_with(t, "fuseblk.");
}

bool is_local_fs(std::string_view t) {
  if (kBlockTypes.has(t) || kRamTypes.has(t)) return true;
  return kPseudoTypes.has(t) && !is_fuse_fs(t) && t != "autofs";
}

bool options_name_layers(std::string_view t) { return t == "overlay"; }

bool kernel_reports_renames(long magic) {
  // linux/magic.h and the file systems' own sources.
  switch (static_cast<unsigned long>(magic) & 0xffffffffUL) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0xF2F52010:  // f2fs
    case 0xCA451A4E:  // bcachefs
    case 0x3153464A:  // jfs
    case 0x52654973:  // reiserfs
    case 0x4D44:      // vfat, msdos
    case 0x2011BAB0:  // exfat
    case 0x7366746E:  // ntfs3
    case 0x482B:      // hfsplus
    case 0x01021994:  // tmpfs, devtmpfs
    case 0x858458F6:  // ramfs
    case 0x794C7630:  // overlay
    case 0x73717368:  // squashfs (renames nothing)
    case 0xE0F5E1E2:  // erofs (renames nothing)
    case 0x9660:      // iso9660 (renames nothing)
      return true;
    default:
      return false;
  }
}

std::string windows_fs_name(std::string_view mount_type, std::string_view probed_type,
                            std::string_view probed_version) {
  // A FUSE driver of a block device (fuseblk) says nothing about the format:
  // the probe of the device does.
  std::string_view type = mount_type;
  const bool of_block_device = mount_type == "fuseblk" || starts_with(mount_type, "fuseblk.");
  if (of_block_device && !probed_type.empty()) type = probed_type;
  const std::string_view sub = fuse_subtype(type);

  if (one_of(sub, {"vfat", "msdos", "fat", "fusefat", "fat32", "fat16", "fat12"})) {
    // The probe tells the FAT version; without it (fusefat serves an image
    // the mount table does not name) only the family is known.
    if (probed_version == "FAT32" || sub == "fat32") return "FAT32";
    return "FAT";
  }
  if (one_of(sub, {"exfat"})) return "exFAT";
  if (one_of(sub, {"ntfs", "ntfs3", "ntfs-3g"})) return "NTFS";
  if (one_of(sub, {"refs"})) return "ReFS";
  if (one_of(sub, {"udf"})) return "UDF";
  if (one_of(sub, {"iso9660"})) return "CDFS";
  return std::string(type);
}

DWORD fs_flags(std::string_view fs_name, bool read_only) {
  DWORD flags = read_only ? FILE_READ_ONLY_VOLUME : 0;
  if (fs_name == "FAT" || fs_name == "FAT32" || fs_name == "exFAT") {
    // Long names are stored in UTF-16 with their case, but looked up
    // without regard to case.
    flags |= FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  } else if (fs_name == "CDFS") {
    // Name case and character set depend on extensions (Joliet, Rock
    // Ridge) the mount does not show.
    flags |= FILE_CASE_PRESERVED_NAMES;
  } else {
    flags |= FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  }
  return flags;
}

UINT drive_type_for(std::string_view fstype, const DiskFacts& disk) {
  if (is_remote_fs(fstype)) return DRIVE_REMOTE;
  if (is_ram_fs(fstype)) return DRIVE_RAMDISK;
  if (disk.has_device) {
    // 11 is the SCSI CD-ROM major (sr*).
    if (disk.disk_major == 11 || starts_with(disk.disk_name, "sr")) return DRIVE_CDROM;
    if (disk.removable || disk.on_usb) return DRIVE_REMOVABLE;
    return DRIVE_FIXED;
  }
  // An overlay stacks directories of local file systems.
  if (fstype == "overlay") return DRIVE_FIXED;
  return DRIVE_UNKNOWN;
}

}  // namespace k32l
