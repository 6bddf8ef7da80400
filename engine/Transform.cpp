#include "engine/Transform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define VANTREL_X86 1
#include <immintrin.h>
#endif

namespace {

using Path = RotorMachine::Path;

constexpr int kRotorBits = 9; // a place holds string * 512 + offset

// Up to one register's worth of consecutive characters of one run: only the
// turns differ between them, by the place's turn per character.
struct Run {
    const uint8_t* table[kRotors]; // the table of the rotor standing in each place
    uint8_t offset[kRotors];       // its turn at the first character
    uint8_t* data;
    int count;
};

// Plain C++: eight characters of each of two runs side by side, so that the
// chains of look-ups overlap. A character's turn is worked out from the
// run's first turn, which costs less than fetching it.
constexpr int kLanes = 8;
constexpr int kPortableRuns = 2;

void PortableRuns(const Run (&runs)[kPortableRuns], const std::array<uint8_t, kRotors>& delta,
                  int32_t passes, bool decrypt) {
    unsigned v[kPortableRuns][kLanes];
    for (int g = 0; g < kPortableRuns; ++g)
        for (int j = 0; j < kLanes; ++j)
            v[g][j] = j < runs[g].count ? runs[g].data[j] : 0u;
    if (!decrypt) {
        for (int32_t pass = 0; pass < passes; ++pass)
            for (int k = 0; k < kRotors; ++k)
                for (int g = 0; g < kPortableRuns; ++g) {
                    const uint8_t* table = runs[g].table[k];
                    const unsigned offset = runs[g].offset[k], turn = delta[k];
                    for (int j = 0; j < kLanes; ++j)
                        v[g][j] = table[((offset + unsigned(j) * turn) & 0xFF) + v[g][j]];
                }
    } else {
        for (int32_t pass = 0; pass < passes; ++pass)
            for (int k = kRotors - 1; k >= 0; --k)
                for (int g = 0; g < kPortableRuns; ++g) {
                    const uint8_t* table = runs[g].table[k];
                    const unsigned offset = runs[g].offset[k], turn = delta[k];
                    for (int j = 0; j < kLanes; ++j)
                        v[g][j] = (table[v[g][j]] - offset - unsigned(j) * turn) & 0xFF;
                }
    }
    for (int g = 0; g < kPortableRuns; ++g)
        for (int j = 0; j < runs[g].count; ++j)
            runs[g].data[j] = static_cast<uint8_t>(v[g][j]);
}

#ifdef VANTREL_X86
// 256-bit registers: 32 characters of each of two runs.
constexpr int kAvx2Lanes = 32;
constexpr int kAvx2Runs = 2;

#define VANTREL_AVX2_TARGET __attribute__((target("avx2")))

VANTREL_AVX2_TARGET inline __m256i Slice(const uint8_t* slices, int i) {
    return _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i*>(slices + 16 * i)));
}

// Byte x of every lane becomes t[x], from the table's slices as SetUp stores
// them. A byte shuffle looks up 16 bytes and gives 0 where the index has bit
// 7 set. With index x - 16i, slice i answers every x from 16i to 16i + 127
// and nothing below 16i; since each stored slice is the exclusive-or of its
// bytes and the slice before, the answers of slices 0..s exclusive-or to
// slice s for x in slice s. Each half of the table is one such chain, bit 7
// of x picks the half.
VANTREL_AVX2_TARGET inline __m256i Lookup32(const uint8_t* slices, __m256i x) {
    const __m256i sixteen = _mm256_set1_epi8(16);
    __m256i half[2];
    __m256i index = x;
    for (int h = 0; h < 2; ++h) {
        __m256i even = _mm256_shuffle_epi8(Slice(slices, 8 * h), index);
        index = _mm256_sub_epi8(index, sixteen);
        __m256i odd = _mm256_shuffle_epi8(Slice(slices, 8 * h + 1), index);
        for (int i = 2; i < 8; i += 2) {
            index = _mm256_sub_epi8(index, sixteen);
            even = _mm256_xor_si256(even, _mm256_shuffle_epi8(Slice(slices, 8 * h + i), index));
            index = _mm256_sub_epi8(index, sixteen);
            odd = _mm256_xor_si256(odd, _mm256_shuffle_epi8(Slice(slices, 8 * h + i + 1), index));
        }
        index = _mm256_sub_epi8(index, sixteen);
        half[h] = _mm256_xor_si256(even, odd);
    }
    return _mm256_blendv_epi8(half[0], half[1], x);
}

