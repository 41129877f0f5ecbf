#include "sandbox/seccomp_filter.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>

#include "platform/unique_fd.h"

namespace tessel {
namespace {

// Stands for the worker's own process id in the compiled program until a child writes its id
// there. Above the kernel's largest pid (2^22), so no real id is mistaken for it.
constexpr uint32_t kSelfPlaceholder = 0x7eadbeef;

// clang-format off
// What the worker, libpng, librsvg, cairo, pango, fontconfig and glib need, threads included.
// Calls with conditions are added below; anything not allowed fails with EPERM.
constexpr const char* kAllowed[] = {
    // files
    "read", "write", "readv", "writev", "pread64", "pwrite64", "preadv", "preadv2", "pwritev",
    "pwritev2", "lseek", "close", "close_range", "dup", "dup2", "dup3", "fcntl", "fstat", "stat",
    "lstat", "newfstatat", "statx", "fstatfs", "statfs", "access", "faccessat", "faccessat2",
    "readlink", "readlinkat", "getdents", "getdents64", "getcwd", "mkdir", "mkdirat", "rmdir",
    "unlink", "unlinkat", "rename", "renameat", "renameat2", "link", "linkat", "fchmod", "umask",
    "fsync", "fdatasync", "fadvise64", "flock",
    // memory
    "brk", "munmap", "mremap", "madvise", "msync", "mincore",
    // time
    "clock_gettime", "clock_getres", "clock_nanosleep", "nanosleep", "gettimeofday", "time",
    // threads and synchronisation
    "futex", "set_robust_list", "get_robust_list", "rseq", "set_tid_address", "exit",
    "exit_group", "sched_yield", "sched_getaffinity", "sched_getparam", "sched_getscheduler",
    "sched_get_priority_max", "sched_get_priority_min", "gettid", "getpid", "getppid",
    "membarrier", "arch_prctl",
    // signals handled inside the worker
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "rt_sigsuspend",
    "rt_sigpending", "rt_sigtimedwait", "restart_syscall", "pause",
    // identity and facts, read only
    "getuid", "geteuid", "getgid", "getegid", "getgroups", "getresuid", "getresgid", "getsid",
    "getpgrp", "uname", "sysinfo", "getrusage", "getrandom", "capget", "times", "getpriority",
    "getrlimit",
    // waiting
    "poll", "ppoll", "select", "pselect6", "epoll_create", "epoll_create1", "epoll_ctl",
    "epoll_wait", "epoll_pwait", "epoll_pwait2", "eventfd", "eventfd2", "pipe", "pipe2",
    "pidfd_open",
    // The worker is exec'd after the filter is in place; Landlock decides what may be executed.
    "execve", "execveat",
};

// Refused with ENOSYS rather than EPERM, so that the C library falls back to a call the filter
// can inspect: clone3 passes its flags in memory, openat2 its open flags.
constexpr const char* kFallback[] = {"clone3", "openat2"};
// clang-format on

constexpr unsigned long kIoctls[] = {TCGETS, TIOCGWINSZ, FIONREAD, FIONBIO, FIOCLEX, FIONCLEX};
constexpr int kPrctls[] = {PR_SET_NAME,       PR_GET_NAME,       PR_GET_NO_NEW_PRIVS,
                           PR_GET_SECCOMP,    PR_CAPBSET_READ,   PR_GET_DUMPABLE,
                           PR_GET_SECUREBITS, PR_GET_TIMERSLACK, 0x53564d41 /* PR_SET_VMA */};

struct SeccompContext {
  void operator()(scmp_filter_ctx context) const { seccomp_release(context); }
};

int Resolve(const char* name) {
  return seccomp_syscall_resolve_name(name);
}

// libseccomp answers with a negative errno.
bool Check(int rc, const char* what, std::string& error) {
  if (rc == 0) return true;
  error = std::string("cannot build the system-call filter (") + what + "): " + ::strerror(-rc);
  return false;
}

bool Compile(std::vector<sock_filter>& program, size_t& allowedCalls, std::string& error) {
  std::set<int> allowedSet;
  std::unique_ptr<void, SeccompContext> context(seccomp_init(SCMP_ACT_ERRNO(EPERM)));
  if (!context) return Check(-ENOMEM, "init", error);
  scmp_filter_ctx ctx = context.get();
  // Calls of another architecture (32-bit entry on a 64-bit kernel) fail rather than kill.
  if (!Check(seccomp_attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(ENOSYS)), "arch",
             error) ||
      !Check(seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 0), "nnp", error) ||
      !Check(seccomp_attr_set(ctx, SCMP_FLTATR_CTL_OPTIMIZE, 2), "optimize", error)) {
    return false;
  }
  const auto allow = [&](const char* name, std::initializer_list<scmp_arg_cmp> conditions) {
    const int call = Resolve(name);
    if (call == __NR_SCMP_ERROR) return true;  // not a call of this architecture
    allowedSet.insert(call);
    allowedCalls = allowedSet.size();
    return Check(
        seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, call, static_cast<unsigned>(conditions.size()),
                               conditions.size() == 0 ? nullptr : conditions.begin()),
        name, error);
  };
  for (const char* name : kAllowed) {
    if (!allow(name, {})) return false;
  }
  for (const char* name : kFallback) {
    const int call = Resolve(name);
    if (call != __NR_SCMP_ERROR &&
        !Check(seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), call, 0), name, error)) {
      return false;
    }
  }
  // Threads only: a new process would escape the worker's accounting and outlive it.
  bool ok = allow("clone", {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
  // Executable memory only from mapped files: anonymous executable memory is what injected code
  // needs. mprotect cannot tell the two apart, so it never adds execute.
  ok = ok && allow("mmap", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)}) &&
       allow("mmap", {SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, 0)}) &&
       allow("mprotect", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)}) &&
       allow("pkey_mprotect", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)});
  // Shared objects must never shrink under the client: no truncating open.
  ok = ok && allow("open", {SCMP_A1(SCMP_CMP_MASKED_EQ, O_TRUNC, 0)}) &&
       allow("openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, O_TRUNC, 0)});
  // Signals to the worker itself only (abort, thread cancellation).
  const scmp_datum_t self = kSelfPlaceholder;
  ok = ok && allow("kill", {SCMP_A0(SCMP_CMP_EQ, self, 0)}) &&
       allow("tgkill", {SCMP_A0(SCMP_CMP_EQ, self, 0)}) &&
       allow("rt_sigqueueinfo", {SCMP_A0(SCMP_CMP_EQ, self, 0)}) &&
       allow("rt_tgsigqueueinfo", {SCMP_A0(SCMP_CMP_EQ, self, 0)});
  // Its own limits only.
  ok = ok && allow("prlimit64", {SCMP_A0(SCMP_CMP_EQ, 0, 0)});
  for (unsigned long request : kIoctls) {
    ok = ok && allow("ioctl", {SCMP_A1(SCMP_CMP_EQ, request, 0)});
  }
  for (int option : kPrctls) {
    ok = ok && allow("prctl", {SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(option), 0)});
  }
  if (!ok) return false;

  // libseccomp exports to a descriptor only.
  CUniqueFd memory(::memfd_create("tessel-seccomp", MFD_CLOEXEC));
  if (!memory) return Check(-errno, "memfd", error);
  if (!Check(seccomp_export_bpf(ctx, memory.Get()), "export", error)) return false;
  struct stat info;
  if (::fstat(memory.Get(), &info) != 0) return Check(-errno, "fstat", error);
  if (info.st_size <= 0 || info.st_size % sizeof(sock_filter) != 0 ||
      info.st_size / sizeof(sock_filter) > BPF_MAXINSNS) {
    return Check(-EINVAL, "export size", error);
  }
  program.resize(info.st_size / sizeof(sock_filter));
  const ssize_t read = ::pread(memory.Get(), program.data(), info.st_size, 0);
  if (read != info.st_size) return Check(read < 0 ? -errno : -EIO, "read back", error);
  return true;
}

}  // namespace

