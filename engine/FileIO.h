#pragma once

// Small file helpers for the engine's working files. Every function returns
// 0 on success or an errno-style code; Describe() turns the code into words.

#include <cstdint>
#include <string>

#include "engine/ChangeWatch.h"

namespace fileio {

// The whole content of a file.
int ReadAll(const std::string& path, std::string& out);
// Writes `data` at byte `offset`, creating the file when it is missing and
// never shortening it (a file of fixed-length records).
int WriteAt(const std::string& path, std::uint64_t offset, const std::string& data,
            bool flushToDisk = false);
// Replaces the whole content of the file (created when missing).
int WriteWhole(const std::string& path, const std::string& data, bool flushToDisk = false);

enum class Kind { Missing, File, Folder, Link, Other };
Kind KindOf(const std::string& path, std::uint64_t* size = nullptr);
int Remove(const std::string& path);

std::string Describe(int error);

// The key files every message reads, held in memory. Each look-up costs
// one stat() of the path; the bytes are read again only when the file's
// identity (device, inode), size, modification time or status-change time
// differ from the last read. Time stamps are coarse on many file systems: a
// file written again within the same clock tick as its previous write can
// keep identical stat data. So a file whose times were less than a few
// seconds old when it was read is not trusted: it is read again at every
// look-up until a read finds its times old enough. Such reads go through a
// descriptor kept open for as long as the same file stands under the name.
//
// Where the system reports changes to files (Linux), the look-ups of one
// message form a round, and the cache watches the folder, the folders above
// it and each file it read. When nothing was reported since the previous
// round, a file read under watch is handed out without any system call,
// however new its times (a report does not depend on the clock); any report
// about these files sends the next round back to stat(). The watch is not
// used for paths that pass through a symbolic link, for files that are
// links, or on file systems where other machines may write (network
// folders), since changes there can go unreported. Writes through a memory
// mapping are not reported either; nothing writes key files that way.
class FileCache {
public:
    FileCache() = default;
    ~FileCache() { Clear(); }
    FileCache(const FileCache&) = delete;
    FileCache& operator=(const FileCache&) = delete;

    // Seconds a file's times must lie before the moment it is read for its
    // stat data to stand for its content afterwards.
    static constexpr long kTrustAfterSeconds = 3;

    // Starts the look-ups of one message: takes what the system reported
    // since the previous round. Without rounds every look-up uses stat().
    void BeginRound();
    // The content of `path` in `*out` (valid until the next call for the same
    // slot). With `create`, a missing file is created empty and reads as
    // empty. `slot` (0..kSlots-1) identifies the file; each slot keeps one
    // path. `*version` changes whenever the content may differ from what the
    // slot handed out before.
    static constexpr int kSlots = ChangeWatch::kSlots;
    int Read(int slot, const std::string& path, bool create, const std::string*& out,
             std::uint64_t& version);
    // Forgets one file (after the owner wrote it) or all of them, closing
    // what is kept open.
    void Forget(int slot);
    void Clear();
    // How many times file content was read from the disk, and how many
    // stat() calls the look-ups made; for tests.
    std::uint64_t ContentReads() const { return m_contentReads; }
    std::uint64_t StatCalls() const { return m_statCalls; }

private:
    struct Entry {
        std::string path;
        std::string data;
        bool valid = false;   // `data` is what the file held at some read
        bool trusted = false; // unchanged stat data means unchanged content
        bool watched = false; // read under watch: no report since means no change
        std::uint64_t version = 0;
        std::uint64_t device = 0, inode = 0, size = 0;
        std::int64_t mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
        int fd = -1; // open on the file of device/inode below
        std::uint64_t fdDevice = 0, fdInode = 0;
    };

    Entry m_entries[kSlots];
    std::string m_scratch;
    std::uint64_t m_lastVersion = 0;
    std::uint64_t m_contentReads = 0;
    std::uint64_t m_statCalls = 0;
    bool m_rounds = false; // BeginRound() has been called
    bool m_quiet = false;  // nothing reported since the previous round
    ChangeWatch m_watch;
};

} // namespace fileio
