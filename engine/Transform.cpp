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

// Up to one register's worth of consecutive characters of one run (the
// 512-bit path): only the turns differ between them, by the place's turn per
// character.
struct Run {
    const uint8_t* table[kRotors]; // the table of the rotor standing in each place
    uint8_t offset[kRotors];       // its turn at the first character
    uint8_t* data;
    int count;
};

// Plain C++: eight consecutive characters side by side, so that the chains
// of look-ups overlap. Per place and character, the table index of the
// turned rotor (string * 512 + turn) is worked out run by run from the run's
// first turn, and used by every pass.
constexpr int kLanes = 8;
// Places padded to a multiple of eight 16-bit lanes, so that turning all of
// them is a few vector additions.
constexpr int kPlaces = 24;
constexpr uint16_t kStringMask = 0xFE00;
constexpr uint16_t kOffsetMask = 0xFEFF; // keeps the carry out of the turn
using Plan = uint16_t[kLanes][kPlaces];

void PortableEncrypt(const Plan& plan, const uint8_t* table, int32_t passes, uint8_t* data,
                     int lanes) {
    unsigned v[kLanes];
    for (int j = 0; j < kLanes; ++j)
        v[j] = j < lanes ? data[j] : 0u;
    for (int32_t pass = 0; pass < passes; ++pass)
        for (int k = 0; k < kRotors; ++k)
            for (int j = 0; j < kLanes; ++j)
                v[j] = table[plan[j][k] + v[j]];
    for (int j = 0; j < lanes; ++j)
        data[j] = static_cast<uint8_t>(v[j]);
}

void PortableDecrypt(const Plan& plan, const uint8_t* table, int32_t passes, uint8_t* data,
                     int lanes) {
    unsigned v[kLanes];
    for (int j = 0; j < kLanes; ++j)
        v[j] = j < lanes ? data[j] : 0u;
    for (int32_t pass = 0; pass < passes; ++pass)
        for (int k = kRotors - 1; k >= 0; --k)
            for (int j = 0; j < kLanes; ++j) {
                const unsigned at = plan[j][k];
                v[j] = static_cast<uint8_t>(table[(at & kStringMask) + v[j]] - at);
            }
    for (int j = 0; j < lanes; ++j)
        data[j] = static_cast<uint8_t>(v[j]);
}

#ifdef VANTREL_X86
// 256-bit registers: 32 consecutive characters at a time, across runs.
constexpr int kAvx2Lanes = 32;

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
// Registers of characters that meet the same string at each step.
constexpr int kAvx2Registers = 2;

// Byte x of every lane of each register becomes t[x], from the table's
// slices as SetUp stores them. A byte shuffle looks up 16 bytes and gives 0
// where the index has bit 7 set. With index x - 16i, slice i answers every x
// from 16i to 16i + 127 and nothing below 16i; since each stored slice is the
// exclusive-or of its bytes and the slice before, the answers of slices 0..s
// exclusive-or to slice s for x in slice s. Each half of the table is one
// such chain; bit 7 of x picks the half. Each slice is loaded once for all
// registers.
VANTREL_AVX2_TARGET inline void Lookup32(const uint8_t* slices, __m256i (&x)[kAvx2Registers]) {
    __m256i sixteen = _mm256_set1_epi8(16);
    // Kept opaque: folded into sixteen constants, the subtractions would
    // cost a register or three instructions each.
    __asm__("" : "+x"(sixteen));
    __m256i index[kAvx2Registers], half[2][kAvx2Registers];
    for (int i = 0; i < 16; ++i) {
        const __m256i slice = Slice(slices, i);
        for (int g = 0; g < kAvx2Registers; ++g) {
            index[g] = i == 0 ? x[g] : _mm256_sub_epi8(index[g], sixteen);
            const __m256i answer = _mm256_shuffle_epi8(slice, index[g]);
            half[i / 8][g] = i % 8 == 0 ? answer : _mm256_xor_si256(half[i / 8][g], answer);
        }
    }
    for (int g = 0; g < kAvx2Registers; ++g)
        x[g] = _mm256_blendv_epi8(half[0][g], half[1][g], x[g]);
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
                std::fprintf(stderr,
                             "VANTREL_TRANSFORM=%s: this processor cannot run it, using %s\n",
                             asked, Name(best));
                return best;
            }
        std::fprintf(stderr, "VANTREL_TRANSFORM=%s: not one of portable, avx2, avx512; using %s\n",
                     asked, Name(best));
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
        m_turn[k] = static_cast<uint16_t>(turn & 0xFF);
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
        TransformAvx2(data, size, decrypt);
        return;
    }
