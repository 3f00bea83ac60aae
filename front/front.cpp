#include "front/front.h"

#include <getopt.h>

#include <array>
#include <cstdio>
#include <iterator>
#include <string>

#include "runtime/exec.h"
#include "runtime/message.h"
#include "runtime/product_conf.h"
#include "runtime/send_sig.h"
#include "runtime/service.h"
#include "samba/generation.h"
#include "samba/reports.h"
#include "samba/users.h"

namespace {

enum class effect {
  value,    // stores its argument in a value slot
  nothing,  // accepted, no effect
  action,   // selects an action unless one is selected already
  help,     // selects help, whatever was selected before
  flag,     // sets a service flag
};

// One command-line option: its names and what it does.
struct option_row {
  const char* name;  // the long option; a value option's slot bears this name in messages
  char letter;       // the short option, or 0: getopt_long then returns 0 and the row's index
  effect what;
  slot value;
  action selects;
  bool command_line::*flag;
};

constexpr option_row value_row(const char* name, slot s) {
  return {name, 0, effect::value, s, action_none, nullptr};
}
constexpr option_row inert_row(const char* name) {
  return {name, 0, effect::nothing, slot_count, action_none, nullptr};
}
constexpr option_row action_row(const char* name, action a) {
  return {name, 0, effect::action, slot_count, a, nullptr};
}
constexpr option_row flag_row(const char* name, char letter, bool command_line::*flag) {
  return {name, letter, effect::flag, slot_count, action_none, flag};
}

// In getopt_long's order: the options told apart by index first, then
// those that return their short letter.
constexpr option_row option_rows[] = {
    value_row("smbuser-name", slot_smbuser_name),
    value_row("user-name", slot_user_name),
    value_row("old-smbuser-name", slot_old_smbuser_name),
    value_row("new-smbuser-name", slot_new_smbuser_name),
    value_row("share-name", slot_share_name),
    value_row("path", slot_path),
    value_row("description", slot_description),
    value_row("valid-smbusers", slot_valid_smbusers),
    value_row("old-share-name", slot_old_share_name),
    value_row("new-share-name", slot_new_share_name),
    value_row("workgroup", slot_workgroup),
    inert_row("writable"),
    inert_row("guest-ok"),
    inert_row("valid-smbusers-any"),
    inert_row("valid-smbusers-none"),
    inert_row("encrypt-passwords"),
    value_row("guest-account", slot_guest_account),
    value_row("password-server", slot_password_server),
    value_row("security", slot_security),
    action_row("reconfigure-all", action_reconfigure_all),
    action_row("add-smbuser", action_add_smbuser),
    action_row("set-smbuser-password", action_set_smbuser_password),
    action_row("rename-smbuser", action_rename_smbuser),
    action_row("del-smbuser", action_del_smbuser),
    action_row("add-share", action_add_share),
    action_row("update-share", action_update_share),
    action_row("rename-share", action_rename_share),
    action_row("del-share", action_del_share),
    action_row("set-preferences", action_set_preferences),
    action_row("usage-status", action_usage_status),
    action_row("check-packages", action_check_packages),
    {"help", 'h', effect::help, slot_count, action_none, nullptr},
    flag_row("start", 'p', &command_line::start),
    flag_row("stop", 'o', &command_line::stop),
    flag_row("status", 's', &command_line::status),
    flag_row("restart", 'r', &command_line::restart),
    flag_row("without-restart", 'w', &command_line::without_restart),
};
constexpr size_t option_count = std::size(option_rows);
static_assert(option_count == 37);

// getopt_long's table, made from the rows and ended by an all-zero entry.
constexpr std::array<option, option_count + 1> make_long_options() {
  std::array<option, option_count + 1> table{};
  for (size_t i = 0; i < option_count; ++i) {
    const option_row& row = option_rows[i];
    table[i] = {row.name, row.what == effect::value ? required_argument : no_argument, nullptr,
                row.letter};
  }
  return table;
}
constexpr std::array<option, option_count + 1> long_options = make_long_options();

const option_row* row_of_letter(int letter) {
  for (const option_row& row : option_rows)
    if (row.letter != 0 && row.letter == letter)
      return &row;
  return nullptr;
}

const char* slot_name(slot s) {
  for (const option_row& row : option_rows)
    if (row.what == effect::value && row.value == s)
      return row.name;
  return "";
}

void require(command_line& cl, std::initializer_list<slot> slots) {
  for (slot s : slots)
    cl.required[s] = true;
}

void select_action(command_line& cl, action a) {
  if (cl.selected != action_none)
    return;  // the first action option wins
  cl.selected = a;
  switch (a) {
    case action_add_smbuser:
    case action_set_smbuser_password:
    case action_del_smbuser:
      require(cl, {slot_user_name, slot_smbuser_name});
      break;
    case action_rename_smbuser:
      require(cl, {slot_user_name, slot_old_smbuser_name, slot_new_smbuser_name});
      break;
    case action_add_share:
    case action_update_share:
      require(cl, {slot_share_name, slot_path});
      break;
    case action_rename_share:
      require(cl, {slot_old_share_name, slot_new_share_name});
      break;
    case action_del_share:
      require(cl, {slot_share_name});
      break;
    case action_set_preferences:
      require(cl, {slot_workgroup, slot_security});
      break;
    default:
      break;
  }
}

void require_param(bool required, const std::string& value, const char* name) {
  if (required && value.empty())
    fatal("Miss parameter '%s' or previos parameter empty.\n", name);
}

void check_unprocessed_args(int argc, int first_unprocessed) {
  if (first_unprocessed != argc)
    fatal("Some parameters in command string leave unprocessed. Check parameters please.");
}

}  // namespace

