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

// ---------------------------------------------------------------- texts

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

std::string MaskLog(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    bool last = end == std::string::npos;
    std::string line = text.substr(start, last ? std::string::npos : end - start);
    start = last ? text.size() : end + 2;
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
      continue;
    const std::string path = "PATH ", clean = " INFECTION=0";
    if (upper.compare(0, path.size(), path) == 0 && upper.size() > path.size() + clean.size() &&
        upper.compare(upper.size() - clean.size(), clean.size(), clean) == 0 &&
        g_maskFiles.count(upper.substr(path.size(), upper.size() - path.size() - clean.size())) == 0)
      continue;
    out += line;
    if (!last) out += "\r\n";
  }
  return out;
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

void BuildMachine(const YAML::Node& scenario) {
  sim::Reset();
  std::string platform = Str(scenario["platform"], "nt");
  if (platform == "nt") {
    sim::SetWindowsNt();
  } else if (platform == "98") {
    sim::SetWindows98();
  } else {
    BadScenario("platform must be nt or 98");
  }

  const YAML::Node machine = scenario["machine"];
  g_maskFiles = {"C:\\VCTOOL\\VORLAXCLEAN.EXE"};
  g_maskImages.clear();
  for (const char* list : {"files", "processes"}) {
    if (!machine || !machine[list] || !machine[list].IsSequence()) continue;
    for (const auto& item : machine[list]) {
      std::string name = Str(item[list[0] == 'f' ? "path" : "image"]);
      for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      (list[0] == 'f' ? g_maskFiles : g_maskImages).insert(name);
    }
  }
  CheckKeys(machine,
            {"admin", "drives", "dirs", "links", "files", "registry", "processes", "services", "devices", "faults"},
            "machine");
  if (!machine) return;

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
  if (machine["links"]) {
    for (const auto& link : machine["links"]) {
      CheckKeys(link, {"path", "target"}, "machine.links");
      sim::MakeDirectoryLink(Str(link["path"]), Str(link["target"]));
    }
  }
  BuildFiles(machine["files"]);
  BuildRegistry(machine["registry"]);
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
      sim::FailApi(api, Num(fault["nth"], 1), Flag(fault["persistent"], false),
                   static_cast<DWORD>(Num(fault["error"], 0)));
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
};

RunRecord RunTool(const std::vector<std::string>& args, const std::string& keys) {
  RunRecord run;
  run.consoleBefore = sim::ConsoleOutput().size();
  run.logBefore = sim::FileData(kLogPath).size();
  run.startedBefore = sim::StartedProcesses().size();
  run.keyReadsBefore = sim::KeyReads();
  run.terminationsBefore = sim::Terminations().size();
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

// ---------------------------------------------------------------- checks

std::string RunText(const std::string& all, size_t before) { return before <= all.size() ? all.substr(before) : all; }

void CheckLogLineEnds(const std::string& log) {
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] == '\n' && (i == 0 || log[i - 1] != '\r')) {
      Fail("log: a line feed at byte " + std::to_string(i) + " is not preceded by a carriage return");
      return;
    }
  }
}

void CheckLogLines(const std::vector<std::string>& wanted, const std::string& text) {
  std::vector<std::string> lines = CrlfLines(text);
  size_t at = 0;
  for (const std::string& want : wanted) {
    size_t i = at;
    while (i < lines.size() && lines[i] != want) ++i;
    if (i == lines.size()) {
      std::ostringstream out;
      out << "log_lines: no line \"" << Visible(want) << "\" after log line " << at << "; the run's log lines are:\n";
      for (size_t k = 0; k < lines.size(); ++k) out << "  " << k << ": " << Visible(lines[k]) << "\n";
      Fail(out.str());
      return;
    }
    at = i + 1;
  }
}

