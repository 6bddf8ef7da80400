#include "engine/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fileio {

namespace {

int LastError(int fallback = EIO) {
    return errno != 0 ? errno : fallback;
}

// Closes `f`, pushing the data to the disk first when asked; returns the
// first error met.
int Finish(std::FILE* f, int error, bool flushToDisk) {
    if (error == 0 && std::fflush(f) != 0)
        error = LastError();
#if defined(__unix__) || defined(__APPLE__)
    if (error == 0 && flushToDisk && ::fsync(::fileno(f)) != 0)
        error = LastError();
#else
    (void)flushToDisk;
#endif
    if (std::fclose(f) != 0 && error == 0)
        error = LastError();
    return error;
}

int Write(std::FILE* f, const std::string& data) {
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size())
        return LastError();
    return 0;
}

} // namespace

int ReadAll(const std::string& path, std::string& out) {
    out.clear();
    errno = 0;
#if defined(__unix__) || defined(__APPLE__)
    // The working files are small: one read each, no buffering
    // layer. A read that returns less than asked of a regular file has met
    // its end, so no second read is needed to find it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return LastError(ENOENT);
    constexpr std::size_t kChunk = 8192;
    int error = 0;
    for (;;) {
        const std::size_t had = out.size();
        out.resize(had + kChunk);
        const ssize_t got = ::read(fd, &out[had], kChunk);
        if (got < 0) {
            if (errno == EINTR) {
                out.resize(had);
                continue;
            }
            error = LastError();
            break;
        }
        out.resize(had + std::size_t(got));
        if (std::size_t(got) < kChunk)
            break;
    }
    ::close(fd);
    if (error != 0)
        out.clear();
    return error;
#else
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return LastError(ENOENT);
    // The working files are small; reading in 8 KiB steps needs no size query.
    std::setvbuf(f, nullptr, _IONBF, 0);
    constexpr std::size_t kChunk = 8192;
    int error = 0;
    for (;;) {
        const std::size_t had = out.size();
        out.resize(had + kChunk);
        const std::size_t got = std::fread(&out[had], 1, kChunk, f);
        out.resize(had + got);
        if (got < kChunk) {
            if (std::ferror(f))
                error = LastError();
            break;
        }
    }
    std::fclose(f);
    if (error != 0)
        out.clear();
    return error;
#endif
}

int WriteAt(const std::string& path, std::uint64_t offset, const std::string& data,
            bool flushToDisk) {
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    if (!f && errno == ENOENT) {
        errno = 0;
        f = std::fopen(path.c_str(), "w+b");
    }
    if (!f)
        return LastError();
    std::setvbuf(f, nullptr, _IONBF, 0);
    int error = 0;
    if (std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0)
        error = LastError();
    if (error == 0)
        error = Write(f, data);
    return Finish(f, error, flushToDisk);
}

int WriteWhole(const std::string& path, const std::string& data, bool flushToDisk) {
    // The new bytes go over the old ones and the file is then cut to their
    // length: the same result as emptying it first, without giving the old
    // blocks back to the file system unwritten (and cheaper on file systems
    // that flush a file which was emptied and rewritten).
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    if (!f && errno == ENOENT) {
        errno = 0;
        f = std::fopen(path.c_str(), "wb");
    }
    if (!f)
        return LastError();
    std::setvbuf(f, nullptr, _IONBF, 0);
    long oldSize = 0;
    int error = 0;
    if (std::fseek(f, 0, SEEK_END) != 0 || (oldSize = std::ftell(f)) < 0 ||
        std::fseek(f, 0, SEEK_SET) != 0)
        error = LastError();
    if (error == 0)
        error = Write(f, data);
    error = Finish(f, error, flushToDisk);
    if (error == 0 && static_cast<std::size_t>(oldSize) > data.size()) {
        std::error_code ec;
        std::filesystem::resize_file(path, data.size(), ec);
        if (ec)
            error = ec.value();
    }
    return error;
}

Kind KindOf(const std::string& path, std::uint64_t* size) {
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (ec || status.type() == std::filesystem::file_type::not_found)
        return Kind::Missing;
    if (status.type() == std::filesystem::file_type::directory)
        return Kind::Folder;
    if (status.type() == std::filesystem::file_type::symlink)
        return Kind::Link;
    if (status.type() != std::filesystem::file_type::regular)
        return Kind::Other;
    if (size) {
        const auto bytes = std::filesystem::file_size(path, ec);
        *size = ec ? 0 : static_cast<std::uint64_t>(bytes);
    }
    return Kind::File;
}

int Remove(const std::string& path) {
    errno = 0;
    if (std::remove(path.c_str()) != 0)
        return LastError();
    return 0;
}

std::string Describe(int error) {
    return std::generic_category().message(error);
}

namespace {

#if defined(__unix__) || defined(__APPLE__)
#if defined(__APPLE__)
#define VANTREL_MTIM st_mtimespec
#define VANTREL_CTIM st_ctimespec
#else
#define VANTREL_MTIM st_mtim
#define VANTREL_CTIM st_ctim
#endif

// Reads a whole file from the start through `fd`, its size just looked up:
// one read when the size still holds (asking for one byte more sees the end).
int ReadKnownSize(int fd, std::uint64_t size, std::string& out) {
    out.resize(std::size_t(size) + 1);
    std::size_t have = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, &out[have], out.size() - have, off_t(have));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            out.clear();
            return LastError();
        }
        have += std::size_t(got);
        if (got == 0 || have < out.size())
            break;
        out.resize(out.size() * 2); // it grew since the look-up
    }
    out.resize(have);
    return 0;
}
#endif

} // namespace

