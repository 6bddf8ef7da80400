#pragma once

// Small file helpers for the engine's working files. Every function returns
// 0 on success or an errno-style code; Describe() turns the code into words.

#include <cstdint>
#include <string>

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

} // namespace fileio
