// Samba user accounts: smbpasswd and the username map.
#pragma once

// Each returns 0 on success and -1 on a reported failure. Names are the
// caller's texts (read only); nothing is run or changed when a name cannot
// be passed to smbpasswd or written to the username map literally.
int add_smbuser(const char* smbuser_name, const char* user_name);
int set_smbuser_password(const char* smbuser_name, const char* user_name);
int rename_smbuser(const char* old_smbuser_name, const char* new_smbuser_name,
                   const char* user_name);
int del_smbuser(const char* smbuser_name, const char* user_name);

// The password from TAV_PASSWORD (at most 4095 bytes; empty when unset),
// read once and cached in a process-wide buffer that the caller must not
// free; TAV_PASSWORD is removed from the environment on the first call.
const char* get_env_password();

// Copies TAV_PASSWORD and TAV_CRYPTED_PASSWORD (each at most 4095 bytes)
// into process-wide buffers, once, and removes both from the environment,
// so that no program the run starts inherits either.
void take_env_secrets();

// The password in MD5 crypt(3) form, cached in a process-wide buffer of its
// own (not to be freed): crypt of TAV_PASSWORD with a fresh salt, else
// TAV_CRYPTED_PASSWORD unchanged, else crypt of the empty text, both as
// take_env_secrets kept them. Empty when crypt fails.
const char* get_env_crypted_password();
