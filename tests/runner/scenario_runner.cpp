// Host scenario runner: builds the simulated machine a scenario file describes, runs the
// product's real entry routine against it and checks every expectation of the file.
//
//   scenario_runner FILE.yaml [--module PATH]
//   scenario_runner --sweep CLASS [--at N] FILE.yaml [--module PATH]
//
// Exit status: 0 when every expectation holds, 1 on a mismatch (a diff on stderr), 2 when the
// file cannot be read or uses a key the runner does not know.
//
// The sweep mode runs the scenario's first run again and again with one call of a fault class
// failing (CLASS: alloc, file, registry, process, device, or all): the first call, then the
// second, and so on until a run ends without reaching the failing call; once with the fault
// transient (only that call fails) and once persistent (every later call of the class fails
// too). Each run is a child process forked from the built machine, so that a crash or a
// sanitizer report ends that run only. The scenario's expectations do not hold under faults;
// what every run must still show is: an exit code from 0 to 3, nothing left open or leaked,
// every file that is not a sample still there with its content, the log only appended to, and
// every line WININIT.INI had still there in its order. --at N runs only the runs whose Nth call
// fails, to look at a failure again.
//
// Each run of the tool is one load of the product module (the product's sources built as a
// shared object): dlopen runs its static initialisation, as a process start does, and dlclose
// runs its static destructors, as a process exit does (the trace log's root scope ends there
// and closes the log file). The simulated machine lives in this executable and outlasts the
// module, so a scenario's second run finds the machine as the first run and the restart left
// it, while the product's own process-wide state (outcome counters, the remembered platform,
// the silent flag, the trace settings) starts fresh, as in a new process.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "sim/sim.h"
#include "sim/sim_devices.h"
#include "sim/sim_processes.h"
#include "sim/sim_registry.h"
#include "sim/sim_services.h"
#include "tools/samples/sample_writer.h"

// The leak check of one sweep run, when the runner is built with LeakSanitizer (ASan brings it).
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define VORLAX_HAVE_LSAN 1
#else
#define VORLAX_HAVE_LSAN 0
#endif

#ifndef VORLAX_PRODUCT_MODULE
#define VORLAX_PRODUCT_MODULE ""
#endif

// The product's entry routine, as the host build names it.
typedef int (*EntryRoutine)(int, char**);  // int VorlaxCleanMain(int, char**)
static const char kEntrySymbol[] = "_Z15VorlaxCleanMainiPPc";

namespace {

const char kProgramPath[] = "C:\\vctool\\VorlaxClean.exe";
const char kLogPath[] = "C:\\windows\\VorlaxClean.log";
const char kWininitPath[] = "C:\\windows\\WININIT.INI";

std::string g_modulePath = VORLAX_PRODUCT_MODULE;
std::vector<std::string> g_failures;

// A scenario that cannot be understood (unknown key, wrong value): exit 2 at once.
[[noreturn]] void BadScenario(const std::string& what) {
  fprintf(stderr, "scenario error: %s\n", what.c_str());
  exit(2);
}

void Fail(const std::string& what) { g_failures.push_back(what); }

// What a runner's machine cannot show, with the reason. Empty: it shows everything.
struct Limits {
  std::string processPaths;  // the tool cannot read the image paths of other processes
};
Limits g_limits;
// Set from the scenario: a running process whose image is a worm sample. Without process paths
// its whole run takes another course (the worm is not found in memory).
bool g_infectedProcess = false;

std::vector<std::string> g_skipped;
void Skip(const std::string& what, const std::string& reason) { g_skipped.push_back(what + ": " + reason); }


// ---------------------------------------------------------------- texts

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return out;
}

// YAML texts stand for text-mode files and streams: each LF is stored as CR LF.
std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// One line of a text with its control characters shown: CR as \r, LF as \n, others as \xNN.
std::string Visible(const std::string& text) {
  std::string out;
  char hex[8];
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\";
    } else if (c < 0x20 || c >= 0x7F) {
      snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Splits after each LF, keeping the line ends, so that a line's CR LF shows.
std::vector<std::string> SplitKeepingEnds(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

// Byte-for-byte comparison with a line diff: both texts in full, line by line, with the first
// differing line marked.
void CompareText(const std::string& what, const std::string& expected, const std::string& actual) {
  if (expected == actual) return;
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  std::vector<std::string> e = SplitKeepingEnds(expected);
  std::vector<std::string> a = SplitKeepingEnds(actual);
  std::ostringstream out;
  out << what << " differs at byte " << at << " (expected " << expected.size() << " bytes, got " << actual.size()
      << ")\n";
  size_t n = e.size() > a.size() ? e.size() : a.size();
  bool marked = false;
  for (size_t i = 0; i < n; ++i) {
    std::string x = i < e.size() ? e[i] : std::string();
    std::string y = i < a.size() ? a[i] : std::string();
    bool same = i < e.size() && i < a.size() && x == y;
    if (same) {
      out << "      " << Visible(x) << "\n";
    } else {
      const char* mark = marked ? "" : "  <== first difference";
      marked = true;
      out << "  -   " << (i < e.size() ? Visible(x) : std::string("(no line)")) << mark << "\n";
      out << "  +   " << (i < a.size() ? Visible(y) : std::string("(no line)")) << "\n";
    }
  }
  out << "  (- expected, + actual; \\r is CR, \\n is LF)";
  Fail(out.str());
}

// Lines of a text-mode file: split at CR LF; a last line without an end is kept.
std::vector<std::string> CrlfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The log masking both runners apply before comparing (tests/scenarios/README.md, "Masking"):
// process ids, the list's address when it is not 0, "examinate process" lines of images the
// scenario does not name, and clean "path" lines of files it does not name (the tool is named).
std::set<std::string> g_maskFiles;   // upper case
std::set<std::string> g_maskImages;  // upper case

// A CR LF text with each line given to keep (without its CR LF), which may change it; the lines
// it returns false for are dropped with their line end.
template <class Keep>
std::string FilterCrlfLines(const std::string& text, Keep keep) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    bool last = end == std::string::npos;
    std::string line = text.substr(start, last ? std::string::npos : end - start);
    start = last ? text.size() : end + 2;
    if (!keep(line)) continue;
    out += line;
    if (!last) out += "\r\n";
  }
  return out;
}

std::string MaskLog(const std::string& text) {
  return FilterCrlfLines(text, [](std::string& line) {
    size_t pid = line.find("(PID=0x");
    if (pid != std::string::npos) {
      size_t close = line.find(')', pid);
      if (close != std::string::npos) line.replace(pid, close - pid, "(PID=0xPID");
    }
    const std::string imaged = "Will delete infected imaged from 0x";
    if (line.compare(0, imaged.size(), imaged) == 0 && line.find_first_not_of('0', imaged.size()) != std::string::npos)
      line = imaged + "ADDR";
    std::string upper = line;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const std::string examinate = "EXAMINATE PROCESS ", pidTail = " (PID=0XPID)";
    if (upper.compare(0, examinate.size(), examinate) == 0 && upper.size() > examinate.size() + pidTail.size() &&
        upper.compare(upper.size() - pidTail.size(), pidTail.size(), pidTail) == 0 &&
        g_maskImages.count(upper.substr(examinate.size(), upper.size() - examinate.size() - pidTail.size())) == 0)
      return false;
    const std::string path = "PATH ", clean = " INFECTION=0";
    if (upper.compare(0, path.size(), path) == 0 && upper.size() > path.size() + clean.size() &&
        upper.compare(upper.size() - clean.size(), clean.size(), clean) == 0 &&
        g_maskFiles.count(upper.substr(path.size(), upper.size() - path.size() - clean.size())) == 0)
      return false;
    return true;
  });
}

// ---------------------------------------------------------------- YAML helpers

void CheckKeys(const YAML::Node& map, const std::set<std::string>& known, const std::string& where) {
  if (!map) return;
  if (!map.IsMap()) BadScenario(where + " must be a mapping");
  for (const auto& kv : map) {
    std::string key = kv.first.as<std::string>();
    if (known.count(key) == 0) BadScenario("unknown key '" + key + "' in " + where);
  }
}

std::string Str(const YAML::Node& node, const std::string& fallback = std::string()) {
  if (!node || node.IsNull()) return fallback;
  return node.as<std::string>();
}

long Num(const YAML::Node& node, long fallback) {
  if (!node || node.IsNull()) return fallback;
  return node.as<long>();
}

bool Flag(const YAML::Node& node, bool fallback) {
  if (!node || node.IsNull()) return fallback;
  return node.as<bool>();
}

std::vector<std::string> StrList(const YAML::Node& node, const std::string& where) {
  std::vector<std::string> out;
  if (!node) return out;
  if (!node.IsSequence()) BadScenario(where + " must be a list");
  for (const auto& item : node) out.push_back(item.as<std::string>());
  return out;
}

// ---------------------------------------------------------------- the machine

UINT DriveType(const std::string& name) {
  static const std::map<std::string, UINT> types = {{"fixed", DRIVE_FIXED},   {"removable", DRIVE_REMOVABLE},
                                                    {"remote", DRIVE_REMOTE}, {"cdrom", DRIVE_CDROM},
                                                    {"ramdisk", DRIVE_RAMDISK}, {"unknown", DRIVE_UNKNOWN}};
  auto it = types.find(name);
  if (it == types.end()) BadScenario("unknown drive type '" + name + "'");
  return it->second;
}

DWORD ServiceStateOf(const std::string& name) {
  static const std::map<std::string, DWORD> states = {
      {"stopped", SERVICE_STOPPED},         {"start_pending", SERVICE_START_PENDING},
      {"stop_pending", SERVICE_STOP_PENDING}, {"running", SERVICE_RUNNING},
      {"continue_pending", SERVICE_CONTINUE_PENDING}, {"pause_pending", SERVICE_PAUSE_PENDING},
      {"paused", SERVICE_PAUSED}};
  auto it = states.find(name);
  if (it == states.end()) BadScenario("unknown service state '" + name + "'");
  return it->second;
}

