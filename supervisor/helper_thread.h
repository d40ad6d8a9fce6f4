// The supervisor's threads besides the notification loop: detached, with a
// small stack, and deaf to every signal (the loop's signalfd takes SIGCHLD).
#pragma once

// Starts run on a new thread; false when the thread could not be made.
[[nodiscard]] bool start_helper_thread(void* (*run)(void*));
