#include "sandbox/worker_launcher.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "platform/capabilities.h"
#include "platform/mapping.h"
#include "platform/unique_fd.h"
#include "sandbox/landlock_ruleset.h"
#include "sandbox/seccomp_filter.h"

namespace tessel {
namespace {

constexpr const char kNoNewPrivs[] = "no_new_privs";
constexpr const char kCapabilities[] = "capabilities";
constexpr const char kEnvironment[] = "environment";
constexpr const char kLimits[] = "resource limits";
constexpr const char kLandlock[] = "Landlock";
constexpr const char kSeccomp[] = "seccomp";

constexpr int kCapSetPcap = 8;
// A recursion that runs away in a library ends at a stack of the usual size, whatever the caller
// runs with, not at the address-space cap.
constexpr rlim_t kStackLimit = 8 << 20;

// What a child that failed a step tells its parent through the pipe before it exits.
enum Step : int32_t {
  kStepStandardInput,
  kStepLimits,
  kStepCapabilities,
  kStepNoNewPrivs,
  kStepLandlock,
  kStepSeccomp,
  kStepExec,
};

struct ChildRecord {
  int32_t step;
  int32_t error;
  int32_t fatal;
};

const char* StepLayer(int32_t step) {
  switch (step) {
    case kStepLimits:
      return kLimits;
    case kStepCapabilities:
      return kCapabilities;
    case kStepNoNewPrivs:
      return kNoNewPrivs;
    case kStepLandlock:
      return kLandlock;
    case kStepSeccomp:
      return kSeccomp;
    default:
      return nullptr;
  }
}

// Everything the child needs, prepared before fork: after it the child only makes system calls.
struct ChildPlan {
  bool confine = false;
  bool bestEffort = false;
  bool dropBounding = false;
  int lastCapability = 40;
  rlim_t addressSpace = 0;
  rlim_t openFiles = 0;
  const CLandlockRuleset* ruleset = nullptr;
  const CSeccompFilter* filter = nullptr;
  std::vector<sock_filter>* program = nullptr;
  int errorPipe = -1;
  int standardInput = -1;
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
};

void Tell(const ChildPlan& plan, int32_t step, int error, bool fatal) {
  const ChildRecord record{step, error, fatal ? 1 : 0};
  ssize_t ignored = ::write(plan.errorPipe, &record, sizeof record);
  (void)ignored;
}

// A step that fails ends the child, unless best effort lets the worker start without its layer.
bool Failed(const ChildPlan& plan, int32_t step) {
  const int error = errno;
  const bool fatal = !plan.bestEffort || step == kStepStandardInput || step == kStepExec;
  Tell(plan, step, error, fatal);
  if (fatal) ::_exit(127);
  return false;
}

bool LowerLimit(int resource, rlim_t value) {
  struct rlimit limit;
  if (::getrlimit(resource, &limit) != 0) return false;
  // Never raise: a caller may already hold the worker lower.
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < value) value = limit.rlim_max;
  limit.rlim_cur = limit.rlim_max = value;
  return ::setrlimit(resource, &limit) == 0;
}

bool DropCapabilities(const ChildPlan& plan) {
  if (plan.dropBounding) {
    // With root's capabilities gone from the bounding set and root treated as an ordinary user,
    // exec cannot hand them back.
    const unsigned long bits = SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                               SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED |
                               SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED;
    if (::prctl(PR_SET_SECUREBITS, bits, 0, 0, 0) != 0) return false;
    for (int cap = 0; cap <= plan.lastCapability; ++cap) {
      if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) return false;
    }
  }
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
    return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return ::syscall(SYS_capset, &header, data) == 0;
}

