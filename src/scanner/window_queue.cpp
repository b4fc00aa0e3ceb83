// WindowQueue: the windows of one windowed scan, shared by two threads.
#include "window_queue.hpp"

namespace {

// Length of the longest prefix of [data, data + size) that ends with a newline; 0 when there
// is none.
std::size_t through_last_newline(const std::uint8_t* data, std::size_t size) noexcept {
  for (std::size_t end = size; end > 0; --end) {
    if (data[end - 1] == '\n') return end;
  }
  return 0;
}

}  // namespace

std::size_t window_length(const std::uint8_t* body, std::size_t length, std::size_t window,
                          std::size_t start) noexcept {
  const std::size_t rest = length - start;
  if (rest > window) return through_last_newline(body + start, window);
  const std::size_t in_place =
      rest > IN_PLACE_MARGIN ? through_last_newline(body + start, rest - IN_PLACE_MARGIN) : 0;
  return in_place > 0 ? in_place : rest;
}

WindowQueue::WindowQueue(const std::uint8_t* body, std::size_t length, std::size_t window) noexcept
    : body_(body), length_(length), window_(window) {}

std::optional<WindowQueue::Claim> WindowQueue::claim() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopped_ || cut_through_) return std::nullopt;
    if (const std::optional<Claim> claimed = claim_locked()) return claimed;
    changed_.wait(lock);
  }
}

void WindowQueue::publish(std::size_t index, std::optional<WindowOutcome> outcome) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[index % AHEAD];
  slot.outcome = outcome;
  slot.published = true;
  changed_.notify_all();
}

WindowQueue::Work WindowQueue::next_work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Slot& slot = slots_[taken_ % AHEAD];
    if (taken_ < claimed_ && slot.published) {
      Work work{true, {taken_, slot.start}, slot.outcome};
      ++taken_;
      changed_.notify_all();
      return work;
    }
    if (const std::optional<Claim> claimed = claim_locked()) return {false, *claimed, std::nullopt};
    if (taken_ == claimed_) return {true, {taken_, next_start_}, std::nullopt};
    changed_.wait(lock);
  }
}

void WindowQueue::stop() {
  const std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

std::optional<WindowQueue::Claim> WindowQueue::claim_locked() noexcept {
  if (stopped_ || cut_through_ || claimed_ - taken_ >= AHEAD) return std::nullopt;
  const std::size_t start = next_start_;
  const std::size_t size = window_length(body_, length_, window_, start);
  slots_[claimed_ % AHEAD] = Slot{start, false, std::nullopt};
  next_start_ = start + size;
  cut_through_ = size == 0 || next_start_ == length_;  // no window can follow one without a newline
  return Claim{claimed_++, start};
}