std::string FileContent(const YAML::Node& file, const std::string& path) {
  std::string content = Str(file["content"], "plain");
  size_t size = static_cast<size_t>(Num(file["size"], 8192));
  uint32_t seed = static_cast<uint32_t>(Num(file["seed"], 1));
  bool sample = content == "row0" || content == "row1" || content == "near0" || content == "near1";
  if (sample && size < samples::kSignedEnd) BadScenario("a sample needs at least 8192 bytes: " + path);
  if (content == "row0") return samples::MakeSample(samples::kRow0Crc, size, seed);
  if (content == "row1") return samples::MakeSample(samples::kRow1Crc, size, seed);
  if (content == "near0") return samples::MakeNearMiss(samples::kRow0Crc, size, seed);
  if (content == "near1") return samples::MakeNearMiss(samples::kRow1Crc, size, seed);
  if (content == "plain") return samples::MakePlain(size, seed);
  if (content == "text") {
    if (!file["text"]) BadScenario("content: text needs a text key: " + path);
    return Crlf(file["text"].as<std::string>());
  }
  BadScenario("unknown content '" + content + "' for " + path);
}

void BuildFiles(const YAML::Node& files) {
  if (!files) return;
  for (const auto& file : files) {
    CheckKeys(file, {"path", "content", "size", "seed", "text", "readonly", "held_open"}, "machine.files");
    std::string path = Str(file["path"]);
    if (path.empty()) BadScenario("a file without a path");
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    if (Flag(file["readonly"], false)) attributes |= FILE_ATTRIBUTE_READONLY;
    sim::PutFile(path, FileContent(file, path), attributes);
    if (file["held_open"]) {
      std::string sharing = Str(file["held_open"]);
      DWORD share;
      if (sharing == "read") {
        share = FILE_SHARE_READ;
      } else if (sharing == "none") {
        share = 0;
      } else if (sharing == "readwrite") {
        share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      } else {
        BadScenario("held_open must be read, none or readwrite: " + path);
      }
      sim::HoldOpen(path, GENERIC_READ, share);
    }
  }
}

void BuildRegistry(const YAML::Node& values) {
  if (!values) return;
  for (const auto& value : values) {
    CheckKeys(value, {"key", "name", "type", "data"}, "machine.registry");
    std::string key = Str(value["key"]);
    if (key.empty()) BadScenario("a registry entry without a key");
    if (!value["name"]) {
      sim::RegPutKey(key);
      continue;
    }
    std::string name = Str(value["name"]);
    std::string type = Str(value["type"], "REG_SZ");
    if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
      std::string bytes = Str(value["data"]);
      bytes += '\0';
      sim::RegPutValue(key, name, type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ, bytes);
    } else if (type == "REG_DWORD") {
      uint32_t number = static_cast<uint32_t>(Num(value["data"], 0));
      std::string bytes(4, '\0');
      for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((number >> (8 * i)) & 0xFF);
      sim::RegPutValue(key, name, REG_DWORD, bytes);
    } else {
      BadScenario("unknown registry type '" + type + "'");
    }
  }
}

void BuildProcesses(const YAML::Node& processes) {
  if (!processes) return;
  for (const auto& process : processes) {
    CheckKeys(process, {"image", "pid", "can_query", "can_terminate", "terminate_succeeds", "needs_debug_privilege"},
              "machine.processes");
    std::string image = Str(process["image"]);
    if (image.empty()) BadScenario("a process without an image");
    sim::ProcessOptions options;
    options.canQuery = Flag(process["can_query"], true);
    options.canTerminate = Flag(process["can_terminate"], true);
    options.terminateSucceeds = Flag(process["terminate_succeeds"], true);
    options.needsDebugPrivilege = Flag(process["needs_debug_privilege"], false);
    sim::AddProcess(image, static_cast<DWORD>(Num(process["pid"], 0)), options);
  }
}

// One answer of a scripted driver: accept, word:N (accept, replying the 16-bit N), pend,
// stuck (pending, and the cancel does not end it), or refuse:ERROR.
sim::DeviceAnswer DeviceAnswerOf(const std::string& text) {
  if (text == "accept") return sim::Accept();
  if (text == "pend") return sim::Pend();
  if (text == "stuck") return sim::Stuck();
  if (text.rfind("word:", 0) == 0) return sim::AcceptWord(static_cast<WORD>(strtoul(text.c_str() + 5, nullptr, 0)));
  if (text.rfind("refuse:", 0) == 0) return sim::Refuse(static_cast<DWORD>(strtoul(text.c_str() + 7, nullptr, 0)));
  BadScenario("a device answer is accept, word:N, pend, stuck or refuse:ERROR, not '" + text + "'");
}

void BuildDevices(const YAML::Node& devices) {
  if (!devices) return;
  for (const auto& device : devices) {
    CheckKeys(device, {"path", "codes"}, "machine.devices");
    std::string path = Str(device["path"]);
    if (path.empty()) BadScenario("a device without a path");
    sim::AddDevice(path);
    if (!device["codes"]) continue;
    for (const auto& code : device["codes"]) {
      CheckKeys(code, {"code", "answers"}, "machine.devices.codes");
      if (!code["code"]) BadScenario("a device code without its number: " + path);
      std::vector<sim::DeviceAnswer> answers;
      for (const std::string& answer : StrList(code["answers"], "machine.devices.codes.answers"))
        answers.push_back(DeviceAnswerOf(answer));
      if (answers.empty()) BadScenario("a device code without answers: " + path);
      sim::SetDeviceAnswers(path, static_cast<DWORD>(code["code"].as<unsigned long>()), answers);
    }
  }
}

// The shell an NT machine runs, where both the simulated machine and Wine keep it.
const char kNtShellImage[] = "C:\\windows\\system32\\explorer.exe";

const std::set<std::string> kMachineKeys = {"admin",    "shell",     "drives",   "dirs",    "links",  "files",
                                            "registry", "processes", "services", "devices", "faults", "user",
                                            "computer_name", "free_space"};

// Whether the machine runs its shell: an NT machine does unless the scenario says otherwise;
// a 9x machine only when the scenario says so.
bool MachineRunsShell(const YAML::Node& scenario) {
  const YAML::Node machine = scenario["machine"];
  bool nt = Str(scenario["platform"], "nt") == "nt";
  return Flag(machine ? machine["shell"] : YAML::Node(), nt);
}

// What the masks and the limits need to know of the scenario, for either runner.
void PrepareChecks(const YAML::Node& scenario) {
  std::string platform = Str(scenario["platform"], "nt");
  if (platform != "nt" && platform != "98") BadScenario("platform must be nt or 98");
  const YAML::Node machine = scenario["machine"];
  CheckKeys(machine, kMachineKeys, "machine");
  g_maskFiles = {"C:\\VCTOOL\\VORLAXCLEAN.EXE"};
  g_maskImages.clear();
  if (MachineRunsShell(scenario))
    g_maskImages.insert(Upper(platform == "nt" ? kNtShellImage : "C:\\windows\\explorer.exe"));
  g_infectedProcess = false;
  std::set<std::string> samples;
  if (machine && machine["files"] && machine["files"].IsSequence()) {
    for (const auto& file : machine["files"]) {
      std::string path = Upper(Str(file["path"]));
      g_maskFiles.insert(path);
      std::string content = Str(file["content"], "plain");
      if (content == "row0" || content == "row1") samples.insert(path);
    }
  }
  if (machine && machine["processes"] && machine["processes"].IsSequence()) {
    for (const auto& process : machine["processes"]) {
      std::string image = Upper(Str(process["image"]));
      g_maskImages.insert(image);
      if (samples.count(image)) g_infectedProcess = true;
    }
  }
}

void BuildMachine(const YAML::Node& scenario) {
  sim::Reset();
  PrepareChecks(scenario);
  if (Str(scenario["platform"], "nt") == "nt") {
    sim::SetWindowsNt();
  } else {
    sim::SetWindows98();
  }
  const YAML::Node machine = scenario["machine"];
  if (!machine) {
    if (MachineRunsShell(scenario)) sim::StartShell();
    return;
  }

  // The token's user (localsystem: S-1-5-18, as under a startup script) and the computer name.
  std::string user = Str(machine["user"], "user");
  if (user != "user" && user != "localsystem") BadScenario("user must be user or localsystem");
  sim::SetLocalSystemUser(user == "localsystem");
  if (machine["computer_name"]) sim::SetComputerName(Str(machine["computer_name"]));

  std::string admin = Str(machine["admin"], "member");
  if (admin == "member") {
    sim::SetAdmin(sim::kAdminMember);
  } else if (admin == "absent") {
    sim::SetAdmin(sim::kAdminAbsent);
  } else if (admin == "deny-only") {
    sim::SetAdmin(sim::kAdminDenyOnly);
  } else {
    BadScenario("admin must be member, absent or deny-only");
  }

  if (machine["drives"]) {
    for (const auto& drive : machine["drives"]) {
      CheckKeys(drive, {"letter", "type"}, "machine.drives");
      std::string letter = Str(drive["letter"]);
      if (letter.size() != 1) BadScenario("a drive letter is one letter");
      sim::AddDrive(letter[0], DriveType(Str(drive["type"], "fixed")));
    }
  }
  for (const std::string& dir : StrList(machine["dirs"], "machine.dirs")) sim::MakeDirectory(dir);
  if (machine["free_space"]) sim::SetFreeSpace('C', static_cast<uint64_t>(Num(machine["free_space"], 0)));
  if (machine["links"]) {
    for (const auto& link : machine["links"]) {
      CheckKeys(link, {"path", "target"}, "machine.links");
      sim::MakeDirectoryLink(Str(link["path"]), Str(link["target"]));
    }
  }
  BuildFiles(machine["files"]);
  BuildRegistry(machine["registry"]);
  if (MachineRunsShell(scenario)) sim::StartShell();
  BuildProcesses(machine["processes"]);
  if (machine["services"]) {
    for (const auto& service : machine["services"]) {
      CheckKeys(service, {"name", "state"}, "machine.services");
      sim::AddService(Str(service["name"]), ServiceStateOf(Str(service["state"], "running")));
    }
  }
  BuildDevices(machine["devices"]);
  if (machine["faults"]) {
    for (const auto& fault : machine["faults"]) {
      CheckKeys(fault, {"api", "nth", "persistent", "error"}, "machine.faults");
      std::string api = Str(fault["api"]);
      if (api.empty()) BadScenario("a fault without an api");
      if (!sim::IsFaultApi(api))
        BadScenario("machine.faults: no fault point has the api '" + api + "' (the names are in sim/fault_points.h)");
      long nth = Num(fault["nth"], 1);
      if (!sim::FailApi(api, nth, Flag(fault["persistent"], false), static_cast<DWORD>(Num(fault["error"], 0))))
        BadScenario("machine.faults: nth " + std::to_string(nth) + " for '" + api + "' (the first call is 1)");
    }
  }
}

