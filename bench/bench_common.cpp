#include "bench_common.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace sonaflux::bench {

namespace {
void PutLe16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutLe32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
}  // namespace

bool WritePcmWave(const std::string& path, uint32_t rate, uint16_t channels,
                  const std::vector<int16_t>& samples) {
    const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> out;
    out.reserve(44 + dataBytes);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    PutLe32(out, 36 + dataBytes);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLe32(out, 16);
    PutLe16(out, 1);
    PutLe16(out, channels);
    PutLe32(out, rate);
    PutLe32(out, rate * channels * 2u);
    PutLe16(out, static_cast<uint16_t>(channels * 2));
    PutLe16(out, 16);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    PutLe32(out, dataBytes);
    for (int16_t v : samples) PutLe16(out, static_cast<uint16_t>(v));
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(file);
}

bool WriteToneWave(const std::string& path, uint32_t rate, uint16_t channels, uint32_t frames) {
    std::vector<int16_t> samples;
    samples.reserve(static_cast<size_t>(frames) * channels);
    const double pi = 3.14159265358979323846;
    for (uint32_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / rate;
        for (uint16_t c = 0; c < channels; ++c) {
            const double v = 0.4 * std::sin(2 * pi * (220.0 + 110.0 * c) * t) +
                             0.2 * std::sin(2 * pi * 1234.5 * t + c);
            samples.push_back(static_cast<int16_t>(std::lround(v * 32767)));
        }
    }
    return WritePcmWave(path, rate, channels, samples);
}

bool WarmPageCache(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
    }
    return file.eof();
}

std::string MakeScratchDir(const char* stem) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return {};
    return buffer.data();
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

uint64_t ProcessCpuMicros() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval& tv) {
        return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

namespace {
uint64_t StatusKib(const char* key) {
    std::ifstream file("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(key);
    while (std::getline(file, line)) {
        if (line.compare(0, length, key) == 0) {
            return std::strtoull(line.c_str() + length, nullptr, 10);
        }
    }
    return 0;
}
}  // namespace

uint64_t ResidentKib() {
    return StatusKib("VmRSS:");
}

uint64_t PeakResidentKib() {
    return StatusKib("VmHWM:");
}

std::vector<pid_t> ThreadIds() {
    std::vector<pid_t> ids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        ids.push_back(static_cast<pid_t>(std::atol(entry.path().filename().c_str())));
    }
    return ids;
}

uint64_t ThreadCpuNanos(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    uint64_t ns = 0;
    if (!(file >> ns)) return 0;
    return ns;
}

uint64_t ThreadsCpuNanos(const std::vector<pid_t>& tids) {
    uint64_t sum = 0;
    for (pid_t t : tids) sum += ThreadCpuNanos(t);
    return sum;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(fraction * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

std::map<std::string, std::string> ParseArgs(int argc, char** argv) {
    std::map<std::string, std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) != 0) continue;
        a = a.substr(2);
        const size_t eq = a.find('=');
        if (eq != std::string::npos) {
            args[a.substr(0, eq)] = a.substr(eq + 1);
        } else if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) {
            args[a] = argv[++i];
        } else {
            args[a] = "1";
        }
    }
    return args;
}

std::vector<int> ParseIntList(const std::string& text) {
    std::vector<int> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) out.push_back(std::atoi(item.c_str()));
    }
    return out;
}

void PrintResult(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string line = "RESULT";
    for (const auto& [key, value] : fields) line += " " + key + "=" + value;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace sonaflux::bench
