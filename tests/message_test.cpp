// The reporter: both streams, the prefix, the system-error line, long texts.
#include <gtest/gtest.h>

#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/message.h"
#include "tests/harness.h"

TEST(Message, StatusZeroWritesBothStreamsAndReturns) {
  run_result r = run_in_child([] {
    program_path = "/usr/local/sbin/cifsctl";
    report_msg(0, "first %d", 1);
    report_msg(0, "second\n");
    report_msg(0, "%s", "");
    std::printf("after\n");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "cifsctl: first 1\ncifsctl: second\ncifsctl: \n");
  EXPECT_EQ(r.out, "cifsctl: first 1\ncifsctl: second\ncifsctl: \nafter\n");
}

TEST(Message, PrefixIsThePosixBasenameOfArgv0) {
  struct {
    const char* argv0;
    const char* prefix;
  } rows[] = {
      {"/usr/local/sbin/cifsctl", "cifsctl: "}, {"cifsctl", "cifsctl: "},
      {"cifsctl/", "cifsctl: "}, {"x/", "x: "}, {"", ".: "}, {"//", "/: "},
      {"/", "/: "}, {"a//b//", "b: "},
  };
  for (const auto& row : rows) {
    std::string argv0 = row.argv0;
    run_result r = run_in_child([&] {
      program_path = argv0.data();
      report_msg(0, "m");
      std::printf("%s\n", program_path);  // argv[0] is left as it was
    });
    EXPECT_EQ(r.err, std::string(row.prefix) + "m\n") << '"' << row.argv0 << '"';
    EXPECT_EQ(r.out, std::string(row.prefix) + "m\n" + row.argv0 + "\n") << '"' << row.argv0 << '"';
  }
}

TEST(Message, NonZeroStatusEndsTheProcessWithIt) {
  run_result r = run_in_child([] {
    report_msg(7, "bye");
    std::printf("not reached\n");
  });
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, "bye\n");  // no program_path: no prefix
  EXPECT_EQ(r.err, "bye\n");
}

TEST(Message, SystemErrorLineWheneverErrnoIsSet) {
  run_result r = run_in_child([] {
    program_path = "cifsctl";
    errno = EACCES;
    report_msg(0, "Unable to stat file %s: %s\n", "/x", std::strerror(EACCES));
    // A notice of the program's own shows no stale error and keeps errno;
    // errno survives the report, so the next one carries it too.
    report_notice("left out");
    report_msg(0, "Miss parameter");
    errno = 0;
    report_msg(1, "clean");
  });
  const char* expected =
      "cifsctl: Unable to stat file /x: Permission denied\n\nSystem error 13: Permission denied\n"
      "cifsctl: left out\n"
      "cifsctl: Miss parameter\nSystem error 13: Permission denied\n"
      "cifsctl: clean\n";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, expected);
  EXPECT_EQ(r.out, expected);
}

// The texts that go to standard error alone, as formatted, and errno kept
// across them; errno_keeper gives errno back unless released.
TEST(Message, DirectTextsKeepErrno) {
  run_result r = run_in_child([] {
    program_path = "cifsctl";
    errno = EACCES;
    direct_msg("popen_exec: %s\n", "x");
    child_msg(-1, "nowhere");
    child_msg(1, "child: %d\n", 2);
    {
      errno_keeper keep;
      errno = ENOENT;
    }
    const int kept = errno;
    {
      errno_keeper keep;
      errno = EPERM;
      keep.release();
    }
    std::printf("errno %d %d\n", kept, errno);
    std::fflush(stdout);
    assertion_failed("get", 430, "c");
  });
  EXPECT_EQ(r.status, 128 + SIGABRT);
  EXPECT_EQ(r.err, "popen_exec: x\ncifsctl: get:430: Assertion `c' failed.\n");
  EXPECT_EQ(r.out, "child: 2\nerrno " + std::to_string(EACCES) + " " + std::to_string(EPERM) + "\n");
}

TEST(Message, LongMessagesAreWrittenWhole) {
  for (size_t len : {4095u, 4096u, 5000u, 100000u}) {
    std::string text(len, 'm');
    run_result r = run_in_child([&] {
      errno = ENOENT;
      report_msg(0, "%s", text.c_str());
    });
    std::string expected = text + "\nSystem error 2: No such file or directory\n";
    EXPECT_EQ(r.err, expected) << len;
    EXPECT_EQ(r.out, expected) << len;
  }
}

TEST(Message, AllocPrintfAndRandom) {
  char* t = alloc_printf("%s-%04d", "id", 42);
  EXPECT_STREQ(t, "id-0042");
  std::free(t);
  for (int i = 0; i < 100; ++i) {
    int v = random_below(3);
    EXPECT_GE(v, 0);
    EXPECT_LT(v, 3);
  }
  run_result r = run_in_child([] { mem_realloc(nullptr, static_cast<size_t>(-1) / 2); });
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("alloc("), std::string::npos);
}
