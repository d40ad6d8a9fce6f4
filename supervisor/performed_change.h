// Changes to the file system that the supervisor carries out on what it
// judged: the directory that holds each operand is opened without following
// a link the judgement did not see, and the call's own "at" form runs there.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "base/call_table.h"
#include "supervisor/judged_open.h"
#include "supervisor/response.h"

// What a change reads of the caller before it is carried out, where the
// caller's credentials would not let it: each operand's directory as
// pin_base holds it (-1: held when needed), and a new link's text.
struct ChangeInputs {
    int bases[2] = {-1, -1};
    bool has_text = false;
    char text[k_path_size];
};

// Reads them with the supervisor's own credentials.
void read_change_inputs(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                        ChangeInputs* inputs);

// The call's answer: its result, or the error the kernel gave. inputs, when
// given, were read before.
[[nodiscard]] Answer perform_change(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                                    const ChangeInputs* inputs = nullptr);