#endif
    const uint8_t* table = decrypt ? m_inverse.data() : m_forward.data();
    MachineState s;
    InitState(s);
    alignas(64) Plan plan{};
    for (std::size_t i = 0; i < size; i += kLanes) {
        const int lanes = static_cast<int>(std::min<std::size_t>(kLanes, size - i));
        for (int j = 0; j < lanes;) {
            const int n = static_cast<int>(std::min<int64_t>(lanes - j, UntilShift(s)));
            std::memcpy(plan[j], s.place, sizeof s.place);
            for (int c = j + 1; c < j + n; ++c)
                for (int k = 0; k < kPlaces; ++k)
                    plan[c][k] = static_cast<uint16_t>((plan[c - 1][k] + m_turn[k]) & kOffsetMask);
            Advance(s, n);
            j += n;
        }
        if (decrypt)
            PortableDecrypt(plan, table, m_passes, data + i, lanes);
        else
            PortableEncrypt(plan, table, m_passes, data + i, lanes);
    }
}

#ifdef VANTREL_X86
namespace {

// `count` steps from `phase` on (time modulo 20) for every lane of `v`.
VANTREL_AVX2_TARGET __attribute__((noinline)) void
Avx2Steps(const uint8_t* const (&string)[kRotors], const __m256i (&turn)[kRotors][kAvx2Registers],
          int phase, int64_t count, bool decrypt, __m256i (&out)[kAvx2Registers]) {
    // A copy, so that the compiler need not fear `out` sharing memory with `turn`.
    __m256i v[kAvx2Registers];
    for (int g = 0; g < kAvx2Registers; ++g)
        v[g] = out[g];
    for (int64_t t = 0; t < count; ++t) {
        if (!decrypt)
            for (int g = 0; g < kAvx2Registers; ++g)
                v[g] = _mm256_add_epi8(v[g], turn[phase][g]);
        Lookup32(string[phase], v);
        if (decrypt)
            for (int g = 0; g < kAvx2Registers; ++g)
                v[g] = _mm256_sub_epi8(v[g], turn[phase][g]);
        phase = phase + 1 == kRotors ? 0 : phase + 1;
    }
    for (int g = 0; g < kAvx2Registers; ++g)
        out[g] = v[g];
}

} // namespace

