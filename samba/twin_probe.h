// Which share names Samba itself takes for one share. The reader model's key
// (conf_share_key) is the cheap first filter: names with different keys are
// apart without asking. Only a name whose key is that of a share already
// written is put to Samba: testparm, run as a program, reads a small probe
// file holding the new name's section and those of the written shares of
// that key, each with a marker path, and is asked for the new name's path
// as smbd's look-up for a client finds it. Samba's own case tables decide
// then, not a Unicode library's, whatever either's version.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/paths.h"

// A share written to the include file.
struct twin_share {
  std::string name;   // the section name, as written
  std::string shown;  // printable name, for reports
  std::string id;     // printable id, for reports
  // Set on twin_of's answer when testparm could not be asked or answered
  // nothing readable: the share is then refused on its key alone.
  bool unconfirmed = false;
};

// Samba's answer for a name against earlier names.
enum class twin_answer {
  apart,    // a section of its own, each name reaching its own share
  joined,   // loaded as one section with an earlier one, or found for it
  unknown,  // testparm could not be run or its answer could not be read
};

// The written shares of one generation run by key, and what Samba answered
// so far: each pair of names is put to testparm at most once a run.
struct twin_registry {
  const char* testparm = paths::testparm;
  const char* probe_path = paths::smb_conf_include_probe;
  std::unordered_map<std::string, std::vector<twin_share>> by_key;
  std::map<std::pair<std::string, std::string>, twin_answer> asked;  // (earlier, later)
  int probes = 0;  // testparm runs made
};

// Asks testparm at testparm whether Samba takes name for one of earlier
// (none equal to name), through a probe file created afresh at probe_path
// (0600, exclusively, without following links) and removed before return.
// On joined, *which is the index in earlier of a share Samba takes it for.
// Never reports; errno is left as it was.
twin_answer twin_probe(const char* testparm, const char* probe_path,
                       const std::vector<std::string>& earlier, const std::string& name,
                       size_t* which);

// The written share that Samba would take a share named name for, or none
// when name may be written beside every one of them. A name asked in vain
// (twin_answer::unknown) gets the first written share of its key, as when
// the key alone decided, marked unconfirmed. Runs testparm only when the
// key collides.
std::optional<twin_share> twin_of(twin_registry& registry, const std::string& name);

// Records share as written.
void twin_add(twin_registry& registry, twin_share share);
