// Console messages and Error: exact bytes, one write per message, and the
// exit status of a fatal error.
#include "common/Errors.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using quovent_test::run_in_child;

namespace {

// Runs body in a child whose standard output is a packet socket, so that each
// write arrives as one packet: the packets are the writes, in order.
std::vector<std::string> writes_to_stdout(const std::function<void()> &body) {
  int sockets[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(sockets[0]);
    dup2(sockets[1], 1);
    body();
    _exit(0);
  }
  close(sockets[1]);
  std::vector<std::string> packets;
  char packet[4096];
  ssize_t n;
  while ((n = recv(sockets[0], packet, sizeof packet, 0)) > 0) packets.emplace_back(packet, n);
  close(sockets[0]);
  waitpid(pid, nullptr, 0);
  return packets;
}

TEST(Messages, EachMessageIsOneWriteOfColourTextAndReset) {
  struct Case {
    const char *name;
    std::function<void()> call;
    std::string expected;
  };
  const Case cases[] = {
      {"print", [] { print("abc\n"); }, "\033[0;32mabc\n\033[0m"},
      {"printDebug", [] { printDebug("dbg\n"); }, "\033[1;33mdbg\n\033[0m"},
      {"printMessage", [] { printMessage("\t\tx\n", COLOR_GREEN_L); }, "\033[0;92m\t\tx\n\033[0m"},
      {"empty message", [] { printMessage("", COLOR_RED); }, "\033[0;31m\033[0m"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> writes = writes_to_stdout(c.call);
    ASSERT_EQ(writes.size(), 1u) << c.name;
    EXPECT_EQ(writes[0], c.expected) << c.name;
  }
}

TEST(Messages, EscapesAreWrittenWhenOutputIsNotATerminal) {
  quovent_test::RunResult result = run_in_child([] { printMessage("ok\n", COLOR_CYAN_B); });
  EXPECT_EQ(result.out, "\033[1;36mok\n\033[0m");
  EXPECT_EQ(result.exit_status, 0);
}

TEST(Messages, LineLongerThanItsBufferIsCutNotOverflowed) {
  std::string long_text(1000, 'x');
  std::vector<std::string> writes = writes_to_stdout([&] { print(long_text.c_str()); });
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].size(), COMPOSED_LINE_SIZE - 1u);
  EXPECT_EQ(writes[0].substr(0, 8), "\033[0;32mx");
}

TEST(Error, WritesMessageAndErrorTextInBoldRedAndExitsWithErrno) {
  quovent_test::RunResult result = run_in_child([] {
    errno = ENOENT;
    Error("[Test] Error opening file\n");
  });
  EXPECT_EQ(result.err,
            "\033[1;31m[Test] Error opening file\n: No such file or directory\033[0m\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, ENOENT);
}

TEST(Error, WithoutAFailedCallExitsWithOneNotSuccess) {
  quovent_test::RunResult result = run_in_child([] {
    errno = 0;
    Error("[Test] Invalid value");
  });
  EXPECT_EQ(result.err,
            std::string("\033[1;31m[Test] Invalid value: ") + strerror(0) + "\033[0m\n");
  EXPECT_EQ(result.exit_status, 1);
}

// The program is named once; every tagged message carries it, and the part that speaks.
TEST(Error, TaggedMessagesNameTheProgramOnceSetAndThePartThatSpeaks) {
  struct Case {
    const char *name;
    std::function<void()> call;
    std::string expected;
    int status;
  };
  const Case cases[] = {
      {"error_at, the program",
       [] {
         errno = ENOENT;
         error_at(nullptr, "Error opening %s\n", "f");
       },
       "\033[1;31m[Prog] Error opening f\n: No such file or directory\033[0m\n", ENOENT},
      {"error_at, a part",
       [] {
         errno = EIO;
         error_at("part", "Error reading %d", 3);
       },
       "\033[1;31m[Prog:part] Error reading 3: Input/output error\033[0m\n", EIO},
      {"fail_at", [] { fail_at("part", 65, "bad %s", "line"); },
       "\033[1;31m[Prog:part] bad line\033[0m\n", 65},
  };
  for (const Case &c : cases) {
    quovent_test::RunResult result = run_in_child([&c] {
      set_program_tag("Prog");
      c.call();
    });
    EXPECT_EQ(result.err, c.expected) << c.name;
    EXPECT_EQ(result.exit_status, c.status) << c.name;
  }
}

TEST(Error, ReportsTheErrnoThatAPrecedingFsyncOfAPipeLeft) {
  // fsync of standard output fails on a pipe; a later Error without another
  // failed call reports that failure, as the message functions leave errno.
  quovent_test::RunResult result = run_in_child([] {
    errno = 0;
    print("progress\n");
    Error("[Test] After a message");
  });
  EXPECT_EQ(result.exit_status, EINVAL);
  EXPECT_NE(result.err.find(strerror(EINVAL)), std::string::npos);
}

}  // namespace