void CheckStarted(const YAML::Node& wanted, const RunRecord& run) {
  const std::vector<sim::StartedProcess>& all = sim::StartedProcesses();
  std::vector<sim::StartedProcess> started(all.begin() + static_cast<long>(run.startedBefore), all.end());
  if (!wanted.IsSequence()) BadScenario("started must be a list");
  if (started.size() != wanted.size()) {
    std::ostringstream out;
    out << "started: expected " << wanted.size() << " program starts, got " << started.size();
    for (const sim::StartedProcess& p : started) out << "\n  \"" << p.commandLine << "\" flags " << p.flags;
    Fail(out.str());
    return;
  }
  for (size_t i = 0; i < started.size(); ++i) {
    const YAML::Node w = wanted[i];
    CheckKeys(w, {"command_line", "flags", "application"}, "expect.started");
    const sim::StartedProcess& p = started[i];
    std::string where = "started[" + std::to_string(i) + "]: ";
    if (w["command_line"] && p.commandLine != Str(w["command_line"]))
      Fail(where + "command line \"" + p.commandLine + "\", expected \"" + Str(w["command_line"]) + "\"");
    if (w["flags"] && p.flags != static_cast<DWORD>(Num(w["flags"], 0)))
      Fail(where + "flags " + std::to_string(p.flags) + ", expected " + std::to_string(Num(w["flags"], 0)));
    if (p.application != Str(w["application"]))
      Fail(where + "application name \"" + p.application + "\", expected \"" + Str(w["application"]) + "\"");
    // The start-up record: its size and nothing else.
    if (p.startupInfoSize != sizeof(STARTUPINFOA) || !p.startupInfoZeroed)
      Fail(where + "the start-up information must hold its size and zeros only");
  }
}

void CheckPending(const YAML::Node& wanted) {
  const std::vector<sim::PendingOperation>& ops = sim::PendingOperations();
  if (!wanted.IsSequence()) BadScenario("pending must be a list");
  std::ostringstream actual;
  for (const sim::PendingOperation& op : ops)
    actual << "\n  from \"" << op.from << "\"" << (op.deletion ? " (deletion)" : " to \"" + op.to + "\"")
           << " flags " << op.flags;
  bool same = ops.size() == wanted.size();
  for (size_t i = 0; same && i < ops.size(); ++i) {
    CheckKeys(wanted[i], {"from", "to"}, "expect.pending");
    std::string from = Str(wanted[i]["from"]);
    bool deletion = !wanted[i]["to"];
    same = ops[i].from == from && ops[i].deletion == deletion && (deletion || ops[i].to == Str(wanted[i]["to"]));
  }
  if (!same) Fail("pending: the restart-time operations differ; they are:" + actual.str());
}

void CheckRegistry(const YAML::Node& entries, bool present, const std::string& where) {
  if (!entries.IsSequence()) BadScenario(where + " must be a list");
  for (const auto& entry : entries) {
    CheckKeys(entry, {"key", "name"}, where);
    std::string key = Str(entry["key"]);
    bool has = entry["name"] ? sim::RegHasValue(key, Str(entry["name"])) : sim::RegHasKey(key);
    if (has != present)
      Fail(where + ": " + key + (entry["name"] ? "\\\\" + Str(entry["name"]) : std::string()) +
           (present ? " is missing" : " is still there"));
  }
}

