// Samba user accounts: smbpasswd and the username map.
#pragma once

// Each returns 0 on success and -1 on a reported failure.
int add_smbuser(const char* smbuser_name, const char* user_name);
int set_smbuser_password(const char* smbuser_name, const char* user_name);
int rename_smbuser(const char* old_smbuser_name, const char* new_smbuser_name,
                   const char* user_name);
int del_smbuser(const char* smbuser_name, const char* user_name);
