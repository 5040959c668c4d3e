// kvrolesbench: how long kvroles takes on a large SAN, in a lab of its own
// (removed at the end). For each N it scales the lab to N servers with roles
// (as `kvlab scale N --group 16`: every 16th server a primary with the next
// 15 as its distributed servers), which waits for the local table to show
// them, and then measures, each as the median (min..max) of its runs:
//  - the console's first fill of the same lab (consolebench --measure: the
//    hidden main dialog created, its first refresh pass filling both views,
//    inside a process already started), against `kvroles list`, a whole
//    process, and against list less a process that does nothing
//    (`kvroles --help`); the fill and list take turns going first;
//  - `kvroles audit` with the lab's network off, with --parallel 1 and the
//    default, and the ratio of their medians;
//  - the same over a network of 5 ms (+-2) a remote call, with 1 % of the
//    servers offline (a call to one fails after 2000 ms).
// Every figure is the whole kvroles process, started as a child with its
// output in a file; the audits of one setting must print the same whatever
// their parallelism, and the program says whether they did.
// Usage: kvrolesbench [--runs R] [--slow-runs S] [--settle SECONDS] [N ...]
//   R runs of each figure (default 3), S of the audit with --parallel 1 over
//   the slow network (default R); N default 1024 4096.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LabFault.h"
#include "TestLab.h"

