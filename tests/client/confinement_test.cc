// The worker's confinement seen from inside. A codec library that has been taken over
// (libTesselCompromised.so, installed as libTessel.so beside a copy of Tessel) tries every way
// out on a PNG load and reports in its pixels what worked. Unconfined, every way is open; under
// ConfinementMode::kRequire every one must be closed and the client must live on. The
// ConfinedWorker tests also feed memory bombs to the real codec under the default cap.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/image_client.h"
#include "platform/process.h"
#include "tests/codec/codec_support.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

using namespace std::chrono_literals;

// Every attempt of the codec: on files and folders, the test's and another session's; with
// sockets; on processes, the client's above all; on privileges and memory.
constexpr std::string_view kAttempts[] = {
    "read-secret",        "read-passwd",   "list-dir",     "write-dir",
    "write-tmp",          "other-shm",     "other-exfile", "other-folder-list",
    "other-folder-write", "tcp-connect",   "unix-connect", "abstract-connect",
    "spawn-sh",           "execve",        "fork",         "signal-probe",
    "signal-urg",         "ptrace",        "vm-read",      "proc-environ",
    "proc-mem",           "client-env",    "capset",       "alloc-2.5g",
    "mmap-exec",          "mprotect-exec", "memfd",        "shm-truncate"};
// Those that need root to work even unconfined: ptrace rights over a parent process, and a
// capability to raise.
constexpr std::string_view kRootOnly[] = {"ptrace", "vm-read", "proc-mem", "capset"};

// Bytes of the client that the codec reads across the process boundary.
const char kClientMemory[16] = "client's memory";

std::span<const std::byte> Bytes(const std::string& text) {
  return std::as_bytes(std::span(text));
}

std::string Folder(const CTempFolder& folder) {
  const std::string path = folder / "";
  return path.substr(0, path.size() - 1);
}

std::string RandomName() {
  std::random_device random;
  char name[32];
  std::snprintf(name, sizeof name, "tessel-probe-%08x%08x", random(), random());
  return name;
}

// A listening socket nobody accepts on: connecting to it succeeds all the same, on the backlog.
class CListener {
 public:
  // On 127.0.0.1, at a free port.
  CListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    listening_ = fd_ >= 0 && ::bind(fd_, any, length) == 0 && ::listen(fd_, 8) == 0 &&
                 ::getsockname(fd_, any, &length) == 0;
    port_ = ntohs(address.sin_port);
  }
  // At a path, or under an abstract name.
  CListener(const std::string& name, bool abstract)
      : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() + 1 >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path + (abstract ? 1 : 0), name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    listening_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                 ::listen(fd_, 8) == 0;
    if (listening_ && !abstract) path_ = name;
  }
  ~CListener() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  CListener(const CListener&) = delete;
  CListener& operator=(const CListener&) = delete;

  bool Listening() const { return listening_; }
  uint16_t Port() const { return port_; }

 private:
  int fd_;
  bool listening_ = false;
  uint16_t port_ = 0;
  std::string path_;
};

struct CRemoved {
  std::string path;
  ~CRemoved() {
    if (!path.empty()) ::unlink(path.c_str());
  }
};

struct Outcome {
  std::map<std::string, std::string, std::less<>> report;  // "escaped", "blocked:<errno>", ...
  std::string log;              // everything the client process said, for failure messages
  int status = -1;              // how the client process ended, as waitpid() tells it
  bool complete = false;        // the client's Session::Confinement().Complete()
  Status neighbour;             // Ping on the other session once the codec is done with it
  bool neighbourNamed = false;  // its main mapping still had its name: other-shm aimed true

  std::string Verdict(std::string_view name) const {
    const auto found = report.find(name);
    return found != report.end() ? found->second : "missing";
  }
};

