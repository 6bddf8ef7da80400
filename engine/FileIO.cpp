#include "engine/FileIO.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
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

} // namespace fileio
