// Test helpers. Every test process runs inside its own sandbox (see
// tests/sandbox), so helpers write the system's real paths directly.
#pragma once

#include <sys/types.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

struct run_result {
  std::string out;  // standard output
  std::string err;  // standard error
  int status;       // exit status, or 128 + signal number
};

// Runs argv[0] by path with argv, the current environment plus env
// ("NAME=value" sets, "NAME" alone removes) and input on standard input.
run_result run_program(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env = {},
                       const std::string& input = "");

// Runs body in a forked child whose standard output and error are captured;
// the child exits with 0 when body returns. For code that ends the process.
run_result run_in_child(const std::function<void()>& body);

// What start_program puts on one of the child's descriptors 0, 1 and 2
// besides an open descriptor of the caller's above 2 (which the caller
// closes).
inline constexpr int keep_stream = -1;  // as inherited
inline constexpr int null_stream = -2;  // /dev/null, read-write

// Starts path with argv (argv[0] first), its descriptors 0, 1 and 2 set up
// from streams, and SIGTERM ignored when ignore_term (the disposition survives
// exec). Returns once the program has been executed, or the child has
// ended with 127 failing to, so that a process list already shows the new
// program; -1 when no child could be started. The caller waits for it.
pid_t start_program(const std::string& path, const std::vector<std::string>& argv,
                    std::array<int, 3> streams = {keep_stream, keep_stream, keep_stream},
                    bool ignore_term = false);

// Waits for the child pid, retrying on EINTR; its wait status.
int wait_program(pid_t pid);

// Runs the built cifsctl binary with args.
run_result run_cifsctl(const std::vector<std::string>& args,
                       const std::vector<std::string>& env = {},
                       const std::string& input = "");

// err without the lines /bin/kill writes when a daemon that the kill
// pipeline listed ended on its own before its turn (smbd's helpers leave
// with their parent): a race of the process listing, not a failure.
std::string without_vanished_pids(const std::string& err);

// The number of descriptors open in this process.
int open_fds();

// The last line of text, without its newline.
std::string last_line(const std::string& text);

// Runs a /bin/sh command line; returns its standard output (status in *status).
std::string sh(const std::string& command, int* status = nullptr);

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// Creates parent directories as needed.
void write_file(const std::string& path, const std::string& text, mode_t mode = 0644);
void make_dirs(const std::string& path, mode_t mode = 0755);

// The product root used by tests.
inline constexpr const char test_product_root[] = "/usr/local/tav";

// A complete product configuration (all 29 keys) for root.
std::string product_conf_text(const std::string& root = test_product_root);
// Writes it to /etc/tav/tav.conf and creates the root's directories
// (admin/bin, var/lock/files, rc.d).
void write_product_conf(const std::string& root = test_product_root);

// The golden file tests/golden/<name>.
std::string golden(const std::string& name);
// A unified diff of two texts, for failure messages.
std::string text_diff(const std::string& expected, const std::string& actual);

#define EXPECT_TEXT_EQ(expected, actual)                                     \
  do {                                                                       \
    const std::string expected_text_ = (expected);                           \
    const std::string actual_text_ = (actual);                               \
    EXPECT_TRUE(expected_text_ == actual_text_)                              \
        << "text differs (--- expected, +++ actual):\n"                      \
        << text_diff(expected_text_, actual_text_);                          \
  } while (0)
