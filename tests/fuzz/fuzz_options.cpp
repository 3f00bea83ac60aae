// Fuzzes the command-line parser: any argument vector is parsed without a
// crash, values never exceed 4095 bytes, and the first action wins. Inputs
// are NUL-separated words. Unknown options end the process by design, so
// each input is parsed in a forked child.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "front/front.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"cifsctl"};
  std::string word;
  for (size_t i = 0; i < size && words.size() < 64; ++i) {
    if (data[i] == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr))
      _exit(3);
    command_line cl;
    parse_command_line(cl, static_cast<int>(words.size()), argv.data());
    for (const std::string& v : cl.values)
      if (v.size() > 4095)
        std::abort();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  // An unknown option ends the child through exit(1), which libFuzzer's
  // exit hook turns into its own status; only a signal is a crash.
  if (WIFSIGNALED(status))
    std::abort();
  return 0;
}
