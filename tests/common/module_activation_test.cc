#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

int activations = 0;
int deactivations = 0;
vorlan_result_t next_activation_result = VORLAN_SUCCESS;

vorlan_result_t activate() {
  ++activations;
  return next_activation_result;
}

vorlan_result_t deactivate() {
  ++deactivations;
  return VORLAN_SUCCESS;
}

vorlan_module_descriptor_t counted = {"counted", activate, deactivate, nullptr,
                                      nullptr,   nullptr,  nullptr};

void reset() {
  activations = deactivations = 0;
  next_activation_result = VORLAN_SUCCESS;
}

TEST(ModuleActivation, FunctionsRunOnlyAtTheEdgesOfTheCount) {
  reset();
  EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_FAILURE);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(vorlan_module_activate(&counted), VORLAN_SUCCESS);
  }
  EXPECT_EQ(activations, 1);
  EXPECT_EQ(vorlan_module_activation_count(&counted), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(deactivations, 0) << "deactivated with " << 3 - i << " activations left";
    EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_SUCCESS);
  }
  EXPECT_EQ(deactivations, 1);
  EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_FAILURE);
  EXPECT_EQ(deactivations, 1) << "an inactive module must not be deactivated";
}

TEST(ModuleActivation, FailedFirstActivationLeavesTheModuleInactive) {
  reset();
  vorlan_result_t failure = vorlan_error_put(
      vorlan_error_construct_error(nullptr, nullptr, 1, "f", "g", 1, "config unreadable"));
  next_activation_result = failure;
  EXPECT_EQ(vorlan_module_activate(&counted), failure);
  EXPECT_EQ(vorlan_module_activation_count(&counted), 0);
  EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_FAILURE);
  vorlan_error_release(failure);

  // The next attempt must try again rather than count on the failed one.
  next_activation_result = VORLAN_SUCCESS;
  EXPECT_EQ(vorlan_module_activate(&counted), VORLAN_SUCCESS);
  EXPECT_EQ(activations, 2);
  EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_SUCCESS);
  EXPECT_EQ(deactivations, 1);
}

}  // namespace
