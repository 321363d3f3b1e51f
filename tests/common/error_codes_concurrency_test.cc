#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

constexpr int kThreads = 16;
constexpr int kErrorsPerThread = 500;

struct Outcome {
  std::vector<vorlan_result_t> live_codes;
  int wrong = 0;
};

// Each thread keeps half of its errors live, so their codes must stay distinct from everyone's,
// and takes the other half straight back out, so the table churns while the others put. A code
// names its object until the object is taken, and then nothing.
void churn(int thread, Outcome &outcome) {
  for (int i = 0; i < kErrorsPerThread; ++i) {
    vorlan_object_t *error =
        vorlan_error_construct_error(nullptr, nullptr, thread, "f", "g", i, "error %d", i);
    vorlan_result_t code = vorlan_error_put(error);
    if (code <= 0 || vorlan_error_peek(code) != error) {
      ++outcome.wrong;
    } else if (i % 2 == 0) {
      outcome.live_codes.push_back(code);
    } else {
      vorlan_object_t *taken = vorlan_error_get(code);
      outcome.wrong += taken != error || vorlan_error_get(code) != nullptr;
      vorlan_object_free(taken);
    }
  }
}

TEST(ErrorCodesConcurrency, LiveCodesStayUniqueAcrossThreads) {
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(churn, t, std::ref(outcomes[t]));
  for (auto &thread : threads) thread.join();

  std::set<vorlan_result_t> codes;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(outcomes[t].wrong, 0) << "thread " << t;
    EXPECT_EQ(outcomes[t].live_codes.size(), kErrorsPerThread / 2);
    for (vorlan_result_t code : outcomes[t].live_codes) {
      EXPECT_TRUE(codes.insert(code).second) << "code " << code << " given twice";
      EXPECT_EQ(vorlan_error_get_type(vorlan_error_peek(code)), t) << "code " << code;
    }
  }
  for (vorlan_result_t code : codes) {
    vorlan_error_release(code);
    EXPECT_EQ(vorlan_error_peek(code), nullptr);
  }
  EXPECT_EQ(vorlan_error_put(nullptr), VORLAN_FAILURE);
  EXPECT_EQ(vorlan_error_peek(VORLAN_FAILURE), nullptr);
}

}  // namespace
