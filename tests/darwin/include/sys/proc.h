// Test-only stand-in for the macOS <sys/proc.h>: the process state the helper reads.
#pragma once

#define SZOMB 5
