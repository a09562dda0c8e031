// The one result type of the Qt-free code: a failure always carries a code and a reason, and a
// Result never claims a value it does not hold.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/status.h"

namespace kestrel {
namespace {

Result<int> half(int n) {
    if (n % 2 != 0) return Status::failure(StatusCode::BadInput, std::to_string(n) + " is odd");
    return n / 2;
}

TEST(StatusTest, AFailureKeepsItsCodeAndReasonAndIsNeverOk) {
    EXPECT_TRUE(Status().ok());
    EXPECT_EQ(Status().reason(), "");
    const Status failed = Status::failure(StatusCode::NoAnswer, "no answer from the device");
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.code(), StatusCode::NoAnswer);
    EXPECT_EQ(failed.reason(), "no answer from the device");
    // A failure made with the Ok code is still a failure.
    EXPECT_FALSE(Status::failure(StatusCode::Ok, "why").ok());
}

TEST(StatusTest, AResultHoldsEitherTheValueOrWhyNot) {
    const Result<int> good = half(8);
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 4);
    EXPECT_TRUE(good.status().ok());

    const Result<int> bad = half(7);
    EXPECT_FALSE(bad.ok());
    EXPECT_FALSE(static_cast<bool>(bad));
    EXPECT_EQ(bad.code(), StatusCode::BadInput);
    EXPECT_EQ(bad.reason(), "7 is odd");
    EXPECT_EQ(bad.value_opt(), std::nullopt);
    EXPECT_THROW((void)bad.value(), std::bad_optional_access);

    // An ok Status is no value: the Result says so instead of pretending to hold one.
    const Result<int> empty{Status()};
    EXPECT_FALSE(empty.ok());
    EXPECT_NE(empty.code(), StatusCode::Ok);
}

TEST(StatusTest, AResultCanHoldAMoveOnlyValue) {
    Result<std::unique_ptr<int>> held(std::make_unique<int>(5));
    ASSERT_TRUE(held.ok());
    const std::unique_ptr<int> taken = std::move(held).value();
    EXPECT_EQ(*taken, 5);
}

}  // namespace
}  // namespace kestrel
