// The supervisor's threads besides the notification loop: detached and
// deaf to every signal (the loop's signalfd takes SIGCHLD).
#pragma once

#include <stddef.h>

inline constexpr size_t k_helper_stack_size = 128 * 1024;

// Starts run(argument) on a new thread; false when the thread could not be
// made. stack_size 0: the C library's default, as large as the main
// thread's.
[[nodiscard]] bool start_helper_thread(void* (*run)(void*), void* argument = nullptr,
                                       size_t stack_size = k_helper_stack_size);
