#include "engine/SDK.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "engine/FileIO.h"
#include "engine/SeedRules.h"
#include "engine/WorkFiles.h"

using namespace workfiles;

namespace {

constexpr int kSeedTableSize = 50001;

// Directions when k3.bin is empty: "U" at these places, "D" elsewhere.
constexpr int kDefaultUp[] = {2, 3, 5, 8, 9, 10, 13, 14, 17, 19};

EngineResult ReadFailure(const char* name, int error) {
    if (error == ENOENT)
        return EngineResult::Failure(std::string(name) + " is missing");
    return EngineResult::Failure(std::string(name) + " cannot be read (" + fileio::Describe(error) +
                                 ")");
}

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text)
        out += (static_cast<unsigned char>(c) < 32) ? '?' : c;
    return out + "\"";
}

// Fields of a text file: text up to the next comma or line end (CR LF, CR or
// LF). Text after the last line end counts only when it is not empty.
std::vector<std::string_view> SplitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != ',' && c != '\r' && c != '\n')
            continue;
        fields.push_back(text.substr(start, i - start));
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        fields.push_back(text.substr(start));
    return fields;
}

void Fnv1a(uint32_t& hash, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 16777619u;
    }
}

void Fnv1aWord(uint32_t& hash, uint32_t word) {
    const unsigned char le[4] = {
        static_cast<unsigned char>(word), static_cast<unsigned char>(word >> 8),
        static_cast<unsigned char>(word >> 16), static_cast<unsigned char>(word >> 24)};
    Fnv1a(hash, le, sizeof le);
}

} // namespace

SDK::SDK(std::string appDir) : m_appDir(std::move(appDir)), m_seedTable(kSeedTableSize, 0) {
    if (m_appDir.empty())
        m_appDir = "./";
    else if (m_appDir.back() != '/')
        m_appDir += '/';
    const char* names[kFiles] = {kParams, kSteps, kCounts, kRotorsCurrent, kRotorsReserve};
    for (int f = 0; f < kFiles; ++f)
        m_messagePaths[f] = PathOf(names[f]);
}

void SDK::InitEngine() {
    m_textWipeFill.assign(kTextRecord, '@');
    m_binWipeFill.assign(kRotorRecord, '@');
}

void SDK::ReadDirections(const std::string& data, RotorSetup& setup) {
    if (data.empty()) {
        setup.directions.fill(0);
        for (int place : kDefaultUp)
            setup.directions[place - 1] = 1;
        return;
    }
    // Only an upper-case "D" turns down; any other byte, or a byte missing
    // from a short record, turns up.
    for (int k = 0; k < kRotors; ++k)
        setup.directions[k] = (k < static_cast<int>(data.size()) && data[k] == 'D') ? 0 : 1;
}

EngineResult SDK::ReadSteps(const std::string& data, RotorSetup& setup) {
    if (data.empty()) {
        setup.steps.fill(1);
        return EngineResult::Success();
    }
    const auto fields = SplitFields(data);
    if (fields.size() < static_cast<std::size_t>(kRotors))
        return EngineResult::Failure(std::string(kSteps) + " holds " +
                                     std::to_string(fields.size()) + " step sizes (20 needed)");
    for (int k = 0; k < kRotors; ++k) {
        const auto& field = fields[k];
        const auto number =
            seedrules::ReadLeadingNumber(field.data(), field.data() + field.size(), true);
        const double value = seedrules::RoundHalfEven(number.value);
        if (value > kRotorLength)
            return EngineResult::Failure(std::string(kSteps) + ": step size " + Quoted(field) +
                                         " of rotor position " + std::to_string(k + 1) +
                                         " is above 256");
        setup.steps[k] = value < 1 ? 1 : static_cast<int32_t>(value);
    }
    return EngineResult::Success();
}

