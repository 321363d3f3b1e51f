// Detached threads, mutexes and condition variables over pthreads.
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

int vorlan_mutex_init(vorlan_mutex_t *mutex, vorlan_mutexattr_t * /*attr*/) {
  if (mutex == nullptr) {
    return EINVAL;
  }
  return pthread_mutex_init(&mutex->mutex, nullptr);
}

int vorlan_mutex_destroy(vorlan_mutex_t *mutex) {
  return mutex != nullptr ? pthread_mutex_destroy(&mutex->mutex) : EINVAL;
}

int vorlan_mutex_lock(vorlan_mutex_t *mutex) {
  return mutex != nullptr ? pthread_mutex_lock(&mutex->mutex) : EINVAL;
}

int vorlan_mutex_unlock(vorlan_mutex_t *mutex) {
  return mutex != nullptr ? pthread_mutex_unlock(&mutex->mutex) : EINVAL;
}

// The default clock of a pthread condition is the wall clock, which is what timedwait expects.
int vorlan_cond_init(vorlan_cond_t *cond, vorlan_condattr_t * /*attr*/) {
  if (cond == nullptr) {
    return EINVAL;
  }
  return pthread_cond_init(&cond->cond, nullptr);
}

int vorlan_cond_destroy(vorlan_cond_t *cond) {
  return cond != nullptr ? pthread_cond_destroy(&cond->cond) : EINVAL;
}

int vorlan_cond_wait(vorlan_cond_t *cond, vorlan_mutex_t *mutex) {
  if (cond == nullptr || mutex == nullptr) {
    return EINVAL;
  }
  return pthread_cond_wait(&cond->cond, &mutex->mutex);
}

int vorlan_cond_timedwait(vorlan_cond_t *cond, vorlan_mutex_t *mutex,
                          const struct timespec *abstime) {
  if (cond == nullptr || mutex == nullptr || abstime == nullptr) {
    return EINVAL;
  }
  return pthread_cond_timedwait(&cond->cond, &mutex->mutex, abstime);
}

int vorlan_cond_signal(vorlan_cond_t *cond) {
  return cond != nullptr ? pthread_cond_signal(&cond->cond) : EINVAL;
}

int vorlan_cond_broadcast(vorlan_cond_t *cond) {
  return cond != nullptr ? pthread_cond_broadcast(&cond->cond) : EINVAL;
}

void vorlan_libc_usleep(unsigned long usec) {
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(usec / 1000000UL);
  remaining.tv_nsec = static_cast<long>((usec % 1000000UL) * 1000UL);
  // A signal cuts nanosleep short; sleep the rest.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // extern "C"
