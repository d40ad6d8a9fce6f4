#include "supervisor/helper_thread.h"

#include <pthread.h>
#include <signal.h>

bool start_helper_thread(void* (*run)(void*), void* argument, size_t stack_size) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stack_size != 0) pthread_attr_setstacksize(&attributes, stack_size);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // The new thread inherits the mask in force when it is made.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, run, argument) == 0;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}
