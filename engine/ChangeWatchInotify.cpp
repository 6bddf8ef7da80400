// The key-file cache's watch on Linux: inotify on the folder, the folders
// above it and each file read.

#include "engine/ChangeWatch.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace fileio {

namespace {

// What makes a round go back to stat(): for the folder, names coming and
// going (the name filter keeps other files out); for each file, any change
// to it under whatever name; for the folders above, being moved or removed.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;
constexpr uint32_t kParentEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// File systems whose every change passes through this machine's kernel.
bool LocalFileSystem(long type) {
    switch (type) {
    case EXT4_SUPER_MAGIC: // also ext2 and ext3
    case TMPFS_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

bool ChangeWatch::NextRound() {
    bool changed = m_notify < 0;
    bool lost = false;
    alignas(struct inotify_event) char buffer[4096];
    while (m_notify >= 0 && !lost) {
        const ssize_t got = ::read(m_notify, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (got <= 0) {
            changed = lost = true;
            break;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            at += ssize_t(sizeof(struct inotify_event) + event->len);
            const bool self =
                event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT);
            if (event->wd == m_folderWatch && !self) {
                // Other files in the folder do not matter.
                const std::string name = event->len ? std::string(event->name) : std::string();
                const std::size_t start = m_folder == "/" ? 1 : m_folder.size() + 1;
                for (const Slot& s : m_slots)
                    if (FolderOf(s.path) == m_folder &&
                        s.path.compare(start, s.path.npos, name) == 0)
                        changed = true;
                continue;
            }
            changed = true;
            if (event->wd == m_folderWatch || (event->mask & IN_Q_OVERFLOW) ||
                std::find(m_parentWatches.begin(), m_parentWatches.end(), event->wd) !=
                    m_parentWatches.end())
                lost = true;
            else if (event->mask & IN_IGNORED)
                for (Slot& s : m_slots)
                    if (s.watch == event->wd)
                        s.watch = -1; // the file is gone; a new one gets a new watch
        }
    }
    if (lost)
        Clear();
    return !changed;
}

bool ChangeWatch::WatchFolder(const std::string& folder) {
    if (m_notify >= 0)
        return folder == m_folder;
    if (m_refused)
        return false;
    const auto refuse = [this] {
        Clear();
        m_refused = true;
        return false;
    };
    // Only a path without links: the watches hold on to the folders it
    // names, and a link elsewhere could be turned without a report here.
    char* real = folder.empty() || folder[0] != '/' ? nullptr : ::realpath(folder.c_str(), nullptr);
    const bool plain = real && folder == real;
    std::free(real);
    struct statfs fs {};
    if (!plain || ::statfs(folder.c_str(), &fs) != 0 || !LocalFileSystem(long(fs.f_type)))
        return refuse();
    m_notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_notify < 0)
        return refuse();
    m_folderWatch = ::inotify_add_watch(m_notify, folder.c_str(), kFolderEvents);
    if (m_folderWatch < 0)
        return refuse();
    for (std::string up = folder; up != "/";) {
        up = FolderOf(up);
        const int watch = ::inotify_add_watch(m_notify, up.c_str(), kParentEvents);
        if (watch < 0)
            return refuse();
        m_parentWatches.push_back(watch);
    }
    m_folder = folder;
    return true;
}

bool ChangeWatch::Watch(int slot, const std::string& path, struct ::stat& st,
                        std::uint64_t& statCalls) {
    Slot& s = m_slots[slot];
    s.path = path;
    if (!S_ISREG(st.st_mode) || !WatchFolder(FolderOf(path)))
        return false;
    if (s.watch >= 0 && s.device == std::uint64_t(st.st_dev) && s.inode == std::uint64_t(st.st_ino))
        return true;
    s.watch = ::inotify_add_watch(m_notify, path.c_str(), kFileEvents);
    if (s.watch < 0)
        return false;
    // The watch holds whatever file stood there when it was placed; the stat
    // data must be of that file, or of one that replaced it since (which the
    // folder's watch reports).
    ++statCalls;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        s.watch = -1;
        return false;
    }
    s.device = std::uint64_t(st.st_dev);
    s.inode = std::uint64_t(st.st_ino);
    return true;
}

void ChangeWatch::Clear() {
    if (m_notify >= 0)
        ::close(m_notify);
    m_notify = -1;
    m_folderWatch = -1;
    m_parentWatches.clear();
    m_folder.clear();
    for (Slot& s : m_slots)
        s.watch = -1;
}

} // namespace fileio