// Runs in the parent's memory until exec (see SpawnChild), with every signal blocked: it makes
// system calls only, and never returns.
[[noreturn]] void RunChild(const ChildPlan& plan) {
  // Ignored signals stay ignored across exec, and a handler of the caller's must never run here,
  // on memory the caller is still using: the defaults first, then the signals are let in. Plain
  // system calls: wrappers that a runtime intercepts may keep state in the memory we share.
  struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    uint64_t mask;
  } defaults{SIG_DFL, 0, nullptr, 0};
  for (int signal = 1; signal < NSIG; ++signal) {
    ::syscall(SYS_rt_sigaction, signal, &defaults, nullptr, sizeof defaults.mask);
  }
  const uint64_t none = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
  if (::dup2(plan.standardInput, STDIN_FILENO) < 0) Failed(plan, kStepStandardInput);
  // Signals meant for the caller's terminal (Ctrl-C) are not the worker's: the caller decides
  // when its worker ends.
  ::setsid();
  // Nothing of ours but the standard three reaches the worker; what the steps below still use
  // closes at exec.
  if (::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) != 0) {
    // Kernels before 5.11: one descriptor at a time.
    struct rlimit files {};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t last = files.rlim_cur == RLIM_INFINITY ? 65536 : files.rlim_cur;
    for (rlim_t fd = 3; fd < last; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  }

  if (plan.confine) {
    bool limited = LowerLimit(RLIMIT_CORE, 0) && LowerLimit(RLIMIT_STACK, kStackLimit);
    if (limited && plan.openFiles != 0) limited = LowerLimit(RLIMIT_NOFILE, plan.openFiles);
    if (limited && plan.addressSpace != 0) limited = LowerLimit(RLIMIT_AS, plan.addressSpace);
    if (!limited) Failed(plan, kStepLimits);
    if (!DropCapabilities(plan)) Failed(plan, kStepCapabilities);
    const bool noNewPrivs = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    if (!noNewPrivs) Failed(plan, kStepNoNewPrivs);
    if (plan.ruleset != nullptr && noNewPrivs) {
      // Its own /proc entry is known only now; the rule names this process, not its parent.
      const int self = ::open("/proc/self", O_PATH | O_CLOEXEC);
      if (self < 0 || !plan.ruleset->AllowFd(self, true, PathAccess::kRead) ||
          !plan.ruleset->RestrictSelf()) {
        Failed(plan, kStepLandlock);
      }
    }
    if (plan.filter != nullptr && noNewPrivs &&
        !plan.filter->Install(*plan.program, static_cast<pid_t>(::syscall(SYS_getpid)))) {
      Failed(plan, kStepSeccomp);
    }
  }
  ::execve(plan.path, plan.argv, plan.envp);
  Failed(plan, kStepExec);
  ::_exit(127);
}

int ChildEntry(void* plan) {
  RunChild(*static_cast<const ChildPlan*>(plan));
}

// Starts the child that becomes the worker. It shares our memory until its exec (or exit), the
// way posix_spawn does, and we wait until then: copying the page tables of a large caller, as
// fork does, would cost more than the whole start of a worker. Signals stay blocked while the
// child runs on our memory. Returns the child's pid, or -1 with errno set.
pid_t SpawnChild(const ChildPlan& plan) {
  constexpr size_t kChildStack = 256 << 10;
  void* stack = ::mmap(nullptr, kChildStack, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return -1;
  const CMapping stackOwner(stack, kChildStack);
  sigset_t all, previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::clone(ChildEntry, static_cast<char*>(stack) + kChildStack,
                            CLONE_VM | CLONE_VFORK | SIGCHLD, const_cast<ChildPlan*>(&plan));
  const int error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return pid;
}

std::string Describe(int error) {
  return ::strerror(error);
}

std::string FormatBytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (1ull << 30) && bytes % (1ull << 20) == 0) {
    std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / (1ull << 30));
  } else {
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
  }
  return text;
}

// The program interpreter named in an ELF executable: the kernel opens it for execution too.
std::string Interpreter(const std::string& executable) {
  CUniqueFd file(::open(executable.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return {};
  Elf64_Ehdr header;
  if (::pread(file.Get(), &header, sizeof header, 0) != sizeof header ||
      ::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 256) {
    return {};
  }
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr entry;
    if (::pread(file.Get(), &entry, sizeof entry, header.e_phoff + i * sizeof entry) !=
        sizeof entry) {
      return {};
    }
    if (entry.p_type != PT_INTERP || entry.p_filesz == 0 || entry.p_filesz > 4096) continue;
    std::string path(entry.p_filesz, '\0');
    if (::pread(file.Get(), path.data(), path.size(), entry.p_offset) !=
        static_cast<ssize_t>(path.size())) {
      return {};
    }
    path.resize(::strnlen(path.c_str(), path.size()));
    return path;
  }
  return {};
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text.append(separator);
    text.append(item);
  }
  return text;
}

int LastCapability() {
  int last = 40;
  if (FILE* file = std::fopen("/proc/sys/kernel/cap_last_cap", "re")) {
    if (std::fscanf(file, "%d", &last) != 1 || last < 0 || last > 63) last = 40;
    std::fclose(file);
  }
  return last;
}

struct LayerPlan {
  ConfinementReport report;
  CLandlockRuleset ruleset;
  const CSeccompFilter* filter = nullptr;
  bool dropBounding = false;
};

void SetLayer(ConfinementReport& report, const char* name, bool inForce, std::string detail) {
  for (ConfinementLayer& layer : report.layers) {
    if (layer.name == name) {
      layer.inForce = inForce;
      layer.detail = std::move(detail);
      return;
    }
  }
  report.layers.push_back(ConfinementLayer{name, inForce, std::move(detail)});
}

