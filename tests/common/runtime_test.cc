// The runtime's small pieces: lists, the priority queue, detached threads, timed condition
// waits and a sleep that survives signals.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

using Clock = std::chrono::steady_clock;

TEST(Runtime, ListInsertSearchRemove) {
  int data[4] = {0, 1, 2, 3};
  vorlan_list_t *list = nullptr;
  EXPECT_TRUE(vorlan_list_empty(list));
  for (int &d : data) {
    ASSERT_EQ(vorlan_list_insert(&list, &d), 0);
  }
  // Insertion prepends: the list reads 3 2 1 0.
  EXPECT_EQ(vorlan_list_size(list), 4);
  EXPECT_EQ(vorlan_list_first(list), &data[3]);
  EXPECT_EQ(vorlan_list_first(vorlan_list_rest(list)), &data[2]);
  int absent = 0;
  EXPECT_EQ(vorlan_list_search(list, &absent), nullptr);

  // The middle, the head and the tail each unlink cleanly.
  for (int i : {1, 3, 0}) {
    EXPECT_EQ(vorlan_list_remove(&list, vorlan_list_search(list, &data[i])), &data[i]);
  }
  // An entry that is not in the list leaves it alone.
  vorlan_list_t stranger = {&data[0], nullptr};
  EXPECT_EQ(vorlan_list_remove(&list, &stranger), nullptr);
  EXPECT_EQ(vorlan_list_size(list), 1);
  EXPECT_EQ(vorlan_list_first(list), &data[2]);
  vorlan_list_free(list);
}

int by_priority(void *a, void *b) {
  int pa = static_cast<std::pair<int, int> *>(a)->first;
  int pb = static_cast<std::pair<int, int> *>(b)->first;
  return (pa > pb) - (pa < pb);
}

// Many random priorities with many ties: the order is by priority, ties by arrival.
TEST(Runtime, PriorityQueueOrdersByPriorityThenArrival) {
  std::mt19937 random(7);
  std::vector<std::pair<int, int>> items;  // (priority, arrival)
  for (int i = 0; i < 2000; ++i) {
    items.emplace_back(static_cast<int>(random() % 50), i);
  }
  vorlan_priority_queue_t queue = nullptr;
  ASSERT_EQ(vorlan_priority_queue_init(&queue, by_priority), VORLAN_SUCCESS);
  EXPECT_EQ(vorlan_priority_queue_dequeue(queue), nullptr);
  for (auto &item : items) {
    ASSERT_EQ(vorlan_priority_queue_enqueue(queue, &item), 0);
  }
  std::pair<int, int> previous = {-1, -1};
  for (size_t n = 0; n < items.size(); ++n) {
    auto *first = static_cast<std::pair<int, int> *>(vorlan_priority_queue_first(queue));
    auto *item = static_cast<std::pair<int, int> *>(vorlan_priority_queue_dequeue(queue));
    ASSERT_NE(item, nullptr);
    ASSERT_EQ(first, item);
    ASSERT_LT(previous, *item) << n;
    previous = *item;
  }
  EXPECT_EQ(vorlan_priority_queue_size(queue), 0);
  // Destroying a queue that still holds data frees only the queue.
  ASSERT_EQ(vorlan_priority_queue_enqueue(queue, &items[0]), 0);
  vorlan_priority_queue_destroy(&queue);
  EXPECT_EQ(queue, nullptr);
}

struct Shared {
  vorlan_mutex_t mutex;
  vorlan_cond_t cond;
  int detach_state = -1;
  bool done = false;
};

timespec wall_clock_in(std::chrono::milliseconds delay) {
  timespec at{};
  clock_gettime(CLOCK_REALTIME, &at);
  auto ns = at.tv_nsec + std::chrono::nanoseconds(delay).count();
  at.tv_sec += static_cast<time_t>(ns / 1000000000);
  at.tv_nsec = static_cast<long>(ns % 1000000000);
  return at;
}

// A created thread is detached (nothing ever joins a worker), and its signal wakes a timed
// wait; with nobody to signal, the wait ends at its deadline with ETIMEDOUT.
TEST(Runtime, DetachedThreadWakesATimedWaitAndAnUnsignalledWaitTimesOut) {
  Shared shared;
  ASSERT_EQ(vorlan_mutex_init(&shared.mutex, nullptr), 0);
  ASSERT_EQ(vorlan_cond_init(&shared.cond, nullptr), 0);
  vorlan_threadattr_t attr = &shared;
  vorlan_thread_t thread;
  EXPECT_EQ(vorlan_thread_create(
                &thread, &attr, [](void *) -> void * { return nullptr; }, nullptr),
            EINVAL);

  auto body = [](void *arg) -> void * {
    auto *s = static_cast<Shared *>(arg);
    pthread_attr_t attr;
    int state = -1;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getdetachstate(&attr, &state);
      pthread_attr_destroy(&attr);
    }
    vorlan_mutex_lock(&s->mutex);
    s->detach_state = state;
    s->done = true;
    vorlan_cond_signal(&s->cond);
    vorlan_mutex_unlock(&s->mutex);
    return nullptr;
  };
  ASSERT_EQ(vorlan_thread_create(&thread, nullptr, body, &shared), 0);
  vorlan_mutex_lock(&shared.mutex);
  const timespec far = wall_clock_in(std::chrono::seconds(30));
  int rc = 0;
  while (!shared.done && rc == 0) {
    rc = vorlan_cond_timedwait(&shared.cond, &shared.mutex, &far);
  }
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(shared.detach_state, PTHREAD_CREATE_DETACHED);

  const auto start = Clock::now();
  const timespec soon = wall_clock_in(std::chrono::milliseconds(50));
  do {
    rc = vorlan_cond_timedwait(&shared.cond, &shared.mutex, &soon);
  } while (rc == 0);
  EXPECT_EQ(rc, ETIMEDOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));
  vorlan_mutex_unlock(&shared.mutex);
  // The thread may still be on its way out: it touches nothing after unlocking.
  vorlan_cond_destroy(&shared.cond);
  vorlan_mutex_destroy(&shared.mutex);
}

// A signal handled mid-sleep cuts nanosleep short; the sleep still lasts its whole length.
TEST(Runtime, UsleepSleepsItsWholeLengthThroughSignals) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);  // no SA_RESTART
  struct Target {
    pthread_t thread;
  } target{pthread_self()};
  vorlan_thread_t thread;
  ASSERT_EQ(vorlan_thread_create(
                &thread, nullptr,
                [](void *arg) -> void * {
                  vorlan_libc_usleep(20000);
                  pthread_kill(static_cast<Target *>(arg)->thread, SIGUSR1);
                  return nullptr;
                },
                &target),
            0);
  const auto start = Clock::now();
  vorlan_libc_usleep(150000);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
  sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