// The keys that describe the machine's end state, checked after a run and after a restart.
void CheckEndState(const YAML::Node& expect, const std::string& where) {
  for (const std::string& path : StrList(expect["files_present"], where + ".files_present"))
    if (!sim::Exists(path)) Fail(where + ": " + path + " is missing");
  for (const std::string& path : StrList(expect["files_absent"], where + ".files_absent"))
    if (sim::Exists(path)) Fail(where + ": " + path + " is still there");
  if (expect["registry_present"]) CheckRegistry(expect["registry_present"], true, where + ".registry_present");
  if (expect["registry_absent"]) CheckRegistry(expect["registry_absent"], false, where + ".registry_absent");
  if (expect["pending"]) CheckPending(expect["pending"]);
  if (expect["wininit"]) {
    std::string data;
    if (!sim::GetFile(kWininitPath, &data))
      Fail(where + ": " + kWininitPath + " does not exist");
    else
      CompareText(where + ".wininit", Crlf(expect["wininit"].as<std::string>()), data);
  }
  if (expect["log_exists"] && Flag(expect["log_exists"], true) != sim::Exists(kLogPath))
    Fail(where + std::string(": the log file ") + (sim::Exists(kLogPath) ? "exists" : "does not exist"));
  if (expect["log"]) {
    std::string log;
    if (!sim::GetFile(kLogPath, &log)) Fail(where + ": the log file does not exist");
    else CompareText(where + ".log", MaskLog(Crlf(expect["log"].as<std::string>())), MaskLog(log));
  }
}

const std::set<std::string> kEndStateKeys = {"files_present", "files_absent", "registry_present", "registry_absent",
                                             "pending",       "wininit",      "log_exists",       "log"};

void CheckRun(const YAML::Node& expect, const RunRecord& run, const std::string& where) {
  std::set<std::string> known = kEndStateKeys;
  known.insert({"exit", "console", "log_lines", "log_absent", "started", "key_reads", "key_read_before_start",
                "terminated"});
  CheckKeys(expect, known, where);

  if (expect["exit"] && run.exitCode != Num(expect["exit"], 0))
    Fail(where + ".exit: " + std::to_string(run.exitCode) + ", expected " + std::to_string(Num(expect["exit"], 0)));
  if (expect["console"])
    CompareText(where + ".console", Crlf(expect["console"].as<std::string>()),
                RunText(sim::ConsoleOutput(), run.consoleBefore));

  std::string log = sim::FileData(kLogPath);
  std::string runLog = RunText(log, run.logBefore);
  if (expect["log"] || expect["log_lines"] || expect["log_absent"]) CheckLogLineEnds(log);
  if (expect["log_lines"]) {
    std::vector<std::string> wanted = StrList(expect["log_lines"], where + ".log_lines");
    for (std::string& line : wanted) line = MaskLog(line);
    CheckLogLines(wanted, MaskLog(runLog));
  }
  for (const std::string& text : StrList(expect["log_absent"], where + ".log_absent"))
    if (runLog.find(text) != std::string::npos) Fail(where + ".log_absent: the log holds \"" + Visible(text) + "\"");

  if (expect["started"]) CheckStarted(expect["started"], run);
  int keyReads = sim::KeyReads() - run.keyReadsBefore;
  if (expect["key_reads"] && keyReads != Num(expect["key_reads"], 0))
    Fail(where + ".key_reads: " + std::to_string(keyReads) + ", expected " +
         std::to_string(Num(expect["key_reads"], 0)));
  if (Flag(expect["key_read_before_start"], false)) {
    const std::vector<sim::StartedProcess>& all = sim::StartedProcesses();
    if (keyReads == 0 || all.size() <= run.startedBefore) {
      Fail(where + ".key_read_before_start: needs a key read and a program start");
    } else {
      DWORD keyTime = sim::KeyReadTime(sim::KeyReads() - 1);
      DWORD startTime = all[run.startedBefore].time;
      // _getch lets the virtual clock move on while the user presses the key.
      if (!(keyTime < startTime))
        Fail(where + ".key_read_before_start: the key was read at " + std::to_string(keyTime) +
             ", the program started at " + std::to_string(startTime));
    }
  }
  if (expect["terminated"]) {
    std::vector<std::string> wanted = StrList(expect["terminated"], where + ".terminated");
    const std::vector<sim::Termination>& all = sim::Terminations();
    std::vector<std::string> got;
    for (size_t i = run.terminationsBefore; i < all.size(); ++i) got.push_back(all[i].imagePath);
    if (got != wanted) {
      std::string list;
      for (const std::string& g : got) list += "\n  " + g;
      Fail(where + ".terminated: the ended processes differ; they are:" + (list.empty() ? " none" : list));
    }
  }
  CheckEndState(expect, where);
}