// The client, in a process of its own: the truncated region kills whoever reads it. Tells the
// test what it saw through `fd` and ends with 0 once it has read every byte of the pixels, after
// the codec's thread had its go, and the worker still answers.
int PlayClient(SessionOptions options, const std::string& goMarker, int fd) {
  auto say = [fd](const char* key, std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    text = std::string(key) + " " + text + "\n";
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  };
  // Only the client has it: a worker that sees it was handed our environment.
  ::setenv("TESSEL_CLIENT_SECRET", "client-only", 1);
  // The codec sends it for real; ignored, it cannot interrupt or end us.
  ::signal(SIGURG, SIG_IGN);
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(kClientMemory));
  options.environment.emplace_back("TESSEL_PROBE_CLIENT_PID", std::to_string(::getpid()));
  options.environment.emplace_back("TESSEL_PROBE_CLIENT_ADDR", address);

  Session session;
  if (Status started = session.Start(options); !started) {
    say("error", "start: " + started.Message());
    return 10;
  }
  say("id", session.Id());
  say("worker", std::to_string(session.WorkerPid()));
  say("complete", session.Confinement().Complete() ? "1" : "0");
  say("layers", session.Confinement().Describe());
  say("private", session.PrivateFolder());
  ImageSession images(session);
  const std::string bytes = "the codec reads none of this";
  Result<LoadedImage> image = images.Load(1, Bytes(bytes), "probe.png");
  if (!image) {
    say("error", "load: " + image.Error().Message());
    return 11;
  }
  const std::span<const std::byte> pixels = image->Pixels();
  const auto* text = reinterpret_cast<const char*>(pixels.data());
  say("report", std::string(text, ::strnlen(text, std::min<size_t>(pixels.size(), 1 << 16))));
  const int marker = ::open(goMarker.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  if (marker < 0 || ::close(marker) != 0) say("error", "cannot make " + goMarker);
  std::this_thread::sleep_for(300ms);
  unsigned sum = 0;
  for (std::byte b : pixels) sum += std::to_integer<unsigned>(b);
  say("read", std::to_string(sum));
  if (Status ping = session.Ping(); !ping) {
    say("error", "ping: " + ping.Message());
    return 12;
  }
  return 0;
}

