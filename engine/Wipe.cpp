// Wiping the working files: every file that holds key material is
// overwritten, then all of them are deleted. A file that cannot be handled
// does not stop the others; each one is named in the result.

#include <string>
#include <vector>

#include "engine/FileIO.h"
#include "engine/SDK.h"
#include "engine/WorkFiles.h"

using namespace workfiles;

namespace {

constexpr int kWipedRecords = 20;
const std::string kWipeLine = "xxxxx\r\n";
const std::string kZeroLine = " 0  0 \r\n";

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

// A fixed-length record: a shorter text is filled out with spaces.
std::string Record(std::string text, std::size_t length) {
    text.resize(length, ' ');
    return text;
}

} // namespace

EngineResult SDK::WipeWorkFiles() {
    m_files.Clear();
    std::vector<std::string> failures;
    std::vector<std::string> failedNames;
    auto fail = [&](const std::string& name, const std::string& reason) {
        failures.push_back(name + " " + reason);
        failedNames.push_back(name);
    };

    // How a file is overwritten; `always` also rewrites an empty file.
    enum class How { Records, Replace };
    struct Step {
        const char* name;
        How how;
        std::string content;
        bool always;
    };
    const std::string textFill = Repeat(Record(m_textWipeFill, kTextRecord), kWipedRecords);
    const std::string binFill = Repeat(Record(m_binWipeFill, kRotorRecord), kWipedRecords);
    const std::string blankParams = std::string(20, ' ') + std::string(80, '\0');
    const std::string wipeLines = Repeat(kWipeLine, kWipedRecords);
    const Step steps[] = {
        {"k1.tcr", How::Records, textFill, false},
        {"k1.trs", How::Records, textFill, false},
        {"k1.txt", How::Records, textFill, false},
        {kRotorsCurrent, How::Records, binFill, false},
        {kRotorsReserve, How::Records, binFill, false},
        {kRotorsMade, How::Records, binFill, false},
        {"k2.txt", How::Replace, kZeroLine, true},
        {kCounts, How::Replace, kZeroLine, true},
        {"k3.txt", How::Records, blankParams, false},
        {kParams, How::Records, blankParams, false},
        {"k4.txt", How::Replace, wipeLines, false},
        {kSteps, How::Replace, wipeLines, false},
        {"k5.txt", How::Replace, wipeLines, true},
        {kExtraA, How::Replace, wipeLines, true},
        {kExtraB, How::Replace, wipeLines, true},
    };

    // A name that does not exist is left alone: there is nothing to wipe.
    // A link is not written through (its target may lie outside the folder);
    // it is only removed.
    for (const Step& step : steps) {
        const std::string path = PathOf(step.name);
        std::uint64_t size = 0;
        switch (fileio::KindOf(path, &size)) {
        case fileio::Kind::Missing:
        case fileio::Kind::Link:
            continue;
        case fileio::Kind::Folder:
            fail(step.name, "is a folder");
            continue;
        case fileio::Kind::Other:
            fail(step.name, "is not a regular file");
            continue;
        case fileio::Kind::File:
            break;
        }
        if (size == 0 && !step.always)
            continue;
        const int error = step.how == How::Records ? fileio::WriteAt(path, 0, step.content, true)
                                                   : fileio::WriteWhole(path, step.content, true);
        if (error)
            fail(step.name, "cannot be overwritten (" + fileio::Describe(error) + ")");
    }

    const char* deletionOrder[] = {"k1.tcr",    "k1.trs", kRotorsCurrent, kRotorsReserve, "k1.txt",
                                   kRotorsMade, "k2.txt", kCounts,        "k3.txt",       kParams,
                                   "k4.txt",    kSteps,   "k5.txt",       kExtraA,        kExtraB};
    for (const char* name : deletionOrder) {
        const std::string path = PathOf(name);
        const fileio::Kind kind = fileio::KindOf(path);
        if (kind == fileio::Kind::Missing)
            continue;
        if (kind == fileio::Kind::Folder || kind == fileio::Kind::Other) {
            bool reported = false;
            for (const auto& n : failedNames)
                reported = reported || n == name;
            if (!reported)
                fail(name, "is not a file");
            continue;
        }
        if (m_wipeObserver)
            m_wipeObserver(name);
        if (int error = fileio::Remove(path))
            fail(name, "cannot be deleted (" + fileio::Describe(error) + ")");
    }

    if (failures.empty())
        return EngineResult::Success();
    std::string why = "could not wipe ";
    for (std::size_t i = 0; i < failures.size(); ++i)
        why += (i ? "; " : "") + failures[i];
    return EngineResult::Failure(why);
}
