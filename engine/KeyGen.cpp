// Key generation: the seed text is expanded into a table of small numbers,
// which drives a shuffle of the byte values (the twenty rotors) and fixes
// the rotor parameters and the cycle table. Nothing but the seed text enters:
// equal seeds give byte-identical key files on both peers.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/FileIO.h"
#include "engine/SDK.h"
#include "engine/SeedRules.h"
#include "engine/WorkFiles.h"

using namespace workfiles;

namespace {

constexpr int kExchangesPerRotor = 1000;

// First decimal digit of v; a negative number starts with its sign, worth 0.
int LeadingDigit(int v) {
    if (v < 0)
        return 0;
    return std::to_string(v)[0] - '0';
}

// A number as the key text files hold it: sign or space, digits, space.
std::string PrintNumber(int v) {
    return (v < 0 ? "-" : " ") + std::to_string(std::abs(v)) + " ";
}

// Digits 1..6 give 2..7, digits 7, 8, 9 give 3, 4, 5.
int SmallParam(int digit) {
    const int v = digit + 1;
    return v > 7 ? v - 5 : v;
}

// Digits 1 and 2 give 21 and 22, digits 3..9 give 8..14.
int ExtraParam(int digit) {
    const int v = digit + 20;
    return v > 22 ? v - 15 : v;
}

EngineResult WriteFailure(const char* name, int error) {
    return EngineResult::Failure(std::string(name) + " cannot be written (" +
                                 fileio::Describe(error) + ")");
}

} // namespace

EngineResult SDK::CreateKeys(std::string& seed) {
    m_files.Clear();
    m_prepared = Prepared{};
    std::string why;
    if (!seedrules::CheckSeedText(seed, &why))
        return EngineResult::Failure("the seed text cannot be used: " + why);
    m_keysReady = false;
    // Set-up without reading k3.bin/k4.bin: nothing an earlier run left there
    // may enter the new keys, and a damaged file must not stop them.
    InitEngine();
    ExpandSeed(seed);

    const std::string rotors = ShuffleRotors();
    if (rotors.empty())
        return EngineResult::Failure("the seed text gives a shuffle position outside the rotor");
    if (int error = fileio::WriteAt(PathOf(kRotorsMade), 0, rotors))
        return WriteFailure(kRotorsMade, error);
    if (auto r = WriteKeyFiles(); !r)
        return r;
    // The reserve and current copies; records after the twentieth stay.
    for (const char* name : {kRotorsReserve, kRotorsCurrent}) {
        if (int error = fileio::WriteAt(PathOf(name), 0, rotors))
            return WriteFailure(name, error);
    }
    m_keysReady = true;
    return EngineResult::Success();
}

void SDK::ExpandSeed(std::string& seed) {
    seed = seedrules::DoubledSeed(seed);
    const std::size_t n = seed.size();
    const std::string work = seed + std::string(seed.rbegin(), seed.rend());

    auto& e = m_seedTable;
    int32_t& count = m_seedCount;
    count = 0;
    auto append = [&](int v) { e[++count] = static_cast<int16_t>(v); };

    // Every loop fixes its end when it starts, so entries it appends are not
    // visited by the same loop.
    for (int round = 0; round < 2; ++round) {
        for (std::size_t j = 0; j < 2 * n; j += 2)
            append(seedrules::PairValue(work[j], work[j + 1]));
        int32_t m = count;
        for (int32_t j = 1; j <= m; ++j)
            append(e[j] + 2);
        m = count;
        for (int32_t j = 1; j <= m; ++j)
            append(e[j] + 3);
        m = count;
        for (int32_t j = 2; j <= m; j += 2)
            append(e[j] + 4);
        m = count;
        for (int32_t j = 3; j <= m; j += 3)
            append(e[j] + 5);
        m = count;
        for (int32_t j = 4; j <= m; j += 4)
            append(e[j] + 1);
        m = count;
        for (int32_t j = m; j >= 1; j -= 6)
            append(e[j] + 7);
        m = count;
        for (int32_t j = m; j >= 1; --j)
            append(e[j] + 1);
        m = count;
        for (int32_t j = 1; j <= m; j += 10)
            append(e[j] + 2);
    }
    // No two neighbours equal, and nothing above 151.
    for (int32_t j = 2; j <= count; ++j) {
        if (e[j] == e[j - 1])
            e[j] = static_cast<int16_t>(e[j] + 2);
        if (e[j] > 151)
            e[j] = static_cast<int16_t>(e[j] - 151);
    }
}

