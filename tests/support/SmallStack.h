// Runs a function on a new thread with a 64 KiB stack, as some programs give
// their workers, and waits for it: too little for reading debug information
// in place.
#pragma once

#include <pthread.h>

inline void RunOnSmallStack(void* (*body)(void*)) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, body, nullptr) == 0) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}
