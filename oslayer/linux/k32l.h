// Internal interface of the Linux provider: the pure pieces (text, names,
// classification tables) and the mount-table snapshot the calls answer from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kernel32.h"

// Codes Windows uses that the shared header does not define.
#ifndef ERROR_DIR_NOT_ROOT
#define ERROR_DIR_NOT_ROOT 144u
#endif
#ifndef ERROR_FILENAME_EXCED_RANGE
#define ERROR_FILENAME_EXCED_RANGE 206u
#endif

namespace k32l {

// ---- text ---------------------------------------------------------------

// Strict conversions: malformed UTF-8 (bad lead or continuation bytes,
// truncated or overlong sequences, encoded surrogates, code points past
// U+10FFFF) and unpaired UTF-16 surrogates give nullopt.
std::optional<std::u16string> utf8_to_utf16(std::string_view utf8);
std::optional<std::string> utf16_to_utf8(std::u16string_view utf16);
// For free text such as labels: each malformed byte becomes U+FFFD.
std::u16string utf8_to_utf16_lossy(std::string_view utf8);

// Longest argument text accepted from a caller, in UTF-16 units; Windows'
// own limit for extended-length paths.
constexpr std::size_t kMaxArgumentChars = 32767;
// Reads a caller's NUL-terminated UTF-16 argument; nullopt when it has no
// terminator within kMaxArgumentChars units.
std::optional<std::u16string> read_argument(const WCHAR* text);

// ---- volume names -------------------------------------------------------

// "\\?\Volume{" ID "}\" around an ID made of ASCII letters, digits, '_', '-'.
bool is_valid_volume_id(std::string_view id);
std::string format_volume_name(std::string_view id);

enum class NameParse { NotAVolumeName, Malformed, Ok };
struct ParsedName {
  NameParse status;
  std::string id;  // set when status == Ok
};
// Text starting with "\\?\" is meant as a volume name; the closing
// backslash is optional unless require_trailing_backslash.
ParsedName parse_volume_name(std::string_view text, bool require_trailing_backslash);

// IDs compare like Windows GUIDs: ASCII case-insensitively.
bool same_volume_id(std::string_view a, std::string_view b);

// ID of a volume whose file system has no usable UUID: the whole 64-bit
// device number in the last two GUID groups, so it is stable for as long as
// the file system stays mounted.
std::string device_volume_id(std::uint64_t dev);

// The volume serial number for a device number: a dev_t that fits 32 bits is
// its own serial; a wider one folds its high half onto the low half with XOR.
std::uint32_t serial_from_device(std::uint64_t dev);

// ---- paths ----------------------------------------------------------------

// An absolute path with "//" and "." components collapsed and trailing
// slashes dropped; ".." is kept (only the kernel's walk can tell where it
// leads). Relative or empty text gives nullopt.
std::optional<std::string> normalise_path(std::string_view path);
// A mount root as the module passes it: one trailing backslash dropped (the
// module appends one to every path), then normalise_path.
std::optional<std::string> normalise_root(std::string_view path);

// Whether mount target `target` holds `path` (both normalised, absolute).
bool path_is_under(std::string_view path, std::string_view target);

// ---- caller buffers -------------------------------------------------------

// Each string NUL-terminated, then one more NUL; no strings gives one NUL.
std::u16string build_multi_string(const std::vector<std::u16string>& items);

// Copies `text` plus its NUL when `capacity` (in units) holds both.
bool copy_terminated(std::u16string_view text, WCHAR* buffer, std::size_t capacity);

// ---- file-system classes --------------------------------------------------

// Kernel and helper file systems that hold no user data: never volumes.
bool is_pseudo_fs(std::string_view fstype);
bool is_ram_fs(std::string_view fstype);
bool is_remote_fs(std::string_view fstype);
bool is_fuse_fs(std::string_view fstype);
// Remote and FUSE file systems may leave stat/statvfs blocked forever.
bool may_block(std::string_view fstype);

// The name GetVolumeInformation reports. mount_type comes from the mount
// table; probed_type/probed_version from probing the backing device (empty
// when there is none or the probe found nothing).
std::string windows_fs_name(std::string_view mount_type, std::string_view probed_type,
                            std::string_view probed_version);
// Case and Unicode flags for a file system reported as `fs_name`.
DWORD fs_flags(std::string_view fs_name, bool read_only);

// What is known about the disk under a block-backed volume.
struct DiskFacts {
  bool has_device = false;     // a block device backs the volume
  std::string disk_name;       // whole-disk kernel name, e.g. "sda", "sr0", "loop3"
  unsigned disk_major = 0;
  bool removable = false;      // sysfs "removable" of the whole disk
  bool on_usb = false;         // the disk sits on a USB bus
};
UINT drive_type_for(std::string_view fstype, const DiskFacts& disk);

// ---- the mount-table snapshot ---------------------------------------------

// One line of a mount table, as libmount reads it.
struct MountEntry {
  std::string target, source, fstype;
  std::string root;         // the directory of the file system mounted there ("/": its root)
  std::uint64_t devno = 0;  // major:minor as the mount table gives it
  std::uint64_t id = 0;     // the mount's ID
};

// What statx says of a path (may block: call it on a bounded worker).
struct PathIdentity {
  int error = 0;             // errno of a failed statx
  bool mount_known = false;  // the kernel reported the mount ID
  std::uint64_t mount_id = 0;
  std::uint64_t dev = 0;     // st_dev of the file
  bool is_directory = false;
};
PathIdentity identify_path(const std::string& path);
// The ID of the mount an open descriptor's file is on, read from /proc
// without touching that file system; nullopt when /proc does not say.
std::optional<std::uint64_t> descriptor_mount_id(int fd);

// The entries of a mountinfo file (libmount); empty when it cannot be read.
// Entries without a target are left out.
std::vector<MountEntry> parse_mount_table(const char* path);

// Which entries count: a later mount on a target hides the earlier ones
// there; of the visible ones, data file systems may be volumes and the rest
// (kernel pseudo file systems) never are. Indices in mount-table order.
struct EntryClasses {
  std::vector<std::size_t> data;
  std::vector<std::size_t> other;
};
EntryClasses classify_entries(const std::vector<MountEntry>& entries);

struct Volume {
  std::string id;                    // goes between the braces of the name
  std::u16string name;               // \\?\Volume{id}\ in UTF-16
  std::uint64_t dev = 0;             // st_dev of the mounted root
  bool dev_verified = false;         // false: statx of the root did not answer in time
  std::uint64_t table_devno = 0;     // major:minor in the mount table
  std::string fstype;                // mount-table type
  std::string source;                // mount-table source
  std::string device;                // block device to probe, empty if none
  DiskFacts disk;
  UINT drive_type = DRIVE_UNKNOWN;
  std::uint64_t rdev = 0;            // number of `device`, 0 if none
  std::vector<std::string> targets;  // mount points, mount-table order
  std::string reach;                 // a mount of it for statvfs (may be no mount point)
  // The targets as GetVolumePathNamesForVolumeName writes them (set by
  // Snapshot::add_volume): each valid UTF-8 target in UTF-16, NUL-terminated,
  // then one more NUL. Targets that are not valid UTF-8 are left out.
  std::u16string path_names;
};

struct Snapshot {
  std::vector<Volume> volumes;
  // Visible mount points of file systems that are not volumes (/proc ...).
  std::vector<std::string> other_targets;
  // Every visible mount point with the device number to gate blocking calls
  // under it, for mapping arbitrary paths to the mount that holds them.
  std::vector<std::pair<std::string, std::uint64_t>> all_targets;
  // Visible mount points of file systems whose calls may block forever
  // (network, FUSE, automount): a path under none of them resolves on local
  // file systems alone.
  std::vector<std::string> blocking_targets;
  // The ID folded to ASCII lower case -> position of the first volume with
  // that ID, for the volumes added through add_volume; find_by_id then costs
  // one hash lookup instead of a scan (a refresh looks up every volume).
  std::unordered_map<std::string, std::size_t> id_index;
  std::size_t indexed_volumes = 0;
  // Mount point -> position of the first volume listing it, for the same
  // volumes: find_by_target then costs one hash look-up.
  std::unordered_map<std::string, std::size_t> target_index;
  // Mount ID -> device number of every mount in the table (the gate of calls
  // on a descriptor), and -> position of the volume it belongs to.
  std::unordered_map<std::uint64_t, std::uint64_t> devno_by_mount;
  std::unordered_map<std::uint64_t, std::size_t> volume_by_mount;

