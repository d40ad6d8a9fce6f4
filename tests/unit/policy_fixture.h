// Policies for rule tests, decoded the way the program decodes them.
#pragma once

#include <gtest/gtest.h>

#include "policy/policy.h"
#include "support/blob.h"

inline Policy decode_records(const Records& records) {
    Policy policy;
    std::string blob = make_blob(records);
    EXPECT_EQ(decode_policy(blob.c_str(), &policy), PolicyError::none);
    return policy;
}
