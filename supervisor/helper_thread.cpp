#include "supervisor/helper_thread.h"

#include <pthread.h>
#include <signal.h>

namespace {

constexpr size_t k_stack_size = 128 * 1024;

}  // namespace

bool start_helper_thread(void* (*run)(void*)) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, k_stack_size);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // The new thread inherits the mask in force when it is made.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, run, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}
