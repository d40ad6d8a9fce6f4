// The listener channel between the sandboxed child and the supervisor: one
// message carries the filter's listener as SCM_RIGHTS, one byte comes back.
#pragma once

// Sends the listener on channel, with one data byte; false unless sent.
[[nodiscard]] bool send_listener(int channel, int listener);

// The listener carried by the child's message, or -1 when none arrived or
// the message is not one.
[[nodiscard]] int receive_listener(int channel);
