// Speed of the cipher engine: the transform alone on each path this
// processor runs and on the transform as it was before it worked run by run
// (the baseline), whole message calls (which look at every key file each
// time and read it when it may have changed), key generation, and the plain
// string procedure for comparison. Prints the processor's features first and
// the speed-ups against the baseline at the end.
//
//   bench_engine --benchmark_min_time=0.2 --benchmark_repetitions=3
//   VANTREL_TRANSFORM=portable bench_engine   (message calls on another path)

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "LiteralMachine.h"
#include "baseline/BaselineTransform.h"
#include "engine/SDK.h"

namespace {

constexpr std::size_t kMegabyte = 1 << 20;
const std::string kSeed = "21198261162891111168192192121681";

// One engine with real keys in a scratch folder for the whole run.
struct Fixture {
    std::filesystem::path dir;
    SDK* sdk = nullptr;
    RotorSetup setup;

    Fixture() {
        dir = std::filesystem::temp_directory_path() /
              ("bench_engine_" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir);
        sdk = new SDK(dir.string());
        std::string seed = kSeed;
        if (!sdk->CreateKeys(seed)) {
            std::fprintf(stderr, "key generation failed\n");
            std::exit(1);
        }
        // The same set-up a message call builds from the key files.
        std::FILE* f = std::fopen((dir / "k1.bcr").c_str(), "rb");
        for (auto& r : setup.rotors)
            if (std::fread(r.data(), 1, r.size(), f) != r.size())
                std::exit(1);
        std::fclose(f);
        const std::string k3 = ReadText("k3.bin"), k4 = ReadText("k4.bin");
        for (int k = 0; k < kRotors; ++k) {
            setup.directions[k] = k3[k] == 'D' ? 0 : 1;
            setup.steps[k] = k4[5 * k + 1] - '0'; // " 7 \r\n": one digit per line
        }
        setup.passes = 2;
        setup.cycleTable = sdk->CycleTable();
        // The transform figures only mean something if this is the machine
        // the message calls run.
        RotorMachine machine;
        std::string viaMachine(3000, 'a'), viaCall(3000, 'a');
        machine.SetUp(setup, nullptr);
        machine.Encrypt(reinterpret_cast<uint8_t*>(viaMachine.data()), viaMachine.size());
        if (!sdk->EncryptMessage(viaCall) || viaCall != viaMachine) {
            std::fprintf(stderr, "bench set-up differs from the key files\n");
            std::exit(1);
        }
        // Files written moments ago are read again at every message (their
        // times cannot tell a rewrite in the same clock tick); the message
        // figures are for the usual case of key files a few seconds old.
        std::this_thread::sleep_for(
            std::chrono::milliseconds(1000 * fileio::FileCache::kTrustAfterSeconds + 500));
    }
    ~Fixture() {
        sdk->WipeWorkFiles();
        delete sdk;
        std::filesystem::remove_all(dir);
    }
    std::string ReadText(const char* name) const {
        std::string out(200, '\0');
        std::FILE* f = std::fopen((dir / name).c_str(), "rb");
        out.resize(std::fread(out.data(), 1, out.size(), f));
        std::fclose(f);
        return out;
    }
};

Fixture& Keys() {
    static Fixture fixture;
    return fixture;
}

std::string RandomText(std::size_t size) {
    std::mt19937 rng(12345);
    std::string text(size, '\0');
    for (char& c : text)
        c = static_cast<char>(rng() & 0xFF);
    return text;
}

// The transform before it worked run by run, and each path of today's
// machine, all set up from the same keys.
struct Machines {
    BaselineMachine baseline;
    RotorMachine paths[3];