// Builds the Landlock ruleset for `launch`; false with `error` when a named path cannot be granted.
bool PlanLandlock(const WorkerLaunch& launch, LayerPlan& plan, std::string& error) {
  int why = 0;
  const int abi = CLandlockRuleset::KernelAbi(&why);
  if (abi == 0) {
    SetLayer(plan.report, kLandlock, false,
             "this kernel offers no Landlock (" + Describe(why) +
                 "): the worker could read and write every file you can");
    return true;
  }
  if (!plan.ruleset.Create(abi)) {
    SetLayer(plan.report, kLandlock, false, "cannot create a ruleset: " + Describe(errno));
    return true;
  }
  const auto grant = [&](const std::string& path, PathAccess access, bool optional) {
    if (plan.ruleset.Allow(path, access) || (optional && errno == ENOENT)) return true;
    error = "cannot let the confined worker use " + path + ": " + Describe(errno);
    return false;
  };
  if (!grant(launch.executable, PathAccess::kExecute, false) ||
      !grant(FolderOf(launch.executable), PathAccess::kRead, false)) {
    return false;
  }
  const std::string interpreter = Interpreter(launch.executable);
  if (!interpreter.empty() && !grant(interpreter, PathAccess::kExecute, false)) return false;
  for (const std::string& path : WorkerSystemPaths()) {
    if (!grant(path, PathAccess::kRead, true)) return false;
  }
  for (const std::string& path : launch.readable) {
    if (!grant(path, PathAccess::kRead, false)) return false;
  }
  for (const std::string& path : launch.privateFolders) {
    if (!grant(path, PathAccess::kPrivate, false)) return false;
  }
  for (const std::string& path : launch.appendFolders) {
    if (!grant(path, PathAccess::kAppend, false)) return false;
  }
  for (const std::string& path : launch.sharedObjects) {
    if (!grant(path, PathAccess::kReadWrite, false)) return false;
  }

  std::string detail = "ABI " + std::to_string(abi) + ": executes only " + launch.executable;
  detail += "; reads the system's libraries, fonts and font configuration, its own folder";
  if (!launch.readable.empty()) detail += " and " + Join(launch.readable, ", ");
  if (!launch.privateFolders.empty())
    detail += "; keeps files only in " + Join(launch.privateFolders, ", ");
  if (!launch.appendFolders.empty())
    detail += "; writes logs in " + Join(launch.appendFolders, ", ");
  detail += "; opens only its session's " + std::to_string(launch.sharedObjects.size()) +
            " shared objects, never truncating them; nothing else";
  if (abi >= 4) detail += "; no TCP";
  if (abi >= 6) detail += "; no signals or abstract sockets leaving it";
  const std::vector<std::string> missing = plan.ruleset.MissingProtections();
  if (!missing.empty()) detail += "; this ABI cannot restrict " + Join(missing, ", ");
  SetLayer(plan.report, kLandlock, true, detail);
  return true;
}