EngineResult SDK::ReadCounts(const std::string& data, int16_t& rotorCount, int32_t& passes) {
    // Two numbers separated by blanks, a comma or a line end.
    std::vector<std::string_view> tokens;
    std::string_view text(data);
    std::size_t i = 0;
    while (tokens.size() < 2 && i < text.size()) {
        const auto isSeparator = [](char c) {
            return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n';
        };
        while (i < text.size() && isSeparator(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !isSeparator(text[i]))
            ++i;
        if (i > start)
            tokens.push_back(text.substr(start, i - start));
    }
    double values[2] = {0, 0};
    for (std::size_t t = 0; t < 2; ++t) {
        const auto number = t < tokens.size()
                                ? seedrules::ReadLeadingNumber(
                                      tokens[t].data(), tokens[t].data() + tokens[t].size(), false)
                                : seedrules::LeadingNumber{};
        if (!number.found)
            return EngineResult::Failure(std::string(kCounts) + " does not hold two numbers");
        values[t] = seedrules::RoundHalfEven(number.value);
    }
    if (!(values[0] >= -32768 && values[0] <= 32767))
        return EngineResult::Failure(std::string(kCounts) + ": rotor count " + Quoted(tokens[0]) +
                                     " is out of range");
    if (!(values[1] >= 1 && values[1] <= kMaxPasses))
        return EngineResult::Failure(std::string(kCounts) + ": passes per character " +
                                     Quoted(tokens[1]) + " is outside 1..32767");
    rotorCount = static_cast<int16_t>(values[0]);
    passes = static_cast<int32_t>(values[1]);
    return EngineResult::Success();
}

EngineResult SDK::PrepareMessage(const std::string*& reserve) {
    static const char* const names[kFiles] = {kParams, kSteps, kCounts, kRotorsCurrent,
                                              kRotorsReserve};
    Prepared& p = m_prepared;
    const std::string* data[kFiles] = {};
    m_files.BeginRound();
    // Each file in turn: read (directions and steps from files that are
    // created empty when missing), then taken apart when its content is new.
    for (int f = 0; f < kFiles; ++f) {
        std::uint64_t version = 0;
        const bool create = f == kParamsFile || f == kStepsFile;
        if (int error = m_files.Read(f, m_messagePaths[f], create, data[f], version)) {
            p.versions[f] = 0;
            return ReadFailure(names[f], error);
        }
        if (version == p.versions[f])
            continue;
        p.versions[f] = 0;
        p.machineReady = false;
        const std::string& d = *data[f];
        EngineResult r;
        switch (f) {
        case kParamsFile:
            ReadDirections(d, p.setup);
            break;
        case kStepsFile:
            r = ReadSteps(d, p.setup);
            break;
        case kCountsFile:
            r = ReadCounts(d, p.rotorCount, p.setup.passes);
            break;
        default:
            if (d.size() < static_cast<std::size_t>(kRotorFileSize))
                return EngineResult::Failure(std::string(names[f]) + " is too short (" +
                                             std::to_string(d.size()) + " bytes, 5120 needed)");
            if (f == kCurrentFile)
                for (int k = 0; k < kRotors; ++k)
                    std::memcpy(p.setup.rotors[k].data(), d.data() + k * kRotorRecord,
                                kRotorRecord);
            break;
        }
        if (!r)
            return r;
        p.versions[f] = version;
    }
    if (!p.machineReady) {
        p.setup.cycleTable = m_cycleTable;
        std::string why;
        if (!p.machine.SetUp(p.setup, &why))
            return EngineResult::Failure(why);
        p.restoreNeeded = *data[kCurrentFile] != *data[kReserveFile];
        p.machineReady = true;
    }
    reserve = data[kReserveFile];
    return EngineResult::Success();
}

EngineResult SDK::RestoreRotorFile(const std::string& reserve) {
    if (!m_prepared.restoreNeeded)
        return EngineResult::Success(); // the copy would leave every byte as it is
    // Overwritten in place (and cut when it was longer); read afresh next time.
    const int error = fileio::WriteWhole(m_messagePaths[kCurrentFile], reserve);
    m_files.Forget(kCurrentFile);
    if (error)
        return EngineResult::Failure(std::string(kRotorsCurrent) + " cannot be restored from " +
                                     kRotorsReserve + " (" + fileio::Describe(error) + ")");
    return EngineResult::Success();
}

EngineResult SDK::RunMessage(std::string& text, bool decrypt) {
    if (!m_keysReady)
        return EngineResult::Failure("no keys have been made yet");
    InitEngine();
    const std::string* reserve = nullptr;
    if (auto r = PrepareMessage(reserve); !r)
        return r;
    const RotorMachine& machine = m_prepared.machine;
    std::string out = text;
    auto* bytes = reinterpret_cast<uint8_t*>(out.data());
    if (!decrypt) {
        machine.Encrypt(bytes, out.size());
    } else if (!machine.Decrypt(bytes, out.size(), nullptr)) {
        return EngineResult::Failure(std::string(kRotorsCurrent) + " record " +
                                     std::to_string(machine.FirstNonPermutation() + 1) +
                                     " is not a permutation of the 256 byte values (byte " +
                                     std::to_string(machine.MissingByte()) +
                                     " is missing); its messages cannot be decrypted");
    }
    if (auto r = RestoreRotorFile(*reserve); !r)
        return r;
    text.swap(out);
    m_rotorCount = m_prepared.rotorCount;
    m_passesPerChar = m_prepared.setup.passes;
    return EngineResult::Success();
}

EngineResult SDK::EncryptMessage(std::string& text) {
    return RunMessage(text, false);
}

EngineResult SDK::DecryptMessage(std::string& text) {
    return RunMessage(text, true);
}

EngineResult SDK::KeyCheck(std::string& digest) const {
    if (!m_keysReady)
        return EngineResult::Failure("no keys have been made yet");
    struct DigestInput {
        const char* name;
        std::size_t minimum; // bytes the file must hold
        std::size_t used;    // bytes that enter the digest
    };
    const DigestInput inputs[] = {{kRotorsCurrent, kRotorFileSize, kRotorFileSize},
                                  {kCounts, 1, std::string::npos},
                                  {kParams, kParamRecord, kParamRecord},
                                  {kSteps, 1, std::string::npos}};
    uint32_t hash = 2166136261u;
    std::string data;
    for (const DigestInput& part : inputs) {
        if (int error = fileio::ReadAll(PathOf(part.name), data))
            return ReadFailure(part.name, error);
        if (data.size() < part.minimum)
            return EngineResult::Failure(std::string(part.name) + " is too short (" +
                                         std::to_string(data.size()) + " bytes)");
        const std::string used = data.substr(0, part.used);
        Fnv1aWord(hash, static_cast<uint32_t>(used.size()));
        Fnv1a(hash, used.data(), used.size());
    }
    for (int i = 1; i <= kCycleEntries; ++i)
        Fnv1aWord(hash, static_cast<uint32_t>(m_cycleTable[i]));
    char text[16];
    std::snprintf(text, sizeof text, "%04X %04X", static_cast<unsigned>(hash >> 16),
                  static_cast<unsigned>(hash & 0xFFFF));
    digest = text;
    return EngineResult::Success();
}
