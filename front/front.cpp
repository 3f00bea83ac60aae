#include "front/front.h"

#include <getopt.h>

#include <cstdio>
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

// Values are kept to what a 4096-byte buffer holds.
constexpr size_t value_max = 4095;

const char* const slot_names[slot_count] = {
    "smbuser-name", "user-name",   "old-smbuser-name", "new-smbuser-name", "share-name",
    "path",         "description", "valid-smbusers",   "old-share-name",   "new-share-name",
    "workgroup",    "guest-account", "password-server", "security",
};

// What each row of the option table does when getopt_long returns 0.
struct row_effect {
  int slot;        // value slot, or -1
  action selects;  // action option, or action_none
};

const struct option long_options[] = {
    {"smbuser-name", required_argument, nullptr, 0},
    {"user-name", required_argument, nullptr, 0},
    {"old-smbuser-name", required_argument, nullptr, 0},
    {"new-smbuser-name", required_argument, nullptr, 0},
    {"share-name", required_argument, nullptr, 0},
    {"path", required_argument, nullptr, 0},
    {"description", required_argument, nullptr, 0},
    {"valid-smbusers", required_argument, nullptr, 0},
    {"old-share-name", required_argument, nullptr, 0},
    {"new-share-name", required_argument, nullptr, 0},
    {"workgroup", required_argument, nullptr, 0},
    {"writable", no_argument, nullptr, 0},
    {"guest-ok", no_argument, nullptr, 0},
    {"valid-smbusers-any", no_argument, nullptr, 0},
    {"valid-smbusers-none", no_argument, nullptr, 0},
    {"encrypt-passwords", no_argument, nullptr, 0},
    {"guest-account", required_argument, nullptr, 0},
    {"password-server", required_argument, nullptr, 0},
    {"security", required_argument, nullptr, 0},
    {"reconfigure-all", no_argument, nullptr, 0},
    {"add-smbuser", no_argument, nullptr, 0},
    {"set-smbuser-password", no_argument, nullptr, 0},
    {"rename-smbuser", no_argument, nullptr, 0},
    {"del-smbuser", no_argument, nullptr, 0},
    {"add-share", no_argument, nullptr, 0},
    {"update-share", no_argument, nullptr, 0},
    {"rename-share", no_argument, nullptr, 0},
    {"del-share", no_argument, nullptr, 0},
    {"set-preferences", no_argument, nullptr, 0},
    {"usage-status", no_argument, nullptr, 0},
    {"check-packages", no_argument, nullptr, 0},
    {"help", no_argument, nullptr, 'h'},
    {"start", no_argument, nullptr, 'p'},
    {"stop", no_argument, nullptr, 'o'},
    {"status", no_argument, nullptr, 's'},
    {"restart", no_argument, nullptr, 'r'},
    {"without-restart", no_argument, nullptr, 'w'},
    {nullptr, 0, nullptr, 0},
};

constexpr row_effect row_effects[] = {
    {slot_smbuser_name, action_none},
    {slot_user_name, action_none},
    {slot_old_smbuser_name, action_none},
    {slot_new_smbuser_name, action_none},
    {slot_share_name, action_none},
    {slot_path, action_none},
    {slot_description, action_none},
    {slot_valid_smbusers, action_none},
    {slot_old_share_name, action_none},
    {slot_new_share_name, action_none},
    {slot_workgroup, action_none},
    {-1, action_none},
    {-1, action_none},
    {-1, action_none},
    {-1, action_none},
    {-1, action_none},
    {slot_guest_account, action_none},
    {slot_password_server, action_none},
    {slot_security, action_none},
    {-1, action_reconfigure_all},
    {-1, action_add_smbuser},
    {-1, action_set_smbuser_password},
    {-1, action_rename_smbuser},
    {-1, action_del_smbuser},
    {-1, action_add_share},
    {-1, action_update_share},
    {-1, action_rename_share},
    {-1, action_del_share},
    {-1, action_set_preferences},
    {-1, action_usage_status},
    {-1, action_check_packages},
};
static_assert(sizeof long_options / sizeof long_options[0] == 38);
static_assert(sizeof row_effects / sizeof row_effects[0] == 31);

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
    int c = getopt_long(argc, argv, "hposrw", long_options, &index);
    if (c == -1)
      break;
    switch (c) {
      case 0: {
        const row_effect& e = row_effects[index];
        if (e.slot >= 0)
          cl.values[e.slot].assign(optarg, 0, value_max);
        else if (e.selects != action_none)
          select_action(cl, e.selects);
        break;
      }
      case 'h':
        cl.selected = action_help;
        break;
      case 'p':
        cl.start = true;
        break;
      case 'o':
        cl.stop = true;
        break;
      case 's':
        cl.status = true;
        break;
      case 'r':
        cl.restart = true;
        break;
      case 'w':
        cl.without_restart = true;
        break;
      default:
        fatal("Unknown option in command string, see log for details");
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
  // Take the password out of the environment at once, so that no program
  // this run starts (rcswitch, rc scripts, Samba's tools) inherits it.
  get_env_password();
  command_line cl;
  parse_command_line(cl, argc, argv);

  check_unprocessed_args(argc, optind);
  static constexpr slot check_order[] = {
      slot_smbuser_name, slot_user_name,  slot_old_smbuser_name, slot_new_smbuser_name,
      slot_share_name,   slot_path,       slot_old_share_name,   slot_new_share_name,
      slot_workgroup,    slot_security,
  };
  for (slot s : check_order)
    require_param(cl.required[s], cl.values[s], slot_names[s]);

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
