#include "meeting_activity_event.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Kind = MeetingActivityEvent::Kind;

struct LineCase {
  MeetingActivityEvent event;
  std::string bytes;
};

TEST(MeetingActivityEvent, LinesAreExactBytes) {
  const LineCase cases[] = {
      {MeetingActivityEvent(Kind::ready), "{\"version\":1,\"type\":\"ready\"}\n"},
      {MeetingActivityEvent(Kind::candidateStarted, MeetingProvider::zoom),
       "{\"version\":1,\"type\":\"candidate-started\",\"provider\":\"zoom\"}\n"},
      {MeetingActivityEvent(Kind::candidateEnded, MeetingProvider::zoom),
       "{\"version\":1,\"type\":\"candidate-ended\",\"provider\":\"zoom\"}\n"},
      {MeetingActivityEvent(Kind::candidateStarted, MeetingProvider::teams),
       "{\"version\":1,\"type\":\"candidate-started\",\"provider\":\"teams\"}\n"},
      {MeetingActivityEvent(Kind::candidateEnded, MeetingProvider::teams),
       "{\"version\":1,\"type\":\"candidate-ended\",\"provider\":\"teams\"}\n"},
      // Without a provider there is no member at all, whatever the type.
      {MeetingActivityEvent(Kind::candidateEnded),
       "{\"version\":1,\"type\":\"candidate-ended\"}\n"},
      {MeetingActivityEvent(Kind::ready, MeetingProvider::teams),
       "{\"version\":1,\"type\":\"ready\",\"provider\":\"teams\"}\n"},
  };
  for (const LineCase& c : cases) {
    EXPECT_EQ(c.event.line(), c.bytes);
    EXPECT_EQ(c.event.version(), 1);
  }
}

TEST(MeetingActivityEvent, KindRawValuesAreExact) {
  for (Kind kind : {Kind::ready, Kind::candidateStarted, Kind::candidateEnded}) {
    EXPECT_EQ(kindFromRawValue(rawValue(kind)), kind);
  }
  for (const char* text : {"Ready", "candidate_started", "candidateStarted", "", "zoom"}) {
    EXPECT_EQ(kindFromRawValue(text), std::nullopt) << text;
  }
}

TEST(MeetingActivityEvent, EqualityComparesTypeAndProvider) {
  MeetingActivityEvent zoomStart(Kind::candidateStarted, MeetingProvider::zoom);
  EXPECT_EQ(zoomStart, MeetingActivityEvent(Kind::candidateStarted, MeetingProvider::zoom));
  EXPECT_NE(zoomStart, MeetingActivityEvent(Kind::candidateStarted, MeetingProvider::teams));
  EXPECT_NE(zoomStart, MeetingActivityEvent(Kind::candidateEnded, MeetingProvider::zoom));
  EXPECT_NE(zoomStart, MeetingActivityEvent(Kind::candidateStarted));
}

// Runs `emit` in a child whose standard output is `setUp()`'s descriptor.
template <typename SetUp>
void emitReadyTo(SetUp setUp) {
  int fd = setUp();
  if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(99);
  emit(MeetingActivityEvent(Kind::ready));
  _exit(0);
}

TEST(EmitDeathTest, FullDeviceEndsWithStatusOneAndNoMessage) {
  EXPECT_EXIT(emitReadyTo([] { return open("/dev/full", O_WRONLY); }), testing::ExitedWithCode(1),
              "^$");
}

TEST(EmitDeathTest, ReadOnlyDescriptorEndsWithStatusOne) {
  EXPECT_EXIT(emitReadyTo([] { return open("/dev/null", O_RDONLY); }), testing::ExitedWithCode(1),
              "^$");
}

TEST(EmitDeathTest, ClosedPipeEndsWithStatusOneWhenSigpipeIsIgnored) {
  EXPECT_EXIT(emitReadyTo([] {
                signal(SIGPIPE, SIG_IGN);
                int ends[2];
                if (pipe(ends) != 0) return -1;
                close(ends[0]);
                return ends[1];
              }),
              testing::ExitedWithCode(1), "^$");
}

TEST(Emit, WritesWholeLineToStandardOutput) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  int saved = dup(STDOUT_FILENO);
  ASSERT_GE(dup2(ends[1], STDOUT_FILENO), 0);
  emit(MeetingActivityEvent(Kind::candidateStarted, MeetingProvider::teams));
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(ends[1]);
  char buffer[256];
  ssize_t n = read(ends[0], buffer, sizeof buffer);
  close(ends[0]);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)),
            "{\"version\":1,\"type\":\"candidate-started\",\"provider\":\"teams\"}\n");
}

void noteSignal(int) {}

// An interval timer interrupts the writer over and over while a slow reader
// drains a small pipe, so the kernel hands back short counts and EINTR.
TEST(WriteAll, SurvivesInterruptionsAndShortWrites) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
  std::string text;
  for (int i = 0; i < 50000; ++i) text += static_cast<char>('a' + i % 26);
  pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    close(ends[1]);
    std::string got;
    char buffer[512];
    for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0; usleep(100))
      got.append(buffer, static_cast<std::size_t>(n));
    _exit(got == text ? 0 : 1);
  }
  close(ends[0]);
  struct sigaction action = {};
  action.sa_handler = noteSignal;  // no SA_RESTART: writes return early
  struct sigaction previous;
  sigaction(SIGALRM, &action, &previous);
  itimerval every = {{0, 500}, {0, 500}};
  setitimer(ITIMER_REAL, &every, nullptr);
  bool written = writeAll(ends[1], text);
  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  close(ends[1]);
  int status = 0;
  waitpid(reader, &status, 0);
  EXPECT_TRUE(written);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader saw other bytes";
}

}  // namespace
