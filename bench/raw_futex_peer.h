#pragma once

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <new>

// The bare minimum of a two-process exchange, the yardstick for the worker's round trips: a
// forked peer and two words in shared memory; each side sets the other's word and wakes it with
// a shared futex, then sleeps on its own word.
class CRawFutexPeer {
 public:
  CRawFutexPeer() {
    void* shared =
        ::mmap(nullptr, sizeof(CWords), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return;
    words_ = new (shared) CWords{};
    peer_ = ::fork();
    if (peer_ == 0) {
      for (;;) {
        AwaitAndReset(words_->server);
        if (std::atomic_ref<uint32_t>(words_->stop).load()) ::_exit(0);
        Signal(words_->client);
      }
    }
  }
  CRawFutexPeer(const CRawFutexPeer&) = delete;
  CRawFutexPeer& operator=(const CRawFutexPeer&) = delete;
  ~CRawFutexPeer() {
    if (words_ == nullptr) return;
    if (peer_ > 0) {
      std::atomic_ref<uint32_t>(words_->stop).store(1);
      Signal(words_->server);
      ::waitpid(peer_, nullptr, 0);
    }
    ::munmap(words_, sizeof(CWords));
  }

  bool Valid() const { return words_ != nullptr && peer_ > 0; }
  pid_t Pid() const { return peer_; }

  void RoundTrip() {
    Signal(words_->server);
    AwaitAndReset(words_->client);
  }

 private:
  struct CWords {
    uint32_t server;
    uint32_t client;
    uint32_t stop;
  };

  static void Signal(uint32_t& word) {
    std::atomic_ref<uint32_t>(word).store(1, std::memory_order_release);
    ::syscall(SYS_futex, &word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  }

  static void AwaitAndReset(uint32_t& word) {
    std::atomic_ref<uint32_t> ref(word);
    while (ref.load(std::memory_order_acquire) != 1)
      ::syscall(SYS_futex, &word, FUTEX_WAIT, 0, nullptr, nullptr, 0);
    ref.store(0, std::memory_order_relaxed);
  }

  CWords* words_ = nullptr;
  pid_t peer_ = -1;
};
