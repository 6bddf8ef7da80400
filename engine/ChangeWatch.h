#pragma once

// What makes the key-file cache (FileCache) cheaper where the system reports
// changes to files: with the folder, the folders above it and each file read
// under watch, a round of look-ups in which nothing was reported can hand out
// what it read before without asking the file system. Elsewhere (and where a
// watch cannot be trusted) nothing is watched and every look-up asks.
//
// A watch is not placed on paths that pass through a symbolic link, on files
// that are links, or on file systems where other machines may write (network
// folders), since changes there can go unreported. Writes through a memory
// mapping are not reported either; nothing writes key files that way.

#include <cstdint>
#include <string>
#include <vector>

struct stat;

namespace fileio {

class ChangeWatch {
public:
    static constexpr int kSlots = 8;

    ChangeWatch() = default;
    ~ChangeWatch() { Clear(); }
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    // Takes what was reported since the previous round. True when nothing
    // concerned the watched files, so that each file watched since its last
    // read is unchanged; false where nothing is watched.
    bool NextRound();
    // Puts the regular file `path` of `slot`, whose lstat() data is `st`,
    // under watch; false when it cannot be watched. When a new watch is
    // placed, `st` is looked up again (counted in `statCalls`), so that it
    // describes the file the watch holds.
    bool Watch(int slot, const std::string& path, struct ::stat& st, std::uint64_t& statCalls);
    // Removes every watch.
    void Clear();

private:
    bool WatchFolder(const std::string& folder);

    struct Slot {
        std::string path;
        int watch = -1; // the watch on the file of device/inode below
        std::uint64_t device = 0, inode = 0;
    };
    Slot m_slots[kSlots];
    int m_notify = -1;
    bool m_refused = false; // watching failed or cannot be trusted: not tried again
    std::string m_folder;   // the one folder watched
    int m_folderWatch = -1;
    std::vector<int> m_parentWatches;
};

} // namespace fileio
