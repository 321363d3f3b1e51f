// Detached threads over pthreads, and a sleep that outlasts signals.
#include <cerrno>
#include <ctime>

#include <vorlan/vorlan_common.h>

extern "C" {

int vorlan_thread_create(vorlan_thread_t *thread, vorlan_threadattr_t *attr,
                         vorlan_thread_func_t func, void *arg) {
  if ((attr != nullptr && *attr != nullptr) || func == nullptr) {
    return EINVAL;
  }
  pthread_attr_t detached;
  int rc = pthread_attr_init(&detached);
  if (rc != 0) {
    return rc;
  }
  rc = pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  pthread_t created;
  if (rc == 0) {
    rc = pthread_create(&created, &detached, func, arg);
  }
  pthread_attr_destroy(&detached);
  if (rc == 0 && thread != nullptr) {
    *thread = created;
  }
  return rc;
}

vorlan_thread_t vorlan_thread_self(void) { return pthread_self(); }

void vorlan_libc_usleep(unsigned long usec) {
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(usec / 1000000UL);
  remaining.tv_nsec = static_cast<long>((usec % 1000000UL) * 1000UL);
  // A signal cuts nanosleep short; sleep the rest.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // extern "C"