void PlanLayers(const WorkerLaunch& launch, LayerPlan& plan) {
  ConfinementReport& report = plan.report;
  SetLayer(report, kNoNewPrivs, true, "the worker cannot gain privileges by executing anything");
  plan.dropBounding = (EffectiveCapabilities() >> kCapSetPcap) & 1;
  SetLayer(report, kCapabilities, true,
           plan.dropBounding
               ? "every capability dropped: effective, permitted, inheritable, ambient and the "
                 "bounding set; root is an ordinary user to exec"
               : "effective, permitted, inheritable and ambient sets empty; the bounding set "
                 "cannot be emptied without CAP_SETPCAP, and no_new_privs keeps it unusable");
  std::vector<std::string> names;
  for (const std::string& entry : launch.environment)
    names.push_back(entry.substr(0, entry.find('=')));
  SetLayer(report, kEnvironment, true,
           std::to_string(names.size()) +
               " variables, none of yours unless named: " + Join(names, ", "));
  std::string limits = "no core files, 8 MiB of stack";
  if (launch.openFileLimit != 0)
    limits += ", " + std::to_string(launch.openFileLimit) + " open files";
  limits += launch.addressSpaceLimit != 0
                ? ", " + FormatBytes(launch.addressSpaceLimit) + " of address space"
                : ", no address-space cap";
  SetLayer(report, kLimits, true, limits);
  SetLayer(report, kLandlock, false, "");
  std::string why;
  if (!CSeccompFilter::KernelSupports(why)) {
    SetLayer(report, kSeccomp, false, why);
  } else if ((plan.filter = CSeccompFilter::Worker(why)) == nullptr) {
    SetLayer(report, kSeccomp, false, why);
  } else {
    SetLayer(report, kSeccomp, true,
             std::to_string(plan.filter->AllowedCalls()) +
                 " system calls allowed, every other refused with an error, among them " +
                 Join(CSeccompFilter::RefusedFamilies(), "; "));
  }
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

const std::vector<std::string>& WorkerSystemPaths() {
  static const std::vector<std::string> paths = {
      "/usr",
      "/etc/ld.so.cache",
      "/etc/ld.so.preload",
      "/etc/fonts",
      "/etc/localtime",
      "/etc/locale.alias",
      "/var/cache/fontconfig",
      "/proc/meminfo",
      "/sys/devices/system/cpu",
  };
  return paths;
}

ConfinementReport ProbeConfinement() {
  WorkerLaunch launch;
  launch.mode = ConfinementMode::kBestEffort;
  LayerPlan plan;
  PlanLayers(launch, plan);
  int why = 0;
  const int abi = CLandlockRuleset::KernelAbi(&why);
  if (abi == 0) {
    SetLayer(plan.report, kLandlock, false,
             "this kernel offers no Landlock (" + Describe(why) + ")");
  } else {
    CLandlockRuleset probe;
    probe.Create(abi);
    const std::vector<std::string> missing = probe.MissingProtections();
    SetLayer(plan.report, kLandlock, true,
             "ABI " + std::to_string(abi) +
                 (missing.empty() ? std::string(": every right the worker's rules use")
                                  : "; cannot restrict " + Join(missing, ", ")));
  }
  plan.report.mode = ConfinementMode::kBestEffort;
  return plan.report;
}

bool LaunchWorker(const WorkerLaunch& launch, LaunchedWorker& worker, std::string& error) {
  worker = LaunchedWorker{};
  worker.report.mode = launch.mode;
  const bool confine = launch.mode != ConfinementMode::kOff;
  LayerPlan layers;
  std::vector<sock_filter> program;
  if (confine) {
    PlanLayers(launch, layers);
    if (!PlanLandlock(launch, layers, error)) return false;
    if (launch.mode == ConfinementMode::kRequire) {
      for (const ConfinementLayer& layer : layers.report.layers) {
        if (!layer.inForce) {
          worker.confinementFailed = true;
          error = "cannot confine the worker: " + layer.name + " is missing (" + layer.detail +
                  "); start it with best-effort confinement to run without it";
          return false;
        }
      }
    }
    if (layers.filter != nullptr) program = layers.filter->Program();
  }

  std::vector<std::string> argumentTexts;
  argumentTexts.push_back(launch.executable);
  argumentTexts.insert(argumentTexts.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<std::string> environmentTexts = launch.environment;
  const std::vector<char*> argv = Pointers(argumentTexts);
  const std::vector<char*> envp = Pointers(environmentTexts);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = "cannot start the worker: " + Describe(errno);
    return false;
  }
  CUniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  CUniqueFd nothing(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!nothing) {
    error = "cannot open /dev/null for the worker: " + Describe(errno);
    return false;
  }

  ChildPlan plan;
  plan.confine = confine;
  plan.bestEffort = launch.mode == ConfinementMode::kBestEffort;
  plan.dropBounding = layers.dropBounding;
  plan.lastCapability = LastCapability();
  plan.addressSpace = launch.addressSpaceLimit;
  plan.openFiles = launch.openFileLimit;
  plan.ruleset = layers.ruleset.Valid() && confine ? &layers.ruleset : nullptr;
  plan.filter = layers.filter;
  plan.program = &program;
  plan.errorPipe = writeEnd.Get();
  plan.standardInput = nothing.Get();
  plan.path = launch.executable.c_str();
  plan.argv = argv.data();
  plan.envp = envp.data();

  const pid_t pid = SpawnChild(plan);
  if (pid < 0) {
    error = "cannot start the worker: " + Describe(errno);
    return false;
  }
  writeEnd.Reset();

  // The pipe ends at exec; what came before it is what the child could not do.
  bool fatal = false;
  std::string failure;
  ChildRecord record;
  for (;;) {
    const ssize_t n = ::read(readEnd.Get(), &record, sizeof record);
    if (n < 0 && errno == EINTR) continue;
    if (n != sizeof record) break;
    const char* layer = StepLayer(record.step);
    const std::string what = layer != nullptr ? std::string(layer) : std::string("the worker");
    if (record.fatal != 0) {
      fatal = true;
      failure = record.step == kStepExec
                    ? "cannot start the worker " + launch.executable + ": " + Describe(record.error)
                    : "cannot confine the worker: " + what + " failed: " + Describe(record.error);
    } else if (layer != nullptr) {
      SetLayer(layers.report, layer, false, "failed in the worker: " + Describe(record.error));
    }
  }
  if (fatal) {
    worker.confinementFailed = failure.rfind("cannot confine", 0) == 0;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    error = failure;
    return false;
  }
  worker.pid = pid;
  if (confine) {
    layers.report.mode = launch.mode;
    worker.report = std::move(layers.report);
  }
  return true;
}

}  // namespace tessel
