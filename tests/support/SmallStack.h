// Runs a function on a new thread with a 64 KiB stack, as some programs give
// their workers (too little to read debug information in place), and returns
// its result; -1 if the thread could not start.
#pragma once

#include <pthread.h>

inline int RunOnSmallStack(int (*body)()) {
    struct Call {
        int (*body)();
        int result;
    } call{body, -1};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    const auto run = [](void* c) -> void* {
        static_cast<Call*>(c)->result = static_cast<Call*>(c)->body();
        return nullptr;
    };
    pthread_t thread;
    if (pthread_create(&thread, &attributes, run, &call) == 0) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return call.result;
}
