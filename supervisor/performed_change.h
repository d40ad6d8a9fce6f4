// Changes to the file system that the supervisor carries out on what it
// judged: the directory that holds each operand is opened without following
// a link the judgement did not see, and the call's own "at" form runs there.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include "base/call_table.h"
#include "base/kernel_abi.h"
#include "supervisor/judged_open.h"
#include "supervisor/response.h"

inline constexpr size_t k_xattr_value_max = 65536;

// What a change reads of the caller before it is carried out, each once:
// the directory each relative operand was judged from, as pin_base holds it,
// and each descriptor operand, as pin_descriptor holds it (-1: held when
// needed); and the call's data in the caller's memory.
struct ChangeInputs {
    int bases[2] = {-1, -1};
    int pins[2] = {-1, -1};
    int error = 0;           // reading them failed with this error: the call's answer
    bool has_times = false;  // times holds the new times; else now
    timespec times[2];
    char text[k_path_size];  // a new link's text, or an attribute's name
    XattrArgs xattr{};       // setxattrat's arguments; value is unused
    size_t value_size = 0;
    unsigned char value[k_xattr_value_max];
};

// Reads them with the supervisor's own credentials. With hold_bases, each
// relative operand's directory is held now, for a thread that will take
// credentials under which /proc of the caller may not be readable.
void read_change_inputs(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                        bool hold_bases, ChangeInputs* inputs);

// Closes what read_change_inputs held.
void release_change_inputs(ChangeInputs* inputs);

// The call's answer: its result, or the error the kernel gave.
[[nodiscard]] Answer perform_change(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                                    const ChangeInputs& inputs);