std::string SDK::ShuffleRotors() const {
    // The working permutation has 257 slots: slot 0 starts empty, slot k
    // (1..256) starts with the byte k - 1. Slots 1..256 live in a ring so
    // that the usual rotation (slot j takes slot j + 1, slot 256 takes slot
    // 1) is a move of the start. A pair value of 0 swaps a byte into slot 0;
    // while one of slots 1..256 is empty, the rotation takes the text of the
    // filled slots T and writes T without its first byte, then that byte
    // (only 255 bytes: T, then its first byte again), one byte per slot.
    constexpr int kEmpty = -1;
    int16_t ring[kRotorLength];
    for (int k = 0; k < kRotorLength; ++k)
        ring[k] = static_cast<int16_t>(k);
    int16_t slot0 = kEmpty;
    int start = 0;
    int empties = 1;
    auto slot = [&](int x) -> int16_t& {
        return x == 0 ? slot0 : ring[(start + x - 1) & (kRotorLength - 1)];
    };
    auto rotate = [&]() {
        if (empties == 0 || slot0 == kEmpty) {
            start = (start + 1) & (kRotorLength - 1);
            return;
        }
        std::string text;
        for (int j = 1; j <= kRotorLength; ++j)
            if (slot(j) != kEmpty)
                text.push_back(static_cast<char>(slot(j)));
        std::string turned = text.size() > 255 ? text.substr(text.size() - 255) : text;
        if (!text.empty())
            turned.push_back(text[0]);
        for (int j = 0; j < kRotorLength; ++j)
            ring[j] = j < static_cast<int>(turned.size())
                          ? static_cast<int16_t>(static_cast<unsigned char>(turned[j]))
                          : static_cast<int16_t>(kEmpty);
        start = 0;
        empties = (slot0 == kEmpty) + static_cast<int>(std::count(ring, ring + kRotorLength,
                                                                  static_cast<int16_t>(kEmpty)));
    };

    std::string rotors;
    rotors.reserve(kRotorFileSize);
    int32_t position = 0;
    int pairs = 0;
    auto next = [&]() {
        if (++position > m_seedCount)
            position = 1;
        return static_cast<int>(m_seedTable[position]);
    };
    for (int r = 0; r < kRotors; ++r) {
        for (int step = 0; step < kExchangesPerRotor; ++step) {
            const int x = next();
            const int y = next();
            // Accepted seeds give entries 0..151; anything else is refused.
            if (x < 0 || x > kRotorLength || y < 0 || y > kRotorLength)
                return std::string();
            std::swap(slot(x), slot(y));
            if (++pairs == 2) {
                pairs = 0;
                rotate();
            }
        }
        std::string record;
        for (int j = 1; j <= kRotorLength; ++j)
            if (slot(j) != kEmpty)
                record.push_back(static_cast<char>(slot(j)));
        record.resize(kRotorRecord, ' '); // a shorter record is filled out with spaces
        rotors += record;
    }
    return rotors;
}