VANTREL_AVX2_TARGET void Avx2Runs(const Run (&runs)[kAvx2Runs],
                                  const std::array<std::array<uint8_t, 64>, kRotors>& laneTurn,
                                  int32_t passes, bool decrypt) {
    alignas(32) uint8_t partial[kAvx2Runs][kAvx2Lanes];
    __m256i v[kAvx2Runs];
    __m256i turn[kAvx2Runs][kRotors];
    for (int g = 0; g < kAvx2Runs; ++g) {
        const Run& run = runs[g];
        if (run.count == kAvx2Lanes) {
            v[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(run.data));
        } else {
            std::memset(partial[g], 0, kAvx2Lanes);
            std::memcpy(partial[g], run.data, std::size_t(run.count));
            v[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(partial[g]));
        }
        for (int k = 0; k < kRotors; ++k)
            turn[g][k] = _mm256_add_epi8(
                _mm256_set1_epi8(static_cast<char>(run.offset[k])),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(laneTurn[k].data())));
    }
    if (!decrypt) {
        for (int32_t pass = 0; pass < passes; ++pass)
            for (int k = 0; k < kRotors; ++k)
                for (int g = 0; g < kAvx2Runs; ++g)
                    v[g] = Lookup32(runs[g].table[k], _mm256_add_epi8(v[g], turn[g][k]));
    } else {
        for (int32_t pass = 0; pass < passes; ++pass)
            for (int k = kRotors - 1; k >= 0; --k)
                for (int g = 0; g < kAvx2Runs; ++g)
                    v[g] = _mm256_sub_epi8(Lookup32(runs[g].table[k], v[g]), turn[g][k]);
    }
    for (int g = 0; g < kAvx2Runs; ++g) {
        const Run& run = runs[g];
        if (run.count == kAvx2Lanes) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(run.data), v[g]);
        } else {
            _mm256_store_si256(reinterpret_cast<__m256i*>(partial[g]), v[g]);
            std::memcpy(run.data, partial[g], std::size_t(run.count));
        }
    }
}

// 512-bit registers with byte permutes: 64 characters of each of four runs.
constexpr int kWideLanes = 64;
constexpr int kWideRuns = 4;

#define VANTREL_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Byte x of every lane becomes t[x]: two 128-byte permutes, and bit 7 of x
// picks between them.
VANTREL_WIDE_TARGET inline __m512i Lookup(const uint8_t* t, __m512i x) {
    const __m512i low =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(t), x, _mm512_loadu_si512(t + 64));
    const __m512i high =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(t + 128), x, _mm512_loadu_si512(t + 192));
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
}

VANTREL_WIDE_TARGET void WideRuns(const Run (&runs)[kWideRuns],
                                  const std::array<std::array<uint8_t, 64>, kRotors>& laneTurn,
                                  int32_t passes, bool decrypt) {
    __m512i v[kWideRuns];
    __m512i turn[kWideRuns][kRotors];
    __mmask64 mask[kWideRuns];
    for (int g = 0; g < kWideRuns; ++g) {
        const Run& run = runs[g];
        mask[g] = run.count >= kWideLanes ? ~__mmask64(0) : (__mmask64(1) << run.count) - 1;
        v[g] = _mm512_maskz_loadu_epi8(mask[g], run.data);
        for (int k = 0; k < kRotors; ++k)
            turn[g][k] = _mm512_add_epi8(_mm512_set1_epi8(static_cast<char>(run.offset[k])),
                                         _mm512_loadu_si512(laneTurn[k].data()));
    }
    if (!decrypt) {
        for (int32_t pass = 0; pass < passes; ++pass)
            for (int k = 0; k < kRotors; ++k)
                for (int g = 0; g < kWideRuns; ++g)
                    v[g] = Lookup(runs[g].table[k], _mm512_add_epi8(v[g], turn[g][k]));
    } else {
        for (int32_t pass = 0; pass < passes; ++pass)
            for (int k = kRotors - 1; k >= 0; --k)
                for (int g = 0; g < kWideRuns; ++g)
                    v[g] = _mm512_sub_epi8(Lookup(runs[g].table[k], v[g]), turn[g][k]);
    }
    for (int g = 0; g < kWideRuns; ++g)
        _mm512_mask_storeu_epi8(runs[g].data, mask[g], v[g]);
}
#endif

Path BestPath() {
    if (RotorMachine::Supported(Path::Avx512))
        return Path::Avx512;
    if (RotorMachine::Supported(Path::Avx2))
        return Path::Avx2;
    return Path::Portable;
}

