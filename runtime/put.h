// Panel database writes: a domain's status and the parameter tables misc,
// dom_param and Parameters.
//
// Key arguments (ids, names, parameter names) go into the SQL unescaped:
// one holding a backslash, double quote or single quote stops the process
// like a failed assertion (see db_check_key). Values are escaped. The last
// argument is a connection the caller keeps, or null: then the operation
// opens its own and closes it before it returns. Each returns 0 on success
// and -1 after reporting a failure (status 0, the process goes on).
#pragma once

#include <mysql.h>

// Sets the status of domain dom_id. conn is required.
int set_domain_status(const char* dom_id, unsigned int status, MYSQL* conn);

// Stores value for misc parameter name; a null value stores the row with
// no value given (the column's default, NULL).
int put_misc_param(const char* name, const char* value, MYSQL* conn);

// Stores value for parameter param of domain dom_id; a null value stores
// the row with no value given (NULL), which readers give as empty text.
int put_dom_param(const char* dom_id, const char* param, const char* value, MYSQL* conn);

// Stores value for parameter param in parameter set id; a null value as in
// put_dom_param.
int put_parameter(const char* id, const char* param, const char* value, MYSQL* conn);

// Deletes misc parameter name.
int del_misc_param(const char* name, MYSQL* conn);

// Deletes parameter param of domain dom_id.
int del_dom_param(const char* dom_id, const char* param, MYSQL* conn);

// Deletes the row of parameter param in set id holding value, or every row
// of that parameter in the set when value is null.
int del_parameter(const char* id, const char* param, const char* value, MYSQL* conn);