// What every run must leave behind, whatever the scenario states: no handle, registry key,
// service handle or C runtime stream left open, and the log file closed once the program has
// ended.
void CheckReleased(const std::string& where, bool faultsInjected) {
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
  RunRecord first = RunTool(Args(scenario["args"], "args"), Str(scenario["keys"]));
  CheckRun(scenario["expect"], first, "expect");
  CheckReleased("expect", faults);

  bool restart = Flag(scenario["restart"], false);
  if (scenario["after_restart"] && !restart) BadScenario("after_restart needs restart: true");
  if (restart) {
    sim::Restart();
    CheckKeys(scenario["after_restart"], kEndStateKeys, "after_restart");
    if (scenario["after_restart"]) CheckEndState(scenario["after_restart"], "after_restart");
  }
  if (scenario["second_run"]) {
    const YAML::Node second = scenario["second_run"];
    CheckKeys(second, {"args", "keys", "expect"}, "second_run");
    RunRecord run = RunTool(Args(second["args"], "second_run.args"), Str(second["keys"]));
    CheckRun(second["expect"], run, "second_run.expect");
    CheckReleased("second_run", faults);
  }

  if (g_failures.empty()) {
    fprintf(stdout, "PASS %s\n", file.c_str());
    return 0;
  }
  fprintf(stderr, "FAIL %s\n", file.c_str());
  for (const std::string& f : g_failures) fprintf(stderr, "\n%s\n", f.c_str());
  return 1;
}

// ---------------------------------------------------------------- fault sweep

// The machine as it stood before a sweep run, for the checks after it.
struct Snapshot {
  std::map<std::string, std::string> files;  // every file of every drive, with its bytes
  std::set<std::string> samples;             // files the scenario made worm samples: may go
  bool hadLog = false;
  std::string log;
  bool hadWininit = false;
  std::string wininit;
};

const char kWininitTemporaryPath[] = "C:\\windows\\WININIT.$$$";

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return out;
}

Snapshot TakeSnapshot(const YAML::Node& scenario) {
  Snapshot snap;
  std::set<char> letters = {'C'};
  const YAML::Node machine = scenario["machine"];
  if (machine && machine["drives"])
    for (const auto& drive : machine["drives"]) letters.insert(static_cast<char>(toupper(Str(drive["letter"])[0])));
  for (char letter : letters) {
    std::string root = std::string(1, letter) + ":\\";
    if (!sim::IsDirectory(root)) continue;  // a drive the scenario did not make
    for (const std::string& path : sim::ListFiles(root)) snap.files[Upper(path)] = sim::FileData(path);
  }
  if (machine && machine["files"]) {
    for (const auto& file : machine["files"]) {
      std::string content = Str(file["content"], "plain");
      if (content == "row0" || content == "row1") snap.samples.insert(Upper(Str(file["path"])));
    }
  }
  snap.hadLog = sim::GetFile(kLogPath, &snap.log);
  snap.hadWininit = sim::GetFile(kWininitPath, &snap.wininit);
  return snap;
}