void parse_command_line(command_line& cl, int argc, char** argv) {
  optind = 0;  // a full restart of getopt, so that the parser can run again
  for (;;) {
    int index = -1;
    int c = getopt_long(argc, argv, "hposrw", long_options.data(), &index);
    if (c == -1)
      break;
    const option_row* row = c == 0 ? &option_rows[index] : row_of_letter(c);
    if (!row)  // '?': getopt_long has printed why
      fatal("Unknown option in command string, see log for details");
    switch (row->what) {
      case effect::value:
        // Values are kept to what a text buffer holds.
        cl.values[row->value].assign(optarg, 0, text_size - 1);
        break;
      case effect::nothing:
        break;
      case effect::action:
        select_action(cl, row->selects);
        break;
      case effect::help:
        cl.selected = action_help;
        break;
      case effect::flag:
        cl.*row->flag = true;
        break;
    }
  }
}

namespace {

void restart_step(const command_line& cl) {
  if (!cl.without_restart)
    service_control("samba", "restart");
}

int dispatch(const command_line& cl) {
  const std::string* v = cl.values;
  int result = 0;
  switch (cl.selected) {
    case action_none:
    case action_help:
      print_usage();
    case action_add_smbuser:
      return add_smbuser(v[slot_smbuser_name].c_str(), v[slot_user_name].c_str());
    case action_set_smbuser_password:
      return set_smbuser_password(v[slot_smbuser_name].c_str(), v[slot_user_name].c_str());
    case action_rename_smbuser:
      result = rename_smbuser(v[slot_old_smbuser_name].c_str(),
                              v[slot_new_smbuser_name].c_str(), v[slot_user_name].c_str());
      result |= reconfigure_all();
      restart_step(cl);
      return result;
    case action_del_smbuser:
      result = del_smbuser(v[slot_smbuser_name].c_str(), v[slot_user_name].c_str());
      result |= reconfigure_all();
      restart_step(cl);
      return result;
    case action_reconfigure_all:
    case action_add_share:
    case action_update_share:
    case action_rename_share:
    case action_del_share:
    case action_set_preferences:
      result = reconfigure_all();
      restart_step(cl);
      return result;
    case action_usage_status:
      return usage_status();
    case action_check_packages:
      return check_packages();
  }
  return result;
}

}  // namespace

