#include "meeting_activity_event.h"

#include <unistd.h>

#include <new>
#include <string_view>

#include "standard_streams.h"

namespace {

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

}  // namespace

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

void emit(const MeetingActivityEvent& event) {
  std::string text;
  try {
    text = event.line();
  } catch (const std::bad_alloc&) {
    _exit(1);
  }
  if (!writeAll(STDOUT_FILENO, text)) _exit(1);
}
