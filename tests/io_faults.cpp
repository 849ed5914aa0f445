#include "io_faults.h"

#include <cerrno>

namespace {

struct armed_call {
    io_kind kind;
    unsigned long left;  // calls of the kind until this one; 0: disarmed
};

struct {
    armed_call fault, hook;
    bool and_later, fault_happened;
    void (*hook_call)(void *);
    void *hook_context;
} armed = {};

bool is_due(armed_call *a, io_kind kind)
{
    return a->left != 0 && (a->kind == IO_ANY || a->kind == kind) && --a->left == 0;
}

int answer(io_kind kind)
{
    if (is_due(&armed.hook, kind))
        armed.hook_call(armed.hook_context);
    if (!is_due(&armed.fault, kind) && !(armed.and_later && armed.fault_happened))
        return 0;
    armed.fault_happened = true;
    return kind == IO_RESERVE ? ENOSPC : EIO;
}

}  // namespace

void fail_io(io_kind kind, unsigned long nth, bool and_later)
{
    armed.fault = {kind, nth};
    armed.and_later = and_later;
    armed.fault_happened = false;
    io_seam = answer;
}

void before_io(io_kind kind, unsigned long nth, void (*hook)(void *), void *context)
{
    armed.hook = {kind, nth};
    armed.hook_call = hook;
    armed.hook_context = context;
    io_seam = answer;
}

void disarm_io()
{
    armed = {};
    io_seam = nullptr;
}

bool io_fault_happened()
{
    return armed.fault_happened;
}