    Machines() {
        baseline.UseWide(false); // its portable lanes are the yardstick
        baseline.SetUp(Keys().setup, nullptr);
        for (const auto path : kPaths) {
            paths[int(path)].UsePath(path);
            paths[int(path)].SetUp(Keys().setup, nullptr);
        }
    }
    static constexpr RotorMachine::Path kPaths[] = {
        RotorMachine::Path::Portable, RotorMachine::Path::Avx2, RotorMachine::Path::Avx512};
};

Machines& AllMachines() {
    static Machines machines;
    return machines;
}

// `path` -1 is the baseline.
void Transform(benchmark::State& state, int path, bool decrypt) {
    std::string text = RandomText(state.range(0));
    auto* data = reinterpret_cast<uint8_t*>(text.data());
    Machines& m = AllMachines();
    for (auto _ : state) {
        if (path < 0 && decrypt)
            m.baseline.Decrypt(data, text.size(), nullptr);
        else if (path < 0)
            m.baseline.Encrypt(data, text.size());
        else if (decrypt)
            m.paths[path].Decrypt(data, text.size(), nullptr);
        else
            m.paths[path].Encrypt(data, text.size());
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void MessageCall(benchmark::State& state, bool decrypt) {
    const std::string plain = RandomText(state.range(0));
    std::string text = plain;
    for (auto _ : state) {
        // Refilling the text is part of the timing: a few hundred bytes
        // copied cost far less than stopping the clock for every call.
        text.assign(plain);
        const EngineResult r =
            decrypt ? Keys().sdk->DecryptMessage(text) : Keys().sdk->EncryptMessage(text);
        if (!r)
            state.SkipWithError(r.error.c_str());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void MessageEncrypt(benchmark::State& state) {
    MessageCall(state, false);
}
void MessageDecrypt(benchmark::State& state) {
    MessageCall(state, true);
}

void CreateKeys(benchmark::State& state) {
    for (auto _ : state) {
        std::string seed = kSeed;
        if (!Keys().sdk->CreateKeys(seed))
            state.SkipWithError("key generation failed");
    }
}

void LiteralEncrypt(benchmark::State& state) {
    const LiteralMachine literal(Keys().setup);
    const std::string text = RandomText(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(literal.Encrypt(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void LiteralDecrypt(benchmark::State& state) {
    const LiteralMachine literal(Keys().setup);
    const std::string text = RandomText(state.range(0));
    std::string out;
    for (auto _ : state)
        benchmark::DoNotOptimize(literal.Decrypt(text, out));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Console output plus, at the end, how much faster the engine's transform is
// than the plain procedure (means when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.counters.count("bytes_per_second") == 0)
                continue;
            const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
            if (run.run_type == Run::RT_Iteration || mean) {
                const std::string name = run.run_name.function_name + "/" + run.run_name.args;
                m_speed[name] = run.counters.at("bytes_per_second");
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char* way : {"Encrypt", "Decrypt"})
            for (const char* size : {"1000", "1048576"}) {
                const auto speed = [&](const std::string& path) {
                    const auto found =
                        m_speed.find(std::string("Transform") + way + "/" + path + "/" + size);
                    return found == m_speed.end() ? 0.0 : found->second;
                };
                const double baseline = speed("baseline");
                if (baseline <= 0)
                    continue;
                std::printf("%s %s B: baseline %.1f MiB/s", way, size, baseline / 1048576.0);
                for (const auto path : Machines::kPaths)
                    if (const double fast = speed(RotorMachine::Name(path)); fast > 0)
                        std::printf(", %s %.1f MiB/s (%.2fx)", RotorMachine::Name(path),
                                    fast / 1048576.0, fast / baseline);
                std::printf("\n");
            }
        for (const char* way : {"Encrypt", "Decrypt"}) {
            const std::string fast = std::string("Transform") + way + "/" +
                                     RotorMachine::Name(RotorMachine::DefaultPath()) + "/1048576";
            const std::string plain = std::string("Literal") + way + "/1048576";
            if (m_speed.count(fast) && m_speed.count(plain))
                std::printf(
                    "%s 1 MiB: transform %.1f MiB/s, plain procedure %.2f MiB/s, ratio %.0fx\n",
                    way, m_speed[fast] / 1048576.0, m_speed[plain] / 1048576.0,
                    m_speed[fast] / m_speed[plain]);
        }
    }

private:
    std::map<std::string, double> m_speed;
};

} // namespace

BENCHMARK(MessageEncrypt)->Arg(kMegabyte)->Unit(benchmark::kMillisecond);
BENCHMARK(MessageDecrypt)->Arg(kMegabyte)->Unit(benchmark::kMillisecond);
BENCHMARK(MessageEncrypt)->Arg(1000)->Arg(20)->Unit(benchmark::kMicrosecond);
BENCHMARK(MessageDecrypt)->Arg(1000)->Arg(20)->Unit(benchmark::kMicrosecond);
BENCHMARK(CreateKeys)->Unit(benchmark::kMillisecond);
BENCHMARK(LiteralEncrypt)->Arg(kMegabyte)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(LiteralDecrypt)->Arg(kMegabyte)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::printf("processor: %s; messages use the %s path\n",
                RotorMachine::ProcessorFeatures().c_str(),
                RotorMachine::Name(RotorMachine::DefaultPath()));
    // Transform<Way>/<path>/<bytes>, for the baseline and each path this
    // processor runs.
    for (const bool decrypt : {false, true}) {
        const std::string way = decrypt ? "TransformDecrypt/" : "TransformEncrypt/";
        for (int path = -1; path < 3; ++path) {
            if (path >= 0 && !RotorMachine::Supported(Machines::kPaths[path]))
                continue;
            const std::string name =
                way + (path < 0 ? "baseline" : RotorMachine::Name(Machines::kPaths[path]));
            benchmark::RegisterBenchmark(name.c_str(), Transform, path, decrypt)
                ->Arg(kMegabyte)
                ->Arg(1000)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    Keys(); // key generation and the wait for settled files stay outside every timing
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
