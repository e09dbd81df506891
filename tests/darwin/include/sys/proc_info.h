// Test-only stand-in for the macOS <sys/proc_info.h>: the flavor and the members of
// struct proc_bsdinfo that the helper reads, under their macOS names. The real struct has
// more members; nothing here depends on its layout.
#pragma once

#include <stdint.h>

#define PROC_PIDTBSDINFO 3

struct proc_bsdinfo {
  uint32_t pbi_status;
  uint64_t pbi_start_tvsec;
  uint64_t pbi_start_tvusec;
};
