// A model of Samba's reader of smb.conf, as far as the generator needs it:
// what a written line is read back as, which section names Samba keeps for
// itself, when two section names are one share to Samba, and how a list of
// users is split and read. Pure functions over any byte string; the
// generator asks "will Samba read this back as exactly this?" and writes
// only what it will.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The value Samba reads from the line "\t<parameter> = <value>\n"; nullopt
// when that line would end early or run on into the next line.
std::optional<std::string> conf_read_value(std::string_view value);

// The section name Samba reads from the line "[<name>]\n"; nullopt when the
// line would not open a section, or run on into the next line.
std::optional<std::string> conf_read_section(std::string_view name);

// True when Samba reads value back from its parameter line unchanged.
bool conf_value_exact(std::string_view value);

// The items Samba's list reader (valid users, hosts allow, interfaces)
// makes of a value as read.
std::vector<std::string> conf_list_items(std::string_view value);

// The text that stands for item in a list value so that Samba reads it
// back as exactly that one item (in double quotes when it holds a list
// separator or ends in a backslash); nullopt when no text does.
std::optional<std::string> conf_list_text(std::string_view item);

// What smbd takes an entry of a valid users list for.
enum class conf_account {
  user,     // the account of exactly that name
  group,    // a leading '@', '+' or '&': a group or netgroup
  sid,      // "S-1-...": a security identifier, whatever its owner
  macro,    // a '%' substitution: another name for each client
  nobody,   // the empty name
};
conf_account conf_account_kind(std::string_view name);

// Whether a share name may stand as a section of its own.
enum class conf_share_name {
  ok,
  not_read_back,  // "[name]" opens no section of exactly that name
  unreachable,    // smbd would never find it under that name
  samba_own,      // global, printers, homes, IPC$: Samba's own meaning
};
conf_share_name conf_check_share_name(std::string_view name);

// The key under which Samba finds a share: two names with equal keys are
// one share to Samba (merged on loading, or one hiding the other when a
// client asks). Case is folded along the Unicode case mappings of
// libunistring, closed over upper, lower and title case, for the Basic
// Multilingual Plane only (Samba's own tables are 16 bits wide).
std::string conf_share_key(std::string_view name);

// What Samba's loader does with a [global] value, by the parameter's type
// in Samba's parameter table.
enum class conf_type {
  text,         // kept as written (string)
  upper_text,   // kept, upper-cased (ustring)
  boolean,      // yes/true/on/1 or no/false/off/0, any case, blanks ignored
  enumeration,  // one of the parameter's names, any case, blanks ignored
  list,         // split into items; every text is a list (cmdlist)
};

// A parameter the generator writes.
struct conf_param {
  const char* name;           // as written in the file
  conf_type type;
  const char* const* values;  // enumeration: its names, null-terminated
  bool names_account;         // smbd must resolve the value as a system account
};

// The parameter of that name among those the generator writes, or null.
const conf_param* conf_find_param(std::string_view name);

// Why Samba's loader would refuse value (as read back) for param and then
// load nothing, or "" when it takes it. The account demand is not checked
// here: see conf_account_spellings.
std::string conf_value_refusal(const conf_param& param, std::string_view value);

// The names smbd looks an account up by, in its order: lower case, as
// given, upper case (each once). The account exists for smbd when the
// system resolves one of them.
std::vector<std::string> conf_account_spellings(std::string_view name);