// Each half of a 256-byte table as a chain of slices (see Lookup32).
void StoreSlices(const uint8_t* table, uint8_t* slices) {
    for (int i = 0; i < 16; ++i)
        for (int b = 0; b < 16; ++b)
            slices[16 * i + b] =
                static_cast<uint8_t>(table[16 * i + b] ^ (i % 8 ? table[16 * (i - 1) + b] : 0));
}

} // namespace

bool RotorMachine::Supported(Path path) {
#ifdef VANTREL_X86
    static const bool avx2 = __builtin_cpu_supports("avx2");
    static const bool avx512 = __builtin_cpu_supports("avx512f") &&
                               __builtin_cpu_supports("avx512bw") &&
                               __builtin_cpu_supports("avx512vbmi");
    return path == Path::Portable || (path == Path::Avx2 && avx2) ||
           (path == Path::Avx512 && avx512);
#else
    return path == Path::Portable;
#endif
}

const char* RotorMachine::Name(Path path) {
    switch (path) {
    case Path::Avx2:
        return "avx2";
    case Path::Avx512:
        return "avx512";
    case Path::Portable:
        break;
    }
    return "portable";
}

RotorMachine::Path RotorMachine::DefaultPath() {
    static const Path chosen = [] {
        const Path best = BestPath();
        const char* asked = std::getenv("VANTREL_TRANSFORM");
        if (!asked || !*asked)
            return best;
        for (const Path path : {Path::Portable, Path::Avx2, Path::Avx512})
            if (std::strcmp(asked, Name(path)) == 0) {
                if (Supported(path))
                    return path;
                std::fprintf(stderr, "VANTREL_TRANSFORM=%s: this processor cannot run it, using %s\n",
                             asked, Name(best));
                return best;
            }
        std::fprintf(stderr,
                     "VANTREL_TRANSFORM=%s: not one of portable, avx2, avx512; using %s\n", asked,
                     Name(best));
        return best;
    }();
    return chosen;
}

std::string RotorMachine::ProcessorFeatures() {
#ifdef VANTREL_X86
    std::string out;
    const auto add = [&out](const char* name, bool has) {
        out += out.empty() ? "" : " ";
        out += has ? name : std::string("-") + name;
    };
    add("avx2", __builtin_cpu_supports("avx2"));
    add("avx512f", __builtin_cpu_supports("avx512f"));
    add("avx512bw", __builtin_cpu_supports("avx512bw"));
    add("avx512vbmi", __builtin_cpu_supports("avx512vbmi"));
    return out;
#else
    return "no x86 vector extensions";
#endif
}

bool RotorMachine::UsePath(Path path) {
    if (Supported(path))
        m_path = path;
    return m_path == path;
}

bool RotorMachine::SetUp(const RotorSetup& setup, std::string* why) {
    for (int k = 0; k < kRotors; ++k) {
        const int32_t step = setup.steps[k];
        if (step < 1 || step > kRotorLength) {
            if (why)
                *why = "step size " + std::to_string(step) + " at rotor position " +
                       std::to_string(k + 1) + " is outside 1..256";
            return false;
        }
    }
    if (setup.passes < 1 || setup.passes > kMaxPasses) {
        if (why)
            *why = "passes per character " + std::to_string(setup.passes) + " is outside 1..32767";
        return false;
    }

    m_badRotor = -1;
    m_missingByte = -1;
    for (int r = 0; r < kRotors; ++r) {
        const auto& rotor = setup.rotors[r];
        uint8_t* forward = &m_forward[r * 512];
        uint8_t* inverse = &m_inverse[r * 512];
        std::memcpy(forward, rotor.data(), kRotorLength);
        std::memcpy(forward + kRotorLength, rotor.data(), kRotorLength);
        bool seen[kRotorLength] = {};
        // Walking backwards leaves the first place of a repeated byte.
        for (int i = kRotorLength - 1; i >= 0; --i) {
            inverse[rotor[i]] = static_cast<uint8_t>(i);
            seen[rotor[i]] = true;
        }
        if (m_badRotor < 0) {
            const bool* gap = std::find(seen, seen + kRotorLength, false);
            if (gap != seen + kRotorLength) {
                m_badRotor = r;
                m_missingByte = static_cast<int>(gap - seen);
            }
        }
        StoreSlices(forward, &m_forwardSlices[r * 256]);
        StoreSlices(inverse, &m_inverseSlices[r * 256]);
    }
    for (int k = 0; k < kRotors; ++k) {
        const int32_t step = setup.steps[k];
        const int32_t turn = setup.directions[k] != 0 ? step : kRotorLength - step;
        m_delta[k] = static_cast<uint8_t>(turn);
        for (int j = 0; j < 64; ++j)
            m_laneTurn[k][j] = static_cast<uint8_t>(j * turn);
    }
    m_passes = setup.passes;
    m_cycle = setup.cycleTable;
    return true;
}

