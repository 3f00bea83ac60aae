// Generation of the Samba include file from the panel database.
#pragma once

// Rewrites /usr/local/etc/smb.conf.include from the database. Returns 0;
// every failure ends the process with status 1.
int reconfigure_all();
