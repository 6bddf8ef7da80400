// Systems without change reports: nothing is watched, every look-up of the
// key-file cache asks the file system.

#include "engine/ChangeWatch.h"

namespace fileio {

bool ChangeWatch::NextRound() {
    return false;
}

bool ChangeWatch::Watch(int, const std::string&, struct ::stat&, std::uint64_t&) {
    return false;
}

bool ChangeWatch::WatchFolder(const std::string&) {
    return false;
}

void ChangeWatch::Clear() {}

} // namespace fileio