  void add_volume(Volume volume);
  // Whether reaching `absolute_path` crosses a mount whose calls may block.
  bool path_may_block(std::string_view absolute_path) const;
  const Volume* find_by_id(std::string_view id) const;
  const Volume* find_by_target(std::string_view normalised_path) const;
  const Volume* find_by_mount(std::uint64_t mount_id) const;
  // Device number of the mount whose target is the longest prefix of `path`.
  std::uint64_t gate_key_for(std::string_view absolute_path) const;
  bool is_other_target(std::string_view normalised_path) const;
};

// The snapshot for the mount table as it is now, in the calling thread's
// mount namespace: re-read only when the kernel has flagged a change on the
// descriptor this process watches for that namespace.
std::shared_ptr<const Snapshot> current_snapshot();
// How often the mount table has been read so far in this process.
std::uint64_t mount_table_reads();

// Checks at once, under one deadline, that every volume's device and every
// mount that may block answer: one that does not has its gate shut before
// the calls of a refresh reach it one after another.
void check_volumes_answer(const Snapshot& snap);

// Result of probing a device with libblkid's low-level prober.
struct ProbeResult {
  bool found = false;
  std::string type, version, label, uuid;
};
// A caller who may not open the device gets what the system publishes
// about it instead (published_device_facts).
ProbeResult probe_device(const std::string& device, std::uint64_t rdev);
// False when the caller may not read the device node (the permission check
// that opening it would make refuses): probe_device then reads only what
// the system publishes, which never waits on the device, so it needs no
// bounded worker and no answer check.
bool may_read_device(const std::string& device);
// What the udev database, or failing that libblkid's cache, says of a device.
ProbeResult published_device_facts(const std::string& device, std::uint64_t rdev);

}  // namespace k32l