// ---------------------------------------------------------------- one run of the tool

// What the machine showed before a run, so that a run's own output can be told apart.
struct RunRecord {
  int exitCode = -1;
  size_t consoleBefore = 0;
  size_t logBefore = 0;
  size_t startedBefore = 0;
  int keyReadsBefore = 0;
  size_t terminationsBefore = 0;
  size_t titlesBefore = 0;
  std::string titleBefore;
};

RunRecord RunTool(const std::vector<std::string>& args, const std::string& keys) {
  RunRecord run;
  run.consoleBefore = sim::ConsoleOutput().size();
  run.logBefore = sim::FileData(kLogPath).size();
  run.startedBefore = sim::StartedProcesses().size();
  run.keyReadsBefore = sim::KeyReads();
  run.terminationsBefore = sim::Terminations().size();
  run.titlesBefore = sim::ConsoleTitles().size();
  run.titleBefore = sim::ConsoleTitle();
  sim::PushKeys(keys);

  std::vector<std::string> strings;
  strings.push_back(kProgramPath);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(&s[0]);
  argv.push_back(nullptr);

  // Loading the module is the process start; unloading it is the process exit.
  void* module = dlopen(g_modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) BadScenario(std::string("cannot load the product: ") + dlerror());
  EntryRoutine entry = reinterpret_cast<EntryRoutine>(dlsym(module, kEntrySymbol));
  if (entry == nullptr) BadScenario("the product has no entry routine VorlaxCleanMain");
  run.exitCode = entry(static_cast<int>(strings.size()), argv.data());
  dlclose(module);
  // The process has ended: Windows closes what requests it gave up to a stuck driver still hold.
  sim::EndProgram();
  void* stillThere = dlopen(g_modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (stillThere != nullptr) {
    dlclose(stillThere);
    BadScenario("the product module stayed loaded; a second run would not start fresh");
  }
  return run;
}

std::string RunText(const std::string& all, size_t before) { return before <= all.size() ? all.substr(before) : all; }

// ---------------------------------------------------------------- what a runner saw
//
// The checks below are the only rules that compare a run with a scenario. They read what a
// runner saw through two shapes: the facts of one run (RunFacts) and the machine as it stood
// afterwards (MachineView). The host runner fills both from the simulated machine; the Wine
// runner writes them as a record (--check-record), which this program reads back.

struct StartedProgram {
  std::string application;  // empty when none was passed
  std::string commandLine;
  DWORD flags = 0;
};

struct RunFacts {
  int exitCode = -1;
  std::string console;  // this run's standard output
  std::string log;      // what this run appended to the log
  std::vector<StartedProgram> started;
  int keyReads = 0;
  bool keyReadBeforeStart = false;  // the last key read came before the first program start
  std::string keyOrder;             // how that was seen, for the message when it fails
  std::vector<std::string> terminated;
  bool examinedProcesses = true;  // the run opened processes to examine them (false: it ended before)
  bool titlesSeen = false;         // the runner saw the console window's titles
  std::string titlesUnseen;        // why not
  std::string titleBefore;         // the title the console had when the run began
  std::vector<std::string> titles;  // every title the run set, in order
};

class MachineView {
 public:
  virtual ~MachineView() {}
  virtual bool Exists(const std::string& path) const = 0;
  virtual bool GetFile(const std::string& path, std::string* data) const = 0;  // false: absent or a directory
  virtual bool RegHasKey(const std::string& key) const = 0;
  virtual bool RegHasValue(const std::string& key, const std::string& name) const = 0;
  virtual std::vector<sim::PendingOperation> Pending() const = 0;
};

// ---------------------------------------------------------------- checks

void CheckLogLineEnds(const std::string& log, const std::string& where) {
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] == '\n' && (i == 0 || log[i - 1] != '\r')) {
      Fail(where + ".log: a line feed at byte " + std::to_string(i) + " is not preceded by a carriage return");
      return;
    }
  }
}

void CheckLogLines(const std::vector<std::string>& wanted, const std::string& text, const std::string& where) {
  std::vector<std::string> lines = CrlfLines(text);
  size_t at = 0;
  for (const std::string& want : wanted) {
    size_t i = at;
    while (i < lines.size() && lines[i] != want) ++i;
    if (i == lines.size()) {
      std::ostringstream out;
      out << where << ".log_lines: no line \"" << Visible(want) << "\" after log line " << at
          << "; the run's log lines are:\n";
      for (size_t k = 0; k < lines.size(); ++k) out << "  " << k << ": " << Visible(lines[k]) << "\n";
      Fail(out.str());
      return;
    }
    at = i + 1;
  }
}

// The lines of the process phase that name one process: they are written only where the tool
// can read the process's image path.
bool IsProcessLine(const std::string& line) {
  static const char* const starts[] = {"examinate process ", "cannot open infected process "};
  for (const char* s : starts)
    if (line.compare(0, strlen(s), s) == 0) return true;
  return line.compare(0, 8, "Process ") == 0 &&
         (line.find(" is infection") != std::string::npos || line.find(" terminated with status ") != std::string::npos);
}

// A masked CR LF text less its process lines; counts what it dropped.
std::string WithoutProcessLines(const std::string& text, int* dropped) {
  return FilterCrlfLines(text, [dropped](std::string& line) {
    if (!IsProcessLine(line)) return true;
    ++*dropped;
    return false;
  });
}

// Expected and actual log texts, masked; where the machine cannot show process paths, the
// process lines leave both, and the expectation says what it could not check.
void CompareLogs(const std::string& what, std::string expected, std::string actual) {
  expected = MaskLog(expected);
  actual = MaskLog(actual);
  if (!g_limits.processPaths.empty()) {
    int dropped = 0, ignored = 0;
    expected = WithoutProcessLines(expected, &dropped);
    actual = WithoutProcessLines(actual, &ignored);
    if (dropped > 0) Skip(what + " (" + std::to_string(dropped) + " lines of the process phase)", g_limits.processPaths);
  }
  CompareText(what, expected, actual);
}

void CheckStarted(const YAML::Node& wanted, const RunFacts& run, const std::string& where) {
  if (!wanted.IsSequence()) BadScenario(where + ".started must be a list");
  if (run.started.size() != wanted.size()) {
    std::ostringstream out;
    out << where << ".started: expected " << wanted.size() << " program starts, got " << run.started.size();
    for (const StartedProgram& p : run.started) out << "\n  \"" << p.commandLine << "\" flags " << p.flags;
    Fail(out.str());
    return;
  }
  for (size_t i = 0; i < run.started.size(); ++i) {
    const YAML::Node w = wanted[i];
    CheckKeys(w, {"command_line", "flags", "application"}, where + ".started");
    const StartedProgram& p = run.started[i];
    std::string at = where + ".started[" + std::to_string(i) + "]: ";
    if (w["command_line"] && p.commandLine != Str(w["command_line"]))
      Fail(at + "command line \"" + p.commandLine + "\", expected \"" + Str(w["command_line"]) + "\"");
    if (w["flags"] && p.flags != static_cast<DWORD>(Num(w["flags"], 0)))
      Fail(at + "flags " + std::to_string(p.flags) + ", expected " + std::to_string(Num(w["flags"], 0)));
    if (p.application != Str(w["application"]))
      Fail(at + "application name \"" + p.application + "\", expected \"" + Str(w["application"]) + "\"");
  }
}

void CheckPending(const YAML::Node& wanted, const MachineView& machine, const std::string& where) {
  std::vector<sim::PendingOperation> ops = machine.Pending();
  if (!wanted.IsSequence()) BadScenario(where + ".pending must be a list");
  std::ostringstream actual;
  for (const sim::PendingOperation& op : ops)
    actual << "\n  from \"" << op.from << "\"" << (op.deletion ? " (deletion)" : " to \"" + op.to + "\"");
  bool same = ops.size() == wanted.size();
  for (size_t i = 0; i < wanted.size(); ++i) CheckKeys(wanted[i], {"from", "to"}, where + ".pending");
  for (size_t i = 0; same && i < ops.size(); ++i) {
    std::string from = Str(wanted[i]["from"]);
    bool deletion = !wanted[i]["to"];
    same = ops[i].from == from && ops[i].deletion == deletion && (deletion || ops[i].to == Str(wanted[i]["to"]));
  }
  if (!same) Fail(where + ".pending: the restart-time operations differ; they are:" + (ops.empty() ? std::string(" none") : actual.str()));
}

void CheckRegistry(const YAML::Node& entries, bool present, const MachineView& machine, const std::string& where) {
  if (!entries.IsSequence()) BadScenario(where + " must be a list");
  for (const auto& entry : entries) {
    CheckKeys(entry, {"key", "name"}, where);
    std::string key = Str(entry["key"]);
    bool has = entry["name"] ? machine.RegHasValue(key, Str(entry["name"])) : machine.RegHasKey(key);
    if (has != present)
      Fail(where + ": " + key + (entry["name"] ? "\\\\" + Str(entry["name"]) : std::string()) +
           (present ? " is missing" : " is still there"));
  }
}

const std::set<std::string> kEndStateKeys = {"files_present", "files_absent", "registry_present", "registry_absent",
                                             "pending",       "wininit",      "log_exists",       "log",
                                             "file_texts"};
const std::set<std::string> kRunKeys = {"exit", "console", "log_lines", "log_absent", "started", "key_reads",
                                        "key_read_before_start", "terminated", "titles"};