const CSeccompFilter* CSeccompFilter::Worker(std::string& error) {
  static std::once_flag once;
  static CSeccompFilter filter;
  static std::string failure;
  static bool built = false;
  std::call_once(once, [] {
    std::vector<sock_filter> program;
    size_t allowed = 0;
    if (!Compile(program, allowed, failure)) return;
    std::vector<size_t> slots;
    for (size_t i = 0; i < program.size(); ++i) {
      if (program[i].code == (BPF_JMP | BPF_JEQ | BPF_K) && program[i].k == kSelfPlaceholder)
        slots.push_back(i);
    }
    if (slots.empty()) {
      failure = "cannot build the system-call filter: the worker's own id has no place in it";
      return;
    }
    filter.program_ = std::move(program);
    filter.selfSlots_ = std::move(slots);
    filter.allowedCalls_ = allowed;
    built = true;
  });
  if (!built) {
    error = failure;
    return nullptr;
  }
  return &filter;
}

bool CSeccompFilter::KernelSupports(std::string& error) {
  // Answers EINVAL on a kernel built without seccomp.
  if (::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0) {
    error = std::string("this kernel has no seccomp: ") + ::strerror(errno);
    return false;
  }
  return true;
}

bool CSeccompFilter::Install(std::vector<sock_filter>& program, pid_t pid) const {
  if (program.size() != program_.size()) {
    errno = EINVAL;
    return false;
  }
  for (size_t slot : selfSlots_) program[slot].k = static_cast<uint32_t>(pid);
  sock_fprog prog{};
  prog.len = static_cast<unsigned short>(program.size());
  prog.filter = program.data();
  return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0;
}

std::vector<std::string> CSeccompFilter::RefusedFamilies() {
  return {
      "sockets of every family (socket, socketpair, connect, bind, listen, accept, send, receive)",
      "debugging and reading other processes (ptrace, process_vm_readv/writev, kcmp, pidfd_getfd)",
      "new processes (fork, vfork, clone without CLONE_THREAD, clone3)",
      "signals to any process but the worker (kill, tgkill, tkill, rt_sigqueueinfo, "
      "pidfd_send_signal)",
      "truncating or preallocating files (truncate, ftruncate, fallocate, open with O_TRUNC, "
      "creat)",
      "executable anonymous memory (mmap of anonymous memory and any mprotect with PROT_EXEC)",
      "anonymous and fault-handling files (memfd_create, userfaultfd)",
      "kernel programs, profiling and keys (bpf, perf_event_open, keyctl, add_key, request_key)",
      "mounts, namespaces and modules (mount, umount2, pivot_root, chroot, unshare, setns, "
      "init_module, finit_module, delete_module, kexec)",
      "identity and privileges (capset, setuid, setgid and their families, setgroups, "
      "personality, prctl other than thread names and queries)",
      "asynchronous kernel queues (io_uring_setup, io_uring_enter, io_uring_register)",
      "everything else not needed for decoding (device ioctls, ioprio, swap, reboot, clock "
      "setting, quotas, file handles, special files)",
  };
}

}  // namespace tessel
