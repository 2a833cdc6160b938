// What the k32l_fragmentfs test server reports from statfs, shared with the
// test that mounts it. Every figure differs from the others, so that a
// capacity in the wrong unit or from the wrong count shows.
#pragma once

#include <cstdint>

namespace k32l_fragmentfs {

constexpr std::uint64_t kBlockSize = 65536;
constexpr std::uint64_t kFragmentSize = 1024;
constexpr std::uint64_t kBlocks = 3000;
constexpr std::uint64_t kFreeBlocks = 1700;
constexpr std::uint64_t kAvailableBlocks = 1100;
constexpr std::uint64_t kNameMax = 200;

}  // namespace k32l_fragmentfs
