// Command line and dispatch of cifsctl.
#pragma once

#include <string>

enum slot {
  slot_smbuser_name,
  slot_user_name,
  slot_old_smbuser_name,
  slot_new_smbuser_name,
  slot_share_name,
  slot_path,
  slot_description,
  slot_valid_smbusers,
  slot_old_share_name,
  slot_new_share_name,
  slot_workgroup,
  slot_guest_account,
  slot_password_server,
  slot_security,
  slot_count
};

enum action {
  action_none,
  action_reconfigure_all,
  action_add_smbuser,
  action_set_smbuser_password,
  action_rename_smbuser,
  action_del_smbuser,
  action_add_share,
  action_update_share,
  action_rename_share,
  action_del_share,
  action_set_preferences,
  action_usage_status,
  action_check_packages,
  action_help,
};

// One run's command line: the value slots, the required flags the selected
// action set, the action and the service flags.
struct command_line {
  std::string values[slot_count];
  bool required[slot_count] = {};
  action selected = action_none;
  bool start = false, stop = false, status = false, restart = false, without_restart = false;
};

// Parses argv with getopt_long into cl. Unknown options end the process.
void parse_command_line(command_line& cl, int argc, char** argv);


// Parses argv, loads the product configuration, performs the service option
// or the one selected action and returns the exit status. Fatal conditions
// end the process from inside.
int cifsctl_main(int argc, char** argv);

// Writes the usage text to standard output and ends the process with 0.
[[noreturn]] void print_usage();