// Consecutive characters share registers even when they belong to several
// runs. The runs of a block are one shift of the order apart, so run q meets
// at place k the string that run 0 meets at place k + q: when run q starts q
// steps after run 0 (in decryption, run 0 starts last), every character meets
// the same string at every step, and only the turns differ. A run outside
// its own steps (the first and last few) keeps its bytes.
VANTREL_AVX2_TARGET void RotorMachine::TransformAvx2(uint8_t* data, std::size_t size,
                                                     bool decrypt) const {
    constexpr int kBlock = kAvx2Lanes * kAvx2Registers;
    const uint8_t* slices = decrypt ? m_inverseSlices.data() : m_forwardSlices.data();
    const int64_t steps = int64_t(kRotors) * m_passes;
    __m256i lane[kAvx2Registers];
    {
        alignas(32) uint8_t index[kBlock];
        for (int j = 0; j < kBlock; ++j)
            index[j] = static_cast<uint8_t>(j);
        for (int g = 0; g < kAvx2Registers; ++g)
            lane[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(index + kAvx2Lanes * g));
    }
    MachineState s;
    InitState(s);
    for (std::size_t at = 0; at < size; at += kBlock) {
        const int count = static_cast<int>(std::min<std::size_t>(kBlock, size - at));
        // The runs in this block: their first lanes, and per place the turn
        // lane 0 would have had the run started there.
        int start[kBlock + 1];
        uint8_t turnAtLane0[kBlock][kRotors];
        const uint8_t* table[kRotors];
        for (int k = 0; k < kRotors; ++k)
            table[k] = slices + (s.place[k] >> kRotorBits) * 256;
        int runs = 0;
        for (int j = 0; j < count; ++runs) {
            const int n = static_cast<int>(std::min<int64_t>(count - j, UntilShift(s)));
            start[runs] = j;
            for (int k = 0; k < kRotors; ++k)
                turnAtLane0[runs][k] = static_cast<uint8_t>(s.place[k] - j * m_delta[k]);
            Advance(s, n);
            j += n;
        }
        start[runs] = count;
        // Run q's step at time t is t - lag(q).
        const auto lag = [&](int q) { return decrypt ? runs - 1 - q : q; };
        __m256i member[kBlock][kAvx2Registers];
        for (int q = 0; q < runs; ++q)
            for (int g = 0; g < kAvx2Registers; ++g)
                member[q][g] = _mm256_andnot_si256(
                    _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(start[q])), lane[g]),
                    _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(start[q + 1])), lane[g]));
        // Per time modulo 20: the string every lane meets, and each lane's turn.
        const uint8_t* string[kRotors];
        __m256i turn[kRotors][kAvx2Registers];
        for (int phase = 0; phase < kRotors; ++phase) {
            for (int g = 0; g < kAvx2Registers; ++g)
                turn[phase][g] = _mm256_setzero_si256();
            for (int q = 0; q < runs; ++q) {
                const int step = ((phase - lag(q)) % kRotors + kRotors) % kRotors;
                const int place = decrypt ? kRotors - 1 - step : step;
                if (q == 0)
                    string[phase] = table[place];
                const __m256i base = _mm256_set1_epi8(static_cast<char>(turnAtLane0[q][place]));
                for (int g = 0; g < kAvx2Registers; ++g) {
                    const __m256i own =
                        _mm256_add_epi8(base, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                                                  m_laneTurn[place].data() + kAvx2Lanes * g)));
                    turn[phase][g] = _mm256_blendv_epi8(turn[phase][g], own, member[q][g]);
                }
            }
        }
        alignas(32) uint8_t partial[kBlock] = {};
        std::memcpy(partial, data + at, std::size_t(count));
        __m256i v[kAvx2Registers];
        for (int g = 0; g < kAvx2Registers; ++g)
            v[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(partial + kAvx2Lanes * g));
        // The steps where every run of the block takes part, then those
        // where only some do.
        const int64_t times = steps + runs - 1;
        const int64_t all = std::max<int64_t>(0, steps - (runs - 1));
        int64_t t = 0;
        int phase = 0;
        for (int part = 0; part < 2; ++part) {
            const int64_t end = part == 0 ? std::min<int64_t>(runs - 1, times) : times;
            for (; t < end; ++t) {
                __m256i next[kAvx2Registers];
                std::memcpy(next, v, sizeof next);
                Avx2Steps(string, turn, phase, 1, decrypt, next);
                for (int g = 0; g < kAvx2Registers; ++g) {
                    __m256i active = _mm256_setzero_si256();
                    for (int q = 0; q < runs; ++q)
                        if (t >= lag(q) && t < lag(q) + steps)
                            active = _mm256_or_si256(active, member[q][g]);
                    v[g] = _mm256_blendv_epi8(v[g], next[g], active);
                }
                phase = phase + 1 == kRotors ? 0 : phase + 1;
            }
            if (part == 0 && all > 0) {
                Avx2Steps(string, turn, phase, all, decrypt, v);
                t += all;
                phase = static_cast<int>((phase + all) % kRotors);
            }
        }
        for (int g = 0; g < kAvx2Registers; ++g)
            _mm256_store_si256(reinterpret_cast<__m256i*>(partial + kAvx2Lanes * g), v[g]);
        std::memcpy(data + at, partial, std::size_t(count));
    }
}
#endif
