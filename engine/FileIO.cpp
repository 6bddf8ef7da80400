#include "engine/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
    // Every message reads five small files: one read each, no buffering
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

int ReadAllCreating(const std::string& path, std::string& out) {
    const int error = ReadAll(path, out);
    if (error != ENOENT)
        return error;
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (!f)
        return LastError();
    return Finish(f, 0, false);
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

int OpenFiles::ReadAll(const std::string& path, std::string& out) {
#if defined(__unix__) || defined(__APPLE__)
    out.clear();
    errno = 0;
    struct stat now {};
    auto entry = std::find_if(m_files.begin(), m_files.end(),
                              [&](const Entry& e) { return e.path == path; });
    if (::stat(path.c_str(), &now) != 0 || !S_ISREG(now.st_mode)) {
        if (entry != m_files.end()) {
            ::close(entry->fd);
            m_files.erase(entry);
        }
        return fileio::ReadAll(path, out);
    }
    if (entry != m_files.end() &&
        (entry->device != std::uint64_t(now.st_dev) || entry->inode != std::uint64_t(now.st_ino))) {
        // Another file stands under the name now.
        ::close(entry->fd);
        m_files.erase(entry);
        entry = m_files.end();
    }
    if (entry == m_files.end()) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return LastError(ENOENT);
        struct stat opened {};
        if (::fstat(fd, &opened) != 0 || opened.st_dev != now.st_dev ||
            opened.st_ino != now.st_ino) {
            ::close(fd);
            return fileio::ReadAll(path, out);
        }
        m_files.push_back({path, fd, std::uint64_t(now.st_dev), std::uint64_t(now.st_ino)});
        entry = m_files.end() - 1;
    }
    // The size just looked up, and one more byte to see the end.
    out.resize(std::size_t(now.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        const ssize_t got = ::pread(entry->fd, &out[have], out.size() - have, off_t(have));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = LastError();
            out.clear();
            return error;
        }
        have += std::size_t(got);
        if (got == 0 || have < out.size())
            break;
        out.resize(out.size() * 2); // it grew since the lookup
    }
    out.resize(have);
    return 0;
#else
    return fileio::ReadAll(path, out);
#endif
}

int OpenFiles::ReadAllCreating(const std::string& path, std::string& out) {
    const int error = ReadAll(path, out);
    if (error != ENOENT)
        return error;
    return fileio::ReadAllCreating(path, out);
}

void OpenFiles::Clear() {
#if defined(__unix__) || defined(__APPLE__)
    for (const Entry& e : m_files)
        ::close(e.fd);
#endif
    m_files.clear();
}

} // namespace fileio
