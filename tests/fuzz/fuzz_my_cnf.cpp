// Fuzzes the MySQL socket discovery against a simple model. The first byte
// chooses which of the fixed fallback sockets exist and whether
// MYSQL_UNIX_PORT is set; the rest becomes /etc/my.cnf. The reader has no
// path parameter, so the harness writes the real option file and fallback
// sockets: it refuses to run outside the test sandbox (tests/sandbox), whose
// overlays make those writes vanish.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "runtime/db.h"
#include "runtime/paths.h"

namespace {

// Sockets that seed inputs name; spare inodes that are linked in and out
// as the fixed fallbacks.
constexpr const char work_dir[] = "/tmp/fuzz_my_cnf";
constexpr const char named_sockets[][32] = {"/tmp/fuzz_my_cnf/a.sock", "/tmp/fuzz_my_cnf/b.sock"};
constexpr const char spare_var[] = "/var/lib/mysql/.fuzz-spare.sock";
constexpr const char spare_tmp[] = "/tmp/fuzz_my_cnf/spare.sock";

bool in_sandbox() {
  std::ifstream mounts("/proc/self/mounts");
  std::string line;
  while (std::getline(mounts, line))
    if (line.rfind("cifsctl-tmp /tmp ", 0) == 0)
      return true;
  return false;
}

void make_socket(const char* path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  unlink(path);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror(path);
    std::exit(2);
  }
  close(fd);  // the socket file stays
}

void set_present(const char* spare, const char* path, bool present) {
  unlink(path);
  if (present && link(spare, path) != 0) {
    std::perror(path);
    std::abort();
  }
}

bool space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_socket(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The model: lines are read in pieces of at most 4095 bytes, each up to
// and including its newline; a piece is looked at as text up to its first
// NUL byte. Only the first socket line of the first [mysqld] section counts.
std::optional<std::string> model_from_cnf(const std::string& text) {
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t len = 0;
    while (pos + len < text.size() && len < 4095) {
      ++len;
      if (text[pos + len - 1] == '\n')
        break;
    }
    std::string piece = text.substr(pos, len);
    pos += len;
    piece = piece.substr(0, piece.find('\0'));

    size_t p = 0;
    while (p < piece.size() && space(piece[p]))
      ++p;
    std::string rest = piece.substr(p);
    if (rest.empty() || rest[0] == '#' || rest[0] == ';')
      continue;
    if (!in_section) {
      in_section = rest.rfind("[mysqld]", 0) == 0;
      continue;
    }
    if (rest[0] == '[')
      return std::nullopt;
    if (rest.rfind("socket", 0) != 0)
      continue;
    size_t eq = rest.find('=', 6);
    if (eq == std::string::npos)
      return std::nullopt;
    size_t v = eq + 1;
    while (v < rest.size() && space(rest[v]))
      ++v;
    size_t end = v;
    while (end < rest.size() && !space(rest[end]))
      ++end;
    if (end == v)
      return std::nullopt;
    std::string path = rest.substr(v, end - v);
    if (!is_socket(path))
      return std::nullopt;
    return path;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!in_sandbox()) {
    std::fprintf(stderr, "fuzz_my_cnf writes /etc/my.cnf: run it under tests/sandbox\n");
    std::exit(2);
  }
  mkdir(work_dir, 0755);
  mkdir("/var/lib/mysql", 0755);
  for (const char* path : named_sockets)
    make_socket(path);
  make_socket(spare_var);
  make_socket(spare_tmp);
  // A regular file and a directory, which are no sockets.
  std::ofstream("/tmp/fuzz_my_cnf/file") << "x";
  mkdir("/tmp/fuzz_my_cnf/dir", 0755);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  const bool var_sock = data[0] & 1;
  const bool tmp_sock = data[0] & 2;
  const bool env_port = (data[0] & 0x1c) == 0x1c;  // rarely: it hides the rest
  const bool no_file = (data[0] & 0xe0) == 0xe0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  set_present(spare_var, paths::mysql_sock_var, var_sock);
  set_present(spare_tmp, paths::mysql_sock_tmp, tmp_sock);
  if (env_port)
    setenv("MYSQL_UNIX_PORT", named_sockets[0], 1);
  else
    unsetenv("MYSQL_UNIX_PORT");
  if (no_file) {
    unlink(paths::my_cnf);
  } else {
    FILE* f = std::fopen(paths::my_cnf, "w");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0)
      std::abort();
  }

  std::optional<std::string> expected;
  if (!env_port) {
    if (!no_file)
      expected = model_from_cnf(text);
    if (!expected && var_sock)
      expected = paths::mysql_sock_var;
    if (!expected && tmp_sock)
      expected = paths::mysql_sock_tmp;
  }

  const char* got = find_mysql_socket();
  if (expected.has_value() != (got != nullptr)) {
    std::fprintf(stderr, "find_mysql_socket: got %s, model %s\n", got ? got : "(none)",
                 expected ? expected->c_str() : "(none)");
    std::abort();
  }
  if (got && *expected != got) {
    std::fprintf(stderr, "find_mysql_socket: got %s, model %s\n", got, expected->c_str());
    std::abort();
  }
  return 0;
}