// titles: the console titles the run set, in this order (others between), and after them the
// title the console had before the run, put back at the end.
void CheckTitles(const YAML::Node& wanted, const RunFacts& run, const std::string& where) {
  std::vector<std::string> titles = StrList(wanted, where + ".titles");
  if (!run.titlesSeen) {
    Skip(where + ".titles (" + std::to_string(titles.size()) + " titles)", run.titlesUnseen);
    return;
  }
  std::ostringstream all;
  for (const std::string& t : run.titles) all << "\n  \"" << Visible(t) << "\"";
  size_t at = 0;
  for (const std::string& want : titles) {
    while (at < run.titles.size() && run.titles[at] != want) ++at;
    if (at == run.titles.size()) {
      Fail(where + ".titles: no title \"" + Visible(want) + "\" in its place; the run set:" + all.str());
      return;
    }
    ++at;
  }
  if (run.titles.empty() || run.titles.back() != run.titleBefore)
    Fail(where + ".titles: the title the console had, \"" + Visible(run.titleBefore) +
         "\", was not put back at the end; the run set:" + all.str());
}

// Where the machine cannot show process paths and the scenario runs a worm, every outcome
// takes another course: each stated expectation is reported as not checked.
bool SkipWholeStage(const YAML::Node& expect, bool examinedProcesses, const std::string& where) {
  if (g_limits.processPaths.empty() || !g_infectedProcess || !examinedProcesses || !expect) return false;
  for (const auto& kv : expect)
    Skip(where + "." + kv.first.as<std::string>(),
         "a worm runs as a process on this machine, and " + g_limits.processPaths);
  return true;
}

// The keys that describe the machine's end state, checked after a run and after a restart.
// file_texts: [{path, text}]. Each file must exist and hold the text byte for byte (each LF of
// the text standing for CR LF), where two placeholders of the text stand for what differs by
// nature between two machines and two runs: <TIME> for one local time written as
// YYYY-MM-DDTHH:MM:SS (digits in those places), and <COMPUTER> for the rest of its line, up to
// the CR LF (any computer name, the empty one too).
bool IsLocalTimeAt(const std::string& text, size_t at) {
  static const char kForm[] = "dddd-dd-ddTdd:dd:dd";
  if (at + sizeof(kForm) - 1 > text.size()) return false;
  for (size_t k = 0; k + 1 < sizeof(kForm); ++k) {
    char c = text[at + k];
    if (kForm[k] == 'd' ? !isdigit(static_cast<unsigned char>(c)) : c != kForm[k]) return false;
  }
  return true;
}

bool MatchesWithPlaceholders(const std::string& expected, const std::string& actual) {
  const std::string time = "<TIME>", computer = "<COMPUTER>";
  size_t e = 0, a = 0;
  while (e < expected.size()) {
    if (expected.compare(e, time.size(), time) == 0) {
      if (!IsLocalTimeAt(actual, a)) return false;
      e += time.size();
      a += 19;
    } else if (expected.compare(e, computer.size(), computer) == 0) {
      while (a < actual.size() && actual[a] != '\r' && actual[a] != '\n') ++a;
      e += computer.size();
    } else {
      if (a >= actual.size() || actual[a] != expected[e]) return false;
      ++e;
      ++a;
    }
  }
  return a == actual.size();
}

void CheckFileTexts(const YAML::Node& list, const MachineView& machine, const std::string& where) {
  if (!list.IsSequence()) BadScenario(where + " must be a list");
  for (const auto& item : list) {
    CheckKeys(item, {"path", "text"}, where);
    std::string path = Str(item["path"]);
    if (path.empty() || !item["text"]) BadScenario(where + ": each entry needs a path and a text");
    std::string data;
    std::string expected = Crlf(item["text"].as<std::string>());
    if (!machine.GetFile(path, &data)) {
      Fail(where + ": " + path + " does not exist");
    } else if (!MatchesWithPlaceholders(expected, data)) {
      CompareText(where + " " + path + " (placeholders of the expected text not resolved)", expected, data);
      // The file may hold a placeholder word itself, which matches nothing but is equal to it.
      if (expected == data) Fail(where + " " + path + ": holds a placeholder itself");
    }
  }
}

void CheckEndState(const YAML::Node& expect, const MachineView& machine, const std::string& where,
                   bool examinedProcesses = true) {
  if (SkipWholeStage(expect, examinedProcesses, where)) return;
  if (expect["file_texts"]) CheckFileTexts(expect["file_texts"], machine, where + ".file_texts");
  for (const std::string& path : StrList(expect["files_present"], where + ".files_present"))
    if (!machine.Exists(path)) Fail(where + ": " + path + " is missing");
  for (const std::string& path : StrList(expect["files_absent"], where + ".files_absent"))
    if (machine.Exists(path)) Fail(where + ": " + path + " is still there");
  if (expect["registry_present"]) CheckRegistry(expect["registry_present"], true, machine, where + ".registry_present");
  if (expect["registry_absent"]) CheckRegistry(expect["registry_absent"], false, machine, where + ".registry_absent");
  if (expect["pending"]) CheckPending(expect["pending"], machine, where);
  if (expect["wininit"]) {
    std::string data;
    if (!machine.GetFile(kWininitPath, &data))
      Fail(where + ": " + kWininitPath + " does not exist");
    else
      CompareText(where + ".wininit", Crlf(expect["wininit"].as<std::string>()), data);
  }
  if (expect["log_exists"] && Flag(expect["log_exists"], true) != machine.Exists(kLogPath))
    Fail(where + std::string(": the log file ") + (machine.Exists(kLogPath) ? "exists" : "does not exist"));
  if (expect["log"]) {
    std::string log;
    if (!machine.GetFile(kLogPath, &log)) {
      Fail(where + ": the log file does not exist");
    } else {
      CheckLogLineEnds(log, where);
      CompareLogs(where + ".log", Crlf(expect["log"].as<std::string>()), log);
    }
  }
}

void CheckRun(const YAML::Node& expect, const RunFacts& run, const MachineView& machine, const std::string& where) {
  std::set<std::string> known = kEndStateKeys;
  known.insert(kRunKeys.begin(), kRunKeys.end());
  CheckKeys(expect, known, where);
  if (!expect) return;
  if (run.exitCode < 0 || run.exitCode > 255) Fail(where + ": the tool did not end with an exit code");
  if (SkipWholeStage(expect, run.examinedProcesses, where)) return;

  if (expect["exit"] && run.exitCode != Num(expect["exit"], 0))
    Fail(where + ".exit: " + std::to_string(run.exitCode) + ", expected " + std::to_string(Num(expect["exit"], 0)));
  if (expect["console"]) CompareText(where + ".console", Crlf(expect["console"].as<std::string>()), run.console);

  if (expect["log_lines"] || expect["log_absent"]) {
    std::string log;
    if (machine.GetFile(kLogPath, &log)) CheckLogLineEnds(log, where);
  }
  if (expect["log_lines"]) {
    std::vector<std::string> wanted = StrList(expect["log_lines"], where + ".log_lines");
    std::string runLog = MaskLog(run.log);
    int dropped = 0;
    std::vector<std::string> kept;
    for (std::string& line : wanted) {
      line = MaskLog(line);
      if (!g_limits.processPaths.empty() && IsProcessLine(line)) {
        ++dropped;
        continue;
      }
      kept.push_back(line);
    }
    if (dropped > 0)
      Skip(where + ".log_lines (" + std::to_string(dropped) + " lines of the process phase)", g_limits.processPaths);
    CheckLogLines(kept, runLog, where);
  }
  for (const std::string& text : StrList(expect["log_absent"], where + ".log_absent"))
    if (run.log.find(text) != std::string::npos)
      Fail(where + ".log_absent: the log holds \"" + Visible(text) + "\"");

  if (expect["started"]) CheckStarted(expect["started"], run, where);
  if (expect["titles"]) CheckTitles(expect["titles"], run, where);
  if (expect["key_reads"] && run.keyReads != Num(expect["key_reads"], 0))
    Fail(where + ".key_reads: " + std::to_string(run.keyReads) + ", expected " +
         std::to_string(Num(expect["key_reads"], 0)));
  if (Flag(expect["key_read_before_start"], false)) {
    if (run.keyReads == 0 || run.started.empty())
      Fail(where + ".key_read_before_start: needs a key read and a program start");
    else if (!run.keyReadBeforeStart)
      Fail(where + ".key_read_before_start: " + run.keyOrder);
  }
  if (expect["terminated"]) {
    std::vector<std::string> wanted = StrList(expect["terminated"], where + ".terminated");
    if (!g_limits.processPaths.empty() && !wanted.empty()) {
      Skip(where + ".terminated (" + std::to_string(wanted.size()) + " processes)", g_limits.processPaths);
      wanted.clear();
    }
    std::vector<std::string> got;
    for (const std::string& image : run.terminated) got.push_back(Upper(image));
    for (std::string& image : wanted) image = Upper(image);
    if (got != wanted) {
      std::string list;
      for (const std::string& g : run.terminated) list += "\n  " + g;
      Fail(where + ".terminated: the ended processes differ; they are:" + (list.empty() ? " none" : list));
    }
  }
  CheckEndState(expect, machine, where, run.examinedProcesses);
}

// ---------------------------------------------------------------- the simulated machine's view

class SimView : public MachineView {
 public:
  bool Exists(const std::string& path) const override { return sim::Exists(path); }
  bool GetFile(const std::string& path, std::string* data) const override { return sim::GetFile(path, data); }
  bool RegHasKey(const std::string& key) const override { return sim::RegHasKey(key); }
  bool RegHasValue(const std::string& key, const std::string& name) const override {
    return sim::RegHasValue(key, name);
  }
  std::vector<sim::PendingOperation> Pending() const override { return sim::PendingOperations(); }
};

