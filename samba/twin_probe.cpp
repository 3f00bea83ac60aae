#include "samba/twin_probe.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "runtime/exec.h"
#include "runtime/message.h"
#include "runtime/paths.h"
#include "runtime/staged_file.h"
#include "samba/conf_reader.h"

namespace {

struct text_free {
  void operator()(char* text) const { std::free(text); }
};
using unique_heap_text = std::unique_ptr<char, text_free>;

// The asked name's marker path, and that of the i-th earlier name.
const std::string asked_marker = std::string(paths::twin_probe_marker_dir) + "asked";
std::string earlier_marker(size_t i) {
  return paths::twin_probe_marker_dir + std::to_string(i);
}

}  // namespace

twin_answer twin_probe(const char* testparm, const char* probe_path,
                       const std::vector<std::string>& earlier, const std::string& name,
                       size_t* which) {
  errno_keeper keep_errno;
  staged_file probe;
  if (staged_create(probe, probe_path) != 0)
    return twin_answer::unknown;
  // The asked name's section comes first. Samba loads a later section whose
  // name it takes for an earlier one into that one (the later path wins),
  // and a look-up returns the last section whose name it takes for the one
  // asked: either way the answer for name is then an earlier name's path.
  // Samba's comparison is symmetric, so this one question also tells
  // whether, in the include file where name comes last, a client asking
  // for an earlier share would get name's. testparm's --section-name looks
  // the name up as smbd does for a client (smbd first lowers the requested
  // name with the very tables it compares by, which changes nothing).
  std::fprintf(probe.get(), "[%s]\n\tpath = %s\n", name.c_str(), asked_marker.c_str());
  for (size_t i = 0; i < earlier.size(); ++i)
    std::fprintf(probe.get(), "[%s]\n\tpath = %s\n", earlier[i].c_str(),
                 earlier_marker(i).c_str());
  if (std::fflush(probe.get()) != 0 || std::ferror(probe.get()))
    return twin_answer::unknown;

  const std::string section = "--section-name=" + name;
  const char* const argv[] = {testparm,         "-s", section.c_str(), "--parameter-name=path",
                              probe_path,       nullptr};
  char* out_raw = nullptr;
  char* err_raw = nullptr;
  // Its exit status says nothing here: testparm exits 1 after a warning of
  // its global checks, and prints the answer all the same.
  fork_execv_getouterr(&out_raw, &err_raw, testparm, argv);
  unique_heap_text out(out_raw), err(err_raw);
  const std::string answer = out ? out.get() : "";
  if (answer == asked_marker + "\n")
    return twin_answer::apart;
  for (size_t i = 0; i < earlier.size(); ++i) {
    if (answer == earlier_marker(i) + "\n") {
      *which = i;
      return twin_answer::joined;
    }
  }
  return twin_answer::unknown;
}

std::optional<twin_share> twin_of(twin_registry& registry, const std::string& name) {
  auto written = registry.by_key.find(conf_share_key(name));
  if (written == registry.by_key.end())
    return std::nullopt;
  const std::vector<twin_share>& shares = written->second;
  // One name twice is one section, without asking.
  for (const twin_share& share : shares)
    if (share.name == name)
      return share;

  bool unknown = false;
  std::vector<std::string> unasked;
  std::vector<size_t> unasked_index;
  for (size_t i = 0; i < shares.size(); ++i) {
    auto known = registry.asked.find({shares[i].name, name});
    if (known == registry.asked.end()) {
      unasked.push_back(shares[i].name);
      unasked_index.push_back(i);
    } else if (known->second == twin_answer::joined) {
      return shares[i];
    } else if (known->second == twin_answer::unknown) {
      unknown = true;
    }
  }
  if (!unasked.empty()) {
    size_t which = 0;
    const twin_answer answer =
        twin_probe(registry.testparm, registry.probe_path, unasked, name, &which);
    ++registry.probes;
    if (answer == twin_answer::joined) {
      registry.asked[{unasked[which], name}] = answer;
      return shares[unasked_index[which]];
    }
    for (const std::string& earlier : unasked)
      registry.asked[{earlier, name}] = answer;
    unknown |= answer == twin_answer::unknown;
  }
  if (unknown) {
    twin_share first = shares.front();
    first.unconfirmed = true;
    return first;
  }
  return std::nullopt;
}

void twin_add(twin_registry& registry, twin_share share) {
  std::string key = conf_share_key(share.name);
  registry.by_key[std::move(key)].push_back(std::move(share));
}
