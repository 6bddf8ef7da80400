#pragma once

// Small file helpers for the engine's working files. Every function returns
// 0 on success or an errno-style code; Describe() turns the code into words.

#include <cstdint>
#include <string>
#include <vector>

namespace fileio {

// The whole content of a file.
int ReadAll(const std::string& path, std::string& out);
// As ReadAll, but a missing file is created empty (and read as empty).
int ReadAllCreating(const std::string& path, std::string& out);
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

// The files every message reads, kept open between messages. Each read
// still looks the path up and reads the whole content, so a file that was
// changed, replaced or removed meanwhile is read as it is now; only the
// opening and closing are saved.
class OpenFiles {
public:
    OpenFiles() = default;
    ~OpenFiles() { Clear(); }
    OpenFiles(const OpenFiles&) = delete;
    OpenFiles& operator=(const OpenFiles&) = delete;

    int ReadAll(const std::string& path, std::string& out);
    // As fileio::ReadAllCreating.
    int ReadAllCreating(const std::string& path, std::string& out);
    // Closes every file kept open.
    void Clear();

private:
    struct Entry {
        std::string path;
        int fd = -1;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
    };
    std::vector<Entry> m_files;
};

} // namespace fileio