RunFacts FactsOfSimRun(const RunRecord& run) {
  RunFacts facts;
  facts.exitCode = run.exitCode;
  facts.console = RunText(sim::ConsoleOutput(), run.consoleBefore);
  facts.log = RunText(sim::FileData(kLogPath), run.logBefore);
  const std::vector<sim::StartedProcess>& all = sim::StartedProcesses();
  for (size_t i = run.startedBefore; i < all.size(); ++i) {
    StartedProgram p;
    p.application = all[i].application;
    p.commandLine = all[i].commandLine;
    p.flags = all[i].flags;
    facts.started.push_back(p);
  }
  facts.keyReads = sim::KeyReads() - run.keyReadsBefore;
  if (facts.keyReads > 0 && all.size() > run.startedBefore) {
    DWORD keyTime = sim::KeyReadTime(sim::KeyReads() - 1);
    DWORD startTime = all[run.startedBefore].time;
    // _getch lets the virtual clock move on while the user presses the key.
    facts.keyReadBeforeStart = keyTime < startTime;
    facts.keyOrder = "the key was read at " + std::to_string(keyTime) + ", the program started at " +
                     std::to_string(startTime);
  }
  const std::vector<sim::Termination>& ended = sim::Terminations();
  for (size_t i = run.terminationsBefore; i < ended.size(); ++i) facts.terminated.push_back(ended[i].imagePath);
  facts.titlesSeen = true;
  facts.titleBefore = run.titleBefore;
  const std::vector<std::string>& titles = sim::ConsoleTitles();
  facts.titles.assign(titles.begin() + static_cast<long>(run.titlesBefore), titles.end());
  return facts;
}

// What every run must leave behind, whatever the scenario states: no handle, registry key,
// service handle or C runtime stream left open, and the log file closed once the program has
// ended.
void CheckReleased(const std::string& where, bool faultsInjected, size_t startedBefore = 0) {
  // Every program start passes a start-up record of its size and zeros only.
  const std::vector<sim::StartedProcess>& started = sim::StartedProcesses();
  for (size_t i = startedBefore; i < started.size(); ++i)
    if (started[i].startupInfoSize != sizeof(STARTUPINFOA) || !started[i].startupInfoZeroed)
      Fail(where + ": the start of \"" + started[i].commandLine +
           "\" passed a start-up record that does not hold its size and zeros only");
  if (sim::OpenHandleCount() != 0)
    Fail(where + ": " + std::to_string(sim::OpenHandleCount()) + " handles left open after the program ended");
  if (sim::RegOpenKeyCount() != 0)
    Fail(where + ": " + std::to_string(sim::RegOpenKeyCount()) + " registry keys left open");
  if (sim::OpenServiceHandleCount() != 0)
    Fail(where + ": " + std::to_string(sim::OpenServiceHandleCount()) + " service handles left open");
  // The program has ended, so even the trace log's stream is closed by now.
  if (sim::OpenStreamCount() != 0) {
    std::string paths;
    for (const std::string& path : sim::OpenStreamPaths()) paths += "\n  " + path;
    Fail(where + ": " + std::to_string(sim::OpenStreamCount()) + " C runtime streams left open:" + paths);
  }
  // Opening the log without sharing fails while any stream still has it open. Skipped when
  // the scenario injects faults, which this probe would count.
  if (!faultsInjected && sim::Exists(kLogPath)) {
    HANDLE probe = CreateFileA(kLogPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
      Fail(where + ": the log file is still open after the program ended");
    else
      CloseHandle(probe);
  }
}

std::vector<std::string> Args(const YAML::Node& node, const std::string& where) { return StrList(node, where); }

const std::set<std::string> kScenarioKeys = {"description", "platform",   "host_only",     "no_sweep",
                                             "args",        "keys",       "machine",       "expect",
                                             "restart",     "after_restart", "second_run"};

// The outcome of one scenario: what could not be checked, then PASS or the failures.
int Verdict(const std::string& file) {
  for (const std::string& s : g_skipped) fprintf(stdout, "SKIPPED %s\n", s.c_str());
  if (g_failures.empty()) {
    if (g_skipped.empty())
      fprintf(stdout, "PASS %s\n", file.c_str());
    else
      fprintf(stdout, "PASS %s (%zu expectations not checked: SKIPPED above)\n", file.c_str(), g_skipped.size());
    return 0;
  }
  fprintf(stderr, "FAIL %s\n", file.c_str());
  for (const std::string& f : g_failures) fprintf(stderr, "\n%s\n", f.c_str());
  return 1;
}

int RunScenario(const std::string& file) {
  YAML::Node scenario;
  try {
    scenario = YAML::LoadFile(file);
  } catch (const YAML::Exception& e) {
    BadScenario(file + ": " + e.what());
  }
  CheckKeys(scenario, kScenarioKeys, "the scenario");
  bool faults = scenario["machine"] && scenario["machine"]["faults"];

  BuildMachine(scenario);
  SimView machine;
  RunRecord first = RunTool(Args(scenario["args"], "args"), Str(scenario["keys"]));
  CheckRun(scenario["expect"], FactsOfSimRun(first), machine, "expect");
  CheckReleased("expect", faults, first.startedBefore);

  bool restart = Flag(scenario["restart"], false);
  if (scenario["after_restart"] && !restart) BadScenario("after_restart needs restart: true");
  if (restart) {
    sim::Restart();
    CheckKeys(scenario["after_restart"], kEndStateKeys, "after_restart");
    if (scenario["after_restart"]) CheckEndState(scenario["after_restart"], machine, "after_restart");
  }
  if (scenario["second_run"]) {
    const YAML::Node second = scenario["second_run"];
    CheckKeys(second, {"args", "keys", "expect"}, "second_run");
    RunRecord run = RunTool(Args(second["args"], "second_run.args"), Str(second["keys"]));
    CheckRun(second["expect"], FactsOfSimRun(run), machine, "second_run.expect");
    CheckReleased("second_run", faults, run.startedBefore);
  }

  return Verdict(file);
}

// ---------------------------------------------------------------- a record of another runner

std::string FromHex(const YAML::Node& node, const std::string& where) {
  std::string hex = Str(node);
  if (hex.size() % 2 != 0) BadScenario("record: odd hex text in " + where);
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char* end = nullptr;
    std::string pair = hex.substr(i, 2);
    long value = strtol(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) BadScenario("record: bad hex text in " + where);
    out += static_cast<char>(value);
  }
  return out;
}

// The machine as the Wine runner saw it after a run or a restart: every path on C:, the bytes
// of the files the scenario or the run wrote, the registry keys the scenario names, and the
// restart-time operations.
class RecordView : public MachineView {
 public:
  explicit RecordView(const YAML::Node& machine) {
    if (!machine || !machine.IsMap()) BadScenario("record: a stage without its machine");
    for (const auto& path : machine["paths"]) paths_.insert(Upper(path.as<std::string>()));
    if (machine["files"])
      for (const auto& kv : machine["files"])
        files_[Upper(kv.first.as<std::string>())] = FromHex(kv.second, kv.first.as<std::string>());
    if (machine["registry"]) {
      for (const auto& kv : machine["registry"]) {
        std::set<std::string>& names = keys_[Upper(kv.first.as<std::string>())];
        for (const auto& name : kv.second) names.insert(Upper(name.as<std::string>()));
      }
    }
    if (machine["pending"]) {
      for (const auto& op : machine["pending"]) {
        sim::PendingOperation p;
        p.from = Str(op["from"]);
        p.deletion = !op["to"] || op["to"].IsNull();
        p.to = p.deletion ? std::string() : Str(op["to"]);
        p.flags = 0;
        pending_.push_back(p);
      }
    }
  }
  bool Exists(const std::string& path) const override { return paths_.count(Upper(path)) != 0; }
  bool GetFile(const std::string& path, std::string* data) const override {
    auto it = files_.find(Upper(path));
    if (it == files_.end()) return false;
    *data = it->second;
    return true;
  }
  bool RegHasKey(const std::string& key) const override { return keys_.count(Upper(key)) != 0; }
  bool RegHasValue(const std::string& key, const std::string& name) const override {
    auto it = keys_.find(Upper(key));
    return it != keys_.end() && it->second.count(Upper(name)) != 0;
  }
  std::vector<sim::PendingOperation> Pending() const override { return pending_; }

 private:
  std::set<std::string> paths_;
  std::map<std::string, std::string> files_;
  std::map<std::string, std::set<std::string>> keys_;
  std::vector<sim::PendingOperation> pending_;
};

RunFacts FactsOfRecord(const YAML::Node& stage, const std::string& where) {
  RunFacts facts;
  if (!stage["exit"]) BadScenario("record: " + where + " has no exit code");
  facts.exitCode = static_cast<int>(Num(stage["exit"], -1));
  facts.console = FromHex(stage["console"], where + ".console");
  facts.log = FromHex(stage["log"], where + ".log");
  if (stage["started"]) {
    for (const auto& p : stage["started"]) {
      StartedProgram program;
      program.application = Str(p["application"]);
      program.commandLine = Str(p["command_line"]);
      program.flags = static_cast<DWORD>(Num(p["flags"], 0));
      facts.started.push_back(program);
    }
  }
  facts.keyReads = static_cast<int>(Num(stage["key_reads"], 0));
  facts.keyReadBeforeStart = Flag(stage["key_read_before_start"], false);
  facts.keyOrder = Str(stage["key_order"]);
  for (const std::string& image : StrList(stage["terminated"], "record.terminated")) facts.terminated.push_back(image);
  facts.examinedProcesses = Flag(stage["examined_processes"], true);
  // The console titles, from Wine's trace of the tool's SetConsoleTitleA calls, where the run
  // had a console window and the runner knows the title it had.
  facts.titlesSeen = Flag(stage["titles_seen"], false);
  facts.titlesUnseen = Str(stage["titles_unseen"], "the Wine runner recorded no console titles");
  facts.titleBefore = Str(stage["title_before"]);
  for (const std::string& title : StrList(stage["titles"], "record.titles")) facts.titles.push_back(title);
  return facts;
}