// Copies Tessel beside the compromised codec, starts another session of ours (nothing sent to
// it yet, so its main mapping still has its name), and runs the client in a child process.
void RunCompromisedCodec(ConfinementMode mode, Outcome& outcome) {
  // Apart from the worker's folder: a confinement that lets the worker read its own folder must
  // not hand it the secret as well.
  CTempFolder workerFolder, targets;
  namespace fs = std::filesystem;
  std::error_code error;
  fs::copy_file(ExecutableFolder() + "Tessel", workerFolder / "Tessel", error);
  ASSERT_FALSE(error) << error.message();
  fs::copy_file(ExecutableFolder() + "libTesselCompromised.so", workerFolder / "libTessel.so",
                error);
  ASSERT_FALSE(error) << error.message();
  const std::string secret = targets.Write("secret", "only the test may read this\n");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  const std::string abstractName = RandomName();
  CListener tcp, unixSocket(targets / "unix.sock", false), abstract(abstractName, true);
  ASSERT_TRUE(tcp.Listening() && unixSocket.Listening() && abstract.Listening());
  const std::string tmpFile = "/tmp/" + RandomName();
  CRemoved removeTmpFile{tmpFile};
  // Unconfined workers use the TMPDIR they are given; a worker left behind by a client that
  // died then leaves its working folder in ours.
  const std::string clientTmp = targets / "tmp", neighbourTmp = targets / "neighbour-tmp";
  ASSERT_EQ(::mkdir(clientTmp.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(neighbourTmp.c_str(), 0700), 0);

  SessionOptions neighbourOptions;
  neighbourOptions.confinement = mode;
  neighbourOptions.watchParent = false;
  if (mode == ConfinementMode::kOff) neighbourOptions.environment = {{"TMPDIR", neighbourTmp}};
  Session neighbour;
  ASSERT_TRUE(neighbour.Start(neighbourOptions).Ok()) << neighbour.EndReason().Message();
  // An unconfined worker has no private folder; the TMPDIR it was given stands in. Something
  // in it to list, in case the worker has not put anything there yet.
  const std::string neighbourFolder =
      mode == ConfinementMode::kOff && neighbour.PrivateFolder().empty()
          ? neighbourTmp
          : neighbour.PrivateFolder();
  CRemoved neighbourFile{neighbourFolder.empty() ? "" : neighbourFolder + "/the-neighbour's"};
  if (!neighbourFile.path.empty()) {
    const int fd = ::open(neighbourFile.path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_EQ(::close(fd), 0) << neighbourFile.path;
  }

  SessionOptions options;
  options.workerPath = workerFolder / "Tessel";
  options.confinement = mode;
  options.environment = {
      {"TESSEL_PROBE_DIR", Folder(targets)},
      {"TESSEL_PROBE_TMP_FILE", tmpFile},
      {"TESSEL_PROBE_PORT", std::to_string(tcp.Port())},
      {"TESSEL_PROBE_ABSTRACT", abstractName},
      {"TESSEL_PROBE_OTHER_ID", neighbour.Id()},
      {"TESSEL_PROBE_OTHER_FOLDER", neighbourFolder},
  };
  if (mode == ConfinementMode::kOff) options.environment.emplace_back("TMPDIR", clientTmp);

  int channel[2];
  ASSERT_EQ(::pipe2(channel, O_CLOEXEC), 0);
  // Room for all the client says, so that it never waits for us to read it.
  ::fcntl(channel[1], F_SETPIPE_SZ, 1 << 20);
  // The worker of a client that dies comes to us, to be ended and reaped here.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  {
    test::CForkedChild client([&] {
      ::close(channel[0]);
      // A sanitizer would turn the fault into an exit of its own; the test wants the fault.
      ::signal(SIGBUS, SIG_DFL);
      ::_exit(PlayClient(options, targets / "go", channel[1]));
    });
    ::close(channel[1]);
    outcome.status = client.Wait(120s);
  }
  char buffer[4096];
  for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;)
    outcome.log.append(buffer, static_cast<size_t>(got));
  ::close(channel[0]);

  std::istringstream lines(outcome.log);
  std::string key, id, report, privateFolder;
  pid_t worker = 0;
  while (lines >> key) {
    std::string value;
    std::getline(lines, value);
    value.erase(0, 1);
    if (key == "id") id = value;
    if (key == "worker") worker = std::atoi(value.c_str());
    if (key == "complete") outcome.complete = value == "1";
    if (key == "report") report = value;
    if (key == "private") privateFolder = value;
  }
  if (worker > 0 && ::waitpid(worker, nullptr, WNOHANG) == 0) {
    ::kill(worker, SIGKILL);
    ::waitpid(worker, nullptr, 0);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  // A client that died could not remove its session's folders: the worker's working folder,
  // under the TMPDIR it inherited or in its private folder, and that folder if it is empty then.
  if (WIFSIGNALED(outcome.status) && !id.empty()) {
    fs::remove_all(TempFolder() + "TESSEL/" + id, error);
    if (!privateFolder.empty()) {
      fs::remove_all(privateFolder + "/TESSEL/" + id, error);
      ::rmdir((privateFolder + "/TESSEL").c_str());
      ::rmdir(privateFolder.c_str());
    }
  }
  for (const char* suffix :
       {kServerEventSuffix, kClientEventSuffix, kMainMappingSuffix, kExtendedRegionSuffix}) {
    if (!id.empty()) CSharedMemoryRegion::Unlink(std::string(kServiceName) + suffix + id);
  }
  std::istringstream entries(report);
  std::string entry;
  while (std::getline(entries, entry, ';')) {
    const size_t equals = entry.find('=');
    if (equals != std::string::npos)
      outcome.report[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  outcome.neighbourNamed =
      CSharedMemoryRegion::ExistsReadOnly(neighbour.ObjectName(kMainMappingSuffix));
  outcome.neighbour = neighbour.Ping();
}

TEST(UnconfinedWorker, ACompromisedCodecGetsOutEveryWayAndItsTruncationKillsTheClient) {
  Outcome outcome;
  ASSERT_NO_FATAL_FAILURE(RunCompromisedCodec(ConfinementMode::kOff, outcome));
  ASSERT_EQ(outcome.report.size(), std::size(kAttempts)) << outcome.log;
  const bool root = ::geteuid() == 0;
  if (!root) {
    std::printf(
        "[   NOTE   ] not root: ptrace, vm-read, proc-mem and capset are not expected to "
        "get through unconfined, and are not looked at\n");
  }
  for (std::string_view attempt : kAttempts) {
    const bool rootOnly = std::ranges::find(kRootOnly, attempt) != std::end(kRootOnly);
    if (root || !rootOnly) {
      EXPECT_EQ(outcome.Verdict(attempt), "escaped") << attempt;
    }
  }
  EXPECT_TRUE(WIFSIGNALED(outcome.status) && WTERMSIG(outcome.status) == SIGBUS) << outcome.log;
  EXPECT_TRUE(outcome.neighbourNamed);
  EXPECT_TRUE(outcome.neighbour.Ok()) << outcome.neighbour.Message();
}

TEST(ConfinedWorker, EveryWayOutOfACompromisedCodecIsClosedAndTheClientLivesOn) {
  Outcome outcome;
  ASSERT_NO_FATAL_FAILURE(RunCompromisedCodec(ConfinementMode::kRequire, outcome));
  ASSERT_EQ(outcome.report.size(), std::size(kAttempts)) << outcome.log;
  EXPECT_TRUE(outcome.complete) << outcome.log;
  for (std::string_view attempt : kAttempts) {
#if defined(__SANITIZE_ADDRESS__)
    if (attempt == "alloc-2.5g") continue;  // no address-space cap under the sanitizer
#endif
    const std::string verdict = outcome.Verdict(attempt);
    EXPECT_EQ(verdict.rfind("blocked:", 0), 0u) << attempt << "=" << verdict;
  }
  // Exit code 0: it read every byte after the truncation was tried, and the worker answered.
  // (Whether the neighbour's main mapping still had its name is not asked here: a start that
  // exchanges a command with the worker unlinks it. Its extended region is named throughout.)
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.log;
  EXPECT_TRUE(outcome.neighbour.Ok()) << outcome.neighbour.Message();
}

// A gray PNG of zeros written row by row: about 1 MB for 32767 x 32767 pixels, 4 GiB decoded.
std::string ZeroPng(uint32_t side) {
  std::string out;
  std::vector<png_byte> row(side, 0);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return "";
  }
  png_set_write_fn(
      png, &out,
      [](png_structp writer, png_bytep data, size_t length) {
        static_cast<std::string*>(png_get_io_ptr(writer))
            ->append(reinterpret_cast<const char*>(data), length);
      },
      nullptr);
  png_set_IHDR(png, info, side, side, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // Runs of zeros: run-length matching packs them as tightly as the best level, and faster.
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_compression_level(png, 1);
  png_set_compression_strategy(png, Z_RLE);
  png_write_info(png, info);
  for (uint32_t y = 0; y < side; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

// Entities ten times the one before, five deep over 160 KB of text: 16 GB once expanded.
std::string EntityBomb() {
  std::string svg =
      "<?xml version='1.0'?>\n<!DOCTYPE svg [\n<!ENTITY e0 '" + std::string(160000, 'x') + "'>\n";
  for (int level = 1; level <= 5; ++level) {
    svg += "<!ENTITY e" + std::to_string(level) + " '";
    for (int copy = 0; copy < 10; ++copy) svg += "&e" + std::to_string(level - 1) + ";";
    svg += "'>\n";
  }
  return svg +
         "]>\n<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'>"
         "<text>&e5;</text></svg>";
}

// The soft address-space limit of a process; none when it is unlimited or cannot be read.
std::optional<uint64_t> AddressSpaceLimit(pid_t pid) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  const std::string label = "Max address space";
  for (std::string line; std::getline(limits, line);) {
    if (line.rfind(label, 0) != 0) continue;
    std::istringstream fields(line.substr(label.size()));
    std::string soft;
    fields >> soft;
    if (soft.empty() || soft == "unlimited") return std::nullopt;
    return std::stoull(soft);
  }
  return std::nullopt;
}

// A session on the real worker, and only with its cap in force: a worker without one would take
// gigabytes of the machine for the bombs.
void StartCappedSession(std::unique_ptr<Session>& session) {
  session = std::make_unique<Session>();
  ASSERT_TRUE(session->Start().Ok()) << session->EndReason().Message();
  const std::optional<uint64_t> cap = AddressSpaceLimit(session->WorkerPid());
  ASSERT_TRUE(cap.has_value() && *cap <= kDefaultWorkerAddressSpace)
      << "the worker runs without its address-space cap; its layers:\n"
      << session->Confinement().Describe();
}

TEST(ConfinedWorker, MemoryBombsRunIntoTheAddressSpaceCapAndTheNextImageLoads) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves terabytes for its shadow memory: no "
                  "address-space cap can apply to the worker";
#endif
  // First, so that no time goes into building bombs for a worker without its cap.
  std::unique_ptr<Session> session;
  ASSERT_NO_FATAL_FAILURE(StartCappedSession(session));
  struct Bomb {
    const char* name;
    std::string bytes;
    bool reachesTheCap;
  };
  const Bomb bombs[] = {
      {"zeros.png", ZeroPng(32767), true},
      {"canvas.svg",
       "<svg xmlns='http://www.w3.org/2000/svg' width='32767' height='32767'>"
       "<rect width='100%' height='100%' fill='#08f'/></svg>",
       true},
      // libxml2 stops the expansion as an entity loop before memory is at stake; with the
      // parser's guard or the cap, it must fail all the same.
      {"entities.svg", EntityBomb(), false},
  };
  const std::vector<uint8_t> valid = codec_test::EncodePng(
      codec_test::MakeSampleImage(PNG_COLOR_TYPE_RGB, 8, false, false, 24, 16, 7));
  const std::string validBytes(valid.begin(), valid.end());
  for (const Bomb& bomb : bombs) {
    ASSERT_FALSE(bomb.bytes.empty()) << bomb.name;
    if (!session->Running()) {
      ASSERT_NO_FATAL_FAILURE(StartCappedSession(session));
    }
    Result<LoadedImage> exploded = ImageSession(*session).Load(1, Bytes(bomb.bytes), bomb.name);
    ASSERT_FALSE(exploded.Ok()) << bomb.name;
    if (bomb.reachesTheCap) {
      EXPECT_NE(exploded.Error().Message().find("out of memory while decoding: the limit is"),
                std::string::npos)
          << bomb.name << ": " << exploded.Error().Message();
    }
    // The next image loads: through the same session when it lives on, else through a new one.
    if (!session->Running()) {
      ASSERT_NO_FATAL_FAILURE(StartCappedSession(session));
    }
    ImageSession images(*session);
    Result<LoadedImage> next = images.Load(2, Bytes(validBytes), "next.png");
    ASSERT_TRUE(next.Ok()) << "after " << bomb.name << ": " << next.Error().Message();
    EXPECT_EQ(next->PixelWidth() * 100 + next->PixelHeight(), 24u * 100 + 16) << bomb.name;
    ASSERT_TRUE(images.Free(2).Ok());
  }
}

}  // namespace
}  // namespace tessel