namespace {

constexpr unsigned kGroup = 16;
constexpr unsigned kDefaultParallel = 16;  // kvroles' own default
constexpr DWORD kLatencyMs = 5, kJitterMs = 2, kUnreachableMs = 2000;

struct Figures {
  std::vector<double> values;
  double Median() const {
    std::vector<double> s = values;
    std::sort(s.begin(), s.end());
    const size_t n = s.size();
    return n == 0 ? 0 : n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
  }
  std::string Text() const {
    if (values.empty()) return "-";
    char text[96];
    std::snprintf(text, sizeof(text), "%.2f s (%.2f..%.2f)", Median(), *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return text;
  }
};

std::string ThisFolder() {
  char path[MAX_PATH];
  std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
  return exe.substr(0, exe.find_last_of('\\') + 1);
}

std::string TempFile() {
  char folder[MAX_PATH], file[MAX_PATH];
  ::GetTempPathA(sizeof(folder), folder);
  ::GetTempFileNameA(folder, "kvr", 0, file);
  return file;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs kvroles.exe (beside this program) with its output in outFile and
// standard error thrown away; its exit code and wall time.
DWORD RunKvroles(const std::string& args, const std::string& outFile, double& seconds) {
  const std::string exe = ThisFolder() + "kvroles.exe";
  std::string command = "\"" + exe + "\" " + args;
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  kv::CHandle null(::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 OPEN_EXISTING, 0, nullptr));
  kv::CHandle out(::CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr));
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = si.hStdError = null.Get();
  si.hStdOutput = out.Get();
  PROCESS_INFORMATION pi = {};
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  if (!::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    return ::GetLastError();
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  ::WaitForSingleObject(process.Get(), INFINITE);
  ::QueryPerformanceCounter(&end);
  seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  DWORD code = 1;
  ::GetExitCodeProcess(process.Get(), &code);
  return code;
}

// One kind of kvroles run, repeated: its times, exit codes and outputs.
struct Series {
  Figures times;
  std::vector<DWORD> codes;
  std::vector<std::string> outputs;
};

void RunOnce(const std::string& args, Series& series) {
  const std::string file = TempFile();
  double seconds = 0;
  series.codes.push_back(RunKvroles(args, file, seconds));
  series.times.values.push_back(seconds);
  series.outputs.push_back(ReadWhole(file));
  ::DeleteFileA(file.c_str());
}

// The console's first fill of the lab, measured by consolebench in a process
// of its own (its first line: "fill WALL_MS CONSOLE_CPU SERVER_CPU").
bool MeasureFill(double& seconds) {
  const std::string file = TempFile();
  bool ok =
      kvlab::RunBesideThisProgram("consolebench.exe", "--measure \"" + file + "\" " + std::to_string(kGroup)) == 0;
  double ms = 0;
  ok = ok && std::sscanf(ReadWhole(file).c_str(), "fill %lf", &ms) == 1;
  ::DeleteFileA(file.c_str());
  seconds = ms / 1000;
  return ok;
}

bool Same(const Series& a, const Series& b) {
  for (const Series* s : {&a, &b})
    for (size_t i = 0; i < s->codes.size(); ++i)
      if (s->codes[i] != a.codes[0] || s->outputs[i] != a.outputs[0]) return false;
  return !a.codes.empty();
}

std::string Codes(const Series& s) {
  std::string text;
  for (DWORD code : s.codes) text += (text.empty() ? "" : ",") + std::to_string(code);
  return text;
}

void PrintRow(const char* what, const Series& s) {
  std::printf("  %-44s %-24s exit %s\n", what, s.times.Text().c_str(), Codes(s).c_str());
  std::fflush(stdout);
}

// Audits with --parallel 1 and the default, alternating, and prints both
// with the ratio of their medians.
void CompareAudits(const char* setting, int runs, int slowRuns) {
  Series one, many;
  for (int r = 0; r < std::max(runs, slowRuns); ++r) {
    if (r < slowRuns) RunOnce("audit --parallel 1", one);
    if (r < runs) RunOnce("audit", many);
  }
  std::string label = std::string("audit, ") + setting + ", --parallel 1";
  PrintRow(label.c_str(), one);
  label = std::string("audit, ") + setting + ", --parallel " + std::to_string(kDefaultParallel);
  PrintRow(label.c_str(), many);
  const double ratio = many.times.Median() > 0 ? one.times.Median() / many.times.Median() : 0;
  std::printf("    --parallel 1 / --parallel %u: %.1f; same output and exit status: %s\n", kDefaultParallel, ratio,
              Same(one, many) ? "yes" : "NO");
  std::fflush(stdout);
}

int Bench(unsigned count, int runs, int slowRuns, unsigned settleSeconds) {
  kvlab::CScopedLab lab("rolesbench", 0);
  if (LONG rc = lab.StartLocalDiscovery()) return std::printf("local service: status %ld\n", rc), 1;
  if (LONG rc = kvlab::Scale(count, nullptr, static_cast<int>(kGroup)))
    return std::printf("scale: status %ld\n", rc), 1;
  // Right after Scale the lab host's new nodes and the records they re-read
  // keep the wineserver busy for about ten seconds (seen as its CPU time and
  // the host's); then the lab's steady broadcasting is all that is left.
  // Both the fill and list are measured after that, taking turns.
  ::Sleep(settleSeconds * 1000);
  const unsigned primaries = (count + kGroup - 1) / kGroup, members = count - primaries;
  std::printf("%u servers: %u primaries, %u distributed servers; %d runs each, %u s after scaling\n", count, primaries,
              members, runs, settleSeconds);

  Series fill, list, start;
  for (int r = 0; r < runs; ++r) {
    // Either goes first in turn, so that neither always meets the lab as
    // the other left it.
    for (int turn = 0; turn < 2; ++turn) {
      if ((r + turn) % 2 == 0) {
        double seconds = 0;
        if (MeasureFill(seconds)) fill.times.values.push_back(seconds), fill.codes.push_back(0);
      } else {
        RunOnce("list", list);
      }
    }
    RunOnce("--help", start);
  }
  PrintRow("console, first fill (consolebench)", fill);
  PrintRow("kvroles list", list);
  PrintRow("kvroles --help (the process alone)", start);
  if (fill.times.Median() > 0)
    std::printf("    list / first fill: %.2f; list less the process alone / first fill: %.2f\n",
                list.times.Median() / fill.times.Median(),
                (list.times.Median() - start.times.Median()) / fill.times.Median());

  CompareAudits("network off", runs, runs);

  // 1 % of the servers offline, primaries among them: 97, 197, 297, ...
  unsigned offline = 0;
  for (unsigned i = 97; i <= count; i += 100, ++offline)
    if (LONG rc = kvlab::SetOnline(kvlab::ScaleMachineName(i), false))
      return std::printf("offline: status %ld\n", rc), 1;
  if (LONG rc = kvlab::SetNetwork(kLatencyMs, kJitterMs, kUnreachableMs))
    return std::printf("network: status %ld\n", rc), 1;
  char setting[96];
  std::snprintf(setting, sizeof(setting), "%lu ms (+-%lu), %u offline", static_cast<unsigned long>(kLatencyMs),
                static_cast<unsigned long>(kJitterMs), offline);
  if (slowRuns < runs) std::printf("    (--parallel 1 over the network: %d runs)\n", slowRuns);
  CompareAudits(setting, runs, slowRuns);
  kvlab::ClearNetwork();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3, slowRuns = -1, settle = 20;
  std::vector<unsigned> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--runs" || arg == "--slow-runs" || arg == "--settle") && i + 1 < argc)
      (arg == "--runs" ? runs : arg == "--slow-runs" ? slowRuns : settle) = std::atoi(argv[++i]);
    else if (std::strtoul(arg.c_str(), nullptr, 10) > 0)
      counts.push_back(static_cast<unsigned>(std::strtoul(arg.c_str(), nullptr, 10)));
    else
      return std::fprintf(stderr, "usage: kvrolesbench [--runs R] [--slow-runs S] [--settle SECONDS] [N ...]\n"), 2;
  }
  if (counts.empty()) counts = {1024, 4096};
  if (runs < 1) runs = 1;
  if (slowRuns < 1 || slowRuns > runs) slowRuns = runs;
  for (unsigned count : counts)
    if (int rc = Bench(count, runs, slowRuns, static_cast<unsigned>(settle < 0 ? 0 : settle))) return rc;
  return 0;
}