// Applies the scenario's expectations to what the Wine runner recorded.
int CheckRecord(const std::string& recordFile, const std::string& file) {
  YAML::Node scenario, record;
  try {
    scenario = YAML::LoadFile(file);
    record = YAML::LoadFile(recordFile);
  } catch (const YAML::Exception& e) {
    BadScenario(std::string("cannot read the scenario or the record: ") + e.what());
  }
  CheckKeys(scenario, kScenarioKeys, "the scenario");
  PrepareChecks(scenario);
  if (record["limits"] && record["limits"]["process_paths"]) g_limits.processPaths = Str(record["limits"]["process_paths"]);
  const YAML::Node stages = record["stages"];
  if (!stages || !stages.IsMap()) BadScenario("record: no stages");
  struct Stage {
    const char* name;
    YAML::Node expect;
    bool run;
  };
  YAML::Node second = scenario["second_run"];
  if (second) CheckKeys(second, {"args", "keys", "expect"}, "second_run");
  if (scenario["after_restart"] && !Flag(scenario["restart"], false)) BadScenario("after_restart needs restart: true");
  CheckKeys(scenario["after_restart"], kEndStateKeys, "after_restart");
  std::vector<Stage> wanted = {{"expect", scenario["expect"], true}};
  if (Flag(scenario["restart"], false)) wanted.push_back({"after_restart", scenario["after_restart"], false});
  if (second) wanted.push_back({"second_run.expect", second["expect"], true});
  bool examined = true;  // whether the last run examined processes: the restart after it follows its course
  for (const Stage& stage : wanted) {
    const YAML::Node seen = stages[stage.name];
    if (!seen) BadScenario(std::string("the record holds nothing of ") + stage.name);
    RecordView machine(seen["machine"]);
    if (stage.run) {
      RunFacts facts = FactsOfRecord(seen, stage.name);
      examined = facts.examinedProcesses;
      CheckRun(stage.expect, facts, machine, stage.name);
    } else if (stage.expect) {
      CheckEndState(stage.expect, machine, stage.name, examined);
    }
  }
  return Verdict(file);
}

// ---------------------------------------------------------------- fault sweep

// Every fault point is a sequence: the first run with the Nth call of a fault class failing,
// the restart, a second run without faults (second_run's args and keys, else the first run's),
// and the restart again. Transient: only that call fails, and when it is a WriteFile, the write
// stops half-way (a full disk). Persistent: every later call of the class fails too; for the
// file class that leaves the disk as a power cut at that call would before the restart.
// Across the whole sequence:
// - each run ends with an exit code from 0 to 3 (a /DETECT run: 0 or 4, and it leaves even the
//   samples in place) and leaves nothing open or leaked;
// - a /REPORT: run leaves its report whole or absent: none (an older one unchanged, in place or
//   renamed aside to PATH.old by a replacement that could not finish), or a complete one with
//   the run's own exit code;
// - no file that is not a row0/row1 sample is ever deleted or changed, the log is only appended
//   to, WININIT.INI keeps every line it had before a run in its order, and a run makes no file
//   but the log, WININIT.INI, the driver's rename list (TKVG.REN) and its report: nothing is left
//   beside WININIT.INI;
// - each restart carries out exactly what was scheduled and not yet carried out: every operation
//   pending before the run (WININIT.INI's lines, MoveFileEx operations), once and in order;
//   every deletion the run reported as scheduled ("File will be deleted during reboot"); and
//   nothing else but deletions of samples that were on the disk before the run and that the run
//   did not report as failed. So an operation that an earlier restart carried out, or that no
//   run scheduled, fails the sequence when a restart carries it out.

const char kWininitBakPath[] = "C:\\windows\\WININIT.BAK";
const char kRenameListName[] = "\\TKVG.REN";
// The backup folder of the Windows directory and what the tool keeps in it: the backups
// (NNNNNNNN.vqb, and NNNNNNNN.tmp, the name earlier builds gave a backup being written), the
// manifest and the files its writer keeps beside it.
const char kBackupFolder[] = "C:\\WINDOWS\\VORLAXCLEAN.QTN\\";
const char kManifestPath[] = "C:\\windows\\VorlaxClean.qtn\\manifest.ini";


bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The machine's disks and restart-time work at one moment.
struct MachineState {
  std::map<std::string, std::string> files;  // every file of every drive (upper case), with its bytes
  bool hadLog = false;
  std::string log;
  bool hadWininit = false;
  std::string wininit;
  std::vector<sim::RestartOperation> pending;  // what a restart would carry out now, in order
  bool hadBackupFolder = false;
};

// The built machine, and what the sweep's checks need to know about the scenario.
struct Snapshot {
  bool nt = true;
  std::vector<std::string> roots;
  std::set<std::string> samples;                  // long paths (upper case) of the row0/row1 files: may go
  std::map<std::string, std::string> sampleOf;    // a sample's long or short path (upper case) -> its long path
  MachineState before;
};

MachineState StateNow(const Snapshot& snap) {
  MachineState state;
  for (const std::string& root : snap.roots)
    for (const std::string& path : sim::ListFiles(root)) state.files[Upper(path)] = sim::FileData(path);
  state.hadLog = sim::GetFile(kLogPath, &state.log);
  state.hadWininit = sim::GetFile(kWininitPath, &state.wininit);
  state.hadBackupFolder = sim::Exists(kBackupFolder);
  for (const sim::PendingOperation& op : sim::PendingOperations())
    state.pending.push_back(sim::RestartOperation{false, op.from, op.to, op.deletion, "", false});
  if (!snap.nt && state.hadWininit)
    for (const sim::RestartOperation& op : sim::WininitOperations(state.wininit)) state.pending.push_back(op);
  return state;
}

Snapshot TakeSnapshot(const YAML::Node& scenario) {
  Snapshot snap;
  snap.nt = Str(scenario["platform"], "nt") == "nt";
  std::set<char> letters = {'C'};
  const YAML::Node machine = scenario["machine"];
  if (machine && machine["drives"])
    for (const auto& drive : machine["drives"]) letters.insert(static_cast<char>(toupper(Str(drive["letter"])[0])));
  for (char letter : letters) {
    std::string root = std::string(1, letter) + ":\\";
    if (sim::IsDirectory(root)) snap.roots.push_back(root);  // a drive the scenario made
  }
  if (machine && machine["files"]) {
    for (const auto& file : machine["files"]) {
      std::string content = Str(file["content"], "plain");
      if (content != "row0" && content != "row1") continue;
      std::string path = Str(file["path"]);
      snap.samples.insert(Upper(path));
      snap.sampleOf[Upper(path)] = Upper(path);
      char shortPath[MAX_PATH];
      DWORD length = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
      if (length > 0 && length < MAX_PATH) snap.sampleOf[Upper(shortPath)] = Upper(path);
    }
  }
  snap.before = StateNow(snap);
  return snap;
}

std::string Describe(const sim::RestartOperation& op) {
  std::string what = op.deletion ? "the deletion of " + op.from : "the renaming of " + op.from + " to " + op.to;
  return what + (op.fromWininit ? " (WININIT.INI)" : " (MoveFileEx)");
}

// What a run reported about each deletion it handed to the restart (upper-case paths).
struct Reports {
  std::map<std::string, int> scheduled;
  std::map<std::string, int> failed;
};

Reports ReportsOf(const std::string& runLog) {
  const std::string kScheduled = "[TKUT - ReplaceFile]: File will be deleted during reboot (";
  const std::string kFailed = "[TKUT - ReplaceFile]: File cannot be deleted during reboot (";
  Reports reports;
  for (const std::string& line : CrlfLines(runLog)) {
    if (!EndsWith(line, ").")) continue;
    for (const std::string* prefix : {&kScheduled, &kFailed}) {
      if (line.compare(0, prefix->size(), *prefix) != 0) continue;
      std::string path = Upper(line.substr(prefix->size(), line.size() - prefix->size() - 2));
      ++(prefix == &kScheduled ? reports.scheduled : reports.failed)[path];
    }
  }
  return reports;
}

// Every file that is not a sample is as it was when the sweep began (the log, WININIT.INI and,
// after a restart, WININIT.BAK are the system's and the tool's own).
void CheckUserFiles(const Snapshot& snap, const std::string& report, const std::string& where) {
  for (const auto& kv : snap.before.files) {
    const std::string& path = kv.first;
    if (snap.samples.count(path) || path == Upper(kLogPath) || path == Upper(kWininitPath) ||
        path == Upper(kWininitBakPath) || (!report.empty() && path == report))
      continue;
    std::string now;
    if (!sim::GetFile(path, &now))
      Fail(where + ": the user's file " + path + " is gone");
    else if (now != kv.second)
      Fail(where + ": the user's file " + path + " was changed");
  }
}

// What a run's command line asks for besides a removal: a report, detection only.
struct RunMode {
  std::string report;  // the path a /REPORT: argument names, upper case; empty without one
  bool detect = false;
  bool noBackup = false;
  bool restore = false;  // /RESTORE or /RESTORE:N: only a backup's file may come back
};

RunMode ModeOf(const YAML::Node& args) {
  RunMode mode;
  for (const std::string& arg : StrList(args, "args")) {
    if (Upper(arg).compare(0, 8, "/REPORT:") == 0) mode.report = Upper(arg.substr(8));
    if (Upper(arg) == "/DETECT") mode.detect = true;
    if (Upper(arg) == "/NOBACKUP") mode.noBackup = true;
    if (Upper(arg).compare(0, 8, "/RESTORE") == 0) mode.restore = true;
  }
  return mode;
}

// The report and the files its writer keeps beside it (the text being written, an older report
// renamed aside): the tool's own, which a run may make, change and remove.
bool IsReportFile(const RunMode& mode, const std::string& path) {
  return !mode.report.empty() &&
         (path == mode.report || path == mode.report + ".$$$" || path == mode.report + ".OLD");
}


bool IsManifestFile(const std::string& path) {
  const std::string manifest = Upper(kManifestPath);
  return path == manifest || path == manifest + ".$$$" || path == manifest + ".OLD";
}

bool IsBackupFile(const std::string& path) {
  if (path.compare(0, strlen(kBackupFolder), kBackupFolder) != 0) return false;
  std::string name = path.substr(strlen(kBackupFolder));
  return name.size() == 12 && name.find_first_not_of("0123456789") == 8 &&
         (EndsWith(name, ".VQB") || EndsWith(name, ".TMP"));
}

