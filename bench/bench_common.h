// Helpers shared by the benchmark programs and the peer programs: test music on disk,
// CPU time of the process and of single threads, percentiles, and the result line that
// bench/run.sh collects.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sonaflux::bench {

// A canonical 44-byte-header PCM WAVE file of `frames` frames of a deterministic tone mix
// (never silent for long), written to `path`. False when the file cannot be written.
bool WriteToneWave(const std::string& path, uint32_t rate, uint16_t channels, uint32_t frames);
// A canonical PCM WAVE file of 16-bit `samples` (interleaved `channels`).
bool WritePcmWave(const std::string& path, uint32_t rate, uint16_t channels,
                  const std::vector<int16_t>& samples);
// Reads the whole file once, so that it sits in the page cache before a measurement.
bool WarmPageCache(const std::string& path);

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it by RemoveTree.
std::string MakeScratchDir(const char* stem);
void RemoveTree(const std::string& path);

// User + system CPU time of the whole process so far (getrusage), in microseconds.
uint64_t ProcessCpuMicros();
// Resident set size of this process now (VmRSS of /proc/self/status), in KiB, and its
// peak so far (VmHWM).
uint64_t ResidentKib();
uint64_t PeakResidentKib();
// Threads of this process now (the entries of /proc/self/task).
std::vector<pid_t> ThreadIds();
// Time one thread has run on a CPU, in nanoseconds (/proc/self/task/<tid>/schedstat);
// 0 when the thread is gone.
uint64_t ThreadCpuNanos(pid_t tid);
// Sum of ThreadCpuNanos over `tids`.
uint64_t ThreadsCpuNanos(const std::vector<pid_t>& tids);

// The value below which `fraction` of `values` lie (nearest rank); 0 for no values.
double Percentile(std::vector<double> values, double fraction);

// Command-line "--name value" / "--name=value" pairs; flags without a value map to "1".
std::map<std::string, std::string> ParseArgs(int argc, char** argv);
std::vector<int> ParseIntList(const std::string& text);

// One "RESULT key=value ..." line on stdout, the form bench/run.sh reads.
void PrintResult(const std::vector<std::pair<std::string, std::string>>& fields);
std::string Fixed(double value, int decimals);

}  // namespace sonaflux::bench
