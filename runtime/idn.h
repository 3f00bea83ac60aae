// Internationalized domain names: conversion between the UTF-8 form of a
// domain name and its ASCII ("xn--") form, through GNU libidn with flags 0.
#pragma once

// libidn's result code of the last failed conversion; 0 until one fails.
// A later successful conversion leaves it as it is.
extern int idn_last_error;

// The ASCII form of a UTF-8 name in new heap memory (the caller frees it),
// or null after a failed conversion (idn_last_error holds the code).
// Exhausted memory inside the library ends the process.
char* idn_toascii(const char* text);

// The UTF-8 form of a name in new heap memory (the caller frees it), or
// null when the library produced nothing. Labels the library cannot convert
// come back as they were; any failure code is kept in idn_last_error.
char* idn_toutf8(const char* text);

// As idn_toascii and idn_toutf8, but never null: a failure ends the process
// with "<function>(<text>) failed: <error text>". The caller frees the result.
char* idn_toascii_safe(const char* text);
char* idn_toutf8_safe(const char* text);

// A constant text naming a libidn result code; "Unknown error" for codes
// the library does not define.
const char* idn_error_text(int code);

// The URL with its host part in ASCII form, in a process-wide 4096-byte
// buffer overwritten by each call; null (reported) when the URL has no
// host, the host cannot be converted or the result would not fit.
char* url_host_to_ascii(const char* url);