// The bytes a backup file stands for: its header, then the original bytes through the tool's
// key stream, then their CRC-32. False when it is no complete backup.
bool DecodeBackup(const std::string& stored, std::string* original) {
  if (stored.size() < 16 || stored.compare(0, 8, "VCBACKUP") != 0) return false;
  auto word = [&stored](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(stored[at + static_cast<size_t>(i)]);
    return v;
  };
  uint32_t size = word(8);
  if (stored.size() != size + 16u) return false;
  original->assign(stored, 12, size);
  uint32_t state = 0x5EED1234u;
  for (char& c : *original) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(static_cast<unsigned char>(c) ^ (state >> 24));
  }
  return samples::BitwiseCrc32(*original) == word(12 + size);
}

// The manifest is whole or absent: a complete one ends with its end line, keeps every entry it
// had before the run, and each entry's backup is there. Every backup the manifest names holds a
// sample's bytes, whole; one it does not name (its writing failed and so did its removal, or
// the manifest's writing failed) may be cut short, but never holds a sample's bytes as they are.
void CheckBackups(const Snapshot& snap, const MachineState& before, const MachineState& after,
                  const std::string& where) {
  std::set<std::string> sampleBytes;
  for (const auto& kv : snap.before.files)
    if (snap.samples.count(kv.first)) sampleBytes.insert(kv.second);
  std::set<std::string> listed;
  auto named = after.files.find(Upper(kManifestPath));
  if (named != after.files.end())
    for (const std::string& line : CrlfLines(named->second))
      if (line.compare(0, 5, "File=") == 0) listed.insert(std::string(kBackupFolder) + Upper(line.substr(5)));
  for (const auto& kv : after.files) {
    if (!IsBackupFile(kv.first)) continue;
    for (const std::string& sample : sampleBytes)
      if (sample.size() >= 8192 && kv.second.find(sample.substr(1024, 7168)) != std::string::npos)
        Fail(where + ": the backup " + kv.first + " holds a sample's signed bytes as they are");
    if (!listed.count(kv.first)) continue;
    std::string original;
    if (!DecodeBackup(kv.second, &original))
      Fail(where + ": the backup " + kv.first + " is not whole");
    else if (!sampleBytes.count(original))
      Fail(where + ": the backup " + kv.first + " holds no sample's bytes");
    else if (kv.second.find(original) != std::string::npos)
      Fail(where + ": the backup " + kv.first + " holds the sample's bytes as they are");
  }
  auto manifest = after.files.find(Upper(kManifestPath));
  if (manifest == after.files.end()) {
    if (before.files.count(Upper(kManifestPath))) Fail(where + ": the manifest is gone");
    return;
  }
  const std::string& text = manifest->second;
  if (!EndsWith(text, "\r\n; end of manifest\r\n")) {
    Fail(where + ": the manifest is not whole:\n" + Visible(text));
    return;
  }
  auto older = before.files.find(Upper(kManifestPath));
  for (const std::string& line : CrlfLines(older != before.files.end() ? older->second : std::string())) {
    if (line.compare(0, 8, "[Backup ") == 0 && text.find("\r\n" + line + "\r\n") == std::string::npos)
      Fail(where + ": the manifest lost its entry " + line);
  }
  for (const std::string& line : CrlfLines(text)) {
    if (line.compare(0, 5, "File=") != 0) continue;
    std::string backup = std::string(kBackupFolder) + Upper(line.substr(5));
    if (!after.files.count(backup)) Fail(where + ": the manifest names the backup " + backup + ", which is not there");
  }
}

// Every backup that could not be made is followed by its file's removal: no sample stays
// because its backup failed. Told by the log where the log is whole: it reaches its end, and
// each infected file's "path ... infection=1" line has its "Deleting file" line (a failing write
// of the log loses what its stream held, several lines); then after each "No backup of PATH"
// line comes ReplaceFile's "Delete operation (PATH)." or the "Deleting file" line of PATH.
void CheckRemovalWithoutBackup(const std::string& runLog, const std::string& where) {
  if (runLog.find("Exiting, return value ") == std::string::npos) return;
  std::vector<std::string> lines = CrlfLines(runLog);
  size_t infected = 0, deletions = 0;
  for (const std::string& line : lines) {
    if (line.compare(0, 5, "path ") == 0 && EndsWith(line, " infection=1")) ++infected;
    if (line.compare(0, 15, "Deleting file \"") == 0) ++deletions;
  }
  if (infected > deletions) return;
  const std::string kNoBackup = "No backup of ";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].compare(0, kNoBackup.size(), kNoBackup) != 0) continue;
    size_t colon = lines[i].find(": ", kNoBackup.size());
    std::string path = lines[i].substr(kNoBackup.size(), colon - kNoBackup.size());
    std::string operation = "[TKUT - ReplaceFile]: Delete operation (" + path + ").";
    std::string deleting = "Deleting file \"" + path + "\", result=";
    bool removed = false;
    for (size_t k = i + 1; k < lines.size() && !removed; ++k)
      removed = lines[k] == operation || lines[k].compare(0, deleting.size(), deleting) == 0;
    if (!removed) {
      std::string after;
      for (size_t k = i; k < lines.size(); ++k) after += "\n  " + Visible(lines[k]);
      Fail(where + ": no removal of " + path + " followed its failed backup; the log from there:" + after);
    }
  }
}

// The report is whole or absent, whatever failed (see above).
void CheckReportWholeOrAbsent(const RunMode& mode, const MachineState& before, int exitCode,
                              const std::string& where) {
  if (mode.report.empty()) return;
  auto older = before.files.find(mode.report);
  std::string now;
  if (!sim::GetFile(mode.report, &now)) {
    std::string aside;
    if (older != before.files.end() && !(sim::GetFile(mode.report + ".OLD", &aside) && aside == older->second))
      Fail(where + ": the older report " + mode.report + " is lost");
    return;
  }
  if (older != before.files.end() && now == older->second) return;
  const std::string first = "[Run]\r\n", last = "; end of report\r\n";
  bool whole = now.compare(0, first.size(), first) == 0 && EndsWith(now, last) &&
               now.find("\r\nExitCode=" + std::to_string(exitCode) + "\r\n") != std::string::npos;
  if (!whole) Fail(where + ": the report " + mode.report + " is not whole:\n" + Visible(now));
}

// What one run must leave, compared with the machine before it.
void CheckRunLeft(const Snapshot& snap, const MachineState& before, const RunRecord& run, const RunMode& mode,
                  const std::string& where) {
  bool exitFits = mode.detect    ? run.exitCode == 0 || run.exitCode == 4
                  : mode.restore ? run.exitCode == 0 || run.exitCode == 5
                                 : run.exitCode >= 0 && run.exitCode <= 3;
  if (!exitFits) Fail(where + ": exit code " + std::to_string(run.exitCode));
  CheckReleased(where, true);
  CheckUserFiles(snap, mode.report, where);
  CheckReportWholeOrAbsent(mode, before, run.exitCode, where);
  MachineState after = StateNow(snap);
  for (const auto& kv : before.files) {
    const std::string& path = kv.first;
    if ((snap.samples.count(path) && !mode.detect) || path == Upper(kLogPath) || path == Upper(kWininitPath) ||
        IsReportFile(mode, path) || (IsManifestFile(path) && !mode.detect))
      continue;
    auto now = after.files.find(path);
    if (now == after.files.end() || now->second != kv.second) Fail(where + ": the run deleted or changed " + path);
  }
  for (const auto& kv : after.files) {
    const std::string& path = kv.first;
    if (before.files.count(path) || path == Upper(kLogPath) || path == Upper(kWininitPath) ||
        EndsWith(path, kRenameListName) || IsReportFile(mode, path) ||
        (!mode.detect && !mode.noBackup && (IsBackupFile(path) || IsManifestFile(path))))
      continue;
    // A restore brings back a sample, byte for byte.
    auto sample = snap.before.files.find(path);
    if (mode.restore && snap.samples.count(path) && sample != snap.before.files.end()) {
      if (kv.second != sample->second) Fail(where + ": the restore brought back " + path + " with other bytes");
      continue;
    }
    Fail(where + ": the run left a new file " + path);
  }
  if ((mode.detect || mode.noBackup) && sim::Exists(kBackupFolder) && !before.hadBackupFolder)
    Fail(where + std::string(": the run made the backup folder, with ") + (mode.detect ? "/DETECT" : "/NOBACKUP"));
  CheckBackups(snap, before, after, where);
  CheckRemovalWithoutBackup(RunText(sim::FileData(kLogPath), run.logBefore), where);
  if (before.hadLog && after.log.compare(0, before.log.size(), before.log) != 0)
    Fail(where + ": the log lost text it had before the run");
  if (before.hadWininit) {
    if (!after.hadWininit) {
      Fail(where + ": WININIT.INI is gone");
      return;
    }
    std::vector<std::string> was = CrlfLines(before.wininit);
    std::vector<std::string> now = CrlfLines(after.wininit);
    size_t at = 0;
    for (const std::string& line : was) {
      while (at < now.size() && now[at] != line) ++at;
      if (at == now.size()) {
        Fail(where + ": the line \"" + Visible(line) + "\" of WININIT.INI is lost (or out of order)");
        return;
      }
      ++at;
    }
  }
}

bool SameOperation(const sim::RestartOperation& a, const sim::RestartOperation& b) {
  return a.fromWininit == b.fromWininit && a.deletion == b.deletion && Upper(a.from) == Upper(b.from) &&
         Upper(a.to) == Upper(b.to);
}

