#include "JxThread.h"

#include <pthread.h>
#include <string.h>

#include <string>

#include "JxException.h"

JxThread::JxThread() = default;
JxThread::~JxThread() = default;

int JxThread::createDetachedThread(void* (*entry)(void*), void* arg)
{
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (rc == 0) {
            pthread_t thread;
            rc = pthread_create(&thread, &attr, entry, arg);
        }
        pthread_attr_destroy(&attr);
    }
    if (rc != 0)
        throw JxException("JxThread::createDetachedThread",
                          std::string("Couldn't create thread: ") + strerror(rc), "JxThread",
                          __LINE__, -1);
    return 0;
}
