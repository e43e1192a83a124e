#ifndef VEXA_CONTROL_MESSAGE_QUEUE_H_
#define VEXA_CONTROL_MESSAGE_QUEUE_H_

// Carries reports from engine, login and selection threads to the thread that
// fires the control's events (the host's UI thread), in posting order. Each
// message owns its text; whoever takes a message frees it.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vexa {

// The four messages; the values are the platform's WM_USER + 1 to + 4.
enum : uint32_t {
  kProgressMessage = 1025,      // a progress payload, already escaped
  kLoginMessage = 1026,         // the login result, UTF-8
  kSelectFileMessage = 1027,    // one chosen file path, UTF-8
  kSelectFolderMessage = 1028,  // the chosen folder path, UTF-8
};

struct QueuedMessage {
  uint32_t id = 0;
  std::unique_ptr<std::string> text;  // null: the message does nothing
};

class MessageQueue {
 public:
  MessageQueue() = default;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Appends a message; never blocks. Once the queue is closed the message is
  // dropped (its text freed) and false returned.
  bool Post(uint32_t id, std::unique_ptr<std::string> text);
  // Takes every message queued so far, oldest first.
  std::deque<QueuedMessage> TakeAll();
  // Waits until a message is queued or the queue is closed, at most
  // `timeout_ms`. True when messages are waiting.
  bool Wait(uint32_t timeout_ms);
  // For hosts that sleep on something else (a socket poll): `wakeup` runs on
  // the posting thread after each post, with the queue's lock held, so it
  // must only signal (write a byte, set an event), never block or post. Close
  // waits for a running wakeup and removes it.
  void SetWakeup(std::function<void()> wakeup);
  // For hosts with a message loop of their own (the COM control's window):
  // while set, each post is handed to `forward` instead of being queued. It
  // runs with the queue's lock held, so posts keep their order; it owns the
  // text from then on and must only hand it over, never block or post. What
  // was queued before is handed to `forward` first, in order. Close waits
  // for a running forward and removes it.
  using Forward = std::function<void(uint32_t id, std::unique_ptr<std::string> text)>;
  void SetForward(Forward forward);
  // Drops what is queued; every later post is dropped.
  void Close();

  size_t size() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<QueuedMessage> messages_;
  std::function<void()> wakeup_;
  Forward forward_;
  bool closed_ = false;
};

}  // namespace vexa

#endif  // VEXA_CONTROL_MESSAGE_QUEUE_H_