// The restart after a run: it must carry out exactly what was pending before the run and what
// the run scheduled (see above).
void RestartAndCheck(const Snapshot& snap, const MachineState& before, const RunRecord& run,
                     const std::string& report, const std::string& where) {
  std::vector<sim::RestartOperation> ops = sim::Restart();
  Reports reports = ReportsOf(RunText(sim::FileData(kLogPath), run.logBefore));
  std::set<std::string> deleted;  // samples the restart deleted
  size_t next = 0;                // the next operation pending before the run
  for (const sim::RestartOperation& op : ops) {
    if (next < before.pending.size() && SameOperation(op, before.pending[next])) {
      ++next;
      continue;
    }
    std::string sample;
    for (const std::string& name : {Upper(op.fromFile), Upper(op.from)}) {
      auto it = snap.sampleOf.find(name);
      if (it != snap.sampleOf.end()) sample = it->second;
    }
    if (sample.empty() && op.deletion && reports.scheduled.count(Upper(op.from))) {
      // A sample the run reached by another path (through a directory link): scheduled by the
      // run; that no other file went with it, the check of the user's files below shows.
      deleted.insert(Upper(op.from));
    } else if (!op.deletion || sample.empty()) {
      Fail(where + ": it carried out " + Describe(op) + ", which was not scheduled");
    } else if (!before.files.count(sample)) {
      Fail(where + ": it carried out " + Describe(op) + " again: the sample was gone before the run");
    } else if (reports.failed.count(sample) && !reports.scheduled.count(sample)) {
      Fail(where + ": it carried out " + Describe(op) + ", which the run reported it could not schedule");
    } else {
      deleted.insert(sample);
    }
  }
  for (; next < before.pending.size(); ++next)
    Fail(where + ": it did not carry out " + Describe(before.pending[next]) + ", pending before the run: lost");
  for (const auto& kv : reports.scheduled)
    if (!deleted.count(kv.first))
      Fail(where + ": the run reported " + kv.first + " as scheduled, but the restart did not delete it");
  CheckUserFiles(snap, report, where);
}

// Child exit codes of one sweep sequence (the fault fired in its first run or not); anything else
// is a crash, a hang or a sanitizer report.
enum { kRunPassed = 0, kRunPassedFired = 10, kRunFailedFired = 20, kRunFailed = 30 };

// One sequence in the forked child: the fault set, the first run, the restart, the second run,
// the restart, every check. Never returns.
[[noreturn]] void SweepChild(const YAML::Node& scenario, const Snapshot& snap, sim::FaultClass cls, long failingCall,
                             bool persistent, const std::string& where) {
  alarm(60);  // a run that loops on a failing call would never end
  sim::SetTornWrites(!persistent);
  sim::SetSweepFault(cls, failingCall, persistent);
  RunRecord first = RunTool(Args(scenario["args"], "args"), Str(scenario["keys"]));
  bool fired = sim::FaultCallCount(cls) >= failingCall;
  sim::SetSweepFault(cls, 0, false);  // the checks' own calls, and the rest of the sequence, must not fail
  sim::SetTornWrites(false);
  RunMode firstMode = ModeOf(scenario["args"]);
  CheckRunLeft(snap, snap.before, first, firstMode, where + " run 1");
  RestartAndCheck(snap, snap.before, first, firstMode.report, where + " restart 1");

  const YAML::Node again = scenario["second_run"] ? scenario["second_run"] : scenario;
  RunMode secondMode = ModeOf(again["args"]);
  MachineState middle = StateNow(snap);
  RunRecord second = RunTool(Args(again["args"], "args"), Str(again["keys"]));
  CheckRunLeft(snap, middle, second, secondMode, where + " run 2");
  RestartAndCheck(snap, middle, second, secondMode.report, where + " restart 2");
#if VORLAX_HAVE_LSAN
  if (__lsan_do_recoverable_leak_check() != 0) Fail(where + ": memory leaked (LeakSanitizer's report above)");
#endif
  for (const std::string& f : g_failures) fprintf(stderr, "%s\n", f.c_str());
  fflush(stderr);
  if (!g_failures.empty()) _exit(fired ? kRunFailedFired : kRunFailed);
  _exit(fired ? kRunPassedFired : kRunPassed);
}

struct SweepTally {
  long faultPoints = 0;  // runs in which the failing call was reached
  long badRuns = 0;
};

// N = 1, 2, ... until a run no longer reaches its Nth call of the class (only N = at when at is
// above 0, to look at one run again).
SweepTally SweepClass(const YAML::Node& scenario, const Snapshot& snap, sim::FaultClass cls, bool persistent,
                      long at) {
  SweepTally tally;
  long base = sim::FaultCallCount(cls);  // calls the machine's construction made
  for (long n = at > 0 ? at : 1; at <= 0 || n == at; ++n) {
    std::string where = std::string("[") + sim::FaultClassName(cls) + (persistent ? " persistent" : " transient") +
                        " #" + std::to_string(n) + "]";
    if (n > 1000000) {
      fprintf(stderr, "%s: the runs never stop reaching the failing call\n", where.c_str());
      ++tally.badRuns;
      return tally;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) BadScenario("fork failed");
    if (child == 0) SweepChild(scenario, snap, cls, base + n, persistent, where);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) BadScenario("waitpid failed");
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == kRunPassed) return tally;
    if (code == kRunFailed) {  // the child said what failed; its run did not reach the fault
      ++tally.badRuns;
      return tally;
    }
    ++tally.faultPoints;
    if (code == kRunPassedFired) continue;
    ++tally.badRuns;
    if (code == kRunFailedFired) continue;  // the child said what failed
    // Anything else: the child's own report (a sanitizer's, a failed assertion) is above.
    if (WIFSIGNALED(status))
      fprintf(stderr, "%s: the run died of signal %d%s\n", where.c_str(), WTERMSIG(status),
              WTERMSIG(status) == SIGALRM ? " (it did not end within 60 s)" : "");
    else
      fprintf(stderr, "%s: the run crashed or a sanitizer reported an error (exit status %d)\n", where.c_str(), code);
  }
  return tally;
}

int SweepScenario(const std::string& file, const std::string& className, long at) {
  YAML::Node scenario;
  try {
    scenario = YAML::LoadFile(file);
  } catch (const YAML::Exception& e) {
    BadScenario(file + ": " + e.what());
  }
  CheckKeys(scenario, kScenarioKeys, "the scenario");
  if (scenario["no_sweep"]) {
    fprintf(stdout, "SKIP %s: no_sweep: %s\n", file.c_str(), Str(scenario["no_sweep"]).c_str());
    return 0;
  }
  std::vector<sim::FaultClass> classes;
  sim::FaultClass named;
  if (className == "all") {
    for (int c = 0; c < sim::kFaultClassCount; ++c) classes.push_back(static_cast<sim::FaultClass>(c));
  } else if (sim::FindFaultClass(className, &named)) {
    classes.push_back(named);
  } else {
    std::string known;
    for (int c = 0; c < sim::kFaultClassCount; ++c)
      known += std::string(sim::FaultClassName(static_cast<sim::FaultClass>(c))) + ", ";
    BadScenario("unknown fault class '" + className + "' (" + known + "or all)");
  }


  BuildMachine(scenario);
  Snapshot snap = TakeSnapshot(scenario);
  long badRuns = 0;
  for (sim::FaultClass cls : classes) {
    for (bool persistent : {false, true}) {
      timespec start, end;
      clock_gettime(CLOCK_MONOTONIC, &start);
      SweepTally tally = SweepClass(scenario, snap, cls, persistent, at);
      clock_gettime(CLOCK_MONOTONIC, &end);
      double seconds = static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
      fprintf(stdout, "sweep %s %s %s: %ld fault points, %ld failed sequences, %.1f s\n", file.c_str(),
              sim::FaultClassName(cls), persistent ? "persistent" : "transient", tally.faultPoints, tally.badRuns,
              seconds);
      badRuns += tally.badRuns;
    }
  }
  fprintf(badRuns == 0 ? stdout : stderr, "%s %s\n", badRuns == 0 ? "PASS" : "FAIL", file.c_str());
  return badRuns == 0 ? 0 : 1;
}

}  // namespace

// A file of the host (the simulated machine's headers stand for the C runtime's file calls).
bool ReadHostFile(const std::string& path, std::string* data) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  char buffer[4096];
  ssize_t got;
  data->clear();
  while ((got = ::read(fd, buffer, sizeof(buffer))) > 0) data->append(buffer, static_cast<size_t>(got));
  ::close(fd);
  return got == 0;
}

// --match-text: a file that a test of its own got from a machine, held against the text that it
// expects, with the placeholders of file_texts. Exit 0 they match, 1 a diff on stderr.
int MatchTextFiles(const std::string& expectedFile, const std::string& actualFile) {
  std::string expected, actual;
  if (!ReadHostFile(expectedFile, &expected)) BadScenario("cannot read " + expectedFile);
  if (!ReadHostFile(actualFile, &actual)) BadScenario("cannot read " + actualFile);
  if (MatchesWithPlaceholders(expected, actual)) return 0;
  CompareText(actualFile + " (placeholders of the expected text not resolved)", expected, actual);
  for (const std::string& f : g_failures) fprintf(stderr, "%s\n", f.c_str());
  return 1;
}

int main(int argc, char** argv) {
  const char kUsage[] =
      "usage: scenario_runner [--sweep CLASS [--at N] | --check-record RECORD.json] FILE.yaml [--module PATH]\n"
      "       scenario_runner --match-text EXPECTED ACTUAL";
  if (argc == 4 && std::string(argv[1]) == "--match-text") return MatchTextFiles(argv[2], argv[3]);
  std::string recordFile;
  std::string file;
  std::string sweepClass;
  long at = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--module" && i + 1 < argc) {
      g_modulePath = argv[++i];
    } else if (arg == "--check-record" && i + 1 < argc) {
      recordFile = argv[++i];
    } else if (arg == "--sweep" && i + 1 < argc) {
      sweepClass = argv[++i];
    } else if (arg == "--at" && i + 1 < argc) {
      at = atol(argv[++i]);
      if (at <= 0) BadScenario(kUsage);
    } else if (file.empty()) {
      file = arg;
    } else {
      BadScenario(kUsage);
    }
  }
  if (file.empty()) BadScenario(kUsage);
  if (at > 0 && sweepClass.empty()) BadScenario(kUsage);
  if (!recordFile.empty() && (!sweepClass.empty() || at > 0)) BadScenario(kUsage);
  if (!recordFile.empty()) return CheckRecord(recordFile, file);
  if (!sweepClass.empty()) return SweepScenario(file, sweepClass, at);
  return RunScenario(file);
}