// Nothing the run must not touch was touched: clean files, the log's earlier text, WININIT.INI's
// lines (in the file, or, after a rename that failed, in the temporary file that holds its text).
void CheckNothingLost(const Snapshot& snap, const std::string& where) {
  for (const auto& kv : snap.files) {
    const std::string& path = kv.first;
    if (snap.samples.count(path) || path == Upper(kLogPath) || path == Upper(kWininitPath)) continue;
    std::string now;
    if (!sim::GetFile(path, &now))
      Fail(where + ": the clean file " + path + " is gone");
    else if (now != kv.second)
      Fail(where + ": the clean file " + path + " was changed");
  }
  if (snap.hadLog) {
    std::string log = sim::FileData(kLogPath);
    if (log.compare(0, snap.log.size(), snap.log) != 0) Fail(where + ": the log lost text it had before the run");
  }
  if (snap.hadWininit) {
    std::string now;
    const char* holder = kWininitPath;
    if (!sim::GetFile(kWininitPath, &now)) {
      holder = kWininitTemporaryPath;
      if (!sim::GetFile(kWininitTemporaryPath, &now)) {
        Fail(where + ": WININIT.INI is gone, and no temporary file holds its text");
        return;
      }
    }
    std::vector<std::string> before = CrlfLines(snap.wininit);
    std::vector<std::string> after = CrlfLines(now);
    size_t at = 0;
    for (const std::string& line : before) {
      while (at < after.size() && after[at] != line) ++at;
      if (at == after.size()) {
        Fail(where + ": the line \"" + Visible(line) + "\" of WININIT.INI is lost (or out of order) in " + holder);
        return;
      }
      ++at;
    }
  }
}

// Child exit codes of one sweep run; anything else is a crash, a hang or a sanitizer report.
enum { kRunPassed = 0, kRunPassedFired = 10, kRunFailed = 20 };

// One run in the forked child: the fault set, the tool run, every check. Never returns.
[[noreturn]] void SweepChild(const YAML::Node& scenario, const Snapshot& snap, sim::FaultClass cls, long failingCall,
                             bool persistent, const std::string& where) {
  alarm(60);  // a run that loops on a failing call would never end
  sim::SetSweepFault(cls, failingCall, persistent);
  RunRecord run = RunTool(Args(scenario["args"], "args"), Str(scenario["keys"]));
  bool fired = sim::FaultCallCount(cls) >= failingCall;
  sim::SetSweepFault(cls, 0, false);  // the checks' own calls must not fail

  if (run.exitCode < 0 || run.exitCode > 3) Fail(where + ": exit code " + std::to_string(run.exitCode));
  CheckReleased(where, true);
  CheckNothingLost(snap, where);
#if VORLAX_HAVE_LSAN
  if (__lsan_do_recoverable_leak_check() != 0) Fail(where + ": memory leaked (LeakSanitizer's report above)");
#endif
  for (const std::string& f : g_failures) fprintf(stderr, "%s\n", f.c_str());
  fflush(stderr);
  _exit(!g_failures.empty() ? kRunFailed : fired ? kRunPassedFired : kRunPassed);
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
    if (code == kRunPassedFired) {
      ++tally.faultPoints;
      continue;
    }
    ++tally.faultPoints;
    ++tally.badRuns;
    if (code == kRunFailed) continue;  // the child said what failed
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
  for (int c = 0; c < sim::kFaultClassCount; ++c) {
    sim::FaultClass cls = static_cast<sim::FaultClass>(c);
    if (className == "all" || className == sim::FaultClassName(cls)) classes.push_back(cls);
  }
  if (classes.empty()) BadScenario("unknown fault class '" + className + "'");

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
      fprintf(stdout, "sweep %s %s %s: %ld fault points, %ld failed runs, %.1f s\n", file.c_str(),
              sim::FaultClassName(cls), persistent ? "persistent" : "transient", tally.faultPoints, tally.badRuns,
              seconds);
      badRuns += tally.badRuns;
    }
  }
  fprintf(badRuns == 0 ? stdout : stderr, "%s %s\n", badRuns == 0 ? "PASS" : "FAIL", file.c_str());
  return badRuns == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char kUsage[] = "usage: scenario_runner [--sweep CLASS [--at N]] FILE.yaml [--module PATH]";
  std::string file;
  std::string sweepClass;
  long at = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--module" && i + 1 < argc) {
      g_modulePath = argv[++i];
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
  if (!sweepClass.empty()) return SweepScenario(file, sweepClass, at);
  return RunScenario(file);
}
