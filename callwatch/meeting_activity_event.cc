#include "meeting_activity_event.h"

#include <errno.h>
#include <unistd.h>

#include <array>
#include <new>

namespace {

constexpr std::array<MeetingActivityEvent::Kind, 3> allKinds = {
    MeetingActivityEvent::Kind::ready, MeetingActivityEvent::Kind::candidateStarted,
    MeetingActivityEvent::Kind::candidateEnded};

}  // namespace

std::string_view rawValue(MeetingActivityEvent::Kind kind) {
  switch (kind) {
    case MeetingActivityEvent::Kind::ready:
      return "ready";
    case MeetingActivityEvent::Kind::candidateStarted:
      return "candidate-started";
    case MeetingActivityEvent::Kind::candidateEnded:
      return "candidate-ended";
  }
  return {};
}

std::optional<MeetingActivityEvent::Kind> kindFromRawValue(std::string_view text) {
  for (MeetingActivityEvent::Kind kind : allKinds) {
    if (rawValue(kind) == text) return kind;
  }
  return std::nullopt;
}

// Every value is a fixed ASCII word, so no JSON escaping is ever needed.
std::string MeetingActivityEvent::line() const {
  std::string text = R"({"version":1,"type":")";
  text += rawValue(type_);
  text += '"';
  if (provider_) {
    text += R"(,"provider":")";
    text += rawValue(*provider_);
    text += '"';
  }
  text += "}\n";
  return text;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void emit(const MeetingActivityEvent& event) {
  std::string text;
  try {
    text = event.line();
  } catch (const std::bad_alloc&) {
    _exit(1);
  }
  if (!writeAll(STDOUT_FILENO, text)) _exit(1);
}
