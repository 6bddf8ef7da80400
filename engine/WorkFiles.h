#pragma once

// Bare names and sizes of the engine's working files.

namespace workfiles {

constexpr const char* kRotorsMade = "k1.bin";
constexpr const char* kRotorsReserve = "k1.brs";
constexpr const char* kRotorsCurrent = "k1.bcr";
constexpr const char* kCounts = "k2.bin";
constexpr const char* kParams = "k3.bin";
constexpr const char* kSteps = "k4.bin";
constexpr const char* kExtraA = "k5.bin";
constexpr const char* kExtraB = "k6.dat";

constexpr int kRotorRecord = 256;
constexpr int kRotorFileSize = 20 * kRotorRecord; // the twenty records key generation writes
constexpr int kParamRecord = 100;
constexpr int kTextRecord = 151;

} // namespace workfiles
