#include "baseline/BaselineTransform.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define VANTREL_WIDE 1
#include <immintrin.h>
#endif

namespace {

constexpr uint16_t kOffsetMask = 0xFEFF; // keeps the carry out of the offset byte
constexpr uint16_t kStringMask = 0xFE00; // string * 512

#ifdef VANTREL_WIDE
constexpr int kWideLanes = 64;
// Runs transformed side by side, so that the chains of look-ups overlap.
constexpr int kRunsAtOnce = 4;

// Up to 64 consecutive characters that meet the same rotor order: only the
// turns differ between them, by the place's turn per character.
struct Run {
    const uint8_t* table[kRotors]; // the 256-byte table of the rotor per place
    uint8_t offset[kRotors];       // its turn at the first character
    uint8_t* data;
    int count; // 0..64
};

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

VANTREL_WIDE_TARGET void WideRuns(const Run (&runs)[kRunsAtOnce],
                                  const std::array<std::array<uint8_t, 64>, kRotors>& laneTurn,
                                  int32_t passes, bool decrypt) {
    __m512i v[kRunsAtOnce];
    __m512i turn[kRunsAtOnce][kRotors];
    __mmask64 mask[kRunsAtOnce];
    for (int g = 0; g < kRunsAtOnce; ++g) {
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
                for (int g = 0; g < kRunsAtOnce; ++g)
                    v[g] = Lookup(runs[g].table[k], _mm512_add_epi8(v[g], turn[g][k]));
    } else {
        for (int32_t pass = 0; pass < passes; ++pass)
            for (int k = kRotors - 1; k >= 0; --k)
                for (int g = 0; g < kRunsAtOnce; ++g)
                    v[g] = _mm512_sub_epi8(Lookup(runs[g].table[k], v[g]), turn[g][k]);
    }
    for (int g = 0; g < kRunsAtOnce; ++g)
        _mm512_mask_storeu_epi8(runs[g].data, mask[g], v[g]);
}
#endif

} // namespace

bool BaselineMachine::WideSupported() {
#ifdef VANTREL_WIDE
    static const bool supported = __builtin_cpu_supports("avx512f") &&
                                  __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vbmi");
    return supported;
#else
    return false;
#endif
}

bool BaselineMachine::UseWide(bool on) {
    m_wide = on && WideSupported();
    return m_wide;
}

bool BaselineMachine::SetUp(const RotorSetup& setup, std::string* why) {
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
    }
    m_delta.fill(0);
    for (int k = 0; k < kRotors; ++k) {
        const int32_t step = setup.steps[k];
        const int32_t turn = setup.directions[k] != 0 ? step : kRotorLength - step;
        m_delta[k] = static_cast<uint16_t>(turn & 0xFF);
        for (int j = 0; j < 64; ++j)
            m_laneTurn[k][j] = static_cast<uint8_t>(j * turn);
    }
    m_passes = setup.passes;
    m_cycle = setup.cycleTable;
    return true;
}

void BaselineMachine::InitState(MachineState& s) const {
    std::memset(s.place, 0, sizeof s.place);
    for (int k = 0; k < kRotors; ++k)
        s.place[k] = static_cast<uint16_t>(k * 512);
    s.cycleIdx = 1;
    s.cycleLen = m_cycle[1];
    s.cycleCount = 0;
}

void BaselineMachine::StepRotors(MachineState& s) const {
    for (int k = 0; k < kPlaces; ++k)
        s.place[k] = static_cast<uint16_t>((s.place[k] + m_delta[k]) & kOffsetMask);
    CycleRotors(s, 1);
}

void BaselineMachine::Advance(MachineState& s, int64_t n) const {
    const unsigned times = static_cast<unsigned>(n & 0xFF);
    for (int k = 0; k < kRotors; ++k) {
        const unsigned offset = (s.place[k] + times * m_delta[k]) & 0xFF;
        s.place[k] = static_cast<uint16_t>((s.place[k] & kStringMask) | offset);
    }
    CycleRotors(s, n);
}

int64_t BaselineMachine::UntilShift(const MachineState& s) {
    return std::max<int64_t>(1, s.cycleLen - s.cycleCount);
}

void BaselineMachine::CycleRotors(MachineState& s, int64_t n) const {
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

void BaselineMachine::PlanLanes(MachineState& s, Schedule& plan) const {
    for (int j = 0; j < kLanes; ++j) {
        std::memcpy(plan[j], s.place, sizeof s.place);
        StepRotors(s);
    }
}

void BaselineMachine::EncryptChar(const Schedule& plan, uint8_t* data, int lanes) const {
    unsigned v[kLanes];
    for (int j = 0; j < kLanes; ++j)
        v[j] = j < lanes ? data[j] : 0u;
    const uint8_t* table = m_forward.data();
    for (int32_t pass = 0; pass < m_passes; ++pass) {
        for (int k = 0; k < kRotors; ++k) {
            for (int j = 0; j < kLanes; ++j)
                v[j] = table[plan[j][k] + v[j]];
        }
    }
    for (int j = 0; j < lanes; ++j)
        data[j] = static_cast<uint8_t>(v[j]);
}

void BaselineMachine::DecryptChar(const Schedule& plan, uint8_t* data, int lanes) const {
    unsigned v[kLanes];
    for (int j = 0; j < kLanes; ++j)
        v[j] = j < lanes ? data[j] : 0u;
    const uint8_t* table = m_inverse.data();
    for (int32_t pass = 0; pass < m_passes; ++pass) {
        for (int k = kRotors - 1; k >= 0; --k) {
            for (int j = 0; j < kLanes; ++j) {
                const unsigned at = plan[j][k];
                v[j] = static_cast<uint8_t>(table[(at & kStringMask) + v[j]] - at);
            }
        }
    }
    for (int j = 0; j < lanes; ++j)
        data[j] = static_cast<uint8_t>(v[j]);
}

void BaselineMachine::Encrypt(uint8_t* data, std::size_t size) const {
    Transform(data, size, false);
}

bool BaselineMachine::Decrypt(uint8_t* data, std::size_t size, std::string* why) const {
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

void BaselineMachine::Transform(uint8_t* data, std::size_t size, bool decrypt) const {
    MachineState s;
    InitState(s);
#ifdef VANTREL_WIDE
    if (m_wide) {
        const uint8_t* tables = decrypt ? m_inverse.data() : m_forward.data();
        uint8_t spare = 0;
        Run runs[kRunsAtOnce];
        for (std::size_t i = 0; i < size;) {
            for (Run& run : runs) {
                const int64_t left = static_cast<int64_t>(size - i);
                const int n =
                    left == 0
                        ? 0
                        : static_cast<int>(std::min({int64_t(kWideLanes), left, UntilShift(s)}));
                for (int k = 0; k < kRotors; ++k) {
                    run.table[k] = tables + (s.place[k] & kStringMask);
                    run.offset[k] = static_cast<uint8_t>(s.place[k]);
                }
                run.data = n ? data + i : &spare;
                run.count = n;
                if (n) {
                    Advance(s, n);
                    i += static_cast<std::size_t>(n);
                }
            }
            WideRuns(runs, m_laneTurn, m_passes, decrypt);
        }
        return;
    }
#endif
    alignas(64) Schedule plan;
    for (std::size_t i = 0; i < size; i += kLanes) {
        PlanLanes(s, plan);
        const int lanes = static_cast<int>(std::min<std::size_t>(kLanes, size - i));
        if (decrypt)
            DecryptChar(plan, data + i, lanes);
        else
            EncryptChar(plan, data + i, lanes);
    }
}