void FileCache::BeginRound() {
    m_rounds = true;
    m_quiet = m_watch.NextRound();
    if (!m_quiet)
        for (Entry& e : m_entries)
            e.watched = false;
}

int FileCache::Read(int slot, const std::string& path, bool create, const std::string*& out,
                    std::uint64_t& version) {
    Entry& e = m_entries[slot];
    out = &e.data;
    if (e.path != path) {
        Forget(slot);
        e.path = path;
    }
    if (m_quiet && e.valid && e.watched) {
        version = e.version;
        return 0;
    }
    e.watched = false;
    errno = 0;
    int error = 0;
#if defined(__unix__) || defined(__APPLE__)
    // Taken before the look-up: a write after this moment lands in a tick at
    // or after it.
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // A link is followed, but not watched.
    struct stat st {};
    ++m_statCalls;
    bool linked = false;
    int looked = ::lstat(path.c_str(), &st);
    if (looked == 0 && S_ISLNK(st.st_mode)) {
        linked = true;
        ++m_statCalls;
        looked = ::stat(path.c_str(), &st);
    }
    const bool watching =
        looked == 0 && !linked && m_rounds && m_watch.Watch(slot, path, st, m_statCalls);
    if (looked != 0) {
        error = LastError(ENOENT);
    } else if (!S_ISREG(st.st_mode)) {
        // A folder or device: read it the plain way for the reason, and keep
        // nothing.
        error = fileio::ReadAll(path, m_scratch);
        e.trusted = false;
    } else {
        const auto& m = st.VANTREL_MTIM;
        const auto& c = st.VANTREL_CTIM;
        const bool same = e.valid && e.device == std::uint64_t(st.st_dev) &&
                          e.inode == std::uint64_t(st.st_ino) &&
                          e.size == std::uint64_t(st.st_size) && e.mtimeSec == m.tv_sec &&
                          e.mtimeNsec == m.tv_nsec && e.ctimeSec == c.tv_sec &&
                          e.ctimeNsec == c.tv_nsec;
        if (same && e.trusted) {
            e.watched = watching;
            version = e.version;
            return 0;
        }
        ++m_contentReads;
        if (e.fd >= 0 &&
            (e.fdDevice != std::uint64_t(st.st_dev) || e.fdInode != std::uint64_t(st.st_ino))) {
            ::close(e.fd); // another file stands under the name now
            e.fd = -1;
        }
        if (e.fd < 0) {
            e.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            e.fdDevice = std::uint64_t(st.st_dev);
            e.fdInode = std::uint64_t(st.st_ino);
        }
        error = e.fd < 0 ? LastError(ENOENT)
                         : ReadKnownSize(e.fd, std::uint64_t(st.st_size), m_scratch);
        if (error == 0) {
            e.device = std::uint64_t(st.st_dev);
            e.inode = std::uint64_t(st.st_ino);
            e.size = std::uint64_t(st.st_size);
            e.mtimeSec = m.tv_sec;
            e.mtimeNsec = m.tv_nsec;
            e.ctimeSec = c.tv_sec;
            e.ctimeNsec = c.tv_nsec;
            // Trusted once both times lie well before the read.
            const auto nanos = [](std::int64_t sec, std::int64_t nsec) {
                return sec * 1000000000 + nsec;
            };
            const std::int64_t latest =
                std::max(nanos(m.tv_sec, m.tv_nsec), nanos(c.tv_sec, c.tv_nsec));
            e.trusted = latest < nanos(now.tv_sec, now.tv_nsec) - kTrustAfterSeconds * 1000000000;
            e.watched = watching;
        }
    }
#else
    ++m_contentReads;
    error = fileio::ReadAll(path, m_scratch);
#endif
    if (error == ENOENT && create) {
        errno = 0;
        std::FILE* f = std::fopen(path.c_str(), "ab");
        error = f ? Finish(f, 0, false) : LastError();
        m_scratch.clear();
        e.trusted = false; // its times are new: read it properly next time
    }
    if (error != 0) {
        Forget(slot);
        e.data.clear();
        return error;
    }
    if (!e.valid || e.data != m_scratch) {
        e.data.swap(m_scratch);
        e.version = ++m_lastVersion;
    }
    e.valid = true;
    version = e.version;
    return 0;
}

void FileCache::Forget(int slot) {
    Entry& e = m_entries[slot];
    e.valid = false;
    e.trusted = false;
    e.watched = false;
#if defined(__unix__) || defined(__APPLE__)
    if (e.fd >= 0)
        ::close(e.fd);
#endif
    e.fd = -1;
}

void FileCache::Clear() {
    for (int slot = 0; slot < kSlots; ++slot)
        Forget(slot);
    m_watch.Clear();
    m_quiet = false;
}

} // namespace fileio