EngineResult SDK::WriteKeyFiles() {
    const auto& e = m_seedTable;
    m_rotorCount = kRotors;
    m_passesPerChar = 2;
    const std::string counts = PrintNumber(m_rotorCount) + PrintNumber(m_passesPerChar) + "\r\n";
    if (int error = fileio::WriteWhole(PathOf(kCounts), counts))
        return WriteFailure(kCounts, error);

    // Record 1 of k3.bin: a direction letter per place, then twenty floats
    // (little-endian) that no message reads.
    std::string params(kParamRecord, '\0');
    for (int k = 1; k <= kRotors; ++k) {
        params[k - 1] = e[19 + k] > 45 ? 'U' : 'D';
        const float aux = static_cast<float>(SmallParam(LeadingDigit(e[39 + k])));
        uint32_t bits = 0;
        std::memcpy(&bits, &aux, sizeof bits);
        for (int b = 0; b < 4; ++b)
            params[20 + 4 * (k - 1) + b] = static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
    if (int error = fileio::WriteAt(PathOf(kParams), 0, params))
        return WriteFailure(kParams, error);

    std::string steps;
    for (int k = 1; k <= kRotors; ++k)
        steps += PrintNumber(SmallParam(LeadingDigit(e[59 + k]))) + "\r\n";
    if (int error = fileio::WriteWhole(PathOf(kSteps), steps))
        return WriteFailure(kSteps, error);

    const std::pair<const char*, int> extras[] = {{kExtraA, 79}, {kExtraB, 89}};
    for (const auto& [name, base] : extras) {
        std::string lines;
        for (int k = 1; k <= 10; ++k)
            lines += PrintNumber(ExtraParam(LeadingDigit(e[base + k]))) + "\r\n";
        if (int error = fileio::WriteWhole(PathOf(name), lines))
            return WriteFailure(name, error);
    }

    // Cycle seed: entries 20 and 21 multiplied, brought into 10..999, as
    // three digits.
    int v = static_cast<int16_t>(e[21] * e[20]);
    while (v > 999)
        v -= 999;
    if (v < 10)
        v += 10;
    const std::string digits = "00" + std::to_string(v);
    BuildCycleTable(digits.substr(digits.size() - 3));
    return EngineResult::Success();
}

void SDK::BuildCycleTable(const std::string& cycleSeed) {
    m_cycleSeed = cycleSeed;
    auto& c = m_cycleTable;
    c.fill(0);
    for (int i = 0; i < 3; ++i) {
        const int digit = cycleSeed[i] - '0';
        c[i + 1] = digit == 0 ? 10 : digit;
    }
    c[4] = c[2] + c[1] + c[3];
    c[5] = c[2] + c[1] + 2;
    c[6] = c[3] + c[2] + 3;
    c[7] = c[3] + c[1] + 4;
    c[8] = c[1] + 5;
    c[9] = c[2] + 5;
    c[10] = c[3] + 5;

    // Twelve loops, each appending C(v) + addend after the last filled entry;
    // a bound of 0 means "the last filled entry when the loop starts".
    struct Loop {
        int start, end, step, addend;
    };
    constexpr Loop loops[] = {{1, 10, 2, 2}, {2, 10, 2, 3},  {0, 1, -3, 7}, {1, 0, 3, 9},
                              {1, 0, 5, 13}, {0, 1, -5, 17}, {1, 0, 7, 4},  {0, 1, -7, 6},
                              {2, 0, 8, 1},  {0, 2, -8, 2},  {5, 0, 5, 3},  {0, 5, -5, 2}};
    int i = 10;
    for (const Loop& loop : loops) {
        const int from = loop.start == 0 ? i : loop.start;
        const int to = loop.end == 0 ? i : loop.end;
        for (int v = from; loop.step > 0 ? v <= to : v >= to; v += loop.step) {
            ++i;
            c[i] = c[v] + loop.addend;
        }
    }
    // Entries 128..200 repeat entries 127 down to 55, one more each.
    for (int v = i; i < kCycleEntries; --v) {
        ++i;
        c[i] = c[v] + 1;
    }
    for (int v = 1; v <= kCycleEntries; ++v) {
        if (c[v] < 10)
            c[v] += 10;
        if (c[v] > 50)
            c[v] -= 20;
    }
}
