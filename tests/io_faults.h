// Faults and hooks for the tool's file I/O seam (io_seam in bsp/file_io.h),
// armed for the nth call from now (1: the next) of one kind, or of any. A
// fault fails its call with EIO (ENOSPC for a reservation), and with
// and_later every call after it; a hook runs just before its call, given
// its context. disarm_io clears both.
#ifndef LUMPSMITH_IO_FAULTS_H
#define LUMPSMITH_IO_FAULTS_H

#include "bsp/file_io.h"

void fail_io(io_kind kind, unsigned long nth = 1, bool and_later = false);
void before_io(io_kind kind, unsigned long nth, void (*hook)(void *context), void *context);
void disarm_io();
bool io_fault_happened();  // since the fault was armed

#endif