void print_usage() {
  std::fputs(
      "Usage: cifsctl [OPTIONS]...\n"
      "\n"
      "  --reconfigure-all\n"
      "        create configuration files for all shares\n"
      "  --add-smbuser --smbuser-name=<smbuser_name> --user-name=<user_name>\n"
      "        add samba user with no password.\n"
      "  --set-smbuser-password --smbuser-name=<smbuser_name> --user-name=<user_name>\n"
      "        set password for samba user.\n"
      "        The noncrypted smbuser password is transferred in the environment variable TAV_PASSWORD\n"
      "  --rename-smbuser --old-smbuser-name=<old_smbuser_name> --new-smbuser-name=<new_smbuser_name> --user-name=<user_name>\n"
      "        rename samba user.\n"
      "  --del-smbuser --smbuser-name=<smbuser_name> --user-name=<user_name>\n"
      "        delete samba user.\n"
      "  --add-share --share-name=<share_name> --path=<path> [--writable] [--guest-ok] [--description=<description>] (--valid-smbusers=<valid_smbusers>|--valid-smbusers-any|--valid-smbusers-none)\n"
      "        add samba share\n"
      "  --update-share --share-name=<share_name> --path=<path> [--writable] [--guest-ok]\t[--description=<description>] (--valid-smbusers=<valid_smbusers>|--valid-smbusers-any|--valid-smbusers-none)\n"
      "        update samba share\n"
      "  --rename-share --old-share-name=<old_share_name> --new-share-name=<new_share_name>\n"
      "        rename samba share\n"
      "  --del-share --share-name=<share_name>\n"
      "        delete samba share\n"
      "  --set-preferences --workgroup=<workgroup> [--description=<description>] [--encrypt-passwords] [--guest-account=<guest_user_name>] [--password-server=<password_server>] --security=user|share|domain|server|ads\n"
      "        set global preferences\n"
      "  --usage-status\n"
      "        get usage status\n"
      "  --check-packages\n"
      "        samba installed check\n"
      "  -w, --without-restart\n"
      "        without restart fileserver. Can used with another options\n"
      "  -p, --start\n"
      "        start fileserver\n"
      "  -o, --stop\n"
      "        stop fileserver\n"
      "  -s, --status\n"
      "        fileserver status\n"
      "  -r, --restart\n"
      "        restart fileserver\n"
      "  -h, --help\n"
      "        display this help and exit\n",
      stdout);
  exit_program(0);
}

int cifsctl_main(int argc, char** argv) {
  program_path = argv[0];
  // Take the passwords out of the environment at once, so that no program
  // this run starts (rcswitch, rc scripts, Samba's tools) inherits them.
  take_env_secrets();
  command_line cl;
  parse_command_line(cl, argc, argv);

  check_unprocessed_args(argc, optind);
  static constexpr slot check_order[] = {
      slot_smbuser_name, slot_user_name,  slot_old_smbuser_name, slot_new_smbuser_name,
      slot_share_name,   slot_path,       slot_old_share_name,   slot_new_share_name,
      slot_workgroup,    slot_security,
  };
  for (slot s : check_order)
    require_param(cl.required[s], cl.values[s], slot_name(s));

  load_product_conf();

  if (cl.start || cl.restart) {
    exec_program(product_conf.rcswitch_path, "samba", "on", nullptr);
    service_control("samba", "stop");
    return service_control("samba", "start");
  }
  if (cl.stop) {
    bool running = find_process("nmbd") == 0 || find_process("smbd") == 0;
    int result = running ? service_control("samba", "stop") : 0;
    exec_program(product_conf.rcswitch_path, "samba", "off", nullptr);
    return result;
  }
  if (cl.status) {
    print_run_state(find_process("smbd"));
    return 0;
  }
  return dispatch(cl);
}