void RotorMachine::InitState(MachineState& s) const {
    for (int k = 0; k < kRotors; ++k)
        s.place[k] = static_cast<uint16_t>(k << kRotorBits);
    s.cycleIdx = 1;
    s.cycleLen = m_cycle[1];
    s.cycleCount = 0;
}

void RotorMachine::Advance(MachineState& s, int64_t n) const {
    const unsigned times = static_cast<unsigned>(n & 0xFF);
    for (int k = 0; k < kRotors; ++k) {
        const unsigned offset = (s.place[k] + times * m_delta[k]) & 0xFF;
        s.place[k] = static_cast<uint16_t>((s.place[k] >> kRotorBits << kRotorBits) | offset);
    }
    s.cycleCount += n;
    if (s.cycleCount < s.cycleLen)
        return;
    s.cycleCount = 0;
    // Place k takes the rotor (and its turn) from place k + 1; the first
    // rotor goes to the last place.
    std::rotate(s.place, s.place + 1, s.place + kRotors);
    s.cycleIdx = s.cycleIdx >= kCycleEntries ? 1 : s.cycleIdx + 1;
    s.cycleLen = m_cycle[s.cycleIdx];
}

int64_t RotorMachine::UntilShift(const MachineState& s) {
    return std::max<int64_t>(1, s.cycleLen - s.cycleCount);
}

void RotorMachine::Encrypt(uint8_t* data, std::size_t size) const {
    Transform(data, size, false);
}

bool RotorMachine::Decrypt(uint8_t* data, std::size_t size, std::string* why) const {
    if (m_badRotor >= 0) {
        if (why)
            *why = "rotor " + std::to_string(m_badRotor + 1) +
                   " is not a permutation of the 256 byte values (it lacks byte " +
                   std::to_string(m_missingByte) + ")";
        return false;
    }
    Transform(data, size, true);
    return true;
}

template <int width, int kBatch, typename Batch>
void RotorMachine::ForEachBatch(uint8_t* data, std::size_t size, const uint8_t* tables,
                                std::size_t stride, Batch&& batch) const {
    MachineState s;
    InitState(s);
    uint8_t spare = 0;
    Run runs[kBatch];
    for (std::size_t i = 0; i < size;) {
        for (Run& run : runs) {
            const int64_t left = static_cast<int64_t>(size - i);
            const int n =
                left == 0 ? 0 : static_cast<int>(std::min({int64_t(width), left, UntilShift(s)}));
            for (int k = 0; k < kRotors; ++k) {
                run.table[k] = tables + (s.place[k] >> kRotorBits) * stride;
                run.offset[k] = static_cast<uint8_t>(s.place[k]);
            }
            run.data = n ? data + i : &spare;
            run.count = n;
            if (n) {
                Advance(s, n);
                i += static_cast<std::size_t>(n);
            }
        }
        batch(runs);
    }
}

void RotorMachine::Transform(uint8_t* data, std::size_t size, bool decrypt) const {
#ifdef VANTREL_X86
    if (m_path == Path::Avx512) {
        ForEachBatch<kWideLanes, kWideRuns>(
            data, size, decrypt ? m_inverse.data() : m_forward.data(), 512,
            [&](const Run(&runs)[kWideRuns]) { WideRuns(runs, m_laneTurn, m_passes, decrypt); });
        return;
    }
    if (m_path == Path::Avx2) {
        ForEachBatch<kAvx2Lanes, kAvx2Runs>(
            data, size, decrypt ? m_inverseSlices.data() : m_forwardSlices.data(), 256,
            [&](const Run(&runs)[kAvx2Runs]) { Avx2Runs(runs, m_laneTurn, m_passes, decrypt); });
        return;
    }
#endif
    ForEachBatch<kLanes, kPortableRuns>(
        data, size, decrypt ? m_inverse.data() : m_forward.data(), 512,
        [&](const Run(&runs)[kPortableRuns]) { PortableRuns(runs, m_delta, m_passes, decrypt); });
}
