// "Which volume is this?": the one place that decides, from the kernel's
// numbers (mount IDs, device numbers). A path (a mount point, a mount's
// source) is only a way to reach them, used once the numbers it leads to
// are checked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mount_identity.h"
#include "mount_table.h"
#include "outcome.h"
#include "raii.h"

struct stat;

namespace k32l {

// ---- mounts -------------------------------------------------------------------------

// Gives each entry of a mount table just read the unique ID of its mount,
// where the kernel has unique IDs: the ID of the mount with the entry's
// 32-bit ID, device number, root and mount point. An entry whose mount went
// away meanwhile gets none, and is no mount the kernel shows any more.
void identify_mounts(std::vector<MountEntry>& entries);
// The mount table of the caller's view (its mountinfo file: `path`) with
// every entry identified: as the kernel describes each of its mounts, with
// its unique ID, where statmount gives all an entry holds; otherwise the
// file read with libmount and its entries identified by identify_mounts.
Outcome<std::vector<MountEntry>> read_identified_table(const char* path);
// The kind of mount ID the entries are told apart by, and statx is asked
// for: the unique one once identify_mounts found any.
MountIdKind compared_by(const std::vector<MountEntry>& entries);

// Whether `seen`, what statx of the entry's target found, is on the entry's
// very mount: their unique IDs are equal, or, where the kernel has none,
// their 32-bit IDs are (a table read again when it changed while it was
// looked at proves these: see snapshot_cache.cpp).
bool is_this_mount(const MountEntry& e, const PathIdentity& seen);

// How a mount-table entry stands after the statx of its mount point.
struct Standing {
  bool listed = false;      // a volume's mount: reachable, or not known to be hidden
  bool verified = false;    // statx landed on this very mount
  std::uint64_t dev = 0;    // st_dev of its root (verified) or the table's number
  bool is_file = false;     // the mount is of a single file
};
// `seen`: what statx of its target found (null: no answer in time);
// `last_at_target`: no later entry of the table is mounted on its target.
Standing standing_of(const MountEntry& e, const PathIdentity* seen, bool last_at_target);

// The ID of the mount the file of descriptor `fd` is on, from statx of the
// descriptor (else /proc), never asking the file's file system:
// ERROR_INVALID_HANDLE when `fd` is not open, ERROR_UNRECOGNIZED_VOLUME
// when /proc does not say. It is the 32-bit ID, which is enough here: the
// descriptor holds its mount, so the ID is not handed out again while it is
// open, and it is looked up in the snapshot of the table as it is now.
Outcome<std::uint64_t> mount_of_descriptor(int fd);

// ---- devices ------------------------------------------------------------------------

// The block device under a mount: the device of its mount-table number,
// reached through the name the system gives that number, else through the
// mount's source when that node is this very device. The source of a mount
// whose table number is an anonymous one is text its mounter chose (a FUSE
// server's, a tmpfs's, whatever they are given): it names a device only
// where the file system itself reports being on that device (btrfs, whose
// superblock has no single device: `reported`, see fs_devices.h).
struct DeviceNode {
  std::string path;        // device node to probe, empty if none found
  std::uint64_t rdev = 0;  // block device number, 0 if none
  // errno of a look-up that failed for want of descriptors or memory, so
  // no node was found although there may be one (0 otherwise).
  int error = 0;
};
// `source_node`: what the source names, as the caller looked at it without
// blocking (null: the source is no path, or it was not reached so): the
// source is the mounter's text, and a link or ".." in it may lead into a
// mount that never answers, however the text reads.
DeviceNode find_device(const std::string& source, const struct stat* source_node,
                       std::uint64_t devno, const std::vector<std::uint64_t>& reported);

// Opens device node `path` for reading, without waiting on the device, only
// if it is block device `rdev` now; otherwise an invalid descriptor, with
// errno set (EACCES: the caller may not read it; ENODEV: the node names
// another device now).
UniqueFd open_device(const std::string& path, std::uint64_t rdev);

// Whether the kernel, asked about the file system whose mounted root is the
// file of descriptor `mounted_root` (whose st_dev is `dev`), reports a UUID
// that is not `uuid`: then facts kept about the device from before (udev's
// database, libblkid's cache) describe another file system. False where the
// kernel reports no UUID, `uuid` is not one of 16 bytes, or the root is not
// on `dev`. Opens the root: only for a mount whose calls cannot block.
bool uuid_contradicted(std::string_view uuid, int mounted_root, std::uint64_t dev);

// ---- names --------------------------------------------------------------------------

// The ID of a volume (what goes between the braces of its name): the file
// system's UUID, with the device number appended for a subvolume (its own
// st_dev `dev` beside the file system's `table_devno`) or when the ID is
// `taken`; the device number alone without a usable UUID.
std::string volume_id(std::string_view uuid, std::uint64_t dev, std::uint64_t table_devno,
                      const std::function<bool(std::string_view)>& taken);

// What names one volume of a snapshot.
struct NamingFacts {
  std::string uuid;  // of its file system; empty when unknown
  std::uint64_t dev = 0, table_devno = 0;
};
// The IDs of all volumes of a snapshot, whatever their order: of clones
// (volumes whose UUID is the same, as for a copied image), the one with the
// lowest device number keeps the plain UUID and the others get their device
// numbers appended, so a clone's name does not change while the clones
// mounted stay the same.
std::vector<std::string> volume_ids(const std::vector<NamingFacts>& volumes);

// How mount point `target` is listed (GetVolumePathNamesForVolumeName):
// as it is, or, where that text passed back would name another mount
// point (`a\` beside `a`: a trailing backslash is read as the root marker
// first), with the root marker appended (`a\\`), which names it alone.
std::string listed_mount_point(const std::string& target,
                               const std::function<bool(std::string_view)>& is_mount_point);

}  // namespace k32l
