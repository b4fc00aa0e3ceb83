// WindowQueue: the windows of one windowed scan, cut before they are scanned so that two threads
// can scan them at once: each claims the next window in order and publishes what it found, and
// the thread that adds them up takes the outcomes back in order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

// How a windowed scan, or one window of it, ended. EXACT: as the single stream over the whole
// body would have it. INVALID_UTF8: the bytes are not valid UTF-8. UNSURE: only the single stream
// knows.
enum class Verdict { EXACT, INVALID_UTF8, UNSURE };

// What the scan of one window found; documents, next and last only when EXACT.
struct WindowOutcome {
  Verdict verdict = Verdict::UNSURE;
  std::uint64_t documents = 0;
  std::size_t next = 0;  // where its complete documents end: the next window's start
  bool last = false;     // it reaches the body's end
};

// Bytes of the body that must follow a window for it to be read where it lies: simdjson's padding
// (memory_scanner.cpp checks that they agree).
inline constexpr std::size_t IN_PLACE_MARGIN = 64;

// Length of the window that starts at `start` in [body, body + length): when more than `window`
// bytes remain, the longest prefix of the next `window` bytes that ends with a newline (0 when there
// is none); else the rest of the body, but cut after its last newline that at least IN_PLACE_MARGIN
// bytes follow, where there is one, so that the last window, which is copied, holds only the lines
// after it.
std::size_t window_length(const std::uint8_t* body, std::size_t length, std::size_t window,
                          std::size_t start) noexcept;

class WindowQueue {
 public:
  // A window handed to a thread: its place in the order and its start.
  struct Claim {
    std::size_t index;
    std::size_t start;
  };

  // For the adding thread: the next outcome in order (`take`; `outcome` is empty when its scan
  // failed), or else a window for it to scan.
  struct Work {
    bool take;
    Claim claim;
    std::optional<WindowOutcome> outcome;
  };

  // The windows of [body, body + length), `window` bytes at most, the first at 0. Each is
  // expected to start where the one before is cut, as it does unless the one before ends inside
  // a document: the adding thread checks every start against the documents before it.
  WindowQueue(const std::uint8_t* body, std::size_t length, std::size_t window) noexcept;

  // For the helping thread: the next window to scan, waiting while AHEAD windows are claimed and
  // not yet taken. Nothing once the last window is claimed or the queue is stopped.
  std::optional<Claim> claim();

  // What the scan of a claimed window found; nothing when the scan failed.
  void publish(std::size_t index, std::optional<WindowOutcome> outcome);

  // For the adding thread: the outcome of the next window in order once it is published, else a
  // window to scan while one can be claimed, else waits for the next outcome. An outcome that can
  // never come (every window taken or the queue stopped) is returned as a failed scan.
  Work next_work();

  // No window is handed out any more; the helping thread's claim returns nothing.
  void stop();

 private:
  static constexpr std::size_t AHEAD = 8;

  struct Slot {
    std::size_t start = 0;
    bool published = false;
    std::optional<WindowOutcome> outcome;
  };

  // A claim, with the mutex held; nothing when none can be made now.
  std::optional<Claim> claim_locked() noexcept;

  const std::uint8_t* const body_;
  const std::size_t length_;
  const std::size_t window_;
  std::mutex mutex_;
  std::condition_variable changed_;  // a claim, publication or take, or the stop
  Slot slots_[AHEAD];                // window i in slots_[i % AHEAD], from its claim until taken
  std::size_t next_start_ = 0;       // where the next window to claim starts
  std::size_t claimed_ = 0;          // windows claimed so far
  std::size_t taken_ = 0;            // outcomes taken so far
  bool cut_through_ = false;         // the last window is claimed
  bool stopped_ = false;
};
